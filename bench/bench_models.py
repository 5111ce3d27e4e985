"""Speed of the packaging commands' hashing, all measured in one run.

- ``nerov-models verify`` and ``manifest`` hashing one big file (default
  1 GiB), with the progress line off and on, against
  ``hashlib.file_digest(f, "sha256")`` on the same file (at least 95% of its
  throughput);
- how long ``nerov-models verify`` takes to end after SIGINT half a second
  into hashing a sparse 1 TiB file (it could not finish first), with
  standard error a pipe (no progress line) and a terminal (progress line
  on): printed, with no target.

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

from _compiled import MiB, best_each  # noqa: E402
from nerov_tools import models  # noqa: E402

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


def sigint_latency(root, big, terminal):
    """Seconds from SIGINT, sent half a second into the big file's hashing, to the command's exit."""
    master = slave = None
    if terminal:
        master, slave = pty.openpty()
    proc = subprocess.Popen([COMMAND, "verify", root], stdout=subprocess.DEVNULL,
                            stderr=slave if terminal else subprocess.DEVNULL,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        fds = f"/proc/{proc.pid}/fd"
        while proc.poll() is None and not any(os.path.realpath(os.path.join(fds, fd)) == big
                                              for fd in os.listdir(fds)):
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
            with contextlib.redirect_stdout(io.StringIO()):
                assert models.main(["verify", root]) == 0

        file_digest()  # into the page cache
        for label, fn in (("manifest", write_manifest), ("verify", verify)):
            for progress in (False, True):
                with contextlib.redirect_stderr(Terminal() if progress else io.StringIO()) as err:
                    t, reference = best_each([fn, file_digest], args.repeat, timer=time.process_time)
                assert progress or not err.getvalue()
                on = "on" if progress else "off"
                print(f"{label} (progress {on:3s}) {args.big_mib / t:7.0f} MiB/s, "
                      f"hashlib.file_digest {args.big_mib / reference:7.0f} MiB/s")
                results.append(report(f"{label}, progress {on} / file_digest", reference / t, 0.95))

        sparse_root = os.path.join(tmp, "sparse")
        os.makedirs(sparse_root)
        sparse = os.path.join(sparse_root, "vantor_int8.onnx")
        with open(sparse, "wb") as f:
            f.truncate(1 << 40)
        with open(os.path.join(sparse_root, "manifest.json"), "w") as f:
            f.write('{"files": {"vantor_int8.onnx": {"sha256": "%s"}}}' % ("0" * 64))
        for terminal in (False, True):
            latencies = sorted(sigint_latency(sparse_root, sparse, terminal) for _ in range(args.repeat))
            where = "terminal" if terminal else "pipe"
            print(f"SIGINT latency during verify, stderr a {where:8s}: "
                  f"median {latencies[len(latencies) // 2] * 1e3:6.1f} ms, worst {latencies[-1] * 1e3:6.1f} ms")

    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
