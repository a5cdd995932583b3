"""The shipped sample capture (samples/track-network.pcap) replayed by retranslator-sim into two consoles on the
virtual LAN, at the addresses of the live run it was recorded from (tests/e2e/record_sample.py).

The consoles must show what the live run's consoles showed (samples/track-network.json): the same chain of
link states, every kart row going through the same (online, limit in force) states, the rows in the same
order. tcpdump on a console's host records the replayed exchange: the simulator must have sent exactly the
relay's datagrams of the sample, with their timing, and the dissector must read that live capture as the
console's decoder does."""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

import e2etest
from harness import protocol
from harness.network import Capture
from harness.processes import log

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "wireshark"))
import agreement  # noqa: E402

ARGS = None


class ReplayTest(e2etest.LanTestCase):

    def setUp(self):
        with open(os.path.splitext(ARGS.sample)[0] + ".json", encoding="utf-8") as f:
            self.recorded = json.load(f)
        self.subnet = self.recorded["subnet"]
        super().setUp()

    def test_sample_replayed_into_two_consoles_shows_what_the_live_run_showed(self):
        recorded = self.recorded
        hosts = {name: self.lan.add_host(name, address) for name, address in recorded["consoles"].items()}
        sim_host = self.lan.add_host("sim", recorded["relay"])
        capture = Capture(hosts["a"], os.path.join(self.lan.log_dir, "replayed.pcap"))
        probes = {name: self.probe_console(host).probe for name, host in hosts.items()}
        for probe in probes.values():
            probe.wait_for_link(lambda state: True, 30)

        sim = sim_host.run("sim", [e2etest.ARGS.sim, "--replay", ARGS.sample, "--no-control"])
        start = sim.wait_for(r"start replay=.* source=(\S+) datagrams=(\d+) ", 10)[0][1]
        self.assertEqual(start[1], recorded["relay"])
        self.assertEqual(sim.wait(recorded["duration_s"] + 30), 0, "the replay did not end with status 0")
        sim.wait_for(rf"replay end sent={start[2]}$", 5)
        # What the consoles said to the relay meanwhile was heard, and left the recorded karts as they were.
        self.assertTrue(sim.matches(r"recv kind=(global|transponder) .* result=not-applied"))
        self.assertFalse(sim.matches(r"result=(applied|pending)"))
        time.sleep(1.0)  # tcpdump has the last datagrams in hand
        capture.stop()

        for name, probe in probes.items():
            karts, order = probe.kart_chains()
            with self.subTest(console=name):
                self.assertEqual(probe.link_chain(), recorded["link"])
                self.assertEqual(karts, recorded["karts"])
                self.assertEqual(order, recorded["row_order"])

        # The relay's datagrams of the sample went out, all of them and nothing else, with their timing.
        def relay_datagrams(path):
            fields = subprocess.run(
                [ARGS.tshark, "-n", "-r", path, "-Y", f"ip.src == {recorded['relay']} && udp.dstport == "
                 f"{protocol.EXCHANGE_PORT}", "-T", "fields", "-e", "frame.time_epoch", "-e", "udp.payload"],
                capture_output=True, text=True, check=True).stdout.split()
            return [(float(t), payload) for t, payload in zip(fields[::2], fields[1::2])]
        wanted, sent = relay_datagrams(ARGS.sample), relay_datagrams(capture.path)
        self.assertEqual([p for _, p in sent], [p for _, p in wanted])
        lateness = [(t - sent[0][0]) - (w - wanted[0][0]) for (t, _), (w, _) in zip(sent, wanted)]
        log(f"replayed {len(sent)} datagrams; offset from the capture's timing: median "
                   f"{1000 * statistics.median(lateness):.1f} ms, from {1000 * min(lateness):.1f} to "
                   f"{1000 * max(lateness):.1f} ms")
        self.assertLess(max(abs(x) for x in lateness), 0.25)
        self.assertLess(abs(statistics.median(lateness)), 0.02)

        # The replayed exchange, consoles' commands included, read by the dissector as by the console's decoder.
        self.assertTrue(agreement.compare("replayed exchange", ARGS.decoder, ARGS.tshark, ARGS.dissector,
                                          capture.path))


def main():
    global ARGS
    parser = argparse.ArgumentParser(add_help=False)
    for option in ("--decoder", "--dissector", "--sample"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    ARGS.tshark = shutil.which("tshark")
    if ARGS.tshark is None or shutil.which("tcpdump") is None:
        print("FAILED: the replay test needs tshark and tcpdump (Debian packages of the same names)")
        sys.exit(1)
    sys.argv = [sys.argv[0], *rest]
    e2etest.main()


if __name__ == "__main__":
    main()
