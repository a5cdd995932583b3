"""The console and the retranslator simulator on hosts of the virtual LAN, and what the harness knows of them: the
console's screen (where things are, their colours, the settings-screen steps of an operator), the output of the
probe console (deviv_azeve_probe) and the simulator's control and log lines."""

import csv
import glob
import json
import os
import re
import time

from harness.display import colour_matches
from harness.processes import wait_until
from harness.wine import windows_path

# Colours of the console's screen.
ONLINE = "green"
OFFLINE = "#777777"
PLATE_ONLINE = "#ff5f00"
PLATE_OFFLINE = "grey"
BUTTON_UNCHECKED = "#ffffff"
BUTTON_CONFIRMED = "green"
BUTTON_UNCONFIRMED = "#808080"
BUTTON_STOPPED = "red"
BOTTOM_BAR = "#2a2a2a"
MATERIAL_LIGHT_GREEN = "#8bc34a"  # the settings screen's add and OK buttons
KART_NUMBER_FIELD = "#66cdaa"
WINDOW_TITLE = "REROD Quick"
QT_QUIET = "qt.*.debug=false;qt.*.info=false"
# What a user's environment does not set: the harness's message format and logging rules.
AS_A_USER_RUNS_IT = {"QT_MESSAGE_PATTERN": None, "QT_LOGGING_RULES": None}


def centre_of(corner, size=64):
    """The centre of a square button of `size` pixels whose top-left corner is `corner`."""
    return corner[0] + size // 2, corner[1] + size // 2


def inside_of(corner, size=64):
    """A point of a button's background, clear of its border and text: near its left edge, half-way down (the
    style insets the background at the top and bottom)."""
    return corner[0] + 5, corner[1] + size // 2


class Console:
    """The console executable on a host, with a settings store of its own (unless `config_dir` names one) and,
    when given a display, its window there; otherwise offscreen. `probe_file` makes deviv_azeve_probe write to
    that file, read through `probe`. `net_debug=False` switches off the exchange's line per datagram, which
    would make a flood a test of the log pipe. `extra_env` is laid over the environment; None values unset a
    variable. `capture=False` discards the output (a measured console does not pay for a reader)."""

    def __init__(self, host, executable, display=None, config_dir=None, name="console", extra_env=None,
                 probe_file=None, net_debug=True, arguments=(), capture=True, wine=None):
        self.host = host
        self.display = display
        own = host.lan.temporary_directory(f"{host.name}-{name}")
        self.config_dir = config_dir or os.path.join(own, "config")
        # The event record goes to the application data folder: the run's own, not root's home.
        self.data_dir = os.path.join(own, "data")
        runtime_dir = os.path.join(own, "runtime")
        for path in (self.config_dir, runtime_dir):
            os.makedirs(path, mode=0o700, exist_ok=True)
        env = {
            "XDG_CONFIG_HOME": self.config_dir,
            "XDG_DATA_HOME": self.data_dir,
            # The QML disk cache stays with the run, not in root's home.
            "XDG_CACHE_HOME": os.path.join(own, "cache"),
            "XDG_RUNTIME_DIR": runtime_dir,
            "QT_MESSAGE_PATTERN": "%{category}: %{message}",
            # The exchange logs every datagram; keep that (tests read the ping lines) but not Qt's own chatter. Qt's
            # warnings stay: they say why a console could not start.
            "QT_LOGGING_RULES": QT_QUIET + ("" if net_debug else ";zadar.net.debug=false"),
        }
        if display is None:
            env.update({"QT_QPA_PLATFORM": "offscreen", "QT_QUICK_BACKEND": "software"})
        else:
            # Under Wine the window is a Windows one, which Wine shows on the display.
            env.update({"QT_QPA_PLATFORM": "windows" if wine else "xcb", "QT_QUICK_BACKEND": None, **display.env()})
        self.probe = None
        if probe_file:
            env["DEVIV_PROBE_OUT"] = windows_path(probe_file) if wine else probe_file
            self.probe = ProbeOutput(probe_file)
        env.update(extra_env or {})
        # A Windows console (`wine`: the harness.wine.Prefix of its host) keeps its settings in that prefix's
        # registry.
        argv = [executable, *arguments]
        self.wine = wine
        if wine:
            argv, env = wine.command(argv), wine.environment(env)
        self.process = host.run(name, argv, env, capture=capture)
        self.window = None

    def wait_until_pinging(self, timeout=15.0):
        self.process.wait_for(r"Ping to ", timeout)

    def wait_for_window(self, timeout=20.0):
        try:
            self.window = self.display.wait_for_window(self.process.pid, timeout=timeout)
        except AssertionError as error:
            raise AssertionError(f"{error}; the console (running: {self.process.running()}) said:\n"
                                 + "\n".join(self.process.lines()[-25:])) from None
        return self.window

    def stop(self):
        return self.process.stop()

    def close_window(self, timeout=10.0):
        """Closes the window as the user would and returns the exit status (None if it keeps running). Raises when
        the console took more than a second to end or printed a QML warning. A sanitized console is given its
        checks' time, and one under Wine Wine's: the close request reaches its event loop 2 s after the window's (its
        own exit then takes about 10 ms)."""
        self.display.close_window(self.window)
        closed = time.monotonic()
        status = self.process.wait(timeout)
        took = time.monotonic() - closed
        if status is not None and took > 1.0 and not self.wine and not os.environ.get("DEVIV_E2E_SANITIZED"):
            raise AssertionError(f"the console took {took:.2f} s to end after its window closed")
        warnings = [line for line in self.process.lines() if ".qml:" in line]
        if warnings:
            raise AssertionError("QML warnings:\n" + "\n".join(warnings))
        return status

    def record(self):
        """The lines of the console's event record so far, oldest first, as dicts keyed by the header's columns."""
        folder = os.path.join(self.data_dir, "deviv", "zadar")
        lines = []
        for name in sorted(glob.glob(os.path.join(folder, "events-*.csv"))):
            with open(name, encoding="utf-8-sig", newline="") as f:
                lines += list(csv.DictReader(f))
        return lines

    def incident_reports(self):
        """The incident reports the console has written (HTML files), oldest first."""
        return sorted(glob.glob(os.path.join(self.data_dir, "deviv", "zadar", "incidents", "incident-*.html")))

    def settings_file(self):
        return os.path.join(self.config_dir, "deviv", "zadar.conf")

    # Where things are, in screen coordinates. The window is 400x600 with the menu bar at its top; the main
    # screen ends with the 20-pixel status line and the 72-pixel bottom bar. Rows are 48 pixels high and 5
    # apart; the row buttons are 48 wide at the right (25%, 50%, 100%, STOP); the bottom bar's buttons are 64
    # wide, 4 apart.
    def point(self, x, y):
        return self.window.x + x, self.window.y + y

    def status_line_point(self):
        # The right end of the line, clear of its text.
        return self.point(self.window.width - 8, self.window.height - 72 - 10)

    def bottom_button(self, index):
        """(left, top) of bottom-bar button `index`: 0 "25%", 1 "50%", 2 "100%", 3 "STOP"."""
        return self.point(4 + index * 68, self.window.height - 68)

    def plate_x(self):
        """The column of the number plates' left edges, clear of the kart numbers."""
        return self.point(3, 0)[0]

    def plates(self, image):
        """(top, bottom) of every number plate (orange or grey) in the live list, top to bottom."""
        x, top = self.plate_x(), self.point(0, 0)[1]
        bottom = self.window.y + self.window.height - 72 - 20
        runs = image.runs_in_column(x, PLATE_ONLINE, top, bottom) + image.runs_in_column(x, PLATE_OFFLINE, top, bottom)
        # A plate is 48 pixels high; the menu bar's grey is not one.
        return sorted(run for run in runs if 44 <= run[1] - run[0] + 1 <= 52)

    def wait_for_plates(self, count, timeout=10.0):
        """Waits until the live list shows `count` number plates; returns them."""
        plates = []

        def shown():
            nonlocal plates
            plates = self.plates(self.display.screenshot())
            return plates if len(plates) == count else None
        return wait_until(shown, timeout, lambda: f"{len(plates)} number plates on screen, not {count}: {plates}",
                          0.25)

    def row_button(self, plate, index):
        """(left, top) of the row button `index` (0 "25%" ... 3 "STOP") in the row of `plate`."""
        return self.point(self.window.width - (4 - index) * 53 + 5, 0)[0], plate[0]

    def on_main_screen(self):
        """Whether the main screen shows: its bottom bar is the only dark area at the bottom of the window."""
        bar = self.point(self.window.width // 2, self.window.height - 10)
        return colour_matches(self.display.screenshot().pixel(*bar), BOTTOM_BAR)

    # The settings screen, as an operator reaches and uses it.
    def open_settings(self):
        """Opens the settings screen through the menu; returns the bounding box of its add button."""
        self.display.click(*self.point(60, 20))  # the menu
        time.sleep(0.5)
        self.display.click(*self.point(60, 75))  # its only action

        # The screen slides in; it is there when its add button is.
        def add_button():
            add = self.display.screenshot().find(MATERIAL_LIGHT_GREEN, *self.point(0, 40), *self.point(400, 300))
            return add if add and add[2] - add[0] > 40 else None
        add = wait_until(add_button, 5, "the settings screen did not open", 0.2)
        time.sleep(0.3)
        return add

    def kart_number_fields(self):
        """(top, bottom) of every kart-number field on the settings screen."""
        # The field's left edge, clear of its text and placeholder.
        x, top = self.point(0, 40)
        runs = self.display.screenshot().runs_in_column(x, KART_NUMBER_FIELD, top, self.window.y + 540)
        return [run for run in runs if run[1] - run[0] > 30]

    def add_registry_entry(self, add_button, kart_number, transponder_id):
        """Adds a row to the kart-number registry on the settings screen and types its two fields."""
        before = len(self.kart_number_fields())
        self.display.click((add_button[0] + add_button[2]) // 2, (add_button[1] + add_button[3]) // 2)
        fields = wait_until(lambda: f if len(f := self.kart_number_fields()) == before + 1 else None, 5,
                            "no new registry row", 0.2)
        field = fields[-1]
        middle = (field[0] + field[1]) // 2
        for x, text in ((30, kart_number), (180, transponder_id)):
            self.display.click(self.point(x, 0)[0], middle)
            self.display.type_text(text)
            self.display.key("Return")
        time.sleep(0.5)

    def confirm_settings(self):
        """Presses OK on the settings screen; returns once the main screen is back."""
        ok = self.display.screenshot().find(MATERIAL_LIGHT_GREEN, *self.point(0, 500), *self.point(400, 600))
        if ok is None:
            raise AssertionError("no OK button on the settings screen")
        self.display.click((ok[0] + ok[2]) // 2, (ok[1] + ok[3]) // 2)
        time.sleep(0.8)
        wait_until(lambda: self.on_main_screen() or None, 5, "OK did not bring the main screen back", 0.2)


class Simulator:
    """The retranslator simulator on a host, driven through its control lines."""

    def __init__(self, host, executable, arguments=(), name="sim"):
        self.host = host
        self.process = host.run(name, [executable, *arguments], stdin=True)
        self.process.wait_for(r"start (karts|replay)=", 10)

    def control(self, line, timeout=5.0):
        """Sends a control line and waits for the simulator to take it (timeout None: does not wait)."""
        since = self.process.mark()
        self.process.send_line(line)
        if timeout is not None:
            self.process.wait_for(re.escape(f'control "{line}" -> ') + "ok", timeout, since=since)

    def received(self, kind=None, source=None, text=None, since=0):
        """The (time, match) pairs of 'recv' lines, filtered by kind, sender address and exact text."""
        pattern = r"recv kind=(?P<kind>\w+) from=(?P<ip>[\d.]+):(?P<port>\d+) to=(?P<to>\S+) " \
                  r"result=(?P<result>\S+).* text=\"(?P<text>.*)\"$"
        found = self.process.matches(pattern, since)
        return [(t, m) for t, m in found if (kind is None or m["kind"] == kind)
                and (source is None or m["ip"] == source) and (text is None or m["text"] == text)]

    def wait_received(self, kind=None, source=None, text=None, since=0, timeout=10.0, count=1):
        def found():
            lines = self.received(kind, source, text, since)
            return lines if len(lines) >= count else None
        return wait_until(found, timeout, lambda: f"simulator received {len(self.received(kind, source, text, since))} "
                          f"of {count} kind={kind} from={source} text={text} within {timeout} s; recent lines:\n"
                          + "\n".join(self.process.lines(since)[-15:]))


class FeedPlayer:
    """The feed player on a host: the timing system's RMonitor server, playing `session` (a file) from the first
    client on, at `speed` times real time. `address` is what a console's "timingFeed/address" names."""

    PORT = 50000

    def __init__(self, host, executable, session, speed=1, name="feed"):
        self.process = host.run(name, [executable, "--listen", "0.0.0.0", "--port", str(self.PORT), "--speed",
                                       str(speed), session])
        self.process.wait_for(r" start file=", 10)
        self.address = f"{host.address}:{self.PORT}"

    def wait_for_flag(self, flag, timeout=20.0):
        """Waits until the player has sent a heartbeat with `flag` ("green", ..., "none") and returns its time."""
        return self.process.wait_for(rf" flag {flag} line", timeout)[0][0]

    def wait_until_played(self, timeout=30.0):
        """Waits until the player has sent the whole session and closed its connections."""
        self.process.wait_for(r" end sent=", timeout)


def rmonitor_session(flags, run_name="Heat 1", seconds_each=2):
    """An RMonitor session's lines (CR LF ended): an init record and the run's name, then a heartbeat a second with
    each flag of `flags` ("green", "yellow", "red", "finish", "" for none) for `seconds_each` seconds."""
    padded = {"": "      ", "green": "Green ", "yellow": "Yellow", "red": "Red   ", "finish": "Finish"}
    lines = ['$I,"14:00:00.000","09 Dec 26"', f'$B,1,"{run_name}"']
    second = 0
    for flag in flags:
        for _ in range(seconds_each):
            second += 1
            lines.append(f'$F,10,"00:10:00","14:00:{second:02d}","00:00:{second:02d}","{padded[flag]}"')
    return "".join(line + "\r\n" for line in lines).encode("ascii")


class ProbeOutput:
    """The lines that deviv_azeve_probe writes: "post <t_ms> <wait_us>", "timer <t_ms> <late_us>",
    "link <t_ms> <json>", "release <t_ms> <t_us>", "limitmode <t_ms> <t_us> <mode>" and "rows <t_ms> <n> <rows>"; t is
    the monotonic clock, as time.monotonic() reads it (times 1000). A line still being written (no newline yet) is
    not read."""

    def __init__(self, path):
        self.path = path

    def mark(self):
        """A position in the file; pass it as `offset` to read only what comes later."""
        try:
            return os.path.getsize(self.path)
        except FileNotFoundError:
            return 0

    def records(self, kind, start=None, end=None, offset=0):
        """(t in seconds, the rest of the line) of the lines of `kind` written after `offset` bytes, and, when
        given, between the monotonic times `start` and `end`."""
        try:
            with open(self.path, encoding="utf-8", errors="replace") as f:
                f.seek(offset)
                lines = f.read().split("\n")[:-1]
        except FileNotFoundError:
            return []
        found = []
        for line in lines:
            parts = line.split(" ", 2)
            if len(parts) != 3 or parts[0] != kind or not parts[1].isdigit():
                continue
            t = int(parts[1]) / 1000.0
            if (start is None or t >= start) and (end is None or t <= end):
                found.append((t, parts[2]))
        return found

    def precise_records(self, kind, since, offset=0):
        """(t in seconds to the microsecond, the rest of the line) of the lines of `kind` that carry their time in
        microseconds too ("release", "limitmode"), from the monotonic time `since` on and written after `offset`."""
        found = []
        for _, text in self.records(kind, start=since - 0.001, offset=offset):
            microseconds, _, rest = text.partition(" ")
            if int(microseconds) / 1e6 >= since:
                found.append((int(microseconds) / 1e6, rest))
        return found

    def numbers(self, kind, start=None, end=None, offset=0):
        """The first number of each line of `kind`: microseconds of a post or timer line, the row count of a rows
        line."""
        return [int(text.split(" ", 1)[0]) for _, text in self.records(kind, start, end, offset)]

    def link_states(self, since=0.0):
        return [(t, json.loads(text)) for t, text in self.records("link", start=since)]

    def wait_for_link(self, predicate, timeout, since=0.0):
        return wait_until(lambda: next(((t, s) for t, s in self.link_states(since) if predicate(s)), None), timeout,
                          lambda: f"no link state as wanted within {timeout} s; last: {self.link_states()[-3:]}", 0.1)

    def waits_ms(self, start, end):
        return [us / 1000.0 for us in self.numbers("post", start, end)]

    def row_samples(self):
        """(t, [(transponder id, online, limit in force), ...] in row order), once a second."""
        samples = []
        for t, text in self.records("rows"):
            fields = text.split(" ", 1)
            rows = fields[1].split(",") if len(fields) > 1 and fields[1] else []
            samples.append((t, [tuple(int(v) for v in row.split(":")) for row in rows]))
        return samples

    def rows(self):
        samples = self.row_samples()
        return len(samples[-1][1]) if samples else None

    def link_chain(self):
        """The link states one after another, each once however long it lasted (the empty start left out)."""
        return _without_repeats(state for _, state in self.link_states() if state)

    def kart_chains(self):
        """Per transponder id, its row's (online, limit in force) one after another, each once; and the ids in the
        order their rows appeared."""
        chains, order = {}, []
        for _, rows in self.row_samples():
            for transponder_id, online, limit in rows:
                if transponder_id not in chains:
                    order.append(transponder_id)
                chains.setdefault(transponder_id, []).append([online, limit])
        return {str(k): _without_repeats(v) for k, v in chains.items()}, order


def _without_repeats(values):
    result = []
    for value in values:
        if not result or result[-1] != value:
            result.append(value)
    return result
