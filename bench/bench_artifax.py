"""Speed of the artifact resolver against its targets, all measured in one run.

Every measure runs the native module, the same steps in plain Python
(``baseline_artifax``) and that baseline compiled by Cython (the compiled
peer, built into ``build/bench/`` on first use), interleaved, best of several
repeats:

- cached ``resolve_core_models_root()``, also against ``sys.getrecursionlimit()``
  (at most as long as that built-in call);
- ``resolve_artifact`` (hit and miss) and ``generate_manifest`` over 2,000
  small files (no slower than plain Python, faster than the compiled peer);
- verification hashing (``_sha256`` and ``_verify_if_present`` on a fresh
  root), also against ``hashlib.file_digest(f, "sha256")`` on the same 256 MiB
  file (at least 90% of its throughput, faster than the compiled peer).

Prints two lines per measure: the times, then the ratios and the targets.

    python bench/bench_artifax.py [--repeat N] [--big-mib N]
"""

import argparse
import hashlib
import importlib
import logging
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _compiled  # noqa: E402
import baseline_artifax as baseline  # noqa: E402
from _compiled import MiB  # noqa: E402
from nerov.packages.brain import artifax  # noqa: E402

AHEAD_OF_COMPILED = ("compiled", 1.0, True)


def measure(label, fns, repeat, number, targets, show):
    """Times the named functions (native, plain, compiled, references) and reports them."""
    times = dict(zip(fns, _compiled.best_each(list(fns.values()), repeat, number)))
    return _compiled.report(label, times, targets, show)


def make_site(tmp):
    """Both data packages installed as ordinary packages, and an override root."""
    site = os.path.join(tmp, "site")
    for name, files in (("nerov_brain_models", ["vantor_int8.onnx"]),
                        ("nerov_policy_nli", ["policy_nli_int8.onnx"])):
        os.makedirs(os.path.join(site, name))
        for f in files + ["__init__.py"]:
            open(os.path.join(site, name, f), "wb").close()
    override = os.path.join(tmp, "override")
    os.makedirs(override)
    open(os.path.join(override, "hit.onnx"), "wb").close()
    sys.path.insert(0, site)
    importlib.invalidate_caches()
    os.environ["NEROV_MODELS_DIR"] = override


def make_small_tree(root, count=2000, size=200):
    for i in range(count):
        d = os.path.join(root, f"d{i % 20:02d}")
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, f"f{i:04d}.bin"), "wb") as f:
            f.write(os.urandom(size))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=11)
    parser.add_argument("--big-mib", type=int, default=256)
    args = parser.parse_args(argv)
    compiled = _compiled.load("baseline_artifax")
    print(_compiled.LEGEND)
    modules = {"native": artifax, "plain": baseline, "compiled": compiled}
    for module in modules.values():
        logging.getLogger(module.logger.name).setLevel(logging.CRITICAL)

    def each(name, *args):
        """The named operation of every contestant, called with ``args``."""
        return {who: (lambda f=getattr(m, name): f(*args)) for who, m in modules.items()}

    def agree(name, *args):
        results = [getattr(m, name)(*args) for m in modules.values()]
        assert all(r == results[0] for r in results), f"{name} disagrees: {results}"
        return results[0]

    ns = lambda t: f"{t * 1e9:.1f} ns"  # noqa: E731
    us = lambda t: f"{t * 1e6:.2f} us"  # noqa: E731
    ms = lambda t: f"{t * 1e3:.2f} ms"  # noqa: E731
    results = []

    with tempfile.TemporaryDirectory() as tmp:
        make_site(tmp)

        # Cached core root: namespace lookups and an identity test.
        os.environ["NEROV_SKIP_MODEL_CHECK"] = "1"
        for module in modules.values():
            module._resolved_core_root = module._UNSET
        agree("resolve_core_models_root")
        assert artifax.resolve_core_models_root() is not None
        fns = {who: m.resolve_core_models_root for who, m in modules.items()}
        fns["builtin call"] = sys.getrecursionlimit
        results.append(measure("cached resolve_core_models_root", fns, args.repeat, 1_000_000,
                               [("builtin call", 1.0, False)], ns))
        del os.environ["NEROV_SKIP_MODEL_CHECK"]

        # Single-artifact lookup, hit in the first root and miss everywhere.
        for name in ("hit.onnx", "missing.onnx"):
            agree("resolve_artifact", name)
            kind = "hit" if name.startswith("hit") else "miss"
            results.append(measure(f"resolve_artifact ({kind})", each("resolve_artifact", name),
                                   3 * args.repeat, 500, [("plain", 1.0, False), AHEAD_OF_COMPILED], us))

        # Manifest generation over 2,000 small files.
        small = os.path.join(tmp, "small")
        make_small_tree(small)
        agree("generate_manifest", small, "1")
        results.append(measure("generate_manifest (2000 files)", each("generate_manifest", small, "1"),
                               args.repeat, 1, [("plain", 1.0, False), AHEAD_OF_COMPILED], ms))

        # Hashing throughput on one big file.
        big_root = os.path.join(tmp, "big")
        os.makedirs(big_root)
        big = os.path.join(big_root, "vantor_int8.onnx")
        with open(big, "wb") as f:
            chunk = os.urandom(MiB)
            for _ in range(args.big_mib):
                f.write(chunk)
        expected = hashlib.sha256(chunk * args.big_mib).hexdigest()
        with open(os.path.join(big_root, "manifest.json"), "w") as f:
            f.write('{"files": {"vantor_int8.onnx": {"sha256": "%s"}}}' % expected)

        def file_digest():
            with open(big, "rb") as fh:
                return hashlib.file_digest(fh, "sha256").hexdigest()

        def verify_fresh(module):
            module._verified_roots = set()
            module._verify_if_present(big_root)

        assert agree("_sha256", big) == file_digest() == expected
        repeat = max(3, args.repeat // 2)
        mib_s = lambda t: f"{args.big_mib / t:.0f} MiB/s"  # noqa: E731
        # At least 90% of file_digest's throughput.
        hashing = [("file_digest", 1 / 0.9, False), AHEAD_OF_COMPILED]
        fns = each("_sha256", big)
        fns["file_digest"] = file_digest
        results.append(measure("_sha256", fns, repeat, 1, hashing, mib_s))
        fns = {who: (lambda m=m: verify_fresh(m)) for who, m in modules.items()}
        fns["file_digest"] = file_digest
        results.append(measure("_verify_if_present", fns, repeat, 1, hashing, mib_s))

    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
