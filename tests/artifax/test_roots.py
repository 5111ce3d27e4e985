"""Candidate roots, the data-package lookup and the file probe."""

import os
import sys
import types

import pytest

CORE_PKG = "nerov_brain_models"
NLI_PKG = "nerov_policy_nli"


def test_only_the_development_tree_when_nothing_is_installed(artifax, dev_root):
    assert not os.path.exists(dev_root)
    first, second = artifax._iter_core_roots(), artifax._iter_core_roots()
    assert first == [dev_root] and type(first) is list
    assert first is not second
    assert artifax._iter_all_roots() == [dev_root]


def test_all_roots_in_priority_order(artifax, dev_root, install_package, tmp_path, monkeypatch):
    override = str(tmp_path / "override")
    monkeypatch.setenv("NEROV_MODELS_DIR", override)
    core = install_package(CORE_PKG)
    nli = install_package(NLI_PKG)
    assert artifax._iter_core_roots() == [override, dev_root, core]
    roots = artifax._iter_all_roots()
    assert roots == [override, dev_root, core, nli]
    assert all(type(r) is str for r in roots)


@pytest.mark.parametrize("value, expected_first", [
    ("", None),                              # empty counts as unset
    ("relative/../dir", "relative/../dir"),  # verbatim, no normalisation
    ("~/models", "~/models"),                # no expansion
    ("/no/such/dir", "/no/such/dir"),        # no existence test
])
def test_override_is_taken_verbatim(artifax, dev_root, monkeypatch, value, expected_first):
    monkeypatch.setenv("NEROV_MODELS_DIR", value)
    expected = [dev_root] if expected_first is None else [expected_first, dev_root]
    assert artifax._iter_core_roots() == expected


def test_override_equal_to_the_development_tree_is_listed_twice(artifax, dev_root, monkeypatch):
    monkeypatch.setenv("NEROV_MODELS_DIR", dev_root)
    assert artifax._iter_core_roots() == [dev_root, dev_root]


def test_development_tree_follows_the_module_file(artifax, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(artifax, "__file__", os.path.join("pkg", "x", "artifax.so"))
    assert artifax._iter_core_roots() == [str(tmp_path / "pkg" / "x" / "models")]


def test_roots_are_recomputed_on_every_call(artifax, dev_root, install_package, monkeypatch):
    assert artifax._iter_all_roots() == [dev_root]
    monkeypatch.setenv("NEROV_MODELS_DIR", "first")
    nli = install_package(NLI_PKG)
    assert artifax._iter_all_roots() == ["first", dev_root, nli]


def test_installed_package_is_found_through_importlib_resources(artifax, install_package):
    pkg = install_package(CORE_PKG, {"vantor_int8.onnx": b"m"}, init="LOADED = True\n")
    assert artifax._find_package_dir(CORE_PKG) == pkg
    assert sys.modules[CORE_PKG].LOADED


def test_missing_package_gives_none_and_logs_nothing(artifax, records):
    assert artifax._find_package_dir("nerov_no_such_package_here") is None
    assert records() == []


def test_namespace_package_is_found_by_the_sys_path_scan(artifax, install_package):
    pkg = install_package(NLI_PKG, {"policy_nli_int8.onnx": b"p"}, init=None)
    assert artifax._find_package_dir(NLI_PKG) == pkg


def test_empty_sys_path_entry_gives_a_relative_candidate(artifax, tmp_path, monkeypatch):
    (tmp_path / NLI_PKG).mkdir()
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "path", [""])
    assert artifax._find_package_dir(NLI_PKG) == NLI_PKG


@pytest.mark.parametrize("error", ["ModuleNotFoundError('dependency')", "AttributeError('x')",
                                   "type('Sub', (AttributeError,), {})()"])
def test_package_whose_import_fails_softly_is_found_by_the_scan(artifax, install_package, error):
    pkg = install_package(CORE_PKG, init=f"raise {error}\n")
    assert artifax._find_package_dir(CORE_PKG) == pkg


@pytest.mark.parametrize("error", [ImportError, ValueError, RuntimeError])
def test_other_import_errors_propagate(artifax, install_package, error, dev_root):
    install_package(NLI_PKG, init=f"raise {error.__name__}('broken package')\n")
    with pytest.raises(error, match="broken package"):
        artifax._find_package_dir(NLI_PKG)
    with pytest.raises(error, match="broken package"):
        artifax._iter_all_roots()
    assert artifax._iter_core_roots() == [dev_root]  # the core roots never look it up


@pytest.fixture
def odd_tree(tmp_path):
    """Files, directories and links under names that path handling gets wrong."""
    for d in ("d", "\u00e9\U0001f389", "sp ace"):
        (tmp_path / d).mkdir()
        (tmp_path / d / "f").write_bytes(b"")
    (tmp_path / "f").write_bytes(b"")
    os.symlink(tmp_path / "f", tmp_path / "lf")
    os.symlink(tmp_path / "d", tmp_path / "ld")
    os.symlink(tmp_path / "gone", tmp_path / "dangling")
    return str(tmp_path)


NAMES = ["f", "d", "lf", "ld", "dangling", "missing", "", "/", "d/", "d//f", "\u00e9\U0001f389/f",
         "sp ace/f", "f\x00", "\udcff", "x" * 5000, "vantor_int8.onnx"]


@pytest.mark.parametrize("root_form", ["{}", "{}/", "{}//", "//{}"])
def test_path_tests_agree_with_os_path(artifax, odd_tree, monkeypatch, root_form):
    root = root_form.format(odd_tree)
    monkeypatch.setattr(artifax, "_iter_all_roots", lambda: [root])
    monkeypatch.setattr(artifax, "sys", types.SimpleNamespace(path=[root]))
    for name in NAMES + [os.path.join(odd_tree, "f")]:
        joined = os.path.join(root, name)
        assert artifax._has_file(root, name) is os.path.isfile(joined), name
        assert artifax.resolve_artifact(name) == (joined if os.path.exists(joined) else None), name
    for name in ["d", "ld", "f", "missing", "\u00e9\U0001f389", "sp ace"]:
        expected = os.path.join(root, name) if os.path.isdir(os.path.join(root, name)) else None
        assert artifax._find_package_dir(name) == expected, name


@pytest.mark.parametrize("file", ["/", "//x.so", "///x.so", "/a/b/", "rel.so", "", "a/b//c.so",
                                  "\u00e9/\U0001f389.so", "./x/../y.so"])
def test_development_tree_agrees_with_os_path(artifax, monkeypatch, tmp_path, file):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(artifax, "__file__", file)
    expected = os.path.join(os.path.dirname(os.path.abspath(file)), "models")
    assert artifax._iter_core_roots() == [expected]


def test_patched_standard_functions_are_honoured(artifax, odd_tree, monkeypatch):
    def stat(path, *args, **kwargs):
        raise FileNotFoundError(path)

    monkeypatch.setattr(os, "stat", stat)
    assert artifax._has_file(odd_tree, "f") is False
    monkeypatch.setattr(os.path, "isfile", lambda path: "patched")
    monkeypatch.setattr(os.path, "join", lambda *parts: "|".join(parts))
    assert artifax._has_file("a", "b") == "patched"
    monkeypatch.setattr(artifax, "_iter_all_roots", lambda: ["r"])
    monkeypatch.setattr(os.path, "exists", lambda path: path == "r|x")
    assert artifax.resolve_artifact("x") == "r|x"


def test_lookups_go_through_the_module_namespace(artifax, monkeypatch):
    fake_os = types.SimpleNamespace(environ={"NEROV_MODELS_DIR": "from-fake-os"}, path=os.path)
    monkeypatch.setattr(artifax, "os", fake_os)
    monkeypatch.setattr(artifax, "_find_package_dir", lambda name: f"<{name}>")
    assert artifax._iter_all_roots()[::2] == ["from-fake-os", "<nerov_brain_models>"]
    assert artifax._iter_all_roots()[-1] == "<nerov_policy_nli>"

    monkeypatch.delattr(artifax, "_find_package_dir")
    with pytest.raises(NameError, match="name '_find_package_dir' is not defined"):
        artifax._iter_core_roots()


def test_package_scan_uses_the_module_sys(artifax, monkeypatch, tmp_path):
    (tmp_path / "nerov_scan_only").mkdir()
    monkeypatch.setattr(artifax, "sys", types.SimpleNamespace(path=[str(tmp_path)]))
    assert artifax._find_package_dir("nerov_scan_only") == str(tmp_path / "nerov_scan_only")
