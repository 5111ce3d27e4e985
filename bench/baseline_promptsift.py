"""The steps of ``PromptsiftStage.process`` written plainly in Python.

The benchmark runs this next to the compiled stage, in the same process and
with the same collaborators, so the ratio between the two measures the cost of
the stage's own work. It is not used by the package.
"""

import logging

from nerov.packages.governance.ifc import TaintLevel
from nerov.packages.layers.layer1.exceptions import Layer1ProcessingError, PromptValidationError

logger = logging.getLogger("bench.baseline_promptsift")

_LOCAL_BRAIN = None
VantorEngine = None  # the benchmark installs its engine in _LOCAL_BRAIN


def _get_vantor():
    global _LOCAL_BRAIN
    if _LOCAL_BRAIN is None:
        _LOCAL_BRAIN = VantorEngine()
    return _LOCAL_BRAIN


class BaselineStage:
    def __init__(self, capability_matcher):
        self.capability_matcher = capability_matcher

    async def process(self, context) -> None:
        try:
            user_prompt = context.request.prompt
            clean_prompt = user_prompt.strip() if user_prompt else ""
            if len(clean_prompt) < 2 or not any(c.isalnum() for c in clean_prompt):
                raise PromptValidationError("Prompt is non-semantic, empty, or lacks meaningful content.")

            vantor_result = _get_vantor().predict(clean_prompt)
            matched_tools, binding_tier = self.capability_matcher.select_for_prompt(
                clean_prompt,
                predicted_intent=vantor_result.get("intent"),
                predicted_scope=vantor_result.get("tool_scope"),
            )

            if "ifc" not in context.state:
                from nerov.packages.governance.ifc import IFCContext

                context.state["ifc"] = IFCContext()
            context.state["ifc"].tag("user_prompt", TaintLevel.UNTRUSTED)

            is_approved = bool(context.metadata.get("is_approved", False))
            context.layer1.is_approved = is_approved
            context.layer1.validation_result = {
                "is_safe": True if is_approved else vantor_result["is_safe"],
                "reason": "Explicitly authorized action"
                if is_approved
                else f"Vantor Security Engine: {vantor_result['injection_type']} (Confidence: {vantor_result['confidence']})",
                "risk_flags": [] if vantor_result["is_safe"] or is_approved else [vantor_result["injection_type"]],
                "confidence": vantor_result["confidence"],
                "latency_ms": vantor_result["latency_ms"],
                "binding_tier": binding_tier,
            }
            context.layer1.intent = vantor_result["intent"]
            context.layer1.task_category = "action_execution"
            context.layer1.capabilities = [vantor_result["intent"].lower()]
            context.layer1.confidence_score = vantor_result["confidence"]
            context.layer1.allowed_tools = matched_tools
            context.layer1.risk_level = vantor_result["risk_level"]
            context.layer1.risk_score = 0.1 if vantor_result["is_safe"] else 1.0 - vantor_result["confidence"]
            context.layer1.vantor_result = vantor_result
            context.layer1.tool_scope = vantor_result.get("tool_scope")
            context.layer1.content_class = vantor_result.get("content_class")

            if is_approved:
                recommendation = "execute_normally"
            elif not vantor_result["is_safe"]:
                recommendation = "block"
            elif vantor_result["risk_level"] in ("HIGH", "CRITICAL"):
                recommendation = "require_human_approval"
            else:
                recommendation = "execute_normally"
            context.layer1.execution_recommendation = recommendation

            if not vantor_result["is_safe"] and not is_approved:
                logger.warning(
                    f"Nerov Vantor Blocked Adversarial Request! Category: {vantor_result['injection_type']}"
                    f" | Risk: {vantor_result['risk_level']} | Latency: {vantor_result['latency_ms']}ms"
                )
                raise PromptValidationError(
                    f"Adversarial prompt detected ({vantor_result['injection_type']}). Request blocked by Nerov Vantor."
                )

            logger.debug(
                f"Layer 1 Vantor Analysis: Safe=True, Intent={vantor_result['intent']}, "
                f"Risk={vantor_result['risk_level']}, Scope={vantor_result.get('tool_scope')}, "
                f"BindingTier={binding_tier}, Allowed Tools={matched_tools}, "
                f"Latency={vantor_result['latency_ms']}ms"
            )
        except PromptValidationError:
            raise
        except Exception as e:
            logger.error(f"Error during Vantor Request Analysis: {e}")
            raise Layer1ProcessingError(f"Failed to analyze request: {e}")
