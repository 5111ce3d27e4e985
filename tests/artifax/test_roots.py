"""Candidate roots, the data-package lookup and the path tests behind them."""

import json
import os
import sys
import types

import pytest


@pytest.mark.parametrize("override, first", [(None, []), ("", []), ("~/a/../b", ["~/a/../b"]),
                                             ("/no/such/dir", ["/no/such/dir"])])
def test_candidate_roots_in_priority_order(artifax, dev_root, install_package, monkeypatch, override, first):
    assert not os.path.exists(dev_root)
    if override is not None:
        monkeypatch.setenv("NEROV_MODELS_DIR", override)
    assert artifax._iter_core_roots() == artifax._iter_all_roots() == first + [dev_root]
    core = install_package("nerov_brain_models", init="LOADED = True\n")
    nli = install_package("nerov_policy_nli")
    roots = artifax._iter_all_roots()
    assert roots == first + [dev_root, core, nli] and type(roots) is list
    assert artifax._iter_core_roots() == roots[:-1] and artifax._iter_core_roots() is not roots
    assert sys.modules["nerov_brain_models"].LOADED


def test_override_equal_to_the_development_tree_is_listed_twice(artifax, dev_root, monkeypatch):
    monkeypatch.setenv("NEROV_MODELS_DIR", dev_root)
    assert artifax._iter_core_roots() == [dev_root, dev_root]


def test_package_lookup_falls_back_to_a_sys_path_scan(artifax, install_package, tmp_path, monkeypatch, records):
    assert artifax._find_package_dir("nerov_no_such_package") is None and records() == []
    nli = install_package("nerov_policy_nli", init=None)  # namespace package: no plain directory
    assert artifax._find_package_dir("nerov_policy_nli") == nli
    (tmp_path / "nerov_scan_only").mkdir()
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(artifax, "sys", types.SimpleNamespace(path=[""]))
    assert artifax._find_package_dir("nerov_scan_only") == "nerov_scan_only"  # relative, as joined


@pytest.mark.parametrize("error, propagates", [
    ("ModuleNotFoundError('dependency')", False), ("AttributeError('x')", False),
    ("type('Sub', (AttributeError,), {})()", False),
    ("ImportError('broken')", True), ("ValueError('broken')", True)])
def test_errors_from_a_package_import(artifax, install_package, dev_root, error, propagates):
    pkg = install_package("nerov_policy_nli", init=f"raise {error}\n")
    if not propagates:
        assert artifax._find_package_dir("nerov_policy_nli") == pkg
        return
    for call in (artifax._iter_all_roots, lambda: artifax.resolve_artifact("x")):
        with pytest.raises((ImportError, ValueError), match="broken"):
            call()
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
    assert artifax._iter_core_roots() == [os.path.join(os.path.dirname(os.path.abspath(file)), "models")]


def test_rebound_names_take_effect(artifax, odd_tree, monkeypatch):
    monkeypatch.setattr(artifax, "os", types.SimpleNamespace(environ={"NEROV_MODELS_DIR": "env"}, path=os.path))
    monkeypatch.setattr(artifax, "_find_package_dir", lambda name: f"<{name}>")
    assert artifax._iter_all_roots()[::2] == ["env", "<nerov_brain_models>"]
    monkeypatch.delattr(artifax, "_find_package_dir")
    with pytest.raises(NameError, match="name '_find_package_dir' is not defined"):
        artifax._iter_core_roots()
    # Patched standard functions are called, not bypassed.
    monkeypatch.setattr(os, "stat", lambda *a, **k: (_ for _ in ()).throw(FileNotFoundError()))
    assert artifax._has_file(odd_tree, "f") is False
    monkeypatch.setattr(os.path, "isfile", lambda path: "patched")
    monkeypatch.setattr(os.path, "join", lambda *parts: "|".join(parts))
    monkeypatch.setattr(os.path, "exists", lambda path: path == "r|x")
    monkeypatch.setattr(artifax, "_iter_all_roots", lambda: ["r"])
    assert artifax._has_file("a", "b") == "patched" and artifax.resolve_artifact("x") == "r|x"


def test_a_name_is_read_each_time_the_steps_read_it(artifax, tmp_path, monkeypatch, capsys):
    """Code that one step runs (a generator of roots, a hasher, a set, a value's format) may
    rebind a name; the next read of that name in the same call sees the new binding."""
    seen = []

    def recording_os():  # from now on os.path.join and its probes are these
        path = types.SimpleNamespace(join=lambda *parts: "/".join(parts), exists=lambda p: seen.append(p) or True,
                                     isfile=lambda p: seen.append(p) or False)
        monkeypatch.setattr(artifax, "os", types.SimpleNamespace(path=path, environ={}))

    def roots():
        yield str(tmp_path / "missing")
        recording_os()
        yield "second"

    monkeypatch.setattr(artifax, "_iter_all_roots", roots)
    assert artifax.resolve_artifact("x") == "second/x" and seen == ["second/x"]

    root = tmp_path / "root"
    root.mkdir()
    for name in ("a", "b"):
        (root / name).write_bytes(b"")
    (root / "manifest.json").write_text(json.dumps({"files": {"a": {"sha256": "0"}, "b": {"sha256": "0"}}}))
    monkeypatch.setattr(artifax, "os", os)
    real_sha256 = artifax._sha256
    monkeypatch.setattr(artifax, "_sha256", lambda p: recording_os() or "1")
    warnings = []
    monkeypatch.setattr(artifax, "logger", types.SimpleNamespace(warning=lambda *args: warnings.append(args[2])))
    artifax._verify_if_present(str(root))  # "b" is tested with the new isfile: absent
    assert warnings == [["a"]]

    later = set()

    class Handing(set):
        def __contains__(self, item):
            monkeypatch.setattr(artifax, "_verified_roots", later)
            return False

    monkeypatch.setattr(artifax, "_verified_roots", Handing())
    monkeypatch.setenv("NEROV_SKIP_MODEL_CHECK", "1")
    artifax._verify_if_present("r")
    assert later == {"r"}

    (tmp_path / "blob").write_bytes(bytes(5 << 19))  # two and a half blocks

    class Hasher:
        def update(self, block):
            seen.append(("class", len(block)))
            self.update = lambda b: seen.append(("own", len(b)))

        def hexdigest(self):
            return "digest"

    seen.clear()
    monkeypatch.setattr(artifax, "_sha256", real_sha256)
    monkeypatch.setattr(artifax, "hashlib", types.SimpleNamespace(sha256=Hasher))
    assert artifax._sha256(str(tmp_path / "blob")) == "digest"
    assert seen == [("class", 1 << 20), ("own", 1 << 20), ("own", 1 << 19)]

    printed = []

    class Root:
        def __format__(self, format_spec):
            monkeypatch.setattr(artifax, "print", lambda line: printed.append(("new", line)), raising=False)
            return "R"

    monkeypatch.setattr(artifax, "print", lambda line: printed.append(("old", line)), raising=False)
    monkeypatch.setattr(artifax, "_resolved_core_root", Root())
    monkeypatch.setattr(artifax, "_iter_all_roots", lambda: [])
    artifax.cli_download()
    assert printed[1:3] == [("old", "  Core models  : R"), ("new", "  policy_nli_int8.onnx          : NOT FOUND")]
