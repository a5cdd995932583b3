"""The console executable run as a user runs it, on a host of its own (its discovery pings stay on this machine)
with a settings store of its own. Used by the app tests and by scripts/package-test.

    python3 -m harness.smoke [--maps FILE] CONSOLE   starts it on a virtual display with arguments that are no
        framework options; checks that its window comes up, that it keeps running and writes no settings unasked;
        closes the window as a window manager does and expects status 0. --maps writes the files the running
        console had mapped, one a line.
    python3 -m harness.smoke --broken-root CONSOLE   a console whose root document fails must exit with -1 (255)
        and say why.
Exits 77 (skipped) when what the check needs is not available here.
"""

import argparse
import os
import re
import sys
import time

from harness.console import AS_A_USER_RUNS_IT, WINDOW_TITLE, Console
from harness.network import SKIP_EXIT_CODE, VirtualLan, check_environment
from harness.processes import install_signal_cleanup

MISSING_PART = re.compile(r"module .* is not installed|plugin .* not found|Could not load the Qt platform plugin")


class Failed(Exception):
    pass


def _exit_status(console, seconds):
    status = console.process.wait(seconds)
    if status is None:
        raise Failed(f"the console did not end within {seconds} s")
    return status


def check_window_and_close(lan, executable, maps=None):
    console = Console(lan.add_host("console"), executable, display=lan.display(1024, 768),
                      extra_env=AS_A_USER_RUNS_IT, arguments=["--no-such-option", "kart"])
    try:
        window = console.wait_for_window(timeout=30)
    except AssertionError:
        raise Failed("no console window appeared") from None
    if window.title != WINDOW_TITLE:
        raise Failed(f"the console's window is titled {window.title!r}, not {WINDOW_TITLE!r}")
    time.sleep(2)
    pid = console.process.pid
    if not console.process.running():
        raise Failed("the console ended on its own")
    if os.path.realpath(f"/proc/{pid}/exe") != os.path.realpath(executable):
        raise Failed(f"the process is not {executable}")
    if maps:
        with open(f"/proc/{pid}/maps") as mapped, open(maps, "w") as out:
            out.writelines(f"{path}\n" for path in sorted({line.split(None, 5)[5].strip() for line in mapped
                                                            if len(line.split(None, 5)) == 6}))
    written = os.listdir(console.config_dir)
    if written:
        raise Failed(f"the console wrote settings without being asked: {written}")
    try:
        console.display.close_window(window)
    except RuntimeError as error:
        raise Failed(f"could not ask the window to close: {error}") from None
    status = _exit_status(console, 20)
    if status != 0:
        raise Failed(f"the console exited with status {status} after its window was closed, not 0")
    missing = [line for line in console.process.lines() if MISSING_PART.search(line)]
    if missing:
        raise Failed(f"the console misses a module or plugin: {missing[0]}")
    return f"the console ran, showed its window {window.id:#x} and exited with 0 when the window was closed"


def check_broken_root(lan, executable):
    console = Console(lan.add_host("console"), executable, extra_env=AS_A_USER_RUNS_IT)
    status = _exit_status(console, 30)
    if status != 255:
        raise Failed(f"the console exited with status {status}, not 255 (-1)")
    reported = [line for line in console.process.lines() if "NoSuchComponent" in line]
    if not reported:
        raise Failed("the QML error was not reported")
    return f"the console exited with -1 (255) and reported: {reported[0]}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--broken-root", action="store_true")
    parser.add_argument("--maps")
    parser.add_argument("console")
    args = parser.parse_args()
    install_signal_cleanup()
    reason = check_environment(() if args.broken_root else ("Xvfb", "xdotool"))
    if reason:
        print(f"SKIPPED: {reason}", flush=True)
        return SKIP_EXIT_CODE
    with VirtualLan("10.85.0.0/24") as lan:
        try:
            print(check_broken_root(lan, args.console) if args.broken_root else
                  check_window_and_close(lan, args.console, args.maps))
        except Failed as failure:
            print(f"FAILED: {failure}")
            for line in lan.hosts[0].processes[0].lines():
                print(f"  console: {line}")
            return 1
        finally:
            lan.remove_logs()
    return 0


if __name__ == "__main__":
    sys.exit(main())
