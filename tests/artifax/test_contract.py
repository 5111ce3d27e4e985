"""The module's namespace, signatures, import-time behaviour and bad input."""

import hashlib
import inspect
import json
import logging
import os
import pathlib
import subprocess
import sys
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
def test_operations_carry_names_signatures_and_docstrings(artifax, name):
    params, ret, doc = OPERATIONS[name]
    op = getattr(artifax, name)
    assert (op.__name__, op.__qualname__, op.__module__, op.__doc__) == (name, name, MODULE, doc)
    assert op.__annotations__ == {**{p: "str" for p in params}, "return": ret}
    assert str(inspect.signature(op)) == f"({', '.join(p + ': ' + repr('str') for p in params)}) -> {ret!r}"


@pytest.mark.parametrize("version, expected", [(None, "1.0.1"), ("", ""), ("2.0", "2.0")])
def test_import_reads_only_the_version_and_touches_no_model_file(tmp_path, version, expected):
    (tmp_path / "vantor_int8.onnx").write_bytes(b"m")
    (tmp_path / "manifest.json").write_text("{}")
    env = {k: v for k, v in os.environ.items() if k != "NEROV_MODELS_VERSION"}
    env["NEROV_MODELS_DIR"] = str(tmp_path)
    if version is not None:
        env["NEROV_MODELS_VERSION"] = version
    code = f"""if True:
        import logging, os, sys
        logging.basicConfig(level=logging.DEBUG, stream=sys.stdout)
        seen = []
        sys.addaudithook(lambda event, args: seen.append(repr(args)))
        from nerov.packages.brain import artifax
        os.environ["NEROV_MODELS_VERSION"] = "changed"
        touched = [a for a in seen if {str(tmp_path)!r} in a or "nerov_brain_models" in a]
        print(repr(artifax.MODELS_VERSION), touched, artifax._resolved_core_root is artifax._UNSET,
              artifax._verified_roots)"""
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=env)
    assert proc.stdout == f"{expected!r} [] True set()\n", proc.stderr


class Raising(os.PathLike):
    def __fspath__(self):
        raise LookupError("no path")


@pytest.mark.parametrize("name, args, error", [
    ("resolve_artifact", (None,), TypeError), ("resolve_artifact", (b"x",), TypeError),
    ("resolve_artifact_dir", (7,), TypeError), ("_has_file", (None, "x"), TypeError),
    ("_find_package_dir", (3,), TypeError), ("_verify_if_present", ([],), TypeError),
    ("_sha256", (None,), TypeError), ("generate_manifest", (b"dir", "1"), TypeError),
    *[(name, (Raising(),) * n, LookupError) for name, n in [
        ("resolve_artifact", 1), ("_has_file", 2), ("_verify_if_present", 1), ("_sha256", 1),
        ("generate_manifest", 2), ("write_manifest", 2)]],
])
def test_bad_arguments_raise_what_the_python_steps_raise(artifax, name, args, error):
    with pytest.raises(error):
        getattr(artifax, name)(*args)


@settings(max_examples=200, deadline=None)
@given(st.sampled_from(["resolve_artifact", "resolve_artifact_dir", "_find_package_dir", "_sha256",
                        "_has_file", "_verify_if_present", "generate_manifest", "write_manifest"]),
       st.lists(st.one_of(st.none(), st.integers(), st.binary(max_size=8), st.text(max_size=8), st.floats(),
                          st.lists(st.integers(), max_size=2), st.builds(object), st.builds(Raising)),
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
