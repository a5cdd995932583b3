"""What the kernel counts for a process and the machine (/proc), and the statistics the tests and benchmarks
judge by. A host's UDP counters are Host.udp_counters()."""

import os
import re

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def memory_kb(pid, key="VmRSS"):
    """A memory figure of /proc/PID/status in KiB: VmRSS (resident now) or VmHWM (the resident peak)."""
    with open(f"/proc/{pid}/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise AssertionError(f"no {key} for process {pid}")


def _cpu_seconds(stat_text):
    # utime and stime, the 14th and 15th fields; the name before them may hold spaces and parentheses.
    fields = stat_text.rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def process_cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        return _cpu_seconds(stat.read())


def thread_cpu_seconds(pid):
    """CPU seconds per thread name (the main thread as "main", numbered threads of one kind summed)."""
    threads = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as stat:
                text = stat.read()
        except FileNotFoundError:
            continue
        name = "main" if tid == str(pid) else re.sub(r"\d+$", "", text[text.index("(") + 1:text.rindex(")")])
        threads[name] = threads.get(name, 0) + _cpu_seconds(text)
    return threads


def machine_busy_seconds():
    """(busy, total) CPU seconds of the whole machine since boot; idle and I/O wait are not busy."""
    with open("/proc/stat") as stat:
        fields = [int(x) for x in stat.readline().split()[1:]]
    idle = fields[3] + fields[4]
    return (sum(fields[:8]) - idle) / CLOCK_TICKS, sum(fields[:8]) / CLOCK_TICKS


def percentile(values, fraction):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]
