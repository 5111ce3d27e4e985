"""Shared set-up for the artifact resolver tests.

The module can be loaded once per process, so every test starts from the
state a fresh import would have by assigning module attributes, with the
environment variables cleared and the development tree moved into a
temporary directory.
"""

import hashlib
import importlib
import logging
import os
import sys

import pytest

from nerov.packages.brain import artifax as _artifax

LOGGER = "nerov.packages.brain.artifax"
CORE_PKG = "nerov_brain_models"
NLI_PKG = "nerov_policy_nli"
MARKER = "vantor_int8.onnx"


def make_tree(root, files):
    """Creates `files` ({relative path: bytes}) under `root`; returns `root` as str."""
    root.mkdir(parents=True, exist_ok=True)
    for rel, data in files.items():
        target = root / rel
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
    return str(root)


@pytest.fixture
def tree():
    return make_tree


@pytest.fixture
def sha():
    return lambda data: hashlib.sha256(data).hexdigest()


@pytest.fixture
def artifax():
    return _artifax


@pytest.fixture(autouse=True)
def fresh_module(monkeypatch, tmp_path_factory):
    """Caches reset, no override, no skip, the development tree in a temp dir."""
    dev_parent = tmp_path_factory.mktemp("brain")
    monkeypatch.setattr(_artifax, "__file__", str(dev_parent / "artifax.so"))
    monkeypatch.setattr(_artifax, "_resolved_core_root", _artifax._UNSET)
    monkeypatch.setattr(_artifax, "_verified_roots", set())
    monkeypatch.delenv("NEROV_MODELS_DIR", raising=False)
    monkeypatch.delenv("NEROV_SKIP_MODEL_CHECK", raising=False)
    for name in (CORE_PKG, NLI_PKG):
        monkeypatch.delitem(sys.modules, name, raising=False)
    yield
    for name in (CORE_PKG, NLI_PKG):
        sys.modules.pop(name, None)


@pytest.fixture
def dev_root(artifax):
    """The development-tree root the module computes (not created)."""
    return os.path.join(os.path.dirname(artifax.__file__), "models")


@pytest.fixture
def install_package(monkeypatch, tmp_path_factory):
    """Installs a data package on sys.path: install_package(name, files, init=...)
    returns the package directory as str. `init=None` leaves out __init__.py."""

    def install(name, files=None, init=""):
        site = tmp_path_factory.mktemp("site")
        pkg = site / name
        make_tree(pkg, files or {})
        if init is not None:
            (pkg / "__init__.py").write_text(init)
        monkeypatch.syspath_prepend(str(site))
        importlib.invalidate_caches()
        return str(pkg)

    return install


@pytest.fixture
def records(caplog):
    """The module's log records, captured from DEBUG up."""
    caplog.set_level(logging.DEBUG, logger=LOGGER)

    def collect():
        return [(r.levelname, r.msg, r.args) for r in caplog.records if r.name == LOGGER]

    return collect
