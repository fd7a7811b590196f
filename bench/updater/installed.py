"""The work on installed files: the check at the start of every run (3,000
files against one), the hashing of kvupdate --verify beside sha256sum over
the same files, and the download limit over one 64 MiB file."""
import json
import os
import shutil
import subprocess

import install
import measure
import wan
from https_site import Site

CHECK_FILES = 3000
HASH_FILES = 4
HASH_FILE_BYTES = 64 << 20
LIMIT_BYTES = 64 << 20
LIMIT_KBPS = 8192
# A low limit over many connections: small files at 8 KB/s, eight
# connections (the default), an HTTP/1.1 site.
LOW_FILES = 32
LOW_FILE_BYTES = 4096
LOW_KBPS = 8


def _write_random(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        left = size
        while left > 0:
            piece = min(left, 1 << 20)
            out.write(os.urandom(piece))
            left -= piece


def _publish(tools, client, site_root, server):
    subprocess.run([tools.kvpublish, "--server", server, client, site_root], check=True,
                   stdout=subprocess.DEVNULL)


def measure_installed(tools, work, runs, log):
    """Answers a result dict for the report."""
    site_root = os.path.join(work, "site")
    # eu: CHECK_FILES small files; us: one file. The same installation
    # folder holds both, so only the server changes between the runs.
    for i in range(CHECK_FILES):
        path = os.path.join(work, "client-eu", "d%02d" % (i % 50), "f%04d.pak" % i)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(b"x" * (1 + i % 900))
    _write_random(os.path.join(work, "client-us", "one.pak"), 1000)
    _publish(tools, os.path.join(work, "client-eu"), site_root, "eu")
    _publish(tools, os.path.join(work, "client-us"), site_root, "us")
    result = {}
    with Site(os.path.join(work, "state"), site_root) as site:
        folder = os.path.join(work, "installation")
        install.make_installation(folder, site)
        for server in ("eu", "us"):
            measure.run_sample([tools.kvupdate, "--server", server], cwd=folder)
        many, one = measure.Series("eu"), measure.Series("us")
        log("installed files: start check, %d timed rounds" % (runs * 4))
        for _ in range(runs * 4):
            many.add(measure.run_sample([tools.kvupdate, "--server", "eu"], cwd=folder))
            one.add(measure.run_sample([tools.kvupdate, "--server", "us"], cwd=folder))
        result["check"] = {"many": many, "one": one}
        # The same check timed inside one process, beside whole runs of both
        # installations against their unchanged site.
        log("installed files: start check in process, %d rounds" % (runs * 4))
        inside = subprocess.run([tools.start_check_bench, "1", "2", str(runs * 4)], cwd=folder, check=True,
                                stdout=subprocess.PIPE, universal_newlines=True)
        result["inside"] = json.loads(inside.stdout)
        # The same again with the site at a wide-area distance: the check
        # runs beside the two requests, which now take their round trips.
        log("installed files: start check in process at a %d ms round trip, %d rounds"
            % (2 * wan.ONE_WAY_MS, runs * 4))
        proxy = wan.DelayProxy(site.port, wan.ONE_WAY_MS)
        try:
            install.write_settings(folder, wan.ProxiedSite(site, proxy.port))
            inside = subprocess.run([tools.start_check_bench, "1", "2", str(runs * 4)], cwd=folder, check=True,
                                    stdout=subprocess.PIPE, universal_newlines=True)
            result["inside_wan"] = json.loads(inside.stdout)
        finally:
            proxy.stop()
    shutil.rmtree(site_root, ignore_errors=True)
    shutil.rmtree(os.path.join(work, "installation"), ignore_errors=True)

    # Hashing: HASH_FILES large files, installed, then verified while the
    # server is unchanged; sha256sum reads the same files.
    site_root = os.path.join(work, "site-hash")
    client = os.path.join(work, "client-hash")
    names = ["h%d.pak" % i for i in range(HASH_FILES)]
    for name in names:
        _write_random(os.path.join(client, name), HASH_FILE_BYTES)
    _write_random(os.path.join(client, "limit", "big.pak"), LIMIT_BYTES)
    _publish(tools, client, site_root, "eu")
    shutil.rmtree(client)
    with Site(os.path.join(work, "state-hash"), site_root) as site:
        folder = os.path.join(work, "installation-hash")
        install.make_installation(folder, site)
        measure.run_sample([tools.kvupdate], cwd=folder)
        files = [os.path.join(folder, "eu", n) for n in names] + [os.path.join(folder, "eu", "limit", "big.pak")]
        verify, plain, sums = measure.Series("verify"), measure.Series("plain"), measure.Series("sha256sum")
        measure.run_sample(["sha256sum"] + files)
        log("installed files: hashing, %d timed rounds" % runs)
        for _ in range(runs):
            verify.add(measure.run_sample([tools.kvupdate, "--verify"], cwd=folder))
            plain.add(measure.run_sample([tools.kvupdate], cwd=folder))
            sums.add(measure.run_sample(["sha256sum"] + files))
        result["hash"] = {"verify": verify, "plain": plain, "sha256sum": sums,
                          "bytes": HASH_FILES * HASH_FILE_BYTES + LIMIT_BYTES}

        # The limit: the 64 MiB file fetched again (removed) under the limit.
        log("installed files: a %d MiB download at %d KB/s" % (LIMIT_BYTES >> 20, LIMIT_KBPS))
        limited = measure.Series("limit")
        for _ in range(2):
            os.remove(os.path.join(folder, "eu", "limit", "big.pak"))
            limited.add(measure.run_sample([tools.kvupdate, "--limit-rate", str(LIMIT_KBPS)], cwd=folder))
        result["limit"] = {"series": limited, "bytes": LIMIT_BYTES, "kbps": LIMIT_KBPS}
    shutil.rmtree(site_root, ignore_errors=True)

    # A low limit over eight connections: the run must end ready with
    # nothing in the download log (no failure, no box).
    site_root = os.path.join(work, "site-low")
    client = os.path.join(work, "client-low")
    for i in range(LOW_FILES):
        _write_random(os.path.join(client, "low", "f%d.pak" % i), LOW_FILE_BYTES)
    _publish(tools, client, site_root, "eu")
    shutil.rmtree(client)
    with Site(os.path.join(work, "state-low"), site_root) as site:
        folder = os.path.join(work, "installation-low")
        install.make_installation(folder, site)
        log("installed files: %d small files at %d KB/s over 8 connections" % (LOW_FILES, LOW_KBPS))
        sample = measure.run_sample([tools.kvupdate, "--limit-rate", str(LOW_KBPS)], cwd=folder)
        log_path = os.path.join(folder, "curl_download.log")
        logged = open(log_path).read() if os.path.exists(log_path) else ""
        result["low_limit"] = {"sample": sample, "bytes": LOW_FILES * LOW_FILE_BYTES, "kbps": LOW_KBPS,
                               "files": LOW_FILES, "logged": logged}
    shutil.rmtree(site_root, ignore_errors=True)
    return result
