"""A private X server with a window manager for end-to-end tests.

Starts Xvfb on a free display number with openbox, gives each test a sandbox
installation folder with its own HOME, runs the real launcher there, and
offers screenshots, pixel reads and clicks through xdotool.

Run as a program (`python3 x11session.py [WIDTH HEIGHT]`), it starts the same
session for shell scripts, prints the display and the process id of the X
server (":N PID") on a line of its own, and stops the session when it gets
SIGTERM, SIGINT or SIGHUP.
"""

import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time


def wait_until(predicate, timeout=20.0, step=0.05):
    """Polls predicate until it returns a true value or the timeout passes."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return value
        time.sleep(step)


class X11Session:
    """Xvfb + openbox, started on enter and stopped (with every child) on exit."""

    def __init__(self, width=1280, height=1024, window_manager=True):
        self.width = width
        self.height = height
        self.window_manager = window_manager
        self.procs = []

    def __enter__(self):
        # Xvfb picks a free display number itself and writes it to a pipe, so
        # suites running at the same time never share a server.
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{self.width}x{self.height}x24",
             "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        os.close(write_end)
        self.procs.append(xvfb)
        number = b""
        deadline = time.monotonic() + 30
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                break
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip().isdigit():
            self.__exit__(None, None, None)
            raise RuntimeError("Xvfb did not start")
        self.number = int(number)
        self.display = f":{self.number}"
        if self.window_manager:
            self._start_window_manager()
        return self

    def _start_window_manager(self):
        # openbox sets _NET_SUPPORTING_WM_CHECK once it manages the screen. On
        # a loaded machine it has been seen to exit at start without a word;
        # a fresh start on the same server then succeeds, so it gets three.
        errors = []
        for _attempt in range(3):
            log = tempfile.TemporaryFile()
            wm = subprocess.Popen(["openbox", "--sm-disable"], env=self.env(),
                                  stdout=subprocess.DEVNULL, stderr=log,
                                  start_new_session=True)
            self.procs.append(wm)
            managed = wait_until(lambda: wm.poll() is None and "_NET_SUPPORTING_WM_CHECK(WINDOW)" in self.run(
                ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"]).stdout, 30)
            if managed:
                log.close()
                return
            try:
                os.killpg(wm.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
            wm.wait(timeout=10)
            self.procs.remove(wm)
            log.seek(0)
            errors.append(f"exit {wm.returncode}: {log.read().decode(errors='replace').strip()}")
            log.close()
        self.__exit__(None, None, None)
        raise RuntimeError("openbox did not start: " + " | ".join(errors))

    def __exit__(self, *exc):
        for proc in reversed(self.procs):
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        self.procs = []
        return False

    def env(self, extra=None):
        env = dict(os.environ)
        env["DISPLAY"] = self.display
        env.pop("WAYLAND_DISPLAY", None)
        if extra:
            env.update(extra)
        return env

    def run(self, args, **kwargs):
        return subprocess.run(args, env=self.env(), capture_output=True, text=True, timeout=60, **kwargs)

    def find_windows(self, name):
        """Window ids whose title is exactly name."""
        out = self.run(["xdotool", "search", "--onlyvisible", "--name", f"^{name}$"]).stdout
        return [int(w) for w in out.split()]

    def geometry(self, window):
        """(x, y, width, height) of a window in root coordinates."""
        out = self.run(["xwininfo", "-id", str(window)]).stdout
        values = {}
        for line in out.splitlines():
            line = line.strip()
            for key in ("Absolute upper-left X:", "Absolute upper-left Y:", "Width:", "Height:"):
                if line.startswith(key):
                    values[key] = int(line[len(key):].strip())
        return (values["Absolute upper-left X:"], values["Absolute upper-left Y:"],
                values["Width:"], values["Height:"])

    def screenshot(self, path):
        self.run(["import", "-window", "root", path])
        return path

    def pixels(self, path):
        """Reads a screenshot into (width, height, bytes RGB)."""
        ppm = path + ".ppm"
        subprocess.run(["convert", path, "-depth", "8", f"ppm:{ppm}"], check=True, timeout=60)
        with open(ppm, "rb") as f:
            data = f.read()
        # P6\n<w> <h>\n255\n<data>
        parts = data.split(b"\n", 3)
        width, height = (int(v) for v in parts[1].split())
        return width, height, parts[3]

    def click(self, x, y):
        self.run(["xdotool", "mousemove", str(x), str(y), "click", "1"])

    def move(self, x, y):
        self.run(["xdotool", "mousemove", str(x), str(y)])


def pixel_at(image, x, y):
    width, _height, data = image
    offset = (y * width + x) * 3
    return tuple(data[offset:offset + 3])


class Sandbox:
    """An installation folder and a HOME of their own."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="kve2e-")
        self.install = os.path.join(self.root, "install")
        self.home = os.path.join(self.root, "home")
        os.makedirs(self.install)
        os.makedirs(self.home)

    def write(self, relative, content):
        path = os.path.join(self.install, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(content)
        return path

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


def launcher_binary():
    return os.path.join(os.environ["KV_BIN_DIR"], "kvlauncher")


def install_launcher(sandbox):
    """Copies the launcher into the installation folder: it reads
    "system.kvml" next to its own executable."""
    target = os.path.join(sandbox.install, "kvlauncher")
    if not os.path.exists(target):
        shutil.copy2(launcher_binary(), target)
    return target


def start_launcher(session, sandbox, extra_env=None):
    """Starts the launcher installed in the sandbox, with the installation
    folder as its working folder."""
    env = session.env({"HOME": sandbox.home, "XDG_RUNTIME_DIR": sandbox.root,
                       "SDL_AUDIODRIVER": "dummy", "ASAN_OPTIONS": "detect_leaks=0"})
    if extra_env:
        env.update(extra_env)
    with open(os.path.join(sandbox.root, "launcher.log"), "ab") as log:
        return subprocess.Popen([install_launcher(sandbox)], cwd=sandbox.install, env=env,
                                stdout=log, stderr=subprocess.STDOUT, start_new_session=True)


def main(argv):
    width, height = (int(argv[1]), int(argv[2])) if len(argv) == 3 else (1280, 1024)
    stop = []
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, lambda *_: stop.append(True))
    with X11Session(width, height) as session:
        print(session.display, session.procs[0].pid, flush=True)
        while not stop:
            signal.pause()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
