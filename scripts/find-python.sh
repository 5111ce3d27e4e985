# Sourced by the project's scripts: finds CPython 3.13 with its headers and venv.
#   find_python   prints the interpreter's path, or fails
#   is_py313 P    whether P is such an interpreter
# Order: NEROV_PYTHON, pyenv's 3.13 versions (newest first), python3.13 on the PATH,
# /usr/local/bin and /usr/bin.

is_py313() {
    [ -n "$1" ] && [ -x "$1" ] || return 1
    "$1" - <<'PY' >/dev/null 2>&1
import sys, sysconfig, os
assert sys.version_info[:2] == (3, 13)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
import venv, ensurepip
PY
}

find_python() {
    local c v
    if [ -n "${NEROV_PYTHON:-}" ]; then
        is_py313 "$NEROV_PYTHON" && { echo "$NEROV_PYTHON"; return; }
        echo "NEROV_PYTHON=$NEROV_PYTHON is not a CPython 3.13 with headers and venv." >&2
        return 1
    fi
    if command -v pyenv >/dev/null 2>&1; then
        for v in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.13(\.[0-9]+)?$' | sort -t. -k3,3nr); do
            c="$(pyenv root)/versions/$v/bin/python3.13"
            is_py313 "$c" && { echo "$c"; return; }
        done
    fi
    for c in "$(command -v python3.13 2>/dev/null || true)" /usr/local/bin/python3.13 /usr/bin/python3.13; do
        is_py313 "$c" && { echo "$c"; return; }
    done
    return 1
}
