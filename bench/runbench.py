"""Runs the chosen parts of the benchmark, judges their figures against the targets and prints one table.

Started by bench/run inside a network namespace of its own (unshare --net), so nothing here can reach the
machine's networks. The parts that run the console put it and its peers on hosts of the harness's virtual LAN
(tests/harness), further namespaces joined by a bridge, and show it on an Xvfb display. Everything a part starts
is stopped, and every namespace it creates is deleted, on every way out. The parts are in bench/parts/, the
targets in bench/targets.py."""

import argparse
import dataclasses
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from harness.processes import install_signal_cleanup  # noqa: E402
from parts import PARTS, Settings  # noqa: E402
from table import COLUMNS, render  # noqa: E402
from targets import TARGETS  # noqa: E402


def judge(row, smoke):
    """The row's five cells: for a judged row, its target, the value's share of an absolute limit and the result."""
    if not row.target:
        return row.measurement, row.figure, row.judged_by, "", ""
    target = TARGETS[row.target]
    judged_by = "; ".join(text for text in (target.share(row.value), row.judged_by) if text)
    result = "not judged" if smoke else "met" if target.met(row.value) else "NOT MET"
    return row.measurement, row.figure, judged_by, target.text(), result


def machine_description():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/loadavg") as loadavg:
        load = " ".join(loadavg.read().split()[:3])
    return f"{os.cpu_count()} cores, {model}, Linux {os.uname().release}, load average {load}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--smoke", action="store_true", help="seconds, not minutes: check that all of it runs")
    parser.add_argument("--soak", action="store_true", help="also run the soak (10 minutes)")
    parser.add_argument("--soak-minutes", type=float, default=10)
    parser.add_argument("--only", choices=list(PARTS), action="append", help="run only these parts (repeatable)")
    parser.add_argument("--json", help="also write every figure to this file")
    args = parser.parse_args()
    install_signal_cleanup()

    default = [name for name in PARTS if name != "soak" or args.soak or args.smoke]
    chosen = [name for name in PARTS if name in (args.only or default)]
    settings = Settings(os.path.abspath(args.build_dir), args.smoke, args.soak_minutes)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    machine = machine_description()
    started = time.monotonic()
    records = {module.__name__.rpartition(".")[2]: module.measure(settings)
               for name in chosen for module in PARTS[name]}
    lines = [judge(row, args.smoke) for record in records.values() for row in record.rows()]
    seconds = time.monotonic() - started

    print(f"\nMachine: {machine}")
    print(f"Run: {'smoke (figures not judged)' if args.smoke else 'full'}, {seconds:.0f} s\n")
    print(render(lines))
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"machine": machine, "smoke": args.smoke, "seconds": seconds,
                       "figures": {name: dataclasses.asdict(record) for name, record in records.items()},
                       "table": [dict(zip(COLUMNS, cells)) for cells in lines]}, out, indent=1, default=str)
    # A smoke run checks that everything builds and runs; its figures are too short to judge.
    return 0 if args.smoke or all(cells[4] != "NOT MET" for cells in lines) else 1


if __name__ == "__main__":
    sys.exit(main())
