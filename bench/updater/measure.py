"""Timing and statistics shared by the benchmark scripts."""
import os
import statistics
import subprocess
import tempfile
import time


class RunFailed(Exception):
    """A measured command ended with a non-zero status."""


class Sample:
    """One run of a command: wall time, CPU time (user + system) and peak
    resident memory as /usr/bin/time reports them."""

    def __init__(self, wall, cpu, peak_rss_kib):
        self.wall = wall
        self.cpu = cpu
        self.peak_rss_kib = peak_rss_kib


def run_sample(command, cwd=None, env=None, timeout=3600):
    """Runs command once under /usr/bin/time (killed after timeout seconds)
    and measures it; RunFailed when it fails."""
    os.sync()
    # What the command prints is kept only to explain a failure.
    with tempfile.NamedTemporaryFile(prefix="kv-bench-time-") as usage, tempfile.TemporaryFile() as err:
        timed = ["/usr/bin/time", "-f", "%U %S %M", "-o", usage.name] + list(command)
        start = time.perf_counter()
        child = subprocess.Popen(timed, cwd=cwd, env=env, stdout=err, stderr=err)
        try:
            child.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
            raise RunFailed("timed out after %d s: %s" % (timeout, " ".join(command)))
        wall = time.perf_counter() - start
        if child.returncode != 0:
            err.seek(0)
            text = err.read().decode(errors="replace")[-2000:]
            raise RunFailed("exit %d: %s\n%s" % (child.returncode, " ".join(command), text))
        fields = open(usage.name).read().split()
    return Sample(wall, float(fields[-3]) + float(fields[-2]), int(fields[-1]))


def run_sequence(commands, cwd=None, env=None):
    """Runs commands one after the other as one measured unit: wall times and
    CPU times add up, peak memory is the largest."""
    samples = [run_sample(c, cwd=cwd, env=env) for c in commands]
    return Sample(sum(s.wall for s in samples), sum(s.cpu for s in samples),
                  max(s.peak_rss_kib for s in samples))


class Series:
    """The samples of one command over all timed runs."""

    def __init__(self, label):
        self.label = label
        self.samples = []

    def add(self, sample):
        self.samples.append(sample)

    def values(self, field):
        return [getattr(s, field) for s in self.samples]

    def median(self, field="wall"):
        return statistics.median(self.values(field))

    def low(self, field="wall"):
        return min(self.values(field))

    def high(self, field="wall"):
        return max(self.values(field))


def seconds(value):
    if value < 0.1:
        return "%.1f ms" % (value * 1000)
    return "%.3f s" % value


def spread(series, field="wall"):
    """median (min–max) of a series as text."""
    return "%s (%s – %s)" % (seconds(series.median(field)), seconds(series.low(field)), seconds(series.high(field)))


def mib(kib):
    return "%.1f MiB" % (kib / 1024.0)
