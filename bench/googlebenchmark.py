"""Runs a Google Benchmark program (bench_decoder, bench_livelist) and keeps the median figures of each
benchmark."""

import dataclasses
import json
import subprocess


@dataclasses.dataclass
class Benchmark:
    """One benchmark's median CPU time per iteration, its throughput where it counts one, heap allocations per
    datagram where it counts them, the coefficient of variation of its CPU time (None without repetitions), its
    median wall-clock time per iteration and its other counters by name."""
    nanoseconds: float
    cv: float = None
    bytes_per_second: float = 0
    items_per_second: float = 0
    allocations: float = None
    real_nanoseconds: float = 0
    counters: dict = dataclasses.field(default_factory=dict)

    def cv_text(self):
        return f", cv {self.cv * 100:.0f}%" if self.cv is not None else ""


def run(binary, smoke, repetitions=5):
    """Every benchmark of `binary` by name: a few milliseconds each when `smoke`, else the median of `repetitions`
    runs in random interleaving."""
    arguments = [binary, "--benchmark_format=json"]
    if smoke:
        arguments += ["--benchmark_min_time=0.01"]
    else:
        arguments += ["--benchmark_min_time=0.2", f"--benchmark_repetitions={repetitions}",
                      "--benchmark_enable_random_interleaving=true", "--benchmark_report_aggregates_only=true"]
    output = subprocess.run(arguments, check=True, capture_output=True, text=True).stdout
    entries = {}
    for entry in json.loads(output)["benchmarks"]:
        if entry.get("error_occurred"):
            raise RuntimeError(f"{binary}: {entry['name']}: {entry.get('error_message')}")
        aggregate = entry.get("aggregate_name")
        name = entry.get("run_name", entry["name"])
        if aggregate in (None, "median"):
            entries.setdefault(name, {}).update(entry)
        elif aggregate == "cv":
            entries.setdefault(name, {})["cv"] = entry["cpu_time"]
    return {name: _benchmark(entry) for name, entry in entries.items()}


# What every entry has; the rest of its numbers are the benchmark's own counters.
_STANDARD = {"family_index", "per_family_instance_index", "repetitions", "repetition_index", "threads", "iterations",
             "real_time", "cpu_time", "bytes_per_second", "items_per_second", "allocs_per_datagram", "cv"}


def _benchmark(entry):
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[entry["time_unit"]]
    counters = {key: value for key, value in entry.items()
                if key not in _STANDARD and isinstance(value, (int, float)) and not isinstance(value, bool)}
    return Benchmark(entry["cpu_time"] * scale, entry.get("cv"), entry.get("bytes_per_second", 0),
                     entry.get("items_per_second", 0), entry.get("allocs_per_datagram"), entry["real_time"] * scale,
                     counters)
