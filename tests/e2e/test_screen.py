"""End to end on a virtual LAN, on screen: consoles under Xvfb (one display each), read through screenshots
and driven with real clicks and typing (xdotool), against the simulator."""

import json
import time

import e2etest
from harness import protocol
from harness.console import BUTTON_CONFIRMED, BUTTON_UNCHECKED, BUTTON_UNCONFIRMED, OFFLINE, ONLINE, \
    PLATE_OFFLINE, PLATE_ONLINE, centre_of as centre, inside_of as inside
from harness.display import colour_matches
from harness.network import Observer, is_app_command

FIFTY_PERCENT = 1


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


if __name__ == "__main__":
    e2etest.main(need_display=True)
