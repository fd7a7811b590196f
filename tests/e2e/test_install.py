"""Installation: `cmake --install` puts the programs where the README says,
and the desktop entry starts the launcher in its installation folder, for
the prefix given at install time (with and without DESTDIR)."""

import os
import shutil
import subprocess
import tempfile
import unittest


def desktop_entry(path):
    with open(path) as f:
        return dict(line.split("=", 1) for line in f.read().splitlines() if "=" in line)


class InstallTest(unittest.TestCase):
    def test_install_under_the_prefix_given_at_install_time(self):
        build = os.path.dirname(os.environ["KV_BIN_DIR"])
        work = tempfile.mkdtemp(prefix="kvinstall-")
        try:
            cases = [
                # (prefix, DESTDIR or None)
                (os.path.join(work, "home", "me", ".local"), None),
                ("/opt/vandrel", os.path.join(work, "staging")),
            ]
            for prefix, destdir in cases:
                with self.subTest(prefix=prefix, destdir=destdir):
                    env = dict(os.environ)
                    env.pop("DESTDIR", None)
                    if destdir:
                        env["DESTDIR"] = destdir
                    subprocess.run(["cmake", "--install", build, "--prefix", prefix],
                                   env=env, check=True, capture_output=True, timeout=300)
                    root = (destdir or "") + prefix
                    folder = prefix + "/lib/kvlauncher"
                    for program in ("lib/kvlauncher/kvlauncher", "bin/kvpublish", "bin/kvupdate"):
                        self.assertTrue(os.access(os.path.join(root, program), os.X_OK), program)
                    self.assertTrue(os.path.isfile(os.path.join(
                        root, "share/icons/hicolor/scalable/apps/kvlauncher.svg")))
                    # The default interface art beside the launcher.
                    for art in ("data/images/updater.png", "data/images/close.png",
                                "data/fonts/RavidIzuz.ttf", "data/sounds/click.wav",
                                "data/sounds/music.mp3"):
                        self.assertTrue(os.path.isfile(os.path.join(
                            root, "lib/kvlauncher/default_art", art)), art)
                    entry = desktop_entry(os.path.join(root, "share/applications/kvlauncher.desktop"))
                    self.assertEqual(entry["Exec"], '"' + folder + '/kvlauncher"')
                    self.assertEqual(entry["Path"], folder)
                    self.assertEqual(entry["Icon"], "kvlauncher")
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
