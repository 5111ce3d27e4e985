"""The model command as packagers use it: each case runs ``nerov-models`` in a
fresh process on a tree it builds, with a pseudo-terminal where the progress
line matters and FIFOs as traps for anything it must not open; and what
``manifest`` writes, byte for byte against the resolver's own writer."""

import contextlib
import fcntl
import hashlib
import io
import json
import os
import pty
import select
import shutil
import signal
import struct
import subprocess
import sys
import textwrap
import termios
import time

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from nerov.packages.brain import artifax
from nerov_tools import models

COMMAND = os.path.join(os.path.dirname(sys.executable), "nerov-models")
TIMEOUT = 300  # generous: the suite also runs under valgrind
MARKER = "vantor_int8.onnx"
ZEROS = "0" * 64
# Root reads anything; without these capabilities permissions apply to it too.
DROPPED = "-dac_override,-dac_read_search"
UNPRIVILEGED = ["setpriv", f"--bounding-set={DROPPED}", f"--inh-caps={DROPPED}", "--"] if os.geteuid() == 0 else []


def environment(**values):
    env = {k: v for k, v in os.environ.items() if not k.startswith("NEROV_")}
    env.update(values)
    return env


def nerov_models(*args, prefix=(), **env):
    return subprocess.run([*prefix, COMMAND, *map(str, args)], capture_output=True, text=True,
                          timeout=TIMEOUT, env=environment(**env))


def make_tree(root, files):
    for rel, data in files.items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_bytes(data)
    return root


def write_manifest(root, files, **document):
    (root / "manifest.json").write_text(json.dumps({"version": "1", **document, "files": files}))


def sha(data):
    return hashlib.sha256(data).hexdigest()


def can_drop_privileges():
    if UNPRIVILEGED and not shutil.which("setpriv"):
        pytest.skip("no way to drop root's access to every file")


def test_a_packager_writes_verifies_and_lists_a_manifest(tmp_path):
    root = make_tree(tmp_path / "models", {MARKER: b"model", "sub/tok.json": b"{}", ".hidden": b"",
                                           "manifest.json": b"previous"})
    done = nerov_models("manifest", root, NEROV_MODELS_VERSION="9.9")
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == f"wrote {root / 'manifest.json'}: 3 files, 7 B (7 bytes)\n"
    written = json.loads((root / "manifest.json").read_text())
    assert written == artifax.generate_manifest(str(root), "9.9")

    done = nerov_models("manifest", root, "--version", "2.0", "--jobs", "1")
    assert done.returncode == 0 and json.loads((root / "manifest.json").read_text())["version"] == "2.0"
    done = nerov_models("-q", "--log-level", "debug", "verify", "--strict", root)
    assert (done.returncode, done.stdout, done.stderr) == (0, f"{root}: ok (3 ok)\n", "")

    done = nerov_models("list", "--json", root)
    listed = json.loads(done.stdout)
    assert done.returncode == 0 and listed["version"] == "2.0"
    assert listed["files"] == [{"path": rel, **entry} for rel, entry in written["files"].items()]
    done = nerov_models("list", root)
    assert done.stdout.splitlines()[1].split() == [".hidden", "0", written["files"][".hidden"]["sha256"][:12]]
    (root / "manifest.json").write_text(json.dumps({"files": {"two\nlines": {"size": 1}}}))
    done = nerov_models("list", root)
    assert done.stdout.splitlines() == [f"{root / 'manifest.json'}: version -, 1 file, 1 B",
                                        "  'two\\nlines'               1  -"]

    missing = tmp_path / "nowhere"
    done = nerov_models("list", "--json", NEROV_MODELS_DIR=str(root))
    candidates = json.loads(done.stdout)
    assert candidates["chosen"] == str(root)
    assert candidates["roots"][0] == {"root": str(root), "exists": True, "core_marker": True, "chosen": True}
    done = nerov_models("list", NEROV_MODELS_DIR=str(missing))
    assert done.stdout.splitlines() == [f"1. {missing}: missing", *done.stdout.splitlines()[1:-1],
                                        f"no candidate root holds {MARKER}"]


def test_verify_gives_every_listed_file_a_state_and_never_opens_what_it_must_not(tmp_path):
    os.mkfifo(tmp_path / "trap")  # opened for reading, it blocks until the timeout fails the test
    root = make_tree(tmp_path / "root", {"ok.onnx": b"model", "wrong.onnx": b"x", "short.onnx": b"zz",
                                         "secret.onnx": b"s", "new.bin": b"new", ".git/HEAD": b"ref",
                                         ".manifest.json.0123456789abcdef.tmp": b"a writer's"})
    os.mkfifo(root / "fifo")
    (root / "dir").mkdir()
    (root / "inside").symlink_to(tmp_path / "trap")
    files = {
        "ok.onnx": {"sha256": sha(b"model"), "size": 5},
        "wrong.onnx": {"sha256": sha(b"y")},
        "short.onnx": {"sha256": sha(b"zz"), "size": 3},
        "gone.onnx": {"sha256": ZEROS},
        "no-digest.onnx": {"size": 1, "sha256": "abc"},
        "not-an-object.onnx": 3,
        "../trap": {"sha256": ZEROS},
        str(tmp_path / "trap"): {"sha256": ZEROS},
        "sub/../../trap": {"sha256": ZEROS},
        "fifo": {"sha256": ZEROS},
        "inside": {"sha256": ZEROS},
        "dir": {"sha256": ZEROS},
        "manifest.json": {"sha256": ZEROS},  # a manifest never vouches for itself
    }
    if os.geteuid() != 0 or UNPRIVILEGED and shutil.which("setpriv"):
        files["secret.onnx"] = {"sha256": sha(b"s")}
        (root / "secret.onnx").chmod(0)
    write_manifest(root, files)

    prefix = UNPRIVILEGED if "secret.onnx" in files else ()
    done = nerov_models("verify", "--json", root, prefix=prefix)
    assert (done.returncode, done.stderr) == (1, "")
    document = json.loads(done.stdout)
    assert document["schema"] == 1
    [result] = document["roots"]
    states = [(f["path"], f["state"]) for f in result["files"]]
    assert states == [
        ("ok.onnx", "ok"), ("wrong.onnx", "mismatch"), ("short.onnx", "mismatch"), ("gone.onnx", "missing"),
        ("no-digest.onnx", "no digest"), ("not-an-object.onnx", "no digest"), ("../trap", "unsafe path"),
        (str(tmp_path / "trap"), "unsafe path"), ("sub/../../trap", "unsafe path"), ("fifo", "not a file"),
        ("inside", "not a file"), ("dir", "not a file"),
        *([("secret.onnx", "unreadable")] if "secret.onnx" in files else []),
        (".git/HEAD", "extra"), ("new.bin", "extra"),
        *([] if "secret.onnx" in files else [("secret.onnx", "extra")]),
    ]
    assert result["status"] == "failed" and result["counts"]["extra"] == 2 + ("secret.onnx" not in files)
    by_path = {f["path"]: f for f in result["files"]}
    assert by_path["wrong.onnx"] == {"path": "wrong.onnx", "state": "mismatch", "expected_sha256": sha(b"y"),
                                     "actual_sha256": sha(b"x"), "actual_size": 1}
    # A size that differs is a mismatch at once: nothing is hashed.
    assert by_path["short.onnx"] == {"path": "short.onnx", "state": "mismatch", "expected_sha256": sha(b"zz"),
                                     "expected_size": 3, "actual_size": 2}

    done = nerov_models("verify", root, prefix=prefix)
    unreadable, extra = ("1 unreadable, ", 2) if "secret.onnx" in files else ("", 3)
    assert done.stdout.splitlines()[:3] == [
        f"{root}: failed (1 ok, 2 mismatch, 1 missing, 2 no digest, 3 unsafe path, 3 not a file, "
        f"{unreadable}{extra} extra)",
        "  mismatch     wrong.onnx", "  mismatch     short.onnx  (size 2, listed 3)"]

    # Extra files are shown, and fail a root only with --strict; --exclude leaves them out.
    clean = make_tree(tmp_path / "clean", {"a.onnx": b"a", ".git/HEAD": b"ref", "cache/x.pyc": b"x"})
    write_manifest(clean, {"a.onnx": {"sha256": sha(b"a")}, "b.onnx": {"sha256": ZEROS}})
    runs = {args: nerov_models("verify", *args, clean) for args in [
        (), ("--ignore-missing",), ("--ignore-missing", "--strict"),
        ("--ignore-missing", "--strict", "--exclude", ".git", "--exclude", "cache/*")]}
    assert {args: done.returncode for args, done in runs.items()} == {
        (): 1, ("--ignore-missing",): 0, ("--ignore-missing", "--strict"): 1,
        ("--ignore-missing", "--strict", "--exclude", ".git", "--exclude", "cache/*"): 0}
    assert runs[("--ignore-missing",)].stdout.splitlines() == [
        f"{clean}: ok (1 ok, 1 missing, 2 extra)", "  missing      b.onnx", "  extra        .git/HEAD",
        "  extra        cache/x.pyc"]
    # ... but not when no listed file is there at all: then this is not the root it was made for.
    (clean / "a.onnx").unlink()
    assert nerov_models("verify", "--ignore-missing", clean).returncode == 1


@pytest.mark.parametrize("terminal", [False, True], ids=["pipe", "terminal"])
def test_a_root_that_cannot_vouch_for_its_files_is_no_success(tmp_path, terminal):
    manifests = {"not json": b"{not json", "no files": b'{"version": "1"}', "files not an object": b'{"files": []}',
                 "not an object": b"[]", "deeply nested": b'{"files": {"a": ' + b"[" * 100_000 + b"]" * 100_000 + b"}}",
                 "byte-order mark": b'\xef\xbb\xbf{"files": {}}'}
    roots = [make_tree(tmp_path / name, {"manifest.json": text}) for name, text in manifests.items()]
    roots.append(make_tree(tmp_path / "no manifest", {MARKER: b"model"}))
    fifo_root = tmp_path / "fifo root"
    fifo_root.mkdir()
    os.mkfifo(fifo_root / "manifest.json")
    roots.append(fifo_root)
    stderr = subprocess.PIPE
    if terminal:
        controller, stderr = pty.openpty()
    try:
        done = subprocess.run([COMMAND, "verify", *roots], stdout=subprocess.PIPE, stderr=stderr, text=True,
                              timeout=TIMEOUT, env=environment())
    finally:
        if terminal:
            os.close(controller)
            os.close(stderr)
    assert done.returncode == 1
    lines = done.stdout.splitlines()
    assert [line.split(": ", 2)[1] for line in lines] == ["corrupt manifest"] * 6 + ["no manifest", "corrupt manifest"]
    assert lines[4] == f"{roots[4]}: corrupt manifest: nested too deeply"
    assert lines[-1] == f"{fifo_root}: corrupt manifest: not a regular file"

    # With no root named and no candidate root there, nothing was verified.
    done = nerov_models("verify", NEROV_MODELS_DIR=str(tmp_path / "nowhere"))
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr.startswith(f"nerov-models: no candidate root exists (looked at: {tmp_path / 'nowhere'}, ")


def unusable(tmp_path, case):
    """Sets up a bad input; returns the command's arguments and what runs it."""
    tree = make_tree(tmp_path / "tree", {MARKER: b"model", "secret.onnx": b"s"})
    if case == "missing directory":
        return ["verify", tmp_path / "nowhere"], ()
    if case == "file instead of a directory":
        return ["manifest", tree / MARKER], ()
    if case == "wrong-shape manifest":
        (tree / "manifest.json").write_text('{"files": [1, 2]}')
        return ["list", tree], ()
    can_drop_privileges()
    if case == "unreadable file":
        (tree / "secret.onnx").chmod(0)
        return ["manifest", tree], UNPRIVILEGED
    if case == "unreadable subdirectory":
        (tree / "secret.onnx").unlink()
        (tree / "sub").mkdir(0)
        return ["manifest", tree], UNPRIVILEGED
    if case == "unreadable manifest":
        (tree / "manifest.json").write_text('{"files": {}}')
        (tree / "manifest.json").chmod(0)
        return ["verify", tree], UNPRIVILEGED
    if case == "unreadable root":
        tree.chmod(0)
        return ["verify", tree], UNPRIVILEGED
    tree.chmod(0o555)  # a root without write permission
    return ["manifest", tree], UNPRIVILEGED


@pytest.mark.parametrize("case, status, message", [
    ("missing directory", 3, "nowhere: no such directory"),
    ("file instead of a directory", 3, f"{MARKER}: not a directory"),
    ("wrong-shape manifest", 1, 'manifest.json: corrupt manifest: not an object with a "files" object'),
    ("unreadable file", 3, "secret.onnx: Permission denied"),
    ("unreadable subdirectory", 3, "tree/sub: Permission denied"),
    ("unreadable manifest", 3, "manifest.json: cannot read: Permission denied"),
    ("unreadable root", 3, "tree: cannot read: Permission denied"),
    ("read-only root", 3, "manifest.json: Permission denied"),
])
def test_bad_input_is_one_line_and_a_status(tmp_path, case, status, message):
    args, prefix = unusable(tmp_path, case)
    try:
        done = nerov_models(*args, prefix=prefix)
    finally:
        (tmp_path / "tree").chmod(0o755)
    assert (done.returncode, done.stdout) == (status, "")
    assert done.stderr.startswith("nerov-models: ") and done.stderr.endswith(f"{message}\n")
    assert done.stderr.count("\n") == 1
    if args[0] == "manifest":
        assert not (tmp_path / "tree" / "manifest.json").exists()
        assert not [name for name in os.listdir(tmp_path / "tree") if name.endswith(".tmp")]


@pytest.mark.parametrize("args", [["--help"], ["--version"], ["verify", "--help"]])
def test_help_and_version_into_a_full_disk(args):
    with open("/dev/full", "w") as full:
        done = subprocess.run([COMMAND, *args], stdout=full, stderr=subprocess.PIPE, text=True, timeout=TIMEOUT,
                              env=environment())
    assert done.returncode == 6
    assert done.stderr == "nerov-models: cannot write standard output: No space left on device\n"


# -- what manifest writes ------------------------------------------------------

NAMES = st.sampled_from(["a", "A", "b", ".hidden", "a.b", "a b", "é", "e\u0301", "日本", "manifest.json", "-",
                         ".manifest.json.0123456789abcdef.tmp", "Z", "z.onnx"])
TREES = st.lists(st.tuples(st.integers(0, 20), NAMES, st.sampled_from(["file"] * 4 + ["dir"] * 2 + ["link", "fifo"]),
                           st.sampled_from([0, 1, 7, 4096, (1 << 20) + 1])), max_size=14)


def build(root, ops):
    dirs, files = [root], []
    for pick, name, kind, size in ops:
        path = dirs[pick % len(dirs)] / name
        if os.path.lexists(path) or path == root / "manifest.json" and kind == "dir":
            continue
        if kind == "file":
            path.write_bytes(bytes([pick]) * size)
            if path != root / "manifest.json":  # replaced by what is written
                files.append(path)
        elif kind == "dir":
            path.mkdir()
            dirs.append(path)
        elif kind == "link" and files:
            path.symlink_to(os.path.relpath(files[pick % len(files)], path.parent))
        elif kind == "fifo":
            os.mkfifo(path)  # never opened by either writer


@settings(max_examples=40, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(ops=TREES, version=st.text(max_size=5), jobs=st.sampled_from(["1", "3"]))
def test_manifest_is_what_the_resolver_writes_byte_for_byte(tmp_path_factory, ops, version, jobs):
    root = tmp_path_factory.mktemp("tree")
    build(root, ops)
    artifax.write_manifest(str(root), version)
    expected = (root / "manifest.json").read_bytes()
    (root / "manifest.json").unlink()
    with contextlib.redirect_stdout(io.StringIO()):
        assert models.main(["manifest", str(root), f"--version={version}", "--jobs", jobs]) == 0
        assert (root / "manifest.json").read_bytes() == expected
        # What it wrote, it verifies strictly; also with no sizes listed, learnt as the files are opened.
        assert models.main(["verify", "--strict", str(root), "--jobs", jobs]) == 0
        written = json.loads(expected)
        for entry in written["files"].values():
            del entry["size"]
        (root / "manifest.json").write_text(json.dumps(written))
        assert models.main(["verify", "--strict", str(root), "--jobs", jobs]) == 0


# -- files that change, Ctrl-C, progress ---------------------------------------


def file_open_in(pid, path):
    fds = f"/proc/{pid}/fd"
    targets = []
    for fd in os.listdir(fds):
        try:
            targets.append(os.readlink(os.path.join(fds, fd)))
        except OSError:  # closed meanwhile
            pass
    return str(path) in targets


def wait_until_open(proc, path):
    deadline = time.monotonic() + TIMEOUT
    while proc.poll() is None and not file_open_in(proc.pid, path) and time.monotonic() < deadline:
        time.sleep(0.01)


def sparse(path, size=1 << 40):
    with open(path, "wb") as f:
        f.truncate(size)  # hashing it all would outlast the timeout


@pytest.mark.parametrize("command", ["manifest", "verify"])
def test_a_file_that_changes_while_it_is_hashed(tmp_path, command):
    root = tmp_path / "models"
    root.mkdir()
    big = root / "big.onnx"
    sparse(big)
    write_manifest(root, {"big.onnx": {"sha256": ZEROS}})
    before = (root / "manifest.json").read_bytes()
    proc = subprocess.Popen([COMMAND, command, str(root)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=environment())
    try:
        wait_until_open(proc, big)
        os.truncate(big, 0)
        out, err = proc.communicate(timeout=TIMEOUT)
    finally:
        proc.kill()
    if command == "manifest":
        assert (proc.returncode, out, err) == (3, "", f"nerov-models: {big}: changed while it was hashed\n")
        assert (root / "manifest.json").read_bytes() == before
    else:
        assert (proc.returncode, err) == (1, "")
        assert out.splitlines()[1] == "  changed      big.onnx  (changed while it was hashed)"


@pytest.mark.parametrize("terminal", [True, False], ids=["terminal", "pipe"])
@pytest.mark.parametrize("command", ["manifest", "verify", "status report"])
def test_progress_on_a_terminal_and_ctrl_c_while_hashing(tmp_path, command, terminal):
    root = tmp_path / "models"
    root.mkdir()
    (root / MARKER).write_bytes(b"model")
    big, second = root / "big.onnx", root / "second.onnx"
    sparse(big)
    sparse(second, (1 << 40) - 1)
    write_manifest(root, {"big.onnx": {"sha256": ZEROS}, "second.onnx": {"sha256": ZEROS}})
    before = (root / "manifest.json").read_bytes()
    args = [] if command == "status report" else [command, str(root), "--jobs", "2"]

    if terminal:
        master, stderr = pty.openpty()
        fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 120, 0, 0))
    else:
        master, stderr = None, subprocess.PIPE
    proc = subprocess.Popen([COMMAND, *args], stdout=subprocess.PIPE, stderr=stderr,
                            env=environment(NEROV_MODELS_DIR=str(root)),
                            # Ctrl-C's own disposition, even if the tests ignore it
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        deadline = time.monotonic() + TIMEOUT
        if terminal:  # interrupt once the progress line shows, then read what the terminal holds
            err, interrupted = b"", False
            while proc.poll() is None and time.monotonic() < deadline:
                if select.select([master], [], [], 0.1)[0]:
                    err += os.read(master, 4096)
                    if b" TiB  " in err and not interrupted:
                        proc.send_signal(signal.SIGINT)
                        interrupted = True
            while select.select([master], [], [], 0.5)[0]:
                err += os.read(master, 4096)
            out, _ = proc.communicate(timeout=TIMEOUT)
        else:  # interrupt once the big file is being hashed (with two workers, both files)
            wait_until_open(proc, big)
            if command != "status report":
                wait_until_open(proc, second)
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=TIMEOUT)
    finally:
        proc.kill()
        if terminal:  # held open here, so that the terminal keeps what the command wrote last
            os.close(master)
            os.close(stderr)
    assert proc.returncode == 130 and out == b""
    if terminal:
        frame = err.split(b"\r\x1b[K")[1].decode()
        if command == "status report":
            assert frame.startswith("checking the model files  0:0") and " of 1.0 TiB  " in frame
            assert frame.endswith(" big.onnx")
        else:  # bytes summed over both workers, the largest file first
            assert " of 2.0 TiB  " in frame and frame.endswith((" left  big.onnx", " left  second.onnx"))
        assert err.endswith(b"\r\x1b[K")  # erased at the end
        assert b"Traceback" not in err
    else:
        assert err == b""
    assert (root / "manifest.json").read_bytes() == before
    assert sorted(os.listdir(root)) == ["big.onnx", "manifest.json", "second.onnx", MARKER]


def test_status_report_by_default_and_a_closed_pipe_ends_quietly(tmp_path):
    root = make_tree(tmp_path, {MARKER: b"model"})
    done = nerov_models(NEROV_MODELS_DIR=str(root))
    assert done.returncode == 0
    assert done.stdout.splitlines()[:3] == ["=== Nerov Artifax ===", "", f"  Core models  : {root}"]
    proc = subprocess.Popen([COMMAND], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=environment(NEROV_MODELS_DIR=str(root)))
    proc.stdout.close()  # the reader is gone before the report is written
    with proc.stderr:
        assert proc.wait(timeout=TIMEOUT) == 0 and proc.stderr.read() == b""
    assert nerov_models("--bogus").returncode == 2


def test_the_status_report_on_a_terminal_gives_back_a_callers_timer(tmp_path):
    root = make_tree(tmp_path / "models", {MARKER: b"model"})
    controller, terminal = pty.openpty()
    try:
        done = subprocess.run([sys.executable, "-c", textwrap.dedent("""
            import signal, sys
            from nerov_tools import models
            fired = []
            signal.signal(signal.SIGALRM, lambda *_: fired.append(1))
            signal.setitimer(signal.ITIMER_REAL, 60, 30)
            models.main([])
            delay, interval = signal.getitimer(signal.ITIMER_REAL)
            print(50 < delay <= 60, interval, signal.getsignal(signal.SIGALRM) is not signal.SIG_DFL, fired)
        """)], stdout=subprocess.PIPE, stderr=terminal, text=True, timeout=TIMEOUT,
            env=environment(NEROV_MODELS_DIR=str(root)))
    finally:
        os.close(controller)
        os.close(terminal)
    assert (done.returncode, done.stdout.splitlines()[-1]) == (0, "True 30.0 True []")
