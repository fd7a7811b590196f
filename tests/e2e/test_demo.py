"""The launcher's main job as a player sees it: the headless demo end to end.

Runs scripts/demo without a display against the programs of this build: a
demo game is published, served over HTTPS, updated by the real launcher in a
private X server, and started with Play.
"""

import os
import shutil
import subprocess
import tempfile
import unittest


class DemoTest(unittest.TestCase):
    def test_headless_demo_updates_and_starts_the_client(self):
        source = os.environ["KV_SOURCE_DIR"]
        work = tempfile.mkdtemp(prefix="kvdemo-")
        try:
            env = dict(os.environ)
            env.pop("DISPLAY", None)
            env["KV_DEMO_BIN_DIR"] = os.environ["KV_BIN_DIR"]
            env["KV_DEMO_DIR"] = work
            env["ASAN_OPTIONS"] = "detect_leaks=0"
            result = subprocess.run([os.path.join(source, "scripts", "demo")], env=env,
                                    capture_output=True, text=True, timeout=900)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            self.assertIn("the client is ready to play", result.stdout)

            install = os.path.join(work, "install")
            with open(os.path.join(install, "eu", "demo_client_started.txt")) as f:
                record = dict(line.split(": ", 1) for line in f.read().splitlines())
            self.assertEqual(record["workdir"], os.path.join(install, "eu"))
            self.assertEqual(record["server"], "EU")
            self.assertTrue(record["build"].startswith("vdclient_"))

            # The screenshot shows the launcher ready: the progress bar is full.
            shot = os.path.join(work, "ready.png")
            self.assertTrue(os.path.getsize(shot) > 0)
            channels = " ".join(f"%[fx:int(255*p{{688,618}}.{c})]" for c in "rgb")
            pixel = subprocess.run(["convert", shot, "-format", channels, "info:"],
                                   capture_output=True, text=True, timeout=60).stdout
            r, g, b = (int(v) for v in pixel.split())
            self.assertGreater(r, 180)
            self.assertLess(b, 110)
            # Nothing the demo started is left running.
            self.assertEqual(subprocess.run(["pgrep", "-f", os.path.join(work, "nginx")],
                                            capture_output=True).returncode, 1)
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
