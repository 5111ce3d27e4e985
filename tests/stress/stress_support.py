"""Fakes and helpers shared by the memory and thread stress tests. Nothing here
keeps a record per call: whatever an operation touches must be free again
once the call is over, or the memory test would count it as a leak."""

import contextlib
import hashlib
import json
import logging
import os
import sys
import threading

from nerov.packages.brain import artifax
from nerov.packages.layers.layer1.stages import promptsift as ps

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "promptsift"))
from psift_support import (  # noqa: E402,F401  (the stage tests' own fakes and texts)
    BLOCK_RESULT, NON_SEMANTIC, PASS_RESULT, Layer1ProcessingError, PromptValidationError, context, run,
)

SANITIZED = os.environ.get("NEROV_SANITIZED") == "1"
CORE_MARKER = "vantor_int8.onnx"
NLI_MARKER = "policy_nli_int8.onnx"
PACKAGES = ("nerov_brain_models", "nerov_policy_nli")

BLOCKED = "Adversarial prompt detected (instruction_override). Request blocked by Nerov Vantor."
FOUND = "artifax: core models found at %s"
NOT_FOUND = "artifax: core ONNX models not found. Install nerov-brain-models or set $NEROV_MODELS_DIR."
MISMATCH = "artifax: checksum mismatch for %s \u2014 corrupt artifacts: %s. Reinstall the model package."
CORRUPT = "artifax: corrupt manifest.json at %s"


class Sink(logging.Handler):
    """Formats every record as a real handler would and keeps only the last
    message template, a count and the set of templates seen (updated under
    the handler's lock, so threads may share it)."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.last = None
        self.count = 0
        self.seen = set()

    def emit(self, record):
        self.format(record)
        self.last = record.msg
        self.count += 1
        self.seen.add(record.msg)


@contextlib.contextmanager
def logs_to(handler):
    """Sends both modules' log records, DEBUG included, to `handler` alone.
    Entered inside the test body: pytest attaches its record-keeping handler
    to every non-propagating logger when a test phase starts, so it has to
    be taken off after that."""
    saved = []
    for name in (artifax.__name__, ps.__name__):
        logger = logging.getLogger(name)
        saved.append((logger, logger.level, logger.propagate, logger.handlers[:]))
        logger.handlers[:] = [handler]
        logger.propagate = False
        logger.setLevel(logging.DEBUG)
    try:
        yield handler
    finally:
        for logger, level, propagate, handlers in saved:
            logger.handlers[:] = handlers
            logger.propagate = propagate
            logger.setLevel(level)


class Engine:
    """An engine with one fixed verdict, or an exception class to raise a
    fresh instance of on every call."""

    def __init__(self, result):
        self.result = result

    def predict(self, prompt):
        if isinstance(self.result, type) and issubclass(self.result, BaseException):
            raise self.result("engine failure")
        return self.result


class Matcher:
    def __init__(self, result):
        self.result = result

    def select_for_prompt(self, prompt, *, predicted_intent=None, predicted_scope=None):
        return self.result


def raises(exc_type, fn, *args, **kwargs):
    """Calls fn and checks that it raises exc_type; returns the message."""
    try:
        fn(*args, **kwargs)
    except exc_type as exc:
        return str(exc)
    raise AssertionError(f"{fn!r} did not raise {exc_type.__name__}")


def make_tree(root, files):
    """Creates {relative path: bytes} under `root` (a Path); returns it as str."""
    root.mkdir(parents=True, exist_ok=True)
    for rel, data in files.items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_bytes(data)
    return str(root)


def manifest_of(files, version="1"):
    return {"version": version,
            "files": {k: {"size": len(v), "sha256": hashlib.sha256(v).hexdigest()} for k, v in files.items()}}


def model_root(path, files, manifest=None, raw=None):
    """A root holding `files` and a manifest: `raw` bytes, `manifest` as JSON,
    or (both None) the correct one."""
    root = make_tree(path, files)
    if raw is None:
        raw = json.dumps(manifest if manifest is not None else manifest_of(files)).encode()
    (path / "manifest.json").write_bytes(raw)
    return root


class Counter:
    """Calls and outcomes per operation, shared by threads."""

    def __init__(self):
        self._lock = threading.Lock()
        self.counts = {}

    def add(self, key, n=1):
        with self._lock:
            self.counts[key] = self.counts.get(key, 0) + n

    def lines(self):
        return [f"  {key:<40} {n:>9}" for key, n in sorted(self.counts.items())]
