"""The incident recorder (bench_incident): keeping each report of 100 karts at 10 Hz beside the live list's own cost
per report, its memory after ten minutes of 100 karts at 20 Hz, the time a report's window holds the main thread
when it is copied, and the time the longest report takes to write (which the console's exit may wait for). Then,
on screen, the operator's clicks while the console writes a report, against the same clicks a while before."""

import dataclasses
import datetime
import statistics
import time

import googlebenchmark
from googlebenchmark import Benchmark
from harness.network import InterfaceTap
from harness.processes import log
from parts.flood import LimitClicks
from parts.screen import ScreenRun, screen_lan
from table import Row

# The report is written a minute after its mark; the clicks around then are compared with those 20 s before.
BEFORE_MARK = 180
AFTER_MARK = 60

REPORTS_PER_SECOND = 100 * 10


@dataclasses.dataclass
class IncidentFigures:
    recorder: Benchmark
    live_list: Benchmark
    memory: Benchmark
    copy: Benchmark
    write: Benchmark
    fifty: Benchmark
    clicks: list = None          # seconds from each 25%/50% click to its command on the wire, no report written
    clicks_writing: list = None  # the same, for the clicks pressed while the report was written
    writing_ms: float = None     # from the report's due time to its line in the event record

    def rows(self):
        extra = self.recorder.nanoseconds - self.live_list.nanoseconds
        cores = max(0.0, extra) * REPORTS_PER_SECOND / 1e9
        held, samples = self.memory.counters["bytes_held"], self.memory.counters["samples"]
        copy_ms = self.copy.real_nanoseconds / 1e6
        write_ms = self.write.real_nanoseconds / 1e6
        fifty_mb = (self.fifty.counters["html_bytes"] / 1e6, self.fifty.counters["csv_bytes"] / 1e6)
        return [
            Row("Incident recorder: one kart report kept (100 karts x 10 Hz)",
                f"{extra:+.0f} ns: {self.recorder.nanoseconds:.0f} ns{self.recorder.cv_text()} a report with it, "
                f"{self.live_list.nanoseconds:.0f} ns{self.live_list.cv_text()} without",
                f"{cores * 100:.4f}% of a core at {REPORTS_PER_SECOND} reports/s; "
                f"{self.recorder.nanoseconds / self.live_list.nanoseconds:.2f} x the live list's report alone",
                "incident recorder CPU", cores),
            Row("Incident recorder: memory after 10 minutes of 100 karts x 20 Hz", f"{held / 1e6:.1f} MB",
                f"{samples:.0f} samples, {held / samples:.1f} bytes each", "incident recorder memory", held / 1e6),
            Row("Incident report: its window copied on the main thread (10 minutes, 100 karts x 20 Hz)",
                f"{copy_ms * 1000:.1f} us{self.copy.cv_text()}", f"{self.copy.counters['samples']:.0f} samples shared",
                "incident copy", copy_ms),
            Row("Incident report: the longest written, HTML and CSV (its own thread)", f"{write_ms:.0f} ms",
                f"{(self.write.counters['html_bytes'] + self.write.counters['csv_bytes']) / 1e6:.0f} MB",
                "incident report written", write_ms),
            Row("Incident report of 50 karts at 10 Hz over 4 minutes: its size",
                f"{fifty_mb[0]:.1f} MB HTML, {fifty_mb[1]:.1f} MB CSV",
                f"written in {self.fifty.real_nanoseconds / 1e6:.0f} ms"),
        ] + self.click_rows()

    def click_rows(self):
        if not self.clicks:
            return [Row("Incident report written: click to the wire", "not measured in a smoke run")]
        idle, writing = statistics.median(self.clicks), statistics.median(self.clicks_writing)
        return [Row(f"Incident report written (100 karts x 20 Hz, {BEFORE_MARK + AFTER_MARK} s, in "
                    f"{self.writing_ms:.0f} ms): click to the wire ({len(self.clicks_writing)} clicks while it is "
                    "written)",
                    f"median {writing * 1000:.2f} ms, worst {max(self.clicks_writing) * 1000:.1f} ms; 20 s before "
                    f"{idle * 1000:.2f} ms, worst {max(self.clicks) * 1000:.1f} ms ({len(self.clicks)} clicks)",
                    f"{writing / idle:.2f} x before", "click while a report is written", writing / idle)]


def click_times(clicks, until):
    """Clicks 25% and 50% in turn (two clicks on one button would make a double click) until the monotonic time
    `until`: marks no incident; (press time, seconds to the wire) of each."""
    times = []
    while time.monotonic() < until:
        since, sent, _ = clicks.click((2300, 3000)[len(times) % 2])
        times.append((since, sent - since))
        time.sleep(0.02)
    return times


def written_at(console):
    """The monotonic time of the incident report's line in the console's record."""
    line = next(line for line in reversed(console.record()) if line["event"] == "incident-report")
    wall = datetime.datetime.fromisoformat(line["time"]).timestamp()
    return wall - (time.time() - time.monotonic())


def clicks_around_a_report(settings):
    """The real console on screen with 100 karts at 20 Hz: F8 marks an incident after BEFORE_MARK seconds; clicks for
    2 s 20 s before the report is due, and from just before it is due until it is written; returns those and the ones
    pressed while it was written, and how long that took."""
    with screen_lan() as (hosts, display):
        with ScreenRun(hosts, display, settings.console, settings.simulator, ["--karts", "100", "--rate", "20"]) \
                as screen:
            screen.console.wait_for_window()
            clicks = LimitClicks(screen.console, InterfaceTap(hosts[0]))
            time.sleep(BEFORE_MARK)
            clicks.pointer.tap_key("F8")
            due = time.monotonic() + AFTER_MARK
            time.sleep(AFTER_MARK - 21)
            clicks.click(3000)  # the first click warms the paths it takes
            idle = [t for _, t in click_times(clicks, due - 19)]
            time.sleep(max(0.0, due - 1 - time.monotonic()))
            clicks.click(3000)  # after 18 s of quiet, a warm-up again
            around = click_times(clicks, due + 1.5)
            time.sleep(1)
            written = written_at(screen.console)
            screen.check_alive("after the incident report")
    writing = [t for since, t in around if due <= since <= written]
    return idle, writing, (written - due) * 1000


def measure(settings):
    log("incident recorder")
    results = googlebenchmark.run(settings.executable("bench", "bench_incident"), settings.smoke)
    clicks = (None, None, None)
    if not settings.smoke:
        log(f"incident report on screen: {BEFORE_MARK + AFTER_MARK} s of 100 karts at 20 Hz, clicks as it is written")
        clicks = clicks_around_a_report(settings)
    return IncidentFigures(*(results[name] for name in (
        "BM_LiveListReportRecorded", "BM_LiveListReport", "BM_RecorderMemory/iterations:1", "BM_CopyWindow/real_time",
        "BM_WriteReport/100/20/10/real_time", "BM_WriteReport/50/10/4/real_time")), *clicks)
