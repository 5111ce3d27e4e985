#!/usr/bin/env bash
# Sets up a virtual environment with the native modules built and installed.
#
#   scripts/setup.sh [--sanitize | --debug]
#
# Finds CPython 3.13, creates .venv (or .venv-asan for the AddressSanitizer +
# UndefinedBehaviorSanitizer build; or, with --debug, .venv-debug with a debug
# build of CPython 3.13 and the modules built with C API assertions on, in
# build/debug: NEROV_DEBUG_VENV and NEROV_DEBUG_BUILD_DIR name other
# places), installs the build tools, the kit
# stand-ins and this project with its test tools. Safe to run again: an
# existing environment is reused, nothing is installed when no source,
# build or metadata file changed since the last run, and the build is incremental.
# Prints the environment's directory on its last line.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mode=${1:-release}
case "$mode" in
    release|--sanitize|--debug) ;;
    *) printf 'usage: scripts/setup.sh [--sanitize | --debug]\n' >&2; exit 2 ;;
esac

say() { printf '%s\n' "$*" >&2; }

# shellcheck source=find-python.sh
. "$root/scripts/find-python.sh"

if [ "$mode" = --debug ]; then
    if ! python=$(find_debug_python); then
        say "error: a debug build of CPython 3.13 (with its headers and the venv module) was not found."
        say "Install it (Debian 13's python3.13-dbg, python3.13-dev and python3.13-venv give python3.13d),"
        say "or point NEROV_DEBUG_PYTHON at its executable."
        exit 1
    fi
elif ! python=$(find_python); then
    say "error: CPython 3.13 (with its development headers and the venv module) was not found."
    say "Install it (for example 'pyenv install 3.13', or Debian's python3.13, python3.13-dev"
    say "and python3.13-venv), or point NEROV_PYTHON at its python3.13 executable."
    exit 1
fi
if ! command -v g++ >/dev/null 2>&1; then
    say "error: g++ (C++20) is needed to build the native modules; install Debian's g++."
    exit 1
fi

case "$mode" in
    --sanitize)
        venv="$root/.venv-asan"
        build_args=(-C build-dir=build/asan -C cmake.define.NEROV_SANITIZE=ON -C cmake.build-type=Debug) ;;
    --debug)
        # Debug: no NDEBUG, so the C API's assertions (and ours) are checked.
        venv="${NEROV_DEBUG_VENV:-$root/.venv-debug}"
        build_args=(-C "build-dir=${NEROV_DEBUG_BUILD_DIR:-build/debug}" -C cmake.build-type=Debug) ;;
    *)
        venv="$root/.venv"
        build_args=() ;;
esac

# An environment of another interpreter than the one found is made anew.
if [ ! -x "$venv/bin/python" ] || ! is_py313 "$(readlink -f "$venv/bin/python")" \
        || [ "$(readlink -f "$venv/bin/python")" != "$(readlink -f "$python")" ]; then
    say "Creating $venv with $python"
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi
pip=("$venv/bin/python" -m pip --disable-pip-version-check -q)
build_tools=("scikit-build-core>=0.10" "cmake>=3.26" ninja)

# What the installed environment was made from: the interpreter, the tools'
# requirements, the build options, and the content of this script and of every
# source, build and metadata file of this project and of the stand-ins. When
# it is unchanged, nothing is installed again (delete $venv/.nerov-installed
# to force a new installation).
fingerprint() {
    {
        printf '%s\n' "$(readlink -f "$venv/bin/python")" "${build_tools[@]}" "${build_args[@]}"
        cd "$root" && find scripts/setup.sh CMakeLists.txt pyproject.toml README.md src python \
            standins/pyproject.toml standins/README.md standins/src \( -name __pycache__ -o -name '*.egg-info' \) -prune -o -type f -print0 \
            | LC_ALL=C sort -z | xargs -0 sha256sum
    } | sha256sum | cut -d' ' -f1
}
stamp="$venv/.nerov-installed"
wanted=$(fingerprint)
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
    say "$venv is up to date"
    echo "$venv"
    exit 0
fi
rm -f "$stamp"

say "Installing build tools, the kit stand-ins and the native modules into $venv"
"${pip[@]}" install "${build_tools[@]}"
"${pip[@]}" install "$root/standins"
(cd "$root" && "${pip[@]}" install --no-build-isolation "${build_args[@]}" ".[test]")
echo "$wanted" > "$stamp"
echo "$venv"
