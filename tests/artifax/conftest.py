"""Shared set-up. The module loads once per process, so each test starts from
the state of a fresh import by assigning module attributes, with the
environment cleared and the development tree moved into a temp dir."""

import hashlib
import importlib
import logging
import pathlib
import sys

import pytest

from nerov.packages.brain import artifax as _artifax

PACKAGES = ("nerov_brain_models", "nerov_policy_nli")


def make_tree(root, files):
    """Creates {relative path: bytes} under `root` (a Path); returns it as str."""
    root.mkdir(parents=True, exist_ok=True)
    for rel, data in files.items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_bytes(data)
    return str(root)


@pytest.fixture(autouse=True)
def fresh_module(monkeypatch, tmp_path_factory):
    monkeypatch.setattr(_artifax, "__file__", str(tmp_path_factory.mktemp("brain") / "artifax.so"))
    monkeypatch.setattr(_artifax, "_resolved_core_root", _artifax._UNSET)
    monkeypatch.setattr(_artifax, "_verified_roots", set())
    for var in ("NEROV_MODELS_DIR", "NEROV_SKIP_MODEL_CHECK"):
        monkeypatch.delenv(var, raising=False)
    for name in PACKAGES:
        monkeypatch.delitem(sys.modules, name, raising=False)
    yield
    for name in PACKAGES:
        sys.modules.pop(name, None)


@pytest.fixture
def artifax():
    return _artifax


@pytest.fixture
def tree():
    return make_tree


@pytest.fixture
def sha():
    return lambda data: hashlib.sha256(data).hexdigest()


@pytest.fixture
def dev_root():
    return str(pathlib.Path(_artifax.__file__).parent / "models")


@pytest.fixture
def install_package(monkeypatch, tmp_path_factory):
    """install_package(name, files, init="") puts a data package on sys.path and
    returns its directory; init=None leaves out __init__.py."""
    def install(name, files=None, init=""):
        site = tmp_path_factory.mktemp("site")
        make_tree(site / name, files or {})
        if init is not None:
            (site / name / "__init__.py").write_text(init)
        monkeypatch.syspath_prepend(str(site))
        importlib.invalidate_caches()
        return str(site / name)
    return install


@pytest.fixture
def records(caplog):
    """Returns a function giving the module's log records as (level, msg, args)."""
    caplog.set_level(logging.DEBUG, logger=_artifax.__name__)
    return lambda: [(r.levelname, r.msg, r.args) for r in caplog.records if r.name == _artifax.__name__]
