"""The process-wide engine and the stage constructor."""

import threading
import time

import pytest
from psift_support import PASS_RESULT, FakeEngine, context, ps, run


@pytest.fixture
def engines(monkeypatch):
    """`VantorEngine()` builds recorded fake engines; the slot starts empty."""

    class Engine(FakeEngine):
        built, delay, failures = [], 0.0, 0

        def __init__(self):
            time.sleep(self.delay)
            if Engine.failures:
                Engine.failures -= 1
                raise OSError("model missing")
            super().__init__(dict(PASS_RESULT))
            Engine.built.append(self)

    monkeypatch.setattr(ps, "_LOCAL_BRAIN", None)
    monkeypatch.setattr(ps, "VantorEngine", Engine)
    return Engine


def test_engine_is_created_on_first_use_and_shared(engines):
    first, second = ps.PromptsiftStage(["a"]), ps.PromptsiftStage(["b"], "other-model")
    assert ps._LOCAL_BRAIN is None and engines.built == []
    run(first.process(context()))
    run(second.process(context("another question")))
    assert engines.built == [ps._LOCAL_BRAIN] and ps._get_vantor() is ps._LOCAL_BRAIN
    assert engines.built[0].prompts == ["What is the weather in Lisbon?", "another question"]
    for value in (0, "", object()):
        ps._LOCAL_BRAIN = value
        assert ps._get_vantor() is value
    assert len(engines.built) == 1


def test_failed_construction_leaves_the_slot_empty_for_a_retry(engines):
    engines.failures = 1
    with pytest.raises(OSError, match="model missing"):
        ps._get_vantor()
    assert ps._LOCAL_BRAIN is None
    engine = ps._get_vantor()
    assert engines.built == [engine] and ps._LOCAL_BRAIN is engine


def test_slot_and_constructor_are_looked_up_at_call_time(engines, monkeypatch):
    monkeypatch.delattr(ps, "_LOCAL_BRAIN")
    with pytest.raises(NameError, match="^name '_LOCAL_BRAIN' is not defined$"):
        ps._get_vantor()
    monkeypatch.setattr(ps, "_LOCAL_BRAIN", None, raising=False)
    monkeypatch.delattr(ps, "VantorEngine")
    with pytest.raises(NameError, match="^name 'VantorEngine' is not defined$"):
        ps._get_vantor()


def test_threads_arriving_together_share_one_engine(engines):
    engines.delay = 0.05
    barrier, results = threading.Barrier(8), []

    def first_call():
        barrier.wait()
        results.append(ps._get_vantor())

    threads = [threading.Thread(target=first_call) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert len(engines.built) == 1 and results == engines.built * 8


def test_engine_constructor_may_reenter_the_accessor(engines, monkeypatch):
    inner = []

    class Reentrant(engines):
        def __init__(self):
            super().__init__()
            if len(engines.built) == 1:
                inner.append(ps._get_vantor())

    monkeypatch.setattr(ps, "VantorEngine", Reentrant)
    done = []
    thread = threading.Thread(target=lambda: done.append(ps._get_vantor()))
    thread.start()
    thread.join(10)
    outer, nested = engines.built
    assert not thread.is_alive() and inner == [nested] and done == [outer] and ps._LOCAL_BRAIN is outer


def test_constructor_keeps_the_tools_and_builds_the_matcher(monkeypatch):
    assert type(ps.PromptsiftStage([len]).capability_matcher) is ps.CapabilityMatcher
    seen = []
    monkeypatch.setattr(ps, "CapabilityMatcher", lambda tools: seen.append(tools) or "matcher")
    tools = [len, print]
    stage = ps.PromptsiftStage(tools, model_id="x")
    assert vars(stage) == {"available_tools": tools, "capability_matcher": "matcher"}
    assert stage.available_tools is tools and seen == [tools]
    monkeypatch.setattr(ps, "CapabilityMatcher", lambda tools: {}[tools])
    with pytest.raises(KeyError):
        ps.PromptsiftStage("bad")
