"""Hashing, manifest generation and writing, and verification of a root."""

import hashlib
import io
import json
import os
import types

import pytest

MiB = 1 << 20
MISMATCH = "artifax: checksum mismatch for %s \u2014 corrupt artifacts: %s. Reinstall the model package."
CORRUPT = "artifax: corrupt manifest.json at %s"


def fake_open(real_open, fail):
    """An `open` for the module namespace that fails for paths ending in `fail`."""
    def opener(path, *args, **kwargs):
        if str(path).endswith(fail):
            raise PermissionError(13, "denied", str(path))
        return real_open(path, *args, **kwargs)
    return opener


@pytest.mark.parametrize("size", [0, 1, MiB - 1, MiB, 2 * MiB + 3])
def test_sha256_hashes_in_blocks_of_at_most_one_mib(artifax, tmp_path, monkeypatch, size):
    data = os.urandom(size)
    (tmp_path / "f").write_bytes(data)
    assert artifax._sha256(str(tmp_path / "f")) == hashlib.sha256(data).hexdigest()
    blocks = []

    class Recorder:
        def update(self, block):
            blocks.append(bytes(block))

        def hexdigest(self):
            return "recorded"

    monkeypatch.setattr(artifax, "hashlib", types.SimpleNamespace(sha256=Recorder))
    assert artifax._sha256(tmp_path / "f") == "recorded"
    assert b"".join(blocks) == data and all(0 < len(b) <= MiB for b in blocks)
    blocks.clear()
    monkeypatch.setattr(artifax, "open", lambda path, mode: io.BytesIO(data), raising=False)
    assert artifax._sha256("any file-like") == "recorded"
    assert b"".join(blocks) == data and all(0 < len(b) <= MiB for b in blocks)


def test_sha256_closes_the_file_and_propagates_read_errors(artifax, monkeypatch):
    opened = []

    class Broken(io.BytesIO):
        def read(self, size=-1):
            assert size == MiB
            raise OSError(5, "read failed")

    def opener(path, mode):
        assert mode == "rb"
        opened.append(Broken(b"x"))
        return opened[-1]

    monkeypatch.setattr(artifax, "open", opener, raising=False)
    with pytest.raises(OSError, match="read failed"):
        artifax._sha256("anything")
    assert opened[0].closed
    monkeypatch.delattr(artifax, "open")
    with pytest.raises(FileNotFoundError):
        artifax._sha256("/no/such/file")


def test_generate_manifest_walks_sorted_and_leaves_out_its_own_manifest(artifax, tree, tmp_path, sha):
    files = {"b.bin": b"bb", "a/z.txt": b"z", "a.b": b"dot", ".hidden": b"", "\u00e9t\u00e9.onnx": b"e",
             "sub/manifest.json": b"{}", "manifest.json": b"old"}
    root = tree(tmp_path / "m", files)
    (tmp_path / "m" / "empty").mkdir()
    os.symlink(tmp_path / "m" / "b.bin", tmp_path / "m" / "link.bin")
    os.symlink(tmp_path / "m" / "a", tmp_path / "m" / "dirlink")
    version = ["any", "object"]
    manifest = artifax.generate_manifest(root, version)
    assert list(manifest) == ["version", "files"] and manifest["version"] is version
    files["link.bin"] = files["b.bin"]
    del files["manifest.json"]
    assert list(manifest["files"]) == sorted(files, key=lambda k: k.split("/"))
    assert manifest["files"] == {k: {"size": len(v), "sha256": sha(v)} for k, v in files.items()}
    assert all(list(e) == ["size", "sha256"] for e in manifest["files"].values())


@pytest.mark.parametrize("where", ["missing", "a-file"])
def test_generate_manifest_of_no_directory_lists_nothing(artifax, tmp_path, where):
    (tmp_path / "a-file").write_bytes(b"x")
    assert artifax.generate_manifest(tmp_path / where, "1") == {"version": "1", "files": {}}


def test_generate_manifest_hashes_through_the_module_namespace(artifax, tree, tmp_path, monkeypatch):
    root = tree(tmp_path, {"x": b"1", "d/y": b"2"})
    monkeypatch.setattr(artifax, "_sha256", lambda p: f"<{os.path.relpath(p, root)}:{type(p).__name__}>")
    assert {k: v["sha256"] for k, v in artifax.generate_manifest(root, "1")["files"].items()} == {
        "d/y": f"<{os.path.join('d', 'y')}:str>", "x": "<x:str>"}


def test_written_manifest_layout_is_exact(artifax, tree, tmp_path, sha):
    empty = tmp_path / "empty"
    empty.mkdir()
    dest = artifax.write_manifest(empty, "1.0.1")
    assert dest == os.path.join(str(empty), "manifest.json") and type(dest) is str
    assert empty.joinpath("manifest.json").read_bytes() == b'{\n  "files": {},\n  "version": "1.0.1"\n}'

    files = {"Z": b"upper", "a.b": b"1", "a/b": b"2", "\u00e9.bin": b"3", ".dot": b""}
    root = tree(tmp_path / "m", files)
    expected = {"version": "2", "files": {k: {"size": len(v), "sha256": sha(v)} for k, v in files.items()}}
    text = json.dumps(expected, indent=2, sort_keys=True)
    for _ in range(2):  # the second run must not list the first run's manifest
        assert artifax.write_manifest(root, "2") == os.path.join(root, "manifest.json")
        assert (tmp_path / "m" / "manifest.json").read_bytes() == text.encode("ascii")
    assert '"\\u00e9.bin"' in text


@pytest.mark.parametrize("breakage", ["unserialisable", "replace-fails", "dest-is-dir"])
def test_failed_write_keeps_the_old_manifest_and_no_temporary(artifax, tree, tmp_path, monkeypatch, breakage):
    root = tree(tmp_path, {"model.onnx": b"m", "manifest.json": b"previous"})
    version, error = "1", OSError
    if breakage == "unserialisable":
        version, error = object(), TypeError
    elif breakage == "replace-fails":
        def replace(src, dst):
            raise OSError(28, "No space left on device")
        monkeypatch.setattr(artifax, "os", types.SimpleNamespace(
            path=os.path, urandom=os.urandom, remove=os.remove, replace=replace))
    else:
        os.remove(tmp_path / "manifest.json")
        (tmp_path / "manifest.json").mkdir()
    before = sorted(os.listdir(root))
    with pytest.raises(error):
        artifax.write_manifest(root, version)
    assert sorted(os.listdir(root)) == before
    if breakage != "dest-is-dir":
        assert (tmp_path / "manifest.json").read_bytes() == b"previous"


def test_write_into_a_missing_directory_fails(artifax, tmp_path):
    with pytest.raises(FileNotFoundError):
        artifax.write_manifest(tmp_path / "missing", "1")
    assert not (tmp_path / "missing").exists()


# --- verification ---------------------------------------------------------------------------

@pytest.fixture
def model(tmp_path, tree, sha):
    """A root with three artifacts; `model.manifest(files)` writes its manifest."""
    data = {"a.onnx": b"aaa", "sub/b.onnx": b"bbb", "c.json": b"{}"}
    root = tree(tmp_path / "root", data)
    good = {k: {"size": len(v), "sha256": sha(v)} for k, v in data.items()}

    def manifest(files=None, raw=None):
        text = raw if raw is not None else json.dumps({"version": "1", "files": files})
        (tmp_path / "root" / "manifest.json").write_bytes(text if isinstance(text, bytes) else text.encode())

    return types.SimpleNamespace(root=root, good=good, manifest=manifest)


def test_a_matching_manifest_logs_nothing(artifax, model, records):
    model.manifest(model.good)
    assert artifax._verify_if_present(model.root) is None
    assert records() == [] and artifax._verified_roots == {model.root}


def test_mismatches_and_unreadable_files_make_one_warning_in_manifest_order(artifax, model, records, monkeypatch):
    files = {"sub/b.onnx": {"sha256": "0" * 64}, "gone.onnx": {"sha256": "1" * 64},
             "c.json": dict(model.good["c.json"], size=999),                # size is not compared
             "a.onnx": {"sha256": model.good["a.onnx"]["sha256"].upper()},  # case-sensitive
             "manifest.json": {"sha256": "2" * 64}}                         # never vouches for itself
    model.manifest(files)
    monkeypatch.setattr(artifax, "open", fake_open(open, "c.json"), raising=False)
    artifax._verify_if_present(model.root)
    assert records() == [("WARNING", MISMATCH, (model.root, ["sub/b.onnx", "c.json", "a.onnx"]))]
    artifax._verify_if_present(model.root)
    assert len(records()) == 1  # handled once per root


@pytest.mark.parametrize("digest", [None, False, 0, "", [], {}, "missing"])
def test_entries_without_a_digest_are_skipped(artifax, model, records, digest):
    model.manifest({"a.onnx": {} if digest == "missing" else {"sha256": digest}})
    artifax._verify_if_present(model.root)
    assert records() == []


@pytest.mark.parametrize("digest", [12345, ["x"]])
def test_a_digest_that_is_not_a_string_is_a_mismatch(artifax, model, records, digest):
    model.manifest({"a.onnx": {"sha256": digest}})
    artifax._verify_if_present(model.root)
    assert records() == [("WARNING", MISMATCH, (model.root, ["a.onnx"]))]


@pytest.mark.parametrize("raw", [
    b"", b"{not json", b"\xef\xbb\xbf{}", b'{"files": {"\xff": 1}}',  # unreadable text
    b"[]", b'"files"', b"null",                                        # top level not an object
    b'{"files": null}', b'{"files": []}', b'{"files": "a.onnx"}',
    b'{"files": {"sub/b.onnx": {"sha256": "0"}, "a.onnx": ["sha256"]}}',  # present entry not an object
    b'{"files": {"a.onnx": null}}',
])
def test_a_corrupt_manifest_is_one_warning(artifax, model, records, raw):
    model.manifest(raw=raw)
    assert artifax._verify_if_present(model.root) is None
    assert records() == [("WARNING", CORRUPT, (model.root,))]
    assert model.root in artifax._verified_roots


@pytest.mark.parametrize("raw", [b"{}", b'{"files": {}}', b'{"version": 3, "extra": 1}',
                                 b'{"files": {"absent.onnx": "not an object"}}'])
def test_manifests_with_nothing_to_check(artifax, model, records, raw):
    model.manifest(raw=raw)
    artifax._verify_if_present(model.root)
    assert records() == []


def test_absolute_keys_are_looked_up_where_they_point(artifax, model, records, tmp_path):
    outside = tmp_path / "outside.bin"
    outside.write_bytes(b"x")
    model.manifest({str(outside): {"sha256": "0" * 64}})
    artifax._verify_if_present(model.root)
    assert records() == [("WARNING", MISMATCH, (model.root, [str(outside)]))]


@pytest.mark.parametrize("value, skipped", [("1", True), ("true", False), ("yes", False), ("01", False),
                                            (" 1", False), ("1 ", False), ("", False)])
def test_skip_variable_counts_only_when_exactly_one(artifax, model, records, monkeypatch, value, skipped):
    model.manifest({"a.onnx": {"sha256": "0" * 64}})
    monkeypatch.setenv("NEROV_SKIP_MODEL_CHECK", value)
    if skipped:
        monkeypatch.setattr(artifax, "open", None, raising=False)  # any open would fail
    artifax._verify_if_present(model.root)
    assert records() == ([] if skipped else [("WARNING", MISMATCH, (model.root, ["a.onnx"]))])
    monkeypatch.delenv("NEROV_SKIP_MODEL_CHECK")
    artifax._verify_if_present(model.root)
    assert len(records()) == (0 if skipped else 1)


@pytest.mark.parametrize("error", [ValueError("boom"), KeyboardInterrupt()])
def test_other_hashing_errors_propagate_and_the_root_stays_handled(artifax, model, monkeypatch, error):
    model.manifest(model.good)

    def explode(path):
        raise error

    monkeypatch.setattr(artifax, "_sha256", explode)
    with pytest.raises(type(error)):
        artifax._verify_if_present(model.root)
    assert artifax._verify_if_present(model.root) is None


def test_verification_uses_the_module_logger_and_caches(artifax, model, monkeypatch):
    model.manifest({"a.onnx": {"sha256": "0" * 64}})
    calls = []
    monkeypatch.setattr(artifax, "logger", types.SimpleNamespace(warning=lambda *a: calls.append(a)))
    monkeypatch.setattr(artifax, "_verified_roots", {model.root})
    artifax._verify_if_present(model.root)
    assert calls == []
    artifax._verified_roots = set()
    artifax._verify_if_present(model.root)
    assert calls == [(MISMATCH, model.root, ["a.onnx"])]
