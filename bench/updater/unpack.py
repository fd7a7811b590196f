"""Small files keep arriving while a large archive unpacks: 3,000 small files
and an archive that unpacks 4 GiB, installed by the headless updater over the
emulated wide-area link (HTTP/2), with the gaps between the requests the site
logged while the archive unpacked."""
import os
import shutil
import subprocess
import zipfile

import install
import profiles
import wan
from https_site import Site

ARCHIVE = "aa/unpacks.zip"  # early in the run's order, so the small files follow it
UNPACKED_GIB = 4
PIECE = 4 * 1024 * 1024


def _make_archive(path):
    """Four entries of 1 GiB of zeros, deflated (a few MB)."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    zeros = bytes(PIECE)
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
        for index in range(UNPACKED_GIB):
            with archive.open("pack%d.bin" % index, "w", force_zip64=True) as entry:
                for _ in range((1 << 30) // PIECE):
                    entry.write(zeros)


def _request_times(log_path, offset):
    """(time, request line) of the requests logged after offset; the time is
    the last field of each line ($msec)."""
    found = []
    with open(log_path, "rb") as log:
        log.seek(offset)
        for line in log.read().decode(errors="replace").splitlines():
            first = line.find('"')
            second = line.find('"', first + 1)
            try:
                found.append((float(line.rsplit(" ", 1)[1]), line[first + 1:second]))
            except (IndexError, ValueError):
                continue
    return found


def measure_unpack(tools, work, runs, log):
    client = os.path.join(work, "client")
    site_root = os.path.join(work, "site")
    log("unpack: generating 3,000 small files and an archive that unpacks %d GiB" % UNPACKED_GIB)
    profiles.make_client("small", client)
    _make_archive(os.path.join(client, ARCHIVE))
    archive_bytes = os.path.getsize(os.path.join(client, ARCHIVE))
    install.publish(tools, client, site_root)
    shutil.rmtree(client)
    samples = []
    with Site(os.path.join(work, "state"), site_root, http2=True) as site:
        proxy = wan.DelayProxy(site.port, wan.ONE_WAY_MS)
        try:
            proxied = wan.ProxiedSite(site, proxy.port)
            folder = os.path.join(work, "installation")
            for index in range(runs):
                log("unpack: run %d of %d" % (index + 1, runs))
                install.make_installation(folder, proxied)
                offset = site.log_size()
                done = subprocess.run([tools.kvupdate], cwd=folder, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True, timeout=1800)
                requests = _request_times(site.access_log, offset)
                files = [(t, r) for t, r in requests if "/manifest." not in r and "updater.php" not in r]
                archive_done = next((t for t, r in files if ARCHIVE in r), None)
                after = [t for t, _ in files if archive_done is not None and t >= archive_done]
                gaps = [b - a for a, b in zip(after, after[1:])]
                samples.append({
                    "exit": done.returncode,
                    "boxes": done.stderr.count("\n"),
                    "files": len(files),
                    "after_archive": len(after) - 1,
                    "span": (after[-1] - after[0]) if len(after) > 1 else 0.0,
                    "max_gap": max(gaps) if gaps else 0.0,
                    "ready": "client ready" in done.stdout,
                })
                shutil.rmtree(folder, ignore_errors=True)
        finally:
            proxy.stop()
    shutil.rmtree(site_root, ignore_errors=True)
    return {"archive_bytes": archive_bytes, "samples": samples}
