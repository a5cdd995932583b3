"""The incident recorder (bench_incident): keeping each report of 100 karts at 10 Hz beside the live list's own cost
per report, its memory after ten minutes of 100 karts at 20 Hz, the time a report's window holds the main thread
when it is copied, and the time the longest report takes to write (which the console's exit may wait for)."""

import dataclasses

import googlebenchmark
from googlebenchmark import Benchmark
from harness.processes import log
from table import Row

REPORTS_PER_SECOND = 100 * 10


@dataclasses.dataclass
class IncidentFigures:
    recorder: Benchmark
    live_list: Benchmark
    memory: Benchmark
    copy: Benchmark
    write: Benchmark

    def rows(self):
        cores = self.recorder.nanoseconds * REPORTS_PER_SECOND / 1e9
        held, samples = self.memory.counters["bytes_held"], self.memory.counters["samples"]
        copy_ms = self.copy.real_nanoseconds / 1e6
        write_ms = self.write.real_nanoseconds / 1e6
        return [
            Row("Incident recorder: one kart report kept (100 karts x 10 Hz)",
                f"{self.recorder.nanoseconds:.0f} ns{self.recorder.cv_text()}",
                f"{cores * 100:.4f}% of a core at {REPORTS_PER_SECOND} reports/s; "
                f"{self.recorder.nanoseconds / self.live_list.nanoseconds:.2f} x the live list's report "
                f"({self.live_list.nanoseconds:.0f} ns)", "incident recorder CPU", cores),
            Row("Incident recorder: memory after 10 minutes of 100 karts x 20 Hz", f"{held / 1e6:.1f} MB",
                f"{samples:.0f} samples, {held / samples:.1f} bytes each", "incident recorder memory", held / 1e6),
            Row("Incident report: its window copied on the main thread (10 minutes, 100 karts x 20 Hz)",
                f"{copy_ms * 1000:.1f} us{self.copy.cv_text()}", f"{self.copy.counters['samples']:.0f} samples shared",
                "incident copy", copy_ms),
            Row("Incident report: the longest written, HTML and CSV (its own thread)", f"{write_ms:.0f} ms",
                f"{self.write.counters['bytes'] / 1e6:.0f} MB", "incident report written", write_ms),
        ]


def measure(settings):
    log("incident recorder")
    results = googlebenchmark.run(settings.executable("bench", "bench_incident"), settings.smoke)
    return IncidentFigures(*(results[name] for name in (
        "BM_RecorderReport", "BM_LiveListReport", "BM_RecorderMemory/iterations:1", "BM_CopyWindow/real_time",
        "BM_WriteReport/real_time")))
