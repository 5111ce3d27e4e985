"""Any small file tree: the generated manifest lists exactly its regular files
(links followed, the top-level manifest and names of temporary manifests left
out) in walk order, the written
text is the standard serialiser's, nothing temporary stays behind, and the
tree then verifies without a word."""

import hashlib
import json
import os
import random

import pytest
from hypothesis import event, given, strategies as st

from fuzz_reference import TEMP_MANIFEST
from fuzz_support import any_text, fuzz_settings, log_records, scratch_dir, weighted
from nerov.packages.brain import artifax

names = weighted(
    (3, st.text(st.characters(exclude_characters="/\x00", exclude_categories=("Cs",)), min_size=1, max_size=10)
        .map(str.encode)),
    (1, st.binary(min_size=1, max_size=6)),  # not UTF-8: keys carry surrogate escapes
    (3, st.sampled_from([b"manifest.json", b".hidden", b"a.b", b"a b", b"A", b"a", b"a.", b"\xc3\xa9", b"e\xcc\x81",
                         b"\xff", b"-", b"...", b" ", b".manifest.json.0000000000000000.tmp",
                         b".manifest.json.000000000000000G.tmp"])),
).filter(lambda n: b"/" not in n and b"\0" not in n and n not in (b".", b"..") and len(n) <= 255)

sizes = weighted((8, st.integers(0, 64)), (1, st.sampled_from([65535, 65536, 65537, 1 << 20, (1 << 20) + 1])))
KINDS = ["file"] * 5 + ["dir"] * 3 + ["link-file", "link-file", "link-dir", "dangling", "loop", "fifo"]
operations = st.lists(st.tuples(st.integers(0, 50), names, st.sampled_from(KINDS), sizes), max_size=20)
versions = st.one_of(any_text, st.integers(), st.none(), st.floats(),
                     st.lists(st.integers(), max_size=2), st.dictionaries(any_text, any_text, max_size=2))


def build(root, ops):
    """Makes the tree; returns {relative path (bytes): content} for every
    entry that is, or leads by links to, a regular file."""
    base = os.fsencode(root)
    dirs, contents = [b""], {}
    for pick, name, kind, size in ops:
        parent = dirs[pick % len(dirs)]
        rel = parent + b"/" + name if parent else name
        full = os.path.join(base, rel)
        if os.path.lexists(full):
            continue
        if kind == "file":
            contents[rel] = random.Random(pick * 7919 + size).randbytes(size)
            with open(full, "wb") as f:
                f.write(contents[rel])
        elif kind == "dir":
            os.mkdir(full)
            dirs.append(rel)
        elif kind == "link-file":
            # (not to the top-level manifest, which writing the manifest replaces)
            targets = sorted(contents.keys() - {b"manifest.json"})
            if not targets:
                continue
            target = targets[pick % len(targets)]
            os.symlink(os.path.relpath(os.path.join(base, target), os.path.dirname(full)), full)
            contents[rel] = contents[target]
        elif kind == "link-dir":
            os.symlink(os.path.join(base, dirs[pick % len(dirs)]), full)
        elif kind == "dangling":
            os.symlink(b"nowhere", full)
        elif kind == "loop":
            os.symlink(name, full)
        elif kind == "fifo":
            os.mkfifo(full)
    return contents


def expected_files(contents):
    """The manifest's "files" for the tree, in walk order."""
    keys = sorted((os.fsdecode(rel) for rel in contents
                   if rel != b"manifest.json" and not TEMP_MANIFEST.fullmatch(os.fsdecode(rel).split("/")[-1])),
                  key=lambda k: k.split("/"))
    return {k: {"size": len(contents[os.fsencode(k)]), "sha256": hashlib.sha256(contents[os.fsencode(k)]).hexdigest()}
            for k in keys}


@pytest.fixture(scope="module", autouse=True)
def clean_state():
    saved = artifax._verified_roots
    with pytest.MonkeyPatch.context() as mp:
        mp.delenv("NEROV_SKIP_MODEL_CHECK", raising=False)
        yield
    artifax._verified_roots = saved


@fuzz_settings(4)
@given(ops=operations, version=versions)
def test_any_tree_gets_exactly_its_manifest(ops, version):
    with scratch_dir() as root:
        files = expected_files(build(root, ops))
        event(f"{min(len(files), 5)}{'+' if len(files) > 4 else ''} files")
        manifest = artifax.generate_manifest(root, version)
        assert list(manifest) == ["version", "files"] and manifest["version"] is version
        assert list(manifest["files"]) == list(files)
        assert manifest["files"] == files
        assert all(list(entry) == ["size", "sha256"] for entry in manifest["files"].values())

        dest = os.path.join(root, "manifest.json")
        before = sorted(os.listdir(root))
        if os.path.isdir(dest) and not os.path.islink(dest):
            event("manifest.json is a directory")
            with pytest.raises(IsADirectoryError):
                artifax.write_manifest(root, version)
            assert sorted(os.listdir(root)) == before
        else:
            assert artifax.write_manifest(root, version) == dest
            with open(dest, encoding="utf-8", newline="") as f:
                assert f.read() == json.dumps({"version": version, "files": files}, indent=2, sort_keys=True)
            assert sorted(os.listdir(root)) == sorted(set(before) | {"manifest.json"})
            assert artifax.generate_manifest(root, version)["files"] == files

        artifax._verified_roots = set()
        with log_records(artifax.logger) as records:
            assert artifax._verify_if_present(root) is None
        assert records == []
