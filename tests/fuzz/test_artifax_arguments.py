"""Any object as an argument, a module attribute or the override variable:
every resolver operation ends as its plain-Python model (fuzz_reference.Artifax)
does, with the same result or an exception of the same type, the same log
records, the same printed report and the same caches."""

import contextlib
import copy
import hashlib
import io
import json
import os
import pathlib
import types

import pytest
from hypothesis import event, given, strategies as st

import fuzz_reference
from fuzz_support import (
    FspathRaises, HashRaises, PathLike, StrSub, any_char, fuzz_settings, log_records, scratch_dir, weighted,
    working_dir,
)
from nerov.packages.brain import artifax

ABS = "\x00ABS\x00"  # stands for the sandbox's absolute path

# Paths inside the sandbox (a fresh working directory per example): drawn
# names hold no "/" and are never "..", so the walks of generate_manifest
# stay inside it.
local_text = weighted(
    (2, st.text(any_char, max_size=8).filter(lambda s: "/" not in s and s != "..")),
    (3, st.sampled_from(["", ".", "f.bin", "sub", "models", "missing", "brain", "f.bin\x00", "\udc80", "\ud800",
                         " f.bin", "F.BIN", "x" * 300, "\u00e9" * 100_000, "sub/g.bin", "./sub", "sub/../f.bin",
                         "models/vantor_int8.onnx", "vantor_int8.onnx", "judge_nli_tokenizer_v2"])),
    (1, st.sampled_from([ABS, ABS + "/f.bin", ABS + "/models", ABS + "/sub/"])),
)


local_bytes = st.binary(max_size=6).filter(lambda b: b"/" not in b and b != b"..")


def objects(text, fd_safe=False):
    """Objects a caller might pass where a path is expected. With `fd_safe`,
    no int that `open` takes for a file descriptor."""
    ints = st.one_of(st.integers(max_value=-1), st.integers(min_value=2**31)) if fd_safe else \
        st.one_of(st.integers(), st.booleans())
    return weighted(
        (6, text), (1, text.map(StrSub)),
        (2, st.builds(PathLike, st.one_of(text, local_bytes, st.none(), st.integers()))),
        (1, local_bytes), (1, local_bytes.map(bytearray)),
        (1, st.sampled_from([None, 1.5, float("nan"), [], (), {}])),
        (1, ints), (1, st.builds(FspathRaises)), (1, st.builds(HashRaises)), (1, st.builds(object)),
    )


package_names = weighted(
    (3, st.text(any_char, max_size=6).map(lambda s: "nx_fuzz_" + s)),  # never an importable name
    (2, st.sampled_from(["json", "os", "nerov", "nerov.packages", "email.mime", "encodings", "nerov_brain_models",
                         "nerov_policy_nli", "", ".", "..x", "json.", "\x00", "\ud800", "sub", "models"])),
    (1, objects(st.sampled_from(["json", "sub", "nx_fuzz_missing"]))),
)


class Circular(list):
    def __init__(self):
        super().__init__([self])


versions = weighted(
    (4, st.one_of(st.text(any_char, max_size=6), st.integers(), st.floats(), st.none(),
                  st.dictionaries(st.text(max_size=2), st.integers(), max_size=2))),
    (1, st.sampled_from([object(), {1, 2}, b"v", 10**5000, {("t",): 1}, {1: "a", "b": 2}, {float("nan"): 1}])),
    (1, st.builds(Circular)),
)

OPERATIONS = {
    "resolve_artifact": lambda: st.tuples(objects(local_text)),
    "resolve_artifact_dir": lambda: st.tuples(objects(local_text)),
    "_find_package_dir": lambda: st.tuples(package_names),
    "_has_file": lambda: st.tuples(objects(local_text), objects(local_text)),
    "_verify_if_present": lambda: st.tuples(objects(local_text)),
    "_sha256": lambda: st.tuples(objects(local_text, fd_safe=True)),
    "generate_manifest": lambda: st.tuples(objects(local_text), versions),
    "write_manifest": lambda: st.tuples(objects(local_text), versions),
}
calls = st.sampled_from(sorted(OPERATIONS)).flatmap(lambda name: st.tuples(st.just(name), OPERATIONS[name]()))

MARKER = b"core model bytes"
SANDBOX = {"f.bin": b"data", "sub/g.bin": b"g", "models/vantor_int8.onnx": MARKER, "models/policy_nli_int8.onnx": b"n",
           "models/judge_nli_tokenizer_v2/vocab.txt": b"v", "brain/artifax.so": b"", "brain/models/vantor_int8.onnx":
           MARKER}
MANIFESTS = {  # of "models": one mismatch, corrupt, of the wrong structure
    "good": json.dumps({"files": {"vantor_int8.onnx": {"sha256": hashlib.sha256(MARKER).hexdigest()},
                                  "f.bin": {"sha256": "0" * 64}}}),
    "corrupt": "{",
    "not-an-object": "[]",
}


def populate(sandbox, manifest):
    for rel, data in SANDBOX.items():
        os.makedirs(os.path.dirname(os.path.join(sandbox, rel)), exist_ok=True)
        with open(os.path.join(sandbox, rel), "wb") as f:
            f.write(data)
    if manifest in MANIFESTS:
        with open(os.path.join(sandbox, "models", "manifest.json"), "w") as f:
            f.write(MANIFESTS[manifest])


def place(value, sandbox):
    """Puts the sandbox's path in for ABS, inside path objects too."""
    if type(value) is str or type(value) is StrSub:
        return type(value)(value.replace(ABS, sandbox))
    if isinstance(value, PathLike) and isinstance(value.path, str):
        return PathLike(value.path.replace(ABS, sandbox))
    return value


def outcome(op, *args):
    try:
        result = op(*args)
    except Exception as e:
        return "raised", type(e)
    return "returned", type(result), result


@contextlib.contextmanager
def module_state(**attributes):
    missing = object()
    saved = {name: getattr(artifax, name, missing) for name in attributes}
    for name, value in attributes.items():
        setattr(artifax, name, value)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is missing:
                delattr(artifax, name)
            else:
                setattr(artifax, name, value)


@contextlib.contextmanager
def override(value):
    saved = os.environ.get("NEROV_MODELS_DIR")
    if value is None:
        os.environ.pop("NEROV_MODELS_DIR", None)
    else:
        os.environ["NEROV_MODELS_DIR"] = value
    try:
        yield
    finally:
        if saved is None:
            os.environ.pop("NEROV_MODELS_DIR", None)
        else:
            os.environ["NEROV_MODELS_DIR"] = saved


@pytest.fixture(scope="module", autouse=True)
def clean_environment():
    with pytest.MonkeyPatch.context() as mp:
        for var in ("NEROV_MODELS_DIR", "NEROV_SKIP_MODEL_CHECK"):
            mp.delenv(var, raising=False)
        yield


# What each operation returns when it returns (a str subclass that a caller
# passed in may come back, as os.path.join hands back an absolute second part).
RETURNS = {
    "resolve_artifact": (str, type(None)), "resolve_artifact_dir": (str, type(None)),
    "_find_package_dir": (str, type(None)), "_has_file": (bool,), "_verify_if_present": (type(None),),
    "_sha256": (str,), "generate_manifest": (dict,), "write_manifest": (str,), "_iter_core_roots": (list,),
    "_iter_all_roots": (list,), "resolve_core_models_root": (str, type(None)), "cli_download": (type(None),),
}


class WalkedPath(type(pathlib.Path())):
    """What the module's `Path` becomes in the "wrapped" runs."""


def wrapped(fn):
    return lambda *args, **kwargs: fn(*args, **kwargs)


def wrapped_os():
    """A stand-in for the module's `os` whose path functions are not the
    standard objects (so the module has to call them), doing the same."""
    path = types.SimpleNamespace(**vars(os.path))
    for name in ("join", "dirname", "abspath", "exists", "isfile", "isdir"):
        setattr(path, name, wrapped(getattr(os.path, name)))
    return types.SimpleNamespace(**dict(vars(os), path=path, stat=wrapped(os.stat)))


def compare(name, args, state, paths="standard"):
    """Runs `name(*args)` on the model, then on the module, both starting
    from `state` (module attributes), in the current directory. With `paths`
    "wrapped", the module reaches the file system through look-alikes of
    `os`, `Path` and `open` rather than the standard objects."""
    if paths == "wrapped":
        state = dict(state, os=wrapped_os(), Path=WalkedPath, open=wrapped(open))
    with module_state(**state):
        model = fuzz_reference.Artifax(artifax)
        model_out = io.StringIO()
        with contextlib.redirect_stdout(model_out):
            expected = outcome(getattr(model, name), *args)
        native_out = io.StringIO()
        with log_records(artifax.logger) as records, contextlib.redirect_stdout(native_out):
            actual = outcome(getattr(artifax, name), *args)
        event(f"{name}: {actual[0]} {actual[1].__name__}")
        assert actual == expected
        assert actual[0] == "raised" or isinstance(actual[2], RETURNS[name])
        assert records == model.log
        assert native_out.getvalue() == model_out.getvalue()
        assert artifax._resolved_core_root is model.resolved or artifax._resolved_core_root == model.resolved
        assert artifax._verified_roots == model.verified


@fuzz_settings(6)
@given(call=calls, manifest=st.sampled_from(["good", "corrupt", "not-an-object", "none"]),
       paths=st.sampled_from(["standard", "standard", "wrapped"]))
def test_any_argument_ends_as_the_model_does(call, manifest, paths):
    name, args = call
    with scratch_dir() as sandbox, working_dir(sandbox):
        populate(sandbox, manifest)
        args = tuple(place(a, sandbox) for a in args)
        with override("models"):
            compare(name, args, dict(__file__=os.path.join(sandbox, "brain", "artifax.so"), _verified_roots=set(),
                                     _resolved_core_root=artifax._UNSET), paths)
        assert not [n for _, _, names in os.walk(sandbox) for n in names if n.startswith(".manifest.json.")]


env_values = weighted(
    (4, st.sampled_from(["models", "models/", "./models", "missing", "", "f.bin", "brain", "sub", ABS + "/models",
                         ABS + "/brain/models", " models", "\udc80"])),
    (1, st.text(st.characters(exclude_categories=("Cs",), exclude_characters="\x00"), max_size=8)),
    (1, st.none()),
)
file_values = weighted(
    (4, st.sampled_from([ABS + "/brain/artifax.so", "brain/artifax.so", "artifax.so", "", ABS + "/sub/x.so", "/"])),
    (1, objects(local_text)),
)
markers = weighted(
    (4, st.sampled_from(["vantor_int8.onnx", "policy_nli_int8.onnx", "", "../f.bin", "f.bin", ABS + "/f.bin",
                         "vantor_int8.onnx\x00", "judge_nli_tokenizer_v2"])),
    (1, objects(local_text)),
)


@fuzz_settings(3)
@given(name=st.sampled_from(["_iter_core_roots", "_iter_all_roots", "resolve_core_models_root", "cli_download"]),
       env=env_values, file=file_values, marker=markers,
       cached=st.sampled_from(["unset", "unset", "unset", None, "", "somewhere"]),
       verified=st.sampled_from([set()] * 4 + [[], {}, frozenset(), None]),
       manifest=st.sampled_from(["good", "corrupt", "not-an-object", "none"]),
       paths=st.sampled_from(["standard", "standard", "wrapped"]))
def test_any_module_state_ends_as_the_model_does(name, env, file, marker, cached, verified, manifest, paths):
    with scratch_dir() as sandbox, working_dir(sandbox):
        populate(sandbox, manifest)
        env = place(env, sandbox)
        try:
            os.fsencode(env or "")
        except UnicodeEncodeError:
            env = None  # the environment cannot hold it
        with override(env):
            compare(name, (), dict(__file__=place(file, sandbox), _CORE_MARKER=place(marker, sandbox),
                                   _verified_roots=copy.copy(verified),
                                   _resolved_core_root=artifax._UNSET if cached == "unset" else cached), paths)
