"""Full installation of a generated site with the headless updater, beside
curl and wget doing the same downloads; and the start of an update against
an unchanged server, beside two curl requests."""
import json
import os
import shutil
import subprocess
import time

import measure
import profiles
from https_site import Site

SERVER = "eu"


class Tools:
    """The programs of a release build."""

    def __init__(self, bin_dir):
        self.kvupdate = os.path.join(bin_dir, "kvupdate")
        self.kvpublish = os.path.join(bin_dir, "kvpublish")
        self.kvart = os.path.join(bin_dir, "kvart")
        self.kvlauncher = os.path.join(bin_dir, "kvlauncher")
        self.start_check_bench = os.path.join(bin_dir, "kv_start_check_bench")


def publish(tools, client, site_root):
    # kvpublish writes the launcher's own version text to the site.
    subprocess.run([tools.kvpublish, "--server", SERVER, client, site_root],
                   check=True, stdout=subprocess.DEVNULL)


def make_installation(folder, site, server=1, settings=""):
    """An empty launcher folder whose settings point at site; settings adds
    further "key: value" lines."""
    if os.path.exists(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    write_settings(folder, site, server, settings)


def write_settings(folder, site, server=1, settings=""):
    """Points the launcher folder's settings at site."""
    with open(os.path.join(folder, "system.kvml"), "w") as out:
        out.write("siteHost: %s\ncaFile: %s\nserver: %d\n%s" % (site.host, site.ca_file, server, settings))


def sign_site(work, site_root, release=1):
    """Signs the published server's manifests with a fresh minisign key (no
    password), as the minisign program would for an operator; answers the
    path of a trusted-keys file holding its public key."""
    key_dir = os.path.join(work, "signing")
    os.makedirs(key_dir, exist_ok=True)
    public, secret = os.path.join(key_dir, "release.pub"), os.path.join(key_dir, "release.key")
    if not os.path.exists(secret):
        subprocess.run(["minisign", "-G", "-W", "-f", "-p", public, "-s", secret], check=True,
                       stdout=subprocess.DEVNULL)
    expires = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() + 30 * 86400))
    claim = "kvrelease server=%s release=%d expires=%s" % (SERVER, release, expires)
    for name in ("manifest.json", "manifest.php"):
        subprocess.run(["minisign", "-S", "-s", secret, "-m", os.path.join(site_root, "download", SERVER, name),
                        "-t", claim], check=True, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    keys = os.path.join(key_dir, "release_keys")
    with open(public) as pub, open(keys, "w") as out:
        out.write("# the release key of the benchmark site\n" + pub.read().splitlines()[1] + "\n")
    return keys


def published_files(site_root):
    """The manifest paths of the published server, in manifest order."""
    with open(os.path.join(site_root, "download", SERVER, "manifest.json")) as manifest:
        return [entry["path"] for entry in json.load(manifest)]


class Peers:
    """The command lines of the tools people would use instead."""

    def __init__(self, work, site, paths):
        self.work = work
        self.site = site
        self.paths = paths
        self.curl_config = os.path.join(work, "curl.conf")
        self.wget_list = os.path.join(work, "wget.txt")
        base = "download/%s/" % SERVER
        urls = [site.url(base + "manifest.json")] + [site.url(base + p) for p in paths]
        outputs = ["manifest.json"] + paths
        with open(self.curl_config, "w") as conf:
            for url, output in zip(urls, outputs):
                conf.write('url = "%s"\noutput = "%s"\n' % (url, output))
        with open(self.wget_list, "w") as listing:
            listing.write("\n".join(urls) + "\n")

    def curl(self):
        # One process, every URL in turn over one kept-alive connection.
        return ["curl", "-s", "-S", "--fail", "--cacert", self.site.ca_file, "--create-dirs", "-K", self.curl_config]

    def wget(self):
        return ["wget", "-q", "--ca-certificate=" + self.site.ca_file, "-x", "-nH", "--cut-dirs=2", "-i",
                self.wget_list]

    def unzip(self, archive):
        return ["unzip", "-o", "-q", archive, "-d", "."]


def _fresh(folder):
    if os.path.exists(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)


def measure_install(profile, tools, work, runs, log, signed=False):
    """Measures one profile; answers a result dict for the report. signed:
    the launcher also installs from the site signed, with its key trusted
    (every file hashed while it streams and held against the manifest)."""
    client = os.path.join(work, "client")
    site_root = os.path.join(work, "site")
    log("%s: generating the client folder" % profile)
    profiles.make_client(profile, client, tools.kvart)
    expected = profiles.expected_tree(client)
    log("%s: publishing it" % profile)
    publish(tools, client, site_root)
    shutil.rmtree(client)
    paths = published_files(site_root)
    download_bytes = sum(os.path.getsize(os.path.join(site_root, "download", SERVER, p)) for p in paths)
    archive = profiles.CLIENT_ARCHIVE if profiles.CLIENT_ARCHIVE in paths else None
    release_keys = sign_site(work, site_root) if signed else None

    with Site(os.path.join(work, "state"), site_root) as site:
        peers = Peers(work, site, paths)
        launcher_dir = os.path.join(work, "launcher")
        curl_dir = os.path.join(work, "curl")
        wget_dir = os.path.join(work, "wget")

        def run_launcher():
            make_installation(launcher_dir, site)
            return measure.run_sample([tools.kvupdate], cwd=launcher_dir)

        signed_dir = os.path.join(work, "launcher-signed")

        def run_signed():
            make_installation(signed_dir, site)
            shutil.copy(release_keys, os.path.join(signed_dir, "release_keys"))
            return measure.run_sample([tools.kvupdate], cwd=signed_dir)

        def run_curl():
            _fresh(curl_dir)
            sample = measure.run_sample(peers.curl(), cwd=curl_dir)
            if archive:
                sample = _then_unzip(sample, curl_dir)
            return sample

        def run_wget():
            _fresh(wget_dir)
            sample = measure.run_sample(peers.wget(), cwd=wget_dir)
            if archive:
                sample = _then_unzip(sample, wget_dir)
            return sample

        def _then_unzip(sample, folder):
            unzip = measure.run_sequence([peers.unzip(archive), ["rm", "-f", archive]], cwd=folder)
            return measure.Sample(sample.wall + unzip.wall, sample.cpu + unzip.cpu,
                                  max(sample.peak_rss_kib, unzip.peak_rss_kib))

        contenders = [("launcher", run_launcher, os.path.join(launcher_dir, SERVER)),
                      ("curl", run_curl, curl_dir), ("wget", run_wget, wget_dir)]
        if signed:
            contenders.insert(1, ("signed", run_signed, os.path.join(signed_dir, SERVER)))
        series = {name: measure.Series(name) for name, _, _ in contenders}
        log("%s: warm-up run of each tool (checked against the client folder)" % profile)
        for name, run, folder in contenders:
            run()
            problem = profiles.check_tree(folder, expected)
            if problem:
                raise measure.RunFailed("%s installed a wrong tree: %s" % (name, problem))
        for round_index in range(runs):
            log("%s: timed round %d of %d" % (profile, round_index + 1, runs))
            for name, run, _ in contenders:
                series[name].add(run())
        for folder in (launcher_dir, signed_dir, curl_dir, wget_dir):
            shutil.rmtree(folder, ignore_errors=True)
    shutil.rmtree(site_root, ignore_errors=True)
    return {
        "profile": profile,
        "files": len(paths),
        "download_bytes": download_bytes,
        "archive": archive,
        "series": series,
        "commands": {
            "launcher": "kvupdate (in a fresh folder holding only system.kvml)",
            "signed": "kvupdate (in a fresh folder holding system.kvml and release_keys; the site's manifests "
                      "signed with minisign -S)",
            "curl": "curl -s -S --fail --cacert ca.pem --create-dirs -K curl.conf (url/output pairs of manifest.json "
                    "and every file)" + ("; then unzip -o -q %s -d . && rm %s" % (archive, archive) if archive else ""),
            "wget": "wget -q --ca-certificate=ca.pem -x -nH --cut-dirs=2 -i urls.txt" +
                    ("; then unzip -o -q %s -d . && rm %s" % (archive, archive) if archive else ""),
        },
    }


def prepare_tiny(tools, work):
    """Publishes the tiny client into work/site; answers the site root."""
    client = os.path.join(work, "client")
    site_root = os.path.join(work, "site")
    profiles.make_client("tiny", client, tools.kvart)
    publish(tools, client, site_root)
    shutil.rmtree(client)
    return site_root


def install_once(tools, site, folder):
    """A complete installation of site's client in folder, by the headless
    updater."""
    make_installation(folder, site)
    measure.run_sample([tools.kvupdate], cwd=folder)


def measure_unchanged(tools, site, install, runs, log):
    """Start of an update run against an unchanged server: the headless
    updater in the complete installation install, beside two curl requests
    of the same URLs. Answers a result dict."""
    urls = [site.url("download/updater.php"), site.url("download/%s/manifest.php" % SERVER)]
    curl_one = ["curl", "-s", "--cacert", site.ca_file, "-o", "/dev/null", urls[0], "-o", "/dev/null", urls[1]]
    curl_two = [["curl", "-s", "--cacert", site.ca_file, "-o", "/dev/null", u] for u in urls]
    series = {"launcher": measure.Series("launcher"), "curl": measure.Series("curl"),
              "curl2": measure.Series("curl2")}
    requests = []
    log("unchanged server: warm-up and %d timed rounds" % runs)
    measure.run_sample([tools.kvupdate], cwd=install)
    measure.run_sample(curl_one)
    for _ in range(runs):
        offset = site.log_size()
        series["launcher"].add(measure.run_sample([tools.kvupdate], cwd=install))
        requests.append(site.requests_since(offset))
        series["curl"].add(measure.run_sample(curl_one))
        series["curl2"].add(measure.run_sequence(curl_two))
    return {"series": series, "requests": requests, "urls": urls}
