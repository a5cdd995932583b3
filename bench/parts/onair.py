"""A field coming on air: a burst of reports from karts the console has not seen, against the same burst once
they are known."""

import dataclasses
import statistics
import time

from harness import protocol
from harness.console import Console
from harness.network import Observer, VirtualLan
from harness.processes import log
from table import Row

KARTS = 40


@dataclasses.dataclass
class OnAirFigures:
    new: list    # seconds from each round's burst of new karts to the last answer
    known: list  # the same burst once their rows exist

    def rows(self):
        new, known = statistics.median(self.new), statistics.median(self.known)
        return [Row(f"On screen: {KARTS} new karts in one burst answered (median of {len(self.new)})",
                    f"{new * 1000:.1f} ms (worst {max(self.new) * 1000:.1f} ms)",
                    f"{new / known:.1f} x the same {KARTS} once known ({known * 1000:.1f} ms)", "new karts answered",
                    new * 1000)]


def measure(settings):
    """The console on screen and a relay (a socket on a host of its own) on a virtual LAN. Each round sends one
    datagram per kart, back to back, for karts the console has never seen, and then the same burst again once
    their rows exist. Every report carries a limit other than the console's target, so the console answers
    each with a limit command; the time from the burst to the last answer is what the round measures."""
    rounds = 1 if settings.smoke else 5
    log(f"on screen: {KARTS} karts coming on air at once, {rounds} rounds")
    new_times, known_times = [], []
    with VirtualLan("10.82.0.0/24") as lan:
        display = lan.display()
        relay = Observer(lan.add_host("relay"))
        host = lan.add_host("console")
        console = Console(host, settings.console, display=display, net_debug=False)
        console.wait_for_window()
        relay.wait_for(lambda d: d.data == protocol.DISCOVERY_WORD, timeout=15, source=host.address)

        def burst(ids):
            relay.send(protocol.status_frame(protocol.UNLIMITED_RPM))
            time.sleep(0.3)  # the console knows the relay's network, and its answer to the status frame is out
            start = time.monotonic()
            for transponder_id in ids:
                relay.send(protocol.transponder_frame(transponder_id, 6000, 5000, -60))
            wanted = set(ids)

            def answered(datagram):
                command = protocol.parse_transponder_limit_command(datagram.data)
                return command is not None and command[0] in wanted

            answers = relay.wait_for(answered, timeout=10, since=start, count=len(ids), source=host.address)
            return max(d.time for d in answers[:len(ids)]) - start

        for round_ in range(rounds):
            ids = list(range(2001 + round_ * 100, 2001 + round_ * 100 + KARTS))
            new_times.append(burst(ids))
            time.sleep(0.5)
            known_times.append(burst(ids))
            time.sleep(0.5)
    lan.remove_logs()
    return OnAirFigures(new_times, known_times)
