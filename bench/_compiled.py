"""The plain-Python baselines compiled by Cython, the benchmarks' compiled peer,
the report line that sets a native figure against both, and the timing helper
the benchmarks share.

``load("baseline_artifax")`` compiles ``bench/baseline_artifax.py`` unchanged,
with Cython's default settings (what someone compiling the Python for speed
would do), into ``build/bench/`` beside the repository's other build output,
and imports it as the module ``cy_baseline_artifax``. Cython and setuptools
are installed into the running environment when missing: the benchmarks need
them, the package never does. A module is built again when its source, the
Cython version or the interpreter changes. The build runs in a child process,
whose output is shown only when it fails.
"""

import hashlib
import importlib
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
import timeit

LEGEND = "ratios are times, native over the other's: below 1.00 the native module is faster"
HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(os.path.dirname(HERE), "build", "bench")
MiB = 1 << 20


def best_each(fns, repeat, number=1, timer=timeit.default_timer):
    """Best time of each (by ``timer``), measured in turn so all see the same machine."""
    times = [[] for _ in fns]
    for _ in range(repeat):
        for fn, t in zip(fns, times):
            t.append(timeit.timeit(fn, number=number, timer=timer) / number)
    return [min(t) for t in times]


def _ensure_tools():
    try:
        import Cython  # noqa: F401
        import setuptools  # noqa: F401
    except ImportError:
        print("installing Cython and setuptools for the compiled peer", file=sys.stderr)
        subprocess.run([sys.executable, "-m", "pip", "--disable-pip-version-check", "-q", "install",
                        "cython>=3,<4", "setuptools"], check=True)
        importlib.invalidate_caches()


def load(name):
    """The module ``bench/<name>.py`` compiled by Cython, imported as ``cy_<name>``."""
    _ensure_tools()
    import Cython

    module_name = "cy_" + name
    with open(os.path.join(HERE, name + ".py"), "rb") as f:
        source = f.read()
    stamp = hashlib.sha256(b"\0".join([source, Cython.__version__.encode(), sys.version.encode()])).hexdigest()
    binary = os.path.join(BUILD, module_name + sysconfig.get_config_var("EXT_SUFFIX"))
    stamp_path = os.path.join(BUILD, module_name + ".stamp")
    try:
        with open(stamp_path) as f:
            fresh = f.read() == stamp and os.path.exists(binary)
    except FileNotFoundError:
        fresh = False
    if not fresh:
        print(f"compiling {name}.py with Cython {Cython.__version__}", file=sys.stderr)
        done = subprocess.run([sys.executable, __file__, name], capture_output=True, text=True)
        if done.returncode != 0:
            sys.stderr.write(done.stdout + done.stderr)
            raise RuntimeError(f"building the compiled {name} failed")
        with open(stamp_path, "w") as f:
            f.write(stamp)

    spec = importlib.util.spec_from_file_location(module_name, binary)
    module = importlib.util.module_from_spec(spec)
    sys.modules[module_name] = module
    spec.loader.exec_module(module)
    return module


def report(label, times, targets, show):
    """Prints a measure and returns whether its targets are met.

    ``times`` maps each contestant to its best time: "native", "plain" (the
    baseline as Python), "compiled" (the same baseline compiled), then any
    reference such as a built-in call. ``show`` formats a time. Each target
    ``(other, limit, strict)`` asks native/other to be at most ``limit``, or
    under it when ``strict``. Ratios are times, so lower is faster.
    """
    print(f"{label}: " + ", ".join(f"{name} {show(t)}" for name, t in times.items()))
    native, compiled = times["native"], times["compiled"]
    ratios = [f"native/{name} {native / t:.3f}" for name, t in times.items() if name != "native"]
    ratios += [f"compiled/{name} {compiled / t:.3f}" for name, t in times.items()
               if name not in ("native", "compiled")]
    met = all(native / times[other] < limit if strict else native / times[other] <= limit
              for other, limit, strict in targets)
    goal = ", ".join(f"native/{other} {'<' if strict else '<='} {limit:.2f}" for other, limit, strict in targets)
    verdict = f"    target {goal}: {'ok' if met else 'MISSED'}" if targets else ""
    print(f"    {'  '.join(ratios)}{verdict}")
    return met


def _build(name):
    from Cython.Build import cythonize
    from setuptools import Distribution, Extension

    module_name = "cy_" + name
    sources = os.path.join(BUILD, "src")
    os.makedirs(sources, exist_ok=True)
    copy = os.path.join(sources, module_name + ".py")
    shutil.copyfile(os.path.join(HERE, name + ".py"), copy)
    dist = Distribution({"ext_modules": cythonize([Extension(module_name, [copy])], force=True, quiet=True)})
    build_ext = dist.get_command_obj("build_ext")
    build_ext.build_lib = BUILD
    build_ext.build_temp = os.path.join(BUILD, "temp")
    build_ext.force = True
    dist.run_command("build_ext")


if __name__ == "__main__":
    _build(sys.argv[1])
