"""Shared start-up of the end-to-end test scripts: paths of the executables, the skip rule, failure logs."""

import argparse
import json
import os
import shutil
import subprocess
import sys
import unittest

import e2elan

ARGS = None


def main(need_display=False):
    """Parses --console/--sim/--settings-dump, skips when the LAN cannot be built, runs the tests."""
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--console", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--settings-dump", required=True)
    ARGS, rest = parser.parse_known_args()
    e2elan.install_signal_cleanup()
    e2elan.skip_unless_available(need_display)
    program = unittest.main(argv=[sys.argv[0], "-v", *rest], exit=False)
    sys.exit(0 if program.result.wasSuccessful() else 1)


class LanTestCase(unittest.TestCase):
    """One virtual LAN per test; process logs are printed when the test fails."""

    subnet = "10.81.0.0/24"

    def setUp(self):
        self.lan = e2elan.VirtualLan(self.subnet).__enter__()
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
            shutil.rmtree(self.lan.log_dir, ignore_errors=True)
        for display in self.displays:
            display.close()

    def display(self):
        display = e2elan.Display(self.lan.log_dir)
        self.displays.append(display)
        return display

    def console(self, host, display=None, config_dir=None, name="console"):
        return e2elan.Console(host, ARGS.console, display=display, config_dir=config_dir, name=name)

    def simulator(self, host, *arguments):
        # Fixed seed: the same karts and laps on every run.
        return e2elan.Simulator(host, ARGS.sim, ["--seed", "7", *arguments])

    def stored_settings(self, config_dir):
        result = subprocess.run([ARGS.settings_dump], env={**os.environ, "XDG_CONFIG_HOME": config_dir},
                                capture_output=True, text=True, timeout=10)
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(result.stdout)
