"""Small stand-in for the kit's ``governance.ifc`` module, kept apart from the deliverables."""

from __future__ import annotations

import enum
from collections.abc import Mapping
from types import MappingProxyType


class TaintLevel(enum.IntEnum):
    """How far data may be trusted, ordered from least to most tainted."""

    TRUSTED = 0
    INTERNAL = 1
    UNTRUSTED = 2


class IFCContext:
    """Taint labels attached to the pieces of data of one request.

    Taint only ever rises: tagging a label again with a lower level keeps the
    higher one.
    """

    def __init__(self) -> None:
        self._labels: dict[str, TaintLevel] = {}

    def tag(self, label: str, level: TaintLevel) -> TaintLevel:
        """Record ``level`` for ``label``; returns the label's resulting level."""
        if not isinstance(label, str):
            raise TypeError(f"label must be a str, not {type(label).__name__}")
        level = TaintLevel(level)
        current = self._labels.get(label)
        if current is None or level > current:
            self._labels[label] = level
        return self._labels[label]

    def taint_of(self, label: str) -> TaintLevel | None:
        """The level recorded for ``label``, or None if it was never tagged."""
        return self._labels.get(label)

    @property
    def labels(self) -> Mapping[str, TaintLevel]:
        """Read-only view of every label and its level."""
        return MappingProxyType(self._labels)

    @property
    def highest(self) -> TaintLevel:
        """The most tainted level recorded (TRUSTED when nothing is tagged)."""
        return max(self._labels.values(), default=TaintLevel.TRUSTED)

    def __contains__(self, label: object) -> bool:
        return label in self._labels

    def __repr__(self) -> str:
        inner = ", ".join(f"{k!r}: {v.name}" for k, v in self._labels.items())
        return f"IFCContext({{{inner}}})"
