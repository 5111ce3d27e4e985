#!/usr/bin/env bash
# The main job: sets up (see setup.sh), screens a set of sample prompts through
# the layer-1 stage, then prints the model resolution status report.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv=$("$root/scripts/setup.sh" | tail -n 1)
exec "$venv/bin/nerov-demo" "$@"
