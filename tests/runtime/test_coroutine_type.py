"""The coroutine that `PromptsiftStage.process` returns behaves as an `async def`
coroutine does: under asyncio, when misused, and when dropped unawaited."""

import asyncio
import gc
import inspect
import types
import warnings

import pytest

from nerov.packages.layers.layer1.stages import promptsift

SAFE = {
    "is_safe": True, "injection_type": "none", "confidence": 0.9, "latency_ms": 1.0,
    "intent": "conversation", "risk_level": "LOW", "tool_scope": "none", "content_class": "benign",
}


class Engine:
    def predict(self, prompt):
        return dict(SAFE)


class Matcher:
    def select_for_prompt(self, prompt, *, predicted_intent, predicted_scope):
        return [], "strict"


def context(prompt="hello there"):
    return types.SimpleNamespace(
        request=types.SimpleNamespace(prompt=prompt), state={"ifc": types.SimpleNamespace(tag=lambda *a: None)},
        metadata={}, layer1=types.SimpleNamespace(),
    )


@pytest.fixture
def stage(monkeypatch):
    monkeypatch.setattr(promptsift, "_LOCAL_BRAIN", Engine())
    s = object.__new__(promptsift.PromptsiftStage)
    s.capability_matcher = Matcher()
    return s


def test_coroutine_identity(stage):
    coro = stage.process(context())
    try:
        assert asyncio.iscoroutine(coro)
        assert coro.__name__ == "process" and coro.__qualname__ == "PromptsiftStage.process"
        assert type(coro).__name__ == "coroutine"
        assert repr(coro) == f"<coroutine object PromptsiftStage.process at {id(coro):#x}>"
        assert coro.cr_running is False and coro.cr_await is None
        with pytest.raises(TypeError, match="not iterable"):
            iter(coro)
    finally:
        coro.close()


def test_runs_under_asyncio_in_every_usual_way(stage):
    async def main():
        assert await stage.process(context()) is None
        assert await asyncio.create_task(stage.process(context())) is None
        assert await asyncio.gather(stage.process(context()), stage.process(context())) == [None, None]
        assert await asyncio.wait_for(stage.process(context()), 5) is None
        return "done"

    assert asyncio.run(main()) == "done"
    assert asyncio.run(stage.process(context())) is None


def test_raises_through_await(stage):
    async def main():
        with pytest.raises(promptsift.PromptValidationError):
            await stage.process(context(""))

    asyncio.run(main())


def test_send_runs_everything_at_the_first_resumption(stage):
    ctx = context()
    coro = stage.process(ctx)
    assert vars(ctx.layer1) == {}
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    assert stop.value.value is None
    assert ctx.layer1.execution_recommendation == "execute_normally"


@pytest.mark.parametrize("drive", [
    lambda c: c.send(None),
    lambda c: c.__await__().__next__(),
    lambda c: c.__await__().send(None),
])
def test_reuse_after_completion_is_refused(stage, drive):
    coro = stage.process(context())
    with pytest.raises(StopIteration):
        coro.send(None)
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        drive(coro)
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        coro.throw(ValueError("late"))
    assert coro.close() is None


def test_second_await_is_refused(stage):
    async def main():
        coro = stage.process(context())
        await coro
        await coro

    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        asyncio.run(main())


def test_send_of_a_value_to_a_fresh_coroutine_is_refused(stage):
    coro = stage.process(context())
    with pytest.raises(TypeError, match="^can't send non-None value to a just-started coroutine$"):
        coro.send(1)
    coro.close()


def test_throw_into_a_fresh_coroutine_ends_it_without_running(stage):
    ctx = context()
    coro = stage.process(ctx)
    err = KeyError("thrown")
    with pytest.raises(KeyError) as got:
        coro.throw(err)
    assert got.value is err
    assert vars(ctx.layer1) == {}
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


def test_throw_argument_forms_and_errors(stage):
    coro = stage.process(context())
    with pytest.raises(TypeError, match="exceptions must be classes or instances deriving from BaseException, not int"):
        coro.throw(1)
    with pytest.raises(TypeError, match="instance exception may not have a separate value"):
        with pytest.warns(DeprecationWarning, match=r"the \(type, exc, tb\) signature of throw\(\) is deprecated"):
            coro.throw(ValueError("x"), 1)
    with pytest.raises(TypeError, match="throw\\(\\) third argument must be a traceback object"):
        with pytest.warns(DeprecationWarning):
            coro.throw(ValueError, None, 3)
    with pytest.raises(ValueError) as got:
        with pytest.warns(DeprecationWarning):
            coro.throw(ValueError, "built")
    assert got.value.args == ("built",)


def test_close_of_a_fresh_coroutine_prevents_it_from_running_and_warning(stage, recwarn):
    ctx = context()
    coro = stage.process(ctx)
    assert coro.close() is None
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)
    del coro
    gc.collect()
    assert not [w for w in recwarn if issubclass(w.category, RuntimeWarning)]
    assert vars(ctx.layer1) == {}


def test_dropped_without_await_warns_like_the_interpreter(stage):
    async def process(context):
        pass

    process.__qualname__ = "PromptsiftStage.process"
    seen = []
    for make in (stage.process, process):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            make(context())
            gc.collect()
        seen.append([(w.category, str(w.message), w.filename, type(w.source).__name__) for w in caught])
    assert seen[0] == seen[1] == [(RuntimeWarning, "coroutine 'PromptsiftStage.process' was never awaited",
                                   __file__, "coroutine")]


def test_resurrected_by_the_warning_it_stays_closed(stage):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        stage.process(context())
        gc.collect()
    coro = caught[0].source
    assert coro.__qualname__ == "PromptsiftStage.process"
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


def test_reentrant_resumption_is_refused(stage, monkeypatch):
    seen = []

    class Reentrant:
        def predict(self, prompt):
            with pytest.raises(ValueError, match="^coroutine already executing$") as e:
                holder[0].send(None)
            seen.append(e.value)
            with pytest.raises(ValueError, match="^coroutine already executing$"):
                holder[0].close()
            assert holder[0].cr_running is True
            return dict(SAFE)

    monkeypatch.setattr(promptsift, "_LOCAL_BRAIN", Reentrant())
    holder = [stage.process(context())]
    with pytest.raises(StopIteration):
        holder[0].send(None)
    assert len(seen) == 1


def test_stop_iteration_from_a_collaborator_does_not_end_the_coroutine_silently(stage, monkeypatch):
    class Stopping:
        def predict(self, prompt):
            raise StopIteration("engine")

    monkeypatch.setattr(promptsift, "_LOCAL_BRAIN", Stopping())
    with pytest.raises(promptsift.Layer1ProcessingError) as got:
        asyncio.run(stage.process(context()))
    assert isinstance(got.value.__context__, StopIteration)
