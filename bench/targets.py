"""Every target of the benchmark, in one table: the rows it judges, how (the ratio to a reference measured in the
same run, or an absolute limit) and the limit."""

import dataclasses


@dataclasses.dataclass(frozen=True)
class Target:
    """A bound on the value of the rows named `row`. A ratio target's value is the row's figure divided by a figure
    of the same run, which `reference` names; an absolute target's value is the figure itself, in `unit`."""
    row: str
    limit: float
    at_most: bool = True
    reference: str = ""
    unit: str = ""

    def text(self):
        bound = f"{'<=' if self.at_most else '>='} {self.limit:g}"
        return f"{bound} x {self.reference}" if self.reference else f"{bound}{self.unit}"

    def met(self, value):
        return value <= self.limit if self.at_most else value >= self.limit

    def share(self, value):
        """An absolute target's value as a multiple of its limit, for the Judged-by column; a ratio target's row says
        its own ratio."""
        if self.reference or not self.limit:
            return ""
        share = value / self.limit
        return f"{share:{'.0f' if share >= 10 else '.2f'}} x {self.limit:g}{self.unit}"


CONSOLE_CPU = 0.25  # cores, with 100 karts at 10 Hz on screen

TARGETS = {target.row: target for target in (
    Target("decoder allocations", 0),
    # The start-marker search against what a gigabit LAN can bring it (125 MB/s), on noise and on its worst case.
    Target("decoder scan", 125, at_most=False, unit=" MB/s (a gigabit LAN)"),
    # A report against a budget an operator could feel: at 100k reports/s each may cost 10 us in all.
    Target("live list report", 1, unit=" us"),
    Target("ingest up to 100k/s", 0.9, at_most=False, reference="raw loop"),
    Target("console CPU", CONSOLE_CPU, unit=" cores"),
    Target("main-thread latency", 50, unit=" ms"),
    Target("peak memory", 150, unit=" MB"),
    Target("new karts answered", 50, unit=" ms"),
    Target("click in a flood", 2.0, reference="no flood, median and worst"),
    # F12 typed while another program has the focus puts STOP on the wire as fast as a click on STOP.
    Target("stop key", 2.0, reference="the click with no flood, median and worst"),
    Target("memory growth in a flood", 32, unit=" MB"),
    Target("new kart after a flood", 100, unit=" ms"),
    # Every kart, the relay's and the flood's alike, answered at least once in every 0.3 s of the flood.
    Target("kart in sight", 0.3, unit=" s"),
    Target("command in a flood", 100, unit=" ms"),
    # Writing the event record moves the on-screen figures by at most 10% of their targets. A few hundredths of a
    # core, or a p99 under a millisecond, move by more than 10% of themselves between two windows of 20 s, so the
    # difference is judged, not the ratio.
    Target("record CPU", 0.1 * CONSOLE_CPU, unit=" cores"),
    Target("record p99", 0.1 * 50, unit=" ms"),
    # A flag change on the timing feed reaches the wire well within a second; a feed of garbage costs the operator
    # nothing.
    Target("flag to the wire", 1000, unit=" ms (worst)"),
    Target("click beside a garbage feed", 2.0, reference="the feed quiet, median"),
    Target("memory beside a garbage feed", 1, unit=" MB"),
    Target("soak memory", 1.05, reference="memory after the first minute"),
    # The incident recorder: 1% of a core over the console without it, within 32 MB for ten minutes of 100 karts at
    # 20 Hz, a report's copy within a frame (16 ms) of the main thread, and the longest report written within the 2 s
    # the console's exit gives what is pending.
    Target("incident recorder CPU", 0.01, unit=" cores"),
    Target("incident recorder memory", 32, unit=" MB"),
    Target("incident copy", 16, unit=" ms"),
    Target("incident report written", 2000, unit=" ms"),
    Target("click while a report is written", 1.1, reference="20 s before, median"),
)}
