"""Core-root resolution and its cache, single-artifact lookup, the status report."""

import json
import os
import pathlib

import pytest

FOUND = "artifax: core models found at %s"
NOT_FOUND = "artifax: core ONNX models not found. Install nerov-brain-models or set $NEROV_MODELS_DIR."
MISMATCH = "artifax: checksum mismatch for %s \u2014 corrupt artifacts: %s. Reinstall the model package."
MARKER = "vantor_int8.onnx"
REPORT_TAIL = ["", "Set NEROV_MODELS_DIR to override resolution.", ""]


def bad_root(tree, path, extra=None):
    """A core root whose manifest disagrees with its marker file."""
    root = tree(path, {MARKER: b"model", **(extra or {})})
    (path / "manifest.json").write_text(json.dumps({"files": {MARKER: {"sha256": "0" * 64}}}))
    return root


def test_nothing_found_is_cached_as_none(artifax, records, monkeypatch, tree, tmp_path, capsys):
    assert artifax._resolved_core_root is artifax._UNSET
    assert artifax.resolve_core_models_root() is None and artifax._resolved_core_root is None
    monkeypatch.setenv("NEROV_MODELS_DIR", tree(tmp_path, {MARKER: b"m"}))
    artifax.cli_download()
    assert capsys.readouterr().out.split("\n") == [
        "=== Nerov Artifax ===", "", "  Core models  : NOT FOUND", "    Install:  pip install nerov-brain-models",
        "  policy_nli_int8.onnx          : NOT FOUND", "  judge_nli_tokenizer_v2        : NOT FOUND", *REPORT_TAIL]
    assert records() == [("WARNING", NOT_FOUND, ())]


def test_first_root_with_the_marker_wins_and_only_it_is_verified(artifax, records, monkeypatch, tree, tmp_path,
                                                                 install_package, dev_root):
    (tmp_path / "dir-marker" / MARKER).mkdir(parents=True)
    monkeypatch.setenv("NEROV_MODELS_DIR", str(tmp_path / "dir-marker"))  # a directory does not count
    dev = bad_root(tree, pathlib.Path(dev_root))
    package = bad_root(tree, pathlib.Path(install_package("nerov_brain_models")))
    assert artifax.resolve_core_models_root() == dev
    assert records() == [("WARNING", MISMATCH, (dev, [MARKER])), ("DEBUG", FOUND, (dev,))]
    assert artifax._verified_roots == {dev}
    monkeypatch.setenv("NEROV_MODELS_DIR", package)
    assert artifax.resolve_core_models_root() == dev and len(records()) == 2
    artifax._resolved_core_root = artifax._UNSET  # forces a new search
    assert artifax.resolve_core_models_root() == package and artifax._verified_roots == {dev, package}


def test_failures_leave_the_cache_as_far_as_it_got(artifax, monkeypatch, tree, tmp_path, records):
    monkeypatch.setattr(artifax, "_iter_core_roots", lambda: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        artifax.resolve_core_models_root()
    assert artifax._resolved_core_root is artifax._UNSET
    root = tree(tmp_path, {"alt.onnx": b"m"})
    monkeypatch.setattr(artifax, "_iter_core_roots", lambda: iter(["/nowhere", root]))
    monkeypatch.setattr(artifax, "_CORE_MARKER", "alt.onnx")
    monkeypatch.setattr(artifax, "_verify_if_present", lambda r: [].pop())
    with pytest.raises(IndexError):
        artifax.resolve_core_models_root()
    assert artifax._resolved_core_root == root and records() == []
    assert artifax.resolve_core_models_root() == root


def test_artifacts_come_from_the_highest_priority_root(artifax, monkeypatch, tree, tmp_path, dev_root,
                                                       install_package):
    core = install_package("nerov_brain_models", {MARKER: b"m", "shared.onnx": b"c"})
    nli = install_package("nerov_policy_nli", {"shared.onnx": b"n", "policy_nli_int8.onnx": b"p",
                                               "judge_nli_tokenizer_v2/vocab.txt": b"v"})
    assert artifax.resolve_core_models_root() == core
    override = tree(tmp_path, {"shared.onnx": b"o"})
    monkeypatch.setenv("NEROV_MODELS_DIR", override)  # not cached: seen by the next lookup
    assert artifax.resolve_artifact("shared.onnx") == os.path.join(override, "shared.onnx")
    assert artifax.resolve_artifact(pathlib.Path("policy_nli_int8.onnx")) == os.path.join(nli, "policy_nli_int8.onnx")
    assert artifax.resolve_artifact_dir("judge_nli_tokenizer_v2") == os.path.join(nli, "judge_nli_tokenizer_v2")
    assert artifax.resolve_artifact_dir(MARKER) == os.path.join(core, MARKER)
    assert artifax.resolve_artifact(core) == core  # an absolute path replaces the root
    assert artifax.resolve_artifact("") == override + os.sep
    assert artifax.resolve_artifact("nowhere.onnx") is None
    monkeypatch.setattr(artifax, "_iter_all_roots", lambda: [dev_root, nli])
    assert artifax.resolve_artifact("shared.onnx") == os.path.join(nli, "shared.onnx")
    assert artifax.resolve_core_models_root() == core


def test_report_with_everything_found_verifies_once(artifax, capsys, records, tree, tmp_path, monkeypatch):
    root = bad_root(tree, tmp_path, {"policy_nli_int8.onnx": b"p", "judge_nli_tokenizer_v2/v": b"v"})
    monkeypatch.setenv("NEROV_MODELS_DIR", root)
    expected = ["=== Nerov Artifax ===", "", f"  Core models  : {root}",
                f"  policy_nli_int8.onnx          : {os.path.join(root, 'policy_nli_int8.onnx')}",
                f"  judge_nli_tokenizer_v2        : {os.path.join(root, 'judge_nli_tokenizer_v2')}", *REPORT_TAIL]
    for _ in range(2):
        assert artifax.cli_download() is None
        assert capsys.readouterr().out.split("\n") == expected
    assert [r[1] for r in records()] == [MISMATCH, FOUND]


def test_report_lines_depend_only_on_their_own_lookup(artifax, monkeypatch):
    printed = []
    monkeypatch.setattr(artifax, "print", printed.append, raising=False)
    monkeypatch.setattr(artifax, "resolve_core_models_root", lambda: pathlib.Path("/core"))
    answers = {"policy_nli_int8.onnx": "", "judge_nli_tokenizer_v2": pathlib.Path("/tok")}
    monkeypatch.setattr(artifax, "resolve_artifact", answers.get)
    artifax.cli_download()
    assert printed[1:4] == ["  Core models  : /core", "  policy_nli_int8.onnx          : NOT FOUND",
                            "  judge_nli_tokenizer_v2        : /tok"]
    printed.clear()
    monkeypatch.setattr(artifax, "resolve_artifact", lambda name: {}[name])
    with pytest.raises(KeyError, match="policy_nli_int8.onnx"):
        artifax.cli_download()
    assert printed == ["=== Nerov Artifax ===\n", "  Core models  : /core"]
