"""The model files behind ``nerov-models manifest`` and ``verify``: the walk of
a model directory, hashing on worker threads, and the check of a root against
its manifest.

The walk lists what a manifest of the directory lists: every path below it
that is a regular file once symbolic links are followed, with directories
reached through a link left unentered, the top-level ``manifest.json`` and the
names of the temporary files that replace it left out, in the order of the
path components. Unlike a best-effort walk it reports each directory it
cannot list and each entry it cannot stat.

A file is opened without blocking and its descriptor checked with ``fstat``
before a byte is read, so a FIFO or a device that took a file's place is
never read. A file that its directory entry shows as a regular file is not
stat'ed by the walk: that first ``fstat`` is its state from before the hash
(a link's target has the walk's stat, which the descriptor must match). That
size, modification time and inode must still hold after the hash: a file
written or replaced meanwhile is ``changed``, never trusted. A file read whole
in one read is checked after it on its descriptor; a longer one on its path
too, which must still lead to that inode.
"""

from __future__ import annotations

import contextlib
import errno
import fnmatch
import hashlib
import json
import json.encoder
import operator
import os
import posixpath
import re
import stat
import threading
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, NamedTuple

from . import _progress
from ._cli import reason
from ._progress import size

MANIFEST = "manifest.json"
BLOCK = 1 << 20  # bytes read and hashed at a time: a Ctrl-C stops a worker within one
# A smaller file takes more of the interpreter's time (held by one thread at a
# time) than of hashing and reading (which let it go): one worker hashes those,
# since two trading the interpreter lock at every system call are slower than one.
SMALL = 256 << 10
MAX_DEFAULT_JOBS = 8
# The temporary names a manifest writer replaces the manifest with.
TEMP_MANIFEST = re.compile(r"\.manifest\.json\.[0-9a-f]{16}\.tmp")
_name = operator.attrgetter("name")
_HEX_DIGEST = re.compile(r"[0-9a-fA-F]{64}")
# What a stat through links says of a path that leads to no file.
_NO_FILE = (errno.ENOENT, errno.ENOTDIR, errno.ELOOP)
_OPEN_FLAGS = os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC

# The states of a file under a root. Every state but OK and EXTRA is a finding.
OK = "ok"
MISMATCH = "mismatch"
MISSING = "missing"
NO_DIGEST = "no digest"
UNSAFE = "unsafe path"
NOT_A_FILE = "not a file"
UNREADABLE = "unreadable"
CHANGED = "changed"
EXTRA = "extra"
STATES = (OK, MISMATCH, MISSING, NO_DIGEST, UNSAFE, NOT_A_FILE, UNREADABLE, CHANGED, EXTRA)


def default_jobs() -> int:
    """The usable cores, at most ``MAX_DEFAULT_JOBS``."""
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = os.cpu_count() or 1
    return max(1, min(cores, MAX_DEFAULT_JOBS))


# What must not move while a file is hashed: its inode (and so its type), size and modification time.
_identity = operator.attrgetter("st_dev", "st_ino", "st_size", "st_mtime_ns")


# ---------------------------------------------------------------------------
# The walk


@dataclass(slots=True)
class Found:
    """A regular file under a directory: its path relative to it ("/"-separated),
    its path, its ``stat`` (None: a plain regular file by its directory entry, not stat'ed)."""

    rel: str
    path: str
    stat: os.stat_result | None


@dataclass
class Walk:
    files: list[Found] = field(default_factory=list)
    # Directories that could not be listed (their relative path ending in "/")
    # and entries that could not be stat'ed, as (relative path, path, error).
    unreadable: list[tuple[str, str, OSError]] = field(default_factory=list)


class Excluded:
    """``--exclude`` globs: one without "/" (but a last one) matches the name
    of a file or directory at any depth, one with "/" its whole path relative
    to the root (``*`` matching "/" too). A directory left out is not entered."""

    def __init__(self, globs: Iterable[str] = ()) -> None:
        globs = [glob.rstrip("/") for glob in globs]
        self._names = [glob for glob in globs if "/" not in glob]
        self._paths = [glob.lstrip("/") for glob in globs if "/" in glob]

    def __bool__(self) -> bool:
        return bool(self._names or self._paths)

    def __call__(self, rel: str, name: str) -> bool:
        return (any(fnmatch.fnmatchcase(name, glob) for glob in self._names)
                or any(fnmatch.fnmatchcase(rel, glob) for glob in self._paths))


def walk(root: str, excluded: Excluded | None = None) -> Walk:
    """The regular files under ``root`` as a manifest lists them, in walk
    order: depth first, each directory's entries by name, which is the order
    of the path components. An entry that its directory shows as a regular
    file (no link) is listed without a ``stat``: its descriptor's, once it is
    opened, is the first state of it that counts."""
    found = Walk()
    excluded = excluded or None

    def listing(prefix: str, directory: str) -> Iterator[os.DirEntry[str]]:
        try:
            with os.scandir(directory) as entries:
                return iter(sorted(entries, key=_name))
        except OSError as exc:
            found.unreadable.append((prefix or "./", directory, exc))
            return iter(())

    stack = [("", listing("", root))]
    while stack:
        prefix, entries = stack[-1]
        entry = next(entries, None)
        if entry is None:
            stack.pop()
            continue
        name = entry.name
        rel = prefix + name
        if excluded is not None and excluded(rel, name):
            continue
        try:
            is_dir = entry.is_dir(follow_symlinks=False)
        except OSError:
            is_dir = False
        if is_dir:
            stack.append((rel + "/", listing(rel + "/", entry.path)))
            continue
        if name == MANIFEST and not prefix or name.startswith(".manifest.json.") and TEMP_MANIFEST.fullmatch(name):
            continue
        try:
            plain = entry.is_file(follow_symlinks=False)
        except OSError:
            plain = False  # the stat below says why
        if plain:
            found.files.append(Found(rel, entry.path, None))
            continue
        try:
            st = entry.stat()  # through a link, as a manifest lists its target
        except OSError as exc:
            if exc.errno not in _NO_FILE:
                found.unreadable.append((rel, entry.path, exc))
            continue  # else a dangling link or a loop of links, or gone since the listing
        if stat.S_ISREG(st.st_mode):
            found.files.append(Found(rel, entry.path, st))
    return found


# ---------------------------------------------------------------------------
# Hashing


class Hashed(NamedTuple):
    """A file's SHA-256, or the state (``UNREADABLE``, ``CHANGED``, ``MISSING``
    or ``MISMATCH`` of size) and the reason it has none; and its size when known."""

    digest: str | None
    state: str = OK
    reason: str = ""
    size: int | None = None


_CHANGED = "changed while it was hashed"
_CHANGED_WHILE_HASHED = Hashed(None, CHANGED, _CHANGED)
_GONE = Hashed(None, MISSING, "removed since it was listed")


class _Stopped(Exception):
    """A worker was told to stop."""


class _Hashing:
    """Hashes files on ``jobs`` threads; the calling thread waits, draws the
    progress line and takes Ctrl-C.

    The first worker goes through the files in the order given: it hashes
    each small one at once, learns on its descriptor the size of each file
    whose size is not known, and puts the large ones aside. Then every worker
    takes the large files, the largest first. A small file takes more of the
    interpreter's time (held by one thread at a time) than of reading and
    hashing, which let it go: two workers trading the interpreter lock at
    every system call are slower than one. hashlib and os.readv let go of
    it, so the large files are hashed on separate cores."""

    def __init__(self, files: Sequence[Found], sizes: Sequence[int | None], jobs: int) -> None:
        self.files = list(files)  # a large file put aside keeps the stat of its first opening
        self.sizes = list(sizes)
        self.results: list[Hashed | None] = [None] * len(files)
        self.workers = max(1, min(jobs, len(files)))
        self.hashed = [0] * self.workers  # bytes each worker has hashed
        self.total = sum(n for n in sizes if n is not None)  # grows as sizes are learnt
        self.current = ""
        self._large: list[int] = []
        self._scanned = threading.Event()
        self._stop = threading.Event()
        self._failure: BaseException | None = None

    def run(self, line: _progress.Progress) -> list[Hashed]:
        threads: list[threading.Thread] = []
        try:
            for k in range(self.workers):
                threads.append(threading.Thread(target=self._work, args=(k,), name=f"nerov-models hash {k}"))
                threads[-1].start()
            for thread in threads:
                while thread.is_alive():
                    thread.join(0.1)
                    line.update()
        except BaseException:  # Ctrl-C: every worker stops within one block
            self._stop.set()
            self._scanned.set()
            for thread in threads:
                thread.join()
            raise
        if self._failure is not None:
            raise self._failure
        if None in self.results:
            raise RuntimeError("a file was left unhashed")
        return [result for result in self.results if result is not None]

    def render(self, elapsed: float) -> str:
        done, total = sum(self.hashed), self.total
        return "  ".join([f"{size(done)} of {size(total)}", _progress.percent(done, total),
                          _progress.rate(done, elapsed, "B"), _progress.time_left(done, total, elapsed) + " left",
                          self.current])

    def _work(self, k: int) -> None:
        buffer = memoryview(bytearray(BLOCK))
        try:
            if k == 0:
                try:
                    self._scan(buffer)
                finally:
                    self._scanned.set()
            else:
                self._scanned.wait()
            files, sizes, results, large, stopped = self.files, self.sizes, self.results, self._large, self._stop.is_set
            while not stopped():
                try:
                    i = large.pop()
                except IndexError:
                    return
                found = files[i]
                self.current = found.rel
                results[i] = self._hash(found, sizes[i], k, buffer)
        except _Stopped:
            pass
        except BaseException as exc:  # a fault, not a finding: the caller raises it
            self._failure = exc
            self._stop.set()

    def _scan(self, buffer: memoryview) -> None:
        """Hashes the small files, in order, and sorts the large ones out."""
        files, sizes, results, large, stopped = self.files, self.sizes, self.results, self._large, self._stop.is_set
        for i, found in enumerate(files):
            if stopped():
                raise _Stopped
            expected = sizes[i]
            if expected is not None and expected >= SMALL:
                large.append(i)
                continue
            self.current = found.rel
            opened = self._open(found, expected)
            if isinstance(opened, Hashed):
                results[i] = opened
                continue
            fd, before = opened
            try:
                if expected is None and before.st_size >= SMALL:  # hashed later, on any worker
                    files[i] = Found(found.rel, found.path, before)
                    sizes[i] = before.st_size
                    self.total += before.st_size
                    large.append(i)
                else:
                    results[i] = self._read(fd, found, before, 0, buffer)
            finally:
                os.close(fd)
        # Smallest first, so that pop() hands out the largest (ties in the order given).
        large.sort(key=lambda i: (sizes[i], -i))

    def _hash(self, found: Found, expected: int | None, k: int, buffer: memoryview) -> Hashed:
        opened = self._open(found, expected)
        if isinstance(opened, Hashed):
            return opened
        fd, before = opened
        try:
            return self._read(fd, found, before, k, buffer)
        finally:
            os.close(fd)

    @staticmethod
    def _open(found: Found, expected: int | None) -> tuple[int, os.stat_result] | Hashed:
        """Opens a file without blocking and checks its descriptor before a
        byte is read: the inode, size and time the walk saw; or for a file the
        walk did not stat, a regular file of the ``expected`` size (if known),
        whose state this is from then on. The descriptor and that state, or why
        the file is not hashed (a size that differs is a mismatch)."""
        before = found.stat
        try:
            fd = os.open(found.path, _OPEN_FLAGS)
        except FileNotFoundError:
            return _GONE if before is None else _CHANGED_WHILE_HASHED
        except OSError as exc:
            return Hashed(None, UNREADABLE, reason(exc))
        try:
            now = os.fstat(fd)
            if before is None:
                if not stat.S_ISREG(now.st_mode):
                    problem = _CHANGED_WHILE_HASHED  # the walk saw a regular file there
                elif expected is not None and now.st_size != expected:
                    problem = Hashed(None, MISMATCH, size=now.st_size)
                else:
                    return fd, now
            elif _identity(now) != _identity(before):
                problem = _CHANGED_WHILE_HASHED
            else:
                return fd, before
        except OSError as exc:
            problem = Hashed(None, UNREADABLE, reason(exc))
        except BaseException:
            os.close(fd)
            raise
        os.close(fd)
        return problem

    def _read(self, fd: int, found: Found, before: os.stat_result, k: int, buffer: memoryview) -> Hashed:
        """The digest of the open file, whose state ``before`` must hold after it is read."""
        expected = before.st_size
        try:
            if expected < BLOCK:
                # One read, one more byte than its size, so that a file grown since shows; the
                # descriptor's inode is the one checked, so its size and time after the read
                # prove that the bytes read are the file's as it was.
                data = os.read(fd, expected + 1)
                self.hashed[k] += len(data)
                now = os.fstat(fd)
                if len(data) != expected or now.st_size != expected or now.st_mtime_ns != before.st_mtime_ns:
                    return _CHANGED_WHILE_HASHED
                return Hashed(hashlib.sha256(data).hexdigest(), size=expected)
            digest, done = hashlib.sha256(), 0
            while done < expected:  # a file that grows shows in its size after
                if self._stop.is_set():
                    raise _Stopped
                n = os.readv(fd, (buffer,))
                if n == 0:
                    return _CHANGED_WHILE_HASHED
                digest.update(buffer if n == BLOCK else buffer[:n])
                done += n
                self.hashed[k] += n
            # The path still leads to the same inode, whose size and time have not moved.
            if done != expected or _identity(os.stat(found.path)) != _identity(before):
                return _CHANGED_WHILE_HASHED
        except FileNotFoundError:
            return _CHANGED_WHILE_HASHED
        except OSError as exc:
            return Hashed(None, UNREADABLE, reason(exc))
        return Hashed(digest.hexdigest(), size=expected)


def hash_files(files: Sequence[Found], jobs: int, *, progress: bool,
               sizes: Sequence[int | None] | None = None) -> list[Hashed]:
    """The SHA-256 of each file, in the order given, hashed ``jobs`` at a
    time, with a progress line on standard error when ``progress`` (and it is
    a terminal). ``sizes`` are the sizes the files must have, where known;
    by default those of their ``stat``, for the files that have one."""
    if sizes is None:
        sizes = [None if f.stat is None else f.stat.st_size for f in files]
    hashing = _Hashing(files, sizes, jobs)
    with _progress.Progress(hashing.render, enabled=None if progress else False) as line:
        return hashing.run(line)


# ---------------------------------------------------------------------------
# Manifests


class CorruptManifest(Exception):
    """A manifest that is no JSON object with a "files" object (the message says what it is)."""


class Manifest(NamedTuple):
    path: str
    version: Any
    files: dict[str, Any]  # relative path -> entry, in the file's order


def read_manifest(root: str) -> Manifest | None:
    """The manifest of ``root``, or None when it has none. ``CorruptManifest``
    when it is not one; ``OSError`` when it cannot be read."""
    path = os.path.join(root, MANIFEST)
    try:
        fd = os.open(path, _OPEN_FLAGS)
    except FileNotFoundError:
        return None
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise CorruptManifest("not a regular file")
        chunks, read = [], 0
        while chunk := os.read(fd, max(st.st_size - read, 0) + 1):
            chunks.append(chunk)
            read += len(chunk)
            if read > st.st_size:
                raise CorruptManifest("longer than its size (written while it was read)")
    finally:
        os.close(fd)
    try:
        document = json.loads(b"".join(chunks).decode("utf-8"))
    except RecursionError:
        raise CorruptManifest("nested too deeply") from None
    except ValueError as exc:  # not UTF-8, not JSON
        raise CorruptManifest(str(exc)) from None
    files = document.get("files") if isinstance(document, dict) else None
    if not isinstance(files, dict):
        raise CorruptManifest('not an object with a "files" object')
    return Manifest(path, document.get("version"), files)


def manifest_text(version: Any, files: Sequence[Found], hashed: Sequence[Hashed]) -> str:
    """The JSON text of the manifest that lists ``files`` with their digests and sizes,
    as the resolver writes it: ``json.dumps`` with ``indent=2`` and
    ``sort_keys=True``, composed here, since the standard encoder indents in
    pure Python (a tenth of the time of a manifest of many small files)."""
    entries = sorted(zip([f.rel for f in files], [h.size for h in hashed], [h.digest for h in hashed]))
    quoted = json.encoder.encode_basestring_ascii  # what json.dumps makes of a str
    listed = ",\n".join(f'    {quoted(rel)}: {{\n      "sha256": "{digest}",\n      "size": {n}\n    }}'
                        for rel, n, digest in entries)
    shown = json.dumps(version, indent=2, sort_keys=True).replace("\n", "\n  ")
    return ('{\n  "files": {' + (f"\n{listed}\n  }}" if entries else "}") + f',\n  "version": {shown}\n}}')


def write_manifest(directory: str, text: str) -> str:
    """Writes ``text`` as ``directory``'s manifest: into a temporary file
    beside it, which replaces the manifest only once complete and is removed
    on any failure or interruption. Returns the manifest's path."""
    dest = os.path.join(directory, MANIFEST)
    temp = ""
    try:
        for attempt in range(16):
            temp = os.path.join(directory, f".manifest.json.{os.urandom(8).hex()}.tmp")
            try:
                file = open(temp, "x", encoding="utf-8")
                break
            except FileExistsError:
                temp = ""  # another writer's
                if attempt == 15:
                    raise
        with file:
            file.write(text)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temp, dest)
    except BaseException:
        if temp:
            with contextlib.suppress(OSError):
                os.remove(temp)
        raise
    return dest


# ---------------------------------------------------------------------------
# Verification


def unsafe(rel: str) -> bool:
    """Whether a listed path leaves the root, lexically: absolute, or with a ".." part (or no usable path)."""
    return not rel or "\0" in rel or rel.startswith("/") or ".." in rel and ".." in rel.split("/")


def verify(root: str, manifest: Manifest, *, jobs: int, progress: bool,
           excluded: Excluded | None = None) -> list[dict[str, Any]]:
    """Every listed file's record (``path``, ``state`` and what is known of
    its digest and size), in manifest order, then the ``extra`` files under
    the root and the directories there that cannot be listed, in walk order.

    A size that differs from the listed one is a mismatch without hashing.
    The manifest's entry for itself is left out: a manifest never vouches for itself."""
    found = walk(root, excluded)
    walked = {f.rel: f for f in found.files}  # those not listed (yet): the extra files, in walk order
    records: list[dict[str, Any]] = []
    hashing: list[dict[str, Any]] = []  # the records of the files in to_hash, in its order
    to_hash: list[Found] = []
    sizes: list[int | None] = []  # what each of them must measure, where known
    fullmatch = _HEX_DIGEST.fullmatch
    for rel, info in manifest.files.items():
        if rel == MANIFEST:
            continue
        # A path the walk found is inside the root: only the others need the lexical check.
        known = walked.pop(rel, None)
        if known is None:
            if unsafe(rel):
                records.append({"path": rel, "state": UNSAFE})
                continue
            walked.pop(posixpath.normpath(rel), None)  # listed by another name
        digest = info.get("sha256") if isinstance(info, dict) else None
        if type(digest) is not str or fullmatch(digest) is None:
            records.append({"path": rel, "state": NO_DIGEST})
            continue
        record: dict[str, Any] = {"path": rel, "state": None, "expected_sha256": digest}
        records.append(record)
        listed_size = info.get("size")
        if type(listed_size) is not int or listed_size < 0:
            listed_size = None
        else:
            record["expected_size"] = listed_size
        if known is not None and known.stat is None:
            # A plain file the walk found: its size is checked on its descriptor, before any read.
            hashing.append(record)
            to_hash.append(known)
            sizes.append(listed_size)
            continue
        path = os.path.join(root, rel)
        try:
            st = known.stat if known is not None and known.stat is not None else os.stat(path)
        except OSError as exc:
            if exc.errno in (errno.ENOENT, errno.ENOTDIR):
                record["state"] = MISSING
            else:
                record.update(state=UNREADABLE, reason=reason(exc))
            continue
        if not stat.S_ISREG(st.st_mode):
            record["state"] = NOT_A_FILE
            continue
        record["actual_size"] = st.st_size
        if listed_size is not None and listed_size != st.st_size:
            record["state"] = MISMATCH
            continue
        hashing.append(record)
        to_hash.append(Found(rel, path, st))
        sizes.append(st.st_size)

    for record, hashed in zip(hashing, hash_files(to_hash, jobs, progress=progress, sizes=sizes)):
        if hashed.size is not None:
            record["actual_size"] = hashed.size
        if hashed.digest is None:
            record["state"] = hashed.state
            if hashed.reason:
                record["reason"] = hashed.reason
        else:
            record["actual_sha256"] = hashed.digest
            record["state"] = OK if hashed.digest == record["expected_sha256"] else MISMATCH

    for f in walked.values():
        try:
            st = f.stat or os.stat(f.path)
        except OSError as exc:
            if exc.errno not in _NO_FILE:
                records.append({"path": f.rel, "state": UNREADABLE, "reason": reason(exc)})
            continue  # gone since the listing
        records.append({"path": f.rel, "state": EXTRA, "actual_size": st.st_size})
    for rel, _path, error in found.unreadable:
        records.append({"path": rel, "state": UNREADABLE, "reason": reason(error)})
    return records
