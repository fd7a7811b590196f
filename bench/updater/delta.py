"""Updates of a large pack over a capped wide-area link: the headless updater
beside zsync (rsync over HTTP ranges, on the same nginx and files) and a
whole download with curl, with xdelta3's patch between the same two versions
as the lower bound; and kvpublish's throughput with and without chunk
indexes.

The data: a pack of incompressible bytes (2 GiB unless KV_BENCH_DELTA_MIB
says otherwise) and 100 small files. Each release rewrites 1 % of the pack in
scattered regions of 64-256 KiB, inserts 64 KiB and deletes 32 KiB near its
start, and changes two small files. Cases: the latest release from the one
before, from five releases back, and the latest pack renamed. Everything
goes through delay_proxy.py (50 ms round trip, bandwidth capped); requests
and bytes come from nginx's access log."""
import hashlib
import os
import random
import re
import shutil
import subprocess

import install
import measure
from https_site import Site
from wan import DelayProxy, ProxiedSite

ONE_WAY_MS = 25
MBIT = 100
RELEASES = 6  # v1 .. v6: v6 from v5 (one back) and from v1 (five back)
SMALL_FILES = 100
PACK = "data/pack0.pak"
RENAMED = "data/pack1.pak"
KIB = 1024
MIB = 1024 * 1024
PIECE = 16 * MIB
LOG_LINE = re.compile(r'"([^"]*)" (\d{3}) (\d+) ')


# ---- the data ----

def _write_random(out, size, rng):
    while size > 0:
        piece = min(size, PIECE)
        out.write(rng.randbytes(piece))
        size -= piece


def make_noise(path, size):
    """size incompressible bytes (AES-CTR of zeros, at disk speed)."""
    with open(path, "wb") as out:
        zeros = subprocess.Popen(["head", "-c", str(size), "/dev/zero"], stdout=subprocess.PIPE)
        subprocess.run(["openssl", "enc", "-aes-128-ctr", "-nosalt", "-pass", "pass:kv-delta-bench", "-pbkdf2"],
                       stdin=zeros.stdout, stdout=out, check=True, stderr=subprocess.DEVNULL)
        zeros.stdout.close()
        zeros.wait()
    if os.path.getsize(path) != size:
        raise measure.RunFailed("could not generate " + path)


def _edits(size, rng):
    """The edits of one release, in order of their old offsets: (kind, offset,
    length) with kind rewrite, insert or delete."""
    edits = [("insert", rng.randrange(MIB, 4 * MIB), 64 * KIB), ("delete", rng.randrange(6 * MIB, 9 * MIB), 32 * KIB)]
    target = size // 100
    done = 0
    taken = []
    while done < target:
        length = rng.randrange(64 * KIB, 256 * KIB + 1)
        offset = rng.randrange(10 * MIB, size - length)
        if any(offset < end + 1 and start < offset + length + 1 for start, end in taken):
            continue
        taken.append((offset, offset + length))
        edits.append(("rewrite", offset, length))
        done += length
    return sorted(edits, key=lambda e: e[1])


def make_release(old, new, rng):
    """Writes new as old with one release's edits; answers the bytes that are
    new."""
    size = os.path.getsize(old)
    fresh = 0
    with open(old, "rb") as src, open(new, "wb") as out:
        pos = 0
        for kind, offset, length in _edits(size, rng):
            while pos < offset:
                data = src.read(min(PIECE, offset - pos))
                out.write(data)
                pos += len(data)
            if kind in ("rewrite", "insert"):
                _write_random(out, length, rng)
                fresh += length
            if kind in ("rewrite", "delete"):
                src.seek(length, os.SEEK_CUR)
                pos += length
        shutil.copyfileobj(src, out, PIECE)
    return fresh


def make_small_files(folder, version, rng):
    """The small files of a release: the same as the release before except two."""
    changed = {rng.randrange(SMALL_FILES) for _ in range(2)} if version > 1 else set(range(SMALL_FILES))
    for i in range(SMALL_FILES):
        path = os.path.join(folder, "data", "small", "f%03d.bin" % i)
        if i in changed or not os.path.exists(path):
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as out:
                out.write(rng.randbytes(4 * KIB + rng.randrange(60 * KIB)))


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(PIECE), b""):
            digest.update(piece)
    return digest.hexdigest()


# ---- the site ----

def client_folder(work, small, pack, pack_name=PACK):
    """A client folder of hard links: the small files and the pack."""
    client = os.path.join(work, "client")
    shutil.rmtree(client, ignore_errors=True)
    shutil.copytree(small, client, copy_function=os.link)
    target = os.path.join(client, pack_name)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    os.link(pack, target)
    return client


def publish(tools, client, site_root, extra=()):
    # The release lacks the client builds and the art on purpose: no warnings.
    subprocess.run([tools.kvpublish, "--server", install.SERVER, "--prune"] + list(extra) + [client, site_root],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def traffic(site, offset):
    """Requests and body bytes nginx logged after offset, and the bytes of
    the index files among them."""
    with open(site.access_log, "rb") as log:
        log.seek(offset)
        lines = log.read().decode(errors="replace").splitlines()
    requests, sent, index_bytes = 0, 0, 0
    for line in lines:
        match = LOG_LINE.search(line)
        if not match:
            continue
        requests += 1
        sent += int(match.group(3))
        if "/kvindex/" in match.group(1):
            index_bytes += int(match.group(3))
    return {"requests": requests, "bytes": sent, "index_bytes": index_bytes}


def measured(site, run):
    offset = site.log_size()
    sample = run()
    result = traffic(site, offset)
    result["sample"] = sample
    return result


# ---- the run ----

def measure_delta(tools, delta_bench, work, log):
    pack_mib = int(os.environ.get("KV_BENCH_DELTA_MIB", "2048"))
    size = pack_mib * MIB
    rng = random.Random(20261208)
    packs = os.path.join(work, "packs")
    small = os.path.join(work, "small")
    site_root = os.path.join(work, "site")
    os.makedirs(packs)
    result = {"pack_bytes": size, "mbit": MBIT, "one_way_ms": ONE_WAY_MS}

    log("delta: chunking speed (kv_delta_bench)")
    result["chunking"] = chunking_speed(delta_bench)

    log("delta: generating release 1 (%d MiB pack, %d small files)" % (pack_mib, SMALL_FILES))
    make_noise(os.path.join(packs, "v1.pak"), size)
    small_versions = {}
    for version in range(1, RELEASES + 1):
        folder = os.path.join(small, "v%d" % version)
        if version > 1:
            shutil.copytree(os.path.join(small, "v%d" % (version - 1)), folder)
            log("delta: generating release %d" % version)
            result["fresh_bytes_v%d" % version] = make_release(os.path.join(packs, "v%d.pak" % (version - 1)),
                                                               os.path.join(packs, "v%d.pak" % version), rng)
            # Only v1, v5 and v6 are needed from here on.
            if version - 1 not in (1, RELEASES - 1):
                os.remove(os.path.join(packs, "v%d.pak" % (version - 1)))
        make_small_files(folder, version, rng)
        small_versions[version] = folder
    pack = {v: os.path.join(packs, "v%d.pak" % v) for v in (1, RELEASES - 1, RELEASES)}
    latest = pack[RELEASES]
    latest_sha = sha256_of(latest)

    log("delta: kvpublish throughput with and without indexes")
    result["publish"] = publish_throughput(tools, work, small_versions[RELEASES], latest, log)

    log("delta: xdelta3 patches")
    result["xdelta"] = {back: xdelta_size(pack[RELEASES - back], latest, work) for back in (1, RELEASES - 1)}

    # Installations of the older releases, made over loopback without the proxy.
    installs = {}
    with Site(os.path.join(work, "state"), site_root, http2=True, plain=True) as site:
        for version in (1, RELEASES - 1):
            log("delta: installing release %d" % version)
            publish(tools, client_folder(work, small_versions[version], pack[version]), site_root)
            folder = os.path.join(work, "inst-v%d" % version)
            install.make_installation(folder, site)
            measure.run_sample([tools.kvupdate], cwd=folder)
            installs[version] = folder
        log("delta: publishing release %d" % RELEASES)
        publish(tools, client_folder(work, small_versions[RELEASES], latest), site_root)
        served = os.path.join(site_root, "download", install.SERVER)
        result["index_files_bytes"] = sum(os.path.getsize(os.path.join(served, "kvindex", name))
                                          for name in os.listdir(os.path.join(served, "kvindex"))) \
            if os.path.isdir(os.path.join(served, "kvindex")) else 0
        make_zsync(served, PACK)

        https_proxy = DelayProxy(site.port, ONE_WAY_MS, MBIT)
        plain_proxy = DelayProxy(site.plain_port, ONE_WAY_MS, MBIT)
        try:
            proxied = ProxiedSite(site, https_proxy.port)
            zsync_url = "http://127.0.0.1:%d/download/%s/%s.zsync" % (plain_proxy.port, install.SERVER, PACK)
            run_dir = os.path.join(work, "run")
            cases = {}
            for back in (1, RELEASES - 1):
                name = "one release back" if back == 1 else "%d releases back" % back
                log("delta: %s: launcher" % name)
                case = {"launcher": run_launcher(tools, site, proxied, installs[RELEASES - back], run_dir,
                                                 latest_sha)}
                log("delta: %s: zsync" % name)
                case["zsync"] = run_zsync(site, zsync_url, pack[RELEASES - back], work, latest_sha)
                case["xdelta"] = result["xdelta"][back]
                cases[name] = case
            log("delta: whole download with curl")
            whole_dir = os.path.join(work, "whole")
            os.makedirs(whole_dir)
            out = os.path.join(whole_dir, "pack")
            cases["whole"] = measured(site, lambda: measure.run_sample(
                ["curl", "-sS", "--fail", "--cacert", site.ca_file, "-o", out,
                 proxied.url("download/%s/%s" % (install.SERVER, PACK))]))
            shutil.rmtree(whole_dir)

            # The latest pack renamed on the site, the installation holding it
            # under its old name (the launcher's run of the one-back case).
            log("delta: renamed pack")
            publish(tools, client_folder(work, small_versions[RELEASES], latest, RENAMED), site_root)
            make_zsync(served, RENAMED)
            renamed = {"launcher": run_launcher(tools, site, proxied, run_dir, run_dir + "-renamed", latest_sha,
                                                RENAMED, keep_source=False)}
            zsync_renamed = "http://127.0.0.1:%d/download/%s/%s.zsync" % (plain_proxy.port, install.SERVER, RENAMED)
            renamed["zsync"] = run_zsync(site, zsync_renamed, latest, work, latest_sha)
            cases["renamed"] = renamed
        finally:
            https_proxy.stop()
            plain_proxy.stop()
    result["cases"] = cases
    return result


def chunking_speed(delta_bench):
    import json
    out = subprocess.run([delta_bench, "--benchmark_format=json"], check=True, stdout=subprocess.PIPE,
                         text=True).stdout
    speeds = {}
    for entry in json.loads(out)["benchmarks"]:
        name = entry["name"].split("/")[0]
        # Google Benchmark divides by CPU time: bytes per CPU second, steady on a shared machine.
        speeds[name] = entry["bytes_per_second"]
    return speeds


def publish_throughput(tools, work, small, latest, log):
    client = client_folder(work, small, latest)
    total = sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(client) for f in files)
    subprocess.run(["cat", latest], check=True, stdout=subprocess.DEVNULL)  # warm the page cache
    series = {}
    for label, extra in (("without indexes", ["--no-index"]), ("with indexes", [])):
        site = os.path.join(work, "publish-site")
        shutil.rmtree(site, ignore_errors=True)
        series[label] = measure.run_sample([tools.kvpublish, "--server", install.SERVER] + extra + [client, site])
        log("delta: kvpublish %s: %.1f s" % (label, series[label].wall))
        shutil.rmtree(site, ignore_errors=True)
    return {"bytes": total, "series": series}


def xdelta_size(old, new, work):
    patch = os.path.join(work, "patch.xd3")
    measure.run_sample(["xdelta3", "-e", "-f", "-B", str(256 * MIB), "-s", old, new, patch])
    size = os.path.getsize(patch)
    os.remove(patch)
    return size


def make_zsync(served, path):
    target = os.path.join(served, path)
    subprocess.run(["zsyncmake", "-o", target + ".zsync", "-u", os.path.basename(path), target], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run_launcher(tools, site, proxied, installation, run_dir, latest_sha, path=PACK, keep_source=True):
    """kvupdate in a copy of installation (or in it, when keep_source is
    false) through the proxy; checks the pack it installed."""
    if keep_source:
        shutil.rmtree(run_dir, ignore_errors=True)
        subprocess.run(["cp", "-a", installation, run_dir], check=True)
    else:
        os.rename(installation, run_dir)
    install.write_settings(run_dir, proxied)
    result = measured(site, lambda: measure.run_sample([tools.kvupdate], cwd=run_dir))
    installed = os.path.join(run_dir, install.SERVER, path)
    if sha256_of(installed) != latest_sha:
        raise measure.RunFailed("the launcher installed a wrong " + path)
    return result


def run_zsync(site, url, seed, work, latest_sha):
    folder = os.path.join(work, "zsync")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    out = os.path.join(folder, "pack")
    result = measured(site, lambda: measure.run_sample(["zsync", "-q", "-i", seed, "-o", out, url], cwd=folder))
    if sha256_of(out) != latest_sha:
        raise measure.RunFailed("zsync built a wrong pack")
    shutil.rmtree(folder)
    return result
