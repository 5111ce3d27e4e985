"""Plain-Python models of both modules, written from their documented steps
(with the decided fixes: the manifest is written through a temporary file,
never lists or checks itself nor lists such temporary files, a structurally
wrong manifest, or one naming a path outside its root, is reported as corrupt
and an unreadable listed file as a mismatch). The fuzz tests run the
same input through a model and through the native module and compare."""

import copy
import hashlib
import json
import os
import re
import sys
from pathlib import Path

CORRUPT = "artifax: corrupt manifest.json at %s"
MISMATCH = "artifax: checksum mismatch for %s \u2014 corrupt artifacts: %s. Reinstall the model package."
NOT_FOUND = "artifax: core ONNX models not found. Install nerov-brain-models or set $NEROV_MODELS_DIR."
FOUND = "artifax: core models found at %s"
# The names of write_manifest's temporary files, which no walk lists.
TEMP_MANIFEST = re.compile(r"\.manifest\.json\.[0-9a-f]{16}\.tmp")


def sha256_of(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            h.update(block)
    return h.hexdigest()


class _Corrupt(Exception):
    pass


def manifest_findings(root):
    """What verifying `root` logs, as (level, msg, args) records, once the
    root is known to be new and the check not skipped. Errors that are not
    about the manifest (an unreadable root, a failing join) propagate."""
    manifest_path = os.path.join(root, "manifest.json")
    if not os.path.isfile(manifest_path):
        return []
    try:
        with open(manifest_path, "r", encoding="utf-8") as f:
            manifest = json.load(f)
    except Exception:
        return [("WARNING", CORRUPT, (root,))]
    try:
        if not isinstance(manifest, dict):
            raise _Corrupt
        files = manifest.get("files", {})
        if not isinstance(files, dict):
            raise _Corrupt
        if any(isinstance(rel, str) and (rel.startswith("/") or ".." in rel.split("/")) for rel in files):
            raise _Corrupt
        bad = []
        for rel, info in files.items():
            if rel == "manifest.json":
                continue
            fpath = os.path.join(root, rel)
            if not os.path.isfile(fpath):
                continue
            if not isinstance(info, dict):
                raise _Corrupt
            expected = info.get("sha256")
            if not expected:
                continue
            try:
                actual = sha256_of(fpath)
            except OSError:
                bad.append(rel)
                continue
            if actual != expected:
                bad.append(rel)
    except _Corrupt:
        return [("WARNING", CORRUPT, (root,))]
    return [("WARNING", MISMATCH, (root, bad))] if bad else []


class Artifax:
    """The resolver with its own caches and log, starting from the module
    attributes of `mod` (the native module) as they are now."""

    def __init__(self, mod):
        self.file = mod.__file__
        self.marker = mod._CORE_MARKER
        self.unset = mod._UNSET
        self.resolved = mod._resolved_core_root
        self.verified = copy.copy(mod._verified_roots)
        self.log = []

    # search roots
    def _iter_core_roots(self):
        roots = []
        env = os.environ.get("NEROV_MODELS_DIR")
        if env:
            roots.append(env)
        roots.append(os.path.join(os.path.dirname(os.path.abspath(self.file)), "models"))
        pkg = self._find_package_dir("nerov_brain_models")
        if pkg:
            roots.append(pkg)
        return roots

    def _iter_all_roots(self):
        roots = list(self._iter_core_roots())
        pkg = self._find_package_dir("nerov_policy_nli")
        if pkg:
            roots.append(pkg)
        return roots

    def _find_package_dir(self, package_name):
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

    def _has_file(self, root, filename):
        return os.path.isfile(os.path.join(root, filename))

    # resolution
    def resolve_core_models_root(self):
        if self.resolved is not self.unset:
            return self.resolved
        for root in self._iter_core_roots():
            if self._has_file(root, self.marker):
                self.resolved = root
                self._verify_if_present(root)
                self.log.append(("DEBUG", FOUND, (root,)))
                return root
        self.resolved = None
        self.log.append(("WARNING", NOT_FOUND, ()))
        return None

    def resolve_artifact(self, rel_path):
        for root in self._iter_all_roots():
            candidate = os.path.join(root, rel_path)
            if os.path.exists(candidate):
                return candidate
        return None

    resolve_artifact_dir = resolve_artifact

    # manifests
    def _verify_if_present(self, model_root):
        if model_root in self.verified:
            return None
        self.verified.add(model_root)
        if os.environ.get("NEROV_SKIP_MODEL_CHECK") == "1":
            return None
        self.log += manifest_findings(model_root)
        return None

    def _sha256(self, filepath):
        return sha256_of(filepath)

    def generate_manifest(self, model_dir, version):
        manifest = {"version": version, "files": {}}
        base = Path(model_dir)
        for p in sorted(base.rglob("*")):
            if not p.is_file():
                continue
            rel = p.relative_to(base).as_posix()
            if rel == "manifest.json" or TEMP_MANIFEST.fullmatch(p.name):
                continue
            manifest["files"][rel] = {"size": p.stat().st_size, "sha256": sha256_of(str(p))}
        return manifest

    def write_manifest(self, model_dir, version):
        manifest = self.generate_manifest(model_dir, version)
        dest = os.path.join(model_dir, "manifest.json")
        temp = os.path.join(model_dir, ".manifest.json.reference.tmp")
        f = open(temp, "x", encoding="utf-8")
        try:
            json.dump(manifest, f, indent=2, sort_keys=True)
            f.close()
            os.replace(temp, dest)
        except BaseException:
            f.close()
            os.remove(temp)
            raise
        return dest

    # status report
    def cli_download(self):
        print("=== Nerov Artifax ===\n")
        core = self.resolve_core_models_root()
        if core:
            print(f"  Core models  : {core}")
        else:
            print("  Core models  : NOT FOUND")
            print("    Install:  pip install nerov-brain-models")
        for name in ("policy_nli_int8.onnx", "judge_nli_tokenizer_v2"):
            path = self.resolve_artifact(name)
            tag = path if path else "NOT FOUND"
            print(f"  {name:30s}: {tag}")
        print("\nSet NEROV_MODELS_DIR to override resolution.")


# ---------------------------------------------------------------------------
# The stage

NON_SEMANTIC = "Prompt is non-semantic, empty, or lacks meaningful content."


async def process(stage, context, *, get_vantor, logger, errors, taint_level, ifc_context):
    """`PromptsiftStage.process(context)`, with the module-level names it
    uses passed in: `errors` is (PromptValidationError, Layer1ProcessingError),
    `ifc_context` a function that imports and returns the IFC context class."""
    PromptValidationError, Layer1ProcessingError = errors
    try:
        user_prompt = context.request.prompt
        clean_prompt = user_prompt.strip() if user_prompt else ""
        if len(clean_prompt) < 2:
            raise PromptValidationError(NON_SEMANTIC)
        for ch in clean_prompt:
            if ch.isalnum():
                break
        else:
            raise PromptValidationError(NON_SEMANTIC)

        result = get_vantor().predict(clean_prompt)
        matcher = stage.capability_matcher
        matched_tools, binding_tier = matcher.select_for_prompt(
            clean_prompt, predicted_intent=result.get("intent"), predicted_scope=result.get("tool_scope"))

        if "ifc" not in context.state:
            context.state["ifc"] = ifc_context()()
        context.state["ifc"].tag("user_prompt", taint_level.UNTRUSTED)

        is_approved = bool(context.metadata.get("is_approved", False))
        context.layer1.is_approved = is_approved
        vr = {}
        vr["is_safe"] = True if is_approved else result["is_safe"]
        if is_approved:
            vr["reason"] = "Explicitly authorized action"
        else:
            vr["reason"] = f"Vantor Security Engine: {result['injection_type']} (Confidence: {result['confidence']})"
        vr["risk_flags"] = [] if result["is_safe"] or is_approved else [result["injection_type"]]
        vr["confidence"] = result["confidence"]
        vr["latency_ms"] = result["latency_ms"]
        vr["binding_tier"] = binding_tier
        context.layer1.validation_result = vr
        context.layer1.intent = result["intent"]
        context.layer1.task_category = "action_execution"
        context.layer1.capabilities = [result["intent"].lower()]
        context.layer1.confidence_score = result["confidence"]
        context.layer1.allowed_tools = matched_tools
        context.layer1.risk_level = result["risk_level"]
        context.layer1.risk_score = 0.1 if result["is_safe"] else 1.0 - result["confidence"]
        context.layer1.vantor_result = result
        context.layer1.tool_scope = result.get("tool_scope")
        context.layer1.content_class = result.get("content_class")
        if is_approved:
            advice = "execute_normally"
        elif not result["is_safe"]:
            advice = "block"
        elif result["risk_level"] == "HIGH" or result["risk_level"] == "CRITICAL":
            advice = "require_human_approval"
        else:
            advice = "execute_normally"
        context.layer1.execution_recommendation = advice

        if not result["is_safe"] and not is_approved:
            logger.warning(f"Nerov Vantor Blocked Adversarial Request! Category: {result['injection_type']}"
                           f" | Risk: {result['risk_level']} | Latency: {result['latency_ms']}ms")
            raise PromptValidationError(
                f"Adversarial prompt detected ({result['injection_type']}). Request blocked by Nerov Vantor.")
        logger.debug(f"Layer 1 Vantor Analysis: Safe=True, Intent={result['intent']}, Risk={result['risk_level']},"
                     f" Scope={result.get('tool_scope')}, BindingTier={binding_tier},"
                     f" Allowed Tools={matched_tools}, Latency={result['latency_ms']}ms")
    except PromptValidationError:
        raise
    except Exception as e:
        logger.error(f"Error during Vantor Request Analysis: {e}")
        raise Layer1ProcessingError(f"Failed to analyze request: {e}")
