"""The System tab's local-configuration checkbox, Export, Delete and Import in
the running launcher. Its SDL message boxes are answered with the keyboard
(Return is Yes or OK, Escape is No or Cancel); the file dialog program is a
script first in PATH that records its arguments and answers a path the test
chose, so no typing into a file chooser is involved."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ui_e2e"))
from ui_harness import (NORMAL, SOUND_OFF_COLOURS, STATE_COLOURS, Launcher, TestSite,  # noqa: E402
                        X11Session, wait_until)

CHECKBOX = (210, 150)
EXPORT = (224, 229)
IMPORT = (279, 229)
DELETE = (334, 229)
OPTIONS = (20, 20)
PLAY = (320, 229)
SOUND = (46, 12)

SHARED_CONFIG = "musicSoundVolume: 40\naccount: hero\npassword: pw\n"


def read_text(path):
    with open(path) as f:
        return f.read()


def tree(root):
    """Relative path -> content ("<dir>" for folders) of everything under root."""
    out = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs:
            out[os.path.relpath(os.path.join(folder, name), root)] = "<dir>"
        for name in files:
            out[os.path.relpath(os.path.join(folder, name), root)] = read_text(os.path.join(folder, name))
    return out


class ConfigActionsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.session = X11Session().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.session.__exit__(None, None, None)

    def setUp(self):
        self.bin = tempfile.mkdtemp(prefix="kvdialog-")
        self.answer = os.path.join(self.bin, "answer")
        self.calls = os.path.join(self.bin, "calls")
        with open(os.path.join(self.bin, "zenity"), "w") as f:
            f.write("#!/bin/sh\n"
                    f"printf '%s|' \"$NO_AT_BRIDGE\" \"$GSETTINGS_BACKEND\" \"$@\" >> '{self.calls}'\n"
                    f"echo >> '{self.calls}'\n"
                    f"cat '{self.answer}'\n")
        os.chmod(os.path.join(self.bin, "zenity"), 0o755)
        self.env = {"PATH": self.bin + os.pathsep + os.environ.get("PATH", "")}
        self.launcher = Launcher(self.session, config=SHARED_CONFIG, env=self.env).wait_window()

    def tearDown(self):
        self.launcher.stop()
        shutil.rmtree(self.bin, ignore_errors=True)

    def top_windows(self):
        """Names of the top-level windows, as xwininfo lists them."""
        out = self.session.run(["xwininfo", "-root", "-tree"]).stdout
        return {m.group(2): m.group(1) for m in re.finditer(r'^\s+(0x[0-9a-f]+) "([^"]*)"', out, re.M)}

    def click_until(self, position, predicate, what):
        """Clicks a System tab control once and waits until predicate holds
        (also the first click after a message box must reach the launcher)."""
        self.launcher.click(*position)
        if not wait_until(predicate, 15):
            self.fail(f"{what} did not happen after one click: {self.launcher.log_text()}")

    def press_for_box(self, position, title):
        self.click_until(position, lambda: title in self.top_windows(), f"box {title!r}")

    def answer_box(self, title, key):
        """Waits for the message box titled title, then presses key in it."""
        windows = wait_until(lambda: title in self.top_windows() and self.top_windows(), 30)
        self.assertIn(title, windows or {}, f"no box {title!r}: {self.launcher.log_text()}")
        box = windows[title]
        # The box is listed before it is mapped; keys reach it only then.
        self.assertTrue(wait_until(lambda: "IsViewable" in self.session.run(["xwininfo", "-id", box]).stdout, 30))
        self.session.run(["xdotool", "windowactivate", "--sync", str(int(box, 16))])
        self.session.run(["xdotool", "key", key])
        self.assertTrue(wait_until(lambda: title not in self.top_windows(), 30), f"box {title!r} stayed")

    def expect_repainted_under_box(self):
        """While a box is open, a window shown over the launcher's top right
        corner and gone again leaves the launcher's own picture there, not a
        ghost of that window."""
        launcher = self.launcher
        x, y = launcher.origin
        subprocess.run(["xmessage", "-geometry", f"+{x + 430}+{y}", "-timeout", "1", "cover " * 8],
                       env=self.session.env(), timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertEqual(launcher.wait_pixel(480, 12, lambda c: c == STATE_COLOURS[NORMAL], timeout=10),
                         STATE_COLOURS[NORMAL], "the close widget is painted again")

    def will_choose(self, path):
        """The file dialog's next answer."""
        with open(self.answer, "w") as f:
            f.write(path + "\n")

    def test_toggle_export_delete_import(self):
        launcher = self.launcher
        local = os.path.join(launcher.install, "eu", "config")
        shared = os.path.join(launcher.home, "vandrel")
        launcher.click(*OPTIONS)

        # The checkbox gives the server a configuration of its own.
        launcher.click(*CHECKBOX)
        self.assertTrue(wait_until(lambda: os.path.exists(os.path.join(local, "config.kvml")), 30))
        self.assertEqual(read_text(os.path.join(local, "config.kvml")), "enableAudio: true\n")
        os.makedirs(os.path.join(local, "characters"))
        with open(os.path.join(local, "characters", "hero.kvml"), "w") as f:
            f.write("hero")

        # Export without the login.
        archive = os.path.join(launcher.root, "exported.zip")
        self.will_choose(archive)
        self.press_for_box(EXPORT, "Include Login Data")
        self.expect_repainted_under_box()
        self.answer_box("Include Login Data", "Escape")
        self.answer_box("Success", "Return")
        with zipfile.ZipFile(archive) as z:
            entries = {name: z.read(name).decode() for name in z.namelist()}
        # The table kept the shared values the fresh file lacked; no login.
        self.assertEqual(entries, {"config.kvml": "enableAudio: true\nmusicSoundVolume: 40\n",
                                   "characters/hero.kvml": "hero"})
        # The temporary folder goes once the message is answered (the log
        # tells why the unreachable site could not be asked).
        self.assertTrue(wait_until(lambda: sorted(set(os.listdir(launcher.install)) - {"curl_download.log"}) ==
                                   ["eu", "kvlauncher", "system.kvml", "us"], 30),
                        os.listdir(launcher.install))

        # Delete empties the folder in force.
        self.press_for_box(DELETE, "Confirm Deletion")
        self.answer_box("Confirm Deletion", "Return")
        self.answer_box("Success", "Return")
        self.assertTrue(wait_until(lambda: tree(local) == {"config.kvml": "enableAudio: true\n"}, 30),
                        tree(local))

        # Import replaces it with the archive.
        self.press_for_box(IMPORT, "Import Config")
        self.answer_box("Import Config", "Return")
        self.answer_box("Success", "Return")
        self.assertEqual(tree(local), {"config.kvml": "enableAudio: true\nmusicSoundVolume: 40\n",
                                       "characters": "<dir>", "characters/hero.kvml": "hero"})
        self.assertEqual(sorted(os.listdir(os.path.join(launcher.install, "eu"))), ["config", "data"])
        self.assertTrue(wait_until(lambda: "config_import_tmp" not in os.listdir(launcher.install), 30))

        with open(self.calls) as f:
            calls = f.read().splitlines()
        self.assertEqual(len(calls), 2)
        # Both dialogs are attached to the launcher's window, so a click on
        # the launcher never hides them.
        attach = f"--attach={self.session.find_windows('Vandrel')[0]}"
        self.assertRegex(calls[0], r"^1\|memory\|--file-selection\|--save\|--confirm-overwrite\|"
                                   r"--filename=config_eu_\d{8}_\d{6}\.zip\|--file-filter=ZIP File \| \*\.zip\|"
                                   + re.escape(attach) + r"\|--title=Export config zip\|$")
        self.assertEqual(calls[1], "1|memory|--file-selection|--file-filter=Zip Files (*.zip) | *.zip|"
                                   f"{attach}|--title=Select config zip|")

        # Clearing the checkbox parks the configuration and uses the shared one.
        self.click_until(CHECKBOX, lambda: os.path.exists(os.path.join(launcher.install, "eu", "config_backup")),
                         "parking the configuration")
        self.assertFalse(os.path.exists(local))
        self.assertEqual(read_text(os.path.join(shared, "config.kvml")), SHARED_CONFIG)
        self.assertIsNone(launcher.proc.poll(), launcher.log_text())


    def test_play_and_sound_widget_follow_each_action_while_ready(self):
        # A site that has nothing to download: the server is ready at once.
        self.launcher.stop()
        root = tempfile.mkdtemp(prefix="kvsite-")
        site = TestSite(root, {})
        self.addCleanup(lambda: (site.stop(), shutil.rmtree(root, ignore_errors=True)))
        self.launcher = launcher = Launcher(self.session, system_settings=site.settings(),
                                            config="enableAudio: false\n", env=self.env).wait_window()

        def expect_main_screen(sound_colours, what):
            """Closes the panel and checks Play (enabled) and the sound widget."""
            self.click_until(OPTIONS, lambda: launcher.pixel(300, 250) != (255, 255, 255), "closing the panel")
            launcher.move(250, 150)
            play = launcher.wait_pixel(*PLAY, lambda c: c == STATE_COLOURS[NORMAL], timeout=30)
            self.assertEqual(play, STATE_COLOURS[NORMAL], f"Play clickable after {what}: {launcher.log_text()}")
            self.assertEqual(launcher.pixel(*SOUND), sound_colours[NORMAL], f"sound widget after {what}")

        def open_panel():
            self.click_until(OPTIONS, lambda: launcher.pixel(300, 250) == (255, 255, 255), "opening the panel")

        self.assertEqual(launcher.wait_pixel(*PLAY, lambda c: c == STATE_COLOURS[NORMAL], timeout=60),
                         STATE_COLOURS[NORMAL], launcher.log_text())
        self.assertEqual(launcher.pixel(*SOUND), SOUND_OFF_COLOURS[NORMAL])

        # An import that turns sound on.
        archive = os.path.join(launcher.root, "sound_on.zip")
        with zipfile.ZipFile(archive, "w") as z:
            z.writestr("config.kvml", "enableAudio: true\n")
        self.will_choose(archive)
        open_panel()
        self.press_for_box(IMPORT, "Import Config")
        self.answer_box("Import Config", "Return")
        self.answer_box("Success", "Return")
        expect_main_screen(STATE_COLOURS, "the import")

        # A configuration of the server's own (sound on in the fresh file).
        open_panel()
        local = os.path.join(launcher.install, "eu", "config", "config.kvml")
        self.click_until(CHECKBOX, lambda: os.path.exists(local), "the local configuration")
        expect_main_screen(STATE_COLOURS, "the local-configuration toggle")

        # Delete.
        open_panel()
        self.press_for_box(DELETE, "Confirm Deletion")
        self.answer_box("Confirm Deletion", "Return")
        self.answer_box("Success", "Return")
        expect_main_screen(STATE_COLOURS, "the deletion")
        self.assertIsNone(launcher.proc.poll(), launcher.log_text())


if __name__ == "__main__":
    unittest.main()
