"""Core-root resolution and its cache, single-artifact lookup, the status report."""

import json
import os
import pathlib

import pytest

FOUND = "artifax: core models found at %s"
NOT_FOUND = "artifax: core ONNX models not found. Install nerov-brain-models or set $NEROV_MODELS_DIR."
MISMATCH = "artifax: checksum mismatch for %s \u2014 corrupt artifacts: %s. Reinstall the model package."
MARKER = "vantor_int8.onnx"


def bad_root(tree, path):
    """A core root whose manifest disagrees with its marker file."""
    root = tree(path, {MARKER: b"model"})
    (path / "manifest.json").write_text(json.dumps({"files": {MARKER: {"sha256": "0" * 64}}}))
    return root


def test_nothing_found_is_cached_as_none(artifax, records, monkeypatch, tree, tmp_path):
    assert artifax._resolved_core_root is artifax._UNSET
    assert artifax.resolve_core_models_root() is None
    assert artifax._resolved_core_root is None
    monkeypatch.setenv("NEROV_MODELS_DIR", tree(tmp_path, {MARKER: b"m"}))
    assert artifax.resolve_core_models_root() is None
    assert records() == [("WARNING", NOT_FOUND, ())]


def test_first_root_with_the_marker_wins_and_only_it_is_verified(artifax, records, monkeypatch, tree,
                                                                 tmp_path, install_package):
    override = bad_root(tree, tmp_path / "override")
    package = install_package("nerov_brain_models", {MARKER: b"other"})
    bad_root(tree, pathlib.Path(package))
    monkeypatch.setenv("NEROV_MODELS_DIR", override)
    assert artifax.resolve_core_models_root() == override
    assert records() == [("WARNING", MISMATCH, (override, [MARKER])), ("DEBUG", FOUND, (override,))]
    assert artifax._verified_roots == {override}
    monkeypatch.delenv("NEROV_MODELS_DIR")
    assert artifax.resolve_core_models_root() == override and len(records()) == 2
    artifax._resolved_core_root = artifax._UNSET  # forces a new search
    assert artifax.resolve_core_models_root() == package
    assert artifax._verified_roots == {override, package}


@pytest.mark.parametrize("override", ["marker-is-a-dir", "missing"])
def test_roots_without_a_marker_file_are_passed_over(artifax, monkeypatch, tree, tmp_path, dev_root, override):
    (tmp_path / "marker-is-a-dir" / MARKER).mkdir(parents=True)
    monkeypatch.setenv("NEROV_MODELS_DIR", str(tmp_path / override))
    tree(pathlib.Path(dev_root), {MARKER: b"m"})
    assert artifax.resolve_core_models_root() == dev_root


def test_failures_propagate_with_the_cache_as_the_order_left_it(artifax, monkeypatch, tree, tmp_path, records):
    def broken():
        raise OSError("cannot list roots")

    monkeypatch.setattr(artifax, "_iter_core_roots", broken)
    with pytest.raises(OSError, match="cannot list roots"):
        artifax.resolve_core_models_root()
    assert artifax._resolved_core_root is artifax._UNSET

    root = tree(tmp_path, {"alt.onnx": b"m"})
    monkeypatch.setattr(artifax, "_iter_core_roots", lambda: iter(["/nowhere", root]))
    monkeypatch.setattr(artifax, "_CORE_MARKER", "alt.onnx")
    monkeypatch.setattr(artifax, "_verify_if_present", lambda r: 1 / 0)
    with pytest.raises(ZeroDivisionError):
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
    monkeypatch.setenv("NEROV_MODELS_DIR", override)
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


def report_lines(artifax, capsys):
    artifax.cli_download()
    return capsys.readouterr().out.split("\n")


def test_report_with_nothing_found(artifax, capsys):
    assert report_lines(artifax, capsys) == [
        "=== Nerov Artifax ===", "", "  Core models  : NOT FOUND",
        "    Install:  pip install nerov-brain-models",
        "  policy_nli_int8.onnx          : NOT FOUND",
        "  judge_nli_tokenizer_v2        : NOT FOUND", "",
        "Set NEROV_MODELS_DIR to override resolution.", ""]


def test_report_with_everything_found_verifies_once(artifax, capsys, records, tree, tmp_path, monkeypatch):
    root = bad_root(tree, tmp_path)
    tree(tmp_path, {"policy_nli_int8.onnx": b"p", "judge_nli_tokenizer_v2/v": b"v"})
    monkeypatch.setenv("NEROV_MODELS_DIR", root)
    expected = ["=== Nerov Artifax ===", "", f"  Core models  : {root}",
                f"  policy_nli_int8.onnx          : {os.path.join(root, 'policy_nli_int8.onnx')}",
                f"  judge_nli_tokenizer_v2        : {os.path.join(root, 'judge_nli_tokenizer_v2')}", "",
                "Set NEROV_MODELS_DIR to override resolution.", ""]
    assert report_lines(artifax, capsys) == expected
    assert report_lines(artifax, capsys) == expected
    assert [r[1] for r in records()] == [MISMATCH, FOUND]


def test_report_lines_depend_only_on_their_own_lookup(artifax, monkeypatch):
    printed = []
    monkeypatch.setattr(artifax, "print", printed.append, raising=False)
    monkeypatch.setattr(artifax, "resolve_core_models_root", lambda: pathlib.Path("/core"))
    answers = {"policy_nli_int8.onnx": "", "judge_nli_tokenizer_v2": pathlib.Path("/tok")}
    monkeypatch.setattr(artifax, "resolve_artifact", answers.get)
    assert artifax.cli_download() is None
    assert printed[1:4] == ["  Core models  : /core", "  policy_nli_int8.onnx          : NOT FOUND",
                            "  judge_nli_tokenizer_v2        : /tok"]

    def fail(name):
        raise RuntimeError(name)

    printed.clear()
    monkeypatch.setattr(artifax, "resolve_artifact", fail)
    with pytest.raises(RuntimeError, match="policy_nli_int8.onnx"):
        artifax.cli_download()
    assert printed == ["=== Nerov Artifax ===\n", "  Core models  : /core"]
