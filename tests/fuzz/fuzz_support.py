"""Settings, strategies and helpers shared by the fuzz tests."""

import contextlib
import logging
import os
import shutil
import tempfile

from hypothesis import settings, strategies as st


def fuzz_settings(weight=1.0):
    """The selected profile ("ci" unless HYPOTHESIS_PROFILE says otherwise),
    with `weight` times its base example count; half that in the sanitizer
    run (NEROV_SANITIZED=1), where every example takes several times longer."""
    name = os.environ.get("HYPOTHESIS_PROFILE", "ci")
    if name not in ("ci", "long"):
        raise ValueError(f"HYPOTHESIS_PROFILE={name!r}: the fuzz tests run with 'ci' or 'long'")
    profile = settings.get_profile("fuzz-" + name)
    if os.environ.get("NEROV_SANITIZED") == "1":
        weight /= 2
    return settings(profile, max_examples=max(1, int(profile.max_examples * weight)))


@contextlib.contextmanager
def scratch_dir():
    """A fresh directory, removed afterwards whatever was put in it."""
    path = tempfile.mkdtemp(prefix="nerov-fuzz-")
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


@contextlib.contextmanager
def working_dir(path):
    old = os.getcwd()
    os.chdir(path)
    try:
        yield path
    finally:
        os.chdir(old)


class _Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        record.getMessage()  # the arguments must format
        self.records.append((record.levelname, record.msg, record.args))


@contextlib.contextmanager
def log_records(logger):
    """Collects what `logger` emits as (level name, msg, args), not passing
    it on to the handlers above."""
    handler = _Records()
    saved = logger.level, logger.propagate
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    try:
        yield handler.records
    finally:
        logger.removeHandler(handler)
        logger.setLevel(saved[0])
        logger.propagate = saved[1]


def weighted(*pairs):
    """One of the strategies, each drawn with its weight: weighted((3, a), (1, b))."""
    return st.sampled_from([s for w, s in pairs for _ in range(w)]).flatmap(lambda s: s)


# ---------------------------------------------------------------------------
# Odd objects

# Characters every text strategy here draws from: anything Unicode holds,
# lone surrogates and NUL included.
SURROGATES = ["\ud800", "\udbff", "\udc80", "\udcff", "\udfff"]
any_char = weighted((8, st.characters(exclude_categories=())), (1, st.sampled_from(SURROGATES + ["\x00", "\ufeff"])))
any_text = st.text(any_char, max_size=12)


class Boom(Exception):
    """What the odd objects below raise."""


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path

    def __repr__(self):
        return f"PathLike({self.path!r})"


class FspathRaises:
    def __fspath__(self):
        raise Boom("fspath")

    def __repr__(self):
        return "FspathRaises()"


class HashRaises:
    def __hash__(self):
        raise Boom("hash")

    def __eq__(self, other):
        raise Boom("eq")

    def __repr__(self):
        return "HashRaises()"


class StrSub(str):
    pass
