"""What the event record costs: the console on screen beside 100 karts at 10 Hz while the operator chooses STOP
and 100% in turn, with its record written and with its record's folder unwritable, so that nothing is written."""

import dataclasses
import statistics
import time

from harness.network import InterfaceTap
from harness.processes import log
from parts.flood import LimitClicks
from parts.screen import ScreenRun, ScreenWindow, busiest_threads, measure_window, screen_lan
from table import Row

KARTS = 100
# Each click writes a global-limit line and, as the karts take the limit, a limit-taken line per kart.
CLICK_INTERVAL = 0.5
CLICK_EVENTS = ("global-limit", "limit-taken")
# A folder the console cannot make: the record's writer fails to open the day file and writes nothing.
UNWRITABLE = {"XDG_DATA_HOME": "/dev/null/none"}
LABEL = f"Event record written vs not ({KARTS} karts x 10 Hz, STOP/100% clicked every {CLICK_INTERVAL:g} s)"


@dataclasses.dataclass
class RecordWindow:
    """One console measured while the operator clicks: its screen figures, each click's seconds from the press to
    its command on the console's wire, and the lines the clicks added to its record (None when not written)."""
    screen: ScreenWindow
    clicks: list
    lines: int = None


@dataclasses.dataclass
class RecordFigures:
    written: RecordWindow      # the real build, its record written
    not_written: RecordWindow  # the real build, its record's folder unwritable
    probe_written: RecordWindow
    probe_not_written: RecordWindow

    def rows(self):
        written, not_written = self.written, self.not_written
        probe_written, probe_not_written = self.probe_written.screen, self.probe_not_written.screen
        cpu, cpu_off = written.screen.cpu_share, not_written.screen.cpu_share
        click, click_off = statistics.median(written.clicks), statistics.median(not_written.clicks)
        threads = busiest_threads(written.screen.threads)
        return [
            Row(f"{LABEL}: console CPU",
                f"{cpu * 100:.1f}% of a core written ({written.lines} lines; {threads}), {cpu_off * 100:.1f}% not",
                f"written minus not written ({cpu / cpu_off:.2f} x; as a ratio, a few hundredths of a core are within "
                "a 20 s window's noise)", "record CPU", cpu - cpu_off),
            Row(f"{LABEL}: main-thread event latency p99",
                f"{probe_written.post_p99_ms:.2f} ms written ({self.probe_written.lines} lines; "
                f"{probe_written.samples} samples), {probe_not_written.post_p99_ms:.2f} ms not "
                f"({probe_not_written.samples} samples)",
                f"written minus not written ({probe_written.post_p99_ms / probe_not_written.post_p99_ms:.2f} x; as a "
                "ratio, a p99 under a millisecond is within a 20 s window's noise)", "record p99",
                probe_written.post_p99_ms - probe_not_written.post_p99_ms),
            Row(f"{LABEL}: click to the wire, median",
                f"{click * 1000:.2f} ms written, {click_off * 1000:.2f} ms not ({len(written.clicks)} and "
                f"{len(not_written.clicks)} clicks)", f"{click / click_off:.2f} x not written"),
        ]


def clicking(clicks, times):
    """What a measured window does: a click every CLICK_INTERVAL, STOP and 100% in turn, for the window's seconds;
    each click's seconds from the press to its command on the wire go to `times`."""
    def act(seconds):
        end = time.monotonic() + seconds
        due = time.monotonic()
        while due < end:
            time.sleep(max(0.0, due - time.monotonic()))
            since, sent, _ = clicks.alternate()
            times.append(sent - since)
            due += CLICK_INTERVAL
        time.sleep(max(0.0, end - time.monotonic()))
    return act


def record_window(hosts, display, wire, console, sim, warmup, seconds, probe, written):
    """Runs console and simulator, waits `warmup`, and measures over `seconds` of clicks; with `written`, checks
    that the clicks' lines are in the console's record."""
    times = []
    with ScreenRun(hosts, display, console, sim, ["--karts", str(KARTS), "--rate", "10"], probe,
                   extra_env=None if written else UNWRITABLE) as screen:
        screen.console.wait_for_window()
        clicks = LimitClicks(screen.console, wire)
        time.sleep(warmup)
        screen.check_alive(f"during the warm-up of {screen.executable_name}")
        window = measure_window(screen, probe, seconds, clicking(clicks, times))
    if not written:
        return RecordWindow(window, times)
    lines = sum(1 for line in screen.console.record() if line["event"] in CLICK_EVENTS)
    # Every click chose another limit, and the simulator's karts take every limit they are given: all but a few
    # karts late for a click have their line.
    if lines < 0.9 * len(times) * (1 + KARTS):
        raise RuntimeError(f"{screen.executable_name}'s record got {lines} lines for {len(times)} clicks of "
                           f"{KARTS} karts each")
    return RecordWindow(window, times, lines)


def measure(settings):
    """The real build (for its CPU and its clicks) and then the probe build (for its main thread's latency) on
    screen, each once with its record written and once with its record's folder unwritable."""
    warmup, seconds = (2, 2) if settings.smoke else (8, 20)
    log(f"event record: {KARTS} karts x 10 Hz, a click every {CLICK_INTERVAL:g} s, {seconds} s, record written and "
        "not, real build then probe build")
    with screen_lan() as (hosts, display):
        wire = InterfaceTap(hosts[0])
        windows = [record_window(hosts, display, wire, console, settings.simulator, warmup, seconds, probe, written)
                   for console, probe in ((settings.console, False), (settings.probe, True))
                   for written in (True, False)]
    return RecordFigures(*windows)
