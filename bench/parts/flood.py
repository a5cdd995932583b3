"""A flood from a faulty host beside a relay with 100 karts: the operator's clicks (and, before the floods, the
STOP key), the console's memory and main thread, and a new kart right after the flood."""

import dataclasses
import os
import statistics
import time

from harness import protocol
from harness.console import Console, Simulator, centre_of
from harness.measure import memory_kb, percentile
from harness.network import InterfaceTap, Observer, VirtualLan
from harness.processes import log
from table import Row

FLOODS = {
    # 64 KiB datagrams of 2848 back-to-back frames, 100 a second: about 285k reports/s.
    "packed": ["--packed", "--rate", "100"],
    # One 23-byte frame per datagram, as fast as sendmmsg() goes.
    "small": ["--valid-every", "1", "--rate", "0"],
}
FLOOD_LABELS = {"packed": "64 KiB datagrams of frames, 285k reports/s", "small": "23-byte datagrams, unpaced"}
# The same floods aimed at another host of the LAN: what the machine's own handling of the packets does to a click,
# with none of them reaching the console.
ELSEWHERE = " elsewhere"


@dataclasses.dataclass
class FloodRun:
    """One flood: the sender's closing line, each click's seconds (to the console's wire, to another host, from
    the release in the console to the wire), resident memory before and at the peak, the seconds until a new kart
    was answered after it, and the main thread's latency during it."""
    sent: str
    clicks: list
    before_mb: float
    peak_mb: float
    recovery: float
    post_p99_ms: float
    post_max_ms: float
    samples: int


@dataclasses.dataclass
class FloodFigures:
    idle_clicks: list  # the clicks with no flood, as FloodRun.clicks
    stop_keys: list    # seconds from each F12 press, another program focused, to its STOP on the console's wire
    runs: dict         # flood name (and name + ELSEWHERE) -> FloodRun
    log: list          # the console's warnings and notes about the network (zadar.net)

    def rows(self):
        idle_median, idle_worst, text = click_figures(self.idle_clicks)
        key_median, key_worst = statistics.median(self.stop_keys), max(self.stop_keys)
        rows = [Row(f"Flood: STOP/100% click to the wire, no flood ({len(self.idle_clicks)} clicks)", text,
                    "reference for the rows below"),
                Row(f"STOP key with another program focused: to the wire ({len(self.stop_keys)} presses)",
                    f"median {key_median * 1000:.1f} ms, worst {key_worst * 1000:.1f} ms",
                    f"{key_median / idle_median:.2f} x / {key_worst / idle_worst:.2f} x the click with no flood",
                    "stop key", max(key_median / idle_median, key_worst / idle_worst))]
        for name, label in FLOOD_LABELS.items():
            elsewhere = self.runs[name + ELSEWHERE].clicks
            median_elsewhere, worst_elsewhere, text = click_figures(elsewhere)
            rows.append(Row(f"Flood ({label}) at another host: click to the wire ({len(elsewhere)} clicks)", text,
                            f"{median_elsewhere / idle_median:.2f} x / {worst_elsewhere / idle_worst:.2f} x no flood; "
                            "a reference"))
            run = self.runs[name]
            median, worst, text = click_figures(run.clicks)
            growth = run.peak_mb - run.before_mb
            rows += [
                Row(f"Flood ({label}): click to the wire ({len(run.clicks)} clicks)", text,
                    f"{median / idle_median:.2f} x / {worst / idle_worst:.2f} x no flood ({median / median_elsewhere:.2f}"
                    f" x / {worst / worst_elsewhere:.2f} x at another host)", "click in a flood",
                    max(median / idle_median, worst / idle_worst)),
                Row(f"Flood ({label}): resident memory growth", f"{growth:+.1f} MB",
                    f"peak {run.peak_mb:.0f} MB, {run.before_mb:.0f} MB before", "memory growth in a flood", growth),
                Row(f"Flood ({label}): a new kart answered after it", f"{run.recovery * 1000:.1f} ms", "",
                    "new kart after a flood", run.recovery * 1000),
                Row(f"Flood ({label}): main-thread event latency p99",
                    f"{run.post_p99_ms:.1f} ms ({run.samples} samples; {run.sent})", "", "main-thread latency",
                    run.post_p99_ms),
            ]
        return rows


def start_flood(settings, flooder, name, target, arguments, seconds, ids, limit):
    """Starts the flood sender on host `flooder` against host `target`, for the karts `ids` (first, count)
    reporting `limit`, with one status frame. It stands for another machine on the LAN: as an idle-class task it
    takes only the CPU that the console, the display and this benchmark leave, and yields the moment one of them
    wakes."""
    return flooder.run(name, ["chrt", "--idle", "0", settings.flood_sender, "--to", target.address, *arguments,
                              "--seconds", str(seconds), "--ids", f"{ids[0]},{ids[1]}", "--status-ms", "100000",
                              "--limit", str(limit)])


class LimitClicks:
    """The global STOP and 100% of a console on screen, chosen by clicks on its bottom bar (or keys) sent through
    XTest from this process, each timed from the press until its command leaves the console's interface (`wire`,
    an InterfaceTap of its host) and, with an `observer`, until that other host has it."""

    def __init__(self, console, wire, observer=None):
        self.console, self.wire, self.observer = console, wire, observer
        self.pointer = console.display.pointer()
        self.buttons = {0: centre_of(console.bottom_button(3)),
                        protocol.UNLIMITED_RPM: centre_of(console.bottom_button(2)),
                        2300: centre_of(console.bottom_button(0)), 3000: centre_of(console.bottom_button(1))}
        self.count = 0  # clicks made by alternate()

    def timed(self, limit, press):
        """Calls `press` and returns when it began, when the global `limit` command left the console's interface and
        when the observer had it (None without one)."""
        since = time.monotonic()
        press()
        command = protocol.global_limit_command(limit)
        sent = self.wire.wait_for(lambda d: d.data == command, since=since, timeout=10, interval=0.005)[0].time
        received = None
        if self.observer:
            received = self.observer.wait_for(lambda d: d.data == command, since=since,
                                              source=self.console.host.address, timeout=10)[0].time
        return since, sent, received

    def click(self, limit):
        """Clicks the bottom bar's button of `limit`, timed from the press and release, not the move before them."""
        self.pointer.move(*self.buttons[limit])
        return self.timed(limit, self.pointer.press)

    def key(self, name, limit):
        """Presses and releases the key `name`, which chooses the global `limit`."""
        return self.timed(limit, lambda: self.pointer.tap_key(name))

    def alternate(self):
        """Clicks STOP or 100%, whichever is next."""
        self.count += 1
        return self.click((0, protocol.UNLIMITED_RPM)[(self.count - 1) % 2])

    def end_unlimited(self):
        """Clicks 100% when the last alternating click was STOP, so that the console answers new karts again."""
        if self.count % 2:
            self.alternate()


def click_figures(clicks):
    """Median and worst of the clicks' times on the console's wire, and the text for the table with the same at
    another host and from the release's arrival in the console."""
    def median_worst(times):
        return f"median {statistics.median(times) * 1000:.1f} ms, worst {max(times) * 1000:.1f} ms"

    wire, received, inside = ([c[i] for c in clicks] for i in range(3))
    text = (f"{median_worst(wire)} (at another host: {median_worst(received)}; from the release in the console: "
            f"{median_worst(inside)})")
    return statistics.median(wire), max(wire), text


def stop_key_presses(display, clicks, presses):
    """Presses F12 `presses` times while another program's window has the keyboard's focus, each after a click on
    100% so that it is a new STOP; returns the seconds from each press to STOP on the console's wire. The console's
    window takes the focus when clicked, so the other window takes it back before each press. The other window
    closes at the end, so that what follows runs as before it."""
    other = display.other_program()
    times = []
    for _ in range(presses + 1):
        other.take_focus()
        time.sleep(0.3)
        since, sent, _ = clicks.key("F12", 0)
        times.append(sent - since)
        time.sleep(0.3)
        clicks.click(protocol.UNLIMITED_RPM)
        time.sleep(0.3)
    other.close()
    return times[1:]  # the first press warms the paths it takes, as the first click does; it is not counted


def measure(settings):
    """The probe build of the console on screen, the simulator's 100 karts at 10 Hz, and a flood from a host of
    its own, one kind after the other. Clicks alternate STOP and 100% on the bottom bar, sent through XTest from
    this process, and are timed from the press until their command leaves the console's interface, and until it
    reaches another host's socket (the kernel's time stamps), and from the release's arrival in the console; the
    same number of clicks with no flood come first, then as many presses of F12 (STOP) while another program's
    window has the focus, timed the same way. The flood reports for the first 20 of the simulator's karts,
    whose rows are on screen, so every report is drawn; it reports the limit the console wants, so the console
    does not answer it. Each flood is then aimed at another host, for the clicks alone: the reference that shows
    what the packets cost the machine when the console takes none of them."""
    seconds, clicks_per_run = (3, 2) if settings.smoke else (10, 20)
    log(f"flood: {', '.join(FLOODS)}, {seconds} s each, beside 100 karts")
    runs = {}
    with VirtualLan("10.83.0.0/24") as lan:
        display = lan.display()
        observer = Observer(lan.add_host("observer"))
        host = lan.add_host("console")
        wire = InterfaceTap(host)
        flooder = lan.add_host("flood")
        sink = lan.add_host("sink")
        Simulator(lan.add_host("sim"), settings.simulator, ["--karts", "100", "--rate", "10", "--seed", "7"])
        console = Console(host, settings.probe, display=display, net_debug=False,
                          probe_file=os.path.join(lan.log_dir, "probe.txt"))
        console.wait_for_window()
        time.sleep(3)  # the relay is known and its 100 karts have rows
        pid = console.process.pid
        clicks = LimitClicks(console, wire, observer)

        def click():
            """Clicks STOP or 100%, whichever is next; returns the seconds until its command was on the console's
            wire, until another host had it, and from the release's arrival in the console to the wire."""
            since, sent, received = clicks.alternate()
            release = console.probe.precise_records("release", since)[0][0]
            return sent - since, received - since, sent - release

        def new_kart_answered(transponder_id):
            since = time.monotonic()
            observer.send(protocol.transponder_frame(transponder_id, 6000, 5000, -60))
            command = protocol.transponder_limit_command(transponder_id, protocol.UNLIMITED_RPM)
            return observer.wait_for(lambda d: d.data == command, since=since, source=host.address,
                                     timeout=10)[0].time - since

        click()  # the first click of a run warms the paths it takes; it is not counted
        idle = []
        for _ in range(clicks_per_run):
            idle.append(click())
            time.sleep(0.3)
        clicks.end_unlimited()
        stop_keys = stop_key_presses(display, clicks, clicks_per_run)
        floods = [(name, arguments, host) for name, arguments in FLOODS.items()]
        floods += [(name + ELSEWHERE, arguments, sink) for name, arguments in FLOODS.items()]
        for number, (name, arguments, target) in enumerate(floods):
            time.sleep(1)
            before_kb = memory_kb(pid)
            peak_kb = before_kb
            sender = start_flood(settings, flooder, name, target, arguments, seconds, (1001, 20),
                                 protocol.UNLIMITED_RPM)
            start = time.monotonic()
            during = []
            try:
                time.sleep(1)
                while len(during) < clicks_per_run and time.monotonic() < start + seconds - 0.5:
                    during.append(click())
                    peak_kb = max(peak_kb, memory_kb(pid))
                    time.sleep(0.3)
                clicks.end_unlimited()
                while sender.running():
                    peak_kb = max(peak_kb, memory_kb(pid))
                    time.sleep(0.1)
            finally:
                sender.stop()
            end = time.monotonic()
            recovery = new_kart_answered(9001 + number)
            posts = console.probe.numbers("post", start, end)
            runs[name] = FloodRun(sender.output().strip(), during, before_kb / 1024, peak_kb / 1024, recovery,
                                  percentile(posts, 0.99) / 1000, max(posts, default=0) / 1000, len(posts))
        network_log = [line for line in console.process.lines() if line.startswith("zadar.net:")]
    lan.remove_logs()
    return FloodFigures(idle, stop_keys, runs, network_log)
