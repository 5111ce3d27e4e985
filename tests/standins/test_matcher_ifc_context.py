"""Capability matcher, taint tracking, the execution context and the stage base."""

from __future__ import annotations

import asyncio

import pytest

from nerov.packages.brain.capability_matcher import CapabilityMatcher
from nerov.packages.context import ExecutionContext
from nerov.packages.governance.ifc import IFCContext, TaintLevel
from nerov.packages.layers.layer1.base import Layer1Stage
from nerov.packages.layers.layer1.exceptions import (
    Layer1Error,
    Layer1ProcessingError,
    PromptValidationError,
)


def search_web() -> None: ...
def read_file() -> None: ...
def write_file() -> None: ...
def send_email() -> None: ...
def run_shell() -> None: ...


MATCHER = CapabilityMatcher([search_web, read_file, write_file, send_email, run_shell])
READS = ["search_web", "read_file"]


@pytest.mark.parametrize(
    ("intent", "scope", "expected"),
    [
        (None, "none", ([], "strict")),
        (None, "read_only", (READS, "scoped")),
        (None, None, (READS, "scoped")),
        (None, "read_write", ([*READS, "write_file", "send_email"], "open")),
        (None, "privileged", ([*READS, "write_file", "send_email", "run_shell"], "open")),
        ("communication", "read_write", (["send_email"], "open")),
        ("information_retrieval", "read_only", (READS, "scoped")),
        ("conversation", "privileged", ([], "strict")),
        ("system_administration", "read_only", ([], "strict")),  # intent never widens scope
    ],
)
def test_matcher_respects_scope_and_intent(
    intent: str | None, scope: str | None, expected: tuple[list[str], str]
) -> None:
    result = MATCHER.select_for_prompt("anything", predicted_intent=intent, predicted_scope=scope)
    assert type(result) is tuple and result == expected


def test_matcher_odd_tools_and_prompt_words() -> None:
    matcher = CapabilityMatcher(iter(["getWeather", 42, "get_stock_price", search_web, search_web]))
    assert matcher.tool_names == ["getWeather", "42", "get_stock_price", "search_web"]
    assert matcher.select_for_prompt(
        "Will the weather be nice?", predicted_intent="communication", predicted_scope="read_only"
    ) == (["getWeather"], "scoped")
    assert CapabilityMatcher(None).select_for_prompt("x", predicted_scope="privileged") == ([], "strict")


def test_ifc_tag_keeps_the_highest_level() -> None:
    ifc = IFCContext()
    assert ifc.taint_of("prompt") is None and ifc.highest is TaintLevel.TRUSTED
    ifc.tag("prompt", TaintLevel.UNTRUSTED)
    assert ifc.tag("prompt", TaintLevel.TRUSTED) is TaintLevel.UNTRUSTED
    ifc.tag("config", TaintLevel.INTERNAL)
    ifc.tag("config", TaintLevel.UNTRUSTED)
    assert dict(ifc.labels) == {"prompt": TaintLevel.UNTRUSTED, "config": TaintLevel.UNTRUSTED}
    with pytest.raises(TypeError):
        ifc.labels["x"] = TaintLevel.TRUSTED  # type: ignore[index]


def test_context_defaults_are_independent() -> None:
    a, b = ExecutionContext(), ExecutionContext()
    a.state["ifc"] = IFCContext()
    a.metadata["is_approved"] = True
    a.layer1.intent = "conversation"
    assert b.state == {} and b.metadata == {} and vars(b.layer1) == {}
    assert a.request is not b.request and a.request.request_id != b.request.request_id


def test_context_for_prompt_copies_metadata() -> None:
    meta = {"is_approved": True}
    ctx = ExecutionContext.for_prompt("hi", metadata=meta)
    assert ctx.request.prompt == "hi" and ctx.metadata.get("is_approved", False) is True
    ctx.metadata["extra"] = 1
    assert meta == {"is_approved": True}
    assert ExecutionContext.for_prompt(None).metadata.get("is_approved", False) is False


def test_stage_base_contract() -> None:
    class Incomplete(Layer1Stage):
        pass

    class Approver(Layer1Stage):
        def __init__(self, verdict: bool) -> None:  # does not call the base's
            self.verdict = verdict

        async def process(self, context: ExecutionContext) -> None:
            context.layer1.is_approved = self.verdict

    for abstract in (Layer1Stage, Incomplete):
        with pytest.raises(TypeError):
            abstract()  # type: ignore[abstract]
    ctx = ExecutionContext.for_prompt("hi")
    asyncio.run(Approver(True).process(ctx))
    assert vars(ctx.layer1) == {"is_approved": True}


@pytest.mark.parametrize("cls", [Layer1ProcessingError, PromptValidationError])
def test_errors_carry_their_message(cls: type[Layer1Error]) -> None:
    with pytest.raises(cls) as caught:
        raise cls("prompt rejected: bad")
    assert str(caught.value) == "prompt rejected: bad" and isinstance(caught.value, Layer1Error)
