"""Headless Debian Chromium for the tests that check what a person sees in an HTML file the console wrote (an
incident report): the DOM after the page's scripts ran, what its charts drew, and a screenshot. Every run gets a
new profile folder, and host names resolve to nothing, so a page that needs the network shows it by drawing
nothing."""

import dataclasses
import html.parser
import os
import pathlib
import re
import shutil
import subprocess
import tempfile

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--host-resolver-rules=MAP * ~NOTFOUND"]


def _chromium(page, action, budget_ms, window, timeout):
    executable = shutil.which("chromium")
    if not executable:
        raise RuntimeError("harness.browser: chromium is missing (Debian package chromium, in TEST_PACKAGES)")
    with tempfile.TemporaryDirectory(prefix="deviv-chromium-") as profile:
        argv = [executable, *FLAGS, f"--user-data-dir={profile}", f"--virtual-time-budget={budget_ms}",
                f"--window-size={window[0]},{window[1]}", *action, pathlib.Path(page).resolve().as_uri()]
        # No session bus: Chromium would otherwise look for one and log about it.
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS="disabled:")
        result = subprocess.run(argv, capture_output=True, text=True, timeout=timeout, env=env)
    if result.returncode != 0:
        raise RuntimeError(f"harness.browser: chromium exited with {result.returncode}: {result.stderr[-2000:]}")
    return result.stdout


def dom(page, budget_ms=5000, timeout=120):
    """The page's DOM as HTML once its scripts have run for `budget_ms` of virtual time."""
    return _chromium(page, ["--dump-dom"], budget_ms, (1000, 1400), timeout)


def screenshot(page, png, window=(1000, 1400), budget_ms=5000, timeout=120):
    """A PNG of the page's top `window` pixels, once its scripts have run."""
    _chromium(page, [f"--screenshot={os.path.abspath(png)}"], budget_ms, window, timeout)


@dataclasses.dataclass
class Chart:
    """One chart as the DOM shows it: the heading above it, the canvases drawn into it and the rows it drew."""
    title: str
    canvases: int = 0
    points: int = 0


@dataclasses.dataclass
class Page:
    """What a person reads on the page: its text (whitespace collapsed), the texts shown in red (class "never")
    and the charts."""
    text: str
    never: list
    charts: list


VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source", "track", "wbr"}


class _Reader(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.stack = []  # (tag, what it is: "never", "chart", "script" or "")
        self.text, self.never, self.charts, self.heading = [], [], [], ""

    def handle_starttag(self, tag, attrs):
        self.handle_data(" ")  # cells and blocks read apart
        attrs = dict(attrs)
        classes = (attrs.get("class") or "").split()
        if tag == "canvas" and self.charts and any(kind == "chart" for _, kind in self.stack):
            self.charts[-1].canvases += 1
        if tag in VOID:
            return
        kind = "script" if tag in ("script", "style") else "never" if "never" in classes else ""
        if "chart" in classes:
            kind = "chart"
            self.charts.append(Chart(self.heading, points=int(attrs.get("data-points") or 0)))
        if kind == "never":
            self.never.append("")
        if tag == "h3":
            self.heading = ""
        self.stack.append((tag, kind))

    def handle_endtag(self, tag):
        while self.stack and self.stack.pop()[0] != tag:
            pass

    def handle_data(self, data):
        kinds = [kind for _, kind in self.stack]
        if "script" in kinds:
            return
        self.text.append(data)
        if "never" in kinds:
            self.never[-1] += data
        if self.stack and self.stack[-1][0] == "h3":
            self.heading += data


def read(page_dom):
    """The Page that a DOM (from dom()) shows."""
    reader = _Reader()
    reader.feed(page_dom)
    collapse = lambda text: re.sub(r"\s+", " ", text).strip()  # noqa: E731
    return Page(collapse(" ".join(reader.text)), [collapse(text) for text in reader.never], reader.charts)

