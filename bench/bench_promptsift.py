"""Cost of one ``PromptsiftStage.process`` against the same steps in plain Python.

Both stages get an instant engine (a prebuilt result dict), an instant
capability matcher and an instant IFC context, so what is measured is the
stage's own work: reading the context, the non-semantic test, building the
validation result and the messages, the thirteen assignments and the log call.
One sample is: create the coroutine and drive it to completion with
``send(None)`` on the pass path. Prints the best time of each and the ratio,
then the cost of constructing a stage next to that of its capability matcher.

    python bench/bench_promptsift.py [--repeat N] [--number N]
"""

import argparse
import logging
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import baseline_promptsift as baseline  # noqa: E402
from nerov.packages.context import ExecutionContext  # noqa: E402
from nerov.packages.layers.layer1.stages import promptsift  # noqa: E402

RESULT = {
    "is_safe": True,
    "injection_type": "none",
    "confidence": 0.97,
    "latency_ms": 4.213,
    "intent": "information_retrieval",
    "risk_level": "LOW",
    "tool_scope": "read_only",
    "content_class": "benign",
}
MATCH = (["search_web", "read_docs"], "scoped")
LIMIT = 0.40


class InstantEngine:
    def predict(self, prompt):
        return RESULT


class InstantMatcher:
    def select_for_prompt(self, prompt, *, predicted_intent=None, predicted_scope=None):
        return MATCH


class InstantIFC:
    def tag(self, label, level):
        return level


async def floor(stage, context):
    """What any implementation of the stage must pay, written in Python, where
    reading `context.layer1` is cheapest: the four collaborator calls and the
    thirteen writes on the context, every value already at hand."""
    result = _LOCAL_BRAIN.predict("x")
    stage.capability_matcher.select_for_prompt("x", predicted_intent=None, predicted_scope=None)
    context.state["ifc"].tag("user_prompt", 2)
    context.metadata.get("is_approved", False)
    context.layer1.is_approved = False
    context.layer1.validation_result = result
    context.layer1.intent = 1
    context.layer1.task_category = 1
    context.layer1.capabilities = 1
    context.layer1.confidence_score = 1
    context.layer1.allowed_tools = 1
    context.layer1.risk_level = 1
    context.layer1.risk_score = 1
    context.layer1.vantor_result = result
    context.layer1.tool_scope = 1
    context.layer1.content_class = 1
    context.layer1.execution_recommendation = 1
    promptsift.logger.debug("x")


_LOCAL_BRAIN = InstantEngine()


def make_context():
    context = ExecutionContext.for_prompt("  What is the weather like in Lisbon tomorrow?  ")
    context.state["ifc"] = InstantIFC()
    return context


def run(process, context, number):
    clock = time.perf_counter
    start = clock()
    for _ in range(number):
        coro = process(context)
        try:
            coro.send(None)
        except StopIteration:
            pass
    return (clock() - start) / number


def best_of(repeat, number, fn, *args):
    clock = time.perf_counter
    times = []
    for _ in range(repeat):
        start = clock()
        for _ in range(number):
            fn(*args)
        times.append((clock() - start) / number)
    return min(times)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--number", type=int, default=20000)
    args = parser.parse_args(argv)

    logging.getLogger(promptsift.logger.name).setLevel(logging.INFO)
    baseline.logger.setLevel(logging.INFO)
    engine = InstantEngine()
    promptsift._LOCAL_BRAIN = engine
    baseline._LOCAL_BRAIN = engine

    stage = promptsift.PromptsiftStage([])
    stage.capability_matcher = InstantMatcher()
    plain = baseline.BaselineStage(InstantMatcher())
    native_ctx, plain_ctx = make_context(), make_context()

    # Both must do the same thing before their speed is compared.
    run(stage.process, native_ctx, 1)
    run(plain.process, plain_ctx, 1)
    assert vars(native_ctx.layer1) == vars(plain_ctx.layer1), "baseline and stage disagree"

    floor_ctx = make_context()
    floor_process = lambda context: floor(stage, context)  # noqa: E731
    native, plain_t, floor_t = [], [], []
    for _ in range(args.repeat):
        native.append(run(stage.process, native_ctx, args.number))
        plain_t.append(run(plain.process, plain_ctx, args.number))
        floor_t.append(run(floor_process, floor_ctx, args.number))
    best_native, best_plain, best_floor = min(native), min(plain_t), min(floor_t)
    ratio = best_native / best_plain
    print(f"native process:  {best_native * 1e9:8.0f} ns")
    print(f"python baseline: {best_plain * 1e9:8.0f} ns")
    print(
        f"floor:           {best_floor * 1e9:8.0f} ns ({best_floor / best_plain:.3f} of the baseline: "
        "collaborator calls and context writes alone)"
    )
    print(f"ratio: {ratio:.3f} (limit {LIMIT:.2f}) {'ok' if ratio <= LIMIT else 'TOO SLOW'}")

    tools = [len, print, sorted]
    stage_new = best_of(args.repeat, args.number, promptsift.PromptsiftStage, tools)
    matcher_new = best_of(args.repeat, args.number, promptsift.CapabilityMatcher, tools)
    print(f"stage construction: {stage_new * 1e9:8.0f} ns (its matcher alone: {matcher_new * 1e9:.0f} ns)")
    return 0 if ratio <= LIMIT else 1


if __name__ == "__main__":
    sys.exit(main())
