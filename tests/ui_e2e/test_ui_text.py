"""Text on the launcher's window, read back from screenshots: every text stays
in its box with the demo font whatever its length (a long file name in the
status line, a long renderer name on the bottom line, a long configuration
folder in the options panel), and the status line reads well on the demo art."""

import os
import shutil
import tempfile
import unittest

from ui_harness import (BUTTON_COLOURS, NORMAL, Launcher, SessionTestCase, TestSite, pixel_at,
                        wait_until)

LONG_NAME = "a_remarkably_long_archive_name_for_the_second_package_bigpack1.pak"


def luminance(rgb):
    linear = [v / 255 / 12.92 if v / 255 <= 0.04045 else ((v / 255 + 0.055) / 1.055) ** 2.4 for v in rgb]
    return 0.2126 * linear[0] + 0.7152 * linear[1] + 0.0722 * linear[2]


def contrast(a, b):
    low, high = sorted((luminance(a), luminance(b)))
    return (high + 0.05) / (low + 0.05)


def dark(rgb):
    return max(rgb) < 100


class UiTextTest(SessionTestCase):
    def start(self, **kwargs):
        launcher = Launcher(self.session, **kwargs)
        self.launchers.append(launcher)
        return launcher.wait_window()

    def tempdir(self):
        root = tempfile.mkdtemp(prefix="kvtext-")
        self.cleanups.append(lambda: shutil.rmtree(root, ignore_errors=True))
        return root

    def matching(self, launcher, x0, y0, x1, y1, predicate):
        """Screenshot and the window pixels (x, y, rgb) in [x0, x1) x [y0, y1) that satisfy predicate."""
        image = launcher.screenshot()
        ox, oy = launcher.origin
        return image, [(x, y, pixel_at(image, ox + x, oy + y)) for y in range(y0, y1) for x in range(x0, x1)
                       if predicate(pixel_at(image, ox + x, oy + y))]

    def wait_matching(self, launcher, box, predicate, until):
        seen = {}

        def check():
            seen["image"], seen["pixels"] = self.matching(launcher, *box, predicate)
            return until(seen["pixels"])

        self.assertTrue(wait_until(check, 60, 0.2), launcher.log_text())
        return seen["image"], seen["pixels"]

    def test_long_status_line_is_one_centred_line_in_its_box_and_reads_well(self):
        # The long-named file moves slowly (only a file that moves is named).
        site = TestSite(self.tempdir(), {"a.pak": b"a" * 200_000, LONG_NAME: b"b" * 2_000_000},
                        rules={"/download/eu/" + LONG_NAME: {"trickleBytes": 4096, "trickleMs": 100}})
        self.cleanups.append(site.stop)
        launcher = self.start(system_settings=site.settings())
        x, y, w, h = 15, 281, 294, 20  # the status line's box
        # Around the box, over the light band: the download line fills most of it.
        image, pixels = self.wait_matching(launcher, (x - 5, y - 2, x + w + 5, y + h), dark,
                                           lambda p: p and max(q[0] for q in p) - min(q[0] for q in p) > w * 0.8)
        xs, ys = [p[0] for p in pixels], [p[1] for p in pixels]
        self.assertTrue(x <= min(xs) and max(xs) < x + w and y <= min(ys), "text inside the box")
        # One line (the demo font's line is 16 pixels), centred as a whole: the
        # shortened name keeps the end of the line in the box.
        self.assertLessEqual(max(ys) - min(ys), 16, "the status line did not wrap")
        self.assertLessEqual(abs((min(xs) + max(xs)) / 2 - (x + w / 2)), 3)
        band = launcher.pixel(x + 1, y + h - 2, image)
        darkest = min((p[2] for p in pixels), key=luminance)
        self.assertGreaterEqual(contrast(darkest, band), 4.5, (darkest, band))

    def test_long_renderer_name_gives_way_to_credit_and_version(self):
        shim = os.environ.get("KV_LONG_RENDERER", "")
        if not os.path.exists(shim):
            self.skipTest("the long renderer library was not built")
        launcher = self.start(env={"LD_PRELOAD": shim, "ASAN_OPTIONS": "detect_leaks=0:verify_asan_link_order=0"})
        x, y, w = 5, 302, 508  # the bottom line's box
        _image, pixels = self.wait_matching(launcher, (0, y, 518, 324), lambda rgb: max(rgb) > 60,
                                            lambda p: any(q[0] < 40 for q in p))
        cols = {p[0] for p in pixels}
        self.assertTrue(x <= min(cols) and max(cols) < x + w)

        def gap_from(start, step):
            """Where a run of 7 empty columns ends going from start, and the next text column."""
            c, empty = start, 0
            while 0 <= c < 518 and empty < 7:
                empty = empty + 1 if c not in cols else 0
                c += step
            edge = c
            while 0 <= c < 518 and c not in cols:
                c += step
            return edge, c

        centre = x + w // 2
        credit_left, renderer_end = gap_from(centre, -1)
        credit_right, version_start = gap_from(centre, 1)
        # The renderer name, shortened, ends before the credit; the version
        # begins after it; the credit stays centred.
        self.assertGreater(renderer_end, x, "renderer name drawn")
        self.assertTrue(credit_right < version_start < x + w)
        credit = [c for c in cols if credit_left < c < credit_right]
        self.assertLessEqual(abs((min(credit) + max(credit)) / 2 - centre), 3, "credit centred")

    def test_long_configuration_folder_stays_in_the_panel(self):
        home = os.path.join(self.tempdir(), *(["a_rather_long_folder_name_for_a_home"] * 4))
        os.makedirs(home)
        launcher = self.start(env={"HOME": home})
        launcher.click(20, 20)
        launcher.move(250, 300)
        self.assertEqual(launcher.wait_pixel(300, 250, lambda c: c == (255, 255, 255)), (255, 255, 255))
        # Right of the panel's text edge only the panel and the background show.
        background = self.session.pixels(os.path.join(launcher.install, "eu", "data", "images", "updater.png"))
        image, outside = self.matching(launcher, 467, 48, 518, 276, lambda rgb: True)
        changed = [(px, py) for px, py, rgb in outside
                   if rgb != ((255, 255, 255) if px < 470 else pixel_at(background, px, py))]
        self.assertEqual(changed[:10], [], "text ran past the panel")
        # The folder line is drawn, shortened to the panel's width.
        _image, line = self.matching(launcher, 199, 196, 470, 214, dark)
        self.assertGreater(max(p[0] for p in line), 420)

    def test_scale_two_doubles_the_window_and_keeps_its_layout(self):
        launcher = self.start(scale=2)  # waits for the close widget's frame at 2x
        self.assertEqual(launcher.size, (1036, 648))
        # The close widget (474..505) covers its doubled device pixels, each
        # within the colours of its art pixel and that pixel's neighbours:
        # smoothed, but blurred no further than one pixel of the art, no
        # ringing, nothing of the minimize widget beside it.
        image = launcher.screenshot()
        ox, oy = launcher.origin
        art = self.session.pixels(os.path.join(launcher.install, "eu", "data", "images", "close.png"))
        for dx in range(64):
            column = dx // 2
            near = [pixel_at(art, 32 + c, r) for c in range(max(0, column - 1), min(31, column + 1) + 1)
                    for r in (2, 3, 4)]  # frame 1 (Normal) of the strip, rows about y = 12 - 9
            got = pixel_at(image, ox + 948 + dx, oy + 24)
            for k in range(3):
                self.assertTrue(min(n[k] for n in near) - 1 <= got[k] <= max(n[k] for n in near) + 1,
                                (dx, got, near))
        # The status line stays in its (doubled) box once the update failed.
        status = self.device_pixels(launcher, (11, 280, 313, 301), dark)  # over the light band
        self.assertTrue(status, launcher.log_text())
        outside = [p for p in status if not (30 <= p[0] < 618 and 562 <= p[1] < 602)]
        self.assertEqual(outside[:5], [], "status text in its box")

        # Clicks land in logical pixels: the options widget opens the panel,
        # the System tab marked, its label legible.
        launcher.click(20, 20)
        launcher.move(250, 300)
        self.assertEqual(launcher.wait_pixel(300, 250, lambda c: c == (255, 255, 255)), (255, 255, 255))
        self.assert_tab_marked(launcher, 55, "System")
        launcher.click(110, 99)  # the Audio tab
        launcher.move(250, 300)
        self.assertEqual(launcher.wait_pixel(60, 88, lambda c: c == (255, 255, 255)), (255, 255, 255))
        self.assert_tab_marked(launcher, 85, "Audio")
        self.assertEqual(launcher.pixel(60, 58), BUTTON_COLOURS[NORMAL], "the System tab is not marked")
        # Every text of the panel ends before the panel's right edge.
        edge = self.device_pixels(launcher, (467, 48, 470, 276), lambda rgb: rgb != (255, 255, 255))
        self.assertEqual(edge[:10], [], "text ran past the panel")

    def device_pixels(self, launcher, box, predicate):
        """The window's device pixels (x, y, rgb) inside the logical box
        (x0, y0, x1, y1) that satisfy predicate."""
        image = launcher.screenshot()
        ox, oy = launcher.origin
        s = launcher.scale
        x0, y0, x1, y1 = (v * s for v in box)
        return [(x, y, pixel_at(image, ox + x, oy + y)) for y in range(y0, y1) for x in range(x0, x1)
                if predicate(pixel_at(image, ox + x, oy + y))]

    def assert_tab_marked(self, launcher, top, label):
        """The tab button at (53, top): white with an orange bar on its left,
        its label dark on the white at 4.5 : 1 or better, inside the tab."""
        self.assertEqual(launcher.pixel(54, top + 14), (0xFF, 0x98, 0x00), label + " bar")
        self.assertEqual(launcher.pixel(60, top + 2), (255, 255, 255), label + " marked")
        ink = self.device_pixels(launcher, (53, top, 175, top + 29), dark)
        self.assertTrue(ink, label + " label drawn")
        s = launcher.scale
        self.assertTrue(all(57 * s <= x < 168 * s and top * s <= y < (top + 29) * s for x, y, _ in ink))
        darkest = min((p[2] for p in ink), key=luminance)
        self.assertGreaterEqual(contrast(darkest, (255, 255, 255)), 4.5)


if __name__ == "__main__":
    unittest.main()
