"""What importing the stage module binds: names, the record and the stage class."""

import abc
import inspect
import subprocess
import sys
import textwrap
import typing

import pydantic
import pytest
from psift_support import ps

from nerov.packages import context as kit_context
from nerov.packages.brain import capability_matcher, engine
from nerov.packages.governance import ifc
from nerov.packages.layers.layer1 import base, exceptions

STAGE_DOC = (
    "\n    Ultra-Fast Layer 1 Security Analyzer powered by local ONNX INT8 Vantor (~5ms CPU).\n"
    "    Runs 100% offline with zero cloud API keys.\n    "
)


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


def test_namespace_holds_the_bindings_in_import_order():
    proc = run_python("""
        from nerov.packages.layers.layer1.stages import promptsift
        print(*vars(promptsift))
    """)
    assert proc.returncode == 0, proc.stderr
    names = proc.stdout.split()
    assert names[names.index("logging"):] == [
        "logging", "Callable", "BaseModel", "Field", "ExecutionContext", "Layer1Stage",
        "Layer1ProcessingError", "PromptValidationError", "VantorEngine", "CapabilityMatcher",
        "TaintLevel", "logger", "_LOCAL_BRAIN", "_get_vantor", "RequestAnalysisResult",
        "PromptsiftStage",
    ]
    assert ps.__name__ == "nerov.packages.layers.layer1.stages.promptsift"
    assert ps.__doc__ is None
    assert ps.logger is ps.logging.getLogger("nerov.packages.layers.layer1.stages.promptsift")
    assert (ps.Callable, ps.BaseModel, ps.Field) == (typing.Callable, pydantic.BaseModel, pydantic.Field)
    assert (ps.ExecutionContext, ps.Layer1Stage, ps.VantorEngine, ps.CapabilityMatcher, ps.TaintLevel) == (
        kit_context.ExecutionContext, base.Layer1Stage, engine.VantorEngine,
        capability_matcher.CapabilityMatcher, ifc.TaintLevel,
    )
    assert ps.PromptValidationError is exceptions.PromptValidationError
    assert ps.Layer1ProcessingError is exceptions.Layer1ProcessingError
    assert not hasattr(ps, "IFCContext")


def test_get_vantor_introspects_as_a_plain_function():
    f = ps._get_vantor
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == ("_get_vantor", "_get_vantor", ps.__name__, None)
    assert f.__annotations__ == {"return": "VantorEngine"}
    assert str(inspect.signature(f)) == "() -> 'VantorEngine'"
    assert typing.get_type_hints(f) == {"return": engine.VantorEngine}


def test_stage_class_is_made_like_a_class_statement():
    cls = ps.PromptsiftStage
    assert type(cls) is abc.ABCMeta and cls.__bases__ == (base.Layer1Stage,)
    assert (cls.__module__, cls.__qualname__, cls.__name__, cls.__doc__) == (
        ps.__name__, "PromptsiftStage", "PromptsiftStage", STAGE_DOC)
    assert list(vars(cls)) == [
        "__module__", "__doc__", "__init__", "process", "__static_attributes__", "__abstractmethods__", "_abc_impl",
    ]
    assert cls.__static_attributes__ == ("available_tools", "capability_matcher")
    assert cls.__abstractmethods__ == frozenset()

    init, process = vars(cls)["__init__"], vars(cls)["process"]
    assert (init.__qualname__, process.__qualname__) == ("PromptsiftStage.__init__", "PromptsiftStage.process")
    assert (init.__doc__, process.__doc__) == (None, None)
    assert str(inspect.signature(init)) == "(self, available_tools: 'list[Callable]', model_id: 'str' = 'vantor-int8')"
    assert str(inspect.signature(process)) == "(self, context: 'ExecutionContext') -> 'None'"
    assert inspect.iscoroutinefunction(process) and not inspect.iscoroutinefunction(init)
    assert inspect.iscoroutinefunction(cls([]).process)
    assert typing.get_type_hints(process) == {"context": kit_context.ExecutionContext, "return": type(None)}
    assert typing.get_type_hints(init) == {"available_tools": list[typing.Callable], "model_id": str}


# The record as a class statement declares it.
class Reference(pydantic.BaseModel):
    is_safe: bool = pydantic.Field(description="True if prompt is safe. False if prompt contains injection or attack.")
    reason: str = pydantic.Field(description="Explanation of safety or attack category.")
    risk_flags: list[str] = pydantic.Field(default_factory=list, description="Detected security flags.")
    primary_intent: str = pydantic.Field(description="The primary intent of the user.")
    task_category: str = pydantic.Field(default="action_execution", description="The broad task category.")
    required_capabilities: list[str] = pydantic.Field(default_factory=list, description="Generic capabilities needed.")
    confidence_score: float = pydantic.Field(default=1.0, description="Confidence score from 0.0 to 1.0.")
    allowed_tools: list[str] = pydantic.Field(default_factory=list, description="The authorized tool subset.")
    risk_level: str = pydantic.Field(default="LOW", description="'LOW', 'MEDIUM', 'HIGH', 'CRITICAL'")
    risk_score: float = pydantic.Field(default=0.0, description="Score from 0.0 to 1.0.")
    risk_factors: list[str] = pydantic.Field(default_factory=list, description="Detected risk factors.")
    execution_recommendation: str = pydantic.Field(default="execute_normally", description="Execution recommendation.")


def test_record_matches_its_class_statement_declaration():
    R = ps.RequestAnalysisResult
    assert issubclass(R, pydantic.BaseModel) and R.__bases__ == (pydantic.BaseModel,)
    assert (R.__module__, R.__qualname__, R.__doc__) == (ps.__name__, "RequestAnalysisResult", None)
    assert R.__annotations__ == {name: t for name, t in zip(Reference.model_fields, [
        "bool", "str", "list[str]", "str", "str", "list[str]", "float", "list[str]", "str", "float", "list[str]", "str"])}
    assert list(R.model_fields) == list(Reference.model_fields)
    for name, field in R.model_fields.items():
        ref = Reference.model_fields[name]
        assert (field.annotation, field.default, field.default_factory, field.description) == (
            ref.annotation, ref.default, ref.default_factory, ref.description)
    assert R.model_json_schema() == dict(Reference.model_json_schema(), title="RequestAnalysisResult")
    assert R.__pydantic_parent_namespace__ is None


def test_record_construction_and_validation():
    R = ps.RequestAnalysisResult
    a, b = R(is_safe=True, reason="ok", primary_intent="q"), R(is_safe="false", reason="x", primary_intent="q")
    a.risk_flags.append("x")
    assert b.model_dump() == {
        "is_safe": False, "reason": "x", "risk_flags": [], "primary_intent": "q", "task_category": "action_execution",
        "required_capabilities": [], "confidence_score": 1.0, "allowed_tools": [], "risk_level": "LOW",
        "risk_score": 0.0, "risk_factors": [], "execution_recommendation": "execute_normally",
    }
    assert R(is_safe=1, reason="", primary_intent="", risk_score=1.5, risk_level="SEVERE").risk_score == 1.5
    with pytest.raises(pydantic.ValidationError) as err:
        R(risk_score="high")
    assert [(e["loc"], e["type"]) for e in err.value.errors()] == [
        (("is_safe",), "missing"), (("reason",), "missing"), (("primary_intent",), "missing"),
        (("risk_score",), "float_parsing")]


@pytest.mark.parametrize("breakage, error", [
    ("sys.modules['nerov.packages.brain.engine'] = None",
     "ModuleNotFoundError: import of nerov.packages.brain.engine halted; None in sys.modules"),
    ("del __import__('nerov.packages.governance.ifc').packages.governance.ifc.TaintLevel",
     "ImportError: cannot import name 'TaintLevel' from 'nerov.packages.governance.ifc'"),
    ("sys.modules['pydantic'] = None", "ModuleNotFoundError: import of pydantic halted; None in sys.modules"),
])
def test_failing_import_fails_the_module_and_a_later_import_can_succeed(breakage, error):
    proc = run_python(f"""
        import importlib, sys
        saved = dict(sys.modules)
        import nerov.packages.governance.ifc
        {breakage}
        try:
            import nerov.packages.layers.layer1.stages.promptsift
        except ImportError as e:
            print(f"{{type(e).__name__}}: {{e}}")
        sys.modules.clear(); sys.modules.update(saved)
        importlib.reload(importlib.import_module("nerov.packages.governance.ifc"))
        mod = importlib.import_module("nerov.packages.layers.layer1.stages.promptsift")
        print(mod._LOCAL_BRAIN, mod.PromptsiftStage.__name__)
    """)
    assert proc.returncode == 0, proc.stderr
    first, second = proc.stdout.splitlines()
    assert first.startswith(error)
    assert second == "None PromptsiftStage"
