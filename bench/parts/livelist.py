"""The live list (bench_livelist): one report for a transponder that has its row, with 10 and with 10000 rows,
and one ageing sweep over 10000 fresh or stale rows."""

import dataclasses

import googlebenchmark
from harness.processes import log
from table import Row

ORDERS = {"RandomOrder": "random order", "RoundRobin": "round robin"}


@dataclasses.dataclass
class LiveListFigures:
    reports: dict  # order -> (10 rows, 10000 rows)
    sweeps: dict   # "fresh"/"stale" -> 10000 rows

    def rows(self):
        rows = []
        for order, label in ORDERS.items():
            few, many = self.reports[order]
            judged = order == "RandomOrder"  # the order hardest on the caches
            rows.append(Row(f"Live list: one report, 10000 rows ({label})", f"{many.nanoseconds:.0f} ns{many.cv_text()}",
                            f"{many.nanoseconds / few.nanoseconds:.2f} x 10 rows ({few.nanoseconds:.0f} ns)",
                            "live list report" if judged else "", many.nanoseconds / 1000))
        for kind, sweep in self.sweeps.items():
            rows.append(Row(f"Live list: ageing sweep of 10000 {kind} rows", f"{sweep.nanoseconds / 1e3:.0f} us",
                            f"{sweep.nanoseconds / 10000:.1f} ns per row"))
        return rows


def measure(settings):
    log("live list")
    results = googlebenchmark.run(settings.executable("bench", "bench_livelist"), settings.smoke)
    return LiveListFigures(
        {order: (results[f"BM_Report{order}/rows:10"], results[f"BM_Report{order}/rows:10000"]) for order in ORDERS},
        {kind.lower(): results[f"BM_Sweep{kind}Rows/rows:10000"] for kind in ("Fresh", "Stale")})
