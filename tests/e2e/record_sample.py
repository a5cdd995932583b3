#!/usr/bin/env python3
"""Records the sample capture of the track network (samples/track-network.pcap) and what the consoles showed.

On the end-to-end virtual LAN, two consoles (deviv_azeve_probe, offscreen) and the retranslator simulator run
through a fixed scenario of about 48 s while tcpdump on console a's host records UDP port 11309, as it would
on the track PC. A third host speaks like the operator's console on another PC: its application commands make
the consoles command the relay. The scenario, from the simulator's start:

     0 s  five karts 1001..1005 configured, 1005 silent
     4 s  kart 1005 comes on air
     8 s  an operator chooses 50 %: the consoles command GLOBALRPMLIMIT:3000 and the karts take it
    14 s  kart 1002 falls silent (its row goes offline)
    18 s  the relay falls silent (its status frames stop; the link goes offline)
    30 s  the relay is back
    34 s  an operator chooses 100 %: GLOBALRPMLIMIT:10000
    38 s  an operator limits kart 1003 to 25 %: TRANSPONDERRPMLIMIT:1003,2300
    42 s  kart 1002 comes back
    48 s  the end

Writes the capture and, beside it, track-network.json: the relay's and consoles' addresses and, from both
consoles (which must agree), the chain of link states, each kart row's chain of (online, limit in force) and
the order in which the rows appeared. The replay test (test_replay.py) checks a console fed by the capture
against them.

    python3 tests/e2e/record_sample.py --probe-console build/tests/support/deviv_azeve_probe \\
        --sim build/tools/retranslator-sim/retranslator-sim [--out samples]

Needs root (network namespaces) and tcpdump.
"""

import argparse
import json
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import protocol  # noqa: E402
from harness.console import Console, Simulator  # noqa: E402
from harness.network import Capture, Observer, VirtualLan, check_environment  # noqa: E402
from harness.processes import install_signal_cleanup, log  # noqa: E402

SUBNET = "10.81.0.0/24"
CONSOLES = {"a": "10.81.0.20", "b": "10.81.0.30"}
OPERATOR = "10.81.0.40"
RELAY = "10.81.0.50"
DURATION = 48.0


def scenario(sim, operator):
    """(seconds after the simulator's start, what happens)."""
    return [
        (4, lambda: sim.control("kart 1005 online")),
        (8, lambda: operator.send(protocol.app_command("globalRpmLimit", "p50"))),
        (14, lambda: sim.control("kart 1002 offline")),
        (18, lambda: sim.control("status off")),
        (30, lambda: sim.control("status on")),
        (34, lambda: operator.send(protocol.app_command("globalRpmLimit", "p100"))),
        (38, lambda: operator.send(protocol.app_command("transponderLimit", "p25", transponder_id=1003))),
        (42, lambda: sim.control("kart 1002 online")),
    ]


def expectations(probe):
    karts, order = probe.kart_chains()
    return {"link": probe.link_chain(), "karts": karts, "row_order": order}


def check_scenario(seen):
    """The sample is only worth shipping if the live run showed what the scenario is about."""
    link, karts = seen["link"], seen["karts"]
    problems = []
    if not any(state.get("isOnline") is False for state in link):
        problems.append("the link never went offline")
    if {state.get("globalRPMLimit") for state in link} != {10000, 3000}:
        problems.append(f"the relay's global limits were not 10000 and 3000: {link}")
    if [1, 2300] not in karts.get("1003", []):
        problems.append("kart 1003 never took 2300")
    if [0, 3000] not in karts.get("1002", []) or karts.get("1002", [[0]])[-1][0] != 1:
        problems.append(f"kart 1002 did not go offline and come back: {karts.get('1002')}")
    if seen["row_order"] != [1001, 1002, 1003, 1004, 1005]:
        problems.append(f"rows appeared in the order {seen['row_order']}")
    return problems


def record(args):
    with VirtualLan(SUBNET) as lan:
        hosts = {name: lan.add_host(name, address) for name, address in CONSOLES.items()}
        operator = Observer(lan.add_host("operator", OPERATOR))
        sim_host = lan.add_host("sim", RELAY)
        capture = Capture(hosts["a"], os.path.join(lan.log_dir, "track-network.pcap"))
        probes = {name: Console(host, args.probe_console, probe_file=os.path.join(lan.log_dir, f"{name}-probe.txt"))
                  .probe for name, host in hosts.items()}
        # The consoles are up before the relay starts, so they hear it from its first datagram, as the capture does.
        for probe in probes.values():
            probe.wait_for_link(lambda state: True, 30)
        sim = Simulator(sim_host, args.sim, ["--seed", "7", "--karts", "5", "--offline", "1005"])
        start = time.monotonic()
        for at, action in scenario(sim, operator):
            time.sleep(max(0.0, start + at - time.monotonic()))
            log(f"{at:4.0f} s")
            action()
        time.sleep(max(0.0, start + DURATION - time.monotonic()))
        sim.process.stop()
        time.sleep(1.0)
        capture_path = capture.stop()

        seen = {name: expectations(probe) for name, probe in probes.items()}
        if seen["a"] != seen["b"]:
            lan.dump_logs()
            raise SystemExit(f"the two consoles showed different things:\n{seen['a']}\n{seen['b']}")
        problems = check_scenario(seen["a"])
        if problems:
            lan.dump_logs()
            raise SystemExit("the live run did not go as planned: " + "; ".join(problems))

        os.makedirs(args.out, exist_ok=True)
        shutil.copyfile(capture_path, os.path.join(args.out, "track-network.pcap"))
        with open(os.path.join(args.out, "track-network.json"), "w", encoding="utf-8") as f:
            json.dump({"recorded_by": "tests/e2e/record_sample.py", "subnet": SUBNET, "relay": RELAY,
                       "consoles": CONSOLES, "operator": OPERATOR, "duration_s": DURATION, **seen["a"]},
                      f, indent=1)
            f.write("\n")
        size = os.path.getsize(os.path.join(args.out, "track-network.pcap"))
        log(f"wrote {args.out}/track-network.pcap ({size} bytes) and track-network.json")
        lan.remove_logs()


def main():
    parser = argparse.ArgumentParser(description="Records samples/track-network.pcap on the virtual LAN.")
    parser.add_argument("--probe-console", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                                      "samples"))
    args = parser.parse_args()
    install_signal_cleanup()
    reason = check_environment(("tcpdump",))
    if reason:
        raise SystemExit(f"cannot record: {reason}")
    record(args)


if __name__ == "__main__":
    sys.exit(main())
