"""The stage's engine singleton at the process edges: a fork while another
thread builds the engine, and Ctrl-C while waiting for that thread. Each case
runs in a fresh interpreter with a timeout, so that a hang is one failure."""

import subprocess
import sys
import textwrap

PRELUDE = """
import os, signal, sys, threading, time
from nerov.packages.layers.layer1.stages import promptsift as ps

PARENT = os.getpid()
entered, leave = threading.Event(), threading.Event()

class SlowEngine:
    # In the parent, construction waits until the test lets it finish.
    def __init__(self):
        if os.getpid() == PARENT:
            entered.set()
            leave.wait()

ps.VantorEngine = SlowEngine
builder = threading.Thread(target=ps._get_vantor, daemon=True)
builder.start()
entered.wait()
"""


def run_fresh(body, timeout=120):
    code = PRELUDE + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c", code],
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


def test_child_forked_during_engine_construction_builds_its_own():
    out = run_fresh("""
        pid = os.fork()
        if pid == 0:
            signal.alarm(10)  # a child stuck on the inherited lock dies here
            engine = ps._get_vantor()
            os._exit(0 if type(engine) is SlowEngine and ps._LOCAL_BRAIN is engine else 1)
        _, status = os.waitpid(pid, 0)
        leave.set()
        builder.join()
        print(os.waitstatus_to_exitcode(status), type(ps._get_vantor()).__name__)
    """)
    assert out == ["0", "SlowEngine"]


def test_ctrl_c_reaches_a_thread_waiting_for_the_engine():
    out = run_fresh("""
        # As the terminal's Ctrl-C reaches a process whose main thread waits
        # (Ctrl-C's handler in place even if the tests were started ignoring it).
        signal.signal(signal.SIGINT, signal.default_int_handler)
        main = threading.main_thread().ident
        threading.Timer(0.3, signal.pthread_kill, (main, signal.SIGINT)).start()
        started = time.monotonic()
        try:
            ps._get_vantor()
        except KeyboardInterrupt:
            waited = time.monotonic() - started
        leave.set()
        builder.join()
        engine = ps._get_vantor()
        print(waited < 5, type(engine).__name__, ps._get_vantor() is engine)
    """)
    assert out == ["True", "SlowEngine", "True"]


def test_daemon_thread_inside_the_module_at_interpreter_exit():
    # The builder wakes up while the interpreter shuts down and is ended on
    # its way back into the module, which must let it go quietly.
    for _ in range(4):
        assert run_fresh("""
            leave.set()
            print("exiting")
        """) == ["exiting"]


SHIFTING = r"""
import asyncio, types
from collections.abc import Mapping
from nerov.packages.layers.layer1.exceptions import PromptValidationError
from nerov.packages.layers.layer1.stages import promptsift as ps

class Shifting(Mapping):
    # A verdict that answers each read of a key with that key's next answer;
    # one read too many is a KeyError.
    def __init__(self, answers):
        self.answers = {key: list(values) for key, values in answers.items()}

    def __getitem__(self, key):
        return self.answers[key].pop(0)

    def get(self, key, default=None):
        return self[key]

    def __iter__(self):
        return iter(self.answers)

    def __len__(self):
        return len(self.answers)

class Logger:
    def debug(self, line):
        print("debug", line)

    def warning(self, line):
        print("warning", line)

    def error(self, line):
        print("error", line)

ps.logger = Logger()
ps.CapabilityMatcher = lambda tools: types.SimpleNamespace(
    select_for_prompt=lambda prompt, predicted_intent, predicted_scope: (
        print("matcher", predicted_intent, predicted_scope) or (["tool"], "tier")))
verdicts = {
    "pass": {"is_safe": [1, 2, 3, 4, 5], "injection_type": ["T1"], "confidence": [0.1, 0.2, 0.3],
             "latency_ms": [1, 2], "intent": ["I1", "I2", "I3", "I4"], "risk_level": ["R1", "R2", "CRITICAL", "R4"],
             "tool_scope": ["S1", "S2", "S3"], "content_class": ["C1"]},
    "block": {"is_safe": [0, False, "", None, 0.0], "injection_type": ["T1", "T2", "T3", "T4"],
              "confidence": [0.1, 0.2, 0.3, 0.25], "latency_ms": [1, 2], "intent": ["I1", "I2", "I3"],
              "risk_level": ["R1", "R2"], "tool_scope": ["S1", "S2"], "content_class": ["C1"]},
}
for case, answers in verdicts.items():
    verdict = Shifting(answers)
    ps._LOCAL_BRAIN = types.SimpleNamespace(predict=lambda prompt: verdict)
    context = types.SimpleNamespace(request=types.SimpleNamespace(prompt="hello there"), state={},
                                    metadata={}, layer1=types.SimpleNamespace())
    try:
        asyncio.run(ps.PromptsiftStage([]).process(context))
    except PromptValidationError as e:
        print("refused", e)
    written = vars(context.layer1)
    del written["vantor_result"]
    print(case, sorted(written.items()))
    print("left", {key: values for key, values in verdict.answers.items() if values})
"""


def test_each_read_of_the_verdict_is_its_own():
    done = subprocess.run([sys.executable, "-c", SHIFTING], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    pass_written = [
        ("allowed_tools", ["tool"]), ("capabilities", ["i3"]), ("confidence_score", 0.3), ("content_class", "C1"),
        ("execution_recommendation", "require_human_approval"), ("intent", "I2"), ("is_approved", False),
        ("risk_level", "R1"), ("risk_score", 0.1), ("task_category", "action_execution"), ("tool_scope", "S2"),
        ("validation_result", {"is_safe": 1, "reason": "Vantor Security Engine: T1 (Confidence: 0.1)",
                               "risk_flags": [], "confidence": 0.2, "latency_ms": 1, "binding_tier": "tier"})]
    block_written = [
        ("allowed_tools", ["tool"]), ("capabilities", ["i3"]), ("confidence_score", 0.3), ("content_class", "C1"),
        ("execution_recommendation", "block"), ("intent", "I2"), ("is_approved", False), ("risk_level", "R1"),
        ("risk_score", 0.75), ("task_category", "action_execution"), ("tool_scope", "S2"),
        ("validation_result", {"is_safe": 0, "reason": "Vantor Security Engine: T1 (Confidence: 0.1)",
                               "risk_flags": ["T2"], "confidence": 0.2, "latency_ms": 1, "binding_tier": "tier"})]
    assert done.stdout.splitlines() == [
        "matcher I1 S1",
        "debug Layer 1 Vantor Analysis: Safe=True, Intent=I4, Risk=R4, Scope=S3, BindingTier=tier, "
        "Allowed Tools=['tool'], Latency=2ms",
        f"pass {pass_written}",
        "left {}",
        "matcher I1 S1",
        "warning Nerov Vantor Blocked Adversarial Request! Category: T3 | Risk: R2 | Latency: 2ms",
        "refused Adversarial prompt detected (T4). Request blocked by Nerov Vantor.",
        f"block {block_written}",
        "left {}",
    ]
