"""Cost of one ``PromptsiftStage.process`` against the same steps in plain Python.

The same steps are also run compiled by Cython (the compiled peer: the
baseline module built into ``build/bench/`` on first use). All three get an
instant engine (a prebuilt result dict), an instant capability matcher and an
instant IFC context, so what is measured is the stage's own work: reading the
context, the non-semantic test, building the validation result and the
messages, the thirteen assignments and the log call. The stage's logger is at
INFO, as in service: the debug line's values are read by all three, but only
Python makes its text and then drops it. One sample is: create the
coroutine and drive it to completion with ``send(None)`` on the pass path.
Prints the best time of each and the ratios of those, then the median over
the rounds of each round's own ratios (every round runs all of them back to
back, each first in turn, so a slow spell of the machine weighs on both sides
of a ratio alike),
which is what the target (at most 0.70 of either) is judged on; then the cost
of constructing a stage next to that of its capability matcher.

    python bench/bench_promptsift.py [--repeat N] [--number N]
"""

import argparse
import logging
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _compiled  # noqa: E402
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
LIMIT = 0.70


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


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=60)
    parser.add_argument("--number", type=int, default=5000)
    args = parser.parse_args(argv)

    compiled = _compiled.load("baseline_promptsift")
    print(_compiled.LEGEND)
    logging.getLogger(promptsift.logger.name).setLevel(logging.INFO)
    baseline.logger.setLevel(logging.INFO)  # the compiled baseline logs through the same logger
    engine = InstantEngine()
    for module in (promptsift, baseline, compiled):
        module._LOCAL_BRAIN = engine

    stage = promptsift.PromptsiftStage([])
    stage.capability_matcher = InstantMatcher()
    floor_process = lambda context: floor(stage, context)  # noqa: E731
    processes = {
        "native": stage.process,
        "plain": baseline.BaselineStage(InstantMatcher()).process,
        "compiled": compiled.BaselineStage(InstantMatcher()).process,
        "floor": floor_process,
    }
    contexts = {who: make_context() for who in processes}

    # All must do the same thing before their speed is compared.
    for who in ("native", "plain", "compiled"):
        run(processes[who], contexts[who], 1)
        assert vars(contexts[who].layer1) == vars(contexts["native"].layer1), f"{who} and the stage disagree"

    samples = {who: [] for who in processes}
    order = list(processes)
    for k in range(args.repeat):
        for who in order[k % len(order):] + order[:k % len(order)]:  # each goes first in turn
            samples[who].append(run(processes[who], contexts[who], args.number))
    times = {who: min(t) for who, t in samples.items()}
    floor_t = times.pop("floor")
    print(f"floor: {floor_t * 1e9:.0f} ns ({floor_t / times['plain']:.3f} of plain Python: "
          "collaborator calls and context writes alone)")
    _compiled.report("one process (best times)", times, [], lambda t: f"{t * 1e9:.0f} ns")
    per_round = {who: statistics.median(n / o for n, o in zip(samples["native"], samples[who]))
                 for who in ("plain", "compiled")}
    ok = all(ratio <= LIMIT for ratio in per_round.values())
    print(f"one process (median of {args.repeat} per-round ratios): "
          + "  ".join(f"native/{who} {ratio:.3f}" for who, ratio in per_round.items())
          + f"    target native/plain <= {LIMIT:.2f}, native/compiled <= {LIMIT:.2f}: {'ok' if ok else 'MISSED'}")

    tools = [len, print, sorted]
    stage_new, matcher_new = _compiled.best_each(
        [lambda: promptsift.PromptsiftStage(tools), lambda: promptsift.CapabilityMatcher(tools)],
        args.repeat, args.number)
    print(f"stage construction: {stage_new * 1e9:8.0f} ns (its matcher alone: {matcher_new * 1e9:.0f} ns)")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
