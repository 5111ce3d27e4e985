"""Small stand-in for the kit's ``brain.capability_matcher`` module, kept apart from the deliverables.

Tools are judged by their names only. A name is split into lower-case words
(``search_web`` -> search, web; ``getUserProfile`` -> get, user, profile) and
each tool gets the most powerful kind any of its words implies:

- ``read``: get, read, search, find, list, fetch, lookup, query, ...
- ``write``: write, create, update, delete, send, post, upload, ...
- ``privileged``: exec, shell, run, sudo, admin, install, deploy, ...
- ``unknown``: none of the above.

A predicted scope allows these kinds (an absent or unrecognised scope is
treated as ``read_only``, the least privilege that still lets tools help):

- ``none``: nothing
- ``read_only``: read
- ``read_write``: read, write
- ``privileged``: read, write, privileged, unknown

Within the scope, a tool is kept if one of its words is a keyword of the
predicted intent, or if one of its words appears in the prompt. With no (or
an unrecognised) predicted intent every tool within the scope is kept; the ``conversation``
intent keeps none.
"""

from __future__ import annotations

import re
from collections.abc import Iterable

_READ = frozenset(
    "get read search find list fetch lookup query view show describe summarize "
    "summarise retrieve browse check count inspect".split()
)
_WRITE = frozenset(
    "write create update edit modify save insert append set put post send delete "
    "remove rename move upload email notify reply forward publish add patch".split()
)
_PRIVILEGED = frozenset(
    "exec execute shell run sudo admin install uninstall kill chmod chown deploy "
    "drop format reboot shutdown wipe bash terminal eval".split()
)
_VERBS = _READ | _WRITE | _PRIVILEGED

_SCOPE_KINDS: dict[str, frozenset[str]] = {
    "none": frozenset(),
    "read_only": frozenset({"read"}),
    "read_write": frozenset({"read", "write"}),
    "privileged": frozenset({"read", "write", "privileged", "unknown"}),
}
_INTENT_KEYWORDS: dict[str, frozenset[str]] = {
    "information_retrieval": frozenset(
        "search find lookup fetch get read query list retrieve browse web docs wiki "
        "knowledge summarize".split()
    ),
    "code_generation": frozenset("code repo file files lint test tests compile python".split()),
    "communication": frozenset("email mail send message slack chat notify reply calendar sms".split()),
    "data_modification": frozenset(
        "write update edit insert delete save db database record records file sheet".split()
    ),
    "system_administration": frozenset(
        "shell exec run sudo admin install process service deploy system".split()
    ),
    "conversation": frozenset(),
}

#: Binding tiers: nothing bound / only read tools bound / a state-changing tool bound.
STRICT, SCOPED, OPEN = "strict", "scoped", "open"

_WORD = re.compile(r"[A-Z]+(?![a-z])|[A-Z]?[a-z]+|\d+")


def _words(text: str) -> list[str]:
    return [w.lower() for w in _WORD.findall(text)]


def _kind(words: Iterable[str]) -> str:
    found = set(words)
    if found & _PRIVILEGED:
        return "privileged"
    if found & _WRITE:
        return "write"
    if found & _READ:
        return "read"
    return "unknown"


class CapabilityMatcher:
    """Picks, by name, the available tools that fit a prompt's intent and scope."""

    def __init__(self, available_tools: Iterable[object] | None) -> None:
        names = (getattr(t, "__name__", None) or str(t) for t in (available_tools or ()))
        self._tools: list[str] = list(dict.fromkeys(names))

    @property
    def tool_names(self) -> list[str]:
        """Names of the available tools, in the order given, without repeats."""
        return list(self._tools)

    def select_for_prompt(
        self,
        prompt: str | None,
        *,
        predicted_intent: str | None = None,
        predicted_scope: str | None = None,
    ) -> tuple[list[str], str]:
        """Return ``(matched_tool_names, binding_tier)``.

        ``binding_tier`` is ``"strict"`` when no tool is bound, ``"scoped"``
        when only read tools are bound and ``"open"`` when any bound tool can
        change state (write, privileged or unknown kind).
        """
        allowed = _SCOPE_KINDS.get(predicted_scope or "read_only", _SCOPE_KINDS["read_only"])
        keywords = _INTENT_KEYWORDS.get(predicted_intent) if predicted_intent else None
        prompt_words = set(_words(prompt)) - _VERBS if isinstance(prompt, str) else set()

        matched: list[str] = []
        kinds: set[str] = set()
        for name in self._tools:
            words = _words(name)
            kind = _kind(words)
            if kind not in allowed or predicted_intent == "conversation":
                continue
            fits = keywords is None or not keywords.isdisjoint(words) or not prompt_words.isdisjoint(words)
            if not fits:
                continue
            matched.append(name)
            kinds.add(kind)

        if not matched:
            return matched, STRICT
        return matched, SCOPED if kinds == {"read"} else OPEN
