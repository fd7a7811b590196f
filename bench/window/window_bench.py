"""The launcher window under a private X server (Xvfb with openbox): time from
start to the first presented frame, processor time while idle with the
window open, and resident memory, measured from the outside by
kv_window_probe."""
import os
import shutil
import signal
import subprocess
import time


class XServer:
    """Xvfb (black root, no TCP) and openbox on the first free display."""

    def __init__(self):
        self.display = None
        self.xvfb = None
        self.wm = None

    def start(self):
        for number in range(120, 220):
            if not os.path.exists("/tmp/.X11-unix/X%d" % number) and not os.path.exists("/tmp/.X%d-lock" % number):
                self.display = ":%d" % number
                break
        if self.display is None:
            raise RuntimeError("no free X display number")
        self.xvfb = subprocess.Popen(["Xvfb", self.display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
                                      "-br"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     start_new_session=True)
        socket = "/tmp/.X11-unix/X" + self.display[1:]
        for _ in range(100):
            if os.path.exists(socket):
                break
            time.sleep(0.1)  # bounded wait for the server's socket
        else:
            raise RuntimeError("Xvfb did not start")
        env = dict(os.environ, DISPLAY=self.display)
        self.wm = subprocess.Popen(["openbox", "--sm-disable"], env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
        for _ in range(100):
            probe = subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=env,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            if "window id" in probe.stdout:
                break
            time.sleep(0.1)  # bounded wait for the window manager

    def stop(self):
        for process in (self.wm, self.xvfb):
            if process is not None and process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait()

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()


def _parse(text):
    values = {}
    for line in text.splitlines():
        if "=" in line:
            key, value = line.split("=", 1)
            values[key] = value
    return values


def measure_window(probe, launcher, install, work, runs, idle_seconds, log, audio_driver="dummy"):
    """Starts the launcher (copied into the complete installation install)
    once to warm up and runs more times, with SDL's audio_driver; answers a
    result dict with one dict of probe figures per timed run."""
    shutil.copy2(launcher, os.path.join(install, "kvlauncher"))
    home = os.path.join(work, "home")
    runtime = os.path.join(work, "runtime")
    os.makedirs(home, exist_ok=True)
    os.makedirs(runtime, mode=0o700, exist_ok=True)
    results = []
    with XServer() as x:
        env = dict(os.environ, DISPLAY=x.display, HOME=home, XDG_RUNTIME_DIR=runtime, SDL_AUDIODRIVER=audio_driver,
                   NO_AT_BRIDGE="1")
        command = [probe, "--name", "Vandrel", "--timeout-ms", "30000", "--settle-ms", "2000",
                   "--idle-ms", str(int(idle_seconds * 1000)), "--xserver-pid", str(x.xvfb.pid), "--",
                   "./kvlauncher"]
        for index in range(runs + 1):
            log("window (audio driver %s): %s run %d" % (audio_driver, "warm-up" if index == 0 else "timed", index))
            done = subprocess.run(command, cwd=install, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True, timeout=120)
            values = _parse(done.stdout)
            if done.returncode != 0:
                raise RuntimeError("window probe failed: %s %s" % (done.stdout, done.stderr[-2000:]))
            if index > 0:
                results.append(values)
    return {"runs": results, "idle_seconds": idle_seconds, "audio_driver": audio_driver,
            "command": "kv_window_probe --name Vandrel --settle-ms 2000 --idle-ms %d -- ./kvlauncher"
                       % int(idle_seconds * 1000)}
