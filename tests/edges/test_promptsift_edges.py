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
