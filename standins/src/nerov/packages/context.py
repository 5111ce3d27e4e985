"""Small stand-in for the kit's ``context`` module, kept apart from the deliverables."""

from __future__ import annotations

import uuid
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Any


@dataclass
class Request:
    """The incoming request as the stages see it."""

    prompt: str | None = None
    user_id: str | None = None
    request_id: str = field(default_factory=lambda: uuid.uuid4().hex)


class Layer1State(SimpleNamespace):
    """Free-form record of layer-1 findings; stages set attributes on it.

    ``vars(state)`` lists everything the stages wrote.
    """


@dataclass
class ExecutionContext:
    """Everything one request carries through the layers."""

    request: Request = field(default_factory=Request)
    state: dict[str, Any] = field(default_factory=dict)
    metadata: dict[str, Any] = field(default_factory=dict)
    layer1: Layer1State = field(default_factory=Layer1State)

    @classmethod
    def for_prompt(
        cls, prompt: str | None, *, metadata: dict[str, Any] | None = None
    ) -> ExecutionContext:
        """A fresh context for ``prompt``; ``metadata`` is copied, not shared."""
        return cls(request=Request(prompt=prompt), metadata=dict(metadata or {}))
