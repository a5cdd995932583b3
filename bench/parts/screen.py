"""The console on screen: the real build and the probe build under Xvfb beside the simulator, with 100 karts at
10 Hz and 1000 karts at 1 Hz; also the screen run that the soak shares."""

import contextlib
import dataclasses
import os
import time

from harness.console import AS_A_USER_RUNS_IT, Console, Simulator
from harness.measure import machine_busy_seconds, memory_kb, percentile, process_cpu_seconds, thread_cpu_seconds
from harness.network import VirtualLan
from harness.processes import log
from table import Row


@contextlib.contextmanager
def screen_lan():
    """The console host, the simulator host and a display as large as a laptop's, on a LAN of their own."""
    with VirtualLan("192.168.77.0/24") as lan:
        hosts = lan.add_host("console", "192.168.77.20"), lan.add_host("sim", "192.168.77.50")
        yield hosts, lan.display(1280, 800)
    lan.remove_logs()


class ScreenRun(contextlib.AbstractContextManager):
    """One console (real or probe build) on the console host and one simulator on the sim host, both on the
    display; the console runs as a user runs it and its output is discarded, so that no reader competes with
    it for the CPU."""

    def __init__(self, hosts, display, console, sim, sim_arguments, probe=False, sim_stdin=False, extra_env=None):
        console_host, sim_host = hosts
        self.hosts = hosts
        self.executable_name = os.path.basename(console)
        # A name of its own per run: its own settings store, QML cache and probe file, as a user's first start.
        name = f"console{len(console_host.processes)}"
        probe_file = os.path.join(console_host.lan.log_dir, f"{name}-probe.txt") if probe else None
        self.console = Console(console_host, console, display=display, name=name, probe_file=probe_file,
                               capture=False, extra_env={**AS_A_USER_RUNS_IT, **(extra_env or {})})
        self.probe = self.console.probe
        self.sim = None
        try:
            time.sleep(1.0)  # the console binds its port and loads its window first
            self.sim = Simulator(sim_host, sim, [*sim_arguments, *([] if sim_stdin else ["--no-control"])],
                                 name=f"sim{len(sim_host.processes)}")
        except BaseException:
            self.close()
            raise

    def check_alive(self, when):
        """Raises, naming what ended and its exit status, unless both still run."""
        for process in (self.console.process, self.sim.process):
            if not process.running():
                raise RuntimeError(f"{process.name} ended {when} with status {process.popen.returncode}")

    def udp_receive_buffer_errors(self):
        return self.hosts[0].udp_counters()["RcvbufErrors"]

    def close(self):
        if self.sim:
            self.sim.process.stop()
        self.console.process.stop()

    def __exit__(self, *exc):
        self.close()


@dataclasses.dataclass
class ScreenWindow:
    """What one console showed over the measured window: its CPU (in cores, and per thread name), how busy the
    machine was, its memory, the datagrams dropped at its socket and, for the probe build, its main thread's
    latency and rows."""
    cpu_share: float
    threads: dict
    machine_busy: float
    vm_hwm_mb: float
    vm_rss_mb: float
    drops: int
    post_p99_ms: float = None
    post_max_ms: float = None
    timer_p99_ms: float = None
    samples: int = None
    rows: int = None


def screen_window(hosts, display, console, sim, karts, rate, warmup, seconds, probe):
    """Runs console and simulator, waits `warmup`, and measures over `seconds`."""
    with ScreenRun(hosts, display, console, sim, ["--karts", str(karts), "--rate", str(rate)], probe) as screen:
        time.sleep(warmup)
        screen.check_alive(f"during the warm-up of {screen.executable_name}")
        return measure_window(screen, probe, seconds)


def measure_window(screen, probe, seconds, act=time.sleep):
    """Measures the running console of `screen` (with `probe`, its probe's figures too) while `act(seconds)` runs:
    by default nothing happens for `seconds`."""
    pid = screen.console.process.pid
    cpu0, threads0, busy0, drops0 = (process_cpu_seconds(pid), thread_cpu_seconds(pid), machine_busy_seconds(),
                                     screen.udp_receive_buffer_errors())
    offset = screen.probe.mark() if probe else 0
    start = time.monotonic()
    act(seconds)
    elapsed = time.monotonic() - start
    cpu1, threads1, busy1, drops1 = (process_cpu_seconds(pid), thread_cpu_seconds(pid), machine_busy_seconds(),
                                     screen.udp_receive_buffer_errors())
    screen.check_alive(f"while {screen.executable_name} was measured")
    window = ScreenWindow(
        cpu_share=(cpu1 - cpu0) / elapsed,
        threads={name: round((threads1.get(name, 0) - threads0.get(name, 0)) / elapsed, 3) for name in threads1},
        machine_busy=(busy1[0] - busy0[0]) / (busy1[1] - busy0[1]) if busy1[1] > busy0[1] else 0,
        vm_hwm_mb=memory_kb(pid, "VmHWM") / 1024, vm_rss_mb=memory_kb(pid, "VmRSS") / 1024, drops=drops1 - drops0)
    if probe:
        posts, timers, rows = (screen.probe.numbers(kind, offset=offset) for kind in ("post", "timer", "rows"))
        window.post_p99_ms = percentile(posts, 0.99) / 1000
        window.post_max_ms = max(posts, default=0) / 1000
        window.timer_p99_ms = percentile(timers, 0.99) / 1000
        window.samples = len(posts)
        window.rows = rows[-1] if rows else -1
    return window


def busiest_threads(threads, count=3):
    top = sorted(threads.items(), key=lambda item: -item[1])[:count]
    return ", ".join(f"{name} {share * 100:.0f}%" for name, share in top)


@dataclasses.dataclass
class ScreenFigures:
    real: ScreenWindow
    probe: ScreenWindow
    thousand: ScreenWindow
    thousand_probe: ScreenWindow

    def rows(self):
        real, probe, thousand, thousand_probe = self.real, self.probe, self.thousand, self.thousand_probe
        return [
            Row("On screen, 100 karts x 10 Hz: console CPU",
                f"{real.cpu_share * 100:.1f}% of a core ({busiest_threads(real.threads)})",
                f"machine {real.machine_busy * 100:.0f}% busy", "console CPU", real.cpu_share),
            Row("On screen, 100 karts x 10 Hz: main-thread event latency p99",
                f"{probe.post_p99_ms:.1f} ms (max {probe.post_max_ms:.1f} ms, {probe.samples} samples, "
                f"{probe.rows} rows)", f"probe CPU {probe.cpu_share * 100:.0f}%", "main-thread latency",
                probe.post_p99_ms),
            Row("On screen, 100 karts x 10 Hz: 10 ms timer lateness p99", f"{probe.timer_p99_ms:.1f} ms"),
            Row("On screen, 1000 karts x 1 Hz: peak memory", f"{thousand.vm_hwm_mb:.0f} MB (CPU "
                f"{thousand.cpu_share * 100:.0f}%; probe build: {thousand_probe.rows} rows, p99 "
                f"{thousand_probe.post_p99_ms:.1f} ms)", "", "peak memory", thousand.vm_hwm_mb),
            Row("On screen: datagrams dropped at the console's socket",
                f"{real.drops} / {probe.drops} / {thousand.drops} / {thousand_probe.drops}", "per run above"),
        ]


def measure(settings):
    console, probe, sim = settings.console, settings.probe, settings.simulator
    warmup, seconds = (3, 2) if settings.smoke else (8, 20)
    with screen_lan() as (hosts, display):
        log(f"on screen: 100 karts x 10 Hz, {seconds} s, real build then probe build")
        real = screen_window(hosts, display, console, sim, 100, 10, warmup, seconds, False)
        probe_window = screen_window(hosts, display, probe, sim, 100, 10, warmup, seconds, True)
        log(f"on screen: 1000 karts x 1 Hz, {seconds} s, real build then probe build")
        thousand = screen_window(hosts, display, console, sim, 1000, 1, warmup + 4, seconds, False)
        thousand_probe = screen_window(hosts, display, probe, sim, 1000, 1, warmup + 4, seconds, True)
    return ScreenFigures(real, probe_window, thousand, thousand_probe)
