"""The launcher's main job as a player sees it: the headless demo end to end.

Runs scripts/demo without a display against the programs of this build: a
demo game is published, served over HTTPS, updated by the real launcher in a
private X server, and started with Play.
"""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import unittest


def processes_of(folder):
    """Processes whose working folder or command line lies in folder."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            cwd = os.readlink(f"/proc/{pid}/cwd")
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if cwd.startswith(folder) or folder in cmdline:
            found.append(f"{pid}: {cmdline}")
    return found


def run_demo(command, env):
    """Runs the demo; past the time limit it is asked to stop (SIGTERM) so
    that its own clean-up ends what it started, before the test fails."""
    demo = subprocess.Popen(command, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        stdout, stderr = demo.communicate(timeout=480)
    except subprocess.TimeoutExpired:
        demo.send_signal(signal.SIGTERM)
        stdout, stderr = demo.communicate(timeout=60)
        raise AssertionError("the demo did not end within 480 s:\n" + stdout + stderr)
    return subprocess.CompletedProcess(command, demo.returncode, stdout, stderr)


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
            result = run_demo([os.path.join(source, "scripts", "demo")], env)
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
            # Nothing the demo started is left running: no process works in
            # or names the demo's folder, and its X server is gone.
            self.assertEqual(processes_of(work), [])
            server = re.search(r"private X server \(:\d+, process (\d+)\)", result.stdout).group(1)
            self.assertFalse(os.path.exists(os.path.join("/proc", server)))
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
