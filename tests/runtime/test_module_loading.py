"""Each module loads into one interpreter and as one module object per process."""

import subprocess
import sys
import textwrap

import pytest

MODULES = {
    "artifax": "nerov.packages.brain.artifax",
    "promptsift": "nerov.packages.layers.layer1.stages.promptsift",
}


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("short, name", MODULES.items())
def test_second_module_object_is_refused(short, name):
    proc = run_python(f"""
        import importlib, sys
        first = importlib.import_module({name!r})
        del sys.modules[{name!r}]
        try:
            importlib.import_module({name!r})
        except RuntimeError as e:
            print(type(e).__name__, e)
        # The first module object keeps working.
        print(callable(getattr(first, {'cli_download' if short == 'artifax' else '_get_vantor'!r})))
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        f"RuntimeError Module '{short}' has already been imported. Re-initialisation is not supported.",
        "True",
    ]


@pytest.mark.parametrize("config", ["legacy", "isolated"])
@pytest.mark.parametrize("name", MODULES.values())
def test_import_into_a_second_interpreter_is_refused(name, config):
    proc = run_python(f"""
        import _interpreters, importlib
        importlib.import_module({name!r})
        interp = _interpreters.create(_interpreters.new_config({config!r}))
        try:
            err = _interpreters.run_string(interp, "import {name}")
        finally:
            _interpreters.destroy(interp)
        print(err.type.__name__, err.msg)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == (
        "ImportError Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


@pytest.mark.parametrize("name", MODULES.values())
def test_a_module_object_that_could_not_be_made_leaves_the_library_free(name):
    # The module's name fails at its third read: the module's own, after the import system's two.
    proc = run_python(f"""
        import _interpreters, importlib.util
        found = importlib.util.find_spec({name!r})
        class NameFailsOnce(type(found)):
            reads = 0
            @property
            def name(self):
                NameFailsOnce.reads += 1
                if NameFailsOnce.reads == 3:
                    raise LookupError("no name now")
                return self.__dict__["name"]
        failing = NameFailsOnce.__new__(NameFailsOnce)
        failing.__dict__.update(found.__dict__)
        try:
            found.loader.create_module(failing)
        except LookupError as e:
            print(e)
        interp = _interpreters.create(_interpreters.new_config("legacy"))  # legacy: pydantic's core
        try:
            print(_interpreters.run_string(interp, "import {name}"))
        finally:
            _interpreters.destroy(interp)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["no name now", "None"]
