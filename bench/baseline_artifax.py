"""The measured steps of the artifact resolver written plainly in Python.

The benchmark runs these next to the compiled module, in the same process and
on the same files, so the ratios measure the module's own work. Only the steps
the benchmark times are here: the cached core-root lookup, single-artifact
lookup with its candidate roots, the streaming digest and manifest generation.
It is not used by the package.
"""

import hashlib
import os
import sys
from pathlib import Path
from typing import Optional, Sequence

_UNSET = object()
_resolved_core_root = _UNSET


def resolve_core_models_root() -> Optional[str]:
    if _resolved_core_root is not _UNSET:
        return _resolved_core_root
    raise RuntimeError("the benchmark only measures the cached path")


def resolve_artifact(rel_path: str) -> Optional[str]:
    for root in _iter_all_roots():
        candidate = os.path.join(root, rel_path)
        if os.path.exists(candidate):
            return candidate
    return None


def _iter_core_roots() -> Sequence[str]:
    roots = []
    env = os.environ.get("NEROV_MODELS_DIR")
    if env:
        roots.append(env)
    dev = os.path.join(os.path.dirname(os.path.abspath(__file__)), "models")
    roots.append(dev)
    pkg = _find_package_dir("nerov_brain_models")
    if pkg:
        roots.append(pkg)
    return roots


def _iter_all_roots() -> Sequence[str]:
    roots = list(_iter_core_roots())
    pkg = _find_package_dir("nerov_policy_nli")
    if pkg:
        roots.append(pkg)
    return roots


def _find_package_dir(package_name: str) -> Optional[str]:
    try:
        import importlib.resources as ir

        ref = ir.files(package_name)
        if hasattr(ref, "__fspath__"):
            return str(ref)
        p = Path(str(ref))
        if p.is_dir():
            return str(p)
    except (ModuleNotFoundError, AttributeError):
        pass
    for sp in sys.path:
        candidate = os.path.join(sp, package_name)
        if os.path.isdir(candidate):
            return candidate
    return None


def _sha256(filepath: str) -> str:
    h = hashlib.sha256()
    with open(filepath, "rb") as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                break
            h.update(block)
    return h.hexdigest()


def generate_manifest(model_dir: str, version: str) -> dict:
    manifest = {"version": version, "files": {}}
    base = Path(model_dir)
    for p in sorted(base.rglob("*")):
        if not p.is_file():
            continue
        rel = p.relative_to(base).as_posix()
        if rel == "manifest.json":
            continue
        manifest["files"][rel] = {"size": p.stat().st_size, "sha256": _sha256(str(p))}
    return manifest
