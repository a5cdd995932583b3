"""A virtual LAN for end-to-end tests of the console and the retranslator simulator.

A Linux bridge lives in a network namespace of its own; every host (a console, the simulator, an observer
socket) gets a namespace with one veth interface attached to that bridge, so the real executables talk
over real UDP broadcasts without any packet reaching the machine's own networks. Consoles get an isolated
settings store and, where a test looks at the screen or clicks, an Xvfb display of their own.

Everything created here (namespaces, processes, displays, temporary directories) is removed when the
VirtualLan (or Display) is closed, also when the test fails or is interrupted. Namespaces left behind by a
run that was killed outright are removed by the next run (their names carry the owning process id).

Only the Python standard library is used. Needs root (namespaces); check_environment() tells why not.
"""

import contextlib
import ctypes
import ipaddress
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from harness import protocol  # noqa: E402

NAMESPACE_PREFIX = "dvze2e"
EXCHANGE_PORT = 11309
CLONE_NEWNET = 0x40000000
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)
SO_TIMESTAMPNS = 35  # Linux; Python names neither it nor its message type
SKIP_EXIT_CODE = 77

# Colours of the console's screen.
ONLINE = "green"
OFFLINE = "#777777"
PLATE_ONLINE = "#ff5f00"
PLATE_OFFLINE = "grey"
BUTTON_UNCHECKED = "#ffffff"
BUTTON_CONFIRMED = "green"
BUTTON_UNCONFIRMED = "#808080"

_libc = ctypes.CDLL(None, use_errno=True)
_sequence = 0


def log(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", flush=True)


def _ip(*arguments, check=True):
    result = subprocess.run(["ip", *arguments], capture_output=True, text=True)
    if check and result.returncode != 0:
        raise RuntimeError(f"ip {' '.join(arguments)}: {result.stderr.strip()}")
    return result


def _unique_name(role):
    global _sequence
    _sequence += 1
    return f"{NAMESPACE_PREFIX}-{os.getpid()}-{_sequence}{role}"[:60]


def check_environment(need_display=False):
    """Returns why the virtual LAN cannot be built here, or None when it can."""
    if os.geteuid() != 0:
        return "needs root to create network namespaces"
    if shutil.which("ip") is None:
        return "the 'ip' command (iproute2) is missing"
    if need_display:
        for tool in ("Xvfb", "xdotool", "import"):
            if shutil.which(tool) is None:
                return f"'{tool}' is missing (packages xvfb, xdotool, imagemagick)"
    probe = _unique_name("probe")
    result = _ip("netns", "add", probe, check=False)
    if result.returncode != 0:
        return f"cannot create a network namespace: {result.stderr.strip()}"
    try:
        bridge = _ip("-n", probe, "link", "add", "br0", "type", "bridge", check=False)
        if bridge.returncode != 0:
            return f"cannot create a bridge: {bridge.stderr.strip()}"
    finally:
        _ip("netns", "del", probe, check=False)
    return None


def skip_unless_available(need_display=False):
    """Exits with the skip code (and the reason on standard output) when the LAN cannot be built."""
    reason = check_environment(need_display)
    if reason:
        print(f"SKIPPED: {reason}", flush=True)
        sys.exit(SKIP_EXIT_CODE)
    remove_stale_namespaces()


def remove_stale_namespaces():
    """Deletes namespaces of earlier runs whose process is gone (a run killed by a timeout)."""
    listing = _ip("netns", "list", check=False).stdout
    for line in listing.splitlines():
        name = line.split()[0] if line.split() else ""
        match = re.match(rf"^{NAMESPACE_PREFIX}-(\d+)-", name)
        if not match or _pid_alive(int(match.group(1))):
            continue
        for pid in _ip("netns", "pids", name, check=False).stdout.split():
            with contextlib.suppress(ProcessLookupError, ValueError):
                os.kill(int(pid), signal.SIGKILL)
        _ip("netns", "del", name, check=False)
        log(f"removed stale namespace {name}")


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def install_signal_cleanup():
    """Turns SIGTERM and SIGHUP into SystemExit so that context managers clean up."""
    def handler(signum, _frame):
        raise SystemExit(128 + signum)
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, handler)


@contextlib.contextmanager
def in_namespace(name):
    """Runs the block with the calling thread in network namespace `name`; sockets created there stay there."""
    own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    target = os.open(f"/run/netns/{name}", os.O_RDONLY)
    try:
        if _libc.setns(target, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), f"setns {name}")
        yield
    finally:
        _libc.setns(own, CLONE_NEWNET)
        os.close(target)
        os.close(own)


class Process:
    """A program started in a namespace; its standard output and error are collected as timed lines."""

    def __init__(self, name, argv, env, log_dir, stdin=False):
        self.name = name
        self._lines = []  # (monotonic time, text)
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)
        self.log_path = os.path.join(log_dir, f"{name}.log")
        self._log = open(self.log_path, "w", encoding="utf-8", errors="replace")
        self._log.write(f"$ {' '.join(argv)}\n")
        self.popen = subprocess.Popen(
            argv, env=env, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
        self.started_at = time.monotonic()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.popen.stdout:
            text = raw.decode("utf-8", errors="replace").rstrip("\n")
            now = time.monotonic()
            with self._changed:
                self._lines.append((now, text))
                self._log.write(f"{now - self.started_at:9.3f} {text}\n")
                self._changed.notify_all()
        with self._changed:
            self._log.flush()
            self._changed.notify_all()

    @property
    def pid(self):
        return self.popen.pid

    def running(self):
        return self.popen.poll() is None

    def mark(self):
        """A position in the output; pass it as `since` to look only at later lines."""
        with self._lock:
            return len(self._lines)

    def lines(self, since=0):
        with self._lock:
            return [text for _, text in self._lines[since:]]

    def timed_lines(self, since=0):
        with self._lock:
            return list(self._lines[since:])

    def matches(self, pattern, since=0):
        expression = re.compile(pattern)
        return [(t, m) for t, text in self.timed_lines(since) if (m := expression.search(text))]

    def wait_for(self, pattern, timeout=10.0, since=0, count=1):
        """Waits until `count` lines after `since` match; returns the (time, match) pairs or raises."""
        expression = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                found = [(t, m) for t, text in self._lines[since:] if (m := expression.search(text))]
                if len(found) >= count:
                    return found[:count]
                remaining = deadline - time.monotonic()
                if remaining <= 0 or (self.popen.poll() is not None and not self._reader.is_alive()):
                    tail = "\n".join(text for _, text in self._lines[-25:])
                    raise AssertionError(
                        f"{self.name}: {len(found)} of {count} lines matching {pattern!r} within {timeout} s "
                        f"(running: {self.running()}); last lines:\n{tail}")
                self._changed.wait(min(remaining, 0.2))

    def send_line(self, text):
        self.popen.stdin.write(text.encode() + b"\n")
        self.popen.stdin.flush()

    def stop(self, timeout=5.0, sig=signal.SIGTERM):
        """Ends the process (signal, then SIGKILL after `timeout`); returns its exit status."""
        if self.popen.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.kill(self.popen.pid, sig)
            try:
                self.popen.wait(timeout)
            except subprocess.TimeoutExpired:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(self.popen.pid, signal.SIGKILL)
                self.popen.wait()
        self._reader.join(2)
        for stream in (self.popen.stdin, self.popen.stdout):
            if stream:
                with contextlib.suppress(OSError):
                    stream.close()
        with self._lock:
            if not self._log.closed:
                self._log.close()
        return self.popen.returncode

    def wait(self, timeout):
        try:
            return self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            return None


class Host:
    """One machine on the virtual LAN: a namespace with loopback and one veth interface."""

    def __init__(self, lan, name, address):
        self.lan = lan
        self.name = name
        self.address = address
        self.namespace = _unique_name(name)
        self.interface = "eth0"
        self.processes = []

    def _create(self):
        _ip("netns", "add", self.namespace)
        peer = f"p{len(self.lan.hosts)}"
        _ip("link", "add", self.interface, "netns", self.namespace, "type", "veth",
            "peer", "name", peer, "netns", self.lan.bridge_namespace)
        _ip("-n", self.lan.bridge_namespace, "link", "set", peer, "master", "br0")
        _ip("-n", self.lan.bridge_namespace, "link", "set", peer, "up")
        _ip("-n", self.namespace, "link", "set", "lo", "up")
        _ip("-n", self.namespace, "addr", "add", f"{self.address}/{self.lan.prefix_length}", "brd", "+",
            "dev", self.interface)
        _ip("-n", self.namespace, "link", "set", self.interface, "up")

    def run(self, name, argv, env=None, stdin=False):
        """Starts `argv` in this host's namespace with the given extra environment."""
        full_env = dict(os.environ)
        full_env.update(env or {})
        process = Process(f"{self.name}-{name}", ["ip", "netns", "exec", self.namespace, *argv], full_env,
                          self.lan.log_dir, stdin=stdin)
        self.processes.append(process)
        return process

    def ip(self, *arguments):
        """Runs an ip(8) command in this host's namespace ("link set eth0 down", ...)."""
        return _ip("-n", self.namespace, *arguments)

    def set_address(self, address):
        """Moves the host to another address on the LAN."""
        self.ip("addr", "flush", "dev", self.interface)
        self.ip("addr", "add", f"{address}/{self.lan.prefix_length}", "brd", "+", "dev", self.interface)
        self.address = address

    def udp_socket(self, port=EXCHANGE_PORT):
        """A broadcast-capable UDP socket bound to port `port` of every address of this host."""
        with in_namespace(self.namespace):
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        sock.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
        sock.bind(("0.0.0.0", port))
        return sock


class VirtualLan:
    """A bridge in its own namespace and the hosts attached to it (context manager)."""

    def __init__(self, subnet="10.81.0.0/24", keep_logs_on_failure=True):
        self.network = ipaddress.ip_network(subnet)
        self.prefix_length = self.network.prefixlen
        self.broadcast = str(self.network.broadcast_address)
        self.bridge_namespace = _unique_name("br")
        self.hosts = []
        self.closers = []
        self.log_dir = tempfile.mkdtemp(prefix="deviv-e2e-")
        self._next_host = 10

    def __enter__(self):
        try:
            _ip("netns", "add", self.bridge_namespace)
            _ip("-n", self.bridge_namespace, "link", "add", "br0", "type", "bridge")
            _ip("-n", self.bridge_namespace, "link", "set", "br0", "up")
        except Exception:
            self.close()
            raise
        return self

    def __exit__(self, *_):
        self.close()

    def add_host(self, name, address=None):
        if address is None:
            address = str(self.network.network_address + self._next_host)
            self._next_host += 10
        host = Host(self, name, address)
        self.hosts.append(host)
        host._create()
        return host

    def temporary_directory(self, name):
        path = os.path.join(self.log_dir, name)
        os.makedirs(path, exist_ok=True)
        return path

    def on_close(self, function):
        self.closers.append(function)

    def close(self):
        for function in reversed(self.closers):
            with contextlib.suppress(Exception):
                function()
        self.closers.clear()
        for host in self.hosts:
            for process in host.processes:
                with contextlib.suppress(Exception):
                    process.stop(timeout=3)
        for host in self.hosts:
            # Anything still running in the namespace (a child that escaped) goes with it.
            for pid in _ip("netns", "pids", host.namespace, check=False).stdout.split():
                with contextlib.suppress(ProcessLookupError, ValueError):
                    os.kill(int(pid), signal.SIGKILL)
            _ip("netns", "del", host.namespace, check=False)
        _ip("netns", "del", self.bridge_namespace, check=False)
        self.hosts.clear()

    def dump_logs(self, tail=60):
        """Prints the end of every process log (call when a test fails)."""
        for host in self.hosts:
            for process in host.processes:
                print(f"----- {process.name} ({process.log_path})")
                with contextlib.suppress(OSError), open(process.log_path, encoding="utf-8") as f:
                    print("".join(f.readlines()[-tail:]))


class Datagram:
    __slots__ = ("time", "source", "source_port", "destination", "data")

    def __init__(self, time_, source, source_port, destination, data):
        self.time = time_
        self.source = source
        self.source_port = source_port
        self.destination = destination
        self.data = data

    def __repr__(self):
        return f"<{self.source}:{self.source_port} -> {self.destination} {self.data[:60]!r}>"


class Observer:
    """A socket on port 11309 of a host of its own: records every datagram it receives (with the address it
    was sent to) and can send datagrams like a console or a relay would."""

    def __init__(self, host):
        self.host = host
        self.socket = host.udp_socket()
        self.socket.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.socket.settimeout(0.2)
        self._datagrams = []
        self._lock = threading.Lock()
        self._running = True
        self._thread = threading.Thread(target=self._receive, daemon=True)
        self._thread.start()
        host.lan.on_close(self.close)

    def _receive(self):
        while self._running:
            try:
                data, ancillary, _flags, (source, port) = self.socket.recvmsg(
                    65536, socket.CMSG_SPACE(12) + socket.CMSG_SPACE(16))
            except socket.timeout:
                continue
            except OSError:
                return
            # The time the kernel took the datagram in, on the monotonic clock: not when this thread got to it.
            arrived = time.monotonic()
            destination = "?"
            for level, kind, payload in ancillary:
                if level == socket.IPPROTO_IP and kind == IP_PKTINFO and len(payload) >= 12:
                    destination = socket.inet_ntoa(payload[8:12])
                elif level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(payload) >= 16:
                    seconds, nanoseconds = struct.unpack("qq", payload[:16])
                    arrived -= time.time() - (seconds + nanoseconds / 1e9)
            with self._lock:
                self._datagrams.append(Datagram(arrived, source, port, destination, data))

    def close(self):
        self._running = False
        self._thread.join(1)
        self.socket.close()

    def datagrams(self, since=0.0, source=None, predicate=None):
        with self._lock:
            found = list(self._datagrams)
        return [d for d in found if d.time >= since and (source is None or d.source == source)
                and (predicate is None or predicate(d))]

    def wait_for(self, predicate, timeout=10.0, since=0.0, count=1, source=None):
        deadline = time.monotonic() + timeout
        while True:
            found = self.datagrams(since, source, predicate)
            if len(found) >= count:
                return found
            if time.monotonic() > deadline:
                raise AssertionError(f"{len(found)} of {count} datagrams within {timeout} s; "
                                     f"last received: {self.datagrams(since)[-5:]}")
            time.sleep(0.05)

    def send(self, data, to=None):
        self.socket.sendto(data, (to or self.host.lan.broadcast, EXCHANGE_PORT))


class ProbeOutput:
    """The lines that deviv_azeve_probe writes: ("post", t, wait_us), ("link", t, json text) and ("rows", t, text);
    t is the monotonic clock in seconds, as time.monotonic() reads it."""

    def __init__(self, path):
        self.path = path

    def records(self, kind):
        found = []
        try:
            with open(self.path, encoding="utf-8", errors="replace") as f:
                lines = f.readlines()
        except FileNotFoundError:
            return found
        for line in lines:
            parts = line.rstrip("\n").split(" ", 2)
            if len(parts) == 3 and parts[0] == kind:
                found.append((int(parts[1]) / 1000.0, parts[2]))
        return found

    def link_states(self, since=0.0):
        return [(t, json.loads(text)) for t, text in self.records("link") if t >= since]

    def wait_for_link(self, predicate, timeout, since=0.0):
        deadline = time.monotonic() + timeout
        while True:
            for t, state in self.link_states(since):
                if predicate(state):
                    return t, state
            if time.monotonic() > deadline:
                raise AssertionError(f"no link state as wanted within {timeout} s; last: {self.link_states()[-3:]}")
            time.sleep(0.1)

    def waits_ms(self, start, end):
        return [int(text) / 1000.0 for t, text in self.records("post") if start <= t <= end]

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


class Capture:
    """tcpdump on a host's interface, writing what that host sees of UDP port 11309 to a pcap file."""

    def __init__(self, host, path):
        self.path = path
        # -U: every packet goes to the file as it comes; -Z root: the file stays writable in the test's folder.
        self.process = host.run("tcpdump", ["tcpdump", "-i", host.interface, "-n", "-U", "-Z", "root", "-w", path,
                                            "udp", "port", str(EXCHANGE_PORT)])
        self.process.wait_for(r"listening on", 10)

    def stop(self):
        """Ends tcpdump as Ctrl-C does, so that the file is complete; returns the path."""
        self.process.stop(sig=signal.SIGINT)
        return self.path


def is_app_command(datagram):
    try:
        return "appCommand" in json.loads(datagram.data.decode("utf-8"))
    except (ValueError, TypeError, UnicodeDecodeError):
        return False


class Image:
    """An RGB screenshot."""

    def __init__(self, width, height, pixels):
        self.width = width
        self.height = height
        self.pixels = pixels

    @staticmethod
    def from_ppm(data):
        # P6 header: magic, width, height, maximum value, each separated by white space.
        fields = []
        position = 0
        while len(fields) < 4:
            while data[position:position + 1].isspace():
                position += 1
            if data[position:position + 1] == b"#":
                position = data.index(b"\n", position) + 1
                continue
            end = position
            while not data[end:end + 1].isspace():
                end += 1
            fields.append(data[position:end])
            position = end
        if fields[0] != b"P6" or fields[3] != b"255":
            raise ValueError("not an 8-bit PPM")
        width, height = int(fields[1]), int(fields[2])
        return Image(width, height, data[position + 1:position + 1 + width * height * 3])

    def pixel(self, x, y):
        offset = (y * self.width + x) * 3
        return tuple(self.pixels[offset:offset + 3])

    def runs_in_column(self, x, colour, top=0, bottom=None):
        """The (first, last) rows of every unbroken run of `colour` in column x."""
        runs = []
        start = None
        for y in range(top, self.height if bottom is None else bottom):
            if colour_matches(self.pixel(x, y), colour):
                start = y if start is None else start
            elif start is not None:
                runs.append((start, y - 1))
                start = None
        if start is not None:
            runs.append((start, (self.height if bottom is None else bottom) - 1))
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


def centre_of(corner, size=64):
    """The centre of a square button of `size` pixels whose top-left corner is `corner`."""
    return corner[0] + size // 2, corner[1] + size // 2


def parse_colour(text):
    named = {"green": "#008000", "grey": "#808080", "gray": "#808080", "white": "#ffffff", "black": "#000000",
             "red": "#ff0000"}
    text = named.get(text, text)
    return tuple(int(text[i:i + 2], 16) for i in (1, 3, 5))


def colour_matches(actual, expected, tolerance=10):
    return all(abs(a - e) <= tolerance for a, e in zip(actual, parse_colour(expected)))


class Window:
    """A top-level window: its X id and geometry. Points inside it are given relative to its top-left."""

    def __init__(self, id_, x, y, width, height):
        self.id = id_
        self.x = x
        self.y = y
        self.width = width
        self.height = height

    def __repr__(self):
        return f"<window {self.id:#x} {self.width}x{self.height}+{self.x}+{self.y}>"


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
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.POINTER(_XEvent)]
    x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    return x11


class Pointer:
    """The mouse of a display, driven through the XTest extension from this process: a click reaches the X
    server without starting a program, so the time it takes to reach the wire is the console's alone."""

    def __init__(self, display_name):
        self._x11 = _xlib()
        self._xtst = ctypes.CDLL("libXtst.so.6")
        self._xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                                    ctypes.c_ulong]
        self._xtst.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
        self._display = self._x11.XOpenDisplay(display_name.encode())
        if not self._display:
            raise RuntimeError(f"cannot open display {display_name}")

    def close(self):
        if self._display:
            self._x11.XCloseDisplay(self._display)
            self._display = None

    def move(self, x, y):
        self._xtst.XTestFakeMotionEvent(self._display, -1, x, y, 0)
        self._x11.XSync(self._display, 0)

    def press(self, button=1):
        """Presses and releases `button` where the pointer is; returns once the X server has both events."""
        self._xtst.XTestFakeButtonEvent(self._display, button, 1, 0)
        self._xtst.XTestFakeButtonEvent(self._display, button, 0, 0)
        self._x11.XSync(self._display, 0)


def _send_wm_delete_window(display_name, window_id):
    """Sends the WM_DELETE_WINDOW client message (libX11 through ctypes; there is no window manager)."""
    x11 = _xlib()
    display = x11.XOpenDisplay(display_name.encode())
    if not display:
        raise RuntimeError(f"cannot open display {display_name}")
    try:
        event = _XEvent()
        event.xclient.type = 33  # ClientMessage
        event.xclient.window = window_id
        event.xclient.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
        event.xclient.format = 32
        event.xclient.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
        event.xclient.data[1] = 0  # CurrentTime
        if not x11.XSendEvent(display, window_id, 0, 0, ctypes.byref(event)):
            raise RuntimeError("XSendEvent failed")
        x11.XSync(display, 0)
    finally:
        x11.XCloseDisplay(display)


class Display:
    """An Xvfb server of its own, with screenshots, clicks and typing."""

    def __init__(self, log_dir, width=480, height=640):
        read_end, write_end = os.pipe()
        self._log = open(os.path.join(log_dir, f"xvfb-{os.getpid()}-{id(self)}.log"), "w")
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{width}x{height}x24", "-nolisten", "tcp",
             "-dpi", "96"],
            pass_fds=(write_end,), stdout=self._log, stderr=subprocess.STDOUT, start_new_session=True)
        os.close(write_end)
        with os.fdopen(read_end) as reader:
            number = reader.readline().strip()
        if not number:
            self.process.kill()
            raise RuntimeError("Xvfb did not start")
        self.name = f":{number}"
        self._pointer = None

    def pointer(self):
        if self._pointer is None:
            self._pointer = Pointer(self.name)
        return self._pointer

    def close(self):
        if self._pointer:
            self._pointer.close()
        if self.process.poll() is None:
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
        return result.stdout if capture else None

    def screenshot(self):
        return Image.from_ppm(self._run("import", "-window", "root", "-depth", "8", "ppm:-", capture=True))

    def save_screenshot(self, path):
        self._run("import", "-window", "root", path)

    def wait_for_window(self, pid, timeout=20.0):
        """Waits for a visible window of process `pid` and returns it."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            result = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)],
                                    env={**os.environ, "DISPLAY": self.name}, capture_output=True, text=True)
            for window in result.stdout.split():
                geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window],
                                          env={**os.environ, "DISPLAY": self.name}, capture_output=True,
                                          text=True).stdout
                values = dict(line.split("=", 1) for line in geometry.split() if "=" in line)
                if int(values.get("WIDTH", 0)) > 1:
                    return Window(int(window), *(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT")))
            time.sleep(0.2)
        raise AssertionError(f"no window of process {pid} on {self.name} within {timeout} s")

    def close_window(self, window):
        """Asks the window to close as a window manager does when the user clicks its close button."""
        _send_wm_delete_window(self.name, window.id)

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
        self._run("xdotool", "type", "--delay", "30", text)

    def key(self, *keys):
        self._run("xdotool", "key", *keys)

    def wait_for_colour(self, x, y, colour, timeout=10.0, interval=0.25):
        """Waits until the pixel shows `colour`; returns the seconds it took, or raises with the last colour."""
        start = time.monotonic()
        while True:
            actual = self.screenshot().pixel(x, y)
            if colour_matches(actual, colour):
                return time.monotonic() - start
            if time.monotonic() - start > timeout:
                raise AssertionError(f"pixel ({x},{y}) is #{bytes(actual).hex()}, not {colour}, after {timeout} s")
            time.sleep(interval)


class Console:
    """The real console executable on a host, with its own settings store and, optionally, a display."""

    def __init__(self, host, executable, display=None, config_dir=None, name="console", extra_env=None):
        self.host = host
        self.display = display
        self.config_dir = config_dir or host.lan.temporary_directory(f"{host.name}-config")
        env = {
            "XDG_CONFIG_HOME": self.config_dir,
            # The QML disk cache stays with the test, not in root's home.
            "XDG_CACHE_HOME": os.path.join(self.config_dir, "cache"),
            "QT_MESSAGE_PATTERN": "%{category}: %{message}",
            # The exchange logs every datagram; keep that (tests read the ping lines) but not QML noise.
            "QT_LOGGING_RULES": "qt.*=false",
        }
        if display is None:
            env.update({"QT_QPA_PLATFORM": "offscreen", "QT_QUICK_BACKEND": "software"})
        else:
            env.update({"QT_QPA_PLATFORM": "xcb", **display.env()})
        env.update(extra_env or {})
        self.process = host.run(name, [executable], env)
        self.window = None

    def wait_until_pinging(self, timeout=15.0):
        self.process.wait_for(r"Ping to ", timeout)

    def wait_for_window(self, timeout=20.0):
        self.window = self.display.wait_for_window(self.process.pid, timeout)
        return self.window

    def stop(self):
        return self.process.stop()

    def close_window(self, timeout=10.0):
        """Closes the window as the user would and returns the exit status (None if it keeps running)."""
        self.display.close_window(self.window)
        return self.process.wait(timeout)

    # Where things are on the main screen, in screen coordinates. The window is 400x600 with the menu bar
    # at its top; the main screen ends with the 20-pixel status line and the 72-pixel bottom bar.
    def point(self, x, y):
        return self.window.x + x, self.window.y + y

    def status_line_point(self):
        # The right end of the line, clear of its text.
        return self.point(self.window.width - 8, self.window.height - 72 - 10)

    def bottom_button(self, index):
        """(left, top) of bottom-bar button `index`: 0 "25%", 1 "50%", 2 "100%", 3 "STOP"."""
        return self.point(4 + index * 68, self.window.height - 68)

    def plates(self, image):
        """(top, bottom) of every number plate (orange or grey) in the live list, top to bottom."""
        x, top = self.point(3, 0)  # the plate's left edge, clear of the kart number
        bottom = self.window.y + self.window.height - 72 - 20
        runs = image.runs_in_column(x, PLATE_ONLINE, top, bottom) + image.runs_in_column(x, PLATE_OFFLINE, top, bottom)
        # A plate is 48 pixels high; the menu bar's grey is not one.
        return sorted(run for run in runs if 44 <= run[1] - run[0] + 1 <= 52)

    def row_button(self, plate, index):
        """(left, top) of the row button `index` (0 "25%" ... 3 "STOP") in the row of `plate`."""
        return self.point(self.window.width - (4 - index) * 53 + 5, 0)[0], plate[0]

    def settings_file(self):
        return os.path.join(self.config_dir, "deviv", "zadar.conf")


class Simulator:
    """The retranslator simulator on a host, driven through its control lines."""

    def __init__(self, host, executable, arguments=(), name="sim"):
        self.host = host
        self.process = host.run(name, [executable, *arguments], stdin=True)
        self.process.wait_for(r"start (karts|replay)=", 10)

    def control(self, line, timeout=5.0):
        since = self.process.mark()
        self.process.send_line(line)
        self.process.wait_for(re.escape(f'control "{line}" -> ') + "ok", timeout, since=since)

    def received(self, kind=None, source=None, text=None, since=0):
        """The (time, match) pairs of 'recv' lines, filtered by kind, sender address and exact text."""
        pattern = r"recv kind=(?P<kind>\w+) from=(?P<ip>[\d.]+):(?P<port>\d+) to=(?P<to>\S+) " \
                  r"result=(?P<result>\S+).* text=\"(?P<text>.*)\"$"
        found = self.process.matches(pattern, since)
        return [(t, m) for t, m in found if (kind is None or m["kind"] == kind)
                and (source is None or m["ip"] == source) and (text is None or m["text"] == text)]

    def wait_received(self, kind=None, source=None, text=None, since=0, timeout=10.0, count=1):
        deadline = time.monotonic() + timeout
        while True:
            found = self.received(kind, source, text, since)
            if len(found) >= count:
                return found
            if time.monotonic() > deadline:
                recent = "\n".join(self.process.lines(since)[-15:])
                raise AssertionError(f"simulator received {len(found)} of {count} kind={kind} from={source} "
                                     f"text={text} within {timeout} s; recent lines:\n{recent}")
            time.sleep(0.05)
