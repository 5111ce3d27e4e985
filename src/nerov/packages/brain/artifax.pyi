# Type stubs for the native module nerov.packages.brain.artifax (artifax.cpp).
#
# Kept in step with the module by scripts/stubtest.sh, which compares every
# name, parameter and async-ness here with the built module. Parameter names
# are part of the interface: every operation takes its arguments by position
# or by keyword, and none has a default.
#
# The standard modules and typing names the module binds at import are
# re-exported (`import x as x`) because they are module attributes that the
# operations reach at call time and that callers may patch.

import hashlib as hashlib
import json as json
import logging as logging
import os as os
import sys as sys
from pathlib import Path as Path
from typing import Any
from typing import List as List
from typing import Optional as Optional
from typing import Sequence as Sequence

logger: logging.Logger
# From NEROV_MODELS_VERSION at import, else "1.0.1".
MODELS_VERSION: str
_CORE_MARKER: str
_POLICY_NLI_MARKER: str
# Sentinel for "nothing resolved yet"; compared by identity only.
_UNSET: object
# Cache of resolve_core_models_root: _UNSET, then a root (str) or None. Only
# `object` covers all three; compare with `is _UNSET` / `is None` to narrow.
_resolved_core_root: object
_resolved_policy_nli: object
# Roots whose manifest check has already run in this process.
_verified_roots: set[str]

def resolve_core_models_root() -> str | None: ...
def resolve_artifact(rel_path: str) -> str | None: ...
def resolve_artifact_dir(dirname: str) -> str | None: ...

# Candidate roots, a new list on every call, in priority order.
def _iter_core_roots() -> list[str]: ...
def _iter_all_roots() -> list[str]: ...
def _find_package_dir(package_name: str) -> str | None: ...
def _has_file(root: str, filename: str) -> bool: ...
def _verify_if_present(model_root: str) -> None: ...
def _sha256(filepath: str) -> str: ...

# {"version": version, "files": {relative path: {"size": int, "sha256": str}}}
def generate_manifest(model_dir: str, version: str) -> dict[str, Any]: ...

# Returns the path of the manifest.json written into model_dir.
def write_manifest(model_dir: str, version: str) -> str: ...
def cli_download() -> None: ...
