"""The Windows build under Wine on the virtual LAN: the cross-built console as a host of its own (a Wine prefix
whose server runs in that host's namespace), fed by the Linux simulator, beside a Linux console; and the
installer, installed, run and removed again. Figures are printed as "wine: ..." lines."""

import json
import os
import re
import struct
import time

import e2etest
from harness import protocol
from harness.console import BUTTON_CONFIRMED, FeedPlayer, centre_of as centre, inside_of as inside, rmonitor_session
from harness.network import InterfaceTap, Observer, is_app_command
from harness.processes import wait_until
from harness import wine
from harness.wine import windows_path

STOP, FIFTY_PERCENT = 3, 1
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
STORE_KEY = r"HKCU\Software\deviv\zadar"
# rpmSettings/p25RpmValue as Qt would deserialize it: a list that claims 2^30 items, UTF-16 in REG_BINARY.
DAMAGED_VALUE = "@Variant(\0\0\0\x09\x40\0\0\0)".encode("utf-16-le").hex()


def pe_subsystem(path):
    """The subsystem field of a Windows executable's optional header."""
    with open(path, "rb") as exe:
        header = exe.read(4096)
    pe = struct.unpack_from("<I", header, 0x3C)[0]
    if header[pe:pe + 4] != b"PE\0\0":
        raise AssertionError(f"{path} is not a Windows executable")
    return struct.unpack_from("<H", header, pe + 24 + 68)[0]


def is_report(datagram):
    return datagram.data[:3] == protocol.START_MARKER + bytes([protocol.TRANSPONDER_TYPE])


class WineLanTest(e2etest.LanTestCase):
    subnet = "10.87.0.0/24"

    def reg(self, host, prefix, *arguments):
        result = host.call(prefix.command(["reg", *arguments]), 60, prefix.environment())
        self.assertEqual(result.returncode, 0, f"wine reg {' '.join(arguments)}: {result.stdout}{result.stderr}")

    def test_console_on_screen_with_the_relay_and_a_linux_console(self):
        host = self.lan.add_host("win")
        observer = Observer(self.lan.add_host("observer"))
        holder = host.udp_socket()  # another program on the PC holds port 11309 as the console starts
        console = self.screen_console(host, wine=self.wine_prefix(host))
        console.process.wait_for(r"zadar\.net: Cannot bind UDP port 11309", 30)
        freed = time.monotonic()
        holder.close()
        bound = console.process.wait_for(r"zadar\.net: Bound UDP port 11309 after all", 8)[0][0]
        self.assertLess(bound - freed, 5.5)

        # Qt's Windows interface enumeration finds the LAN: pings go to its broadcast address from the port.
        pings = observer.wait_for(lambda d: d.data == protocol.DISCOVERY_WORD, since=bound, timeout=7,
                                  source=host.address)
        self.assertEqual((pings[0].destination, pings[0].source_port), (self.lan.broadcast, protocol.EXCHANGE_PORT))

        sim = self.simulator(self.lan.add_host("sim"), "--karts", "3")
        first_report = observer.wait_for(is_report, timeout=5)[0].time
        console.wait_for_plates(3, timeout=10)
        shown = time.monotonic() - first_report
        print(f"wine: karts on screen {shown:.2f} s after the relay's first report")
        self.assertLessEqual(shown, 2.0)

        # STOP for all karts, clicked: the command leaves the Windows host within 1 s.
        tap = InterfaceTap(host)
        time.sleep(0.5)
        clicked = time.monotonic()
        console.display.click(*centre(console.bottom_button(STOP)))
        sent = tap.wait_for(lambda d: d.data == protocol.global_limit_command(0), since=clicked, timeout=5)[0]
        print(f"wine: STOP on the wire {sent.time - clicked:.3f} s after the click")
        self.assertLessEqual(sent.time - clicked, 1.0)
        command = observer.wait_for(is_app_command, since=clicked, source=host.address)[0]
        self.assertEqual(json.loads(command.data), {"appCommand": "globalRpmLimit", "value": "p0"})

        # A Linux console's 50 %: the Windows console takes it as its own limit, so it does not assert STOP
        # once the relay reports 3000, and shows 50 % in force.
        linux = self.screen_console(self.lan.add_host("linux"), executable=e2etest.ARGS.linux_console)
        since = sim.process.mark()
        linux.display.click(*centre(linux.bottom_button(FIFTY_PERCENT)))
        sim.wait_received("global", text="GLOBALRPMLIMIT:3000,-1", since=since, timeout=5)
        console.display.wait_for_colour(*inside(console.bottom_button(FIFTY_PERCENT)), BUTTON_CONFIRMED, timeout=5)
        time.sleep(1.5)
        self.assertEqual(sim.received("global", source=host.address, text="GLOBALRPMLIMIT:0,-1", since=since), [])

    def test_gui_entry_arguments_a_damaged_registry_and_the_timing_feed(self):
        self.assertEqual(pe_subsystem(e2etest.ARGS.console), IMAGE_SUBSYSTEM_WINDOWS_GUI)
        host = self.lan.add_host("win")
        observer = Observer(self.lan.add_host("observer"))
        session = os.path.join(self.lan.log_dir, "red.rmon")
        with open(session, "wb") as out:
            out.write(rmonitor_session(["", "red", "red", "red"]))
        player = FeedPlayer(self.lan.add_host("timing"), e2etest.ARGS.feed_player, session)
        prefix = self.wine_prefix(host)
        self.reg(host, prefix, "add", STORE_KEY + r"\timingFeed", "/v", "address", "/t", "REG_SZ", "/d",
                 player.address, "/f")
        self.reg(host, prefix, "add", STORE_KEY + r"\rpmSettings", "/v", "p25RpmValue", "/t", "REG_BINARY",
                 "/d", DAMAGED_VALUE, "/f")
        self.reg(host, prefix, "add", STORE_KEY + r"\rpmSettings", "/v", "p50RpmValue", "/t", "REG_SZ",
                 "/d", "2800", "/f")

        # A framework option and a path with a non-ASCII letter, through Qt's WinMain and the wide command line.
        path = r"C:\Strecken\Zadar-ä\karts.txt"
        console = self.probe_console(host, wine=prefix, arguments=["-platform", "offscreen", path])
        console.process.wait_for(r'zadar\.settings: Settings: removed 1 value that cannot be read safely '
                                 r'\("rpmSettings/p25RpmValue"\)', 30)
        console.wait_until_pinging()
        arguments = wait_until(lambda: console.probe.records("args")[:1] or None, 10,
                               "the probe wrote no arguments")[0][1]
        self.assertEqual(json.loads(arguments)["arguments"][1:], [path])
        self.assertEqual(json.loads(arguments)["platform"], "offscreen")
        # The timing feed named in the registry: its Red stops every kart, and the other consoles are told.
        player.wait_for_flag("red", timeout=20)
        stop = {"appCommand": "globalRpmLimit", "chosenBy": "timingFeed", "value": "p0"}
        observer.wait_for(lambda d: is_app_command(d) and json.loads(d.data) == stop, source=host.address, timeout=5)
        console.stop()

        dump = host.call(prefix.command([e2etest.ARGS.settings_dump]), 60, prefix.environment())
        self.assertEqual(json.loads(dump.stdout), {"rpmSettings/p50RpmValue": "2800",
                                                   "timingFeed/address": player.address}, dump.stderr)


class InstallerTest(e2etest.LanTestCase):
    subnet = "10.88.0.0/24"

    def test_silent_install_run_and_uninstall_leave_only_the_settings(self):
        size = os.path.getsize(e2etest.ARGS.installer)
        print(f"wine: installer {size / 1e6:.1f} MB")
        self.assertLessEqual(size, 40e6)
        host = self.lan.add_host("pc")
        prefix = self.wine_prefix(host, qt=False)
        drive = os.path.join(prefix.path, "drive_c")
        # Wine keeps no firewall rules: a stand-in for netsh.exe records what the installer asks of it.
        netsh = os.path.join(drive, "windows", "system32", "netsh.exe")
        os.unlink(netsh)  # a hard link to the template's file: replaced, not written through
        with open(e2etest.ARGS.netsh_recorder, "rb") as recorder, open(netsh, "wb") as stand_in:
            stand_in.write(recorder.read())
        netsh_log = os.path.join(self.lan.log_dir, "netsh.log")
        # Wine runs its own netsh unless told to load the file.
        env = prefix.environment({"DEVIV_NETSH_LOG": windows_path(netsh_log), "DISPLAY": None,
                                  "WINEDLLOVERRIDES": wine.WINE_ENV["WINEDLLOVERRIDES"] + ";netsh.exe=n"})
        before = files_under(drive)

        installed = host.call(prefix.command([e2etest.ARGS.installer, "/S"]), 120, env)
        self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
        folder = os.path.join(drive, "Program Files", "deviv_azeve")
        exe = os.path.join(folder, "bin", "deviv_azeve.exe")
        added = files_under(drive) - before
        self.assertIn(os.path.relpath(exe, drive), added)
        self.assertTrue(any(path.endswith(os.path.join("Wireshark", "plugins", "deviv.lua")) for path in added))
        self.assertTrue(any(path.endswith("deviv_azeve.lnk") for path in added), "no Start menu entry")
        rule = 'name="deviv_azeve UDP 11309"'
        self.assertIn(f'advfirewall firewall add rule {rule} dir=in action=allow protocol=UDP localport=11309 '
                      r'program="C:\Program Files\deviv_azeve\bin\deviv_azeve.exe"', read(netsh_log))

        # The installed console, with nothing but what the installer brought, answers the relay.
        self.reg_add_setting(host, prefix)
        sim = self.simulator(self.lan.add_host("sim"), "--karts", "0", "--global", "5000")
        console = self.console(host, display=self.display(), executable=exe, wine=prefix)
        console.wait_for_window(timeout=60)
        sim.wait_received("global", source=host.address, text="GLOBALRPMLIMIT:10000,-1", timeout=15)
        missing = [line for line in console.process.lines() if "is not installed" in line or "not found" in line]
        self.assertEqual(missing, [])
        self.assertEqual(console.close_window(timeout=20), 0)

        uninstalled = host.call(prefix.command([os.path.join(folder, "Uninstall.exe"), "/S"]), 120, env)
        self.assertEqual(uninstalled.returncode, 0, uninstalled.stdout + uninstalled.stderr)
        # The uninstaller runs from a copy of itself that it starts and does not wait for; that copy is
        # removed as Windows restarts.
        host.call(["wineserver", "-w"], 120, env)
        host.call(prefix.command(["wineboot", "-r"]), 120, env)
        host.call(["wineserver", "-w"], 120, env)
        self.assertIn(f"advfirewall firewall delete rule {rule}", read(netsh_log))
        self.maxDiff = None
        # The console's event record stays, as its settings do: it is the operator's.
        left = sorted(path for path in files_under(drive) - before
                      if not re.fullmatch(r"users/[^/]+/AppData/Roaming/deviv/zadar/events-[0-9-]+\.csv", path))
        self.assertEqual(left, [], "files left after the uninstall")
        query = host.call(prefix.command(["reg", "query", STORE_KEY + r"\rpmSettings", "/v", "p25RpmValue"]), 60,
                          env)
        self.assertIn("2500", query.stdout, "the settings did not stay")

    def reg_add_setting(self, host, prefix):
        result = host.call(prefix.command(["reg", "add", STORE_KEY + r"\rpmSettings", "/v", "p25RpmValue", "/t",
                                           "REG_SZ", "/d", "2500", "/f"]), 60, prefix.environment())
        self.assertEqual(result.returncode, 0, result.stderr)


def files_under(root):
    return {os.path.relpath(os.path.join(folder, name), root) for folder, _, names in os.walk(root) for name in names}


def read(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


if __name__ == "__main__":
    e2etest.main(need_display=True)
