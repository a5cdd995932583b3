"""The timing feed: each flag change on the feed until its global limit leaves the console's interface, against a
click on the screen in the same run; then a feed of random bytes at full speed: the console's memory, and STOP
clicks against the same clicks with the feed quiet."""

import dataclasses
import os
import socket
import statistics
import threading
import time

from harness import protocol
from harness.measure import memory_kb
from harness.network import InterfaceTap, in_namespace
from harness.processes import log
from parts.flood import LimitClicks
from parts.screen import ScreenRun, screen_lan
from table import Row

PORT = 50000
FLAGS = ((b"Red   ", 0), (b"Green ", protocol.UNLIMITED_RPM))  # Red stops every kart, Green lifts the feed's stop


class FeedServer:
    """The timing system on its own host of the LAN: a TCP server that the console connects to, which sends it a
    heartbeat with the current flag every half second (the console takes 5 s of silence as a lost feed) and at
    once when the flag changes, or random bytes as fast as the connection takes them."""

    def __init__(self, host):
        with in_namespace(host.namespace):
            self.listener = socket.create_server(("0.0.0.0", PORT))
        self.address = f"{host.address}:{PORT}"
        self.client = None
        self.sent_bytes = 0
        self.lock = threading.Lock()
        self.current = b"      "
        self.stopped = threading.Event()

    def accept(self, timeout=15):
        self.listener.settimeout(timeout)
        self.client, _ = self.listener.accept()
        threading.Thread(target=self._beat, daemon=True).start()

    def _beat(self):
        while not self.stopped.wait(0.5):
            self.flag(self.current)

    def flag(self, flag):
        clock = time.strftime("%H:%M:%S")
        with self.lock:
            self.current = flag
            self.client.sendall(b'$F,10,"00:10:00","%s","00:01:00","%s"\r\n' % (clock.encode(), flag))

    def garbage(self, seconds):
        """Sends random bytes for `seconds` from a thread of its own; returns the thread."""
        def send():
            chunk = os.urandom(64 * 1024)
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                with self.lock:
                    self.client.sendall(chunk)
                self.sent_bytes += len(chunk)
        thread = threading.Thread(target=send, daemon=True)
        thread.start()
        return thread

    def close(self):
        self.stopped.set()
        for sock in (self.client, self.listener):
            if sock:
                sock.close()


@dataclasses.dataclass
class TimingFigures:
    clicks: list          # seconds from each quiet click to its command on the console's wire
    flags: list           # seconds from each flag change sent to its command on the console's wire
    garbage_clicks: list  # as `clicks`, while the feed sends random bytes at full speed
    garbage_mb: float     # bytes of garbage sent, in MB
    seconds: float
    before_mb: float
    peak_mb: float

    def rows(self):
        click, click_worst = statistics.median(self.clicks), max(self.clicks)
        flag, flag_worst = statistics.median(self.flags), max(self.flags)
        busy, busy_worst = statistics.median(self.garbage_clicks), max(self.garbage_clicks)
        growth = self.peak_mb - self.before_mb
        rate = self.garbage_mb / self.seconds
        return [
            Row(f"Timing feed: STOP/100% click to the wire, feed quiet ({len(self.clicks)} clicks)",
                f"median {click * 1000:.1f} ms, worst {click_worst * 1000:.1f} ms", "reference for the rows below"),
            Row(f"Timing feed: flag change to its global limit on the wire ({len(self.flags)} changes)",
                f"median {flag * 1000:.1f} ms, worst {flag_worst * 1000:.1f} ms",
                f"{flag / click:.2f} x / {flag_worst / click_worst:.2f} x the click", "flag to the wire",
                flag_worst * 1000),
            Row(f"Timing feed of random bytes at full speed ({rate:.0f} MB/s): click to the wire "
                f"({len(self.garbage_clicks)} clicks)", f"median {busy * 1000:.1f} ms, worst {busy_worst * 1000:.1f} ms",
                f"{busy / click:.2f} x / {busy_worst / click_worst:.2f} x the feed quiet", "click beside a garbage feed",
                busy / click),
            Row("Timing feed of random bytes at full speed: resident memory growth", f"{growth:+.2f} MB",
                f"peak {self.peak_mb:.1f} MB, {self.before_mb:.1f} MB before; {self.garbage_mb:.0f} MB sent",
                "memory beside a garbage feed", growth),
        ]


def measure(settings):
    """The real console on screen with the simulator's 10 karts at 10 Hz and its timing feed set to a server of this
    benchmark. Clicks alternate STOP and 100% (the quiet reference); flag changes alternate Red and Green, each sent
    when the last one's command was on the wire; then clicks again while the feed sends random bytes."""
    runs, garbage_seconds = (3, 3) if settings.smoke else (20, 10)
    log(f"timing feed: {runs} clicks, {runs} flag changes, {runs} clicks beside {garbage_seconds} s of random bytes")
    with screen_lan() as (hosts, display):
        lan = hosts[0].lan
        server = FeedServer(lan.add_host("timing", "192.168.77.60"))
        config = lan.temporary_directory("timing-config")
        os.makedirs(os.path.join(config, "deviv"))
        with open(os.path.join(config, "deviv", "zadar.conf"), "w") as store:
            store.write(f"[timingFeed]\naddress={server.address}\n")
        try:
            with ScreenRun(hosts, display, settings.console, settings.simulator, ["--karts", "10", "--rate", "10"],
                           extra_env={"XDG_CONFIG_HOME": config}) as screen:
                screen.console.wait_for_window()
                server.accept()
                time.sleep(2)  # the relay is known and its karts have rows
                pid = screen.console.process.pid
                wire = InterfaceTap(hosts[0])
                clicks = LimitClicks(screen.console, wire)

                def click_times(count):
                    times = []
                    for _ in range(count + 1):
                        since, sent, _ = clicks.alternate()
                        times.append(sent - since)
                        time.sleep(0.3)
                    clicks.end_unlimited()
                    return times[1:]  # the first click warms the paths it takes

                quiet = click_times(runs)
                flags = []
                for number in range(runs + 1):
                    flag, limit = FLAGS[number % 2]
                    since = time.monotonic()
                    server.flag(flag)
                    command = protocol.global_limit_command(limit)
                    flags.append(wire.wait_for(lambda d: d.data == command, since=since, timeout=5)[0].time - since)
                    time.sleep(0.3)
                flags = flags[1:]  # the first change warms its paths, as the first click does
                time.sleep(1)
                before_kb = peak_kb = memory_kb(pid)
                start = time.monotonic()
                sender = server.garbage(garbage_seconds)
                time.sleep(1)
                busy = []
                while sender.is_alive() and len(busy) < runs:
                    since, sent, _ = clicks.alternate()
                    busy.append(sent - since)
                    peak_kb = max(peak_kb, memory_kb(pid))
                    time.sleep(0.2)
                while sender.is_alive():
                    peak_kb = max(peak_kb, memory_kb(pid))
                    time.sleep(0.1)
                seconds = time.monotonic() - start
                screen.check_alive("after the feed of random bytes")
        finally:
            server.close()
    return TimingFigures(quiet, flags, busy, server.sent_bytes / 1e6, seconds, before_kb / 1024, peak_kb / 1024)
