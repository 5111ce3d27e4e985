"""The measured steps of the artifact resolver written plainly in Python.

The benchmark runs these next to the native module, in the same process and
on the same files, so the ratios measure the module's own work; it also
compiles this file unchanged with Cython for a third column. Only the steps
the benchmark times are here: the core-root lookup with its cache and its
manifest check, single-artifact lookup with its candidate roots, the
streaming digest and manifest generation. It is not used by the package.
"""

import hashlib
import json
import logging
import os
import sys
from pathlib import Path
from typing import Optional, Sequence

logger = logging.getLogger(__name__)

_CORE_MARKER = "vantor_int8.onnx"
_UNSET = object()
_resolved_core_root = _UNSET


def resolve_core_models_root() -> Optional[str]:
    global _resolved_core_root
    if _resolved_core_root is not _UNSET:
        return _resolved_core_root
    for root in _iter_core_roots():
        if _has_file(root, _CORE_MARKER):
            _resolved_core_root = root
            _verify_if_present(root)
            logger.debug("artifax: core models found at %s", root)
            return root
    _resolved_core_root = None
    logger.warning("artifax: core ONNX models not found. Install nerov-brain-models or set $NEROV_MODELS_DIR.")
    return None


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


def _has_file(root: str, filename: str) -> bool:
    return os.path.isfile(os.path.join(root, filename))


_verified_roots = set()


def _verify_if_present(model_root: str) -> None:
    if model_root in _verified_roots:
        return
    _verified_roots.add(model_root)
    if os.environ.get("NEROV_SKIP_MODEL_CHECK") == "1":
        return
    manifest_path = os.path.join(model_root, "manifest.json")
    if not os.path.isfile(manifest_path):
        return
    try:
        with open(manifest_path, "r", encoding="utf-8") as f:
            manifest = json.load(f)
    except Exception:
        logger.warning("artifax: corrupt manifest.json at %s", model_root)
        return
    bad = []
    for rel, info in manifest.get("files", {}).items():
        fpath = os.path.join(model_root, rel)
        if not os.path.isfile(fpath):
            continue
        expected_sha = info.get("sha256")
        if not expected_sha:
            continue
        if _sha256(fpath) != expected_sha:
            bad.append(rel)
    if bad:
        logger.warning(
            "artifax: checksum mismatch for %s \u2014 corrupt artifacts: %s. Reinstall the model package.",
            model_root,
            bad,
        )


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
