"""The local HTTPS game site of a benchmark run: a certificate authority made
for the run and nginx (keep-alive on, HTTP/2 offered when asked) on a free
127.0.0.1 port, both through the shell helpers of scripts/lib/site.sh."""
import os
import subprocess

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SITE_SH = os.path.join(SOURCE_DIR, "scripts", "lib", "site.sh")


def _bash(script, *args):
    return subprocess.run(["bash", "-c", "set -euo pipefail; source \"$0\"; " + script, SITE_SH] + list(args),
                          check=True, stdout=subprocess.PIPE, text=True).stdout.strip()


class Site:
    """nginx serving root over HTTPS; state (configuration, logs, CA) in
    state_dir."""

    def __init__(self, state_dir, root, http2=False, plain=False):
        self.http2 = http2
        self.plain = plain  # also serve plain HTTP (on plain_port)
        self.plain_port = None
        self.state_dir = state_dir
        self.root = root
        self.ca_dir = os.path.join(state_dir, "ca")
        self.ca_file = os.path.join(self.ca_dir, "ca.pem")
        self.nginx_dir = os.path.join(state_dir, "nginx")
        self.access_log = os.path.join(self.nginx_dir, "access.log")
        self.port = None
        self.pid = None

    def start(self):
        _bash('make_ca "$1"', self.ca_dir)
        self.port = int(_bash("free_port"))
        if self.plain:
            self.plain_port = int(_bash("free_port"))
            while self.plain_port == self.port:
                self.plain_port = int(_bash("free_port"))
        # start_nginx leaves nginx running in a session of its own; its pid
        # is the group to stop.
        self.pid = int(_bash('start_nginx "$1" "$2" "$3" "$4" "$5" "$6" >&2; echo "$NGINX_PID"',
                             self.nginx_dir, self.root, self.ca_dir, str(self.port),
                             "http2" if self.http2 else "", str(self.plain_port or "")))

    def stop(self):
        if self.pid is not None:
            _bash('stop_group "$1"', str(self.pid))
            self.pid = None

    @property
    def host(self):
        return "127.0.0.1:%d" % self.port

    def url(self, path):
        return "https://%s/%s" % (self.host, path.lstrip("/"))

    def log_size(self):
        """Where the access log ends now; requests after this point are read
        with requests_since."""
        return os.path.getsize(self.access_log) if os.path.exists(self.access_log) else 0

    def requests_since(self, offset):
        """The request lines ("GET /download/updater.php HTTP/1.1") logged
        after offset."""
        with open(self.access_log, "rb") as log:
            log.seek(offset)
            lines = log.read().decode(errors="replace").splitlines()
        found = []
        for line in lines:
            first = line.find('"')
            second = line.find('"', first + 1)
            if first >= 0 and second > first:
                found.append(line[first + 1:second])
        return found

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
