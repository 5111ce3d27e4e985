"""The module's namespace, signatures, import-time behaviour and bad input."""

import hashlib
import inspect
import json
import logging
import os
import pathlib
import subprocess
import sys
import textwrap
import typing

import pytest
from hypothesis import given, settings, strategies as st

from nerov.packages.brain import artifax as artifax_module

MODULE = "nerov.packages.brain.artifax"
DOC = ("\nArtifax \u2014 Unified artifact resolver for Vantor ONNX models.\n\nResolution order (first match wins):\n"
       "  1. $NEROV_MODELS_DIR  (user override / air-gapped deployments)\n"
       "  2. packages/brain/models/  (dev mode \u2014 models present in repo)\n"
       "  3. nerov_brain_models/  (installed from PyPI wheel)\n"
       "  4. nerov_policy_nli/    (installed from PyPI wheel \u2014 policy NLI only)\n\n"
       "SHA-256 checksums are verified against manifest.json shipped with each\n"
       "model wheel.  Corrupt / missing artifacts are treated as absent (fail-safe),\n"
       "so the SDK degrades gracefully instead of crashing.\n")
OPERATIONS = {  # name: (parameters, return annotation, docstring)
    "resolve_core_models_root": ((), "Optional[str]",
        "Return the directory containing core ONNX artifacts, or None.\n\n    Searched in order:\n"
        "      * $NEROV_MODELS_DIR\n      * dev-mode ``packages/brain/models/``\n"
        "      * ``nerov_brain_models`` installed package\n    "),
    "resolve_artifact": (("rel_path",), "Optional[str]",
        'Return the absolute path for *rel_path* (e.g. ``"policy_nli_int8.onnx"``\n'
        '    or ``"policy_nli_tokenizer"``), or None if not found anywhere.'),
    "resolve_artifact_dir": (("dirname",), "Optional[str]", "Resolve a directory artifact (e.g. tokenizer dir) by name."),
    "_iter_core_roots": ((), "Sequence[str]", "Yield candidate root directories for core models."),
    "_iter_all_roots": ((), "Sequence[str]", "Yield candidate root directories for any artifact (core + policy-nli)."),
    "_find_package_dir": (("package_name",), "Optional[str]", "Locate a top-level package directory using importlib.resources."),
    "_has_file": (("root", "filename"), "bool", None),
    "_verify_if_present": (("model_root",), "None", "Verify manifest.json if present; log warnings on mismatch."),
    "_sha256": (("filepath",), "str", None),
    "generate_manifest": (("model_dir", "version"), "dict", "Walk *model_dir*, hash every file, return a manifest dict."),
    "write_manifest": (("model_dir", "version"), "str", "Generate and write manifest.json into *model_dir*. Returns the path."),
    "cli_download": ((), "None", "Print model resolution status for the current environment."),
}
BINDINGS = ["hashlib", "json", "logging", "os", "sys", "Path", "List", "Optional", "Sequence", "logger",
            "MODELS_VERSION", "_CORE_MARKER", "_POLICY_NLI_MARKER", "_UNSET", "_resolved_core_root",
            "_resolved_policy_nli", *list(OPERATIONS)[:7], "_verified_roots", *list(OPERATIONS)[7:]]


def test_namespace_is_bound_in_order(artifax):
    assert [k for k in vars(artifax) if not k.startswith("__")] == BINDINGS
    assert artifax.__doc__ == DOC and artifax.__name__ == MODULE
    assert (artifax.hashlib, artifax.json, artifax.logging, artifax.os, artifax.sys) == (hashlib, json, logging, os, sys)
    assert (artifax.Path, artifax.List, artifax.Optional, artifax.Sequence) == (
        pathlib.Path, typing.List, typing.Optional, typing.Sequence)
    assert artifax.logger is logging.getLogger(MODULE)
    assert (artifax._CORE_MARKER, artifax._POLICY_NLI_MARKER) == ("vantor_int8.onnx", "policy_nli_int8.onnx")
    assert type(artifax._UNSET) is object and artifax._resolved_policy_nli is artifax._UNSET


@pytest.mark.parametrize("name", OPERATIONS)
def test_operations_carry_names_annotations_and_docstrings(artifax, name):
    params, ret, doc = OPERATIONS[name]
    op = getattr(artifax, name)
    assert (op.__name__, op.__qualname__, op.__module__, op.__doc__) == (name, name, MODULE, doc)
    assert op.__annotations__ == {**{p: "str" for p in params}, "return": ret}
    ns = {}
    exec(f"def {name}({', '.join(params)}): pass", ns)  # the interpreter words the errors
    for args, kwargs in [((1,) * (len(params) + 1), {}), ((), {}), ((), {"bogus": 1}),
                         ((1,) * len(params), {(params or ("x",))[0]: 1})]:
        if not params and not args and not kwargs:
            continue
        with pytest.raises(TypeError) as expected:
            ns[name](*args, **kwargs)
        with pytest.raises(TypeError) as got:
            op(*args, **kwargs)
        assert str(got.value) == str(expected.value)


def run_python(code, **env):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120, env={**os.environ, **env})


@pytest.mark.parametrize("env, expected", [({}, "1.0.1"), ({"NEROV_MODELS_VERSION": ""}, ""),
                                           ({"NEROV_MODELS_VERSION": "2.0"}, "2.0")])
def test_models_version_is_read_once_at_import(monkeypatch, env, expected):
    monkeypatch.delenv("NEROV_MODELS_VERSION", raising=False)
    proc = run_python(f"""
        import os
        from nerov.packages.brain import artifax
        os.environ["NEROV_MODELS_VERSION"] = "changed"
        print(repr(artifax.MODELS_VERSION))
    """, **env)
    assert proc.stdout == f"{expected!r}\n", proc.stderr


def test_import_touches_no_model_file_and_logs_nothing(tmp_path):
    (tmp_path / "vantor_int8.onnx").write_bytes(b"m")
    (tmp_path / "manifest.json").write_text("{}")
    proc = run_python(f"""
        import logging, sys
        logging.basicConfig(level=logging.DEBUG, stream=sys.stdout)
        seen = []
        sys.addaudithook(lambda event, args: seen.append((event, args)))
        from nerov.packages.brain import artifax
        touched = [e for e, a in seen if {str(tmp_path)!r} in repr(a) or "nerov_brain_models" in repr(a)]
        print(touched, artifax._resolved_core_root is artifax._UNSET, artifax._verified_roots)
    """, NEROV_MODELS_DIR=str(tmp_path))
    assert proc.stdout == "[] True set()\n", proc.stderr


class Raising(os.PathLike):
    def __fspath__(self):
        raise LookupError("no path")


@pytest.mark.parametrize("call, error", [
    (lambda a: a.resolve_artifact(None), TypeError),
    (lambda a: a.resolve_artifact(b"bytes"), TypeError),
    (lambda a: a.resolve_artifact_dir(7), TypeError),
    (lambda a: a.resolve_artifact(Raising()), LookupError),
    (lambda a: a._has_file(None, "x"), TypeError),
    (lambda a: a._has_file(Raising(), "x"), LookupError),
    (lambda a: a._find_package_dir(3), TypeError),
    (lambda a: a._verify_if_present([]), TypeError),
    (lambda a: a._verify_if_present(None), TypeError),
    (lambda a: a._verify_if_present(Raising()), LookupError),
    (lambda a: a._sha256(None), TypeError),
    (lambda a: a._sha256(Raising()), LookupError),
    (lambda a: a.generate_manifest(None, "1"), TypeError),
    (lambda a: a.generate_manifest(b"dir", "1"), TypeError),
    (lambda a: a.write_manifest(Raising(), "1"), LookupError),
])
def test_bad_arguments_raise_what_the_python_steps_raise(artifax, call, error):
    with pytest.raises(error):
        call(artifax)


@settings(max_examples=200, deadline=None)
@given(st.sampled_from(["resolve_artifact", "resolve_artifact_dir", "_find_package_dir", "_sha256",
                        "_has_file", "_verify_if_present", "generate_manifest", "write_manifest"]),
       st.lists(st.one_of(st.none(), st.integers(), st.binary(max_size=8), st.text(max_size=8),
                          st.floats(), st.lists(st.integers(), max_size=2), st.builds(object), st.builds(Raising)),
                min_size=2, max_size=2))
def test_any_argument_ends_in_a_result_or_an_exception(tmp_path_factory, name, args):
    op = getattr(artifax_module, name)
    args = args[:len(inspect.signature(op).parameters)]
    if name == "_sha256" and isinstance(args[0], int):
        return  # a file descriptor: the same call in Python would read it to its end and close it
    cwd = os.getcwd()
    os.chdir(tmp_path_factory.mktemp("cwd"))  # relative paths land in an empty directory
    try:
        result = op(*args)
    except Exception:
        return
    finally:
        os.chdir(cwd)
    assert result is None or isinstance(result, (str, bool, dict))
