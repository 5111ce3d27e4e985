"""The native `function` type seen from Python: binding errors, introspection,
method binding, pickling. Each native operation is compared with a Python
function of the same signature, so the interpreter itself is the reference."""

import copy
import inspect
import itertools
import pickle
import typing
import weakref

import pytest

from nerov.packages.brain import artifax
from nerov.packages.layers.layer1.stages import promptsift

ARTIFAX_OPERATIONS = [
    "resolve_core_models_root", "resolve_artifact", "resolve_artifact_dir", "_iter_core_roots",
    "_iter_all_roots", "_find_package_dir", "_has_file", "_verify_if_present", "_sha256",
    "generate_manifest", "write_manifest", "cli_download",
]
NATIVE = [getattr(artifax, name) for name in ARTIFAX_OPERATIONS] + [
    promptsift._get_vantor,
    promptsift.PromptsiftStage.__init__,
    promptsift.PromptsiftStage.process,
]


def python_twin(native):
    """A Python function with the native one's parameters, defaults and names."""
    params = []
    for p in inspect.signature(native).parameters.values():
        params.append(p.name if p.default is p.empty else f"{p.name}={p.default!r}")
    prefix = "async " if inspect.iscoroutinefunction(native) else ""
    ns = {}
    exec(f"{prefix}def {native.__name__}({', '.join(params)}): pass", ns)
    twin = ns[native.__name__]
    twin.__qualname__ = native.__qualname__
    return twin


def bad_calls(native):
    names = list(inspect.signature(native).parameters)
    n = len(names)
    calls = [((object(),) * k, {}) for k in range(n + 3)]
    for name in names + ["zzz_unknown", (names[0][:-1] + "x") if names else "x"]:
        calls.append(((), {name: 1}))
        calls.append(((object(),) * n, {name: 1}))
    for a, b in itertools.combinations(names + ["extra"], 2):
        calls.append(((), {a: 1, b: 2}))
    return calls


@pytest.mark.parametrize("native", NATIVE, ids=lambda f: f.__qualname__)
def test_argument_errors_match_a_python_function(native):
    twin = python_twin(native)
    compared = 0
    for args, kwargs in bad_calls(native):
        try:
            result = twin(*args, **kwargs)
        except TypeError as expected:
            with pytest.raises(TypeError) as got:
                native(*args, **kwargs)
            assert str(got.value) == str(expected), (args, kwargs)
            compared += 1
        else:
            if inspect.iscoroutine(result):
                result.close()
    assert compared >= 3


def test_argument_errors_through_a_bound_method_count_self():
    stage = object.__new__(promptsift.PromptsiftStage)
    twin_cls = type("PromptsiftStage", (), {"process": python_twin(promptsift.PromptsiftStage.process)})
    twin = twin_cls()
    for args, kwargs in [((), {}), ((1, 2), {}), ((), {"contxt": 1}), ((1,), {"context": 1})]:
        with pytest.raises(TypeError) as expected:
            twin.process(*args, **kwargs)
        with pytest.raises(TypeError) as got:
            stage.process(*args, **kwargs)
        assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("native", NATIVE, ids=lambda f: f.__qualname__)
def test_introspection_is_that_of_a_python_function(native):
    module = promptsift if native.__module__.endswith("promptsift") else artifax
    assert native.__module__ == module.__name__
    assert native.__globals__ is vars(module)
    assert type(native).__name__ == "function"
    assert repr(native) == f"<function {native.__qualname__} at {id(native):#x}>"
    assert native.__kwdefaults__ is None and native.__closure__ is None
    assert isinstance(native.__annotations__, dict)
    assert all(isinstance(v, str) for v in native.__annotations__.values())
    params = inspect.signature(native).parameters.values()
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params)
    assert inspect.iscoroutinefunction(native) == (native.__name__ == "process")


def test_signatures_carry_names_defaults_and_string_annotations():
    assert str(inspect.signature(artifax.resolve_artifact)) == "(rel_path: 'str') -> 'Optional[str]'"
    assert str(inspect.signature(artifax.write_manifest)) == "(model_dir: 'str', version: 'str') -> 'str'"
    assert str(inspect.signature(artifax.cli_download)) == "() -> 'None'"
    assert (
        str(inspect.signature(promptsift.PromptsiftStage.__init__))
        == "(self, available_tools: 'list[Callable]', model_id: 'str' = 'vantor-int8')"
    )
    stage = object.__new__(promptsift.PromptsiftStage)
    assert str(inspect.signature(stage.process)) == "(context: 'ExecutionContext') -> 'None'"
    assert artifax._has_file.__annotations__ == {"root": "str", "filename": "str", "return": "bool"}
    assert artifax._has_file.__doc__ is None
    assert promptsift.PromptsiftStage.__init__.__defaults__ == ("vantor-int8",)


def test_type_hints_resolve_in_the_module_namespace():
    assert typing.get_type_hints(artifax.resolve_artifact) == {"rel_path": str, "return": typing.Optional[str]}
    hints = typing.get_type_hints(promptsift.PromptsiftStage.process)
    assert hints == {"context": promptsift.ExecutionContext, "return": type(None)}


def test_writable_attributes_behave_like_a_python_function():
    f = artifax.resolve_artifact_dir
    saved = (f.__name__, f.__qualname__, f.__doc__, f.__annotations__, f.__module__)
    try:
        f.__doc__ = "changed"
        f.__qualname__ = "elsewhere.resolve"
        f.custom = 42
        assert f.__dict__ == {"custom": 42} and f.__doc__ == "changed"
        with pytest.raises(TypeError) as got:
            f(1, 2)
        assert str(got.value).startswith("elsewhere.resolve() takes 1 positional argument")
        with pytest.raises(TypeError, match="__name__ must be set to a string object"):
            f.__name__ = 3
        with pytest.raises(TypeError, match="__annotations__ must be set to a dict object"):
            f.__annotations__ = []
        with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
            f.__defaults__ = [1]
        for name in ("__globals__", "__builtins__"):
            with pytest.raises(AttributeError, match="^readonly attribute$"):
                setattr(f, name, {})
    finally:
        del f.custom
        f.__name__, f.__qualname__, f.__doc__, f.__annotations__, f.__module__ = saved
    assert f.__dict__ == {}


def test_defaults_can_be_replaced_as_on_a_python_function():
    init = promptsift.PromptsiftStage.__init__
    assert init.__defaults__ == ("vantor-int8",)
    init.__defaults__ = None
    try:
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'model_id'"):
            init(object(), [])
    finally:
        init.__defaults__ = ("vantor-int8",)


def test_binds_as_a_method_when_stored_on_a_class():
    class Holder:
        join = artifax._has_file

    bound = Holder().join
    assert inspect.ismethod(bound) and bound.__func__ is artifax._has_file
    assert Holder.join is artifax._has_file
    with pytest.raises(TypeError, match=r"_has_file\(\) missing 1 required positional argument: 'filename'"):
        bound()


def test_pickles_copies_and_weakrefs_by_identity():
    for f in (artifax.resolve_artifact, promptsift._get_vantor, promptsift.PromptsiftStage.process):
        assert pickle.loads(pickle.dumps(f)) is f
        assert copy.copy(f) is f and copy.deepcopy(f) is f
        assert weakref.ref(f)() is f


def test_function_type_cannot_be_instantiated_from_python():
    with pytest.raises(TypeError):
        type(artifax.resolve_artifact)()
