"""Speed of the artifact resolver against its targets, all measured in one run.

- cached ``resolve_core_models_root()`` against ``sys.getrecursionlimit()``
  (limit 1.5x);
- verification hashing (``_sha256`` and ``_verify_if_present`` on a fresh
  root) against ``hashlib.file_digest(f, "sha256")`` on the same 256 MiB file
  (at least 90% of its throughput);
- ``resolve_artifact`` (hit and miss) and ``generate_manifest`` over 2,000
  small files against the same steps in plain Python (``baseline_artifax``;
  no slower).

Every figure is the best of several repeats. Prints one line per target.

    python bench/bench_artifax.py [--repeat N] [--big-mib N]
"""

import argparse
import hashlib
import importlib
import logging
import os
import sys
import tempfile
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import baseline_artifax as baseline  # noqa: E402
from nerov.packages.brain import artifax  # noqa: E402

MiB = 1 << 20


def best(fn, repeat, number=1):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def best_pair(first, second, repeat, number=1):
    """Best time of each, measured alternately so both see the same machine."""
    a, b = [], []
    for _ in range(repeat):
        a.append(best(first, 1, number))
        b.append(best(second, 1, number))
    return min(a), min(b)


def report(label, ratio, limit, lower_is_better=True):
    ok = ratio <= limit if lower_is_better else ratio >= limit
    sign = "<=" if lower_is_better else ">="
    print(f"{label:52s} {ratio:6.3f}  (target {sign} {limit:.2f})  {'ok' if ok else 'MISSED'}")
    return ok


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
    logging.getLogger(artifax.logger.name).setLevel(logging.CRITICAL)
    results = []

    with tempfile.TemporaryDirectory() as tmp:
        make_site(tmp)

        # Cached core root: two namespace lookups and an identity test.
        artifax._resolved_core_root = artifax._UNSET
        os.environ["NEROV_SKIP_MODEL_CHECK"] = "1"
        assert artifax.resolve_core_models_root() is not None
        cached, builtin = best_pair(artifax.resolve_core_models_root, sys.getrecursionlimit,
                                    args.repeat, 1_000_000)
        print(f"cached resolve_core_models_root {cached * 1e9:6.1f} ns, "
              f"sys.getrecursionlimit {builtin * 1e9:6.1f} ns")
        results.append(report("cached resolve_core_models_root / builtin call", cached / builtin, 1.5))
        del os.environ["NEROV_SKIP_MODEL_CHECK"]

        # Single-artifact lookup, hit in the first root and miss everywhere.
        for name in ("hit.onnx", "missing.onnx"):
            assert artifax.resolve_artifact(name) == baseline.resolve_artifact(name)
            native, plain = best_pair(lambda: artifax.resolve_artifact(name),
                                      lambda: baseline.resolve_artifact(name), 3 * args.repeat, 500)
            kind = "hit" if name.startswith("hit") else "miss"
            print(f"resolve_artifact ({kind}) {native * 1e6:7.2f} us, baseline {plain * 1e6:7.2f} us")
            results.append(report(f"resolve_artifact ({kind}) / baseline", native / plain, 1.0))

        # Manifest generation over 2,000 small files.
        small = os.path.join(tmp, "small")
        make_small_tree(small)
        assert artifax.generate_manifest(small, "1") == baseline.generate_manifest(small, "1")
        native, plain = best_pair(lambda: artifax.generate_manifest(small, "1"),
                                  lambda: baseline.generate_manifest(small, "1"), args.repeat)
        print(f"generate_manifest (2000 files) {native * 1e3:7.2f} ms, baseline {plain * 1e3:7.2f} ms")
        results.append(report("generate_manifest / baseline", native / plain, 1.0))

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

        def verify_fresh():
            artifax._verified_roots = set()
            artifax._verify_if_present(big_root)

        assert artifax._sha256(big) == file_digest() == expected
        repeat = max(3, args.repeat // 2)
        for label, fn in (("_sha256", lambda: artifax._sha256(big)), ("_verify_if_present", verify_fresh)):
            t, reference = best_pair(fn, file_digest, repeat)
            mib_s = args.big_mib / t
            print(f"{label} {mib_s:7.0f} MiB/s, hashlib.file_digest {args.big_mib / reference:7.0f} MiB/s")
            results.append(report(f"{label} throughput / file_digest", reference / t, 0.9, False))

    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
