"""Full installation over an emulated wide-area link: the headless updater
beside curl (parallel over HTTP/2, and sequential), aria2c and unzip, all
through the loopback delay proxy, against nginx with HTTP/2 offered and with
HTTP/1.1 only."""
import os
import shutil
import subprocess

import install
import measure
import profiles
from https_site import Site

PROXY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "delay_proxy.py")
ONE_WAY_MS = 25


class DelayProxy:
    """delay_proxy.py in front of site's port."""

    def __init__(self, target_port, one_way_ms, mbit=0):
        self.child = subprocess.Popen(["python3", PROXY, "--target-port", str(target_port), "--one-way-ms",
                                       str(one_way_ms), "--mbit", str(mbit)], stdout=subprocess.PIPE, text=True)
        line = self.child.stdout.readline()
        if not line.startswith("PORT "):
            self.stop()
            raise measure.RunFailed("the delay proxy did not start: " + line)
        self.port = int(line.split()[1])

    def stop(self):
        if self.child.poll() is None:
            self.child.terminate()
            self.child.wait()


class ProxiedSite:
    """What the launcher and the peers need of a site, seen through the
    proxy."""

    def __init__(self, site, port):
        self.ca_file = site.ca_file
        self.host = "127.0.0.1:%d" % port

    def url(self, path):
        return "https://%s/%s" % (self.host, path.lstrip("/"))


def _fresh(folder):
    if os.path.exists(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)


def measure_wan(profile, tools, work, runs, log):
    """Measures profile over the delay proxy against both sites; answers a
    result dict for the report."""
    client = os.path.join(work, "client")
    site_root = os.path.join(work, "site")
    log("wan %s: generating and publishing the client folder" % profile)
    profiles.make_client(profile, client, tools.kvart)
    expected = profiles.expected_tree(client)
    install.publish(tools, client, site_root)
    shutil.rmtree(client)
    paths = install.published_files(site_root)
    archive = profiles.CLIENT_ARCHIVE if profiles.CLIENT_ARCHIVE in paths else None
    download_bytes = sum(os.path.getsize(os.path.join(site_root, "download", install.SERVER, p)) for p in paths)
    results = {}
    for http2 in (True, False):
        name = "HTTP/2" if http2 else "HTTP/1.1"
        with Site(os.path.join(work, "state-h%d" % (2 if http2 else 1)), site_root, http2=http2) as site:
            proxy = DelayProxy(site.port, ONE_WAY_MS)
            try:
                results[name] = _measure_site(ProxiedSite(site, proxy.port), tools, work, paths, archive,
                                              expected, runs, lambda text: log("wan %s, %s: %s" % (profile, name,
                                                                                                text)))
            finally:
                proxy.stop()
    shutil.rmtree(site_root, ignore_errors=True)
    return {"profile": profile, "files": len(paths), "download_bytes": download_bytes, "archive": archive,
            "sites": results}


def _measure_site(site, tools, work, paths, archive, expected, runs, log):
    peers = install.Peers(work, site, paths)
    aria_list = os.path.join(work, "aria2.txt")
    base = "download/%s/" % install.SERVER
    with open(aria_list, "w") as listing:
        for path in ["manifest.json"] + paths:
            listing.write("%s\n  out=%s\n" % (site.url(base + path), path))
    folders = {name: os.path.join(work, name) for name in ("launcher", "launcher16", "parallel", "aria2",
                                                           "sequential")}

    def then_unzip(sample, folder):
        if not archive:
            return sample
        unzip = measure.run_sequence([peers.unzip(archive), ["rm", "-f", archive]], cwd=folder)
        return measure.Sample(sample.wall + unzip.wall, sample.cpu + unzip.cpu,
                              max(sample.peak_rss_kib, unzip.peak_rss_kib))

    def run_launcher():
        install.make_installation(folders["launcher"], site)
        return measure.run_sample([tools.kvupdate], cwd=folders["launcher"])

    # The same with as many connections as aria2c opens.
    def run_launcher16():
        install.make_installation(folders["launcher16"], site, settings="downloadConnections: 16\n")
        return measure.run_sample([tools.kvupdate], cwd=folders["launcher16"])

    def run_parallel():
        _fresh(folders["parallel"])
        command = peers.curl()[:-2] + ["--parallel", "--parallel-max", "64", "--http2", "-K", peers.curl_config]
        return then_unzip(measure.run_sample(command, cwd=folders["parallel"]), folders["parallel"])

    def run_aria2():
        _fresh(folders["aria2"])
        command = ["aria2c", "-q", "-j16", "--ca-certificate=" + site.ca_file, "--auto-file-renaming=false",
                   "--allow-overwrite=true", "-d", folders["aria2"], "-i", aria_list]
        return then_unzip(measure.run_sample(command, cwd=folders["aria2"]), folders["aria2"])

    def run_sequential():
        _fresh(folders["sequential"])
        return then_unzip(measure.run_sample(peers.curl(), cwd=folders["sequential"]), folders["sequential"])

    contenders = [("launcher", run_launcher), ("launcher16", run_launcher16), ("parallel", run_parallel),
                  ("aria2", run_aria2), ("sequential", run_sequential)]
    series = {name: measure.Series(name) for name, _ in contenders}
    log("warm-up run of the launcher and curl --parallel (checked against the client folder)")
    for name, run, folder in (("launcher", run_launcher, os.path.join(folders["launcher"], install.SERVER)),
                              ("parallel", run_parallel, folders["parallel"])):
        run()
        problem = profiles.check_tree(folder, expected)
        if problem:
            raise measure.RunFailed("%s installed a wrong tree: %s" % (name, problem))
    for round_index in range(runs):
        log("timed round %d of %d" % (round_index + 1, runs))
        for name, run in contenders:
            # Sequential curl costs a round trip per file: timed once.
            if name == "sequential" and round_index > 0:
                continue
            series[name].add(run())
    for folder in folders.values():
        shutil.rmtree(folder, ignore_errors=True)
    return series
