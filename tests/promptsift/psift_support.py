"""Fakes and helpers shared by the stage's tests."""

import types

from nerov.packages.layers.layer1 import exceptions
from nerov.packages.layers.layer1.stages import promptsift as ps

PromptValidationError = exceptions.PromptValidationError
Layer1ProcessingError = exceptions.Layer1ProcessingError
NON_SEMANTIC = "Prompt is non-semantic, empty, or lacks meaningful content."

PASS_RESULT = {
    "is_safe": True,
    "injection_type": "none",
    "confidence": 0.97,
    "latency_ms": 4.5,
    "intent": "Information_Retrieval",
    "risk_level": "LOW",
    "tool_scope": "read_only",
    "content_class": "benign",
}
BLOCK_RESULT = dict(
    PASS_RESULT, is_safe=False, injection_type="instruction_override", confidence=0.9,
    risk_level="CRITICAL", tool_scope="none", content_class="adversarial",
)


class FakeEngine:
    def __init__(self, result):
        self.result = result
        self.prompts = []

    def predict(self, prompt):
        self.prompts.append(prompt)
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class FakeMatcher:
    def __init__(self, result):
        self.result = result
        self.calls = []

    def select_for_prompt(self, prompt, *, predicted_intent=None, predicted_scope=None):
        self.calls.append((prompt, predicted_intent, predicted_scope))
        return self.result


class Layer1:
    """A context's layer-1 state (a plain attribute holder)."""


def context(prompt="What is the weather in Lisbon?", metadata=None, state=None):
    return types.SimpleNamespace(
        request=types.SimpleNamespace(prompt=prompt),
        state={} if state is None else state,
        metadata={} if metadata is None else metadata,
        layer1=Layer1(),
    )


def run(coro):
    """Drives a coroutine that must finish in its first resumption."""
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the coroutine suspended")
