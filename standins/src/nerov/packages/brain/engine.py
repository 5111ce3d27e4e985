"""Small stand-in for the kit's ``brain.engine`` module, kept apart from the deliverables.

``VantorEngine`` here is a rule-based stand-in for the kit's local prompt
classifier: a fixed set of precompiled regular expressions, not a learned
model. It loads nothing from the network or the disk.

Every pattern is linear in the input: gaps between key words are bounded
(``[^\\n]{0,N}``) and no quantifier is nested, so megabyte prompts finish fast.
"""

from __future__ import annotations

import base64
import binascii
import re
import time
import unicodedata
from typing import Any

NO_INJECTION = "none"
INSTRUCTION_OVERRIDE = "instruction_override"
SYSTEM_PROMPT_EXTRACTION = "system_prompt_extraction"
ROLE_PLAY_JAILBREAK = "role_play_jailbreak"
DATA_EXFILTRATION = "data_exfiltration"
ENCODED_PAYLOAD = "encoded_payload"
#: Detected families, in the order that breaks ties between equal scores.
INJECTION_FAMILIES = (
    ENCODED_PAYLOAD,
    DATA_EXFILTRATION,
    SYSTEM_PROMPT_EXTRACTION,
    INSTRUCTION_OVERRIDE,
    ROLE_PLAY_JAILBREAK,
)

RISK_LEVELS = ("LOW", "MEDIUM", "HIGH", "CRITICAL")
INTENTS = (
    "system_administration",
    "code_generation",
    "communication",
    "data_modification",
    "information_retrieval",
    "conversation",
)
TOOL_SCOPES = ("none", "read_only", "read_write", "privileged")
CONTENT_CLASSES = ("benign", "sensitive", "adversarial")

_FLAGS = re.IGNORECASE
_GAP = r"[^\n]{0,40}?"

# (family, weight, pattern). A prompt is unsafe once its best family scores 1.0;
# weaker hints (0.5) only count alongside another match.
_RULES: tuple[tuple[str, float, re.Pattern[str]], ...] = tuple(
    (family, weight, re.compile(pattern, _FLAGS))
    for family, weight, pattern in (
        (INSTRUCTION_OVERRIDE, 1.0,
         rf"\b(?:ignore|disregard|forget|override|bypass)\b{_GAP}\b(?:previous|prior|above"
         rf"|earlier|preceding|all|any|your|system)\b{_GAP}\b(?:instructions?|prompts?|rules"
         r"|directives|guidelines|guardrails)\b"),
        (INSTRUCTION_OVERRIDE, 1.0,
         r"\bdisregard\s+(?:everything|all|anything)?\s*(?:the\s+|that\s+)?(?:above|before)\b"),
        (INSTRUCTION_OVERRIDE, 0.5, r"\bnew\s+(?:instructions?|rules)\s*:"),
        (SYSTEM_PROMPT_EXTRACTION, 1.0,
         rf"\b(?:reveal|print|show|display|output|repeat|leak|dump|tell\s+me|give\s+me"
         rf"|what\s+(?:is|are|was|were))\b{_GAP}\b(?:your|the)\s+(?:system\s+prompt"
         r"|(?:initial|original|hidden|secret)\s+(?:instructions|prompt)|pre-?prompt)"),
        (SYSTEM_PROMPT_EXTRACTION, 1.0,
         r"\brepeat\s+(?:everything|all|the\s+(?:text|words))\s+(?:written\s+)?above\b"),
        (ROLE_PLAY_JAILBREAK, 1.0,
         r"\byou\s+are\s+now\s+(?:DAN\b|an?\s+(?:unrestricted|unfiltered|uncensored|evil"
         r"|jailbroken)\b)"),
        (ROLE_PLAY_JAILBREAK, 1.0, r"\bdo\s+anything\s+now\b"),
        (ROLE_PLAY_JAILBREAK, 1.0,
         rf"\b(?:pretend|imagine|act\s+as\s+if|behave\s+as\s+if|roleplay|role-play)\b{_GAP}"
         r"\b(?:no|without)\s+(?:any\s+)?(?:restrictions|limits|limitations|rules|filters"
         r"|guidelines|ethics|morals)\b"),
        (ROLE_PLAY_JAILBREAK, 0.5, r"\b(?:developer|god|jailbreak|unrestricted|DAN)\s+mode\b"),
        (ROLE_PLAY_JAILBREAK, 0.5, r"\bjailbr(?:eak|oken)\b"),
        (DATA_EXFILTRATION, 1.0, r"\bexfiltrat\w{0,10}"),
        (DATA_EXFILTRATION, 1.0,
         rf"\b(?:send|post|upload|transmit|forward|leak|e-?mail)\b{_GAP}\b(?:credentials?"
         r"|api[\s_-]?keys?|passwords?|secrets?|tokens?|private\s+keys?|ssh\s+keys?|cookies"
         rf"|env(?:ironment)?\s+variables|(?:conversation|chat)\s+history)\b{_GAP}\b(?:to|into)\b"),
        (DATA_EXFILTRATION, 1.0,
         rf"\b(?:send|post|upload|transmit|forward|leak)\b[^\n]{{0,80}}?\bto\s+(?:https?|ftp)://"),
        (ENCODED_PAYLOAD, 1.0,
         rf"\b(?:decode|decrypt|deobfuscate)\b{_GAP}\b(?:base64|b64|hex|rot13)\b{_GAP}"
         r"\b(?:follow|execute|obey|run|carry\s+out|do\s+what)\b"),
        (ENCODED_PAYLOAD, 1.0,
         rf"\b(?:follow|execute|obey)\b{_GAP}\b(?:base64|b64|hex|rot13)[\s-]*(?:encoded\s+)?"
         r"(?:instructions|commands|payload)\b"),
    )
)

_BASE64_BLOB = re.compile(r"[A-Za-z0-9+/]{20,}={0,2}")
_HEX_ESCAPES = re.compile(r"(?:\\x[0-9A-Fa-f]{2}){8,}")
_MAX_BLOBS = 16
_MAX_BLOB_CHARS = 65_536
_INVISIBLE = dict.fromkeys(map(ord, "\u200b\u200c\u200d\u2060\ufeff\u00ad"))

# Intents in priority order: the first that matches wins.
_INTENT_RULES: tuple[tuple[str, re.Pattern[str]], ...] = tuple(
    (intent, re.compile(pattern, _FLAGS))
    for intent, pattern in (
        ("system_administration",
         r"\brm\s+-rf\b|\bsudo\b|\bchmod\b|\bchown\b|\b(?:delete|erase|wipe)\s+(?:all|every)\b"
         r"|\bwipe\b|\bformat\s+(?:the\s+)?(?:disk|drive)\b|\bdrop\s+(?:table|database)\b"
         r"|\b(?:shutdown|reboot)\b|\brestart\s+(?:the\s+)?(?:server|service|machine)\b"
         r"|\bkill\s+(?:the\s+)?process|\b(?:root|admin(?:istrator)?)\s+(?:access|privileges)\b"),
        ("code_generation",
         rf"\b(?:write|generate|create|implement|refactor|debug|fix)\b{_GAP}\b(?:code|function"
         r"|script|class|program|method|regex|unit\s+tests?|bug)\b"
         r"|\b(?:python|javascript|typescript|rust|golang|c\+\+)\b"),
        ("communication",
         r"\b(?:send|e-?mail|reply|forward|notify|tweet|slack)\b|\bmessage\s+(?:to|my|the)\b"
         r"|\bschedule\s+a\s+(?:meeting|call)\b"),
        ("data_modification",
         r"\b(?:update|modify|change|edit|delete|remove|insert|rename|save|overwrite|append)\b"
         r"|\bwrite\s+to\b|\bcreate\s+(?:a\s+|an\s+)?(?:new\s+)?(?:file|record|row|entry|folder)\b"),
        ("information_retrieval",
         r"\b(?:what|who|when|where|which|why|how|find|search|list|show|summari[sz]e|explain"
         r"|describe|fetch|look\s+up|tell\s+me)\b|\?"),
    )
)
_SCOPE_BY_INTENT = {
    "system_administration": "privileged",
    "code_generation": "read_only",
    "communication": "read_write",
    "data_modification": "read_write",
    "information_retrieval": "read_only",
    "conversation": "none",
}
_SENSITIVE = re.compile(
    r"\b(?:passwords?|passcodes?|credentials?|api[\s_-]?keys?|(?:secret|private)\s+keys?"
    r"|access\s+tokens?|social\s+security|ssn|credit\s+card|bank\s+account|medical\s+records?)\b",
    _FLAGS,
)


def _normalise(text: str) -> str:
    """Fold compatibility forms (e.g. full-width letters) and drop invisible characters."""
    return unicodedata.normalize("NFKC", text).translate(_INVISIBLE)


def _family_scores(text: str) -> dict[str, float]:
    scores: dict[str, float] = {}
    for family, weight, pattern in _RULES:
        if pattern.search(text):
            scores[family] = scores.get(family, 0.0) + weight
    return scores


def _decoded_payloads(text: str) -> list[str]:
    """Text hidden in base64 blobs or ``\\xNN`` escape runs (printable UTF-8 only)."""
    raw: list[bytes] = []
    for match in _BASE64_BLOB.finditer(text):
        if len(raw) >= _MAX_BLOBS:
            break
        blob = match.group()[:_MAX_BLOB_CHARS].rstrip("=")
        if len(blob) % 4 == 1:  # a lone trailing character cannot be decoded
            blob = blob[:-1]
        try:
            raw.append(base64.b64decode(blob + "=" * (-len(blob) % 4), validate=True))
        except (binascii.Error, ValueError):
            continue
    for match in _HEX_ESCAPES.finditer(text):
        if len(raw) >= 2 * _MAX_BLOBS:
            break
        hex_digits = match.group()[:_MAX_BLOB_CHARS].replace("\\x", "")
        raw.append(bytes.fromhex(hex_digits))
    decoded = []
    for data in raw:
        try:
            candidate = data.decode("utf-8")
        except UnicodeDecodeError:
            continue
        if all(c.isprintable() or c.isspace() for c in candidate):
            decoded.append(candidate)
    return decoded


class VantorEngine:
    """Rule-based stand-in for the kit's local prompt classifier (not a learned model).

    ``predict`` returns a dict with exactly these keys:

    - ``is_safe`` (bool): no injection family reached a score of 1.0.
    - ``injection_type`` (str): ``"none"`` or the best-scoring family of
      ``INJECTION_FAMILIES``; text hidden in base64 or hex escapes that itself
      scores counts for ``encoded_payload``.
    - ``confidence`` (float in [0, 1]): confidence in the verdict; for unsafe
      prompts it grows with the total score of the matched rules.
    - ``latency_ms`` (float): this call's own wall time, rounded to 3 decimals.
    - ``intent`` (str): one of ``INTENTS``.
    - ``risk_level`` (str): ``CRITICAL`` for exfiltration or confidence >= 0.9,
      else ``HIGH`` when unsafe; ``MEDIUM`` for safe privileged or sensitive
      prompts; ``LOW`` otherwise.
    - ``tool_scope`` (str): one of ``TOOL_SCOPES``, derived from the intent;
      ``"none"`` for unsafe prompts.
    - ``content_class`` (str): ``adversarial``, ``sensitive`` or ``benign``.
    """

    def predict(self, prompt: str) -> dict[str, Any]:
        started = time.perf_counter()
        text = _normalise(prompt if isinstance(prompt, str) else str(prompt or ""))

        scores = _family_scores(text)
        hidden = sum(
            sum(_family_scores(_normalise(payload)).values())
            for payload in _decoded_payloads(text)
        )
        if hidden:
            scores[ENCODED_PAYLOAD] = scores.get(ENCODED_PAYLOAD, 0.0) + 1.0 + hidden
        best = max(INJECTION_FAMILIES, key=lambda f: scores.get(f, 0.0))
        total = sum(scores.values())
        is_safe = scores.get(best, 0.0) < 1.0

        intent = next((name for name, rx in _INTENT_RULES if rx.search(text)), "conversation")
        sensitive = _SENSITIVE.search(text) is not None
        if is_safe:
            injection_type = NO_INJECTION
            confidence = max(0.5, 0.95 - 0.3 * total)
            tool_scope = _SCOPE_BY_INTENT[intent]
            content_class = "sensitive" if sensitive else "benign"
            risk = "MEDIUM" if sensitive or tool_scope == "privileged" else "LOW"
        else:
            injection_type = best
            confidence = min(0.99, 0.55 + 0.2 * total)
            tool_scope = "none"
            content_class = "adversarial"
            risk = "CRITICAL" if confidence >= 0.9 or best == DATA_EXFILTRATION else "HIGH"

        return {
            "is_safe": is_safe,
            "injection_type": injection_type,
            "confidence": round(confidence, 4),
            "latency_ms": round((time.perf_counter() - started) * 1000.0, 3),
            "intent": intent,
            "risk_level": risk,
            "tool_scope": tool_scope,
            "content_class": content_class,
        }
