#!/usr/bin/env bash
# Checks the typed stubs (artifax.pyi, promptsift.pyi) against the built modules.
#
#   scripts/stubtest.sh [VENV]
#
# VENV is an environment with the kit (or its stand-ins) and this project
# installed; without it, scripts/setup.sh sets up and rebuilds .venv first.
# The stubs are checked where they are installed, beside the modules, so that
# what is checked is what a kit gets. Installs mypy into VENV, then:
#   1. mypy's stubtest compares every name, parameter, default and async-ness
#      in the stubs with the modules (no allowlist);
#   2. a few checks stubtest cannot make: every module attribute named in the
#      stub (stubtest takes a Logger for an import and skips private names),
#      `async def` in a stub only where the runtime has a coroutine function,
#      and the pydantic fields of RequestAnalysisResult (they are not class
#      attributes at run time, so stubtest cannot see them);
#   3. mypy type-checks two small callers through the stubs: one with the kit's
#      modules followed (the stand-ins carry annotations but no py.typed), one
#      with a default configuration, as a kit without a marker is seen;
#   4. mypy --strict over the commands' own source (python/nerov_tools).
# Exits non-zero on any difference.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if [ -n "${1:-}" ]; then
    venv=$(cd "$1" && pwd)
else
    venv=$("$root/scripts/setup.sh" | tail -n 1)
fi
py="$venv/bin/python"
[ -x "$py" ] || { echo "error: $venv has no bin/python" >&2; exit 1; }

# Pinned: stubtest's checks change between releases.
"$py" -m pip --disable-pip-version-check -q install "mypy==2.4.1"

# Work outside the checkout so that nothing is imported from it.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

modules=(nerov.packages.brain.artifax nerov.packages.layers.layer1.stages.promptsift)

# The installed stubs must be the ones in this tree (a stale install would
# make every check below meaningless).
"$py" - "$root" "${modules[@]}" <<'PY'
import filecmp, importlib, os, sys
root, names = sys.argv[1], sys.argv[2:]
stale = []
for name in names:
    module = importlib.import_module(name)
    short = name.rpartition(".")[2]
    installed = os.path.join(os.path.dirname(module.__file__), short + ".pyi")
    source = os.path.join(root, "src", *name.split(".")[:-1], short + ".pyi")
    if not os.path.isfile(installed) or not filecmp.cmp(installed, source, shallow=False):
        stale.append(f"{installed} (from {source})")
if stale:
    sys.exit("error: installed stubs missing or out of date; reinstall the project:\n  "
             + "\n  ".join(stale))
PY

cat >mypy.ini <<'EOF'
[mypy]
cache_dir = cache
# The kit's modules carry annotations but (the stand-ins at least) no
# py.typed marker; read them so that the stubs' base classes and re-exports
# are the real classes rather than Any.
[mypy-nerov.packages.*]
follow_untyped_imports = True
EOF

echo "== stubtest"
"$py" -m mypy.stubtest --mypy-config-file mypy.ini "${modules[@]}"

echo "== checks stubtest cannot make"
"$py" - "${modules[@]}" <<'PY'
import ast, importlib, inspect, os, sys

errors = []

def is_dunder(name):
    return name.startswith("__") and name.endswith("__")

def stub_names(body):
    """Names a stub body defines; imports count only as `import x as x` re-exports."""
    names = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            names.update((t.id, node) for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update((a.asname, node) for a in node.names if a.asname == a.name.rpartition(".")[2])
    return names

def check_async(path, node, runtime):
    if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
        stub_async = isinstance(node, ast.AsyncFunctionDef)
        if stub_async != inspect.iscoroutinefunction(runtime):
            where = "in the stub but not at run time" if stub_async else "at run time but not in the stub"
            errors.append(f"{path}: a coroutine function {where}")

def check_fields(path, node, cls):
    stub_fields = [n for n in node.body if isinstance(n, ast.AnnAssign)]
    runtime_fields = cls.model_fields
    if [n.target.id for n in stub_fields] != list(runtime_fields):
        errors.append(f"{path}: fields {[n.target.id for n in stub_fields]} in the stub, "
                      f"{list(runtime_fields)} at run time")
        return
    for n in stub_fields:
        name, field = n.target.id, runtime_fields[n.target.id]
        annotation = cls.__annotations__[name]
        if not isinstance(annotation, str):
            annotation = inspect.formatannotation(annotation)
        if ast.unparse(n.annotation) != annotation:
            errors.append(f"{path}.{name}: type {ast.unparse(n.annotation)} in the stub, "
                          f"{annotation} at run time")
        if n.value is None:
            ok, stub_default = field.is_required(), "required"
        elif isinstance(n.value, ast.Constant) and n.value.value is Ellipsis:
            ok, stub_default = field.default_factory is not None, "a default factory"
        else:
            value = ast.literal_eval(n.value)
            ok, stub_default = (not field.is_required() and field.default_factory is None
                                and type(value) is type(field.default)
                                and value == field.default), repr(value)
        if not ok:
            errors.append(f"{path}.{name}: {stub_default} in the stub, at run time "
                          f"{'required' if field.is_required() else field}")

def check_class(path, node, cls):
    names = stub_names(node.body)
    if hasattr(cls, "model_fields"):
        check_fields(path, node, cls)
        return
    own = {n for n in vars(cls) if not is_dunder(n) and not n.startswith("_abc_")}
    own |= {"__init__"} & vars(cls).keys()
    own |= set(getattr(cls, "__static_attributes__", ()))
    for name in sorted(own - names.keys()):
        errors.append(f"{path}.{name}: at run time, not in the stub")
    for name, sub in names.items():
        if name in vars(cls):
            check_async(f"{path}.{name}", sub, vars(cls)[name])

for modname in sys.argv[1:]:
    module = importlib.import_module(modname)
    stub_path = os.path.join(os.path.dirname(module.__file__), modname.rpartition(".")[2] + ".pyi")
    with open(stub_path, encoding="utf-8") as f:
        names = stub_names(ast.parse(f.read(), stub_path).body)
    for name in sorted(set(vars(module)) - names.keys()):
        if not is_dunder(name):
            errors.append(f"{modname}.{name}: at run time, not in the stub")
    for name, node in names.items():
        if not hasattr(module, name):
            continue  # stubtest reports it
        runtime = getattr(module, name)
        check_async(f"{modname}.{name}", node, runtime)
        if isinstance(node, ast.ClassDef) and isinstance(runtime, type):
            check_class(f"{modname}.{name}", node, runtime)

if errors:
    sys.exit("error: stubs and modules differ:\n  " + "\n  ".join(errors))
print(f"Success: names, async-ness and record fields agree in {len(sys.argv) - 1} modules")
PY

echo "== mypy on a caller, kit modules followed (--strict)"
cat >caller_typed.py <<'EOF'
"""A kit-side caller of both modules; type-checked only, never run.

Every `type: ignore[code]` marks a misuse the stubs must reject: under
--strict an ignore that is not needed is itself an error.
"""
import asyncio
from collections.abc import Coroutine
from typing import Any, assert_type

from nerov.packages.brain import artifax
from nerov.packages.context import ExecutionContext
from nerov.packages.layers.layer1.stages import promptsift
from nerov.packages.layers.layer1.stages.promptsift import PromptsiftStage, RequestAnalysisResult

assert_type(artifax.resolve_artifact("x"), str | None)
assert_type(artifax.resolve_artifact_dir(dirname="tokenizer"), str | None)
assert_type(artifax.resolve_core_models_root(), str | None)
assert_type(artifax.generate_manifest("models", "1.0.1"), dict[str, Any])
assert_type(artifax.write_manifest(model_dir="models", version="1.0.1"), str)
assert_type(artifax.MODELS_VERSION, str)
assert_type(artifax._verified_roots, set[str])
assert_type(artifax.logger.name, str)
artifax.cli_download()
artifax._resolved_core_root = artifax._UNSET
artifax.resolve_artifact(b"x")  # type: ignore[arg-type]
artifax.resolve_artifact(path="x")  # type: ignore[call-arg]
artifax.generate_manifest("models")  # type: ignore[call-arg]

record = RequestAnalysisResult(is_safe=True, reason="clean", primary_intent="read_file")
assert_type(record.allowed_tools, list[str])
assert_type(record.risk_score, float)
RequestAnalysisResult(is_safe=True, primary_intent="read_file")  # type: ignore[call-arg]
RequestAnalysisResult(is_safe=True, reason="r", primary_intent="p", risk_flags="x")  # type: ignore[arg-type]


def read_file(path: str) -> str:
    return path


stage = PromptsiftStage([read_file])
PromptsiftStage(available_tools=[print, len], model_id="vantor-int8")
PromptsiftStage([read_file], model_id=3)  # type: ignore[arg-type]
assert_type(stage.capability_matcher, promptsift.CapabilityMatcher)
assert_type(promptsift._get_vantor(), promptsift.VantorEngine)


async def screen(stage: PromptsiftStage, context: ExecutionContext) -> None:
    pending = assert_type(stage.process(context), Coroutine[Any, Any, None])
    await pending
    await stage.process("a prompt")  # type: ignore[arg-type]
    try:
        await stage.process(context)
    except promptsift.PromptValidationError as blocked:
        assert_type(blocked, promptsift.PromptValidationError)


asyncio.run(screen(stage, ExecutionContext()))
EOF
"$py" -m mypy --config-file mypy.ini --strict caller_typed.py

echo "== mypy on a caller, default configuration (--strict)"
cat >caller_plain.py <<'EOF'
"""Uses only the stubs: a kit whose own modules have no py.typed marker."""
from typing import assert_type

from nerov.packages.brain import artifax
from nerov.packages.layers.layer1.stages.promptsift import PromptsiftStage

assert_type(artifax.resolve_artifact("x"), str | None)


async def screen(stage: PromptsiftStage, context: object) -> None:
    await stage.process(context)
EOF
printf '[mypy]\ncache_dir = cache-plain\n' >plain.ini
"$py" -m mypy --config-file plain.ini --strict caller_plain.py

echo "== mypy on the commands' own source (--strict)"
printf '[mypy]\ncache_dir = cache-tools\n' >tools.ini
"$py" -m mypy --config-file tools.ini --strict "$root/python/nerov_tools"
