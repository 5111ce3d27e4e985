"""Speed of the packaging commands' hashing, all measured in one run.

- ``nerov-models verify`` and ``manifest`` on a root of four 512 MiB files
  with the default ``--jobs``, against a one-thread loop of
  ``hashlib.file_digest(f, "sha256")`` over the same files (at least 1.8
  times its throughput on two cores; two is the limit there);
- both on one big file (default 1 GiB), with the progress line off and on,
  against ``file_digest`` on that file (at least 97% of its throughput);
- both on 10,000 files of 4 KiB, against the one-thread ``file_digest`` loop
  (at least as many files per second);
- how long ``nerov-models verify --jobs 2`` takes to end after SIGINT half a
  second into hashing two sparse 1 TiB files (it could not finish first),
  with standard error a pipe (no progress line) and a terminal (progress
  line on): printed, with no target.

Each figure is the best of several repeats, measured alternately with its
baseline. The many-file figures are wall time (the command hashes on several
threads); the one-file figures are CPU time of this process (user and
system), since hashing one file is one thread's work and the wall time of
either side swings by a tenth with whatever else the shared machine runs.
The files live in a temporary directory, removed at the end. Prints one line
per figure.

    python bench/bench_models.py [--repeat N] [--big-mib N]
"""

import argparse
import contextlib
import hashlib
import io
import os
import pty
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from _compiled import MiB, best_each  # noqa: E402
from nerov_tools import _modelfiles, models  # noqa: E402

COMMAND = os.path.join(os.path.dirname(sys.executable), "nerov-models")


class Terminal(io.StringIO):
    """Standard error that says it is a terminal: the progress line is drawn into it."""

    def isatty(self):
        return True


def report(label, ratio, limit):
    """Prints a throughput ratio (higher is faster) and whether it reaches ``limit``."""
    met = ratio >= limit
    print(f"    {label} {ratio:.3f}    target >= {limit:.2f}: {'ok' if met else 'MISSED'}")
    return met


def make_root(root, count, size, chunk=MiB):
    os.makedirs(root)
    paths = []
    for i in range(count):
        paths.append(os.path.join(root, f"part-{i:05}.bin"))
        with open(paths[-1], "wb") as f:
            for done in range(0, size, chunk):
                f.write(os.urandom(min(chunk, size - done)))
    return paths


def digest_loop(paths):
    """The baseline: each file through ``hashlib.file_digest``, one after another, on one thread."""
    def run():
        for path in paths:
            with open(path, "rb") as f:
                hashlib.file_digest(f, "sha256").hexdigest()
    return run


def command(*argv):
    def run():
        with contextlib.redirect_stdout(io.StringIO()):
            assert models.main(list(argv)) == 0
    return run


def compare(label, root, paths, repeat, timer, limit, unit=None):
    """Times ``manifest`` and ``verify`` on ``root`` against the file_digest loop; True when both reach ``limit``."""
    baseline = digest_loop(paths)
    baseline()  # into the page cache
    command("manifest", root)()
    met = []
    for name in ("manifest", "verify"):
        t, reference = best_each([command(name, root), baseline], repeat, timer=timer)
        per = (f"{len(paths) / t:9,.0f} files/s, file_digest loop {len(paths) / reference:9,.0f} files/s"
               if unit == "files" else
               f"{sum(map(os.path.getsize, paths)) / MiB / t:7.0f} MiB/s, "
               f"file_digest loop {sum(map(os.path.getsize, paths)) / MiB / reference:7.0f} MiB/s")
        print(f"{name} {label}: {per}")
        met.append(report(f"{name}, {label} / file_digest loop", reference / t, limit))
    return all(met)


def sigint_latency(root, watched, terminal):
    """Seconds from SIGINT, sent half a second after every ``watched`` file is open, to the command's exit."""
    master = slave = None
    if terminal:
        master, slave = pty.openpty()
    proc = subprocess.Popen([COMMAND, "verify", "--jobs", "2", root], stdout=subprocess.DEVNULL,
                            stderr=slave if terminal else subprocess.DEVNULL,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        fds = f"/proc/{proc.pid}/fd"
        while proc.poll() is None and not watched <= {os.path.realpath(os.path.join(fds, fd))
                                                      for fd in os.listdir(fds)}:
            time.sleep(0.005)
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        sent = time.monotonic()
        status = proc.wait(timeout=60)
        elapsed = time.monotonic() - sent
    finally:
        proc.kill()
        for fd in (master, slave):
            if fd is not None:
                os.close(fd)
    assert status == 130, status
    return elapsed


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--big-mib", type=int, default=1024)
    args = parser.parse_args(argv)
    results = []
    # The threads' gain needs idle cores: the load shows how many the machine had.
    print(f"default --jobs: {_modelfiles.default_jobs()}, load average {os.getloadavg()[0]:.1f}")

    with tempfile.TemporaryDirectory() as tmp:
        root = os.path.join(tmp, "four")
        paths = make_root(root, 4, 512 * MiB)
        results.append(compare("4 x 512 MiB", root, paths, args.repeat, time.perf_counter, 1.8))
        for path in paths:
            os.remove(path)

        root = os.path.join(tmp, "small")
        paths = make_root(root, 10_000, 4096)
        results.append(compare("10,000 x 4 KiB", root, paths, args.repeat, time.perf_counter, 1.0, "files"))

        root = os.path.join(tmp, "big")
        [big] = make_root(root, 1, args.big_mib * MiB)
        file_digest = digest_loop([big])
        file_digest()
        command("manifest", root)()
        for name in ("manifest", "verify"):
            for progress in (False, True):
                with contextlib.redirect_stderr(Terminal() if progress else io.StringIO()) as err:
                    t, reference = best_each([command(name, root), file_digest], args.repeat,
                                             timer=time.process_time)
                assert progress or not err.getvalue()
                on = "on" if progress else "off"
                print(f"{name} one file (progress {on:3s}) {args.big_mib / t:7.0f} MiB/s, "
                      f"hashlib.file_digest {args.big_mib / reference:7.0f} MiB/s")
                results.append(report(f"{name}, one file, progress {on} / file_digest", reference / t, 0.97))
        os.remove(big)

        sparse_root = os.path.join(tmp, "sparse")
        os.makedirs(sparse_root)
        sparse = {os.path.join(sparse_root, name) for name in ("a.onnx", "b.onnx")}
        for path in sparse:
            with open(path, "wb") as f:
                f.truncate(1 << 40)
        with open(os.path.join(sparse_root, "manifest.json"), "w") as f:
            f.write('{"files": {"a.onnx": {"sha256": "%s"}, "b.onnx": {"sha256": "%s"}}}' % ("0" * 64, "0" * 64))
        for terminal in (False, True):
            latencies = sorted(sigint_latency(sparse_root, sparse, terminal) for _ in range(args.repeat))
            where = "terminal" if terminal else "pipe"
            print(f"SIGINT latency during verify --jobs 2, stderr a {where:8s}: "
                  f"median {latencies[len(latencies) // 2] * 1e3:6.1f} ms, worst {latencies[-1] * 1e3:6.1f} ms")

    print(f"load average at the end {os.getloadavg()[0]:.1f}")
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
