"""Soak: 1000 reports/s for ten minutes with karts coming and going, the probe build on screen."""

import dataclasses
import time

from harness.measure import memory_kb, percentile
from harness.processes import log
from parts.screen import ScreenRun, screen_lan
from table import Row

KARTS, GROUPS, GROUP_SIZE, ONLINE_GROUPS = 1000, 10, 100, 5
IDS = [1001 + i for i in range(KARTS)]


@dataclasses.dataclass
class SoakFigures:
    minutes: float
    samples: list     # (seconds into the soak, resident MB), every 10 s and at the end
    row_counts: list  # the live list's rows, once a second
    drops: int        # datagrams dropped at the console's socket
    hwm_mb: float
    post_p99_ms: float
    post_max_ms: float
    post_samples: int

    def rows(self):
        # Memory after the first minute; a run of a minute or less (the smoke run) compares with its first sample.
        after_minute = next(mb for t, mb in self.samples if t >= 60) if self.minutes > 1 else self.samples[0][1]
        reference = "after 1 min" if self.minutes > 1 else "at start"
        at_end = self.samples[-1][1]
        ratio = at_end / after_minute
        return [
            Row(f"Soak {self.minutes:g} min, 1000 reports/s, karts coming and going: memory",
                f"{at_end:.1f} MB at end, {after_minute:.1f} MB {reference} (peak {self.hwm_mb:.0f} MB; rows "
                f"{min(self.row_counts[6:], default=-1)}..{max(self.row_counts, default=-1)}; drops {self.drops}; "
                f"p99 {self.post_p99_ms:.1f} ms)", f"{ratio:.3f} x {reference}", "soak memory", ratio),
            Row(f"Soak {self.minutes:g} min: main-thread event latency p99",
                f"{self.post_p99_ms:.1f} ms (max {self.post_max_ms:.1f} ms, {self.post_samples} samples)", "",
                "main-thread latency", self.post_p99_ms),
        ]


def measure(settings):
    """1000 karts at 2 Hz; five groups of 100 online at a time; every 30 s one group falls silent and one
    comes back, so groups stay silent for 150 s and their rows are removed and made again. The smoke run turns
    the groups over every 4 s, so that the rotation runs too."""
    minutes, rotate_seconds = (0.2, 4) if settings.smoke else (settings.soak_minutes, 30)
    log(f"soak: {minutes:g} minutes at 1000 reports/s")
    silent_from_start = ",".join(str(i) for i in IDS[ONLINE_GROUPS * GROUP_SIZE:])
    with screen_lan() as (hosts, display):
        with ScreenRun(hosts, display, settings.probe, settings.simulator,
                       ["--karts", str(KARTS), "--rate", "2", "--offline", silent_from_start], probe=True,
                       sim_stdin=True) as screen:
            samples, hwm, drops = _rotate_groups(screen, minutes, rotate_seconds)
        posts, row_counts = screen.probe.numbers("post"), screen.probe.numbers("rows")
    return SoakFigures(minutes, samples, row_counts, drops, hwm, percentile(posts, 0.99) / 1000,
                       max(posts, default=0) / 1000, len(posts))


def _rotate_groups(screen, minutes, rotate_seconds):
    """Turns the groups over for `minutes`; returns the memory samples, the peak and the drops at the socket."""
    pid = screen.console.process.pid
    drops0 = screen.udp_receive_buffer_errors()
    samples = []
    start = time.monotonic()
    end = start + minutes * 60
    next_rotation, rotation, next_sample = start + rotate_seconds, 0, start
    while time.monotonic() < end:
        now = time.monotonic()
        if now >= next_sample:
            screen.check_alive("during the soak")
            samples.append((now - start, memory_kb(pid) / 1024))
            next_sample += 10
        if now >= next_rotation:
            leaving = rotation % GROUPS
            coming = (rotation + ONLINE_GROUPS) % GROUPS
            for i in IDS[leaving * GROUP_SIZE:(leaving + 1) * GROUP_SIZE]:
                screen.sim.control(f"kart {i} offline", timeout=None)
            for i in IDS[coming * GROUP_SIZE:(coming + 1) * GROUP_SIZE]:
                screen.sim.control(f"kart {i} online", timeout=None)
            rotation += 1
            next_rotation += rotate_seconds
        time.sleep(max(0.0, min(next_sample, next_rotation, end) - time.monotonic()))
    samples.append((time.monotonic() - start, memory_kb(pid) / 1024))
    return samples, memory_kb(pid, "VmHWM") / 1024, screen.udp_receive_buffer_errors() - drops0
