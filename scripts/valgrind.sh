#!/usr/bin/env bash
# Runs the test suite once under valgrind memcheck, with the interpreter's own
# allocator bypassed (PYTHONMALLOC=malloc) so that every object is a heap
# block valgrind tracks, and fails on any block definitely lost from our code
# and on any memory error (invalid read or write, use of uninitialised
# memory, bad free) with a frame in our extension modules.
#
#   scripts/valgrind.sh [VENV] [-- PYTEST-ARGS...]
#
# VENV is an environment with the modules installed (default: the release
# environment that scripts/setup.sh makes). PYTEST-ARGS replace the default
# selection. Installs valgrind with apt-get when it is missing.
#
# Left out by default, as pointless or far too slow under valgrind:
#   tests/stress/test_memory.py  thousands of repetitions of every operation
#                                (it counts the interpreter's blocks, which
#                                PYTHONMALLOC=malloc takes away)
#   tests/fuzz                   hundreds of generated examples per property,
#                                huge and deeply nested inputs among them
#   tests/standins               the pure-Python stand-ins alone (no native
#                                code), with time limits on megabyte inputs
#   tests/tools/test_commands.py the commands driven as a user drives them:
#   tests/tools/test_models.py
#                                dozens of fresh interpreters, each one
#                                minutes under valgrind, for the Python
#                                command layer (the stage calls they make
#                                are the ones the rest of the suite checks)
# The thread stress tests run for NEROV_STRESS_SECONDS (default here 1)
# each. Tests that start a fresh interpreter (module loading, the commands)
# run that interpreter under valgrind too (--trace-children=yes).
#
# Which lost blocks are ours: those with a frame of our modules in their
# allocation stack, except what imports allocate (those our modules make
# when executed, imports an operation starts, and pydantic building the
# record class while promptsift is executed): a release interpreter leaks
# such blocks at exit by design, whoever started the import. Our
# modules' interned names are immortal strings, leaked at exit the same way;
# valgrind.supp suppresses them. Dicts, lists, tuples and floats come from
# the interpreter's free lists, so a leaked one may carry the stack of an
# earlier allocation elsewhere; tests/stress/test_memory.py catches those by
# counting blocks. valgrind's own --error-exitcode is not used: the
# interpreter's exit leaks would always trigger it and hide pytest's status,
# so the logs are read instead.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

venv=""
if [ $# -gt 0 ] && [ "$1" != "--" ]; then
    venv=$1
    shift
fi
[ "${1:-}" = "--" ] && shift
if [ -z "$venv" ]; then
    venv=$("$root/scripts/setup.sh" | tail -n 1)
fi
venv=$(cd "$venv" && pwd)
python="$venv/bin/python"

if ! command -v valgrind >/dev/null 2>&1; then
    echo "Installing valgrind" >&2
    sudo=()
    [ "$(id -u)" != 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q valgrind
fi

if [ $# -gt 0 ]; then
    selection=("$@")
else
    selection=(tests --ignore=tests/stress/test_memory.py --ignore=tests/fuzz --ignore=tests/standins
               --ignore=tests/tools/test_commands.py --ignore=tests/tools/test_models.py)
fi

logs=$(mktemp -d "${TMPDIR:-/tmp}/nerov-valgrind.XXXXXX")
# The logs (about 100 MB) are kept only when the check fails.
keep_logs=0
trap '[ "$keep_logs" = 1 ] || rm -rf "$logs"' EXIT
echo "== test suite under valgrind memcheck ($venv)"
start=$(date +%s)
set +e
NEROV_STRESS_SECONDS="${NEROV_STRESS_SECONDS:-1}" PYTHONMALLOC=malloc \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --num-callers=60 --trace-children=yes \
    --suppressions="$root/scripts/valgrind.supp" --log-file="$logs/memcheck.%p.log" \
    "$python" -m pytest -p no:cacheprovider "${selection[@]}"
tests_status=$?
set -e
echo "== valgrind run took $(( $(date +%s) - start )) s"

set +e
"$python" - "$logs" "$venv" "$root/src" <<'PY'
"""Reads valgrind's logs: prints the verdict, with every lost block or
memory error that comes from our code, then, for reference, valgrind's totals
for the whole processes; exits 1 when our code lost a block or made an error.

A lost block comes from our code when a frame of our modules is in its
allocation stack, unless an import or, while a module of ours was being
executed, Python code (pydantic building the record class) stands between
that frame and the allocation: the interpreter leaks what imports create at
exit, whoever started them. So a block counts when our code allocated it
through the C API, or when Python code that an operation called allocated
it (a patched os.path function, a callback) and it was never freed. A memory
error comes from our code when any frame of any of its stacks is in ours."""
import glob
import os
import re
import sys

logs, venv, src = sys.argv[1:]
ours_so = sorted({os.path.basename(p) for p in glob.glob(os.path.join(venv, "lib", "python*", "site-packages",
                                                                        "nerov", "**", "*.so"), recursive=True)})
sources = sorted({n for _, _, files in os.walk(src) for n in files if n.endswith((".cpp", ".hpp"))})
if not ours_so:
    sys.exit(f"valgrind.sh: no extension modules found under {venv}")
frame = re.compile(r"^==\d+==\s+(?:at|by) 0x[0-9A-F]+: ")
ours = re.compile(r"\((?:in [^()]*/(?:%s)|(?:[^()]*/)?(?:%s):\d+)\)$"
                  % ("|".join(map(re.escape, ours_so)), "|".join(map(re.escape, sources))))
interpreted = re.compile(r": (?:_PyEval_EvalFrameDefault|_PyEval_EvalFrame|_PyEval_Vector|PyEval_EvalCode) ")
importing = re.compile(r": (?:PyImport_\w+|import_find_and_load|_imp_exec_\w+|builtin___import__\w*|import_name) ")
lost = re.compile(r"^==\d+== ([\d,]+) bytes in ([\d,]+) blocks are definitely lost")


def count(text):
    return int(text.replace(",", ""))


processes, our_leaks, our_errors, by_imports = [], [], [], [0, 0]
for path in sorted(glob.glob(os.path.join(logs, "memcheck.*.log"))):
    with open(path, errors="replace") as f:
        text = f.read()
    command = re.search(r"^==\d+== Command: (.*)$", text, re.M)
    summary = [line.strip() for line in re.findall(r"^==\d+== (.*)$", text, re.M)
               if re.match(r"\s*(definitely|indirectly|possibly) lost:|\s*still reachable:|\s*suppressed:|"
                           r"ERROR SUMMARY:", line)]
    processes.append((command.group(1) if command else "?", summary))
    for block in re.split(r"\n==\d+== \n", text):
        lines = block.strip("\n").split("\n")
        frames = [line for line in lines if frame.match(line)]
        first_ours = next((i for i, line in enumerate(frames) if ours.search(line)), None)
        if first_ours is None:
            continue
        m = lost.match(lines[0])
        if m:
            between = frames[:first_ours]
            executing = any("exec_module" in line and ours.search(line) for line in frames[first_ours:])
            if (any(importing.search(line) for line in between)
                    or executing and any(interpreted.search(line) for line in between)):
                by_imports[0] += count(m.group(2))
                by_imports[1] += 1
            else:
                our_leaks.append((count(m.group(2)), count(m.group(1)), block))
        elif "lost in loss record" not in lines[0]:
            our_errors.append(block)

blocks = sum(n for n, _, _ in our_leaks)
if our_leaks or our_errors:
    print(f"valgrind: FAILED: {blocks} blocks ({sum(b for _, b, _ in our_leaks):,} bytes) definitely lost from "
          f"our code in {len(our_leaks)} records, {len(our_errors)} memory errors in our code:")
    for block in [block for _, _, block in our_leaks] + our_errors:
        print("\n" + block)
    print()
else:
    print("valgrind: passed: no block lost from our code and no memory error in it")

# For reference: valgrind's totals for whole processes. They count the
# interpreter's own blocks left at exit and its own (harmless) errors; the
# verdict above does not rest on them.
main = [p for p in processes if " -m pytest" in p[0]][:1]
others = [p for p in processes if p not in main]
print(f"The interpreter's own totals, not part of the verdict ({len(processes)} processes traced: "
      f"the test run and {len(others)} interpreters it started):")
for command, summary in main:
    print(f"  the test run ({command[:120]}):")
    for line in summary:
        print(f"    {line}")
if others:
    totals = {}
    for _, summary in others:
        for line in summary:
            m = re.match(r"(definitely lost|indirectly lost|possibly lost|still reachable): ([\d,]+) bytes in ([\d,]+) blocks",
                         line)
            if m:
                b, n = totals.get(m.group(1), (0, 0))
                totals[m.group(1)] = (b + count(m.group(2)), n + count(m.group(3)))
    print(f"  the {len(others)} interpreters started by the tests, together:")
    for kind, (b, n) in totals.items():
        print(f"    {kind}: {b:,} bytes in {n:,} blocks")
print(f"  blocks lost at exit that imports (and module execution) allocated under our frames: "
      f"{by_imports[0]} in {by_imports[1]} records")
sys.exit(1 if our_leaks or our_errors else 0)
PY
filter_status=$?
set -e

if [ "$tests_status" != 0 ] || [ "$filter_status" != 0 ]; then
    keep_logs=1
    [ "$tests_status" != 0 ] && echo "valgrind.sh: FAILED: the tests failed under valgrind (pytest exit status $tests_status)" >&2
    [ "$filter_status" != 0 ] && echo "valgrind.sh: FAILED: blocks lost or memory errors in our code (see above)" >&2
    echo "valgrind.sh: valgrind's logs are kept in $logs" >&2
    [ "$tests_status" != 0 ] && exit "$tests_status"
    exit 1
fi
echo "valgrind.sh: passed: no leak or memory error in our code"
