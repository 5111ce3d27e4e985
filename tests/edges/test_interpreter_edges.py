"""The modules' lookup caches at the edges of the interpreter: an import that
fails in a subinterpreter or in the main interpreter, and another library's
dict watcher given the id one of ours had. Runs in a fresh interpreter with a
timeout."""

import subprocess
import sys

WATCHERS = r"""
import ctypes

api = ctypes.pythonapi
Callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)
api.PyDict_AddWatcher.argtypes = [Callback]
api.PyDict_ClearWatcher.argtypes = [ctypes.c_int]
never_called = Callback(lambda *change: 0)  # it watches no dict

def free_watcher_id():
    # The id that the next dict watcher of this interpreter would be given.
    taken = api.PyDict_AddWatcher(never_called)
    api.PyDict_ClearWatcher(taken)
    return taken

def import_without(blocked, name):
    # import `name` while the standard module `blocked` cannot be imported
    import importlib, sys
    saved = sys.modules.get(blocked)
    sys.modules[blocked] = None
    try:
        importlib.import_module(name)
    except Exception as e:
        return e
    finally:
        if saved is None:
            del sys.modules[blocked]
        else:
            sys.modules[blocked] = saved
"""

IN_SUBINTERPRETER = WATCHERS + r"""
before = free_watcher_id()
# pydantic refuses isolated subinterpreters; the resolver is stopped by json.
try:
    import nerov.packages.layers.layer1.stages.promptsift
    raise AssertionError("the stage imported in a subinterpreter")
except ImportError:
    pass
assert import_without("json", "nerov.packages.brain.artifax") is not None
assert free_watcher_id() == before, "a failed import kept a dict watcher"
"""

SCRIPT = WATCHERS + r"""
import _interpreters, weakref

sub = _interpreters.create(_interpreters.new_config("isolated"))
failure = _interpreters.run_string(sub, IN_SUBINTERPRETER)
assert failure is None, failure.formatted
_interpreters.destroy(sub)

# Another library takes a dict watcher here: the first free id, the one the
# modules took in the subinterpreter.
heard = []
other_library = Callback(lambda event, *change: heard.append(event) or 0)
assert api.PyDict_AddWatcher(other_library) >= 0

# Failed imports here, one of them at the stage's last step, leave neither a
# watcher nor a module object behind.
import gc, types
from nerov.packages.layers.layer1 import base
MODULES = ("nerov.packages.brain.artifax", "nerov.packages.layers.layer1.stages.promptsift")

class Refusing(type):
    def __new__(mcls, name, bases, namespace):
        if name == "PromptsiftStage":
            raise RuntimeError("no stage class")
        return super().__new__(mcls, name, bases, namespace)

before = free_watcher_id()
assert import_without("hashlib", MODULES[0]) is not None
stage_base, base.Layer1Stage = base.Layer1Stage, Refusing("Layer1Stage", (), {})
try:
    __import__(MODULES[1])
    raise AssertionError("the stage imported on a refusing base")
except RuntimeError:
    pass
base.Layer1Stage = stage_base
gc.collect()
assert free_watcher_id() == before, "a failed import kept a dict watcher"
assert not [m for m in gc.get_objects() if isinstance(m, types.ModuleType) and m.__name__ in MODULES]

from nerov.packages.brain import artifax
from nerov.packages.layers.layer1.stages import promptsift as ps

for n in range(3):  # made afresh, so freed as soon as nothing holds them
    artifax._resolved_core_root = "/root" + str(n)
    assert artifax.resolve_core_models_root() == "/root" + str(n)

class Engine:
    pass

first = Engine()
gone = weakref.ref(first)
ps._LOCAL_BRAIN = first
assert ps._get_vantor() is first
ps._LOCAL_BRAIN = second = Engine()
del first
assert ps._get_vantor() is second
assert gone() is None, "a remembered lookup kept an engine that was rebound away"
assert heard == [], "the other library's watcher heard of our namespaces"
print("ok")
"""


def test_failed_imports_leave_no_watcher_and_lookups_follow_their_own():
    code = f"IN_SUBINTERPRETER = {IN_SUBINTERPRETER!r}\n" + SCRIPT
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["ok"]
