"""The model command as packagers use it: each case runs ``nerov-models`` in a
fresh process, with a pseudo-terminal where the progress line matters."""

import fcntl
import json
import os
import pty
import select
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time

import pytest

from nerov.packages.brain import artifax

COMMAND = os.path.join(os.path.dirname(sys.executable), "nerov-models")
TIMEOUT = 300  # generous: the suite also runs under valgrind
MARKER = "vantor_int8.onnx"
MISMATCH = "artifax: checksum mismatch for %s \u2014 corrupt artifacts: %s. Reinstall the model package."
# Root reads anything; without these capabilities permissions apply to it too.
UNPRIVILEGED = (["setpriv", "--bounding-set=-dac_override,-dac_read_search"] if os.geteuid() == 0 else [])


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


def write_manifest(root, files):
    (root / "manifest.json").write_text(json.dumps({"version": "1", "files": files}))


def test_a_packager_writes_verifies_and_lists_a_manifest(tmp_path):
    root = make_tree(tmp_path / "models", {MARKER: b"model", "sub/tok.json": b"{}", ".hidden": b"",
                                           "manifest.json": b"previous"})
    done = nerov_models("manifest", root, NEROV_MODELS_VERSION="9.9")
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == f"wrote {root / 'manifest.json'}: 3 files, 7 B (7 bytes)\n"
    written = json.loads((root / "manifest.json").read_text())
    assert written == artifax.generate_manifest(str(root), "9.9")

    done = nerov_models("manifest", root, "--version", "2.0")
    assert done.returncode == 0 and json.loads((root / "manifest.json").read_text())["version"] == "2.0"
    done = nerov_models("verify", root)
    assert (done.returncode, done.stdout, done.stderr) == (0, f"{root}: ok\n", "")

    done = nerov_models("list", "--json", root)
    listed = json.loads(done.stdout)
    assert done.returncode == 0 and listed["version"] == "2.0"
    assert listed["files"] == [{"path": rel, **entry} for rel, entry in written["files"].items()]
    done = nerov_models("list", root)
    assert done.stdout.splitlines()[1].split() == [".hidden", "0", written["files"][".hidden"]["sha256"][:12]]

    missing = tmp_path / "nowhere"
    done = nerov_models("list", "--json", NEROV_MODELS_DIR=str(root))
    candidates = json.loads(done.stdout)
    assert candidates["chosen"] == str(root)
    assert candidates["roots"][0] == {"root": str(root), "exists": True, "core_marker": True, "chosen": True}
    done = nerov_models("list", NEROV_MODELS_DIR=str(missing))
    assert done.stdout.splitlines() == [f"1. {missing}: missing", *done.stdout.splitlines()[1:-1],
                                        f"no candidate root holds {MARKER}"]


def test_verify_reports_what_the_resolver_finds(tmp_path, caplog):
    good = make_tree(tmp_path / "good", {MARKER: b"model"})
    write_manifest(good, {MARKER: {"sha256": artifax._sha256(str(good / MARKER))}})
    bad = make_tree(tmp_path / "bad", {MARKER: b"model", "a.onnx": b"a", "b.onnx": b"b"})
    write_manifest(bad, {"b.onnx": {"sha256": "0" * 64}, "gone.onnx": {"sha256": "1" * 64},
                         "manifest.json": {"sha256": "2" * 64},
                         "a.onnx": {"sha256": artifax._sha256(str(bad / "a.onnx")).upper()},
                         MARKER: {"sha256": artifax._sha256(str(bad / MARKER))}})
    corrupt = make_tree(tmp_path / "corrupt", {"manifest.json": b"{not json"})
    shapeless = make_tree(tmp_path / "shapeless", {"manifest.json": b'{"files": []}'})
    bare = make_tree(tmp_path / "bare", {MARKER: b"model"})

    # Asked for explicitly, the check runs whatever NEROV_SKIP_MODEL_CHECK says.
    done = nerov_models("verify", "--json", good, bad, corrupt, shapeless, bare, NEROV_SKIP_MODEL_CHECK="1")
    assert done.returncode == 1 and done.stderr == ""
    results = {r["root"]: (r["result"], r["mismatches"]) for r in json.loads(done.stdout)["roots"]}
    assert results == {str(good): ("ok", []), str(bad): ("mismatch", ["b.onnx", "a.onnx"]),
                       str(corrupt): ("corrupt manifest", []), str(shapeless): ("corrupt manifest", []),
                       str(bare): ("no manifest", [])}
    artifax._verify_if_present(str(bad))  # the resolver itself, in this process
    assert [(r.msg, r.args) for r in caplog.records] == [(MISMATCH, (str(bad), ["b.onnx", "a.onnx"]))]

    done = nerov_models("verify", bad, bare)
    assert (done.returncode, done.stdout) == (1, f"{bad}: mismatch\n  b.onnx\n  a.onnx\n{bare}: no manifest\n")
    done = nerov_models("verify", NEROV_MODELS_DIR=str(good))  # every candidate that exists
    assert (done.returncode, done.stdout) == (0, f"{good}: ok\n")


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
    if not shutil.which("setpriv") and UNPRIVILEGED:
        pytest.skip("no way to drop root's access to every file")
    if case == "unreadable file":
        (tree / "secret.onnx").chmod(0)
        return ["manifest", tree], UNPRIVILEGED
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
        assert sorted(os.listdir(tmp_path / "tree")) == sorted([MARKER, "secret.onnx"])


def test_status_report_by_default_and_a_closed_pipe_ends_quietly(tmp_path):
    root = make_tree(tmp_path, {MARKER: b"model"})
    done = nerov_models(NEROV_MODELS_DIR=str(root))
    assert done.returncode == 0
    assert done.stdout.splitlines()[:3] == ["=== Nerov Artifax ===", "", f"  Core models  : {root}"]
    proc = subprocess.Popen([COMMAND], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment())
    proc.stdout.close()  # the reader is gone before the report is written
    assert proc.wait(timeout=TIMEOUT) == 0 and proc.stderr.read() == b""
    assert nerov_models("--bogus").returncode == 2


def file_open_in(pid, path):
    fds = f"/proc/{pid}/fd"
    targets = []
    for fd in os.listdir(fds):
        try:
            targets.append(os.readlink(os.path.join(fds, fd)))
        except OSError:  # closed meanwhile
            pass
    return str(path) in targets


@pytest.mark.parametrize("terminal", [True, False], ids=["terminal", "pipe"])
@pytest.mark.parametrize("command", ["manifest", "verify"])
def test_progress_on_a_terminal_and_ctrl_c_while_hashing(tmp_path, command, terminal):
    root = tmp_path / "models"
    root.mkdir()
    big = root / "big.onnx"
    with open(big, "wb") as f:
        f.truncate(1 << 40)  # sparse; hashing it all would outlast the timeout
    write_manifest(root, {"big.onnx": {"sha256": "0" * 64}})
    before = (root / "manifest.json").read_bytes()

    if terminal:
        master, stderr = pty.openpty()
        fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 120, 0, 0))
    else:
        master, stderr = None, subprocess.PIPE
    proc = subprocess.Popen([COMMAND, command, str(root)], stdout=subprocess.PIPE, stderr=stderr,
                            env=environment(),  # Ctrl-C's own disposition, even if the tests ignore it
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        deadline = time.monotonic() + TIMEOUT
        if terminal:  # interrupt once the progress line shows, then read what the terminal holds
            err, interrupted = b"", False
            while proc.poll() is None and time.monotonic() < deadline:
                if select.select([master], [], [], 0.1)[0]:
                    err += os.read(master, 4096)
                    if b"of 1.0 TiB" in err and not interrupted:
                        proc.send_signal(signal.SIGINT)
                        interrupted = True
            while select.select([master], [], [], 0.5)[0]:
                err += os.read(master, 4096)
            out, _ = proc.communicate(timeout=TIMEOUT)
        else:  # interrupt once the big file is being hashed
            while proc.poll() is None and not file_open_in(proc.pid, big) and time.monotonic() < deadline:
                time.sleep(0.01)
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
        assert " of 1.0 TiB  " in frame and frame.endswith(" left  big.onnx")
        assert err.endswith(b"\r\x1b[K")  # erased at the end
        assert b"Traceback" not in err
    else:
        assert err == b""
    assert (root / "manifest.json").read_bytes() == before
    assert sorted(os.listdir(root)) == ["big.onnx", "manifest.json"]
