"""Speed of the packaging commands' hashing, all measured in one run.

- ``nerov-models verify`` and ``manifest`` hashing one big file (default
  1 GiB), with the progress line off and on, against
  ``hashlib.file_digest(f, "sha256")`` on the same file (at least 95% of its
  throughput);
- how long ``nerov-models verify`` of that file takes to end after SIGINT,
  with standard error a pipe (no progress line) and a terminal (progress
  line on): printed, with no target.

Every throughput is the best of several repeats, measured alternately with
the baseline, in CPU time of this process (user and system): hashing is
one thread's work on a file in the page cache, and the wall time of either
side swings by a tenth with whatever else the shared machine runs. Prints
one line per figure.

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

from bench_artifax import MiB, report  # noqa: E402
from nerov_tools import models  # noqa: E402

COMMAND = os.path.join(os.path.dirname(sys.executable), "nerov-models")


class Terminal(io.StringIO):
    """Standard error that says it is a terminal: the progress line is drawn into it."""

    def isatty(self):
        return True


@contextlib.contextmanager
def stderr_as(stream):
    saved, sys.stderr = sys.stderr, stream
    try:
        yield stream
    finally:
        sys.stderr = saved


def best_pair_cpu(first, second, repeat):
    """Least CPU time of each, measured alternately."""
    times = ([], [])
    for _ in range(repeat):
        for fn, taken in zip((first, second), times):
            start = time.process_time()
            fn()
            taken.append(time.process_time() - start)
    return min(times[0]), min(times[1])


def sigint_latency(root, big, terminal):
    """Seconds from SIGINT, sent half a second into the big file's hashing, to the command's exit."""
    master = slave = None
    if terminal:
        master, slave = pty.openpty()
    proc = subprocess.Popen([COMMAND, "verify", root], stdout=subprocess.DEVNULL,
                            stderr=slave if terminal else subprocess.DEVNULL)
    try:
        fds = f"/proc/{proc.pid}/fd"
        while not any(os.path.realpath(os.path.join(fds, fd)) == big for fd in os.listdir(fds)):
            time.sleep(0.005)
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        sent = time.monotonic()
        status = proc.wait()
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

    with tempfile.TemporaryDirectory() as tmp:
        root = os.path.join(tmp, "models")
        os.makedirs(root)
        big = os.path.join(root, "vantor_int8.onnx")
        with open(big, "wb") as f:
            for _ in range(args.big_mib):
                f.write(os.urandom(MiB))

        def file_digest():
            with open(big, "rb") as fh:
                return hashlib.file_digest(fh, "sha256").hexdigest()

        def write_manifest():
            with contextlib.redirect_stdout(io.StringIO()):
                assert models.main(["manifest", root]) == 0

        def verify():
            assert models._verify(root)["result"] == "ok"

        file_digest()  # into the page cache
        for label, fn in (("manifest", write_manifest), ("verify", verify)):
            for progress in (False, True):
                with stderr_as(Terminal() if progress else io.StringIO()) as err:
                    t, reference = best_pair_cpu(fn, file_digest, args.repeat)
                assert progress or not err.getvalue()
                on = "on" if progress else "off"
                print(f"{label} (progress {on:3s}) {args.big_mib / t:7.0f} MiB/s, "
                      f"hashlib.file_digest {args.big_mib / reference:7.0f} MiB/s")
                results.append(report(f"{label}, progress {on} / file_digest", reference / t, 0.95, False))

        for terminal in (False, True):
            latencies = sorted(sigint_latency(root, big, terminal) for _ in range(args.repeat))
            where = "terminal" if terminal else "pipe"
            print(f"SIGINT latency during verify, stderr a {where:8s}: "
                  f"median {latencies[len(latencies) // 2] * 1e3:6.1f} ms, worst {latencies[-1] * 1e3:6.1f} ms")

    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
