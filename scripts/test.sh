#!/usr/bin/env bash
# Runs every test: sets up (see setup.sh), runs the suite against the normal
# build, then once more against the AddressSanitizer + UndefinedBehaviorSanitizer
# build (set NEROV_SKIP_SANITIZERS=1 to leave that out while iterating).
# Extra arguments go to pytest.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

venv=$("$root/scripts/setup.sh" | tail -n 1)
echo "== test suite (release build)"
"$venv/bin/python" -m pytest "$@"

if [ "${NEROV_SKIP_SANITIZERS:-0}" != 1 ]; then
    asan_venv=$("$root/scripts/setup.sh" --sanitize | tail -n 1)
    echo "== test suite (AddressSanitizer + UndefinedBehaviorSanitizer build)"
    LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:${ASAN_OPTIONS:-}" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}" \
    NEROV_SANITIZED=1 \
        "$asan_venv/bin/python" -m pytest -p no:cacheprovider "$@"
fi
