"""Text on the launcher's window, read back from screenshots: every text stays
in its box with the demo font, whatever its length (a long file name in the
status line, a long renderer name on the bottom line, a long configuration
folder in the options panel), and reads well on the demo art."""

import os
import shutil
import tempfile
import unittest

from ui_harness import Launcher, SessionTestCase, TestSite, pixel_at, wait_until

STATUS_BOX = (15, 281, 294, 20)   # x, y, width, height
BOTTOM_BOX = (5, 302, 508, 20)
# Wider than one line of the demo font: the name alone fills the status line.
LONG_NAME = "a_remarkably_long_archive_name_for_the_second_package_bigpack1.pak"


def luminance(rgb):
    def channel(v):
        v /= 255.0
        return v / 12.92 if v <= 0.04045 else ((v + 0.055) / 1.055) ** 2.4
    r, g, b = (channel(v) for v in rgb)
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def contrast(a, b):
    la, lb = sorted((luminance(a), luminance(b)))
    return (lb + 0.05) / (la + 0.05)


class UiTextTest(SessionTestCase):
    def start(self, **kwargs):
        launcher = Launcher(self.session, **kwargs)
        self.launchers.append(launcher)
        return launcher.wait_window()

    def site(self, files, rules=None):
        root = tempfile.mkdtemp(prefix="kvsite-")
        site = TestSite(root, files, rules)
        self.cleanups.append(lambda: (site.stop(), shutil.rmtree(root, ignore_errors=True)))
        return site

    def region(self, launcher, image, x0, y0, x1, y1, predicate):
        """Window pixels (x, y, rgb) in [x0, x1) x [y0, y1) that satisfy predicate."""
        ox, oy = launcher.origin
        return [(x, y, pixel_at(image, ox + x, oy + y)) for y in range(y0, y1) for x in range(x0, x1)
                if predicate(pixel_at(image, ox + x, oy + y))]

    def background(self, launcher):
        """The demo background as (width, height, rgb bytes)."""
        return self.session.pixels(os.path.join(launcher.install, "eu", "data", "images", "updater.png"))

    def test_long_status_line_is_one_centred_line_in_its_box_and_reads_well(self):
        size = 200_000
        site = self.site({"a.pak": b"a" * size, LONG_NAME: b"b" * size},
                         rules={"/download/eu/" + LONG_NAME: {"stallMs": 60000}})
        launcher = self.start(system_settings=site.settings())
        x, y, w, h = STATUS_BOX
        dark = lambda rgb: max(rgb) < 100  # noqa: E731  (black text on the light band)

        def text_pixels():
            image = launcher.screenshot()
            return image, self.region(launcher, image, x - 5, y - 2, x + w + 5, y + h, dark)

        # Wait for the download line: wider than the bar's half.
        seen = {}

        def downloading():
            seen["image"], seen["pixels"] = text_pixels()
            xs = [p[0] for p in seen["pixels"]]
            return xs and max(xs) - min(xs) > w * 0.8

        self.assertTrue(wait_until(downloading, 60, 0.2), launcher.log_text())
        image, pixels = seen["image"], seen["pixels"]
        xs, ys = [p[0] for p in pixels], [p[1] for p in pixels]
        self.assertGreaterEqual(min(xs), x, "no text left of the box")
        self.assertLess(max(xs), x + w, "no text right of the box")
        self.assertGreaterEqual(min(ys), y)
        # One line (the demo font's line is 16 pixels), centred as a whole:
        # the shortened name keeps the line's end in the box.
        self.assertLessEqual(max(ys) - min(ys), 16, "the status line did not wrap")
        self.assertLessEqual(abs((min(xs) + max(xs)) / 2 - (x + w / 2)), 3)
        # Contrast of the status line: its darkest text pixel on the band.
        band = launcher.pixel(x + 1, y + h - 2, image)
        darkest = min((p[2] for p in pixels), key=luminance)
        self.assertGreaterEqual(contrast(darkest, band), 4.5, (darkest, band))

    def test_long_renderer_name_gives_way_to_credit_and_version(self):
        shim = os.environ.get("KV_LONG_RENDERER", "")
        if not os.path.exists(shim):
            self.skipTest("the long renderer library was not built")
        launcher = self.start(env={"LD_PRELOAD": shim,
                                   "ASAN_OPTIONS": "detect_leaks=0:verify_asan_link_order=0"})
        x, y, w, h = BOTTOM_BOX
        lit = lambda rgb: max(rgb) > 60  # noqa: E731  (grey text on the black band)
        centre = x + w // 2

        def columns():
            image = launcher.screenshot()
            return image, sorted({p[0] for p in self.region(launcher, image, 0, y, 518, 324, lit)})

        seen = {}

        def renderer_shown():
            seen["image"], seen["columns"] = columns()
            return any(c < 40 for c in seen["columns"])

        self.assertTrue(wait_until(renderer_shown, 30, 0.2), launcher.log_text())
        image, cols = seen["image"], set(seen["columns"])
        self.assertGreaterEqual(min(cols), x)
        self.assertLess(max(cols), x + w)

        def gap_from(start, step):
            """The first column from start (in direction step) that ends a run
            of 7 empty columns, and the first text column after it."""
            c, empty = start, 0
            while 0 <= c < 518 and empty < 7:
                empty = empty + 1 if c not in cols else 0
                c += step
            edge = c
            while 0 <= c < 518 and c not in cols:
                c += step
            return edge, c

        credit_left_gap, renderer_end = gap_from(centre, -1)
        credit_right_gap, version_start = gap_from(centre, 1)
        # The renderer name is there, shortened, and ends before the credit
        # begins; the version begins after the credit ends.
        self.assertGreater(renderer_end, x, "renderer name drawn")
        self.assertGreater(version_start, credit_right_gap)
        self.assertLess(version_start, x + w)
        credit_cols = [c for c in cols if credit_left_gap < c < credit_right_gap]
        self.assertTrue(credit_cols)
        self.assertLessEqual(abs((min(credit_cols) + max(credit_cols)) / 2 - centre), 3, "credit centred")

    def test_long_configuration_folder_stays_in_the_panel(self):
        root = tempfile.mkdtemp(prefix="kvhome-")
        self.cleanups.append(lambda: shutil.rmtree(root, ignore_errors=True))
        home = os.path.join(root, *(["a_rather_long_folder_name_for_a_home"] * 4))
        os.makedirs(home)
        launcher = self.start(env={"HOME": home})
        launcher.click(20, 20)
        launcher.move(250, 300)
        self.assertEqual(launcher.wait_pixel(300, 250, lambda c: c == (255, 255, 255)), (255, 255, 255))
        image = launcher.screenshot()
        background = self.background(launcher)
        ox, oy = launcher.origin
        outside = []
        for yy in range(48, 276):
            for xx in range(467, 518):
                expected = (255, 255, 255) if xx < 470 else pixel_at(background, xx, yy)
                if pixel_at(image, ox + xx, oy + yy) != expected:
                    outside.append((xx, yy))
        self.assertEqual(outside[:10], [], "text ran past the panel")
        # The folder line is drawn, shortened to the panel's width.
        dark = lambda rgb: max(rgb) < 100  # noqa: E731
        line = self.region(launcher, image, 199, 196, 470, 214, dark)
        self.assertTrue(line)
        self.assertGreater(max(p[0] for p in line), 420)


if __name__ == "__main__":
    unittest.main()
