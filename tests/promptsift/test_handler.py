"""Failures: what passes through, what is wrapped, what is logged, what stays
written, and arbitrary objects in every place the stage reads from."""

import asyncio
import gc
import sys
import traceback
import types
import weakref

import pytest
from hypothesis import given, settings, strategies as st
from psift_support import (
    BLOCK_RESULT, PASS_RESULT, FakeEngine, FakeMatcher, Layer1ProcessingError, PromptValidationError, context, ps, run,
)


def fail(stage, ctx):
    with pytest.raises(BaseException) as err:
        run(stage.process(ctx))
    return err.value


class Refusal(PromptValidationError):
    pass


@pytest.mark.parametrize("exc", [PromptValidationError("no"), Refusal("sub"), KeyboardInterrupt(), SystemExit(3),
                                 asyncio.CancelledError(), GeneratorExit()])
def test_refusals_and_interruptions_pass_through_unchanged(stage, engine, logs, exc):
    engine.result = exc
    ctx = context()
    assert fail(stage, ctx) is exc
    assert exc.__context__ is None and logs() == [] and vars(ctx.layer1) == {}


@pytest.mark.parametrize("exc, text", [
    (RuntimeError("engine down"), "engine down"), (Layer1ProcessingError("inner"), "inner"),
    (KeyError("k"), "'k'"), (ValueError(), ""),
])
def test_other_exceptions_are_logged_and_wrapped(stage, engine, logs, exc, text):
    engine.result = exc
    err = fail(stage, context())
    assert type(err) is Layer1ProcessingError and err.args == (f"Failed to analyze request: {text}",)
    assert (err.__context__, err.__cause__, err.__suppress_context__) == (exc, None, False)
    assert logs() == [("ERROR", f"Error during Vantor Request Analysis: {text}")]


def test_failure_inside_the_handler_leaves_instead(stage, engine, monkeypatch):
    engine.result = RuntimeError("boom")

    def broken(message):
        raise OSError(message)

    monkeypatch.setattr(ps, "logger", types.SimpleNamespace(error=broken))
    err = fail(stage, context())
    assert type(err) is OSError and err.args == ("Error during Vantor Request Analysis: boom",)
    assert err.__context__ is engine.result


def test_exception_the_caller_is_handling_stays_handled(stage, engine):
    engine.result = RuntimeError("boom")
    outer = KeyError("outer")
    try:
        raise outer
    except KeyError:
        err = fail(stage, context())
        assert sys.exception() is outer
    assert err.__context__ is engine.result and engine.result.__context__ is outer


@types.coroutine
def _pause():
    yield


def test_awaiting_coroutine_keeps_its_own_handled_exception_state(stage, engine):
    """Awaited by a coroutine that handles nothing while its driver handles an
    exception, then resumed elsewhere, the coroutine must see nothing handled:
    as after awaiting a failing coroutine written in Python."""
    engine.result = RuntimeError("boom")

    async def python_failure():
        try:
            raise RuntimeError("boom")
        except Exception as e:
            raise Layer1ProcessingError(f"Failed to analyze request: {e}")

    async def awaiting(awaitable):
        try:
            await awaitable
        except Layer1ProcessingError:
            pass
        await _pause()
        return sys.exception()

    seen = []
    for awaitable in (python_failure(), stage.process(context())):
        coro = awaiting(awaitable)
        try:
            raise KeyError("driver")
        except KeyError:
            coro.send(None)
        with pytest.raises(StopIteration) as stop:
            coro.send(None)
        seen.append(stop.value.value)
    assert seen == [None, None]


WRITTEN = ["is_approved", "validation_result", "intent", "task_category", "capabilities", "confidence_score",
           "allowed_tools", "risk_level"]


@pytest.mark.parametrize("result, written, tail", [
    ({k: v for k, v in PASS_RESULT.items() if k != "latency_ms"}, 1, "'latency_ms'"),
    ({k: v for k, v in PASS_RESULT.items() if k != "risk_level"}, 7, "'risk_level'"),
    (dict(PASS_RESULT, intent=7), 4, "'int' object has no attribute 'lower'"),
    (dict(BLOCK_RESULT, confidence="0.9"), 8, "unsupported operand type(s) for -: 'float' and 'str'"),
    (None, 0, "'NoneType' object has no attribute 'get'"),
])
def test_what_stays_written_after_a_failure(stage, engine, logs, result, written, tail):
    engine.result = result
    ctx = context()
    err = fail(stage, ctx)
    assert type(err) is Layer1ProcessingError and str(err) == f"Failed to analyze request: {tail}"
    assert list(vars(ctx.layer1)) == WRITTEN[:written]
    assert logs() == [("ERROR", f"Error during Vantor Request Analysis: {tail}")]


@pytest.mark.parametrize("selected, outcome", [
    ((1, 2, 3), "too many values to unpack (expected 2)"),
    ([1], "not enough values to unpack (expected 2, got 1)"),
    ((), "not enough values to unpack (expected 2, got 0)"),
    (None, "cannot unpack non-iterable NoneType object"),
    (iter("abc"), "too many values to unpack (expected 2)"),
    ({"only": 1}, "not enough values to unpack (expected 2, got 1)"),
    ("ab", ("a", "b")), ((t for t in [[1], None]), ([1], None)), ({"x": 1, "y": 2}, ("x", "y")),
])
def test_matcher_result_is_unpacked_into_two_items(stage, engine, matcher, selected, outcome):
    matcher.result = selected
    ctx = context()
    if isinstance(outcome, tuple):
        run(stage.process(ctx))
        assert (ctx.layer1.allowed_tools, ctx.layer1.validation_result["binding_tier"]) == outcome
    else:
        assert str(fail(stage, ctx)) == f"Failed to analyze request: {outcome}"
        assert (ctx.state, vars(ctx.layer1)) == ({}, {})


class Falsy:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class Unformattable:
    def __format__(self, format_spec):
        raise ValueError("no text")


class Stripped(str):
    def strip(self):
        return "overridden"


@pytest.mark.parametrize("make, outcome", [
    (lambda: context(42), "'int' object has no attribute 'strip'"),
    (lambda: context(b" hello "), "'int' object has no attribute 'isalnum'"),
    (lambda: context(Falsy()), "no truth"),
    (lambda: context(Stripped("??")), None),
    (lambda: object(), "'object' object has no attribute 'request'"),
    (lambda: context(metadata=["is_approved"]), "'list' object has no attribute 'get'"),
    (lambda: types.SimpleNamespace(request=context().request, state={}, metadata={}),
     "'types.SimpleNamespace' object has no attribute 'layer1'"),
])
def test_contexts_and_prompts_of_other_shapes(stage, engine, make, outcome):
    if outcome is None:
        run(stage.process(make()))
        assert engine.prompts == ["overridden"]
    else:
        assert str(fail(stage, make())) == f"Failed to analyze request: {outcome}"


def test_failed_ifc_import_is_a_processing_error(stage, engine, monkeypatch):
    """The import's own error, worded by the interpreter, with no frame of the stage's making."""
    monkeypatch.setitem(sys.modules, "nerov.packages.governance.ifc", None)
    err = fail(stage, context())
    assert type(err) is Layer1ProcessingError and type(err.__context__) is ModuleNotFoundError
    assert str(err.__context__) == "import of nerov.packages.governance.ifc halted; None in sys.modules"
    assert err.__context__.__traceback__ is None or "<import>" not in str(traceback.extract_tb(err.__context__.__traceback__))
    monkeypatch.setitem(sys.modules, "nerov.packages.governance.ifc", types.ModuleType("nerov.packages.governance.ifc"))
    err = fail(stage, context())
    assert str(err.__context__).startswith("cannot import name 'IFCContext' from 'nerov.packages.governance.ifc'")


anything = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=8), st.binary(max_size=8),
    st.lists(st.text(max_size=3), max_size=3), st.tuples(st.integers(), st.text(max_size=3)),
    st.dictionaries(st.sampled_from(sorted(PASS_RESULT)),
                    st.one_of(st.none(), st.booleans(), st.text(max_size=3), st.floats(), st.integers())),
)


@settings(max_examples=150, deadline=None)
@given(prompt=st.one_of(anything, st.just("hello there")), metadata=st.one_of(anything, st.just({})),
       result=st.one_of(anything, st.just(PASS_RESULT), st.just(BLOCK_RESULT)),
       selected=st.one_of(anything, st.just((["t"], "x"))))
def test_any_objects_end_in_a_stated_outcome(prompt, metadata, result, selected):
    stage = ps.PromptsiftStage([])
    stage.capability_matcher = FakeMatcher(selected)
    saved, ps._LOCAL_BRAIN = ps._LOCAL_BRAIN, FakeEngine(result)
    ctx = types.SimpleNamespace(request=types.SimpleNamespace(prompt=prompt), state={}, metadata=metadata,
                                layer1=types.SimpleNamespace())
    try:
        assert run(stage.process(ctx)) is None
    except PromptValidationError:
        pass
    except Layer1ProcessingError as err:
        assert str(err).startswith("Failed to analyze request: ") and isinstance(err.__context__, Exception)
    finally:
        ps._LOCAL_BRAIN = saved


class Result(dict):
    """A dict whose references can be counted."""


@pytest.mark.parametrize("case", ["pass", "block", "approved", "non-semantic", "missing-key", "bad-matcher", "bad-tier"])
def test_no_reference_is_leaked_on_any_path(stage, case):
    result = Result(BLOCK_RESULT if case in ("block", "approved") else PASS_RESULT)
    tools, tier = ["a", "b"], "".join(["ti", "er"])
    values = [result, tools, tier, *result.values()]
    if case == "missing-key":
        del result["latency_ms"]
    selected = {"bad-matcher": (tools, tier, 3), "bad-tier": (tools, Unformattable())}.get(case, (tools, tier))
    stage.capability_matcher = types.SimpleNamespace(select_for_prompt=lambda *a, **k: selected)
    prompt = "!!" if case == "non-semantic" else "hello there"
    saved, ps._LOCAL_BRAIN = ps._LOCAL_BRAIN, types.SimpleNamespace(predict=lambda p: result)

    def once():
        ctx = context(prompt, metadata={"is_approved": case == "approved"})
        try:
            run(stage.process(ctx))
        except (PromptValidationError, Layer1ProcessingError):
            pass
        return weakref.ref(ctx.layer1)

    try:
        once()
        gc.collect()
        before = [sys.getrefcount(v) for v in values]
        refs = [once() for _ in range(50)]
        gc.collect()
        assert [sys.getrefcount(v) for v in values] == before and all(r() is None for r in refs)
    finally:
        ps._LOCAL_BRAIN = saved
