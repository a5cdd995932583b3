"""End to end on a virtual LAN, on screen: consoles under Xvfb (one display each), read through screenshots
and driven with real clicks and typing (xdotool), against the simulator."""

import json
import re
import time

import e2etest
from harness import browser, protocol
from harness.console import BUTTON_CONFIRMED, BUTTON_UNCHECKED, BUTTON_UNCONFIRMED, OFFLINE, ONLINE, \
    PLATE_OFFLINE, PLATE_ONLINE, centre_of as centre, inside_of as inside
from harness.display import colour_matches
from harness.network import Observer, is_app_command
from harness.processes import log, wait_until

FIFTY_PERCENT = 1
ONE_HUNDRED_PERCENT = 2
STOP = 3


class ScreenTest(e2etest.LanTestCase):

    def test_status_line_follows_the_relays_status_frames(self):
        sim = self.simulator(self.lan.add_host("sim"), "--karts", "1")
        console = self.screen_console(self.lan.add_host("a"))
        line = console.status_line_point()
        console.display.wait_for_colour(*line, ONLINE, timeout=10)

        # Silence: offline within 9 s of the last status frame (one second apart), not at once.
        sim.control("status off")
        took = console.display.wait_for_colour(*line, OFFLINE, timeout=12, interval=0.2)
        self.assertGreaterEqual(took, 2.0)
        self.assertLessEqual(took, 9.5)

        sim.control("status on")
        self.assertLess(console.display.wait_for_colour(*line, ONLINE, timeout=5, interval=0.2), 2.0)

    def test_karts_become_rows_their_limits_show_confirmation_and_silent_karts_turn_grey(self):
        observer = Observer(self.lan.add_host("observer"))
        sim = self.simulator(self.lan.add_host("sim"), "--ids", "1001,1002,1003", "--apply-delay", "1500")
        host = self.lan.add_host("a")
        console = self.screen_console(host)
        plates = console.wait_for_plates(3)
        image = console.display.screenshot()
        for plate in plates:
            self.assertEqual(plate[1] - plate[0] + 1, 48)
            self.assertTrue(colour_matches(image.pixel(console.point(3, 0)[0], plate[0] + 24), PLATE_ONLINE))

        # The operator limits the third kart to 25%: the relay is told, the other consoles too, and the
        # row's button stays grey until the kart reports the new limit (1.5 s later), then turns green.
        since = sim.process.mark()
        sent_at = time.monotonic()
        button = console.row_button(plates[2], 0)
        console.display.click(*centre(button, 48))
        sim.wait_received("transponder", source=host.address, text="TRANSPONDERRPMLIMIT:1003,2300", since=since)
        console.display.wait_for_colour(*inside(button, 48), "grey", timeout=3, interval=0.1)
        console.display.wait_for_colour(*inside(button, 48), "green", timeout=5, interval=0.2)
        commands = observer.wait_for(is_app_command, since=sent_at, source=host.address)
        self.assertEqual(json.loads(commands[0].data),
                         {"appCommand": "transponderLimit", "transponderId": 1003, "value": "p25"})
        other_row = console.row_button(plates[1], 0)
        self.assertTrue(colour_matches(console.display.screenshot().pixel(*inside(other_row, 48)), "white"))

        # A kart that falls silent turns grey after 5 s (the list is swept every 2.5 s); the others do not.
        sim.control("kart 1002 offline")
        x = console.point(3, 0)[0]
        took = console.display.wait_for_colour(x, plates[1][0] + 24, PLATE_OFFLINE, timeout=10, interval=0.2)
        self.assertGreaterEqual(took, 4.5)
        self.assertLessEqual(took, 8.5)
        image = console.display.screenshot()
        for plate in (plates[0], plates[2]):
            self.assertTrue(colour_matches(image.pixel(x, plate[0] + 24), PLATE_ONLINE))

    def test_fifty_percent_clicked_on_one_console_commands_the_relay_and_the_other_console_follows(self):
        (host_a, host_b), (console_a, console_b), observer, sim = self.two_consoles_and_a_relay(self.screen_console)
        for console in (console_a, console_b):
            console.display.wait_for_colour(*console.status_line_point(), ONLINE, timeout=10)
            console.wait_for_plates(2)

        # Without status frames, every command from console B after the click would be an echo, not a
        # re-assertion. Both consoles know the relay's network already.
        sim.control("status off")
        time.sleep(0.3)
        since = sim.process.mark()
        clicked_at = time.monotonic()
        console_a.display.click(*centre(console_a.bottom_button(FIFTY_PERCENT)))

        sim.wait_received("global", source=host_a.address, text="GLOBALRPMLIMIT:3000,-1", since=since, timeout=5)
        button_b = inside(console_b.bottom_button(FIFTY_PERCENT))
        # B shows 50% chosen, not yet confirmed: the relay last reported 10000.
        console_b.display.wait_for_colour(*button_b, BUTTON_UNCONFIRMED, timeout=5, interval=0.1)
        time.sleep(1.5)
        self.assertEqual(sim.received("global", source=host_b.address, since=since), [])
        commands = observer.datagrams(since=clicked_at, predicate=is_app_command)
        self.assertEqual([(d.source, json.loads(d.data)) for d in commands],
                         [(host_a.address, {"appCommand": "globalRpmLimit", "value": "p50"})])

        # The relay reports another limit: B asserts its own, 3000, just as A does; once the relay
        # reports 3000 both 50% buttons turn green.
        since = sim.process.mark()
        sim.control("global 5000")
        sim.control("status on")
        for host in (host_a, host_b):
            sim.wait_received("global", source=host.address, text="GLOBALRPMLIMIT:3000,-1", since=since, timeout=5)
        for console in (console_a, console_b):
            console.display.wait_for_colour(*inside(console.bottom_button(FIFTY_PERCENT)), BUTTON_CONFIRMED, timeout=5)
            image = console.display.screenshot()
            for other in (0, 2):
                self.assertTrue(colour_matches(image.pixel(*inside(console.bottom_button(other))),
                                                      BUTTON_UNCHECKED))
        time.sleep(1.0)
        self.assertEqual(len(observer.datagrams(since=clicked_at, predicate=is_app_command)), 1)

    def test_rows_under_the_pointer_stay_when_karts_join_and_global_limits_change(self):
        """A field of 40 karts, scrolled down to its last rows: a kart joining and global limits chosen here or
        on another console leave the rows where they are, so a press lands on the kart it was aimed at."""
        observer = Observer(self.lan.add_host("observer"))
        sim = self.simulator(self.lan.add_host("sim"), "--karts", "41", "--first-id", "1001", "--offline", "1041")
        host = self.lan.add_host("a")
        console = self.screen_console(host)
        console.wait_for_plates(8)
        time.sleep(1.0)  # every kart has reported a few times: all 40 rows are there
        console.display.scroll(*console.point(200, 250), 12)
        time.sleep(1.0)  # the flick settles
        plates = console.plates(console.display.screenshot())
        row = plates[-3]  # a row well inside the list, clear of its edges

        def kart_pressed(button, mode):
            """Presses a row button of `row` and returns the transponder its command names."""
            since = time.monotonic()
            console.display.click(*centre(console.row_button(row, button), 48))
            command = observer.wait_for(is_app_command, since=since, source=host.address, timeout=5)[0]
            sent = json.loads(command.data)
            self.assertEqual((sent["appCommand"], sent["value"]), ("transponderLimit", mode))
            return sent["transponderId"]

        kart = kart_pressed(0, "p25")
        self.assertGreater(kart, 1010, "the list was not scrolled down")

        # A kart comes on air: its row is added below; the press right after goes to the same kart.
        since = sim.process.mark()
        sim.control("kart 1041 online")
        sim.wait_received("transponder", source=host.address, text="TRANSPONDERRPMLIMIT:1041,10000", since=since)
        self.assertEqual(kart_pressed(1, "p50"), kart, "after a kart joined")

        # A global limit chosen here (its own command comes back to it from the LAN) ...
        since = time.monotonic()
        console.display.click(*centre(console.bottom_button(0)))
        observer.wait_for(lambda d: is_app_command(d) and json.loads(d.data)["appCommand"] == "globalRpmLimit",
                          since=since, source=host.address, timeout=5)
        time.sleep(0.5)
        self.assertEqual(kart_pressed(2, "p100"), kart, "after a global limit chosen here")

        # ... and one chosen on another console.
        observer.send(protocol.app_command("globalRpmLimit", "p50"))
        console.display.wait_for_colour(*inside(console.bottom_button(FIFTY_PERCENT)), BUTTON_UNCONFIRMED,
                                        timeout=5, interval=0.1)
        self.assertEqual(kart_pressed(3, "p0"), kart, "after a global limit chosen on another console")
        self.assertEqual(console.plates(console.display.screenshot()), plates, "the rows moved")

    def test_kart_registry_edited_on_screen_survives_a_restart(self):
        host = self.lan.add_host("a")
        self.simulator(self.lan.add_host("sim"), "--ids", "1001,1002")
        config = self.lan.temporary_directory("registry-config")

        console = self.screen_console(host, config)
        add = console.open_settings()
        console.add_registry_entry(add, "17", "1001")
        console.confirm_settings()
        self.assertEqual(console.close_window(), 0)
        self.assertEqual(self.stored_settings(config)["transponders/tr0"], {"kartNum": "17", "transponderId": 1001})

        # After the restart the live row of transponder 1001 carries the kart number (white text on its
        # plate), 1002's plate stays blank; the settings screen lists the entry, and a second one is added.
        console = self.screen_console(host, config)
        plates = console.wait_for_plates(2)
        image = console.display.screenshot()
        left = console.point(0, 0)[0]
        white = [image.count(lambda p: min(p) > 225, left + 2, plate[0] + 2, left + 46, plate[1] - 1)
                 for plate in plates]
        self.assertGreater(white[0], 10, "no kart number on the plate of 1001")
        self.assertEqual(white[1], 0, "text on the plate of 1002, which has no kart number")

        add = console.open_settings()
        self.assertEqual(len(console.kart_number_fields()), 1)
        console.add_registry_entry(add, "23", "1002")
        console.confirm_settings()
        self.assertEqual(console.close_window(), 0)

        stored = self.stored_settings(config)
        registry = {key: value for key, value in stored.items() if key.startswith("transponders/")}
        self.assertEqual(registry, {"transponders/tr0": {"kartNum": "17", "transponderId": 1001},
                                    "transponders/tr1": {"kartNum": "23", "transponderId": 1002}})


    def test_race_control_a_key_another_program_the_kart_that_does_not_obey_and_the_record(self):
        """F12 typed while another program has the focus stops every kart, as the STOP button does; the kart that
        ignores it blinks on the screen after 3 s and the console asks for attention; both consoles' records say who
        limited the karts, from where, and whether each kart took the limit. The STOP marks an incident, whose report
        the console writes as it closes: a browser shows who chose STOP, a chart for every kart, and the kart that
        never took it."""
        hosts = self.lan.add_host("a"), self.lan.add_host("b")
        observer = Observer(self.lan.add_host("observer"))
        sim_host = self.lan.add_host("sim")
        sim = self.simulator(sim_host, "--ids", "1001,1002,1003")
        sim.control("kart 1003 hold on")  # it keeps reporting 10000 whatever it is told
        console_a = self.screen_console(hosts[0])
        console_b = self.console(hosts[1])
        plates = console_a.wait_for_plates(3)
        console_b.wait_until_pinging()
        display = console_a.display
        # The console knows where the relay is, so the key's command goes out at once.
        display.wait_for_colour(*console_a.status_line_point(), ONLINE, timeout=10)
        attention = display.attention_requests()
        display.other_program()

        pressed = time.monotonic()
        display.pointer().tap_key("F12")
        observer.wait_for(lambda d: d.data == protocol.global_limit_command(0), since=pressed, source=hosts[0].address,
                          timeout=3)
        display.wait_for_colour(*inside(console_a.bottom_button(STOP)), "red", timeout=3, interval=0.1)
        stop_buttons = [inside(console_a.row_button(plate, STOP), 48) for plate in plates]
        display.wait_for_colour(*stop_buttons[0], "red", timeout=5, interval=0.2)
        display.wait_for_colour(*stop_buttons[1], "red", timeout=5, interval=0.2)
        # The third kart: grey for 3 s, then red half of every second.
        self.assertTrue(colour_matches(display.screenshot().pixel(*stop_buttons[2]), "grey"))
        blinked = display.wait_for_colour(*stop_buttons[2], "red", timeout=5, interval=0.1) + (time.monotonic() - pressed)
        self.assertGreater(time.monotonic() - pressed, 3.0)
        display.wait_for_colour(*stop_buttons[2], "grey", timeout=1.5, interval=0.1)
        self.assertGreaterEqual(attention.count(console_a.window.id), 1, "no request for attention")

        # The relay falls silent for a while and one kart too, another console's 100% ends the blinking, the relay
        # reports another global limit, and the operator empties the list.
        sim.control("status off")
        sim.control("kart 1002 offline")
        display.wait_for_colour(*console_a.status_line_point(), OFFLINE, timeout=12, interval=0.2)
        display.wait_for_colour(console_a.plate_x(), plates[1][0] + 24, PLATE_OFFLINE, timeout=8, interval=0.2)
        # Console B sweeps on its own clock, up to a sweep later than A.
        silent = {"retranslator-offline", "kart-silent"}
        wait_until(lambda: silent <= {line["event"] for line in console_b.record()} or None, 3,
                   "console B did not record both the relay and kart 1002 falling silent")
        sim.control("kart 1002 online")
        sim.control("status on")
        display.wait_for_colour(*console_a.status_line_point(), ONLINE, timeout=5, interval=0.2)
        observer.send(protocol.app_command("globalRpmLimit", "p100"))
        display.wait_for_colour(*stop_buttons[2], BUTTON_UNCHECKED, timeout=3, interval=0.1)
        since = sim.process.mark()
        sim.control("global 5000")
        sim.wait_received("global", source=hosts[0].address, text="GLOBALRPMLIMIT:10000,-1", since=since, timeout=5)
        display.click(*console_a.point(console_a.window.width - 36, console_a.window.height - 36))  # RESET
        console_a.wait_for_plates(3)
        self.assertEqual(console_a.close_window(), 0)

        def events(record):
            return [(line["event"], line["source"], line["transponder"], line["limit mode"], line["detail"])
                    for line in record]

        record_a = console_a.record()
        log("console A's record:\n" + "\n".join(",".join(line.values()) for line in record_a))
        a = events(record_a)
        # Console B's record follows within a second of each event.
        def b_has_the_last_event():
            record = events(console_b.record())
            return record if any(e[0] == "global-limit-reasserted" for e in record) else None
        b = wait_until(b_has_the_last_event, 3, "console B recorded no global limit asserted again")
        relay, other = sim_host.address, observer.host.address
        for event in ("console-started", "console-stopped", "kart-silent", "kart-back", "reset"):
            self.assertIn(event, [e[0] for e in a])
        for record in (a, b):
            self.assertIn(("retranslator-online", relay, "", "", ""), record)
            self.assertIn(("retranslator-offline", relay, "", "", ""), record)
            for kart in ("1001", "1002", "1003"):
                self.assertIn(("kart-on-air", "", kart, "", ""), record)
            self.assertIn(("limit-not-taken", "", "1003", "p0", "not taken after 3 s"), record)
            self.assertIn(("global-limit", other, "", "p100", ""), record)
            self.assertIn(("global-limit-reasserted", relay, "", "", "the retranslator reported 5000"), record)
            taken = [e for e in record if e[0] == "limit-taken" and e[3] == "p0"]
            self.assertEqual(sorted(e[2] for e in taken), ["1001", "1002"], record)
            self.assertTrue(all(re.fullmatch(r"took \d+ ms", e[4]) for e in taken), taken)
        self.assertIn(("global-limit", "key F12", "", "p0", ""), a)
        self.assertIn(("global-limit", hosts[0].address, "", "p0", ""), b)
        self.assertIn(("reset", "click", "", "", ""), a)
        self.assertIn(("global-limit", "click", "", "p100", ""), a)
        self.assertNotIn("global-limit", [e[0] for e in a if e[1] == hosts[0].address], "its own command came back")
        self.assertEqual(len([e for e in a if e[0] == "global-limit"]), 3, a)

        reports = console_a.incident_reports()
        self.assertEqual(len(reports), 1, reports)
        self.assertIn(("incident-marked", "STOP for all karts, key F12", "", "", ""), a)
        self.assertIn(("incident-report", "", "", "", reports[0]), a)
        page = browser.read(browser.dom(reports[0]))
        self.assertIn("STOP (0 RPM) for all karts, source: key F12", page.text)
        self.assertEqual(len(page.charts), 3, page.charts)
        self.assertTrue(all(chart.canvases and chart.points > 10 for chart in page.charts), page.charts)
        self.assertTrue(any("1003" in line and "never took STOP" in line for line in page.never), page.never)


if __name__ == "__main__":
    e2etest.main(need_display=True)
