"""Module-level names are looked up afresh on every call: whatever the native
functions remember between calls must follow every change of the module's
namespace and of the builtins on the very next call. Run in a fresh
interpreter, since the last step clears a module's namespace."""

import subprocess
import sys

SCRIPT = r"""
import builtins, os, sys, tempfile
from nerov.packages.brain import artifax
from nerov.packages.layers.layer1.stages import promptsift as ps

def name_error(fn, *args):
    try:
        fn(*args)
    except NameError as exc:
        return exc.name
    raise AssertionError("no NameError")

root = artifax.resolve_core_models_root
for value in ("/a", "/b", None, "/c"):  # rebinding, each seen at once
    artifax._resolved_core_root = value
    assert root() == value, (root(), value)
del artifax._resolved_core_root
assert name_error(root) == "_resolved_core_root"
artifax._resolved_core_root = "/again"
assert root() == "/again"
unset = artifax._UNSET
artifax._UNSET = "/again"  # the cached value now reads as unset: a search runs
os.environ["NEROV_MODELS_DIR"] = ""
artifax.__file__ = os.path.join(tempfile.mkdtemp(), "artifax.so")
artifax._verified_roots = set()
assert root() is None and artifax._resolved_core_root is None
artifax._UNSET = unset

path = os.path.join(tempfile.mkdtemp(), "blob")
with open(path, "wb") as f:
    f.write(b"abc")
digest = artifax._sha256(path)
opened, real_open = [], builtins.open
def spy(*args, **kwargs):
    opened.append(args[0])
    return real_open(*args, **kwargs)
artifax.open = spy  # a global shadowing the builtin
assert artifax._sha256(path) == digest and opened == [path]
del artifax.open  # the builtin again
assert artifax._sha256(path) == digest and opened == [path]
del builtins.open
try:
    assert name_error(artifax._sha256, path) == "open"
finally:
    builtins.open = real_open
builtins.open = spy  # a builtin rebound
try:
    assert artifax._sha256(path) == digest and opened == [path, path]
finally:
    builtins.open = real_open

ps._LOCAL_BRAIN = "engine"
assert ps._get_vantor() == "engine"
ps.__dict__["_LOCAL_BRAIN"] = "other"
assert ps._get_vantor() == "other"

get_vantor = ps._get_vantor
ps.__dict__.clear()
assert name_error(get_vantor) == "_LOCAL_BRAIN"
ps.__dict__["_LOCAL_BRAIN"] = "back"
assert get_vantor() == "back"
print("ok")
"""


def test_every_namespace_change_counts_from_the_next_call():
    done = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["ok"]
