#!/usr/bin/env bash
# Runs every test, after setting up (see setup.sh):
#   1. the suite against the release build (.venv);
#   2. the typed stubs against that build (stubtest.sh);
#   3. the suite against the AddressSanitizer + UndefinedBehaviorSanitizer build (.venv-asan);
#   4. the suite under valgrind memcheck, failing on memory our modules lose (valgrind.sh);
#   5. the manylinux wheel, installed into a fresh environment and tested there (wheel.sh);
#   6. the suite against a debug build of CPython 3.13, with the modules built with C API
#      assertions on, the reference-leak test included (debug.sh): on a debug interpreter
#      found here or named by NEROV_DEBUG_PYTHON, or in the Debian 13 chroot that
#      debug-chroot.sh makes (NEROV_DEBUG_CHROOT, or the default one once made); without
#      one it prints a line saying it is skipped.
# Extra arguments go to pytest in steps 1, 3 and 6. While iterating, leave steps out with
# NEROV_SKIP, a comma-separated list of: stubs, sanitizers, valgrind, wheel, debug
# (NEROV_SKIP_SANITIZERS=1 is the same as NEROV_SKIP=sanitizers).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

skip=",${NEROV_SKIP:-},"
[ "${NEROV_SKIP_SANITIZERS:-0}" = 1 ] && skip="$skip,sanitizers,"
wanted() { [[ "$skip" != *",$1,"* ]]; }
# Each stage's heading, and how long the one before it took.
step_start=$SECONDS
step() {
    [ -n "${step_name:-}" ] && printf '== %s: %d s\n' "$step_name" $((SECONDS - step_start))
    step_name=$*
    step_start=$SECONDS
    [ -n "$step_name" ] && printf '\n== %s\n' "$step_name"
    return 0
}

step "release build (setup.sh)"
venv=$("$root/scripts/setup.sh" | tail -n 1)
step "test suite (release build)"
"$venv/bin/python" -m pytest "$@"

if wanted stubs; then
    step "typed stubs against the release build"
    "$root/scripts/stubtest.sh" "$venv"
fi

if wanted sanitizers; then
    asan_venv=$("$root/scripts/setup.sh" --sanitize | tail -n 1)
    step "test suite (AddressSanitizer + UndefinedBehaviorSanitizer build)"
    LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:${ASAN_OPTIONS:-}" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}" \
    NEROV_SANITIZED=1 \
        "$asan_venv/bin/python" -m pytest -p no:cacheprovider "$@"
fi

if wanted valgrind; then
    step "test suite under valgrind memcheck"
    "$root/scripts/valgrind.sh" "$venv"
fi

if wanted wheel; then
    step "manylinux wheel in a fresh environment"
    "$root/scripts/wheel.sh"
fi

if wanted debug; then
    step "test suite (debug CPython 3.13, C API assertions on)"
    "$root/scripts/debug.sh" "$@"
fi
step ""
