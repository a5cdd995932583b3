"""The virtual LAN: network namespaces joined by a bridge, so that the real executables talk over real UDP
broadcasts without any packet reaching the machine's own networks.

The bridge lives in a namespace of its own; every host (a console, the simulator, an observer socket) gets a
namespace with loopback and one veth interface, eth0, attached to that bridge. Everything a VirtualLan creates
(namespaces, processes, displays handed to it) is removed when it is closed, also when its user fails or is
interrupted (install_signal_cleanup() turns SIGTERM into an exception). Namespaces left behind by a run that
was killed outright are removed by the next one: their names carry the owning process id.

Run as a program, it builds a LAN for a command that enters the namespaces itself (a C++ test):
    python3 -m harness.network --subnet 10.84.0.0/24 --host a=10.84.0.20 --host b=10.84.0.50 -- COMMAND...
COMMAND gets DEVIV_LAN_BROADCAST and, per host, DEVIV_LAN_<NAME>_NAMESPACE and DEVIV_LAN_<NAME>_ADDRESS; where
no LAN can be built, DEVIV_LAN_UNAVAILABLE says why instead.
"""

import argparse
import contextlib
import ctypes
import dataclasses
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

from harness import protocol
from harness.processes import Process, environment, install_signal_cleanup, log, pid_alive, wait_until

NAMESPACE_PREFIX = "dvz"
CLONE_NEWNET = 0x40000000
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)
SO_TIMESTAMPNS = 35  # Linux; Python names neither it nor its message type
SO_ATTACH_FILTER = 26
SO_RCVBUFFORCE = 33  # Linux: a receive buffer beyond net.core.rmem_max, for root
SKIP_EXIT_CODE = 77
# What a display needs (Xvfb, clicks and keys, screenshots), and the Debian packages that bring the programs.
DISPLAY_TOOLS = ("Xvfb", "xdotool", "import")
PACKAGES = {"ip": "iproute2", "Xvfb": "xvfb", "import": "imagemagick"}

_libc = ctypes.CDLL(None, use_errno=True)
_sequence = 0


def _ip(*arguments, check=True):
    result = subprocess.run(["ip", *arguments], capture_output=True, text=True)
    if check and result.returncode != 0:
        raise RuntimeError(f"ip {' '.join(arguments)}: {result.stderr.strip()}")
    return result


def _unique_name(role):
    global _sequence
    _sequence += 1
    return f"{NAMESPACE_PREFIX}-{os.getpid()}-{_sequence}{role}"[:60]


def check_environment(tools=()):
    """Returns why the virtual LAN, and the programs named in `tools`, cannot be had here, or None when they can."""
    if os.geteuid() != 0:
        return "needs root to create network namespaces"
    for tool in ("ip", *tools):
        if shutil.which(tool) is None:
            return f"'{tool}' is missing (Debian package {PACKAGES.get(tool, tool)})"
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


def skip_unless_available(tools=()):
    """Exits with the skip code (and the reason on standard output) when the LAN or a tool cannot be had."""
    reason = check_environment(tools)
    if reason:
        print(f"SKIPPED: {reason}", flush=True)
        sys.exit(SKIP_EXIT_CODE)


def _delete_namespace(name):
    # Anything still running in it (a child that escaped its parent) goes with it.
    for pid in _ip("netns", "pids", name, check=False).stdout.split():
        with contextlib.suppress(ProcessLookupError, ValueError):
            os.kill(int(pid), signal.SIGKILL)
    _ip("netns", "del", name, check=False)


def remove_stale_namespaces():
    """Deletes namespaces of earlier runs whose process is gone (a run killed by a timeout)."""
    for line in _ip("netns", "list", check=False).stdout.splitlines():
        name = line.split()[0] if line.split() else ""
        match = re.match(rf"^{NAMESPACE_PREFIX}-(\d+)-", name)
        if match and not pid_alive(int(match.group(1))):
            _delete_namespace(name)
            log(f"removed stale namespace {name}")


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
        self.bridge_port = f"p{len(self.lan.hosts)}"
        _ip("link", "add", self.interface, "netns", self.namespace, "type", "veth",
            "peer", "name", self.bridge_port, "netns", self.lan.bridge_namespace)
        _ip("-n", self.lan.bridge_namespace, "link", "set", self.bridge_port, "master", "br0")
        _ip("-n", self.lan.bridge_namespace, "link", "set", self.bridge_port, "up")
        _ip("-n", self.namespace, "link", "set", "lo", "up")
        # "brd +": the address gets its broadcast address, which the console needs to ping and to command.
        _ip("-n", self.namespace, "addr", "add", f"{self.address}/{self.lan.prefix_length}", "brd", "+",
            "dev", self.interface)
        _ip("-n", self.namespace, "link", "set", self.interface, "up")

    def keep_broadcasts_out(self):
        """The bridge stops passing the LAN's broadcasts to this host; datagrams sent to its address still come."""
        _ip("-n", self.lan.bridge_namespace, "link", "set", self.bridge_port, "type", "bridge_slave", "bcast_flood",
            "off")

    def command(self, argv):
        """`argv` as it runs in this host's namespace."""
        return ["ip", "netns", "exec", self.namespace, *argv]

    def run(self, name, argv, env=None, stdin=False, capture=True, terminal=False):
        """Starts `argv` in this host's namespace with the given extra environment (None values unset)."""
        process = Process(f"{self.name}-{name}", self.command(argv), environment(env), self.lan.log_dir,
                          stdin=stdin, capture=capture, terminal=terminal)
        self.processes.append(process)
        return process

    def call(self, argv, timeout, env=None):
        """Runs `argv` in this host's namespace to its end, with `env` as its whole environment when given;
        returns the CompletedProcess (text output)."""
        return subprocess.run(self.command(argv), capture_output=True, text=True, timeout=timeout, env=env)

    def ip(self, *arguments):
        """Runs an ip(8) command in this host's namespace ("link set eth0 down", ...)."""
        return _ip("-n", self.namespace, *arguments)

    def set_address(self, address):
        """Moves the host to another address on the LAN."""
        self.ip("addr", "flush", "dev", self.interface)
        self.ip("addr", "add", f"{address}/{self.lan.prefix_length}", "brd", "+", "dev", self.interface)
        self.address = address

    def udp_socket(self, port=protocol.EXCHANGE_PORT):
        """A broadcast-capable UDP socket bound to port `port` of every address of this host."""
        with in_namespace(self.namespace):
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        sock.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
        sock.bind(("0.0.0.0", port))
        return sock

    def udp_counters(self):
        """The Udp line of /proc/net/snmp in this host's namespace, as a dict (InDatagrams, RcvbufErrors, ...)."""
        with in_namespace(self.namespace), open("/proc/thread-self/net/snmp", encoding="ascii") as snmp:
            rows = [line.split()[1:] for line in snmp if line.startswith("Udp:")]
        return dict(zip(rows[0], (int(v) for v in rows[1])))


class VirtualLan:
    """A bridge in its own namespace and the hosts attached to it (context manager). Hosts get the addresses
    .10, .20, ... of `subnet` unless given one. Process logs go to `log_dir`, which outlives the LAN so that a
    failure can be read; remove_logs() deletes it."""

    def __init__(self, subnet="10.81.0.0/24"):
        self.network = ipaddress.ip_network(subnet)
        self.prefix_length = self.network.prefixlen
        self.broadcast = str(self.network.broadcast_address)
        self.bridge_namespace = _unique_name("br")
        self.hosts = []
        self.closers = []
        self.log_dir = tempfile.mkdtemp(prefix="deviv-lan-")
        self._next_host = 10

    def __enter__(self):
        try:
            remove_stale_namespaces()
            _ip("netns", "add", self.bridge_namespace)
            _ip("-n", self.bridge_namespace, "link", "add", "br0", "type", "bridge")
            _ip("-n", self.bridge_namespace, "link", "set", "br0", "up")
        except BaseException:
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

    def display(self, width=480, height=640):
        """An Xvfb display that closes with the LAN."""
        from harness.display import Display
        display = Display(self.log_dir, width, height)
        self.on_close(display.close)
        return display

    def temporary_directory(self, name):
        path = os.path.join(self.log_dir, name)
        os.makedirs(path, exist_ok=True)
        return path

    def on_close(self, function):
        self.closers.append(function)

    def close(self):
        for host in self.hosts:
            for process in host.processes:
                with contextlib.suppress(Exception):
                    process.stop(timeout=3)
        for function in reversed(self.closers):
            with contextlib.suppress(Exception):
                function()
        self.closers.clear()
        for host in self.hosts:
            _delete_namespace(host.namespace)
        _delete_namespace(self.bridge_namespace)
        self.hosts.clear()

    def remove_logs(self):
        shutil.rmtree(self.log_dir, ignore_errors=True)

    def dump_logs(self, tail=60):
        """Prints the end of every process log (call when a test fails)."""
        for host in self.hosts:
            for process in host.processes:
                print(f"----- {process.name} ({process.log_path})")
                with contextlib.suppress(OSError), open(process.log_path, encoding="utf-8") as f:
                    print("".join(f.readlines()[-tail:]))


@dataclasses.dataclass
class Datagram:
    """A datagram an observer received or a tap saw leave: when the kernel took it (monotonic clock), from where, to which
    address."""
    time: float
    source: str
    source_port: int
    destination: str
    data: bytes

    def __repr__(self):
        return f"<{self.source}:{self.source_port} -> {self.destination} {self.data[:60]!r}>"


class _Receiver:
    """Records every datagram its socket receives, with the time the kernel took it (monotonic clock), in a thread
    of its own; `_datagram` turns what the socket read into a Datagram, or None to leave it out."""

    def __init__(self, host, sock):
        self.host = host
        self.socket = sock
        self.socket.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.socket.settimeout(0.2)
        self._datagrams = []
        self._clock_offset = None
        self._lock = threading.Lock()
        self._running = True
        self._thread = threading.Thread(target=self._receive, daemon=True)
        self._thread.start()
        host.lan.on_close(self.close)

    def _receive(self):
        while self._running:
            try:
                data, ancillary, _flags, address = self.socket.recvmsg(
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
                    arrived = seconds + nanoseconds / 1e9 - self._realtime_ahead_of_monotonic()
            datagram = self._datagram(arrived, data, address, destination)
            if datagram:
                with self._lock:
                    self._datagrams.append(datagram)

    def _realtime_ahead_of_monotonic(self):
        """How far the kernel's time stamps (real time) are ahead of the monotonic clock. Read between two reads of
        the monotonic clock and kept only when those are close: a thread switch between the reads would otherwise
        move a datagram milliseconds earlier, before the click that caused it."""
        for _ in range(10):
            before = time.monotonic()
            realtime = time.time()
            after = time.monotonic()
            if after - before < 0.0001 or self._clock_offset is None:
                self._clock_offset = realtime - (before + after) / 2
            if after - before < 0.0001:
                break
        return self._clock_offset

    def close(self):
        self._running = False
        self._thread.join(1)
        self.socket.close()

    def datagrams(self, since=0.0, source=None, predicate=None):
        with self._lock:
            found = list(self._datagrams)
        return [d for d in found if d.time >= since and (source is None or d.source == source)
                and (predicate is None or predicate(d))]

    def wait_for(self, predicate, timeout=10.0, since=0.0, count=1, source=None, interval=0.05):
        def found():
            datagrams = self.datagrams(since, source, predicate)
            return datagrams if len(datagrams) >= count else None
        return wait_until(found, timeout, lambda: f"{len(self.datagrams(since, source, predicate))} of {count} "
                          f"datagrams within {timeout} s; last received: {self.datagrams(since)[-5:]}", interval)


class InterfaceTap(_Receiver):
    """The UDP datagrams to port 11309 that a host puts out on its interface, as tcpdump on that host sees them,
    timed as they leave it. On the virtual LAN a datagram then waits in the kernel behind every other host's
    traffic, all on the same cores, before a socket on another host gets it; a real LAN has no such queue."""

    ETH_P_ALL, ETH_P_IP = 0x0003, 0x0800  # only a tap on all protocols sees what the host sends
    # A classic BPF program that keeps only outgoing packets, so that incoming traffic costs this thread nothing:
    # load the packet type, return all of it when it is PACKET_OUTGOING, else nothing.
    _OUTGOING_ONLY = [(0x20, 0, 0, 0xFFFFF004), (0x15, 0, 1, socket.PACKET_OUTGOING), (0x06, 0, 0, 0xFFFF),
                      (0x06, 0, 0, 0)]

    def __init__(self, host):
        with in_namespace(host.namespace):
            sock = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(self.ETH_P_ALL))
        program = ctypes.create_string_buffer(b"".join(struct.pack("HBBI", *op) for op in self._OUTGOING_ONLY))
        sock.setsockopt(socket.SOL_SOCKET, SO_ATTACH_FILTER,
                        struct.pack("HxxxxxxP", len(self._OUTGOING_ONLY), ctypes.addressof(program)))
        sock.bind((host.interface, self.ETH_P_ALL))
        super().__init__(host, sock)

    def _datagram(self, arrived, packet, address, _destination):
        header = (packet[0] & 0x0F) * 4
        if (address[1], address[2]) != (self.ETH_P_IP, socket.PACKET_OUTGOING) or packet[9] != socket.IPPROTO_UDP \
                or len(packet) < header + 8:
            return None
        source_port, destination_port = struct.unpack("!HH", packet[header:header + 4])
        if destination_port != protocol.EXCHANGE_PORT:
            return None
        return Datagram(arrived, socket.inet_ntoa(packet[12:16]), source_port, socket.inet_ntoa(packet[16:20]),
                        packet[header + 8:])


class Observer(_Receiver):
    """A socket on port 11309 of a host of its own: records every datagram it receives (with the address it
    was sent to and the time the kernel took it in) and can send datagrams like a console or a relay would."""

    def __init__(self, host):
        sock = host.udp_socket()
        # A console that answers a flood sends tens of thousands of datagrams a second: keep them all.
        sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 32 << 20)
        super().__init__(host, sock)

    def _datagram(self, arrived, data, address, destination):
        return Datagram(arrived, address[0], address[1], destination, data)

    def send(self, data, to=None):
        self.socket.sendto(data, (to or self.host.lan.broadcast, protocol.EXCHANGE_PORT))


def is_app_command(datagram):
    try:
        return "appCommand" in json.loads(datagram.data.decode("utf-8"))
    except (ValueError, TypeError, UnicodeDecodeError):
        return False


class Capture:
    """tcpdump on a host's interface, writing what that host sees of UDP port 11309 to a pcap file. Every packet
    goes to the file as it comes, unless `buffer_mib` is given: then tcpdump gets a kernel buffer of that size and
    writes in blocks, to keep up with a flood."""

    def __init__(self, host, path, buffer_mib=None):
        self.path = path
        # -Z root: the file stays writable in the test's folder.
        buffering = ["-B", str(buffer_mib * 1024)] if buffer_mib else ["-U"]
        self.process = host.run("tcpdump", ["tcpdump", "-i", host.interface, "-n", *buffering, "-Z", "root", "-w",
                                            path, "udp", "port", str(protocol.EXCHANGE_PORT)])
        self.process.wait_for(r"listening on", 10)

    def stop(self):
        """Ends tcpdump as Ctrl-C does, so that the file is complete; returns the path."""
        self.process.stop(sig=signal.SIGINT)
        return self.path

    def dropped(self):
        """The packets the kernel dropped because tcpdump fell behind, as it says when stopped."""
        return int(self.process.wait_for(r"(\d+) packets? dropped by kernel", 5)[0][1][1])


def read_capture(path):
    """The UDP datagrams over IPv4 of a classic pcap file of Ethernet frames (what tcpdump -w writes), as
    Datagrams timed on the monotonic clock."""
    realtime_ahead = time.time() - time.monotonic()
    with open(path, "rb") as f:
        data = f.read()
    per_second = {0xA1B2C3D4: 1e6, 0xA1B23C4D: 1e9}[struct.unpack_from("<I", data)[0]]
    datagrams = []
    position = 24  # past the file header
    while position + 16 <= len(data):
        seconds, fraction, length, _ = struct.unpack_from("<IIII", data, position)
        frame = data[position + 16:position + 16 + length]
        position += 16 + length
        header = 14 + (frame[14] & 0x0F) * 4  # Ethernet, then the IPv4 header's own length
        if frame[12:14] != b"\x08\x00" or frame[23] != socket.IPPROTO_UDP:
            continue
        source_port, = struct.unpack_from("!H", frame, header)
        datagrams.append(Datagram(seconds + fraction / per_second - realtime_ahead, socket.inet_ntoa(frame[26:30]),
                                  source_port, socket.inet_ntoa(frame[30:34]), frame[header + 8:]))
    return datagrams


def main():
    parser = argparse.ArgumentParser(description="Runs a command beside a virtual LAN whose namespaces it enters "
                                                 "itself.")
    parser.add_argument("--subnet", default="10.84.0.0/24")
    parser.add_argument("--host", action="append", default=[], metavar="NAME=ADDRESS")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    install_signal_cleanup()
    reason = check_environment()
    if reason:
        return subprocess.run(command, env=environment({"DEVIV_LAN_UNAVAILABLE": reason})).returncode
    with VirtualLan(args.subnet) as lan:
        env = {"DEVIV_LAN_BROADCAST": lan.broadcast}
        for name, _, address in (entry.partition("=") for entry in args.host):
            host = lan.add_host(name, address or None)
            env[f"DEVIV_LAN_{name.upper()}_NAMESPACE"] = host.namespace
            env[f"DEVIV_LAN_{name.upper()}_ADDRESS"] = host.address
        status = subprocess.run(command, env=environment(env)).returncode
    lan.remove_logs()
    return status


if __name__ == "__main__":
    sys.exit(main())
