"""Shared start-up of the end-to-end test scripts: paths of the executables, the skip rule, failure logs."""

import argparse
import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import network, wine  # noqa: E402
from harness.console import Console, Simulator  # noqa: E402
from harness.processes import install_signal_cleanup  # noqa: E402

ARGS = None


def main(need_display=False):
    """Parses --console/--sim/--settings-dump/--probe-console, skips when the LAN cannot be built, runs the tests."""
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--console", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--settings-dump", required=True)
    parser.add_argument("--probe-console")
    # The Windows build under Wine: the Qt it runs with, the Wine prefix that hosts' prefixes are copied from,
    # a Linux console beside it, the installer and the program that stands in for netsh.exe.
    parser.add_argument("--qt")
    parser.add_argument("--wine-template")
    parser.add_argument("--linux-console")
    parser.add_argument("--feed-player")
    parser.add_argument("--installer")
    parser.add_argument("--netsh-recorder")
    ARGS, rest = parser.parse_known_args()
    install_signal_cleanup()
    network.skip_unless_available(network.DISPLAY_TOOLS if need_display else ())
    program = unittest.main(argv=[sys.argv[0], "-v", *rest], exit=False)
    sys.exit(0 if program.result.wasSuccessful() else 1)


class LanTestCase(unittest.TestCase):
    """One virtual LAN per test; process logs and screenshots are kept and printed when the test fails."""

    subnet = "10.81.0.0/24"

    def setUp(self):
        self.lan = network.VirtualLan(self.subnet).__enter__()
        self.displays = []
        self.addCleanup(self._tear_down_lan)

    def _tear_down_lan(self):
        # A cleanup runs with a fresh outcome; the result tells whether this test failed.
        result = getattr(getattr(self, "_outcome", None), "result", None)
        failed = result is None or any(test is self for test, _ in result.failures + result.errors)
        if failed:
            self.lan.dump_logs()
            for index, display in enumerate(self.displays):
                path = os.path.join(self.lan.log_dir, f"{self.id().rsplit('.', 1)[-1]}-display{index}.png")
                try:
                    display.save_screenshot(path)
                    print(f"screenshot of display {display.name}: {path}")
                except Exception as error:  # the display may be gone already
                    print(f"no screenshot of display {display.name}: {error}")
        self.lan.close()
        if not failed:
            self.lan.remove_logs()

    def display(self):
        display = self.lan.display()
        self.displays.append(display)
        return display

    def console(self, host, display=None, config_dir=None, name="console", executable=None, **options):
        return Console(host, executable or ARGS.console, display=display, config_dir=config_dir, name=name,
                       **options)

    def screen_console(self, host, config_dir=None, executable=None, **options):
        """A console on a display of its own, once its window is up."""
        console = self.console(host, display=self.display(), config_dir=config_dir, executable=executable,
                               **options)
        console.wait_for_window()
        return console

    def probe_console(self, host, display=None, name="console", **options):
        """deviv_azeve_probe (the fault and replay tests' --probe-console); its output is console.probe."""
        path = os.path.join(self.lan.log_dir, f"{host.name}-{name}-probe.txt")
        return self.console(host, display=display, name=name, executable=ARGS.probe_console, probe_file=path,
                            **options)

    def wine_prefix(self, host, qt=True):
        """A Wine prefix of its own for `host` (harness.wine), with the Qt of --qt unless `qt` is False."""
        wine.make_template(ARGS.wine_template)
        return wine.prefix_for_host(host, ARGS.wine_template, ARGS.qt if qt else None)

    def simulator(self, host, *arguments, name="sim"):
        # Fixed seed: the same karts and laps on every run.
        return Simulator(host, ARGS.sim, ["--seed", "7", *arguments], name=name)

    def two_consoles_and_a_relay(self, console):
        """Consoles on hosts a and b (made by `console(host)`), an observer and the simulator with two karts."""
        hosts = self.lan.add_host("a"), self.lan.add_host("b")
        observer = network.Observer(self.lan.add_host("observer"))
        sim = self.simulator(self.lan.add_host("sim"), "--karts", "2")
        return hosts, [console(host) for host in hosts], observer, sim

    def stored_settings(self, config_dir):
        result = subprocess.run([ARGS.settings_dump], env={**os.environ, "XDG_CONFIG_HOME": config_dir},
                                capture_output=True, text=True, timeout=10)
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(result.stdout)
