"""Real karts in sight during a flood: the relay's karts and a faulty host's, every report of them answered by the
console, and another console's command during the same flood."""

import dataclasses
import os
import statistics
import time

from harness import protocol
from harness.console import Console, Simulator
from harness.network import Capture, Observer, VirtualLan, read_capture
from harness.processes import log, wait_until
from parts.flood import FLOODS, start_flood
from table import Row

RELAY_IDS = range(1001, 1011)  # the simulator's karts, 10 reports a second each
FLOOD_IDS = range(2001, 2201)
# A limit the console does not want (it wants 10000): it answers every report it takes with a limit command.
UNWANTED_LIMIT = 5000
# Another console's STOP, then its 100%, one every 0.3 s.
COMMANDS, COMMAND_SECONDS = ("p0", "p100"), 0.3
# Allowed from the flood's start to its first answer, before the window of `seconds` begins.
FIRST_ANSWER_SECONDS = 1.5
LABEL = "Packed flood of 200 karts beside the relay's 10, all answered"


@dataclasses.dataclass
class KartsInSightFigures:
    """Per kart, over the window: the console's answers and the longest wait between two of them (the window's
    start and end count as answers); for the relay's karts, the reports the relay sent and its longest gap
    between two. Then the seconds from each command of another console's to the console's applying it, and
    what may bend the figures: the datagrams that reached the console's socket from the flood's start to the
    commands (its own broadcasts come back to it) and those of them it dropped, the packets the capture
    dropped, and the console's zadar.net lines."""
    seconds: float
    answers: dict
    longest_wait: dict
    reports: dict
    longest_report_gap: dict
    commands: list
    console_datagrams: int
    console_drops: int
    capture_drops: int
    log: list

    def rows(self):
        relay_worst = max(RELAY_IDS, key=self.longest_wait.get)
        flood_worst = max(FLOOD_IDS, key=self.longest_wait.get)
        relay_answers = [self.answers[i] for i in RELAY_IDS]
        relay_reports = [self.reports[i] for i in RELAY_IDS]
        return [
            Row(f"{LABEL}: longest wait for an answer, relay's karts",
                f"{self.longest_wait[relay_worst]:.3f} s (kart {relay_worst})",
                f"the relay's longest gap between reports {max(self.longest_report_gap.values()):.3f} s",
                "kart in sight", self.longest_wait[relay_worst]),
            Row(f"{LABEL}: longest wait for an answer, flood's karts",
                f"{self.longest_wait[flood_worst]:.3f} s (kart {flood_worst})",
                f"median {statistics.median(self.answers[i] for i in FLOOD_IDS):.0f} answers per kart; in the "
                f"flood the console's socket took {self.console_datagrams} datagrams (its own broadcasts too) and "
                f"dropped {self.console_drops}; the capture dropped {self.capture_drops}", "kart in sight",
                self.longest_wait[flood_worst]),
            Row(f"{LABEL}: answers per relay kart in {self.seconds:g} s",
                f"min {min(relay_answers)}, median {statistics.median(relay_answers):.0f}",
                f"of the {min(relay_reports)} to {max(relay_reports)} reports the relay sent each"),
            Row(f"{LABEL}: another console's command applied ({len(self.commands)} commands)",
                f"median {statistics.median(self.commands) * 1000:.1f} ms, worst {max(self.commands) * 1000:.1f} ms",
                "", "command in a flood", max(self.commands) * 1000),
        ]


def longest_wait(times, start, end):
    """The longest stretch of [start, end] without any of `times`."""
    edges = [start, *sorted(t for t in times if start <= t <= end), end]
    return max(later - earlier for earlier, later in zip(edges, edges[1:]))


def measure(settings):
    """The probe build of the console on screen; the simulator reports 10 karts at 10 Hz, held at a limit the
    console does not want, so the console answers each report and the karts ignore it; a host floods the
    console with 64 KiB datagrams of frames for 200 other karts (285k reports/s), also with that limit. A
    capture on a host of its own keeps every answer and every report of the relay. Over `seconds` from the
    flood's first answer, each kart's longest wait for an answer; then, while the flood goes on, another console
    sets STOP and 100% in turn, each timed from its sending to the probe's line for the mode the live list
    announced."""
    seconds, rounds = (3, 1) if settings.smoke else (10, 5)
    log(f"karts in sight: {len(RELAY_IDS)} relay karts in a packed flood of {len(FLOOD_IDS)} karts, {seconds} s, "
        f"then {rounds * len(COMMANDS)} commands of another console")
    with VirtualLan("10.86.0.0/24") as lan:
        display = lan.display()
        # The answers go to the whole LAN, tens of thousands a second: tcpdump keeps up where a socket read from
        # Python would not.
        capture = Capture(lan.add_host("observer"), os.path.join(lan.log_dir, "answers.pcap"), buffer_mib=256)
        host = lan.add_host("console")
        other, flooder, sim_host = lan.add_host("other"), lan.add_host("flood"), lan.add_host("sim")
        # None of these needs the answers; the simulator, which logs every datagram it reads, would stall its own
        # reports under them.
        for deaf in (other, flooder, sim_host):
            deaf.keep_broadcasts_out()
        other_console = Observer(other)
        sim = Simulator(sim_host, settings.simulator, ["--karts", str(len(RELAY_IDS)), "--first-id",
                                                       str(RELAY_IDS[0]), "--rate", "10", "--seed", "7"])
        # Held first, so that no command of the console's can undo the limit.
        sim.control("kart all hold on")
        sim.control(f"kart all limit {UNWANTED_LIMIT}")
        console = Console(host, settings.probe, display=display, net_debug=False,
                          probe_file=os.path.join(lan.log_dir, "probe.txt"))
        console.wait_for_window()
        console.probe.wait_for_link(lambda state: state.get("isOnline") is True, 15)  # the console knows the relay
        counters = host.udp_counters()
        # A cap: the flood is stopped once the commands are timed.
        sender = start_flood(settings, flooder, "flood", host, FLOODS["packed"], seconds + 60,
                             (FLOOD_IDS[0], len(FLOOD_IDS)), UNWANTED_LIMIT)
        flood_started = time.monotonic()
        try:
            time.sleep(FIRST_ANSWER_SECONDS + seconds)
            flood_counters = {key: value - counters[key] for key, value in host.udp_counters().items()}
            commands_started = time.monotonic()
            commands = []
            for _ in range(rounds):
                for mode in COMMANDS:
                    commands.append(command_applied(other_console, console.probe, mode))
                    time.sleep(max(0.0, COMMAND_SECONDS - commands[-1]))
            if not sender.running():
                raise RuntimeError(f"the flood ended before another console's commands were timed: {sender.output()}")
        finally:
            sender.stop()
        capture.stop()
        datagrams, capture_drops = read_capture(capture.path), capture.dropped()
        network_log = [line for line in console.process.lines() if line.startswith("zadar.net:")]
    lan.remove_logs()
    answers, reports = times_per_kart(datagrams, host.address)
    start = min((t for i in FLOOD_IDS for t in answers[i]), default=None)
    if start is None or start + seconds > commands_started:
        raise RuntimeError(f"the flood's first answer came too late for a window of {seconds} s before the commands: "
                           f"{'none' if start is None else f'{start - flood_started:.1f} s after the flood began'}")
    end = start + seconds
    return KartsInSightFigures(
        seconds, {i: sum(start <= t <= end for t in times) for i, times in answers.items()},
        {i: longest_wait(times, start, end) for i, times in answers.items()},
        {i: sum(start <= t <= end for t in times) for i, times in reports.items()},
        {i: longest_wait(times, start, end) for i, times in reports.items()}, commands,
        flood_counters["InDatagrams"] + flood_counters["RcvbufErrors"], flood_counters["RcvbufErrors"],
        capture_drops, network_log)


def times_per_kart(datagrams, console_address):
    """The times of the console's answers to each kart, and of the relay's reports of each of its karts."""
    answers, reports = {i: [] for i in (*RELAY_IDS, *FLOOD_IDS)}, {i: [] for i in RELAY_IDS}
    for datagram in datagrams:
        command = protocol.parse_transponder_limit_command(datagram.data)
        frame = protocol.parse_transponder_frame(datagram.data)
        if command and command[0] in answers and datagram.source == console_address:
            answers[command[0]].append(datagram.time)
        elif frame and frame[0] in reports:
            reports[frame[0]].append(datagram.time)
    return answers, reports


def command_applied(other_console, probe, mode):
    """Sends another console's global limit `mode`; returns the seconds until the console's live list announced
    it."""
    offset, since = probe.mark(), time.monotonic()
    other_console.send(protocol.app_command("globalRpmLimit", mode))

    def applied():
        return next((t for t, text in probe.precise_records("limitmode", since, offset) if text == mode), None)
    return wait_until(applied, 5, f"another console's {mode} was not applied within 5 s", 0.01) - since
