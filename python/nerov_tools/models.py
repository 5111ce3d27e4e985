"""``nerov-models``: the model files' status report, and their manifests for packagers.

With no subcommand it prints the model resolution status report. The
subcommands write, verify and inspect the ``manifest.json`` of a model root:

* ``manifest DIR [--version V]`` writes ``DIR/manifest.json``;
* ``verify [ROOT ...]`` checks roots against their manifests, afresh;
* ``list [ROOT]`` shows the candidate roots, or one root's manifest entries.

Each runs the resolver's own operation (``write_manifest``,
``_verify_if_present``, ``resolve_core_models_root``), never a second
implementation of it. The resolver reaches every module-level name through
its namespace when it is called, so this command, which owns its process,
rebinds a few of them for the length of one call: to watch the hashing for
the progress line, to hear what a verification finds, and to verify a root
again whatever the process did before.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import logging
import os
import sys
from collections.abc import Callable, Iterator
from types import ModuleType
from typing import Any, cast

from . import _cli, _progress
from ._progress import size

PROG = "nerov-models"
MANIFEST = "manifest.json"
SKIP_CHECK = "NEROV_SKIP_MODEL_CHECK"
DIGEST_SHOWN = 12  # hex digits of a digest that `list` shows

# The resolver, imported when the command starts, so that a broken install is
# reported as one (status 3) and not as a failed check.
artifax: ModuleType

OK, MISMATCH, NO_MANIFEST, CORRUPT = "ok", "mismatch", "no manifest", "corrupt manifest"
# What the resolver's verification logs for its two findings.
CORRUPT_LOG = "artifax: corrupt manifest.json at %s"
MISMATCH_LOG = "artifax: checksum mismatch for %s \u2014 corrupt artifacts: %s. Reinstall the model package."

STATUSES = (
    (_cli.EXIT_OK, "success; verify: every root checked is ok or has no manifest"),
    (_cli.EXIT_BLOCKED, "a file does not match its manifest, or a manifest is corrupt"),
)
NOTES = """\
With no command, prints the model resolution status report.

A packager's session:
  nerov-models manifest path/to/models --version 1.0.2
  nerov-models verify path/to/models

On a terminal, manifest and verify show the hashing on a progress line on
standard error."""


@contextlib.contextmanager
def _rebound(**values: Any) -> Iterator[None]:
    """Binds the resolver's module attributes to ``values`` for the block, then restores them."""
    saved = {name: getattr(artifax, name) for name in values}
    try:
        for name, value in values.items():
            setattr(artifax, name, value)
        yield
    finally:
        for name, value in saved.items():
            setattr(artifax, name, value)


def _detached_logger(handler: logging.Handler) -> logging.Logger:
    """A logger of the resolver's name, outside the logging tree, whose records go to ``handler`` alone."""
    detached = logging.Logger(artifax.__name__)
    detached.addHandler(handler)
    return detached


# ---------------------------------------------------------------------------
# Progress of the resolver's hashing


class _CountingHasher:
    """A SHA-256 object that reports the size of every block it is fed."""

    def __init__(self, hasher: Any, fed: Callable[[int], None]) -> None:
        self._hasher = hasher
        self._fed = fed

    def update(self, block: Any) -> None:
        self._hasher.update(block)
        self._fed(len(block))

    def __getattr__(self, name: str) -> Any:
        return getattr(self._hasher, name)


class _CountingHashlib:
    """The ``hashlib`` module, whose ``sha256()`` objects count what they hash."""

    def __init__(self, hashlib: Any, fed: Callable[[int], None]) -> None:
        self._hashlib = hashlib
        self._fed = fed

    def sha256(self, *args: Any, **kwargs: Any) -> _CountingHasher:
        return _CountingHasher(self._hashlib.sha256(*args, **kwargs), self._fed)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._hashlib, name)


class _Hashing:
    """Bytes hashed so far of ``total``, and the file being hashed."""

    def __init__(self) -> None:
        self.total = self.done = 0
        self.current = ""

    def render(self, elapsed: float) -> str:
        done, total = self.done, self.total
        parts = [f"{size(done)} of {size(total)}", _progress.percent(done, total),
                 _progress.rate(done, elapsed, "B"), _progress.time_left(done, total, elapsed) + " left",
                 self.current]
        return "  ".join(parts)


@contextlib.contextmanager
def _watched(base: str, total: Callable[[], int]) -> Iterator[None]:
    """On a terminal, shows the resolver's hashing inside the block on a
    progress line: the bytes its hasher is fed (so progress comes from the
    hashing itself), and the file its ``_sha256`` is working on. ``total``
    is only asked when the line is shown."""
    hashing = _Hashing()
    with _progress.Progress(hashing.render) as line:
        if not line.enabled:
            yield
            return
        hashing.total = total()
        hash_file: Callable[[str], str] = artifax._sha256

        def fed(n: int) -> None:
            hashing.done += n
            line.update()

        def sha256(filepath: str) -> str:
            hashing.current = os.path.relpath(filepath, base)
            line.update()
            return hash_file(filepath)

        with _rebound(hashlib=_CountingHashlib(artifax.hashlib, fed), _sha256=sha256):
            yield


def _tree_size(directory: str) -> int:
    """Bytes of the regular files that a manifest of ``directory`` lists (a walk, no reading)."""
    total = 0
    for top, _dirs, names in os.walk(directory):
        for name in names:
            if name == MANIFEST and top == directory:
                continue
            with contextlib.suppress(OSError):
                path = os.path.join(top, name)
                if os.path.isfile(path):
                    total += os.path.getsize(path)
    return total


# ---------------------------------------------------------------------------
# Roots and manifests


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
        raise _cli.CliError(f"{path}: cannot read: {exc.strerror or exc}") from None
    return path


def _read_manifest(root: str) -> dict[str, Any] | None:
    """The manifest of ``root`` as ``{"version", "files": [(path, size, sha256), ...]}``,
    or None when it has none. A ``CliError`` when it cannot be read or is corrupt."""
    path = os.path.join(root, MANIFEST)
    if not os.path.isfile(path):
        return None
    try:
        with open(path, encoding="utf-8") as f:
            manifest = json.load(f)
    except ValueError as exc:  # not UTF-8, not JSON
        raise _cli.CliError(f"{path}: {CORRUPT}: {exc}", _cli.EXIT_BLOCKED) from None
    except OSError as exc:
        raise _cli.CliError(f"{path}: cannot read: {exc.strerror or exc}") from None
    files = manifest.get("files", {}) if isinstance(manifest, dict) else None
    if not isinstance(files, dict):
        raise _cli.CliError(f"{path}: {CORRUPT}: not an object with a \"files\" object", _cli.EXIT_BLOCKED)
    entries = []
    for rel, info in files.items():
        info = info if isinstance(info, dict) else {}
        entries.append((rel, info.get("size"), info.get("sha256")))
    return {"version": manifest.get("version"), "files": entries}


def _hashed_size(root: str) -> int:
    """Bytes that verifying ``root`` hashes: the present listed files with a digest."""
    try:
        manifest = _read_manifest(root)
    except _cli.CliError:
        return 0
    total = 0
    for rel, _size, digest in manifest["files"] if manifest else ():
        path = os.path.join(root, rel)
        with contextlib.suppress(OSError, TypeError, ValueError):
            if digest and rel != MANIFEST and os.path.isfile(path):
                total += os.path.getsize(path)
    return total


class _Findings(logging.Handler):
    def __init__(self) -> None:
        super().__init__()
        self.records: list[logging.LogRecord] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)


def _verify(root: str) -> dict[str, Any]:
    """Verifies ``root`` now through the resolver's own verification and
    says what it found: ``result`` and the ``mismatches`` in manifest order."""
    found: dict[str, Any] = {"root": root, "result": OK, "mismatches": []}
    if not os.path.isfile(os.path.join(root, MANIFEST)):
        found["result"] = NO_MANIFEST
        return found
    findings = _Findings()
    heard = _detached_logger(findings)
    skip = os.environ.pop(SKIP_CHECK, None)  # asked for explicitly, the check is never skipped
    try:
        with _watched(root, lambda: _hashed_size(root)), _rebound(_verified_roots=set(), logger=heard):
            artifax._verify_if_present(root)
    finally:
        if skip is not None:
            os.environ[SKIP_CHECK] = skip
    for record in findings.records:
        if record.msg == CORRUPT_LOG:
            found["result"] = CORRUPT
        elif record.msg == MISMATCH_LOG:
            found["result"] = MISMATCH
            found["mismatches"] = [str(rel) for rel in cast(tuple[Any, list[Any]], record.args)[1]]
        else:
            own = logging.getLogger(artifax.__name__)
            if own.isEnabledFor(record.levelno):  # handle() alone would skip the level check
                own.handle(record)
    return found


def _candidates() -> tuple[list[dict[str, Any]], str | None]:
    """The candidate core roots in resolution order, and the one that
    ``resolve_core_models_root`` chooses among them (found without verifying
    it and without touching the process's cache)."""
    roots = list(artifax._iter_core_roots())
    with _rebound(_iter_core_roots=lambda: roots, _verify_if_present=lambda model_root: None,
                  _resolved_core_root=artifax._UNSET, logger=_detached_logger(logging.NullHandler())):
        chosen = artifax.resolve_core_models_root()
    chosen_at = roots.index(chosen) if chosen in roots else -1  # the resolver takes the first root that holds it
    listed = [{"root": root, "exists": os.path.isdir(root),
               "core_marker": bool(artifax._has_file(root, artifax._CORE_MARKER)), "chosen": i == chosen_at}
              for i, root in enumerate(roots)]
    return listed, chosen


# ---------------------------------------------------------------------------
# Subcommands


def _files(count: int) -> str:
    return f"{count} file" if count == 1 else f"{count} files"


def _manifest(args: argparse.Namespace) -> int:
    directory = _directory(args.dir)
    listed: dict[str, Any] = {}
    generate = artifax.generate_manifest

    def generate_manifest(model_dir: str, version: str) -> dict[str, Any]:
        try:
            listed.update(generate(model_dir, version))
        except OSError as exc:
            raise _cli.CliError(f"cannot read {exc.filename or model_dir}: {exc.strerror or exc}") from None
        return listed

    dest = os.path.join(directory, MANIFEST)
    try:
        with _watched(directory, lambda: _tree_size(directory)), _rebound(generate_manifest=generate_manifest):
            dest = artifax.write_manifest(directory, args.version)
    except OSError as exc:
        raise _cli.CliError(f"cannot write {dest}: {exc.strerror or exc}") from None
    files = listed["files"].values()
    total = sum(entry["size"] for entry in files)
    _cli.emit(f"wrote {dest}: {_files(len(files))}, {size(total)} ({total:,} bytes)")
    return _cli.EXIT_OK


def _verify_command(args: argparse.Namespace) -> int:
    if args.roots:
        roots = [_directory(root) for root in args.roots]
    else:
        candidates, _ = _candidates()
        roots = [_directory(root) for root in dict.fromkeys(c["root"] for c in candidates if c["exists"])]
    results = []
    for root in roots:
        found = _verify(root)
        results.append(found)
        if not args.json:
            _cli.emit(f"{root}: {found['result']}")
            for rel in found["mismatches"]:
                _cli.emit(f"  {rel}")
    if args.json:
        _cli.emit(json.dumps({"roots": results}, indent=2))
    elif not roots:
        _cli.emit("no candidate root exists")
    failed = any(found["result"] in (MISMATCH, CORRUPT) for found in results)
    return _cli.EXIT_BLOCKED if failed else _cli.EXIT_OK


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
            _cli.emit(f"{i}. {c['root']}: {state}{' (chosen)' if c['chosen'] else ''}")
        if chosen is None:
            _cli.emit(f"no candidate root holds {artifax._CORE_MARKER}")
        return _cli.EXIT_OK

    root = _directory(args.root)
    manifest = _read_manifest(root)
    if args.json:
        files = [{"path": rel, "size": n, "sha256": digest} for rel, n, digest in manifest["files"]] if manifest else []
        _cli.emit(json.dumps({"root": root, "manifest": manifest is not None,
                              "version": manifest and manifest["version"], "files": files}, indent=2))
        return _cli.EXIT_OK
    if manifest is None:
        _cli.emit(f"{root}: {NO_MANIFEST}")
        return _cli.EXIT_OK
    entries = manifest["files"]
    total = sum(n for _, n, _ in entries if type(n) is int)
    _cli.emit(f"{os.path.join(root, MANIFEST)}: version {manifest['version']}, {_files(len(entries))}, {size(total)}")
    width = max((len(rel) for rel, _, _ in entries), default=0)
    for rel, n, digest in entries:
        shown = digest[:DIGEST_SHOWN] if isinstance(digest, str) else "-"
        _cli.emit(f"  {rel:<{width}}  {'-' if n is None else n!s:>14}  {shown}")
    return _cli.EXIT_OK


def build_parser() -> argparse.ArgumentParser:
    parser = _cli.parser(PROG, "Model files: the resolution status report, and manifests for packagers.",
                         statuses=STATUSES, notes=NOTES)
    commands = parser.add_subparsers(dest="command", title="commands", metavar="COMMAND")

    def command(name: str, run: Callable[[argparse.Namespace], int], summary: str, description: str,
                *, json_option: bool = True) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=description)
        sub.set_defaults(run=run)
        if json_option:
            sub.add_argument("--json", action="store_true", help="print one JSON document")
        return sub

    manifest = command("manifest", _manifest, "write DIR/manifest.json", (
        "Write DIR/manifest.json: every file under DIR with its size and SHA-256 digest. "
        "The old manifest stays until the new one is complete."), json_option=False)
    manifest.add_argument("dir", metavar="DIR", help="the model directory")
    manifest.add_argument("--version", metavar="V", default=artifax.MODELS_VERSION,
                          help="version label written into the manifest (default: %(default)s)")
    command("verify", _verify_command, "check roots against their manifests", (
        "Check each ROOT (default: every candidate root that exists) against its manifest now, "
        "and report ok, mismatch (with the files), no manifest or corrupt manifest.")
    ).add_argument("roots", nargs="*", metavar="ROOT", help="model roots to check")
    command("list", _list, "show the candidate roots, or a root's manifest", (
        "Without ROOT, show the candidate roots in resolution order: whether each exists and holds "
        "the core model, and which one is chosen. With ROOT, list its manifest's entries.")
    ).add_argument("root", nargs="?", metavar="ROOT", help="a model root whose manifest to list")
    return parser


def _main(argv: list[str] | None) -> int:
    global artifax
    artifax = _cli.require("nerov.packages.brain.artifax")
    args = build_parser().parse_args(argv)
    _cli.setup_logging(args)
    if args.command is None:
        with _cli.writing():
            artifax.cli_download()
        return _cli.EXIT_OK
    status: int = args.run(args)
    return status


def main(argv: list[str] | None = None) -> int:
    return _cli.run(lambda: _main(argv), prog=PROG, exiting=argv is None)


if __name__ == "__main__":
    sys.exit(main())
