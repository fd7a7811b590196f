"""The real launcher in a real X server: window placement and single instance."""

import os
import shutil
import signal
import subprocess
import unittest

from x11session import Sandbox, X11Session, pixel_at, start_launcher, wait_until

# No web site is reachable in these tests: the update fails at once.
SYSTEM_SETTINGS = "siteHost: 127.0.0.1:1\nserver: 1\n"


class LauncherWindowTest(unittest.TestCase):
    def setUp(self):
        self.session = X11Session().__enter__()
        self.sandbox = Sandbox()
        self.sandbox.write("system.kvml", SYSTEM_SETTINGS)
        self.procs = []

    def tearDown(self):
        for proc in self.procs:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait(timeout=10)
        self.session.__exit__(None, None, None)
        self.sandbox.cleanup()

    def start(self):
        proc = start_launcher(self.session, self.sandbox)
        self.procs.append(proc)
        return proc

    def wait_window(self):
        return wait_until(lambda: self.session.find_windows("Vandrel"), 30)

    def test_window_is_centred_and_borderless(self):
        self.start()
        windows = self.wait_window()
        self.assertEqual(len(windows), 1, "exactly one launcher window")
        x, y, width, height = self.session.geometry(windows[0])
        self.assertEqual((width, height), (518, 324))
        # Centred on the 1280 x 1024 screen: 640 - 259, 512 - 162.
        self.assertEqual((x, y), (381, 350))
        # The settings next to the executable were read and the machine's
        # identity stored there at once, keeping the other keys.
        settings = os.path.join(self.sandbox.install, "system.kvml")
        self.assertTrue(wait_until(lambda: "machine_id: " in open(settings).read(), 10))
        self.assertIn("siteHost: 127.0.0.1:1", open(settings).read())

    def test_second_start_exits_at_once_and_leaves_the_first_alone(self):
        first = self.start()
        windows = self.wait_window()
        self.assertTrue(windows)
        second = self.start()
        self.assertEqual(second.wait(timeout=30), 0)
        self.assertIsNone(first.poll(), "the first launcher still runs")
        self.assertEqual(self.session.find_windows("Vandrel"), windows)

    def test_killed_instance_never_blocks_the_next_start(self):
        first = self.start()
        self.assertTrue(self.wait_window())
        os.killpg(first.pid, signal.SIGKILL)
        first.wait(timeout=10)
        wait_until(lambda: not self.session.find_windows("Vandrel"), 10)
        second = self.start()
        self.assertTrue(self.wait_window(), "a new launcher shows its window")
        self.assertIsNone(second.poll())

    def test_fresh_installation_is_not_blank(self):
        # The default art installed next to the launcher; no server folder
        # holds any art and the site cannot be reached.
        shutil.copytree(os.path.join(os.environ["KV_BIN_DIR"], "default_art"),
                        os.path.join(self.sandbox.install, "default_art"))
        self.start()
        windows = self.wait_window()
        self.assertTrue(windows)
        x, y, width, height = self.session.geometry(windows[0])
        shot = os.path.join(self.sandbox.root, "fresh.png")

        def painted():
            image = self.session.pixels(self.session.screenshot(shot))
            colours = [pixel_at(image, x + px, y + py)
                       for py in range(0, height, 6) for px in range(0, width, 6)]
            lit = sum(1 for c in colours if max(c) > 24)
            return lit > len(colours) * 3 // 4 and len(set(colours)) > 20
        self.assertTrue(wait_until(painted, 10), "the window shows the default art")
        self.assertFalse(os.path.exists(os.path.join(self.sandbox.install, "eu", "data")))


if __name__ == "__main__":
    unittest.main()
