# Sourced by the project's scripts: finds CPython 3.13 with its headers and venv.
#   find_python        prints the interpreter's path, or fails
#   is_py313 P         whether P is such an interpreter
#   find_debug_python  the same for a debug build of 3.13 (one with sys.gettotalrefcount)
#   is_py313_debug P   whether P is such a debug interpreter
# Order: NEROV_PYTHON, pyenv's 3.13 versions (newest first), python3.13 on the PATH,
# /usr/local/bin and /usr/bin. For the debug build: NEROV_DEBUG_PYTHON, pyenv's
# 3.13 debug versions (3.13.N-debug), python3.13d (Debian's python3.13-dbg) on
# the PATH, /usr/local/bin and /usr/bin.

# (The checks print a word, so that a program which is no interpreter at all
# and exits 0 is not taken for one.)
is_py313() {
    [ -n "$1" ] && [ -x "$1" ] || return 1
    [ "$("$1" - <<'PY' 2>/dev/null
import sys, sysconfig, os
assert sys.version_info[:2] == (3, 13)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
import venv, ensurepip
print("py313")
PY
)" = py313 ]
}

is_py313_debug() {
    is_py313 "$1" && [ "$("$1" -c 'import sys; print(hasattr(sys, "gettotalrefcount"))' 2>/dev/null)" = True ]
}

# find_in CHECK VAR PYENV_PATTERN NAME: the interpreter that VAR names, or the
# first that CHECK accepts of pyenv's versions matching PYENV_PATTERN (newest
# first), NAME on the PATH, /usr/local/bin/NAME and /usr/bin/NAME.
find_in() {
    local check=$1 var=$2 pattern=$3 name=$4 c v
    if [ -n "${!var:-}" ]; then
        "$check" "${!var}" && { echo "${!var}"; return; }
        echo "$var=${!var} is not a suitable CPython 3.13 (with headers and venv)." >&2
        return 1
    fi
    if command -v pyenv >/dev/null 2>&1; then
        for v in $(pyenv versions --bare 2>/dev/null | grep -E "$pattern" | sort -t. -k3,3nr); do
            c="$(pyenv root)/versions/$v/bin/python3.13"
            "$check" "$c" && { echo "$c"; return; }
        done
    fi
    for c in "$(command -v "$name" 2>/dev/null || true)" "/usr/local/bin/$name" "/usr/bin/$name"; do
        "$check" "$c" && { echo "$c"; return; }
    done
    return 1
}

find_python() { find_in is_py313 NEROV_PYTHON '^3\.13(\.[0-9]+)?$' python3.13; }
find_debug_python() { find_in is_py313_debug NEROV_DEBUG_PYTHON '^3\.13(\.[0-9]+)?-debug$' python3.13d; }
