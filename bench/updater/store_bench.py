"""Publishing into an object store: `kvpublish --to s3://` beside
`aws s3 cp --recursive` (botocore from the machine's Python) against the same
moto S3 server, which checks every signature, in the same run."""
import os
import re
import shutil
import subprocess

import measure
import profiles

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MOTO_SCRIPT = os.path.join(SOURCE_DIR, "tests", "fixtures", "moto_store.py")
CHANGED_SHARE = 0.01


class Store:
    """The moto store for as long as the object is used in a with block."""

    def __init__(self, state):
        os.makedirs(state, exist_ok=True)
        self.state = state
        self.process = subprocess.Popen(["python3", MOTO_SCRIPT, "--state", state], stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)
        self.port = None
        for line in self.process.stdout:
            if line.startswith("PORT "):
                self.port = int(line.split()[1])
            if line.startswith("KEYS "):
                self.access, self.secret = line.split()[1:3]
                break
        if self.port is None:
            self.process.kill()
            raise measure.RunFailed("the moto S3 server did not start (scripts/install-deps says what is missing)")
        self.env = dict(os.environ, AWS_ACCESS_KEY_ID=self.access, AWS_SECRET_ACCESS_KEY=self.secret,
                        AWS_ENDPOINT_URL="http://127.0.0.1:%d" % self.port, AWS_REGION="us-east-1",
                        AWS_DEFAULT_REGION="us-east-1")
        self.env.pop("AWS_SESSION_TOKEN", None)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    def log_lines(self):
        with open(os.path.join(self.state, "requests.log"), errors="replace") as log:
            return [re.sub(r"\x1b\[[0-9;]*m", "", line) for line in log if '"' in line]

    def remove(self, prefix):
        """Removes the objects below prefix. The store refuses a signed
        listing whose query holds "/", so the bucket is listed from its start
        (first page only, again until nothing is left below prefix)."""
        import boto3
        s3 = boto3.client("s3", endpoint_url=self.env["AWS_ENDPOINT_URL"], region_name="us-east-1",
                          aws_access_key_id=self.access, aws_secret_access_key=self.secret)
        for _ in range(100000):
            keys = [o["Key"] for o in s3.list_objects_v2(Bucket="site", MaxKeys=1000).get("Contents", [])
                    if o["Key"].startswith(prefix + "/")]
            if not keys:
                return
            s3.delete_objects(Bucket="site", Delete={"Objects": [{"Key": k} for k in keys]})


def _requests(lines):
    """(method, path) of each logged request."""
    out = []
    for line in lines:
        request = line.split('"')[1].split(" ")
        out.append((request[0], request[1]))
    return out


def _change_files(client, share):
    """Rewrites share of the client's files (every n-th in path order) with
    other bytes of the same size; answers their count and bytes."""
    paths = sorted(os.path.join(folder, name) for folder, _, names in os.walk(client) for name in names)
    step = max(1, int(round(1 / share)))
    changed = paths[::step]
    total = 0
    for path in changed:
        size = os.path.getsize(path)
        with open(path, "wb") as out:
            out.write(os.urandom(size))
        total += size
    return len(changed), total, len(paths), sum(os.path.getsize(p) for p in paths)


def measure_store(kvpublish, work, runs, log):
    large = os.path.join(work, "large")
    profiles.make_client("large", large)
    size = sum(os.path.getsize(os.path.join(f, n)) for f, _, names in os.walk(large) for n in names)
    result = {"bytes": size, "runs": runs}
    with Store(os.path.join(work, "moto")) as store:
        ours, theirs = measure.Series("kvpublish"), measure.Series("aws")
        for run in range(runs + 1):
            for series, prefix, command in (
                    (ours, "kv%d" % run, [kvpublish, "--server", "eu", "--to", "s3://site/kv%d" % run, large]),
                    (theirs, "aws%d" % run, ["aws", "s3", "cp", "--recursive", "--quiet", "--only-show-errors",
                                             large, "s3://site/aws%d/download/eu" % run])):
                log("store: " + " ".join(command[-3:]))
                sample = measure.run_sample(command, env=store.env)
                if run > 0:  # the first run of each warms up
                    series.add(sample)
                store.remove(prefix)
        result["first"] = (ours, theirs)
        result["first_commands"] = ("kvpublish --server eu --to s3://site/PREFIX CLIENT",
                                    "aws s3 cp --recursive --quiet CLIENT s3://site/PREFIX/download/eu")

        mixed = os.path.join(work, "mixed")
        profiles.make_client("mixed", mixed)
        subprocess.run([kvpublish, "--server", "eu", "--to", "s3://site/mixed", mixed], env=store.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        count, changed_bytes, files, total = _change_files(mixed, CHANGED_SHARE)
        before = len(store.log_lines())
        done = subprocess.run([kvpublish, "--server", "eu", "--to", "s3://site/mixed", mixed], env=store.env,
                              check=True, capture_output=True, text=True)
        requests = _requests(store.log_lines()[before:])
        copied = re.search(r"(\d+) copied \(([^)]*)\)", done.stdout)
        listings = [p for m, p in requests if m == "GET" and "list-type=" in p]
        manifests = [p for m, p in requests
                     if p.endswith(("/download/eu/manifest.json", "/download/eu/manifest.php", "/download/updater.php"))]
        reads = [p for m, p in requests if m == "GET" and p not in listings and p not in manifests]
        uploaded = sum(os.path.getsize(os.path.join(mixed, p.split("/download/eu/", 1)[1]))
                       for m, p in requests if m == "PUT" and "/download/eu/" in p and "?" not in p
                       and not p.endswith(("/manifest.json", "/manifest.php")))
        result["republish"] = {"files": files, "bytes": total, "changed": count, "changed_bytes": changed_bytes,
                               "requests": len(requests), "reads": len(reads), "uploaded_bytes": uploaded,
                               "listings": len(listings), "manifest_requests": len(manifests),
                               "summary": copied.group(0) if copied else "?",
                               "by_method": {m: sum(1 for r in requests if r[0] == m) for m in
                                             sorted({r[0] for r in requests})}}
    shutil.rmtree(large, ignore_errors=True)
    shutil.rmtree(mixed, ignore_errors=True)
    return result
