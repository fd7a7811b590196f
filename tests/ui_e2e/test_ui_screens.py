"""The launcher window on screen: progress bar, widget frames, options panel,
server switch and slider drag, read back from screenshots."""

import os
import shutil
import tempfile
import unittest

from ui_harness import (BUTTON_COLOURS, DISABLED, HOVER, NORMAL, OPTIONS_ON_COLOURS, PRESSED,
                        STATE_COLOURS, Launcher, SessionTestCase, TestSite, is_orange, wait_until)

BAR_Y = 268  # a row through the progress track (261..275)
PLAY_PIXEL = (320, 229)
SIGN_UP_PIXEL = (49, 229)


class UiScreensTest(SessionTestCase):
    def start(self, **kwargs):
        launcher = Launcher(self.session, **kwargs)
        self.launchers.append(launcher)
        return launcher.wait_window()

    def site(self, files, rules=None):
        root = tempfile.mkdtemp(prefix="kvsite-")
        site = TestSite(root, files, rules)
        self.cleanups.append(lambda: (site.stop(), shutil.rmtree(root, ignore_errors=True)))
        return site

    def fill_width(self, launcher):
        """Columns of the progress track that show the orange fill."""
        image = launcher.screenshot()
        return sum(1 for x in range(0, 330) if is_orange(launcher.pixel(x, BAR_Y, image)))

    def test_failed_update_shows_empty_bar_and_disabled_play(self):
        launcher = self.start()
        colour = launcher.wait_pixel(*PLAY_PIXEL, lambda c: c == STATE_COLOURS[DISABLED])
        self.assertEqual(colour, STATE_COLOURS[DISABLED], "Play is disabled after the error")
        self.assertEqual(self.fill_width(launcher), 0)
        # A disabled Play cannot be pressed: it keeps its look.
        launcher.click(*PLAY_PIXEL)
        launcher.move(400, 260)
        self.assertEqual(launcher.pixel(*PLAY_PIXEL), STATE_COLOURS[DISABLED])

    def test_a_site_that_comes_back_is_reached_without_a_restart(self):
        # The stamp request fails until the site is fixed; the worker tries
        # again by itself 15 s after the failure and gets to ready.
        site = self.site({}, {"/download/eu/manifest.php": {"status": 503, "body": "down"}})
        launcher = self.start(system_settings=site.settings())
        colour = launcher.wait_pixel(*PLAY_PIXEL, lambda c: c == STATE_COLOURS[DISABLED])
        self.assertEqual(colour, STATE_COLOURS[DISABLED], "Play is disabled while the site is down")
        with open(os.path.join(site.state, "rules.json"), "w") as f:
            f.write("{}")
        colour = launcher.wait_pixel(*PLAY_PIXEL, lambda c: c == STATE_COLOURS[NORMAL], timeout=60)
        self.assertEqual(colour, STATE_COLOURS[NORMAL], "ready without a restart: " + launcher.log_text())
        with open(os.path.join(launcher.install, "curl_download.log"), errors="replace") as f:
            log = f.read()
        self.assertIn(f"Site 127.0.0.1:{site.port} not reached (HTTP status code: 503), next try in 15 s", log)

    def test_ready_fills_all_294_pixels_and_enables_play(self):
        site = self.site({})
        launcher = self.start(system_settings=site.settings())
        colour = launcher.wait_pixel(*PLAY_PIXEL, lambda c: c == STATE_COLOURS[NORMAL], timeout=60)
        self.assertEqual(colour, STATE_COLOURS[NORMAL], "Play is enabled once ready: " + launcher.log_text())
        image = launcher.screenshot()
        self.assertTrue(is_orange(launcher.pixel(15, BAR_Y, image)))
        self.assertTrue(is_orange(launcher.pixel(308, BAR_Y, image)))
        self.assertFalse(is_orange(launcher.pixel(309, BAR_Y, image)))
        self.assertFalse(is_orange(launcher.pixel(14, BAR_Y, image)))
        self.assertEqual(self.fill_width(launcher), 294)

    def test_half_done_download_fills_147_pixels(self):
        # Two files of equal size; the second stalls after its headers, so the
        # run sits at exactly half of its bytes.
        size = 200_000
        site = self.site({"a.pak": b"a" * size, "b.pak": b"b" * size},
                         rules={"/download/eu/b.pak": {"stallMs": 60000}})
        launcher = self.start(system_settings=site.settings())
        wait_until(lambda: self.fill_width(launcher) == 147, 60, 0.2)
        image = launcher.screenshot()
        self.assertTrue(is_orange(launcher.pixel(15 + 146, BAR_Y, image)), launcher.log_text())
        self.assertFalse(is_orange(launcher.pixel(15 + 147, BAR_Y, image)))
        self.assertEqual(self.fill_width(launcher), 147)

    def test_hover_and_pressed_frames_and_release_outside(self):
        launcher = self.start()
        launcher.move(*SIGN_UP_PIXEL)
        self.assertEqual(launcher.wait_pixel(*SIGN_UP_PIXEL, lambda c: c == BUTTON_COLOURS[HOVER]),
                         BUTTON_COLOURS[HOVER])
        launcher.down()
        self.assertEqual(launcher.wait_pixel(*SIGN_UP_PIXEL, lambda c: c == BUTTON_COLOURS[PRESSED]),
                         BUTTON_COLOURS[PRESSED])
        # Leaving while pressed shows the Normal frame; releasing outside does nothing.
        launcher.move(250, 150)
        self.assertEqual(launcher.wait_pixel(*SIGN_UP_PIXEL, lambda c: c == BUTTON_COLOURS[NORMAL]),
                         BUTTON_COLOURS[NORMAL])
        launcher.up()
        # Coming back and clicking opens the page of the current server.
        launcher.click(*SIGN_UP_PIXEL)
        opened = wait_until(lambda: os.path.exists(launcher.browser_log), 20)
        self.assertTrue(opened, "the browser was started")
        with open(launcher.browser_log) as f:
            self.assertEqual(f.read().split(), ["https://eu.127.0.0.1:1/sign_up.php"])

    def test_options_panel_shows_its_three_bands(self):
        launcher = self.start()
        launcher.click(20, 20)
        launcher.move(250, 300)
        white = launcher.wait_pixel(300, 250, lambda c: c == (255, 255, 255))
        self.assertEqual(white, (255, 255, 255), "content area")
        image = launcher.screenshot()
        self.assertEqual(launcher.pixel(60, 250, image), (0, 0, 0), "tab column")
        self.assertEqual(launcher.pixel(173, 250, image), (0xFF, 0x98, 0x00), "separator")
        self.assertEqual(launcher.pixel(15, 15, image), OPTIONS_ON_COLOURS[NORMAL], "options_on.png")
        # The shown tab is marked: white, joined to the content area, with an
        # orange bar; the others show their button picture.
        self.assertEqual(launcher.pixel(54, 58, image), (0xFF, 0x98, 0x00), "System tab's bar")
        self.assertEqual(launcher.pixel(60, 58, image), (255, 255, 255), "System tab marked")
        self.assertEqual(launcher.pixel(173, 60, image), (255, 255, 255), "System tab open to the content")
        self.assertEqual(launcher.pixel(56, 88, image), BUTTON_COLOURS[NORMAL], "Audio tab button")
        # Closing the panel brings Play back and the plain options picture.
        launcher.click(20, 20)
        launcher.move(250, 150)
        self.assertEqual(launcher.wait_pixel(15, 15, lambda c: c == STATE_COLOURS[NORMAL]),
                         STATE_COLOURS[NORMAL])
        self.assertNotEqual(launcher.pixel(300, 250), (255, 255, 255))

    def test_file_dialog_stays_above_the_launcher(self):
        launcher = self.start()
        launcher.click(20, 20)
        launcher.move(250, 300)
        launcher.wait_pixel(300, 250, lambda c: c == (255, 255, 255))
        launcher.click(224, 214)  # Export: the real zenity's save dialog
        title = "^Export config zip$"
        dialogs = wait_until(lambda: self.session.run(["xdotool", "search", "--onlyvisible", "--name", title])
                             .stdout.split(), 40)
        self.assertTrue(dialogs, launcher.log_text())
        dialog = int(dialogs[0])
        own = self.session.find_windows("Vandrel")[0]
        hint = wait_until(lambda: "window id # " + hex(own) in self.session.run(
            ["xprop", "-id", str(dialog), "WM_TRANSIENT_FOR"]).stdout, 20)
        self.assertTrue(hint, "the dialog is marked as the launcher's")
        # A click on the launcher leaves the dialog above it.
        launcher.click(300, 12)

        def stacking():
            out = self.session.run(["xprop", "-root", "_NET_CLIENT_LIST_STACKING"]).stdout
            return [int(w, 16) for w in out.split("#", 1)[-1].replace(",", " ").split()]
        self.assertTrue(wait_until(lambda: own in stacking() and dialog in stacking(), 10))
        order = stacking()
        self.assertGreater(order.index(dialog), order.index(own), "the dialog is above the launcher")
        self.session.run(["xdotool", "windowactivate", "--sync", str(dialog), "key", "Escape"])

    def test_switch_to_us_selects_us(self):
        launcher = self.start()
        eu_background = launcher.pixel(250, 3)
        launcher.click(20, 20)
        launcher.move(250, 300)
        launcher.wait_pixel(300, 250, lambda c: c == (255, 255, 255))
        image = launcher.screenshot()
        self.assertEqual(launcher.pixel(271, 106, image), (0xFF, 0xE5, 0xB4), "EU selected first")
        self.assertEqual(launcher.pixel(201, 106, image), (0xF2, 0xF2, 0xF2))
        launcher.click(210, 110)
        launcher.move(250, 300)
        us = launcher.wait_pixel(201, 106, lambda c: c == (0xFF, 0xE5, 0xB4))
        self.assertEqual(us, (0xFF, 0xE5, 0xB4), "US selected after the switch")
        image = launcher.screenshot()
        self.assertEqual(launcher.pixel(271, 106, image), (0xF2, 0xF2, 0xF2))
        self.assertNotEqual(launcher.pixel(250, 3, image), eu_background, "the US art is shown")
        self.assertEqual(launcher.pixel(15, 15, image), OPTIONS_ON_COLOURS[NORMAL])

    def test_slider_dragged_beyond_the_left_edge_gives_its_minimum(self):
        launcher = self.start()
        launcher.click(20, 20)
        launcher.click(60, 90)  # Audio tab
        launcher.move(300, 300)
        # Music volume 100: the knob sits at the right end of its track.
        knob_right = launcher.wait_pixel(444, 185, lambda c: c == (0, 0, 0))
        self.assertEqual(knob_right, (0, 0, 0))
        launcher.move(300, 190)
        launcher.down()
        launcher.move(-60, 190)
        launcher.move(-80, 400)
        launcher.up()
        launcher.move(300, 300)
        self.assertEqual(launcher.wait_pixel(201, 185, lambda c: c == (0, 0, 0)), (0, 0, 0),
                         "the knob at minimum")
        self.assertEqual(launcher.pixel(444, 185), (255, 255, 255))
        # Closing the launcher saves the value.
        launcher.click(480, 20)
        launcher.proc.wait(timeout=30)
        with open(os.path.join(launcher.home, "vandrel", "config.kvml")) as f:
            self.assertIn("musicSoundVolume: 1\n", f.read())

    def test_top_band_moves_the_window_and_icons_do_not(self):
        launcher = self.start()
        window = self.session.find_windows("Vandrel")[0]
        start = self.session.geometry(window)
        # A press on an icon of the band does not move the window.
        launcher.move(20, 20)
        launcher.down()
        for step in range(1, 6):
            launcher.xdotool("mousemove", start[0] + 20 + step * 20, start[1] + 20 + step * 10)
        launcher.up()
        self.assertEqual(self.session.geometry(window)[:2], start[:2])
        self.assertNotEqual(launcher.pixel(300, 250), (255, 255, 255), "no panel opened")
        # A press on the band outside the icons drags the window. The window
        # manager takes the drag over asynchronously, so the pointer keeps
        # moving to the target until the window has followed.
        def offset():
            x, y = self.session.geometry(window)[:2]
            return (x - start[0], y - start[1])

        launcher.move(250, 20)
        launcher.down()
        for attempt in range(30):
            launcher.xdotool("mousemove", start[0] + 350 + attempt % 2, start[1] + 70)
            launcher.xdotool("mousemove", start[0] + 350, start[1] + 70)
            if offset() == (100, 50):
                break
        launcher.up()
        wait_until(lambda: offset() == (100, 50), 10)
        self.assertEqual(offset(), (100, 50), "the window follows the pointer")


if __name__ == "__main__":
    unittest.main()
