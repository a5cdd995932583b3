"""End to end on a virtual LAN, at the network level: consoles running offscreen, the simulator, and an
observer socket that records what reaches the LAN's broadcast address and can speak like another console."""

import time

import e2etest
from harness import protocol
from harness.network import Observer, is_app_command


class NetworkTest(e2etest.LanTestCase):

    def test_discovery_ping_reaches_the_lan_broadcast_at_start_and_every_5_s(self):
        observer = Observer(self.lan.add_host("observer"))
        host = self.lan.add_host("a")
        started = time.monotonic()
        self.console(host)
        pings = observer.wait_for(lambda d: d.data == protocol.DISCOVERY_WORD, timeout=20, count=3, source=host.address)

        for ping in pings:
            self.assertEqual(ping.destination, self.lan.broadcast)
            self.assertEqual(ping.source_port, protocol.EXCHANGE_PORT)
        # The first ping goes out as the program starts, before its window is up.
        self.assertLess(pings[0].time - started, 4.0)
        for earlier, later in zip(pings, pings[1:]):
            self.assertAlmostEqual(later.time - earlier.time, 5.0, delta=0.6)

    def test_status_frame_with_another_global_limit_is_answered_with_the_consoles_limit(self):
        console_host = self.lan.add_host("a")
        sim = self.simulator(self.lan.add_host("sim"), "--karts", "0", "--global", "5000")
        console = self.console(console_host)
        console.wait_until_pinging()

        # The console's limit is 10000 until an operator chooses one: it asserts that on the relay's network.
        found = sim.wait_received("global", source=console_host.address, text="GLOBALRPMLIMIT:10000,-1", timeout=8)
        self.assertEqual(found[0][1]["to"], self.lan.broadcast)
        self.assertEqual(found[0][1]["port"], str(protocol.EXCHANGE_PORT))
        sim.process.wait_for(r"global limit=10000 cause=command", 5)

        # Once the relay reports the console's own limit, the console has nothing more to say.
        since = sim.process.mark()
        time.sleep(3.5)
        self.assertEqual(sim.received("global", since=since), [])

    def test_kart_reporting_another_limit_is_sent_its_target_while_the_global_limit_is_10000(self):
        console_host = self.lan.add_host("a")
        observer = Observer(self.lan.add_host("observer"))
        sim = self.simulator(self.lan.add_host("sim"), "--karts", "3", "--offline", "1003")
        console = self.console(console_host)
        console.wait_until_pinging()
        # Commands wait for the first status frame, which tells the console where the relay is.
        time.sleep(2.0)

        # A new row asks once for its target, even when the kart already reports it.
        since = sim.process.mark()
        sim.control("kart 1003 online")
        sim.wait_received("transponder", source=console_host.address, text="TRANSPONDERRPMLIMIT:1003,10000",
                          since=since, timeout=5)
        time.sleep(1.0)
        self.assertEqual(len(sim.received("transponder", since=since)), 1)

        # A kart whose limiter does not take the command keeps reporting 5000: the console repeats the
        # target with every report (five a second), for that kart only.
        sim.control("kart 1002 hold on")
        sim.control("kart 1002 limit 5000")
        time.sleep(0.5)
        since = sim.process.mark()
        time.sleep(2.0)
        repeated = sim.received("transponder", source=console_host.address, since=since)
        texts = {m["text"] for _, m in repeated}
        self.assertEqual(texts, {"TRANSPONDERRPMLIMIT:1002,10000"})
        self.assertGreaterEqual(len(repeated), 6)
        self.assertTrue(all(m["to"] == self.lan.broadcast for _, m in repeated))

        # Once the kart takes it and reports its target, the repetition stops.
        sim.control("kart 1002 hold off")
        sim.process.wait_for(r"limit kart=1002 rpm=10000 cause=command", 5)
        time.sleep(0.5)
        since = sim.process.mark()
        time.sleep(2.0)
        self.assertEqual(sim.received("transponder", since=since), [])

        # Another console's global 50% (an application command) sets this console's global limit to 3000
        # without a command of its own; its next re-assertion shows it, and per-kart commands stop even
        # though a held kart keeps reporting another limit than its target.
        sim.control("kart 1002 hold on")
        since = sim.process.mark()
        sent_at = time.monotonic()
        observer.send(protocol.app_command("globalRpmLimit", "p50"))
        sim.wait_received("global", source=console_host.address, text="GLOBALRPMLIMIT:3000,-1", since=since,
                          timeout=5)
        sim.process.wait_for(r"limit kart=1003 rpm=3000 cause=global", 5, since=since)
        time.sleep(0.5)
        quiet_since = sim.process.mark()
        time.sleep(2.0)
        self.assertEqual(sim.received("transponder", since=quiet_since), [])
        self.assertEqual(observer.datagrams(since=sent_at, source=console_host.address,
                                            predicate=is_app_command), [])

    def test_application_commands_are_never_rebroadcast_by_a_receiving_console(self):
        (host_a, host_b), (console_a, console_b), observer, sim = self.two_consoles_and_a_relay(self.console)
        console_a.wait_until_pinging()
        console_b.wait_until_pinging()
        time.sleep(2.0)

        sent_at = time.monotonic()
        for command in (protocol.app_command("globalRpmLimit", "p25"),
                        protocol.app_command("transponderLimit", "p0", transponder_id=1001),
                        protocol.app_command("somethingNew", "p50")):
            observer.send(command)
        time.sleep(1.5)

        # Both consoles took the 25% (2300): make the relay report another limit and each asserts 2300.
        since = sim.process.mark()
        sim.control("global 5000")
        for host in (host_a, host_b):
            sim.wait_received("global", source=host.address, text="GLOBALRPMLIMIT:2300,-1", since=since, timeout=5)
        time.sleep(1.0)
        for host in (host_a, host_b):
            echoed = observer.datagrams(since=sent_at, source=host.address, predicate=is_app_command)
            self.assertEqual(echoed, [], f"console {host.name} passed an application command on")


if __name__ == "__main__":
    e2etest.main()
