# Type stubs for the native module nerov.packages.layers.layer1.stages.promptsift
# (promptsift.cpp).
#
# Kept in step with the module by scripts/stubtest.sh. The kit classes the
# module binds at import are re-exported from where the module takes them;
# their types are whatever the kit's own modules declare.

import logging as logging
from typing import Any
from typing import Callable as Callable

from nerov.packages.brain.capability_matcher import CapabilityMatcher as CapabilityMatcher
from nerov.packages.brain.engine import VantorEngine as VantorEngine
from nerov.packages.context import ExecutionContext as ExecutionContext
from nerov.packages.governance.ifc import TaintLevel as TaintLevel
from nerov.packages.layers.layer1.base import Layer1Stage as Layer1Stage
from nerov.packages.layers.layer1.exceptions import Layer1ProcessingError as Layer1ProcessingError
from nerov.packages.layers.layer1.exceptions import PromptValidationError as PromptValidationError
from pydantic import BaseModel as BaseModel
from pydantic import Field as Field

logger: logging.Logger
# The process-wide engine: None until the first _get_vantor().
_LOCAL_BRAIN: VantorEngine | None

def _get_vantor() -> VantorEngine: ...

class RequestAnalysisResult(BaseModel):
    is_safe: bool
    reason: str
    risk_flags: list[str] = ...  # default_factory=list
    primary_intent: str
    task_category: str = "action_execution"
    required_capabilities: list[str] = ...  # default_factory=list
    confidence_score: float = 1.0
    allowed_tools: list[str] = ...  # default_factory=list
    risk_level: str = "LOW"
    risk_score: float = 0.0
    risk_factors: list[str] = ...  # default_factory=list
    execution_recommendation: str = "execute_normally"

class PromptsiftStage(Layer1Stage):
    available_tools: list[Callable[..., Any]]
    capability_matcher: CapabilityMatcher
    def __init__(
        self, available_tools: list[Callable[..., Any]], model_id: str = "vantor-int8"
    ) -> None: ...
    async def process(self, context: ExecutionContext) -> None: ...
