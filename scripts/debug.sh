#!/usr/bin/env bash
# The debug stage: the whole test suite against a debug build of CPython 3.13
# (one with sys.gettotalrefcount, Py_DEBUG and the interpreter's own
# assertions), with the modules built against its headers in a Debug build
# (no NDEBUG: the C API's inline assertions and ours are checked). Besides the
# release build's checks it catches a reference leaked or released twice by
# our code (tests/stress/test_memory.py counts the interpreter's reference
# total, which only a debug build keeps) and a C API misuse that a debug
# interpreter asserts on.
#
#   scripts/debug.sh [PYTEST-ARGS...]
#
# Which interpreter, first found:
#   1. a debug CPython 3.13 on this machine: NEROV_DEBUG_PYTHON, pyenv's
#      3.13.N-debug, or python3.13d (Debian's python3.13-dbg); see find-python.sh;
#   2. the Debian 13 chroot that scripts/debug-chroot.sh makes (its python3.13d,
#      3.13.5, with g++ 14): the one NEROV_DEBUG_CHROOT names (made when
#      missing), or the default one once made (.ci/run makes it). Needs root.
# With none, prints one line saying so and how to get one, and succeeds,
# unless NEROV_DEBUG_REQUIRED=1 (CI), which makes that a failure.
# The environment is .venv-debug with its build in build/debug (in the chroot,
# both live inside the chroot). In the chroot this clone is /src: give paths
# in PYTEST-ARGS relative to the clone.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# shellcheck source=find-python.sh
. "$root/scripts/find-python.sh"

if python=$(find_debug_python 2>/dev/null); then
    venv=$("$root/scripts/setup.sh" --debug | tail -n 1)
    "$venv/bin/python" - <<'PY'
import platform, sys
print(f"debug interpreter: {sys.executable} {platform.python_version()} (abiflags {sys.abiflags!r})")
PY
    echo "compiler: $("${CXX:-c++}" --version | head -n 1)"
    # Left out: the stand-ins' time limit on megabyte prompts, pure Python
    # that a debug interpreter runs several times slower (no native code).
    exec "$venv/bin/python" -m pytest -p no:cacheprovider \
        --deselect tests/standins/test_engine.py::test_megabyte_inputs_finish_fast "$@"
fi
if [ -n "${NEROV_DEBUG_PYTHON:-}" ]; then
    find_debug_python >/dev/null  # says why it is refused
    exit 1
fi

default_chroot="${XDG_CACHE_HOME:-$HOME/.cache}/nerov/debian13"
if [ -n "${NEROV_DEBUG_CHROOT:-}" ] || [ -f "$default_chroot/.nerov-provisioned" ]; then
    if [ "$(id -u)" = 0 ]; then
        chroot_dir=$("$root/scripts/debug-chroot.sh" provision)
        echo "debug interpreter: python3.13d of the Debian 13 chroot in $chroot_dir"
        NEROV_DEBUG_REQUIRED=1 exec "$root/scripts/debug-chroot.sh" run scripts/debug.sh "$@"
    fi
    echo "debug stage: the Debian 13 chroot needs root" >&2
fi

message="debug stage skipped: no debug CPython 3.13 here (set NEROV_DEBUG_PYTHON to a python3.13d, install Debian 13's python3.13-dbg, or as root run 'scripts/debug-chroot.sh provision' once to make a Debian 13 chroot with one)"
if [ "${NEROV_DEBUG_REQUIRED:-0}" = 1 ]; then
    echo "error: $message" >&2
    exit 1
fi
echo "$message"
