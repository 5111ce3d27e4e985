"""Set-up shared by the stress tests: module state as after a fresh import,
restored afterwards."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from stress_support import PACKAGES, Sink, artifax, ps  # noqa: E402


@pytest.fixture(autouse=True)
def fresh_modules(monkeypatch, tmp_path_factory):
    monkeypatch.setattr(artifax, "__file__", str(tmp_path_factory.mktemp("brain") / "artifax.so"))
    monkeypatch.setattr(artifax, "_resolved_core_root", artifax._UNSET)
    monkeypatch.setattr(artifax, "_verified_roots", set())
    for var in ("NEROV_MODELS_DIR", "NEROV_SKIP_MODEL_CHECK"):
        monkeypatch.delenv(var, raising=False)
    for name in PACKAGES:
        monkeypatch.delitem(sys.modules, name, raising=False)
    monkeypatch.setattr(ps, "_LOCAL_BRAIN", ps._LOCAL_BRAIN)
    monkeypatch.setattr(ps, "VantorEngine", ps.VantorEngine)
    monkeypatch.setattr(ps, "CapabilityMatcher", ps.CapabilityMatcher)
    yield
    for name in PACKAGES:
        sys.modules.pop(name, None)


@pytest.fixture
def sink():
    """A handler for both modules' loggers; `with logs_to(sink):` installs it."""
    return Sink()
