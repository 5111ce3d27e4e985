"""The resolver at the edges of the process: Ctrl-C during a long hash,
hashers that keep what they are given, other threads and processes writing
the same directory. Each case runs in a fresh interpreter with a time limit,
so that a hang is one failure."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

MiB = 1 << 20
PRELUDE = """
import hashlib, json, os, signal, sys, threading, time, types
from nerov.packages.brain import artifax
"""


def run_python(code, *args, timeout=120):
    return subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)


def popen_python(code, *args):
    return subprocess.Popen([sys.executable, "-c", PRELUDE + textwrap.dedent(code), *map(str, args)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


@pytest.mark.parametrize("operation", ["_sha256", "_sha256 with a native foreign hasher", "_verify_if_present",
                                       "generate_manifest"])
def test_ctrl_c_interrupts_a_long_hash(tmp_path, operation):
    # A sparse terabyte: hours to hash, so only an interrupt ends the call in time.
    big = tmp_path / "vantor_int8.onnx"
    with open(big, "wb") as f:
        f.truncate(1 << 40)
    (tmp_path / "manifest.json").write_text(json.dumps({"files": {big.name: {"sha256": "0" * 64}}}))
    try:
        proc = run_python("""
            path, operation = sys.argv[1:]
            root, real_path = os.path.dirname(path), os.path.realpath(path)
            signal.signal(signal.SIGINT, signal.default_int_handler)

            def reading():
                # The offset of an open descriptor of the file, or None.
                for fd in os.listdir("/proc/self/fd"):
                    try:
                        if os.readlink(f"/proc/self/fd/{fd}") == real_path:
                            with open(f"/proc/self/fdinfo/{fd}") as info:
                                return int(info.readline().split()[1])
                    except OSError:
                        pass

            def ctrl_c_once_hashing():
                while not reading():
                    time.sleep(0.01)
                os.kill(os.getpid(), signal.SIGINT)

            if "foreign" in operation:
                artifax.hashlib = types.SimpleNamespace(sha256=hashlib.blake2b)
            threading.Thread(target=ctrl_c_once_hashing, daemon=True).start()
            try:
                if operation.startswith("_sha256"):
                    artifax._sha256(path)
                elif operation == "_verify_if_present":
                    artifax._verify_if_present(root)
                else:
                    artifax.generate_manifest(root, "1")
            except KeyboardInterrupt:
                print("interrupted; file still open:", reading() is not None)
        """, big, operation)
    finally:
        big.unlink()  # no terabyte, even a sparse one, left in the kept temporary folders
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "interrupted; file still open: False\n"


def test_a_foreign_hasher_gets_fresh_bytes_as_read_returns_them(tmp_path):
    sizes = [0, 100 * 1024, MiB, 3 * MiB + 5]
    for size in sizes:
        (tmp_path / f"f{size}").write_bytes(os.urandom(size))
    proc = run_python("""
        root = sys.argv[1]

        class Keeper:  # keeps every block, as a progress meter or a copier may
            def __init__(self):
                self.blocks = []

            def update(self, block):
                self.blocks.append(block)

            def hexdigest(self):
                return hashlib.sha256(b"".join(self.blocks)).hexdigest()

        keepers = []
        artifax.hashlib = types.SimpleNamespace(sha256=lambda: keepers.append(Keeper()) or keepers[-1])
        single = {name: artifax._sha256(os.path.join(root, name)) for name in sorted(os.listdir(root))}
        walked = {rel: e["sha256"] for rel, e in artifax.generate_manifest(root, "1")["files"].items()}
        with_real = {name: hashlib.file_digest(open(os.path.join(root, name), "rb"), "sha256").hexdigest()
                     for name in single}
        print(json.dumps({
            "digests_right": single == walked == with_real,
            "blocks": [[type(b).__name__ + str(len(b)) for b in k.blocks] for k in keepers],
        }))
    """, tmp_path)
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout)
    assert result["digests_right"]
    by_size = {0: [], 100 * 1024: ["bytes102400"], MiB: ["bytes1048576"],
               3 * MiB + 5: ["bytes1048576"] * 3 + ["bytes5"]}
    expected = [by_size[int(name[1:])] for name in sorted(f"f{s}" for s in sizes)]
    assert result["blocks"] == expected * 2  # _sha256 alone, then within the walk


WRITER_AND_WALKER = """
root, rounds = sys.argv[1], int(sys.argv[2])
errors, listed = [], set()
deadline = time.monotonic() + 30  # fewer rounds where everything is slow (valgrind)

def repeat(operation):
    for _ in range(rounds):
        if time.monotonic() > deadline:
            break
        try:
            operation()
        except Exception as e:
            errors.append(repr(e))

def write():
    artifax.write_manifest(root, "1")

def walk():
    listed.update(artifax.generate_manifest(root, "1")["files"])

threads = [threading.Thread(target=repeat, args=(op,)) for op in (write, walk)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print(json.dumps({"errors": errors, "listed": sorted(listed)}))
"""


def test_concurrent_writers_and_walkers_of_one_directory(tmp_path):
    names = [f"f{i}.bin" for i in range(8)]
    for name in names:
        (tmp_path / name).write_bytes(os.urandom(4096))
    # Two processes, each writing the manifest in one thread while walking in another.
    procs = [popen_python(WRITER_AND_WALKER, tmp_path, 200) for _ in range(2)]
    try:
        outputs = [p.communicate(timeout=120) for p in procs]
    finally:
        for p in procs:
            p.kill()
    for p, (out, err) in zip(procs, outputs):
        assert p.returncode == 0, err
        result = json.loads(out)
        assert result == {"errors": [], "listed": names}
    assert sorted(os.listdir(tmp_path)) == sorted(names + ["manifest.json"])
    manifest = json.loads((tmp_path / "manifest.json").read_text())
    assert sorted(manifest["files"]) == names


def test_a_file_gone_before_hashing_is_left_out(tmp_path):
    for name in ("a", "b", "c"):
        (tmp_path / name).write_bytes(name.encode())
    (tmp_path / "manifest.json").write_text(json.dumps({"files": {"b": {"sha256": "0" * 64}}}))
    proc = run_python("""
        import logging
        root = sys.argv[1]
        real = artifax._sha256

        def sha256_after_removal(path):  # another process removes "b" just now
            if os.path.basename(path) == "b":
                os.remove(path)
            return real(path)

        artifax._sha256 = sha256_after_removal
        logging.basicConfig(level=logging.WARNING, stream=sys.stdout, format="%(message)s")
        artifax._verify_if_present(root)
        open(os.path.join(root, "b"), "w").close()
        print(sorted(artifax.generate_manifest(root, "1")["files"]))
    """, tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "['a', 'c']\n"


def test_unpacking_a_manifest_item_passes_its_own_iteration_error_through(tmp_path):
    (tmp_path / "manifest.json").write_text("{}")
    proc = run_python("""
        class Item:
            def __init__(self, error):
                self.error = error

            def __iter__(self):
                raise self.error

        class Files(dict):  # items that a plain dict would never hold
            def __init__(self, item):
                self.item = item

            def items(self):
                return [self.item]

        for item in (Item(TypeError("item refuses iteration")), 42):
            artifax.json = types.SimpleNamespace(load=lambda f: {"files": Files(item)})
            artifax._verified_roots = set()
            try:
                artifax._verify_if_present(sys.argv[1])
            except TypeError as e:
                print(e)
    """, tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["item refuses iteration", "cannot unpack non-iterable int object"]


def test_a_standard_module_that_cannot_be_imported_fails_the_import_by_name():
    code = textwrap.dedent("""
        import importlib, sys
        NAME = "nerov.packages.brain.artifax"
        for blocked in ("json", "hashlib", "logging"):
            saved = sys.modules.get(blocked)
            sys.modules[blocked] = None
            try:
                importlib.import_module(NAME)
            except ImportError as e:
                print(type(e).__name__, e.name, e.__cause__ is None and e.__context__ is None)
            finally:
                if saved is None:
                    del sys.modules[blocked]
                else:
                    sys.modules[blocked] = saved
            print(NAME in sys.modules)
        print(callable(importlib.import_module(NAME).resolve_core_models_root))  # a failure leaves nothing behind
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [line for name in ("json", "hashlib", "logging")
                                        for line in (f"ModuleNotFoundError {name} True", "False")] + ["True"]


def test_a_manifest_naming_files_outside_its_root_is_corrupt_and_opens_nothing(tmp_path):
    os.mkfifo(tmp_path / "fifo")  # opening it for reading would wait for a writer for ever
    (tmp_path / "outside.bin").write_bytes(b"x")
    wrong = {"sha256": "0" * 64}
    cases = {
        "parent": {"good.bin": wrong, "../fifo": wrong},  # the file before it is not opened either
        "deeper": {"sub/../../outside.bin": wrong},
        "absolute": {str(tmp_path / "fifo"): wrong, str(tmp_path / "outside.bin"): wrong},
        "kernel": {"/proc/self/pagemap": wrong},  # endless to read
        "inside": {"./good.bin": wrong, "sub//deep.bin": wrong, "link.bin": wrong},  # all still checked
    }
    for case, files in cases.items():
        root = tmp_path / case
        (root / "sub").mkdir(parents=True)
        (root / "good.bin").write_bytes(b"g")
        (root / "sub" / "deep.bin").write_bytes(b"d")
        os.symlink(tmp_path / "outside.bin", root / "link.bin")
        (root / "vantor_int8.onnx").write_bytes(b"")
        (root / "manifest.json").write_text(json.dumps({"files": files}))
    proc = run_python("""
        import builtins, logging
        logging.basicConfig(level=logging.WARNING, stream=sys.stdout, format="%(message)s")
        opened = []

        def spy(path, *args, **kwargs):
            opened.append(os.path.basename(path))
            return builtins.open(path, *args, **kwargs)

        artifax.open = spy
        base, cases = sys.argv[1], sys.argv[2:]
        for case in cases:
            root = os.path.join(base, case)
            if case == "kernel":  # as at start-up, through the core root's first resolution
                os.environ["NEROV_MODELS_DIR"] = root
                assert artifax.resolve_core_models_root() == root
            else:
                artifax._verify_if_present(root)
            print(case, *sorted(opened))
            opened.clear()
    """, tmp_path, *cases, timeout=60)
    assert proc.returncode == 0, proc.stderr
    corrupt = [f"artifax: corrupt manifest.json at {tmp_path / case}" for case in ("parent", "deeper", "absolute",
                                                                                  "kernel")]
    mismatch = (f"artifax: checksum mismatch for {tmp_path / 'inside'} \u2014 corrupt artifacts: "
                "['./good.bin', 'sub//deep.bin', 'link.bin']. Reinstall the model package.")
    assert proc.stdout.splitlines() == [line for warning, case in zip(corrupt, cases)
                                        for line in (warning, f"{case} manifest.json")] + [
        mismatch, "inside deep.bin good.bin link.bin manifest.json"]
