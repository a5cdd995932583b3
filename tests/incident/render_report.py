"""Opens a 50-kart incident report from tst_incidentrecorder in headless Chromium: every kart's chart drawn with its
2400 samples, the karts that never took STOP in red, and a screenshot to look at.

    python3 tests/incident/render_report.py BUILD_DIR OUT_DIR
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from harness import browser  # noqa: E402

build, out = sys.argv[1:3]
report = os.path.join(out, "report.html")
subprocess.run([os.path.join(build, "tests", "incident", "tst_incidentrecorder"), "fiftyKartsOverFourMinutesStandAlone"],
               env=dict(os.environ, DEVIV_KEEP_REPORT=report, QT_QPA_PLATFORM="offscreen"), check=True,
               stdout=subprocess.DEVNULL)
page = browser.read(browser.dom(report))
assert "STOP (0 RPM) for all karts, source: key F12" in page.text, page.text[:500]
assert len(page.charts) == 50 and all(c.canvases and c.points == 2400 for c in page.charts), page.charts
assert sum("never took STOP" in line for line in page.never) == 5, page.never
browser.screenshot(report, os.path.join(out, "report.png"), window=(1000, 2400))
print(f"{report}: {os.path.getsize(report) / 1e6:.1f} MB, 50 charts drawn; screenshot {out}/report.png")
