"""``nerov-models``: the model files' status report, and their manifests for packagers.

With no subcommand it prints the model resolution status report. The
subcommands write, verify and inspect the ``manifest.json`` of a model root:

* ``manifest DIR [--version V]`` writes ``DIR/manifest.json``;
* ``verify [ROOT ...]`` checks roots against their manifests, strictly;
* ``list [ROOT]`` shows the candidate roots, or one root's manifest entries.

``manifest`` writes what the resolver's ``write_manifest`` writes for the
same tree, byte for byte, but fails where that would leave a file out
unsaid. ``verify`` is stricter than the resolver's advisory check, which
only looks at the listed files that are present: every listed file must be
there, be a regular file inside the root and match, and extra files are
shown. Both hash on several threads (``_modelfiles``).
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import json
import logging
import os
import signal
import stat
import sys
import threading
import time
from collections.abc import Callable, Iterator
from types import FrameType, ModuleType
from typing import Any

from . import _cli, _modelfiles, _progress
from ._modelfiles import MANIFEST, STATES
from ._progress import size

PROG = "nerov-models"
DIGEST_SHOWN = 12  # hex digits of a digest that `list` shows
JSON_SCHEMA = 1  # of the document `verify --json` prints
MAX_JOBS = 64  # each hashing thread holds a block of 1 MiB

# The resolver, imported when the command starts, so that a broken install is
# reported as one (status 3) and not as a failed check.
artifax: ModuleType

# What `verify` says of a root.
OK, FAILED, NO_MANIFEST, CORRUPT = "ok", "failed", "no manifest", "corrupt manifest"

STATUSES = (
    (_cli.EXIT_OK, "success; verify: every root checked is ok"),
    (_cli.EXIT_BLOCKED, "verify: a finding (a file not ok, a root without a manifest or with a corrupt one, "
                        "extra files with --strict); list: a corrupt manifest"),
)
NOTES = """\
With no command, prints the model resolution status report.

A packager's session:
  nerov-models manifest path/to/models --version 1.0.2
  nerov-models verify --strict path/to/models

On a terminal, the status report, manifest and verify show a progress line
on standard error."""


def _show(name: str) -> str:
    """A path as printed: as it is, or, when it holds a character that does
    not print (a line break, a byte that is not UTF-8) or a backslash, as a
    quoted literal with escapes."""
    return name if name.isprintable() and "\\" not in name else repr(name)


def _files(count: int) -> str:
    return f"{count} file" if count == 1 else f"{count} files"


def _directory(path: str) -> str:
    """``path`` when it is a directory that can be listed; otherwise a ``CliError`` saying why."""
    try:
        with os.scandir(path):
            pass
    except FileNotFoundError:
        raise _cli.CliError(f"{path}: no such directory") from None
    except NotADirectoryError:
        raise _cli.CliError(f"{path}: not a directory") from None
    except OSError as exc:
        raise _cli.CliError(f"{path}: cannot read: {_cli.reason(exc)}") from None
    return path


def _read_manifest(root: str) -> _modelfiles.Manifest | None:
    """The manifest of ``root`` (None when it has none); ``CorruptManifest``
    when it is corrupt; a ``CliError`` when it cannot be read."""
    try:
        return _modelfiles.read_manifest(root)
    except OSError as exc:
        raise _cli.CliError(f"{os.path.join(root, MANIFEST)}: cannot read: {_cli.reason(exc)}") from None


def _candidates() -> tuple[list[dict[str, Any]], str | None]:
    """The candidate core roots in resolution order, and the one the resolver
    chooses among them: the first that holds the core marker."""
    roots = list(artifax._iter_core_roots())
    listed = [{"root": root, "exists": os.path.isdir(root),
               "core_marker": bool(artifax._has_file(root, artifax._CORE_MARKER)), "chosen": False}
              for root in roots]
    chosen = next((c for c in listed if c["core_marker"]), None)
    if chosen is None:
        return listed, None
    chosen["chosen"] = True
    return listed, str(chosen["root"])


# ---------------------------------------------------------------------------
# manifest


def _manifest(args: argparse.Namespace) -> int:
    directory = _directory(args.dir)
    found = _modelfiles.walk(directory, _modelfiles.Excluded(args.exclude))
    problems = [f"cannot read {path}: {_cli.reason(exc)}" for _, path, exc in found.unreadable]
    if not problems:
        hashed = _modelfiles.hash_files(found.files, args.jobs, progress=not args.quiet)
        problems = [("cannot read " if h.state == _modelfiles.UNREADABLE else "") + f"{f.path}: {h.reason}"
                    for f, h in zip(found.files, hashed) if h.digest is None]
    if problems:  # nothing is written; the old manifest stays
        more = f" (and {len(problems) - 1} more)" if len(problems) > 1 else ""
        raise _cli.CliError(problems[0] + more)
    text = _modelfiles.manifest_text(args.version, found.files, hashed)
    try:
        dest = _modelfiles.write_manifest(directory, text)
    except OSError as exc:
        raise _cli.CliError(f"cannot write {os.path.join(directory, MANIFEST)}: {_cli.reason(exc)}") from None
    total = sum(h.size or 0 for h in hashed)
    _cli.emit(f"wrote {dest}: {_files(len(found.files))}, {size(total)} ({total:,} bytes)")
    return _cli.EXIT_OK


# ---------------------------------------------------------------------------
# verify


def _verify(root: str, args: argparse.Namespace) -> dict[str, Any]:
    """The finding for one root: ``root``, ``status``, ``counts`` of each
    state and the ``files`` records (see ``_modelfiles.verify``)."""
    result: dict[str, Any] = {"root": root, "status": OK, "counts": dict.fromkeys(STATES, 0), "files": []}
    try:
        manifest = _read_manifest(root)
    except _modelfiles.CorruptManifest as exc:
        result.update(status=CORRUPT, reason=str(exc))
        return result
    if manifest is None:
        result["status"] = NO_MANIFEST
        return result
    records = _modelfiles.verify(root, manifest, jobs=args.jobs, progress=not args.quiet,
                                 excluded=_modelfiles.Excluded(args.exclude))
    counts = collections.Counter(record["state"] for record in records)
    result["counts"].update(counts)
    result["files"] = records
    failing = set(STATES) - {_modelfiles.OK, _modelfiles.EXTRA}
    if args.ignore_missing:
        failing.discard(_modelfiles.MISSING)
    if args.strict:
        failing.add(_modelfiles.EXTRA)
    listed = sum(1 for record in records if record["state"] != _modelfiles.EXTRA)
    none_present = args.ignore_missing and listed and counts[_modelfiles.MISSING] == listed
    if none_present or any(counts[state] for state in failing):
        result["status"] = FAILED
    return result


def _report(result: dict[str, Any]) -> None:
    """The text report of a root: its status, then each finding with its state, in manifest order."""
    root, status = _show(result["root"]), result["status"]
    if "reason" in result:
        _cli.emit(f"{root}: {status}: {result['reason']}")
        return
    counts = ", ".join(f"{n} {state}" for state, n in result["counts"].items() if n)
    _cli.emit(f"{root}: {status}" + (f" ({counts})" if counts else ""))
    for record in result["files"]:
        if record["state"] == _modelfiles.OK:
            continue
        detail = record.get("reason", "")
        if record["state"] == _modelfiles.MISMATCH and "actual_sha256" not in record:
            detail = f"size {record['actual_size']:,}, listed {record['expected_size']:,}"
        _cli.emit(f"  {record['state']:<11}  {_show(record['path'])}" + (f"  ({detail})" if detail else ""))


def _verify_command(args: argparse.Namespace) -> int:
    if args.roots:
        roots = [_directory(root) for root in args.roots]
    else:
        candidates = list(dict.fromkeys(artifax._iter_core_roots()))
        roots = [_directory(root) for root in candidates if os.path.isdir(root)]
        if not roots:
            if args.json:
                _cli.emit(json.dumps({"schema": JSON_SCHEMA, "roots": []}, indent=2))
            raise _cli.CliError("no candidate root exists (looked at: " + ", ".join(map(_show, candidates)) + ")",
                                _cli.EXIT_BLOCKED)
    results = []
    for root in roots:
        results.append(_verify(root, args))
        if not args.json:
            _report(results[-1])
    if args.json:
        _cli.emit(json.dumps({"schema": JSON_SCHEMA, "roots": results}, indent=2))
    return _cli.EXIT_OK if all(result["status"] == OK for result in results) else _cli.EXIT_BLOCKED


# ---------------------------------------------------------------------------
# list


def _list(args: argparse.Namespace) -> int:
    if args.root is None:
        candidates, chosen = _candidates()
        if args.json:
            _cli.emit(json.dumps({"roots": candidates, "chosen": chosen}, indent=2))
            return _cli.EXIT_OK
        for i, c in enumerate(candidates, 1):
            state = "missing"
            if c["exists"]:
                state = "exists, " + ("holds " if c["core_marker"] else "no ") + artifax._CORE_MARKER
            _cli.emit(f"{i}. {_show(c['root'])}: {state}{' (chosen)' if c['chosen'] else ''}")
        if chosen is None:
            _cli.emit(f"no candidate root holds {artifax._CORE_MARKER}")
        return _cli.EXIT_OK

    root = _directory(args.root)
    try:
        manifest = _read_manifest(root)
    except _modelfiles.CorruptManifest as exc:
        raise _cli.CliError(f"{os.path.join(root, MANIFEST)}: {CORRUPT}: {exc}", _cli.EXIT_BLOCKED) from None
    entries = []
    for rel, info in manifest.files.items() if manifest else ():
        info = info if isinstance(info, dict) else {}
        entries.append((rel, info.get("size"), info.get("sha256")))
    if args.json:
        files = [{"path": rel, "size": n, "sha256": digest} for rel, n, digest in entries]
        _cli.emit(json.dumps({"root": root, "manifest": manifest is not None,
                              "version": manifest and manifest.version, "files": files}, indent=2))
        return _cli.EXIT_OK
    if manifest is None:
        _cli.emit(f"{_show(root)}: {NO_MANIFEST}")
        return _cli.EXIT_OK
    total = sum(n for _, n, _ in entries if type(n) is int)
    version = "-" if manifest.version is None else _show(str(manifest.version))
    _cli.emit(f"{_show(manifest.path)}: version {version}, {_files(len(entries))}, {size(total)}")
    names = [_show(rel) for rel, _, _ in entries]
    width = max(map(len, names), default=0)
    for name, (_, n, digest) in zip(names, entries):
        shown = digest[:DIGEST_SHOWN] if isinstance(digest, str) else "-"
        _cli.emit(f"  {name:<{width}}  {'-' if n is None else n!s:>14}  {shown}")
    return _cli.EXIT_OK


# ---------------------------------------------------------------------------
# The status report


def _file_being_read() -> tuple[str, int, int] | None:
    """The regular file this process has open for reading on its highest
    descriptor, as (name, offset, size), from /proc; None when there is none."""
    try:
        fds = sorted((int(fd) for fd in os.listdir("/proc/self/fd")), reverse=True)
    except (OSError, ValueError):
        return None
    for fd in fds:
        if fd <= 2:
            break
        try:
            st = os.fstat(fd)
            if not stat.S_ISREG(st.st_mode):
                continue
            with open(f"/proc/self/fdinfo/{fd}", encoding="ascii") as f:
                info = dict(line.split(":", 1) for line in f if ":" in line)
            if int(info["flags"], 8) & os.O_ACCMODE != os.O_RDONLY:
                continue
            return os.path.basename(os.readlink(f"/proc/self/fd/{fd}")), int(info["pos"]), st.st_size
        except (OSError, ValueError, KeyError):
            continue
    return None


def _render_reading(elapsed: float) -> str:
    parts = ["checking the model files", _progress.duration(elapsed)]
    reading = _file_being_read()
    if reading is not None:
        name, done, total = reading
        parts += [f"{size(done)} of {size(total)}", _progress.percent(done, total), _show(name)]
    return "  ".join(parts)


def _writing_a_log_line(frame: FrameType | None) -> bool:
    while frame is not None:
        if frame.f_code.co_filename == logging.__file__:
            return True
        frame = frame.f_back
    return False


@contextlib.contextmanager
def _reads_shown(enabled: bool) -> Iterator[None]:
    """On a terminal, a progress line while the block runs: the time so far
    and the file this process is reading, with how far it has got. The
    resolver hashes on this thread and lets signals through after every
    block, so the line is redrawn from a timer signal, by this thread, and
    never in the middle of a log line."""
    usable = enabled and hasattr(signal, "setitimer") and threading.current_thread() is threading.main_thread()
    with _progress.Progress(_render_reading, interval=0.2, enabled=None if usable else False) as line:
        if not line.enabled:
            yield
            return

        def tick(signum: int, frame: FrameType | None) -> None:
            if not _writing_a_log_line(frame):
                line.update()

        previous = signal.signal(signal.SIGALRM, tick)
        delay, interval = signal.setitimer(signal.ITIMER_REAL, 0.25, 0.25)
        started = time.monotonic()
        try:
            yield
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
            if delay:  # a caller's timer runs on as if it had never been set aside; one due meanwhile fires now
                signal.setitimer(signal.ITIMER_REAL, max(delay - (time.monotonic() - started), 1e-6), interval)


def _status_report(args: argparse.Namespace) -> int:
    # The resolver finds and verifies the core root once per process and the
    # report then takes it from its cache, so the hashing happens here, where
    # the progress line can show it, and not in the middle of the report.
    with _reads_shown(not args.quiet):
        artifax.resolve_core_models_root()
    with _cli.writing():
        artifax.cli_download()
    return _cli.EXIT_OK


# ---------------------------------------------------------------------------
# The command line


def _jobs(text: str) -> int:
    try:
        jobs = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 1 <= jobs <= MAX_JOBS:
        raise argparse.ArgumentTypeError(f"must be from 1 to {MAX_JOBS}")
    return jobs


def build_parser() -> argparse.ArgumentParser:
    parser = _cli.parser(PROG, "Model files: the resolution status report, and manifests for packagers.",
                         statuses=STATUSES, notes=NOTES, logging_options=True)
    commands = parser.add_subparsers(dest="command", title="commands", metavar="COMMAND")

    def command(name: str, run: Callable[[argparse.Namespace], int], summary: str, description: str,
                *, json_option: bool = True, hashing: bool = True) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=description)
        sub.set_defaults(run=run)
        if json_option:
            sub.add_argument("--json", action="store_true", help="print one JSON document")
        if hashing:
            sub.add_argument("--exclude", action="append", default=[], metavar="GLOB", help=(
                "leave out the files and directories that GLOB matches: without '/', their name at any "
                "depth (.git, __pycache__, *.pyc); with '/', their path under the root (repeatable)"))
            sub.add_argument("--jobs", "-j", type=_jobs, default=_modelfiles.default_jobs(), metavar="N",
                             help="hash N files at once (the small ones first on one thread, then the others, "
                                  "the largest first); 1 for spinning disks "
                                  "(default: the usable cores, at most 8: %(default)s)")
        return sub

    manifest = command("manifest", _manifest, "write DIR/manifest.json", (
        "Write DIR/manifest.json: every regular file under DIR with its size and SHA-256 digest, as "
        "artifax.write_manifest writes it. A directory or file that cannot be read, or a file that "
        "changes while it is hashed, fails the command and the old manifest stays."), json_option=False)
    manifest.add_argument("dir", metavar="DIR", help="the model directory")
    manifest.add_argument("--version", metavar="V", default=artifax.MODELS_VERSION,
                          help="version label written into the manifest (default: %(default)s)")
    verify = command("verify", _verify_command, "check roots against their manifests", (
        "Check each ROOT (default: every candidate root that exists) against its manifest now. Each "
        "listed file is ok, mismatch, missing, no digest, unsafe path, not a file, unreadable or "
        "changed; a file under the root that is not listed is extra. A root is ok when every listed "
        "file is ok (extra files fail it only with --strict)."))
    verify.add_argument("roots", nargs="*", metavar="ROOT", help="model roots to check")
    verify.add_argument("--strict", action="store_true", help="extra files fail the root too")
    verify.add_argument("--ignore-missing", action="store_true",
                        help="missing files do not fail the root (unless no listed file is present)")
    command("list", _list, "show the candidate roots, or a root's manifest", (
        "Without ROOT, show the candidate roots in resolution order: whether each exists and holds "
        "the core model, and which one is chosen. With ROOT, list its manifest's entries."), hashing=False,
    ).add_argument("root", nargs="?", metavar="ROOT", help="a model root whose manifest to list")
    return parser


def _main(argv: list[str] | None) -> int:
    global artifax
    artifax = _cli.require("nerov.packages.brain.artifax")
    args = build_parser().parse_args(argv)
    _cli.setup_logging(args)
    if args.command is None:
        return _status_report(args)
    status: int = args.run(args)
    return status


def main(argv: list[str] | None = None) -> int:
    return _cli.run(lambda: _main(argv), prog=PROG, exiting=argv is None)


if __name__ == "__main__":
    sys.exit(main())
