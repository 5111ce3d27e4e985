"""Any objects as prompt, context parts, metadata, engine result and matcher
result: the stage ends in None, PromptValidationError with one of its two
messages or Layer1ProcessingError "Failed to analyze request: ...", apart
from what a collaborator raises that the stage must pass on, and it ends
exactly as the plain-Python model (fuzz_reference.process) does: same outcome,
same calls on the collaborators in the same order, same log lines and same
writes on the context.

Each example is drawn as a plan; the plan builds a fresh set of
collaborators for each of the two runs, sharing only the leaf values."""

import contextlib
import struct
import types

import pytest
from hypothesis import event, given, strategies as st

import fuzz_reference
from fuzz_support import Boom, any_char, fuzz_settings, weighted
from nerov.packages.governance.ifc import IFCContext
from nerov.packages.layers.layer1.exceptions import Layer1ProcessingError, PromptValidationError
from nerov.packages.layers.layer1.stages import promptsift as ps

NON_SEMANTIC = fuzz_reference.NON_SEMANTIC
BLOCK_HEAD, BLOCK_TAIL = "Adversarial prompt detected (", "). Request blocked by Nerov Vantor."
FAILED_HEAD = "Failed to analyze request: "
KEYS = ["is_safe", "injection_type", "confidence", "latency_ms", "intent", "risk_level", "tool_scope", "content_class"]


# ---------------------------------------------------------------------------
# Leaf values: shared by both runs, so they keep no state.

class Interrupt(BaseException):
    """Not an Exception: must pass through the stage untouched."""


class UnprintableError(Exception):
    def __str__(self):
        raise Boom("no text for this error")


EXCEPTIONS = [ValueError, KeyError, TypeError, RuntimeError, Boom, Layer1ProcessingError, PromptValidationError,
              UnprintableError, Interrupt]


RAISED = []  # every exception raised through a Raises plan, latest last


class Raises:
    """A plan for an exception: a new instance is raised on each use."""

    def __init__(self, cls, message):
        self.cls, self.message = cls, message

    def __call__(self):
        RAISED.append(self.cls(self.message))
        raise RAISED[-1]

    def __repr__(self):
        return f"Raises({self.cls.__name__}, {self.message!r})"


raises = st.builds(Raises, st.sampled_from(EXCEPTIONS), st.text(any_char, max_size=6))


class Odd:
    """An object whose named special method raises (or misbehaves)."""

    def __init__(self, how, exc):
        self.how, self.exc = how, exc

    def __repr__(self):
        return f"Odd({self.how!r}, {self.exc!r})"

    def __bool__(self):
        if self.how == "bool":
            self.exc()
        if self.how == "bool-int":
            return 2  # not a bool: the truth test itself fails
        return True

    def __format__(self, fmt):
        if self.how == "format":
            self.exc()
        if self.how == "format-int":
            return 3
        return f"<odd {self.how}>"

    def __eq__(self, other):
        if self.how == "eq":
            self.exc()
        if self.how == "eq-odd":
            return Odd("bool", self.exc)
        return self is other

    __hash__ = object.__hash__

    def __rsub__(self, other):
        if self.how == "rsub":
            self.exc()
        return -1.25

    def lower(self):
        if self.how == "lower":
            self.exc()
        return self


class Text(str):
    """A str subclass with its own strip, lower and format."""

    def strip(self, *args):
        return Text(str.strip(self, *args))

    def __format__(self, fmt):
        return "Text:" + str.__format__(self, fmt)


class Stripping:
    """A prompt whose strip() gives `result` (or raises)."""

    def __init__(self, result):
        self.result = result

    def __repr__(self):
        return f"Stripping({self.result!r})"

    def strip(self):
        return self.result() if isinstance(self.result, Raises) else self.result


class Chars:
    """What strip() may give: a sized iterable of items with isalnum."""

    def __init__(self, items, length, fail_at):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __repr__(self):
        return f"Chars({self.items!r}, {self.length!r}, {self.fail_at!r})"

    def __len__(self):
        if isinstance(self.length, Raises):
            self.length()
        return self.length

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.fail_at:
                raise Boom("iteration stops")
            yield item


odd = st.builds(Odd, st.sampled_from(["bool", "bool-int", "format", "format-int", "eq", "eq-odd", "rsub", "lower",
                                      "none"]), raises)
whitespace = st.sampled_from(" \t\n\x0b\x0c\r\x1c\x1d\x1e\x1f\x85\xa0\u1680\u2000\u2028\u3000\u200b\ufeff")
prompt_text = weighted(
    (3, st.text(any_char, max_size=12)),
    (3, st.lists(st.one_of(whitespace, st.sampled_from("a1\u00e9\u0662\u2164!?._-\x00\u0301"), any_char), max_size=6)
        .map("".join)),
    (1, st.sampled_from(["hello there", "??", "a", " a ", "\u00e9\u00e8", "!!!", "1!", "\u2164\u2164", "\u00b2!",
                         "a" * 100_000])),
)
leaves = weighted(
    (3, st.text(any_char, max_size=8)), (2, st.none() | st.booleans()), (2, st.integers() | st.floats()),
    (1, st.sampled_from([10**5000, -0.0, float("nan"), float("inf"), 1e16, 1e-5, 0.1 + 0.2, 1e22, 123456789.0])),
    (1, st.lists(st.text(any_char, max_size=4), max_size=3)), (1, st.text(max_size=4).map(Text)),
    (1, st.lists(st.sampled_from(["a", "it's", 'q"uote', "back\\slash", "\u00e9", "\x07", "\ud800"]), max_size=20)),
    (1, st.tuples(st.integers(), st.text(max_size=3))),
    (1, st.dictionaries(st.text(max_size=2), st.integers(), max_size=2)),
    (1, odd),
)
words = st.text(st.characters(categories=["L", "N", "Zs", "P"]), min_size=2, max_size=20)
sentences = st.tuples(st.text(whitespace, max_size=2), words, st.text(whitespace, max_size=2)).map("".join)
prompts = weighted(
    (10, sentences), (4, prompt_text), (1, prompt_text.map(Text)),
    (1, st.sampled_from([None, 0, 5, 2.5, b" hello ", bytearray(b"hi"), True, [], ["a", "b"]])),
    (1, odd),
    (1, st.builds(Stripping, weighted(
        (2, prompt_text), (1, st.sampled_from([None, 7, ["?", "a"], ("!", "!")])), (1, raises),
        (1, st.builds(Chars, st.lists(st.one_of(st.text(max_size=1), odd, st.integers()), max_size=4),
                      st.one_of(st.integers(-1, 5), raises), st.integers(0, 5)))))),
)

is_safe_values = weighted((6, st.booleans()), (2, leaves))
confidences = weighted((4, st.floats()), (2, st.integers()), (1, leaves))
intents = weighted((4, st.text(any_char, max_size=8)), (1, st.text(max_size=4).map(Text)), (1, leaves))
levels = weighted((3, st.sampled_from(["LOW", "MEDIUM", "HIGH", "CRITICAL", "high", "Critical"])), (1, leaves))
VALUE_OF = {"is_safe": is_safe_values, "confidence": confidences, "intent": intents, "risk_level": levels}


@st.composite
def result_data(draw):
    """The engine result's items: usually all eight keys, sometimes fewer."""
    keys = KEYS if draw(st.integers(0, 3)) else draw(st.lists(st.sampled_from(KEYS), unique=True))
    data = {k: draw(VALUE_OF.get(k, leaves)) for k in keys}
    if draw(st.integers(0, 4)) == 0:
        data[draw(st.text(max_size=3))] = draw(leaves)
    return data


# ---------------------------------------------------------------------------
# Collaborators: built afresh for each run; they record what is asked of them.

class Recorder:
    def __init__(self, calls, name):
        self._calls, self._name = calls, name

    def _note(self, *what):
        self._calls.append((self._name, *what))


class Mapping(Recorder):
    """A mapping that is not a dict; items listed in `failing` raise."""

    def __init__(self, calls, name, data, failing=None):
        super().__init__(calls, name)
        self._data, self._failing = dict(data), failing or {}

    def _check(self, key):
        if key in self._failing:
            self._failing[key]()

    def __getitem__(self, key):
        self._note("getitem", key)
        self._check(key)
        return self._data[key]

    def get(self, key, *default):
        self._note("get", key, *default)
        self._check(key)
        return self._data.get(key, *default)

    def __contains__(self, key):
        self._note("contains", key)
        self._check(key)
        return key in self._data

    def __setitem__(self, key, value):
        self._note("setitem", key, type(value).__name__)
        self._check(("set", key))
        self._data[key] = value


class Engine(Recorder):
    def __init__(self, calls, result):
        super().__init__(calls, "engine")
        self.result = result

    def predict(self, prompt):
        self._note("predict", prompt)
        return self.result() if isinstance(self.result, Raises) else self.result


class Matcher(Recorder):
    def __init__(self, calls, result):
        super().__init__(calls, "matcher")
        self.result = result

    def select_for_prompt(self, prompt, *, predicted_intent=None, predicted_scope=None):
        self._note("select", prompt, predicted_intent, predicted_scope)
        if isinstance(self.result, Raises):
            self.result()
        kind, items = self.result
        if kind == "generator":
            return (item for item in items)
        if kind == "failing-iterator":
            return _failing_iterator(items)
        return items


class BackwardsPair(tuple):
    """A tuple subclass that iterates backwards: unpacking must iterate it."""

    def __iter__(self):
        return reversed(tuple(tuple.__iter__(self)))


def _failing_iterator(items):
    yield from items
    raise Boom("iterator fails")


class Ifc(Recorder):
    def __init__(self, calls, failing):
        super().__init__(calls, "ifc")
        self.failing = failing

    def tag(self, label, level):
        self._note("tag", label, level)
        if self.failing:
            self.failing()


class Layer1(Recorder):
    """Layer-1 state that records assignments; the one named in `failing` raises."""

    def __init__(self, calls, failing):
        object.__setattr__(self, "_calls", calls)
        object.__setattr__(self, "_name", "layer1")
        object.__setattr__(self, "_failing", failing)
        object.__setattr__(self, "written", {})

    def __setattr__(self, name, value):
        self._note("set", name)
        if self._failing and self._failing[0] == name:
            self._failing[1]()
        self.written[name] = value


class Slotted:
    __slots__ = ()


class Request:
    def __init__(self, prompt):
        self._prompt = prompt

    @property
    def prompt(self):
        if isinstance(self._prompt, Raises):
            self._prompt()
        return self._prompt


results = weighted(
    (10, st.tuples(st.just("dict"), result_data())),
    (2, st.tuples(st.just("mapping"), result_data(),
                  st.dictionaries(st.sampled_from(KEYS), raises, max_size=1))),
    (1, st.tuples(st.just("other"), st.sampled_from([None, [], "is_safe", 3, object()]))),
)
engines = weighted((8, st.tuples(st.just("engine"), results)), (1, st.tuples(st.just("raises"), raises)),
                   (1, st.just(("no-predict",))))
pairs = st.tuples(weighted((3, st.lists(st.text(any_char, max_size=5), max_size=4)), (1, leaves)), leaves)
matcher_results = weighted(
    (6, st.tuples(st.just("items"), pairs)),
    (1, st.tuples(st.just("items"), pairs.map(list) | pairs.map(BackwardsPair))),
    (1, st.tuples(st.sampled_from(["items", "generator", "failing-iterator"]), st.lists(leaves, max_size=4))),
    (1, st.tuples(st.just("items"), st.sampled_from([None, 3, "ab", "abc", {"x": 1, "y": 2}, b"xy", Odd("", None)]))),
    (1, raises),
)
matchers = weighted((8, st.tuples(st.just("matcher"), matcher_results)), (1, st.just(("missing",))),
                    (1, st.just(("no-method",))))
requests = weighted((8, st.tuples(st.just("request"), prompts)), (1, st.tuples(st.just("raising"), raises)),
                    (1, st.sampled_from([("no-request",), ("no-prompt",)])))
states = weighted(
    (5, st.just(("dict",))), (2, st.tuples(st.just("dict-with-ifc"), st.none() | raises)),
    (2, st.tuples(st.just("mapping"), st.dictionaries(st.sampled_from(["ifc", ("set", "ifc")]), raises, max_size=1))),
    (1, st.tuples(st.just("other"), st.sampled_from([None, 5, [], "ifc", "xyz", {"ifc": None}]))),
)
metadatas = weighted(
    (5, st.tuples(st.just("dict"), st.one_of(st.just({}), st.builds(dict, is_approved=weighted((3, st.booleans()),
                                                                                                   (1, leaves)))))),
    (1, st.tuples(st.just("mapping"), st.builds(dict, is_approved=leaves),
                  st.dictionaries(st.just("is_approved"), raises, max_size=1))),
    (1, st.tuples(st.just("other"), st.sampled_from([None, [], "is_approved", ["is_approved"]]))),
)
layers = weighted(
    (5, st.just(("plain",))),
    (2, st.tuples(st.just("recording"), st.none() | st.tuples(st.sampled_from(
        ["is_approved", "validation_result", "intent", "capabilities", "allowed_tools", "risk_score", "tool_scope",
         "execution_recommendation"]), raises))),
    (1, st.sampled_from([("slotted",), ("none",), ("missing",)])),
)
accessors = weighted((6, st.just(("own",))), (2, st.just(("replaced",))), (1, st.tuples(st.just("raises"), raises)),
                     (1, st.just(("not-callable",))))
loggers = weighted((8, st.just(("recording",))), (2, st.tuples(st.sampled_from(["debug", "warning", "error"]), raises)),
                   (1, st.just(("no-methods",))))
plans = st.fixed_dictionaries(dict(engine=engines, matcher=matchers, request=requests, state=states,
                                   metadata=metadatas, layer1=layers, accessor=accessors, logger=loggers))


def build(plan, calls):
    """(stage attributes, context, engine) for one run of `plan`."""
    kind, *rest = plan["engine"]
    if kind == "engine":
        rkind, *rrest = rest[0]
        result = {"dict": lambda: dict(rrest[0]), "other": lambda: rrest[0],
                  "mapping": lambda: Mapping(calls, "result", rrest[0], dict(rrest[1]))}[rkind]()
        engine = Engine(calls, result)
    elif kind == "raises":
        engine = Engine(calls, rest[0])
    else:
        engine = object()

    kind, *rest = plan["matcher"]
    matcher = {"matcher": lambda: {"capability_matcher": Matcher(calls, rest[0])},
               "missing": lambda: {}, "no-method": lambda: {"capability_matcher": object()}}[kind]()

    ctx = types.SimpleNamespace()
    kind, *rest = plan["request"]
    if kind == "request":
        ctx.request = Request(rest[0])
    elif kind == "raising":
        ctx.request = Request(rest[0])
    elif kind == "no-prompt":
        ctx.request = object()

    kind, *rest = plan["state"]
    if kind == "dict":
        ctx.state = {}
    elif kind == "dict-with-ifc":
        ctx.state = {"ifc": Ifc(calls, rest[0])}
    elif kind == "mapping":
        ctx.state = Mapping(calls, "state", {}, dict(rest[0]))
    else:
        ctx.state = rest[0] if not isinstance(rest[0], (list, dict)) else type(rest[0])(rest[0])

    kind, *rest = plan["metadata"]
    ctx.metadata = {"dict": lambda: dict(rest[0]), "other": lambda: rest[0],
                    "mapping": lambda: Mapping(calls, "metadata", rest[0], dict(rest[1]))}[kind]()

    kind, *rest = plan["layer1"]
    if kind == "plain":
        ctx.layer1 = types.SimpleNamespace()
    elif kind == "recording":
        ctx.layer1 = Layer1(calls, rest[0])
    elif kind == "slotted":
        ctx.layer1 = Slotted()
    elif kind == "none":
        ctx.layer1 = None
    return matcher, ctx, engine


class Log:
    """The module logger's stand-in: keeps the lines; the level named in
    `failing` raises after keeping its line."""

    def __init__(self, failing=None):
        self.lines, self.failing = [], failing or (None, None)

    def _line(self, level, message):
        self.lines.append((level.upper(), message))
        if self.failing[0] == level:
            self.failing[1]()

    def debug(self, message):
        self._line("debug", message)

    def warning(self, message):
        self._line("warning", message)

    def error(self, message):
        self._line("error", message)


def make_logger(plan):
    kind, *rest = plan["logger"]
    return object() if kind == "no-methods" else Log((kind, rest[0]) if rest else None)


def make_accessor(plan, engine):
    """What `_get_vantor` is bound to, for the engine of the run; None for
    the module's own function."""
    kind, *rest = plan["accessor"]
    return {"own": None, "replaced": lambda: engine, "raises": rest and rest[0], "not-callable": 42}[kind]


def drive(coro):
    """Runs a coroutine that must finish in its first resumption."""
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the coroutine suspended")


def outcome(run):
    try:
        return "returned", run()
    except BaseException as e:  # noqa: B036 - interruptions from collaborators are part of the plan
        return "raised", e


def written(ctx):
    layer1 = getattr(ctx, "layer1", None)
    if isinstance(layer1, Layer1):
        return layer1.written
    return dict(vars(layer1)) if isinstance(layer1, types.SimpleNamespace) else {}


def ifc_labels(ctx):
    state = getattr(ctx, "state", None)
    ifc = state.get("ifc") if type(state) is dict else None
    return dict(ifc.labels) if isinstance(ifc, IFCContext) else type(ifc).__name__


def same(a, b, pairs):
    """Whether `a` (native run) and `b` (model run) are the same value: the
    same shared leaf, corresponding fresh collaborators, or equal values the
    stage made itself."""
    if a is b or any(a is x and b is y for x, y in pairs):
        return True
    if type(a) is not type(b):
        return False
    if type(a) in (list, tuple):
        return len(a) == len(b) and all(same(x, y, pairs) for x, y in zip(a, b))
    if type(a) is dict:
        return list(a) == list(b) and all(same(a[k], b[k], pairs) for k in a)
    if isinstance(a, float):
        return a == b or (a != a and b != b)
    if isinstance(a, (str, int)):
        return a == b
    if isinstance(a, BaseException):
        return same(a.args, b.args, pairs)
    return False


def check_allowed(result, raised_here, plan):
    """The outcomes the stage may end in."""
    kind, value = result
    if kind == "returned":
        assert value is None
        return "None"
    logger_fails = plan["logger"][0] in ("error", "no-methods")
    if any(value is e for e in raised_here):  # a refusal or interruption passed on as it came
        assert isinstance(value, PromptValidationError) or not isinstance(value, Exception) or logger_fails
        return f"passed on {type(value).__name__}"
    if type(value) is PromptValidationError:
        (message,) = value.args
        assert message == NON_SEMANTIC or (message.startswith(BLOCK_HEAD) and message.endswith(BLOCK_TAIL))
        return "non-semantic" if message == NON_SEMANTIC else "blocked"
    if type(value) is Layer1ProcessingError:
        (message,) = value.args
        assert message.startswith(FAILED_HEAD) and isinstance(value.__context__, Exception)
        return "failed"
    if type(value) is AttributeError and logger_fails:  # a logger without methods
        return "logger failed"
    # the handler could not render the caught error's text
    assert type(value) is Boom and value.args == ("no text for this error",)
    assert isinstance(value.__context__, UnprintableError)
    return "unprintable error"


class PromptsiftStage(types.SimpleNamespace):
    """The model's stage: named as the real one, for the error texts."""


@pytest.fixture(scope="module")
def stage():
    saved = ps._LOCAL_BRAIN, ps.logger, ps._get_vantor
    yield ps.PromptsiftStage([])
    ps._LOCAL_BRAIN, ps.logger, ps._get_vantor = saved


@contextlib.contextmanager
def module_state(engine, logger, accessor):
    saved = ps._get_vantor
    ps._LOCAL_BRAIN, ps.logger = engine, logger
    if accessor is not None:
        ps._get_vantor = accessor
    try:
        yield
    finally:
        ps._get_vantor = saved


MODEL_NAMES = dict(errors=(PromptValidationError, Layer1ProcessingError), taint_level=ps.TaintLevel,
                   ifc_context=lambda: __import__("nerov.packages.governance.ifc", fromlist=["IFCContext"]).IFCContext)


@fuzz_settings(5)
@given(plan=plans)
def test_any_objects_end_as_the_model_does(stage, plan):
    native_calls, model_calls = [], []
    native_matcher, native_ctx, native_engine = build(plan, native_calls)
    model_matcher, model_ctx, model_engine = build(plan, model_calls)
    native_log, model_log = make_logger(plan), make_logger(plan)

    vars(stage).clear()
    vars(stage).update(native_matcher)
    RAISED.clear()
    with module_state(native_engine, native_log, make_accessor(plan, native_engine)):
        native = outcome(lambda: drive(stage.process(native_ctx)))
    event(check_allowed(native, list(RAISED), plan))

    accessor = make_accessor(plan, model_engine)
    model = outcome(lambda: drive(fuzz_reference.process(
        PromptsiftStage(**model_matcher), model_ctx, logger=model_log,
        get_vantor=(lambda: model_engine) if accessor is None else accessor, **MODEL_NAMES)))

    # fresh objects of the two runs that correspond to each other
    pairs = [(native_engine, model_engine), (native_ctx, model_ctx)]
    for obj, attr in ((native_engine, "result"), (native_ctx, "state"), (native_ctx, "metadata")):
        if hasattr(obj, attr):
            pairs.append((getattr(obj, attr), getattr(model_engine if obj is native_engine else model_ctx, attr)))
    assert native[0] == model[0]
    if native[0] == "raised":
        assert type(native[1]) is type(model[1]) and same(native[1], model[1], pairs)
    assert getattr(native_log, "lines", None) == getattr(model_log, "lines", None)
    assert len(native_calls) == len(model_calls) and all(same(a, b, pairs) for a, b in zip(native_calls, model_calls))
    n, m = written(native_ctx), written(model_ctx)
    assert list(n) == list(m) and all(same(n[k], m[k], pairs) for k in n)
    assert ifc_labels(native_ctx) == ifc_labels(model_ctx)


def float_from(bits):
    return struct.unpack("<d", bits.to_bytes(8, "little"))[0]


numbers = weighted((3, st.integers(0, 2**64 - 1).map(float_from)), (2, st.floats()),
                   (1, st.sampled_from([0.1 + 0.2, 1e16, 9999999999999998.0, 1e-4, 0.0001234, 1e-5, 5e-324, 1e308,
                                        -0.0, 123456789012345678.0, 1.5, 100.0, 10**300, -(10**200), True])),
                   (1, st.integers(-(10**300), 10**300)))


@fuzz_settings(5)
@given(x=numbers, approved=st.booleans())
def test_numbers_render_in_messages_as_format_does(stage, x, approved):
    result = dict(is_safe=False, injection_type=x, confidence=x, latency_ms=x, intent="Lookup", risk_level=x,
                  tool_scope=x, content_class=None)
    ctx = types.SimpleNamespace(request=types.SimpleNamespace(prompt="hello there"), state={},
                                metadata={"is_approved": approved}, layer1=types.SimpleNamespace())
    log = Log()
    vars(stage).clear()
    stage.capability_matcher = types.SimpleNamespace(select_for_prompt=lambda *a, **k: ([x, "t"], x))
    with module_state(types.SimpleNamespace(predict=lambda prompt: result), log, None):
        native = outcome(lambda: drive(stage.process(ctx)))
    if approved:
        assert native == ("returned", None)
        assert log.lines == [("DEBUG", f"Layer 1 Vantor Analysis: Safe=True, Intent=Lookup, Risk={x}, Scope={x}, "
                                       f"BindingTier={x}, Allowed Tools={[x, 't']}, Latency={x}ms")]
    else:
        assert type(native[1]) is PromptValidationError
        assert native[1].args == (f"Adversarial prompt detected ({x}). Request blocked by Nerov Vantor.",)
        assert ctx.layer1.validation_result["reason"] == f"Vantor Security Engine: {x} (Confidence: {x})"
        assert log.lines == [("WARNING", f"Nerov Vantor Blocked Adversarial Request! Category: {x} | Risk: {x} | "
                                         f"Latency: {x}ms")]


class _Odd(Exception):
    def __new__(cls, *args):
        return 5  # calling the class gives no exception


# What the module's PromptValidationError and Layer1ProcessingError may be rebound to.
REBOUND = {"classes": (PromptValidationError, KeyError), "class-returning": lambda message: KeyError,
           "instance-returning": lambda message: KeyError(message), "number-returning": lambda message: 42,
           "odd-returning": lambda message: _Odd, "not-an-exception": int, "tuple-with-a-number": (KeyError, 3)}


@pytest.mark.parametrize("l1", REBOUND)
@pytest.mark.parametrize("pve", REBOUND)
def test_raise_and_except_of_rebound_error_names_act_as_in_python(stage, monkeypatch, pve, l1):
    def failing():
        raise ValueError("no engine")

    monkeypatch.setattr(ps, "PromptValidationError", REBOUND[pve])
    monkeypatch.setattr(ps, "Layer1ProcessingError", REBOUND[l1])
    for prompt in (" ", "hello"):  # refused as meaningless; then the engine's accessor fails
        runs = []
        for native in (True, False):
            ctx, log = types.SimpleNamespace(request=Request(prompt), state={}, metadata={}), Log()
            if native:
                with module_state(None, log, failing):
                    result = outcome(lambda: drive(stage.process(ctx)))
            else:
                result = outcome(lambda: drive(fuzz_reference.process(
                    PromptsiftStage(), ctx, logger=log, get_vantor=failing,
                    errors=(REBOUND[pve], REBOUND[l1]), **{k: v for k, v in MODEL_NAMES.items() if k != "errors"})))
            kind, value = result
            runs.append((kind, type(value), str(value), type(value.__context__) if kind == "raised" else None,
                         log.lines))
        assert runs[0] == runs[1]
