"""The console on a virtual display of its own size, for the screenshot scripts: on a host of the harness's
virtual LAN beside a peer host that can feed it (192.168.77.20 and .50/24), with a temporary settings store."""

import contextlib
import os
import sys
import time

import project  # noqa: F401  (puts the harness on the import path)
from harness.console import Console
from harness.network import VirtualLan, check_environment
from harness.processes import install_signal_cleanup

CONSOLE_ADDRESS = "192.168.77.20"
PEER_ADDRESS = "192.168.77.50"
# The window is 400x600 and the screen just as large: no window manager places it, so it sits at 0,0 and a shot
# of the screen is a shot of the console.
WIDTH, HEIGHT = 400, 600


class Failed(Exception):
    pass


@contextlib.contextmanager
def console_on_screen(console_executable, stored=""):
    """Yields (console, peer host) once the console shows its main screen; removes everything on every way out.
    `stored` is the text its settings store starts with. A failure inside prints the console's log."""
    reason = check_environment(("Xvfb", "xdotool", "import"))
    if reason:
        raise SystemExit(f"screenshot: {reason}")
    install_signal_cleanup()
    with VirtualLan("192.168.77.0/24") as lan:
        config = lan.temporary_directory("console-config")
        os.makedirs(os.path.join(config, "deviv"))
        with open(os.path.join(config, "deviv", "zadar.conf"), "w") as store:
            store.write(stored)
        console = Console(lan.add_host("console", CONSOLE_ADDRESS), console_executable,
                          display=lan.display(WIDTH, HEIGHT), config_dir=config)
        peer = lan.add_host("peer", PEER_ADDRESS)
        try:
            try:
                console.wait_for_window(timeout=30)
            except AssertionError:
                raise Failed("no console window appeared") from None
            time.sleep(1.5)
            if not console.on_main_screen():
                raise Failed("the main screen is not shown")
            yield console, peer
        except (Failed, AssertionError) as failure:
            print(f"screenshot: {failure}", file=sys.stderr)
            for line in console.process.lines():
                print(f"  console: {line}", file=sys.stderr)
            raise SystemExit(1) from None
        finally:
            lan.remove_logs()


def enter_karts(console, karts):
    """Enters "NUM:ID" karts into the registry through the settings screen and confirms with OK."""
    add = console.open_settings()
    for kart in karts:
        number, _, transponder = kart.partition(":")
        console.add_registry_entry(add, number, transponder)
    console.confirm_settings()

