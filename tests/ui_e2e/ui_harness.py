"""Runs the real launcher on kvart's demo art in a private X server.

Each launcher gets a sandbox of its own: an installation folder holding a
copy of the launcher (its settings file "system.kvml" sits next to the
executable), the two server folders with their art, and its own HOME.
"""

import atexit
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from x11session import X11Session as _SharedSession  # noqa: E402
from x11session import pixel_at, wait_until  # noqa: E402,F401


class X11Session(_SharedSession):
    """Xvfb (which picks its own free display number) + openbox, shared with
    the other end-to-end suites."""


class SessionTestCase(unittest.TestCase):
    """One X session per test class; each test stops its launchers and runs
    its clean-ups when it ends."""

    @classmethod
    def setUpClass(cls):
        cls.session = X11Session().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.session.__exit__(None, None, None)

    def setUp(self):
        self.launchers = []
        self.cleanups = []

    def tearDown(self):
        for launcher in self.launchers:
            launcher.stop()
        for cleanup in self.cleanups:
            cleanup()


BIN_DIR = os.environ.get("KV_BIN_DIR", "")
SOURCE_DIR = os.environ.get("KV_SOURCE_DIR", "")

# Frame colours of kvart's pictures (Disabled, Normal, Hover, Pressed).
STATE_COLOURS = [(0x4A, 0x4A, 0x4A), (0x28, 0x50, 0xA0), (0x28, 0xA0, 0x50), (0xAA, 0x32, 0x32)]
OPTIONS_ON_COLOURS = [(0x5A, 0x5A, 0x5A), (0xD0, 0x70, 0x10), (0xE0, 0x90, 0x30), (0xB0, 0x50, 0x00)]
# "button.png" (Sign up, Website, the panel's tabs): greys that carry black and
# white labels alike.
BUTTON_COLOURS = [(0x5A, 0x5A, 0x5A), (0x76, 0x76, 0x76), (0x8C, 0x8C, 0x8C), (0x64, 0x64, 0x64)]
SOUND_OFF_COLOURS = [(0x5A, 0x5A, 0x5A), (0x70, 0x20, 0x70), (0x90, 0x30, 0x90), (0x50, 0x10, 0x50)]
DISABLED, NORMAL, HOVER, PRESSED = range(4)

# No web site answers: every update fails at once.
OFFLINE_SETTINGS = "siteHost: 127.0.0.1:1\nserver: 1\n"

_art_cache = {}


def demo_art():
    """A folder with kvart's art for "eu" and "us", made once per process."""
    if "root" not in _art_cache:
        root = tempfile.mkdtemp(prefix="kvart-")
        for folder, label in (("eu", "EU"), ("us", "US")):
            subprocess.run([os.path.join(BIN_DIR, "kvart"), os.path.join(root, folder), "--label", label],
                           check=True, timeout=120)
        _art_cache["root"] = root
        atexit.register(shutil.rmtree, root, True)
    return _art_cache["root"]


def is_orange(rgb):
    """The progress fill (0xCCFFA500 over the track and background)."""
    r, g, b = rgb
    return r >= 200 and 110 <= g <= 190 and b <= 90


class Launcher:
    """One launcher process in its own sandbox."""

    def __init__(self, session, system_settings=OFFLINE_SETTINGS, config=None, env=None, scale=1):
        """scale: the desktop's scale (GDK_SCALE); positions given to pixel,
        move and click stay in the window's logical pixels."""
        self.session = session
        self.scale = scale
        self.root = tempfile.mkdtemp(prefix="kvui-")
        self.install = os.path.join(self.root, "install")
        self.home = os.path.join(self.root, "home")
        os.makedirs(self.home)
        shutil.copytree(demo_art(), self.install)
        shutil.copy2(os.path.join(BIN_DIR, "kvlauncher"), os.path.join(self.install, "kvlauncher"))
        with open(os.path.join(self.install, "system.kvml"), "w") as f:
            f.write(system_settings)
        if config is not None:
            os.makedirs(os.path.join(self.home, "vandrel"))
            with open(os.path.join(self.home, "vandrel", "config.kvml"), "w") as f:
                f.write(config)
        self.browser_log = os.path.join(self.root, "browser.log")
        browser = os.path.join(self.root, "browser.sh")
        with open(browser, "w") as f:
            f.write(f"#!/bin/sh\necho \"$1\" >> '{self.browser_log}'\n")
        os.chmod(browser, 0o755)
        run_env = session.env({"HOME": self.home, "XDG_RUNTIME_DIR": self.root,
                               "SDL_AUDIODRIVER": "dummy", "BROWSER": browser,
                               "ASAN_OPTIONS": "detect_leaks=0"})
        if scale != 1:
            run_env["GDK_SCALE"] = str(scale)
        if env:
            run_env.update(env)
        self.log = open(os.path.join(self.root, "launcher.log"), "ab")
        # The pointer rests outside the window, so no widget starts hovered.
        session.run(["xdotool", "mousemove", "0", "0"])
        self.proc = subprocess.Popen([os.path.join(self.install, "kvlauncher")], cwd=self.install,
                                     env=run_env, stdout=self.log, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        self.origin = None
        self.shot_count = 0

    def wait_window(self):
        """Waits for the window and for its first painted frame."""
        windows = wait_until(lambda: self.session.find_windows("Vandrel"), 40)
        if not windows:
            raise AssertionError("the launcher window did not appear: " + self.log_text())
        x, y, w, h = self.session.geometry(windows[0])
        self.origin = (x, y)
        self.size = (w, h)
        # The close widget shows its Normal frame once the first frame is up.
        if not wait_until(lambda: self.pixel(480, 12) == STATE_COLOURS[NORMAL], 30):
            raise AssertionError("the window was never painted")
        return self

    def screenshot(self):
        self.shot_count += 1
        path = os.path.join(self.root, f"shot{self.shot_count}.png")
        self.session.screenshot(path)
        return self.session.pixels(path)

    def pixel(self, x, y, image=None):
        """The colour at window coordinates (x, y)."""
        image = image or self.screenshot()
        return pixel_at(image, self.origin[0] + x * self.scale, self.origin[1] + y * self.scale)

    def wait_pixel(self, x, y, predicate, timeout=30):
        """Polls screenshots until the pixel satisfies predicate; answers the last colour."""
        seen = []

        def check():
            colour = self.pixel(x, y)
            seen.append(colour)
            return predicate(colour)

        wait_until(check, timeout, 0.1)
        return seen[-1]

    def xdotool(self, *args):
        self.session.run(["xdotool", *[str(a) for a in args]])

    def move(self, x, y):
        self.xdotool("mousemove", self.origin[0] + x * self.scale, self.origin[1] + y * self.scale)

    def down(self):
        self.xdotool("mousedown", 1)

    def up(self):
        self.xdotool("mouseup", 1)

    def click(self, x, y):
        self.move(x, y)
        self.xdotool("click", 1)

    def log_text(self):
        try:
            with open(os.path.join(self.root, "launcher.log"), errors="replace") as f:
                return f.read()[-3000:]
        except OSError:
            return ""

    def stop(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait(timeout=20)
        self.log.close()
        shutil.rmtree(self.root, ignore_errors=True)


def make_test_site(folder, files):
    """A site folder for the scripted HTTPS server with an "eu" manifest of
    the given files ({name: bytes}); answers the launcher's current version."""
    import json
    download = os.path.join(folder, "download")
    os.makedirs(os.path.join(download, "eu"))
    os.makedirs(os.path.join(download, "us"))
    with open(os.path.join(download, "updater.php"), "w") as f:
        f.write(os.environ["KV_LAUNCHER_VERSION_TEXT"])
    entries = []
    for name, content in sorted(files.items()):
        with open(os.path.join(download, "eu", name), "wb") as f:
            f.write(content)
        entries.append({"path": name, "hash": f"h{len(content)}-{name}", "size": len(content)})
    for server in ("eu", "us"):
        body = json.dumps(entries if server == "eu" else [])
        for name in ("manifest.php", "manifest.json"):
            with open(os.path.join(download, server, name), "w") as f:
                f.write(body)


class TestSite:
    """The scripted HTTPS server of the fixtures with a CA made for the test."""

    def __init__(self, root, files, rules=None):
        self.root = root
        self.site = os.path.join(root, "site")
        self.state = os.path.join(root, "state")
        os.makedirs(self.state)
        make_test_site(self.site, files)
        if rules:
            import json
            with open(os.path.join(self.state, "rules.json"), "w") as f:
                json.dump(rules, f)
        self.ca = os.path.join(root, "ca.pem")
        key, cert = os.path.join(root, "server.key"), os.path.join(root, "server.pem")
        ca_key, csr = os.path.join(root, "ca.key"), os.path.join(root, "server.csr")
        ext = os.path.join(root, "ext.cnf")
        with open(ext, "w") as f:
            f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
        quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "check": True, "timeout": 60}
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key,
                        "-out", self.ca, "-days", "2", "-subj", "/CN=KV UI Test CA"], **quiet)
        subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
                        "-subj", "/CN=127.0.0.1"], **quiet)
        subprocess.run(["openssl", "x509", "-req", "-in", csr, "-CA", self.ca, "-CAkey", ca_key,
                        "-CAcreateserial", "-out", cert, "-days", "2", "-extfile", ext], **quiet)
        script = os.path.join(SOURCE_DIR, "tests", "fixtures", "scripted_https_server.py")
        self.proc = subprocess.Popen([sys.executable, script, "--cert", cert, "--key", key,
                                      "--root", self.site, "--state", self.state],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                     start_new_session=True)
        line = self.proc.stdout.readline()
        if not line.startswith("PORT "):
            self.stop()
            raise AssertionError("the test site did not start")
        self.port = int(line.split()[1])

    def settings(self):
        return f"siteHost: 127.0.0.1:{self.port}\ncaFile: {self.ca}\nserver: 1\n"

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(timeout=20)
        self.proc.stdout.close()
