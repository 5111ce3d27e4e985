import logging
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from psift_support import FakeEngine, FakeMatcher, PASS_RESULT, ps  # noqa: E402


@pytest.fixture
def engine(monkeypatch):
    """An engine with a safe verdict, installed as the process-wide engine."""
    fake = FakeEngine(dict(PASS_RESULT))
    monkeypatch.setattr(ps, "_LOCAL_BRAIN", fake)
    return fake


@pytest.fixture
def matcher():
    return FakeMatcher((["search", "calendar"], "scoped"))


@pytest.fixture
def stage(matcher):
    stage = ps.PromptsiftStage([])
    stage.capability_matcher = matcher
    return stage


@pytest.fixture
def logs(caplog):
    """The stage's log records as (level name, message) pairs."""
    caplog.set_level(logging.DEBUG, logger=ps.logger.name)
    return lambda: [(r.levelname, r.getMessage()) for r in caplog.records if r.name == ps.logger.name]
