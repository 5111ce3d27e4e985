"""Eight threads hammering the resolver and the stage for a bounded time
(NEROV_STRESS_SECONDS, default 2 s per test) with the interpreter switching
threads as often as it can: no crash, no hang, no outcome but the documented
ones, and one engine per process.

Each worker checks every call's outcome itself; anything else it meets ends
the test with that thread's traceback. The calls made per operation are
printed (pytest -s) and recorded as test properties."""

import asyncio
import json
import os
import sys
import threading
import time
import traceback

import pytest
from stress_support import (
    BLOCK_RESULT, BLOCKED, CORE_MARKER, CORRUPT, FOUND, MISMATCH, NLI_MARKER, NON_SEMANTIC, PASS_RESULT,
    Counter, Layer1ProcessingError, PromptValidationError, artifax, context, logs_to, make_tree, manifest_of,
    model_root, ps, run,
)

from nerov.packages.governance.ifc import TaintLevel

SECONDS = float(os.environ.get("NEROV_STRESS_SECONDS", "2"))
THREADS = 8


def hammer(workers, seconds=SECONDS):
    """Starts each worker(deadline, count) in its own thread at the same
    moment and waits for all. Returns (elapsed seconds, calls per key)."""
    counter, errors = Counter(), []
    barrier = threading.Barrier(len(workers))

    def body(worker):
        counts = {}

        def count(key):
            counts[key] = counts.get(key, 0) + 1
        try:
            barrier.wait()
            worker(time.monotonic() + seconds, count)
        except BaseException:
            errors.append(f"{threading.current_thread().name}:\n{traceback.format_exc()}")
            barrier.abort()
        finally:
            for key, n in counts.items():
                counter.add(key, n)

    threads = [threading.Thread(target=body, args=(w,), name=f"stress-{i}", daemon=True)
               for i, w in enumerate(workers)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    start = time.monotonic()
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join(seconds + 60)
    finally:
        sys.setswitchinterval(interval)
    elapsed = time.monotonic() - start
    assert not [t.name for t in threads if t.is_alive()], "threads hung"
    assert not errors, errors[0]
    return elapsed, counter


def report(title, elapsed, counter, record_property):
    record_property("seconds", round(elapsed, 3))
    record_property("calls", dict(counter.counts))
    total = sum(counter.counts.values())
    print(f"\n{title}: {total} calls in {elapsed:.2f}s over {THREADS} threads", *counter.lines(), sep="\n")


class NullOut:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


# ---------------------------------------------------------------------------
# The resolver

def test_resolver_under_threads_and_cache_resets(tmp_path, monkeypatch, sink, record_property):
    core = model_root(tmp_path / "core", {CORE_MARKER: b"core", NLI_MARKER: b"nli", "tok/vocab.txt": b"v"})
    monkeypatch.setenv("NEROV_MODELS_DIR", core)
    files = {"a.onnx": b"aaa", "sub/b.onnx": b"bbb"}
    roots = {  # fresh again after every reset from outside
        model_root(tmp_path / "good", files): None,
        model_root(tmp_path / "bad", files, manifest={"files": {"a.onnx": {"sha256": "0" * 64}}}): MISMATCH,
        model_root(tmp_path / "corrupt", files, raw=b'{"files": []}'): CORRUPT,
        model_root(tmp_path / "broken", files, raw=b"{not json"): CORRUPT,
    }
    tree = make_tree(tmp_path / "tree", {**files, "c/d/e.json": b"{}", "manifest.json": b"old"})
    expected = manifest_of({**files, "c/d/e.json": b"{}"}, "1")
    nli = os.path.join(core, NLI_MARKER)

    def resolver(i):
        own = make_tree(tmp_path / f"own-{i}", files)
        own_dest = os.path.join(own, "manifest.json")
        own_manifest = manifest_of(files, str(i))

        def work(deadline, count):
            k = i
            while time.monotonic() < deadline:
                step = k % 7
                if step == 0:
                    assert artifax.resolve_core_models_root() == core
                    count("resolve_core_models_root")
                elif step == 1:
                    assert artifax.resolve_artifact(NLI_MARKER) == nli
                    assert artifax.resolve_artifact("absent.onnx") is None
                    count("resolve_artifact")
                elif step == 2:
                    for root in roots:
                        assert artifax._verify_if_present(root) is None
                    count("_verify_if_present (4 roots)")
                elif step == 3:
                    assert artifax.generate_manifest(tree, "1") == expected
                    count("generate_manifest")
                elif step == 4:
                    assert artifax.write_manifest(own, str(i)) == own_dest
                    with open(own_dest, encoding="utf-8") as f:
                        assert json.load(f) == own_manifest
                    count("write_manifest")
                elif step == 5:
                    assert artifax._iter_all_roots()[0] == core
                    count("_iter_all_roots")
                else:
                    assert artifax.cli_download() is None
                    count("cli_download")
                k += 1
        return work

    def resetter(deadline, count):
        k = 0
        while time.monotonic() < deadline:
            artifax._resolved_core_root = artifax._UNSET
            if k % 2:
                artifax._verified_roots = set()
            else:
                artifax._verified_roots.clear()
            count("cache reset (from outside)")
            k += 1
            time.sleep(0.0002)

    with logs_to(sink), monkeypatch.context() as m:
        m.setattr(sys, "stdout", NullOut())
        elapsed, counter = hammer([resolver(i) for i in range(THREADS)] + [resetter])
    report("resolver", elapsed, counter, record_property)
    assert sink.seen <= {FOUND, MISMATCH, CORRUPT} and {MISMATCH, CORRUPT} <= sink.seen
    assert all(counter.counts.get(key) for key in ("resolve_core_models_root", "write_manifest", "cli_download"))


# ---------------------------------------------------------------------------
# The stage

TOOLS = ["search_web", "send_email", "read_calendar"]
KINDS = ("pass", "block", "approved", "reject", "failure")


class ScriptedEngine:
    """The engine's verdict follows the prompt's first word; construction is
    slow and counted."""

    built = []
    delay = 0.05
    fail_every = 0  # every n-th construction raises OSError (0: never)
    attempts = 0

    def __init__(self):
        cls = type(self)
        cls.attempts += 1
        attempt = cls.attempts
        time.sleep(cls.delay)
        if cls.fail_every and attempt % cls.fail_every == 0:
            raise OSError("model missing")
        cls.built.append(self)

    def predict(self, prompt):
        word = prompt.split(None, 1)[0]
        if word == "fail":
            raise RuntimeError("engine failure")
        return BLOCK_RESULT if word in ("block", "approve") else PASS_RESULT


@pytest.fixture
def engine_class(monkeypatch):
    cls = type("Engine", (ScriptedEngine,), {"built": []})
    monkeypatch.setattr(ps, "_LOCAL_BRAIN", None)
    monkeypatch.setattr(ps, "VantorEngine", cls)
    return cls


def request(kind):
    prompts = {"pass": "pass: what is on my calendar?", "block": "block all the rules",
               "approved": "approve this one", "reject": " ?! ", "failure": "fail loudly"}
    return context(prompts[kind], metadata={"is_approved": kind == "approved"})


def check(kind, ctx, exc, extra_failures=()):
    """That one request ended as its kind says it must."""
    if kind in ("pass", "approved"):
        assert exc is None, exc
        assert ctx.layer1.vantor_result is (PASS_RESULT if kind == "pass" else BLOCK_RESULT)
        assert ctx.layer1.is_approved is (kind == "approved")
        assert ctx.state["ifc"].taint_of("user_prompt") is TaintLevel.UNTRUSTED
    elif kind == "block":
        assert type(exc) is PromptValidationError and str(exc) == BLOCKED
        assert ctx.layer1.execution_recommendation == "block"
    elif kind == "reject":
        assert type(exc) is PromptValidationError and str(exc) == NON_SEMANTIC and ctx.state == {}
    else:
        assert type(exc) is Layer1ProcessingError, exc
        assert str(exc) == "Failed to analyze request: engine failure" and type(exc.__context__) is RuntimeError


def outcome(coro):
    try:
        run(coro)
    except (PromptValidationError, Layer1ProcessingError) as exc:
        return exc
    return None


async def batch(coros):
    return await asyncio.gather(*coros, return_exceptions=True)


def stage_worker(i, shared):
    own = ps.PromptsiftStage(TOOLS)

    def pick(k):
        return (shared, own, None)[k % 3] or ps.PromptsiftStage(TOOLS)

    def work(deadline, count):
        k = i
        while time.monotonic() < deadline:
            kind = KINDS[k % len(KINDS)]
            ctx = request(kind)
            check(kind, ctx, outcome(pick(k).process(ctx)))
            count(f"process: {kind}")
            if k % 10 == 0:
                assert type(ps._get_vantor()) is ps.VantorEngine
                count("_get_vantor")
            k += 1

    def work_in_event_loop(deadline, count):
        loop = asyncio.new_event_loop()
        try:
            k = 0
            while time.monotonic() < deadline:
                kinds = [KINDS[(k + j) % len(KINDS)] for j in range(len(KINDS))]
                contexts = [request(kind) for kind in kinds]
                coros = [pick(k + j).process(c) for j, c in enumerate(contexts)]
                done = loop.run_until_complete(batch(coros))
                for kind, ctx, result in zip(kinds, contexts, done):
                    check(kind, ctx, result)
                    count(f"process: {kind} (event loop)")
                k += 1
        finally:
            loop.close()

    return work_in_event_loop if i == THREADS - 1 else work


def test_stage_under_threads_builds_one_engine(engine_class, sink, record_property):
    shared = ps.PromptsiftStage(TOOLS)
    with logs_to(sink):
        elapsed, counter = hammer([stage_worker(i, shared) for i in range(THREADS)])
    counter.add("engines built", len(engine_class.built))
    report("stage", elapsed, counter, record_property)
    assert engine_class.attempts == 1 and engine_class.built == [ps._LOCAL_BRAIN]
    assert all(counter.counts.get(f"process: {kind}") for kind in KINDS)


def test_engine_reset_from_outside_is_rebuilt_once_per_reset(engine_class, sink, record_property):
    """With the slot emptied from outside again and again and some
    constructions failing, every reset gives at most one new engine and a
    failed construction only the documented errors."""
    engine_class.delay, engine_class.fail_every = 0.001, 4
    shared = ps.PromptsiftStage(TOOLS)
    missing = "Failed to analyze request: model missing"

    def worker(i):
        def work(deadline, count):
            k = i
            while time.monotonic() < deadline:
                if k % 2:
                    ctx = request("pass")
                    exc = outcome(shared.process(ctx))
                    if exc is not None and str(exc) == missing:
                        assert type(exc) is Layer1ProcessingError and type(exc.__context__) is OSError
                        count("process: engine construction failed")
                    else:
                        check("pass", ctx, exc)
                        count("process: pass")
                else:
                    try:
                        engine = ps._get_vantor()
                    except OSError as exc:
                        assert str(exc) == "model missing"
                        count("_get_vantor: construction failed")
                    else:
                        assert type(engine) is engine_class
                        count("_get_vantor")
                k += 1
        return work

    def resetter(deadline, count):
        while time.monotonic() < deadline:
            ps._LOCAL_BRAIN = None
            count("engine reset (from outside)")
            time.sleep(0.003)

    with logs_to(sink):
        elapsed, counter = hammer([worker(i) for i in range(THREADS)] + [resetter])
    counter.add("engines built", len(engine_class.built))
    report("engine resets", elapsed, counter, record_property)
    resets = counter.counts["engine reset (from outside)"]
    assert 1 <= len(engine_class.built) <= resets + 1
    # Each failed construction reached exactly the one caller that made it.
    failed = engine_class.attempts - len(engine_class.built)
    assert failed == engine_class.attempts // 4 == (counter.counts.get("process: engine construction failed", 0)
                                                    + counter.counts.get("_get_vantor: construction failed", 0))
