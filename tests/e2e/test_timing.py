"""End to end on a virtual LAN with the track's timing system: the feed player serves RMonitor sessions to two
consoles, which limit the karts by the flag, keep a person's stricter limit, and record why."""

import argparse
import json
import os
import sys
import time

import e2etest
from harness.console import FeedPlayer, centre_of, rmonitor_session
from harness.network import Observer, is_app_command
from harness.processes import log, wait_until

FEED_PLAYER = None
STOP = 3
FLAG_LINE_YELLOW = "#ffd600"


class TimingFeedTest(e2etest.LanTestCase):

    def feed_player(self, host, flags, name):
        path = os.path.join(self.lan.log_dir, f"{name}.rmon")
        with open(path, "wb") as session:
            session.write(rmonitor_session(flags))
        return FeedPlayer(host, FEED_PLAYER, path, name=name)

    def console_following(self, host, feed_address, screen=False):
        config = self.lan.temporary_directory(f"{host.name}-config")
        os.makedirs(os.path.join(config, "deviv"))
        with open(os.path.join(config, "deviv", "zadar.conf"), "w") as settings:
            settings.write(f"[timingFeed]\naddress={feed_address}\n")
        return self.screen_console(host, config) if screen else self.console(host, config_dir=config)

    def test_two_consoles_follow_the_flags_and_a_persons_stop_stands(self):
        hosts = self.lan.add_host("a"), self.lan.add_host("b")
        observer = Observer(self.lan.add_host("observer"))
        self.simulator(self.lan.add_host("sim"), "--karts", "2")
        timing = self.lan.add_host("timing")
        # Both consoles connect before the session starts (the player waits for its first client; the other
        # console joins at most 2 s later, and takes the flag as it stands then).
        player = self.feed_player(timing, ["", "", "green", "yellow", "green", "red", "green", "finish", ""],
                                  "session1")
        console_a = self.console_following(hosts[0], player.address, screen=True)
        console_b = self.console_following(hosts[1], player.address)
        display = console_a.display

        # The flag line shows Yellow in its colour while Yellow is out, above the retranslator's status line.
        player.wait_for_flag("yellow")
        flag_line = console_a.point(console_a.window.width - 8, console_a.window.height - 72 - 20 - 10)
        display.wait_for_colour(*flag_line, FLAG_LINE_YELLOW, timeout=3, interval=0.1)
        player.wait_until_played()

        # Each flag change reached the wire once as the mapped global limit, from either console.
        def global_limits(since=0.0):
            commands = observer.datagrams(since=since, predicate=lambda d: d.data.startswith(b"GLOBALRPMLIMIT:"))
            values = [int(d.data.split(b":")[1].split(b",")[0]) for d in commands
                      if d.source in (hosts[0].address, hosts[1].address)]
            return [v for i, v in enumerate(values) if i == 0 or values[i - 1] != v]
        limits = global_limits()
        self.assertEqual(limits[1:] if limits[:1] == [10000] else limits, [3000, 10000, 0, 10000, 2300])
        feed_commands = [json.loads(d.data) for d in observer.datagrams(predicate=is_app_command)]
        self.assertTrue(feed_commands and all(c.get("chosenBy") == "timingFeed" for c in feed_commands),
                        feed_commands)

        # The operator stops every kart; the next session starts under Yellow, then Green: the person's STOP stands
        # on both consoles, and the line goes red while the feed is lost between the sessions.
        display.wait_for_colour(*flag_line, "red", timeout=8, interval=0.2)
        clicked = time.monotonic()
        display.click(*centre_of(console_a.bottom_button(STOP)))
        observer.wait_for(lambda d: d.data == b"GLOBALRPMLIMIT:0,-1", since=clicked, source=hosts[0].address)
        player = self.feed_player(timing, ["yellow", "yellow", "green"], "session2")
        player.wait_for_flag("green", timeout=15)
        time.sleep(1.0)
        self.assertEqual(global_limits(since=clicked), [0])
        self.assertEqual(console_a.close_window(), 0)

        def events(console):
            return [(line["event"], line["source"], line["limit mode"], line["detail"]) for line in console.record()]
        a = events(console_a)
        def b_has_the_last_event():
            record = events(console_b)
            return record if any(e[0] == "persons-limit-stands" for e in record) else None
        b = wait_until(b_has_the_last_event, 3, "console B recorded no person's limit standing")
        log("console A's record:\n" + "\n".join(",".join(e) for e in a))
        feed = player.address
        for record in (a, b):
            self.assertIn(("timing-feed-connected", feed, "", ""), record)
            self.assertIn(("timing-feed-back", feed, "", ""), record)
            self.assertTrue(any(e[0] == "flag" and e[3].startswith("yellow") for e in record), record)
            self.assertIn(("persons-limit-stands", feed, "p0",
                           "yellow would choose p50; the stricter limit in force stands"), record)
            self.assertTrue(any(e[0] == "timing-feed-lost" and e[1] == feed for e in record), record)
            self.assertTrue(any(e[0] == "global-limit" and e[1].startswith("timing feed ") for e in record), record)
        # B may join the session after the line that names the run; A, the first client, has it.
        self.assertIn(("flag", feed, "", "yellow; run Heat 1"), a)
        self.assertIn(("global-limit", "click", "p0", ""), a)
        self.assertIn(("global-limit", hosts[0].address, "p0", ""), b)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--feed-player", required=True)
    own, rest = parser.parse_known_args()
    FEED_PLAYER = own.feed_player
    sys.argv = [sys.argv[0], *rest]
    e2etest.main(need_display=True)
