"""One analysis: the non-semantic test, the verdict written on the context, the
messages, and the order in which the context and the collaborators are used."""

import asyncio
import collections
import gc
import logging
import math
import sys
import types

import pytest
from hypothesis import given, settings, strategies as st
from psift_support import BLOCK_RESULT, NON_SEMANTIC, PASS_RESULT, FakeEngine, PromptValidationError, context, ps, run

from nerov.packages.governance.ifc import IFCContext, TaintLevel

TOOLS, TIER = ["search", "calendar"], "scoped"
ANALYSIS = ("Layer 1 Vantor Analysis: Safe=True, Intent=Information_Retrieval, Risk={}, Scope={}, "
            "BindingTier=scoped, Allowed Tools=['search', 'calendar'], Latency=4.5ms")


def expected_layer1(r, approved=False):
    safe = r["is_safe"]
    return {
        "is_approved": approved,
        "validation_result": {
            "is_safe": True if approved else safe,
            "reason": "Explicitly authorized action" if approved
            else f"Vantor Security Engine: {r['injection_type']} (Confidence: {r['confidence']})",
            "risk_flags": [] if safe or approved else [r["injection_type"]],
            "confidence": r["confidence"], "latency_ms": r["latency_ms"], "binding_tier": TIER,
        },
        "intent": r["intent"], "task_category": "action_execution", "capabilities": [r["intent"].lower()],
        "confidence_score": r["confidence"], "allowed_tools": TOOLS, "risk_level": r["risk_level"],
        "risk_score": 0.1 if safe else 1.0 - r["confidence"], "vantor_result": r,
        "tool_scope": r.get("tool_scope"), "content_class": r.get("content_class"),
        "execution_recommendation": "execute_normally" if approved else "block" if not safe
        else "require_human_approval" if r["risk_level"] in ("HIGH", "CRITICAL") else "execute_normally",
    }


def assert_layer1(ctx, expected):
    written = vars(ctx.layer1)
    assert list(written) == list(expected) and written == expected
    assert written["vantor_result"] is expected["vantor_result"]


def test_safe_request_passes_and_writes_the_verdict(stage, engine, matcher, logs):
    ctx = context("  What is the weather in Lisbon?\n")
    assert run(stage.process(ctx)) is None
    assert engine.prompts == ["What is the weather in Lisbon?"]
    assert matcher.calls == [("What is the weather in Lisbon?", "Information_Retrieval", "read_only")]
    assert_layer1(ctx, expected_layer1(engine.result))
    assert ctx.layer1.allowed_tools is matcher.result[0]
    assert isinstance(ctx.state["ifc"], IFCContext) and ctx.state["ifc"].labels == {"user_prompt": TaintLevel.UNTRUSTED}
    assert logs() == [("DEBUG", ANALYSIS.format("LOW", "read_only"))]


@pytest.mark.parametrize("prompt", [None, "", "   ", " a ", "7", "\t\n", "!!", " ?! ", "..."])
def test_meaningless_prompt_is_refused_before_anything_else(stage, monkeypatch, logs, prompt):
    monkeypatch.setattr(ps, "_LOCAL_BRAIN", None)
    monkeypatch.setattr(ps, "VantorEngine", lambda: pytest.fail("engine created"))
    ctx = context(prompt)
    with pytest.raises(PromptValidationError) as err:
        run(stage.process(ctx))
    assert type(err.value) is PromptValidationError and err.value.args == (NON_SEMANTIC,)
    assert (ctx.state, vars(ctx.layer1), logs(), ps._LOCAL_BRAIN) == ({}, {}, [], None)


@pytest.mark.parametrize("prompt, cleaned", [
    ("ab", "ab"), ("a!", "a!"), ("?x", "?x"), (" \u00e9\u00e8 ", "\u00e9\u00e8"), ("\u0663\u0664", "\u0663\u0664"),
    ("\u3000\u4e2d\u6587\x1f", "\u4e2d\u6587"), ("!!!!!!!!!!9", "!!!!!!!!!!9"),
])
def test_prompt_with_alphanumeric_content_passes(stage, engine, prompt, cleaned):
    run(stage.process(context(prompt)))
    assert engine.prompts == [cleaned]


@pytest.mark.parametrize("changes, recommendation", [
    ({"risk_level": "CRITICAL"}, "require_human_approval"), ({"risk_level": "HIGH"}, "require_human_approval"),
    ({"risk_level": "high"}, "execute_normally"), ({"risk_level": 3}, "execute_normally"),
    ({"is_safe": 1, "confidence": 0.2}, "execute_normally"),
])
def test_recommendation_for_safe_requests(stage, engine, changes, recommendation):
    engine.result.update(changes)
    ctx = context()
    run(stage.process(ctx))
    assert_layer1(ctx, expected_layer1(engine.result))
    assert (ctx.layer1.execution_recommendation, ctx.layer1.risk_score) == (recommendation, 0.1)


def test_unsafe_request_is_blocked_after_writing_everything(stage, engine, logs):
    engine.result = dict(BLOCK_RESULT)
    ctx = context()
    with pytest.raises(PromptValidationError) as err:
        run(stage.process(ctx))
    assert err.value.args == ("Adversarial prompt detected (instruction_override). Request blocked by Nerov Vantor.",)
    assert_layer1(ctx, expected_layer1(engine.result))
    assert (ctx.layer1.execution_recommendation, ctx.layer1.risk_score) == ("block", 0.09999999999999998)
    assert logs() == [("WARNING", "Nerov Vantor Blocked Adversarial Request! Category: instruction_override"
                                  " | Risk: CRITICAL | Latency: 4.5ms")]


@pytest.mark.parametrize("flag, approved", [(True, True), (1, True), ("no", True), ([0], True), (0.5, True),
                                            (False, False), (0, False), ("", False), (None, False), ([], False)])
def test_approval_is_the_truth_of_the_metadata_flag(stage, engine, logs, flag, approved):
    engine.result = dict(BLOCK_RESULT)
    ctx = context(metadata={"is_approved": flag})
    if approved:
        assert run(stage.process(ctx)) is None
        assert_layer1(ctx, expected_layer1(engine.result, approved=True))
        assert logs() == [("DEBUG", ANALYSIS.format("CRITICAL", "none"))]
    else:
        with pytest.raises(PromptValidationError):
            run(stage.process(ctx))
        assert ctx.layer1.is_approved is False


@pytest.mark.parametrize("confidence, score", [(0.9, 0.09999999999999998), (1, 0.0), (1.2, 1.0 - 1.2), (0, 1.0)])
def test_risk_score_of_unsafe_verdict(stage, engine, confidence, score):
    engine.result = dict(BLOCK_RESULT, confidence=confidence)
    ctx = context(metadata={"is_approved": True})
    run(stage.process(ctx))
    assert type(ctx.layer1.risk_score) is float and ctx.layer1.risk_score == score


def test_absent_optional_keys_read_as_none(stage, engine, matcher, logs):
    del engine.result["tool_scope"], engine.result["content_class"]
    ctx = context()
    run(stage.process(ctx))
    assert matcher.calls[0][2] is None and (ctx.layer1.tool_scope, ctx.layer1.content_class) == (None, None)
    assert logs() == [("DEBUG", ANALYSIS.format("LOW", "None"))]


def test_ifc_context_is_created_once_and_tagged_per_analysis(stage, engine):
    ctx = context()
    run(stage.process(ctx))
    first = ctx.state["ifc"]
    run(stage.process(ctx))
    assert ctx.state["ifc"] is first
    calls = []
    ctx = context(state={"ifc": types.SimpleNamespace(tag=lambda *args: calls.append(args))})
    run(stage.process(ctx))
    run(stage.process(ctx))
    assert calls == [("user_prompt", TaintLevel.UNTRUSTED)] * 2


@settings(max_examples=60, deadline=None)
@given(injection=st.one_of(st.text(), st.none(), st.integers(), st.lists(st.text(max_size=4), max_size=3)),
       latency=st.one_of(st.floats(), st.integers(-10**20, 10**20)), intent=st.text(max_size=12),
       level=st.text(max_size=8), tools=st.one_of(st.lists(st.text(max_size=6), max_size=4), st.tuples(st.text())),
       tier=st.one_of(st.text(), st.floats(), st.none()))
def test_messages_render_values_as_format_does(injection, latency, intent, level, tools, tier):
    result = dict(BLOCK_RESULT, injection_type=injection, latency_ms=latency, intent=intent, risk_level=level,
                  tool_scope=tools)
    stage = ps.PromptsiftStage([])
    stage.capability_matcher = types.SimpleNamespace(select_for_prompt=lambda *a, **k: (tools, tier))
    records = []
    saved = ps._LOCAL_BRAIN, ps.logger
    ps._LOCAL_BRAIN, ps.logger = FakeEngine(result), types.SimpleNamespace(debug=records.append, warning=records.append)
    try:
        ctx = context()
        with pytest.raises(PromptValidationError) as err:
            run(stage.process(ctx))
        ctx.metadata["is_approved"] = True
        run(stage.process(ctx))
    finally:
        ps._LOCAL_BRAIN, ps.logger = saved
    assert records == [
        f"Nerov Vantor Blocked Adversarial Request! Category: {injection} | Risk: {level} | Latency: {latency}ms",
        f"Layer 1 Vantor Analysis: Safe=True, Intent={intent}, Risk={level}, Scope={tools}, BindingTier={tier}, "
        f"Allowed Tools={tools}, Latency={latency}ms",
    ]
    assert str(err.value) == f"Adversarial prompt detected ({injection}). Request blocked by Nerov Vantor."
    assert ctx.layer1.capabilities == [intent.lower()]


@pytest.mark.parametrize("value", [0.0, -0.0, 1e16, 1e17, 1e-4, 1e-5, 5e-324, math.inf, -math.inf, math.nan,
                                   ["it's", 'a "q"', "\\", "\n", "\u00e9", "\U0001f600", "\x7f"], [], True, None])
def test_latency_renders_exactly(stage, engine, logs, value):
    engine.result["latency_ms"] = value
    run(stage.process(context()))
    assert logs()[0][1].endswith(f", Latency={value}ms")


def recorder(result, approved):
    """A context and collaborators that log each use, in order."""
    events = []
    log = events.append

    class Result(collections.UserDict):
        def __getitem__(self, key):
            log(f"r[{key}]")
            return result[key]

        def get(self, key, default=None):
            log(f"r.get({key})")
            return result.get(key, default)

    class Methods:
        """Logs each method lookup (a call's target is found before its arguments)."""

        def __init__(self, **methods):
            object.__setattr__(self, "methods", methods)

        def __getattribute__(self, name):
            log(f".{name}")
            return object.__getattribute__(self, "methods")[name]

    class State(dict):
        def __contains__(self, key):
            log(f"{key}-in-state")
            return False

        def __getitem__(self, key):
            log(f"state[{key}]")
            return Methods(tag=lambda *args: log("tag"))

        def __setitem__(self, key, value):
            log(f"state[{key}]=")

    class Layer1:
        def __setattr__(self, name, value):
            log(f"{name}=")

    parts = {"request": types.SimpleNamespace(prompt="hello there"), "state": State(), "layer1": Layer1(),
             "metadata": types.SimpleNamespace(get=lambda key, default: log(f"metadata.get({key},{default})") or approved)}

    class Context:
        def __getattribute__(self, name):
            log(f"ctx.{name}")
            return parts[name]

    engine = types.SimpleNamespace(predict=lambda prompt: log("predict") or Result())
    matcher = Methods(select_for_prompt=lambda *a, **k: log("select") or (["t"], "x"))
    logger = Methods(debug=lambda m: log("debug"), warning=lambda m: log("warning"))
    return Context(), engine, matcher, logger, events


HEAD = ("ctx.request predict .select_for_prompt r.get(intent) r.get(tool_scope) select ctx.state ifc-in-state "
        "ctx.state state[ifc]= ctx.state state[ifc] .tag tag ctx.metadata metadata.get(is_approved,False) ctx.layer1 is_approved=")
ASSIGN = ("{vr} ctx.layer1 validation_result= r[intent] ctx.layer1 intent= ctx.layer1 task_category= "
          "r[intent] ctx.layer1 capabilities= r[confidence] ctx.layer1 confidence_score= ctx.layer1 allowed_tools= "
          "r[risk_level] ctx.layer1 risk_level= r[is_safe] {score} ctx.layer1 risk_score= ctx.layer1 vantor_result= "
          "r.get(tool_scope) ctx.layer1 tool_scope= r.get(content_class) ctx.layer1 content_class= {advice} "
          "ctx.layer1 execution_recommendation=")
VR = "r[is_safe] r[injection_type] r[confidence] r[is_safe] {} r[confidence] r[latency_ms]"
TAIL_PASS = "r[is_safe] .debug r[intent] r[risk_level] r.get(tool_scope) r[latency_ms] debug"


@pytest.mark.parametrize("result, approved, events", [
    (PASS_RESULT, False, [VR.format(""), "", "r[is_safe] r[risk_level] r[risk_level]", TAIL_PASS]),
    (BLOCK_RESULT, False, [VR.format("r[injection_type]"), "r[confidence]", "r[is_safe]",
                           "r[is_safe] .warning r[injection_type] r[risk_level] r[latency_ms] warning r[injection_type]"]),
    (BLOCK_RESULT, True, ["r[is_safe] r[confidence] r[latency_ms]", "r[confidence]", "", TAIL_PASS]),
])
def test_order_of_reads_calls_and_assignments(monkeypatch, result, approved, events):
    ctx, engine, matcher, logger, log = recorder(result, approved)
    monkeypatch.setattr(ps, "_LOCAL_BRAIN", engine)
    monkeypatch.setattr(ps, "logger", logger)
    stage = ps.PromptsiftStage([])
    stage.capability_matcher = matcher
    coro = stage.process(ctx)
    assert log == []
    try:
        run(coro)
    except PromptValidationError:
        assert not result["is_safe"] and not approved
    vr, score, advice, tail = events
    assert log == " ".join([HEAD, ASSIGN.format(vr=vr, score=score, advice=advice), tail]).split()


def test_collaborator_methods_are_found_as_attribute_lookup_finds_them(stage, engine, monkeypatch):
    """A method on the class is called with the instance, an instance attribute of the same name
    shadows it and is called as it is, and a missing one fails as attribute lookup fails."""
    calls = []

    class Matcher:
        def select_for_prompt(self, prompt, **kwargs):
            calls.append(("class select", self is matcher))
            return ["t"], "x"

    class Logger:
        def debug(self, line):
            calls.append(("class debug", self is logger))

        def error(self, line):
            calls.append(line)

    matcher, logger = Matcher(), Logger()
    stage.capability_matcher = matcher
    monkeypatch.setattr(ps, "logger", logger)
    run(stage.process(context()))
    matcher.select_for_prompt = lambda *args, **kwargs: calls.append("own select") or (["t"], "x")
    logger.debug = lambda line: calls.append("own debug")
    run(stage.process(context()))
    assert calls == [("class select", True), ("class debug", True), "own select", "own debug"]

    stage.capability_matcher = lacking = types.SimpleNamespace()
    with pytest.raises(ps.Layer1ProcessingError) as err:
        run(stage.process(context()))
    missing = err.value.__context__
    assert type(missing) is AttributeError and (missing.name, missing.obj) == ("select_for_prompt", lacking)
    assert str(err.value) == "Failed to analyze request: 'types.SimpleNamespace' object has no attribute 'select_for_prompt'"
    assert calls[-1] == "Error during Vantor Request Analysis: " + str(missing)


def test_debug_line_is_logged_as_logging_logs_it(stage, engine, caplog, monkeypatch):
    """The logger is asked isEnabledFor(DEBUG) (its `disabled` flag read by that method, then again
    by Logger.debug and handle() when the line is logged), and a replaced Logger.debug or
    isEnabledFor is called as the line's own logger.debug(...) would call it, whatever the level."""
    def analysis_records():
        return [r for r in caplog.records if r.name == ps.logger.name]

    asked = []
    with monkeypatch.context() as patch:
        patch.setattr(ps.logger, "isEnabledFor", lambda level: asked.append(level) or False, raising=False)
        caplog.clear()
        run(stage.process(context()))
    assert (asked, analysis_records()) == ([logging.DEBUG], [])

    class Listening(logging.Logger):
        pass

    heard, reads = [], []
    listening = Listening("listening", logging.DEBUG)
    listening.addHandler(logging.Handler())
    listening.handlers[0].emit = heard.append
    with monkeypatch.context() as patch:
        patch.setattr(ps, "logger", listening)
        run(stage.process(context()))
        listening.disabled = True
        run(stage.process(context()))
        listening.disabled = False
        Listening.disabled = property(lambda self: reads.append(self) or False)
        run(stage.process(context()))
    assert (len(heard), reads) == (2, [listening] * 3)

    caplog.set_level(logging.INFO, logger=ps.logger.name)
    lines = []
    monkeypatch.setattr(logging.Logger, "debug", lambda self, msg, *args, **kwargs: lines.append(msg))
    run(stage.process(context()))
    assert lines == [ANALYSIS.format("LOW", "read_only")]


@pytest.mark.parametrize("level, debug_calls, enabled_calls", [(logging.DEBUG, 3, 6), (logging.INFO, 0, 3)])
def test_profiler_sees_logger_debug_whenever_the_line_is_logged(stage, engine, caplog, level, debug_calls,
                                                               enabled_calls):
    """cProfile (through sys.monitoring) sees Logger.debug called once per logged line, as for
    plain Python; the stage asks isEnabledFor itself, so a dropped line shows that call alone."""
    import cProfile

    caplog.set_level(level, logger=ps.logger.name)
    profile = cProfile.Profile()
    profile.enable()
    try:
        for _ in range(3):
            run(stage.process(context()))
    finally:
        profile.disable()
    calls = {entry.code: entry.callcount for entry in profile.getstats()}
    counted = [calls.get(method.__code__, 0) for method in (logging.Logger.debug, logging.Logger.isEnabledFor)]
    assert counted == [debug_calls, enabled_calls]
    assert len([r for r in caplog.records if r.name == ps.logger.name]) == debug_calls


def test_coroutine_behaves_as_a_coroutine(stage, engine):
    coro = stage.process(context())
    assert (type(coro).__name__, coro.__name__, coro.__qualname__) == ("coroutine", "process", "PromptsiftStage.process")
    assert asyncio.iscoroutine(coro) and asyncio.run(coro) is None

    async def reuse():
        await coro

    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        asyncio.run(reuse())

    async def many():
        task = asyncio.create_task(stage.process(context()))
        return await asyncio.gather(task, stage.process(context()), stage.process(context("?")), return_exceptions=True)

    first, second, third = asyncio.run(many())
    assert (first, second, type(third)) == (None, None, PromptValidationError)
    with pytest.warns(RuntimeWarning, match="^coroutine 'PromptsiftStage.process' was never awaited$"):
        stage.process(context())
        gc.collect()


class PythonStage:
    def __init__(self, available_tools, model_id="vantor-int8"):
        pass

    async def process(self, context):
        pass


@pytest.mark.parametrize("call", [
    lambda s: s.process(), lambda s: s.process(1, 2), lambda s: s.process(1, context=1),
    lambda s: s.process(contxt=1), lambda s: type(s).process(), lambda s: s.process(ctx=1, context=2),
    lambda s: type(s)(), lambda s: type(s)([], "m", 3), lambda s: type(s)(tools=[]), lambda s: type(s)([], model=1),
])
def test_argument_errors_are_worded_as_for_python_functions(stage, call):
    with pytest.raises(TypeError) as expected:
        call(PythonStage([]))
    with pytest.raises(TypeError) as err:
        call(stage)
    assert str(err.value) == str(expected.value).replace("PythonStage", "PromptsiftStage")
