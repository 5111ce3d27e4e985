"""Small stand-in for the kit's ``layer1.base`` module, kept apart from the deliverables."""

from __future__ import annotations

import abc
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from nerov.packages.context import ExecutionContext


class Layer1Stage(abc.ABC):
    """One step of layer-1 prompt screening.

    A stage reads the request from the context and records its findings on
    ``context.layer1`` (and, where it applies, ``context.state``). Subclasses
    may define their own ``__init__``; this base needs no initialisation.
    """

    @abc.abstractmethod
    async def process(self, context: ExecutionContext) -> None:
        """Screen ``context.request`` and record the outcome on ``context``."""
