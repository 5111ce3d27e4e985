"""Hashing, manifest generation and writing, verification of a root."""

import io
import json
import os
import pathlib
import types

import pytest

MiB = 1 << 20
MISMATCH = "artifax: checksum mismatch for %s \u2014 corrupt artifacts: %s. Reinstall the model package."
CORRUPT = "artifax: corrupt manifest.json at %s"


@pytest.mark.parametrize("size", [0, 1, MiB - 1, MiB, 2 * MiB + 3])
def test_sha256_hashes_in_blocks_of_at_most_one_mib(artifax, tmp_path, monkeypatch, sha, size):
    data = os.urandom(size)
    (tmp_path / "f").write_bytes(data)
    assert artifax._sha256(str(tmp_path / "f")) == sha(data)
    blocks = []
    recorder = type("H", (), {"update": lambda self, b: blocks.append(bytes(b)), "hexdigest": lambda self: "h"})
    monkeypatch.setattr(artifax, "hashlib", types.SimpleNamespace(sha256=recorder))
    for opener in (open, lambda path, mode: io.BytesIO(data)):  # a real file, any file-like
        monkeypatch.setattr(artifax, "open", opener, raising=False)
        blocks.clear()
        assert artifax._sha256(tmp_path / "f") == "h"
        assert b"".join(blocks) == data and all(0 < len(b) <= MiB for b in blocks)


def test_sha256_closes_the_file_and_propagates_errors(artifax, monkeypatch):
    class Broken(io.BytesIO):
        def read(self, size=-1):
            raise OSError(5, "read failed")

    opened = []
    monkeypatch.setattr(artifax, "open", lambda path, mode: opened.append(Broken()) or opened[-1], raising=False)
    with pytest.raises(OSError, match="read failed"):
        artifax._sha256("x")
    assert opened[0].closed
    monkeypatch.delattr(artifax, "open")
    with pytest.raises(FileNotFoundError):
        artifax._sha256("/no/such/file")


def test_sha256_reads_a_file_object_as_its_read_method_reads_it(artifax, tmp_path, sha, monkeypatch):
    """A file's own `read` is what reads it; a `readinto1` of its own, which reading
    never calls, is ignored; a reader over a raw file of Python's is read as any."""
    data = os.urandom(100_000)
    path = tmp_path / "blob"
    path.write_bytes(data)

    def opening(prepare):
        monkeypatch.setattr(artifax, "open", lambda p, mode: prepare(open(p, mode)), raising=False)

    def failing_read(f):
        f.read = lambda size=-1: (_ for _ in ()).throw(OSError(5, "read failed"))
        return f

    def shrinking_readinto1(f):
        def readinto1(buffer):
            del buffer[16:]
            return 4000
        f.readinto1 = readinto1
        return f

    opening(failing_read)
    with pytest.raises(OSError, match="read failed"):
        artifax._sha256(str(path))
    opening(shrinking_readinto1)
    assert artifax._sha256(str(path)) == sha(data)

    class Raw(io.RawIOBase):
        def __init__(self, f):
            self.f = f

        def readable(self):
            return True

        def readinto(self, b):
            return self.f.readinto(b)

        def close(self):
            self.f.close()
            super().close()

    opening(lambda f: io.BufferedReader(Raw(f)))
    assert artifax._sha256(str(path)) == sha(data)


def test_generate_manifest_walks_sorted_and_never_lists_itself(artifax, tree, tmp_path, sha, monkeypatch):
    files = {"b.bin": b"bb", "a/z.txt": b"z", "a.b": b"dot", ".hidden": b"", "\u00e9t\u00e9": b"e",
             "sub/manifest.json": b"{}", "manifest.json": b"old"}
    root = tree(tmp_path / "m", files)
    (tmp_path / "m" / "empty").mkdir()
    os.symlink(tmp_path / "m" / "b.bin", tmp_path / "m" / "link.bin")
    os.symlink(tmp_path / "m" / "a", tmp_path / "m" / "dirlink")
    version = ["kept", "as is"]
    manifest = artifax.generate_manifest(root, version)
    assert list(manifest) == ["version", "files"] and manifest["version"] is version
    del files["manifest.json"]
    files["link.bin"] = files["b.bin"]
    assert list(manifest["files"]) == sorted(files, key=lambda k: k.split("/"))
    assert manifest["files"] == {k: {"size": len(v), "sha256": sha(v)} for k, v in files.items()}
    assert all(list(e) == ["size", "sha256"] for e in manifest["files"].values())
    monkeypatch.setattr(artifax, "_sha256", lambda p: f"<{type(p).__name__}:{os.path.relpath(p, root)}>")
    assert artifax.generate_manifest(root, "1")["files"]["a/z.txt"]["sha256"] == "<str:a/z.txt>"
    for missing in (tmp_path / "nowhere", tmp_path / "m" / "b.bin"):
        assert artifax.generate_manifest(missing, "1") == {"version": "1", "files": {}}


def test_walk_asks_patched_path_methods(artifax, tree, tmp_path, monkeypatch):
    root = tree(tmp_path, {"a": b"1", "b": b"22"})
    with monkeypatch.context() as m:
        m.setattr(pathlib.Path, "is_file", lambda self, **kw: self.name == "b")
        assert list(artifax.generate_manifest(root, "1")["files"]) == ["b"]
    with monkeypatch.context() as m:
        m.setattr(pathlib.Path, "stat", lambda self, **kw: types.SimpleNamespace(st_mode=0o100644, st_size=99))
        assert {e["size"] for e in artifax.generate_manifest(root, "1")["files"].values()} == {99}
    with monkeypatch.context() as m:
        m.setattr(os, "stat", lambda *a, **k: (_ for _ in ()).throw(PermissionError(13, "denied")))
        with pytest.raises(PermissionError):
            artifax.generate_manifest(root, "1")


def test_written_manifest_layout_is_exact(artifax, tree, tmp_path, sha):
    empty = tmp_path / "empty"
    empty.mkdir()
    dest = artifax.write_manifest(empty, "1.0.1")
    assert dest == os.path.join(str(empty), "manifest.json") and type(dest) is str
    assert empty.joinpath("manifest.json").read_bytes() == b'{\n  "files": {},\n  "version": "1.0.1"\n}'
    files = {"Z": b"upper", "a.b": b"1", "a/b": b"2", "\u00e9.bin": b"3", ".dot": b""}
    root = tree(tmp_path / "m", files)
    text = json.dumps({"version": "2", "files": {k: {"size": len(v), "sha256": sha(v)} for k, v in files.items()}},
                      indent=2, sort_keys=True)
    for _ in range(2):  # the second run must not list the first run's manifest
        assert artifax.write_manifest(root, "2") == os.path.join(root, "manifest.json")
        assert (tmp_path / "m" / "manifest.json").read_bytes() == text.encode("ascii")
    assert '"\\u00e9.bin"' in text


@pytest.mark.parametrize("breakage", ["unserialisable", "replace-fails", "dest-is-dir", "no-dir"])
def test_failed_write_leaves_the_old_manifest_and_no_temporary(artifax, tree, tmp_path, monkeypatch, breakage):
    root = tree(tmp_path, {"model.onnx": b"m", "manifest.json": b"previous"})
    version, error = "1", OSError
    if breakage == "unserialisable":
        version, error = object(), TypeError
    elif breakage == "replace-fails":
        def replace(src, dst):
            raise OSError(28, "No space left on device")
        monkeypatch.setattr(artifax, "os", types.SimpleNamespace(path=os.path, urandom=os.urandom,
                                                                 remove=os.remove, replace=replace))
    elif breakage == "dest-is-dir":
        os.remove(tmp_path / "manifest.json")
        (tmp_path / "manifest.json").mkdir()
    before = sorted(os.listdir(root))
    with pytest.raises(error):
        artifax.write_manifest(root if breakage != "no-dir" else tmp_path / "no-dir", version)
    assert sorted(os.listdir(root)) == before
    if breakage != "dest-is-dir":
        assert (tmp_path / "manifest.json").read_bytes() == b"previous"


@pytest.fixture
def model(tmp_path, tree, sha):
    """A root with three artifacts; model.manifest(files=..., raw=...) writes its manifest."""
    data = {"a.onnx": b"aaa", "sub/b.onnx": b"bbb", "c.json": b"{}"}
    root = tree(tmp_path / "root", data)

    def manifest(files=None, raw=None):
        raw = raw if raw is not None else json.dumps({"version": "1", "files": files}).encode()
        (tmp_path / "root" / "manifest.json").write_bytes(raw)

    return types.SimpleNamespace(root=root, manifest=manifest,
                                 good={k: {"size": len(v), "sha256": sha(v)} for k, v in data.items()})


def verify(artifax, model, records):
    assert artifax._verify_if_present(model.root) is None
    return records()


def test_mismatches_and_unreadable_files_make_one_warning_in_manifest_order(artifax, model, records, monkeypatch,
                                                                           tmp_path):
    model.manifest(model.good)
    assert verify(artifax, model, records) == [] and artifax._verified_roots == {model.root}
    (tmp_path / "outside").write_bytes(b"x")
    os.symlink(tmp_path / "outside", tmp_path / "root" / "link")
    model.manifest({"sub/b.onnx": {"sha256": "0" * 64}, "gone.onnx": {"sha256": "1" * 64},
                    "c.json": dict(model.good["c.json"], size=999),                # unreadable; size unused
                    "a.onnx": {"sha256": model.good["a.onnx"]["sha256"].upper()},  # case counts
                    "manifest.json": {"sha256": "2" * 64},                         # never vouches for itself
                    "link": {"sha256": 7}})                                        # followed; not a str
    real_open = open

    def opener(path, *args, **kwargs):
        if str(path).endswith("c.json"):
            raise PermissionError(13, "denied", str(path))
        return real_open(path, *args, **kwargs)

    monkeypatch.setattr(artifax, "open", opener, raising=False)
    artifax._verified_roots = set()
    bad = ["sub/b.onnx", "c.json", "a.onnx", "link"]
    assert verify(artifax, model, records) == [("WARNING", MISMATCH, (model.root, bad))]
    assert len(verify(artifax, model, records)) == 1  # once per root


@pytest.mark.parametrize("raw, warned", [
    *[(b'{"files": {"a.onnx": %s}}' % d, False) for d in (b"{}", b'{"sha256": null}', b'{"sha256": false}',
                                                          b'{"sha256": 0}', b'{"sha256": ""}', b'{"sha256": []}')],
    (b"{}", False), (b'{"version": 3, "files": {}}', False), (b'{"files": {"absent": "not an object"}}', False),
    *[(raw, True) for raw in (b"", b"{not json", b"\xef\xbb\xbf{}", b'{"files": {"\xff": 1}}', b"[]", b"null",
                              b'{"files": null}', b'{"files": []}', b'{"files": {"a.onnx": null}}',
                              b'{"files": {"sub/b.onnx": {"sha256": "0"}, "a.onnx": ["sha256"]}}')],
])
def test_manifest_contents_and_corruption(artifax, model, records, raw, warned):
    model.manifest(raw=raw)
    assert verify(artifax, model, records) == ([("WARNING", CORRUPT, (model.root,))] if warned else [])


@pytest.mark.parametrize("value", ["1", "true", "yes", "01", " 1", "1 ", ""])
def test_only_exactly_one_skips_verification(artifax, model, records, monkeypatch, value):
    model.manifest({"a.onnx": {"sha256": "0" * 64}})
    monkeypatch.setenv("NEROV_SKIP_MODEL_CHECK", value)
    if value == "1":
        monkeypatch.setattr(artifax, "open", None, raising=False)  # any open would fail
    expected = [] if value == "1" else [("WARNING", MISMATCH, (model.root, ["a.onnx"]))]
    assert verify(artifax, model, records) == expected
    monkeypatch.delenv("NEROV_SKIP_MODEL_CHECK")
    assert verify(artifax, model, records) == expected  # the root stays handled


@pytest.mark.parametrize("error", [ValueError("boom"), KeyboardInterrupt()])
def test_other_errors_propagate_and_the_root_stays_handled(artifax, model, monkeypatch, error):
    model.manifest(model.good)
    monkeypatch.setattr(artifax, "_sha256", lambda path: (_ for _ in ()).throw(error))
    with pytest.raises(type(error)):
        artifax._verify_if_present(model.root)
    assert artifax._verify_if_present(model.root) is None


def test_verification_uses_the_module_logger_and_set(artifax, model, monkeypatch):
    model.manifest({"a.onnx": {"sha256": "0" * 64}})
    calls = []
    monkeypatch.setattr(artifax, "logger", types.SimpleNamespace(warning=lambda *a: calls.append(a)))
    artifax._verified_roots = {model.root}
    artifax._verify_if_present(model.root)
    artifax._verified_roots = set()
    artifax._verify_if_present(model.root)
    assert calls == [(MISMATCH, model.root, ["a.onnx"])]
