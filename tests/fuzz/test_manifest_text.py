"""Any text as manifest.json: verification returns None and logs at most one
warning, the one that the documented rules give for that text."""

import hashlib
import json
import os

import pytest
from hypothesis import event, given, strategies as st

from fuzz_reference import CORRUPT, MISMATCH, manifest_findings
from fuzz_support import SURROGATES, any_text, fuzz_settings, log_records, scratch_dir, weighted
from nerov.packages.brain import artifax

# The real files of every root, by key ("\udc80" is the file name byte 0x80).
FILES = {
    "a.onnx": b"aaa", "sub/b.onnx": b"bbb", "c.json": b"{}", " spaced name.bin": b"s",
    "\u00e9t\u00e9.bin": b"e", "\udc80raw": b"raw", "empty.bin": b"", "sub/deeper/d.bin": b"d" * 70_000,
}
DIGESTS = {k: hashlib.sha256(v).hexdigest() for k, v in FILES.items()}
DIGESTS["link.onnx"] = DIGESTS["a.onnx"]
ROOT = "\x00ROOT\x00"  # stands for the root's absolute path in keys

KEYS = [
    *FILES, "manifest.json", "./manifest.json", "sub/../a.onnx", "./a.onnx", "sub//b.onnx", "SUB/B.ONNX",
    "dir.onnx", "link.onnx", "dangling", "", ".", "..", "/", "sub/", "a.onnx\x00", "\x00", "\ufeffa.onnx",
    *SURROGATES, ROOT + "/a.onnx", ROOT + "/manifest.json", ROOT + "/missing", "/proc/self/mem",
]


class Obj(list):
    """A JSON object as its list of members, so keys may repeat."""


class Raw(str):
    """JSON text put in as it is: huge numbers, deep nesting, long strings."""

    TEXTS = {
        "int-5000": lambda: "9" * 5000, "int-4301": lambda: "-" + "1" * 4301, "int-4300": lambda: "1" * 4300,
        "exp": lambda: "1e999999", "neg-zero": lambda: "-0", "-inf": lambda: "-Infinity", "nan": lambda: "NaN",
        "deep-list": lambda: "[" * 100_000 + "]" * 100_000, "deep-obj": lambda: '{"a":' * 50_000 + "1" + "}" * 50_000,
        "nested-200": lambda: "[" * 200 + "]" * 200, "str-2m": lambda: '"' + "x" * 2_000_000 + '"',
        "esc-surrogate": lambda: '"\\ud800"', "esc-raw": lambda: '"\\udc80raw"',
    }

    def __new__(cls, tag):
        self = super().__new__(cls, cls.TEXTS[tag]())
        self.tag = tag
        return self

    def __repr__(self):
        return f"Raw({self.tag!r})"


def emit(value, ascii_only):
    if isinstance(value, Raw):
        return str(value)
    if isinstance(value, Obj):
        return "{" + ", ".join(f"{json.dumps(k, ensure_ascii=ascii_only)}: {emit(v, ascii_only)}"
                               for k, v in value) + "}"
    if isinstance(value, list):
        return "[" + ", ".join(emit(v, ascii_only) for v in value) + "]"
    return json.dumps(value, ensure_ascii=ascii_only)


leaves = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), any_text,
                   st.sampled_from(list(Raw.TEXTS)).map(Raw))
values = st.recursive(
    leaves, lambda kids: st.lists(kids, max_size=3) | st.lists(st.tuples(any_text, kids), max_size=3).map(Obj),
    max_leaves=8)
# "right", "upper" and "wrong" become the key's real digest, that in upper
# case, and a well-formed digest of nothing in the tree.
digests = weighted((6, st.sampled_from(["right", "right", "upper", "wrong"])),
                   (1, st.sampled_from([None, False, 0, 0.0, "", [], Obj()])), (1, values))
extra_members = st.lists(st.tuples(st.sampled_from(["size", "extra"]) | any_text, values), max_size=2)
entries = weighted((15, st.tuples(digests, extra_members)), (1, values))
keys = weighted((3, st.sampled_from(KEYS)), (1, any_text))
manifests = st.tuples(st.lists(st.tuples(keys, entries), max_size=8),
                      st.lists(st.tuples(st.sampled_from(["version", "files", "other"]), values), max_size=2))
documents = weighted((6, manifests), (1, values))


def realise(doc, root):
    """The drawn document as JSON-ready values, digests and root put in."""
    if not isinstance(doc, tuple):
        return doc
    members, extra = doc
    files = Obj()
    for key, entry in members:
        key = key.replace(ROOT, root)
        if isinstance(entry, tuple):
            digest, more = entry
            if digest in ("right", "upper", "wrong"):
                real = DIGESTS.get(os.path.normpath(key.removeprefix(root + "/")), "f" * 64)
                digest = {"right": real, "upper": real.upper(), "wrong": "0" * 64}[digest]
            entry = Obj([("sha256", digest), *more])
        files.append((key, entry))
    return Obj([*extra, ("files", files)])


def damage(data, how, draw):
    """Manifest bytes, damaged as `how` says."""
    if how == "cut":
        return data[:int(len(data) * draw(st.floats(0, 1)))]
    if how == "noise":
        at = draw(st.integers(0, len(data)))
        return data[:at] + draw(st.binary(min_size=1, max_size=4)) + data[at:]
    if how == "binary":
        return draw(st.binary(max_size=64))
    if how == "empty":
        return b""
    if how == "bom":
        return b"\xef\xbb\xbf" + data
    return data


def make_root(path):
    for rel, data in FILES.items():
        full = os.fsencode(os.path.join(path, rel))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
    os.mkdir(os.path.join(path, "dir.onnx"))
    os.symlink("a.onnx", os.path.join(path, "link.onnx"))
    os.symlink("gone", os.path.join(path, "dangling"))


@pytest.fixture(scope="module", autouse=True)
def clean_state():
    saved = artifax._verified_roots
    with pytest.MonkeyPatch.context() as mp:
        mp.delenv("NEROV_SKIP_MODEL_CHECK", raising=False)
        yield
    artifax._verified_roots = saved


@fuzz_settings(3)
@given(doc=documents, ascii_only=st.booleans(),
       encoding=st.sampled_from(["utf-8"] * 14 + ["utf-16", "latin-1"]),
       how=st.sampled_from([None] * 15 + ["cut", "noise", "binary", "empty", "bom"]),
       placement=st.sampled_from(["file"] * 5 + ["link", "dir", "absent"]), data=st.data())
def test_any_manifest_text_ends_in_its_documented_warning(doc, ascii_only, encoding, how, placement, data):
    with scratch_dir() as root:
        make_root(root)
        text = emit(realise(doc, root), ascii_only)
        raw = damage(text.encode(encoding, "surrogatepass" if encoding.startswith("utf") else "replace"), how,
                     data.draw)
        manifest = os.path.join(root, "manifest.json")
        if placement == "dir":
            os.mkdir(manifest)
        elif placement != "absent":
            target = os.path.join(root, "real-manifest") if placement == "link" else manifest
            with open(target, "wb") as f:
                f.write(raw)
            if placement == "link":
                os.symlink("real-manifest", manifest)
        expected = manifest_findings(root)
        event("corrupt" if expected and expected[0][1] == CORRUPT else "mismatch" if expected else "clean")
        artifax._verified_roots = set()
        with log_records(artifax.logger) as records:
            assert artifax._verify_if_present(root) is None
        assert records == expected
        assert records in ([], [("WARNING", CORRUPT, (root,))]) or (
            [r[:2] for r in records] == [("WARNING", MISMATCH)] and records[0][2][0] == root
            and type(records[0][2][1]) is list and records[0][2][1])
        assert artifax._verified_roots == {root}
