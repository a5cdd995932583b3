"""A virtual display (Xvfb) with what the tests and scripts do on it: find a program's window, click, turn the
wheel and type, close a window as a window manager would, take screenshots and read their pixels.

Clicks and the wheel go through the XTest extension from this process (libX11 and libXtst through ctypes): a
click reaches the X server without starting a program, so the time it takes to reach the wire is the
console's alone. Typing and keys go through xdotool; screenshots through ImageMagick's import.

Run as a program, it starts a display for a command that uses it itself (a C++ test):
    python3 -m harness.display -- COMMAND...
COMMAND gets DISPLAY; where Xvfb is missing, DEVIV_DISPLAY_UNAVAILABLE says why instead.
"""

import argparse
import contextlib
import ctypes
import dataclasses
import fcntl
import os
import shutil
import subprocess
import sys
import time

from harness.processes import environment, install_signal_cleanup, wait_until


@dataclasses.dataclass
class Window:
    """A top-level window: its X id, title and geometry on the screen."""
    id: int
    title: str
    x: int
    y: int
    width: int
    height: int


class _XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _XClientMessageEvent), ("pad", ctypes.c_long * 24)]


def _xlib():
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XGetWMProtocols.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                                    ctypes.POINTER(ctypes.c_int)]
    x11.XFree.argtypes = [ctypes.c_void_p]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.POINTER(_XEvent)]
    x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    x11.XDefaultRootWindow.restype = ctypes.c_ulong
    x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x11.XCreateSimpleWindow.restype = ctypes.c_ulong
    x11.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                                        ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_ulong]
    x11.XMapWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x11.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
    x11.XPending.argtypes = [ctypes.c_void_p]
    x11.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.POINTER(_XEvent)]
    x11.XStringToKeysym.restype = ctypes.c_ulong
    x11.XStringToKeysym.argtypes = [ctypes.c_char_p]
    x11.XKeysymToKeycode.restype = ctypes.c_ubyte
    x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    return x11


class _Connection:
    """A connection to an X server through libX11."""

    def __init__(self, display_name):
        self.x11 = _xlib()
        self.handle = self.x11.XOpenDisplay(display_name.encode())
        if not self.handle:
            raise RuntimeError(f"cannot open display {display_name}")

    def close(self):
        if self.handle:
            self.x11.XCloseDisplay(self.handle)
            self.handle = None

    def sync(self):
        self.x11.XSync(self.handle, 0)

    def atom(self, name):
        return self.x11.XInternAtom(self.handle, name.encode(), 0)


class Pointer(_Connection):
    """The mouse and the keyboard of a display, driven through the XTest extension."""

    def __init__(self, display_name):
        super().__init__(display_name)
        self._xtst = ctypes.CDLL("libXtst.so.6")
        self._xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                                    ctypes.c_ulong]
        self._xtst.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
        self._xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]

    def tap_key(self, name):
        """Presses and releases the key named `name` ("F12", "Pause"); returns once the X server has both."""
        code = self.x11.XKeysymToKeycode(self.handle, self.x11.XStringToKeysym(name.encode()))
        self._xtst.XTestFakeKeyEvent(self.handle, code, 1, 0)
        self._xtst.XTestFakeKeyEvent(self.handle, code, 0, 0)
        self.sync()

    def move(self, x, y):
        self._xtst.XTestFakeMotionEvent(self.handle, -1, x, y, 0)
        self.sync()

    def press(self, button=1):
        """Presses and releases `button` where the pointer is; returns once the X server has both events."""
        self._xtst.XTestFakeButtonEvent(self.handle, button, 1, 0)
        self._xtst.XTestFakeButtonEvent(self.handle, button, 0, 0)
        self.sync()


class OtherProgram(_Connection):
    """Another X client on the display, with a window of its own that takes the keyboard's focus."""

    def __init__(self, display_name):
        super().__init__(display_name)
        self.window = self.x11.XCreateSimpleWindow(self.handle, self.x11.XDefaultRootWindow(self.handle), 300, 300, 100,
                                                   100, 0, 0, 0)
        self.x11.XMapWindow(self.handle, self.window)
        self.sync()
        self.display_name = display_name
        self.take_focus()

    def take_focus(self):
        """Gives this window the keyboard's focus again (a click in another window may have taken it); returns
        once the X server says it has it."""
        result = subprocess.run(["xdotool", "windowfocus", "--sync", str(self.window)],
                                env={**os.environ, "DISPLAY": self.display_name}, capture_output=True, timeout=10)
        if result.returncode != 0:
            raise RuntimeError(f"xdotool windowfocus: {result.stderr.decode(errors='replace').strip()}")


class AttentionRequests(_Connection):
    """Counts the windows' requests for the user's attention: a window asks the window manager (there is none here)
    to add the state _NET_WM_STATE_DEMANDS_ATTENTION, by a message to the root window that this client watches."""

    # Qt's xcb platform sends it to the root window for the clients that watch the root's own structure.
    _STRUCTURE_NOTIFY = 1 << 17
    _CLIENT_MESSAGE = 33

    def __init__(self, display_name):
        super().__init__(display_name)
        self.x11.XSelectInput(self.handle, self.x11.XDefaultRootWindow(self.handle), self._STRUCTURE_NOTIFY)
        self.sync()
        self._state, self._attention = self.atom("_NET_WM_STATE"), self.atom("_NET_WM_STATE_DEMANDS_ATTENTION")
        self._requests = {}

    def count(self, window_id):
        event = _XEvent()
        while self.x11.XPending(self.handle):
            self.x11.XNextEvent(self.handle, ctypes.byref(event))
            message = event.xclient
            if message.type == self._CLIENT_MESSAGE and message.message_type == self._state and message.data[0] == 1 \
                    and self._attention in (message.data[1], message.data[2]):
                self._requests[message.window] = self._requests.get(message.window, 0) + 1
        return self._requests.get(window_id, 0)


def send_wm_delete_window(display_name, window_id):
    """Asks a window to close as a window manager does when the user clicks its close button: the
    WM_DELETE_WINDOW client message. Raises when the window does not take part in that protocol."""
    connection = _Connection(display_name)
    x11 = connection.x11
    try:
        delete_window = connection.atom("WM_DELETE_WINDOW")
        supported = ctypes.POINTER(ctypes.c_ulong)()
        count = ctypes.c_int(0)
        takes_delete = False
        if x11.XGetWMProtocols(connection.handle, window_id, ctypes.byref(supported), ctypes.byref(count)):
            takes_delete = delete_window in supported[:count.value]
            x11.XFree(supported)
        if not takes_delete:
            raise RuntimeError(f"window {window_id:#x} does not take WM_DELETE_WINDOW")
        event = _XEvent()
        event.xclient.type = 33  # ClientMessage
        event.xclient.window = window_id
        event.xclient.message_type = connection.atom("WM_PROTOCOLS")
        event.xclient.format = 32
        event.xclient.data[0] = delete_window
        event.xclient.data[1] = 0  # CurrentTime
        if not x11.XSendEvent(connection.handle, window_id, 0, 0, ctypes.byref(event)):
            raise RuntimeError("XSendEvent failed")
        connection.sync()
    finally:
        connection.close()


@dataclasses.dataclass
class Image:
    """An RGB screenshot: three bytes a pixel, row by row."""
    width: int
    height: int
    pixels: bytes

    def pixel(self, x, y):
        offset = (y * self.width + x) * 3
        return tuple(self.pixels[offset:offset + 3])

    def runs_in_column(self, x, colour, top=0, bottom=None):
        """The (first, last) rows of every unbroken run of `colour` in column x."""
        bottom = self.height if bottom is None else bottom
        runs = []
        start = None
        for y in range(top, bottom):
            if colour_matches(self.pixel(x, y), colour):
                start = y if start is None else start
            elif start is not None:
                runs.append((start, y - 1))
                start = None
        if start is not None:
            runs.append((start, bottom - 1))
        return runs

    def find(self, colour, left=0, top=0, right=None, bottom=None, step=2):
        """The bounding box (left, top, right, bottom) of the pixels of `colour` in a region, or None."""
        right = self.width if right is None else right
        bottom = self.height if bottom is None else bottom
        xs, ys = [], []
        for y in range(top, bottom, step):
            for x in range(left, right, step):
                if colour_matches(self.pixel(x, y), colour):
                    xs.append(x)
                    ys.append(y)
        return (min(xs), min(ys), max(xs), max(ys)) if xs else None

    def count(self, predicate, left, top, right, bottom):
        """How many pixels of a region satisfy predicate((r, g, b))."""
        return sum(1 for y in range(top, bottom) for x in range(left, right) if predicate(self.pixel(x, y)))


def parse_colour(text):
    named = {"green": "#008000", "grey": "#808080", "gray": "#808080", "white": "#ffffff", "black": "#000000",
             "red": "#ff0000"}
    text = named.get(text, text)
    return tuple(int(text[i:i + 2], 16) for i in (1, 3, 5))


def colour_matches(actual, expected, tolerance=10):
    return all(abs(a - e) <= tolerance for a, e in zip(actual, parse_colour(expected)))


# Displays are numbered from here, one not taken by a lock file or a socket. Xvfb's own choice (-displayfd
# without a number) tries its sockets in its own network namespace only: started in another (the benchmarks
# run in one of their own), it would take over the socket file of a display a server elsewhere holds. Servers
# that choose for themselves start at 0 and stay far below this.
FIRST_DISPLAY = 200
START_LOCK = "/tmp/.deviv-xvfb-start.lock"


@contextlib.contextmanager
def _start_lock():
    """Keeps two harness runs from starting a server on the same free number at the same time."""
    try:
        guard = open(START_LOCK, "a")
    except PermissionError:
        yield
        return
    with guard:
        fcntl.flock(guard, fcntl.LOCK_EX)
        yield


class Display:
    """An Xvfb server of its own. With no window manager, a window opens at the top-left corner, so a screen as
    large as the window makes a shot of the screen a shot of the window."""

    def __init__(self, log_dir=None, width=480, height=640):
        self.width, self.height = width, height
        self._log = open(os.path.join(log_dir, f"xvfb-{os.getpid()}-{id(self)}.log") if log_dir else os.devnull,
                         "w")
        self.process = None
        with _start_lock():
            for number in range(FIRST_DISPLAY, FIRST_DISPLAY + 100):
                if not any(os.path.exists(path) for path in (f"/tmp/.X{number}-lock", f"/tmp/.X11-unix/X{number}")):
                    if self._start(number, width, height):
                        break
        if self.process is None:
            self._log.close()
            raise RuntimeError("Xvfb did not start")
        self.name = f":{number}"
        self._pointer = None
        self._clients = []

    def _start(self, number, width, height):
        """Starts Xvfb on display `number`; returns once it takes connections, or False when it ended."""
        read_end, write_end = os.pipe()
        # Xvfb's own resolution, 100 dpi, sets the size of the console's text; the screenshots in docs/images
        # were taken with it. -noreset: by default the server resets when its last client leaves, and refuses the
        # clients that connect meanwhile, so a console starting while a screenshot ends could not reach it.
        process = subprocess.Popen(
            ["Xvfb", f":{number}", "-displayfd", str(write_end), "-screen", "0", f"{width}x{height}x24", "-nolisten",
             "tcp", "-noreset"], pass_fds=(write_end,), stdout=self._log, stderr=subprocess.STDOUT,
            start_new_session=True)
        os.close(write_end)
        with os.fdopen(read_end) as reader:
            ready = reader.readline().strip()
        if not ready:
            process.kill()
            process.wait()
            return False
        self.process = process
        return True

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def pointer(self):
        if self._pointer is None:
            self._pointer = Pointer(self.name)
        return self._pointer

    def other_program(self):
        """Another program's window, which takes the keyboard's focus from the console's."""
        self._clients.append(OtherProgram(self.name))
        return self._clients[-1]

    def attention_requests(self):
        """Counts, from now on, the windows' requests for the user's attention."""
        self._clients.append(AttentionRequests(self.name))
        return self._clients[-1]

    def close(self):
        if self._pointer:
            self._pointer.close()
            self._pointer = None
        for client in self._clients:
            client.close()
        self._clients = []
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._log.close()

    def env(self):
        return {"DISPLAY": self.name}

    def _run(self, *argv, capture=False):
        result = subprocess.run(argv, env={**os.environ, "DISPLAY": self.name}, capture_output=True, timeout=20)
        if result.returncode != 0:
            raise RuntimeError(f"{' '.join(argv)}: {result.stderr.decode(errors='replace').strip()}")
        return result.stdout.decode(errors="replace") if capture == "text" else result.stdout if capture else None

    def screenshot(self):
        pixels = self._run("import", "-window", "root", "-depth", "8", "rgb:-", capture=True)
        if len(pixels) != self.width * self.height * 3:
            raise RuntimeError(f"a screenshot of {len(pixels)} bytes, not {self.width}x{self.height} RGB")
        return Image(self.width, self.height, pixels)

    def save_screenshot(self, path):
        self._run("import", "-window", "root", path)

    def _window(self, window_id):
        values = dict(line.split("=", 1) for line in
                      self._run("xdotool", "getwindowgeometry", "--shell", str(window_id), capture="text").split()
                      if "=" in line)
        title = self._run("xdotool", "getwindowname", str(window_id), capture="text").rstrip("\n")
        return Window(int(window_id), title, *(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT")))

    def wait_for_window(self, pid=None, title=None, timeout=20.0):
        """Waits for a visible window of process `pid`, or with `title` as its whole title, and returns it."""
        search = ["--pid", str(pid)] if pid is not None else ["--name", f"^{title}$"]

        def shown():
            found = subprocess.run(["xdotool", "search", "--onlyvisible", *search],
                                   env={**os.environ, "DISPLAY": self.name}, capture_output=True, text=True)
            return next((w for w in map(self._window, found.stdout.split()) if w.width > 1), None)
        return wait_until(shown, timeout, f"no window of {f'process {pid}' if pid is not None else repr(title)} on "
                          f"{self.name} within {timeout} s", interval=0.2)

    def place_window(self, window, width, height):
        """Moves a window to the top-left corner and gives it the size asked for."""
        self._run("xdotool", "windowmove", str(window.id), "0", "0", "windowsize", str(window.id), str(width),
                  str(height))

    def close_window(self, window):
        """Asks the window to close as a window manager does when the user clicks its close button."""
        send_wm_delete_window(self.name, window.id)

    def click(self, x, y):
        pointer = self.pointer()
        pointer.move(x, y)
        pointer.press()

    def scroll(self, x, y, clicks):
        """Turns the mouse wheel over (x, y): `clicks` notches down, or up when negative."""
        pointer = self.pointer()
        pointer.move(x, y)
        for _ in range(abs(clicks)):
            pointer.press(5 if clicks > 0 else 4)
            time.sleep(0.04)

    def type_text(self, text):
        self._run("xdotool", "type", "--delay", "30", "--", text)

    def key(self, *keys):
        self._run("xdotool", "key", *keys)

    def wait_for_colour(self, x, y, colour, timeout=10.0, interval=0.25):
        """Waits until the pixel shows `colour`; returns the seconds it took, or raises with the last colour."""
        start = time.monotonic()
        actual = None

        def shown():
            nonlocal actual
            actual = self.screenshot().pixel(x, y)
            return time.monotonic() - start if colour_matches(actual, colour) else None
        return wait_until(shown, timeout, lambda: f"pixel ({x},{y}) is #{bytes(actual).hex()}, not {colour}, after "
                          f"{timeout} s", interval)


def main():
    parser = argparse.ArgumentParser(description="Runs a command on a virtual display of its own.")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    install_signal_cleanup()
    if shutil.which("Xvfb") is None:
        reason = "'Xvfb' is missing (Debian package xvfb)"
        return subprocess.run(command, env=environment({"DEVIV_DISPLAY_UNAVAILABLE": reason})).returncode
    with Display() as display:
        return subprocess.run(command, env=environment(display.env())).returncode


if __name__ == "__main__":
    sys.exit(main())
