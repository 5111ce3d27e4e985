"""What every command shares: exit statuses, the argument parser, the entry-point wrapper, output, logging.

Each console entry point is ``run(main, prog=...)``: ``main`` parses its own
arguments (``parser(...)`` gives ``--help`` and ``--version``), does its job,
writes its results with ``emit`` and returns an exit status. ``run`` turns
the ways a command can end early into a status and at most one line on
standard error:

* Ctrl-C (``KeyboardInterrupt``): ``EXIT_INTERRUPTED``, no traceback;
* the reader of standard output went away (``| head``): quiet, ``EXIT_OK``
  (a command that wants to report what it did so far catches
  ``BrokenPipeError`` itself and calls ``silence_stdout``);
* any other output error (disk full, standard output closed): ``EXIT_OUTPUT``;
* ``CliError(message, status)``: the message and its status;
* anything else: ``EXIT_ERROR`` (the traceback is logged at DEBUG).
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import importlib
import logging
import os
import signal
import sys
from collections.abc import Callable, Iterator, Sequence
from types import ModuleType
from typing import Any

EXIT_OK = 0
EXIT_BLOCKED = 1  # a prompt was blocked (nerov-models: a model file does not match its manifest)
EXIT_USAGE = 2  # argparse's own status for a bad command line
EXIT_ERROR = 3  # the command could not run: missing kit module, unreadable input or path, unexpected error
EXIT_FAILED = 4  # an analysis failed; EXIT_BLOCKED | EXIT_FAILED = 5 when both happened
EXIT_OUTPUT = 6  # standard output could not be written (a closed pipe excepted)
EXIT_INVALID = 8  # nerov-screen --jsonl: an input line was not a valid request; adds to 1 and 4
EXIT_INTERRUPTED = 130  # Ctrl-C, as shells report a command ended by SIGINT

# The statuses every command can end with; commands add their outcomes.
COMMON_STATUSES: tuple[tuple[int, str], ...] = (
    (EXIT_USAGE, "usage error (unknown option, bad argument)"),
    (EXIT_ERROR, "failure to run (missing kit module, unreadable input, unexpected error)"),
    (EXIT_OUTPUT, "standard output could not be written (a closed pipe ends quietly instead)"),
    (EXIT_INTERRUPTED, "interrupted (Ctrl-C)"),
)

LOG_FORMAT = "%(levelname)s %(name)s: %(message)s"
LOG_LEVELS = ("DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL")

_log = logging.getLogger("nerov_tools")


class CliError(Exception):
    """Ends a command with one line on standard error and ``status``."""

    def __init__(self, message: str, status: int = EXIT_ERROR) -> None:
        super().__init__(message)
        self.status = status


class OutputError(CliError):
    """Standard output could not be written (other than a closed pipe)."""

    def __init__(self, message: str) -> None:
        super().__init__(message, EXIT_OUTPUT)


def version() -> str:
    import importlib.metadata  # only for --version: it costs nerov-models tens of milliseconds at every start

    try:
        return importlib.metadata.version("nerov-native")
    except importlib.metadata.PackageNotFoundError:
        return "unknown (not installed)"


class _Version(argparse.Action):
    """``--version``: prints "prog version" and exits, looking the version up only then."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS,
                         help="show program's version number and exit")

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> None:
        with writing():  # where argparse's own version action writes, but a failure is reported
            sys.stdout.write(f"{parser.prog} {version()}\n")
        parser.exit()


class _Parser(argparse.ArgumentParser):
    """A parser whose help, written to standard output, reports a failure to
    write it (argparse's own drops it and exits with success)."""

    def print_help(self, file: Any = None) -> None:
        with writing():
            (file or sys.stdout).write(self.format_help())


def require(module: str) -> ModuleType:
    """Imports ``module``; a missing module (it or one it imports) is a
    ``CliError`` that says which one and how to get it."""
    try:
        return importlib.import_module(module)
    except ModuleNotFoundError as exc:
        raise CliError(_missing_module(exc.name or module)) from exc


_OWN_MODULES = ("nerov.packages.brain.artifax", "nerov.packages.layers.layer1.stages.promptsift", "nerov_tools")


def _missing_module(name: str) -> str:
    if name.startswith(_OWN_MODULES):
        return f"module {name!r} of nerov-native is missing: reinstall nerov-native"
    if name == "nerov" or name.startswith("nerov."):
        return (f"kit module {name!r} is missing: run this in the agent-security kit's environment, "
                "or for a trial install the kit stand-ins (pip install ./standins from this project's source)")
    return f"module {name!r} is missing: reinstall nerov-native with its dependencies"


def parser(
    prog: str,
    description: str,
    *,
    statuses: Sequence[tuple[int, str]] = (),
    notes: str = "",
    logging_options: bool = False,
) -> argparse.ArgumentParser:
    """An argument parser with ``--version`` and, in its help, ``notes`` and
    the list of exit statuses (``statuses`` and ``COMMON_STATUSES``).
    ``logging_options`` adds ``-q/--quiet``, ``-v/--verbose`` and ``--log-level``
    (see ``setup_logging``), which mean the same on every command."""
    listed = sorted({**dict(COMMON_STATUSES), **dict(statuses)}.items())
    epilog = "exit status:\n" + "\n".join(f"  {status:<5}{meaning}" for status, meaning in listed)
    if notes:
        epilog = notes.strip("\n") + "\n\n" + epilog
    p = _Parser(
        prog=prog, description=description, epilog=epilog, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    p.add_argument("--version", action=_Version)
    if logging_options:
        p.add_argument(
            "-q", "--quiet", action="store_true",
            help="print only results and errors: no warnings, summary or progress line",
        )
        p.add_argument(
            "-v", "--verbose", dest="log_level", action="store_const", const="DEBUG",
            help="also print debug log lines (the same as --log-level DEBUG)",
        )
        p.add_argument(
            "--log-level", type=str.upper, choices=LOG_LEVELS, metavar="LEVEL",
            help="lowest level of log lines on standard error: %s (default: WARNING, ERROR with --quiet; "
            "the last of -v and --log-level counts)" % ", ".join(LOG_LEVELS),
        )
    return p


def setup_logging(args: argparse.Namespace, *, default: str = "WARNING") -> None:
    """Log lines go to standard error, at ``--log-level``, else ERROR when quiet, else ``default``."""
    level = getattr(args, "log_level", None) or ("ERROR" if getattr(args, "quiet", False) else default)
    root = logging.getLogger()
    if not root.handlers:  # a host that set up logging (a test run) keeps its handlers
        logging.basicConfig(format=LOG_FORMAT, stream=sys.stderr)
    root.setLevel(level)


def emit(line: str) -> None:
    """Writes one line to standard output and flushes it, so that a reader
    at the other end of a pipe gets it at once."""
    out = sys.stdout
    try:
        out.write(line + "\n")
        out.flush()
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise _output_error(exc) from exc


def flush_stdout() -> None:
    """Flushes standard output, reporting a failure as ``OutputError``."""
    with writing():
        pass


@contextlib.contextmanager
def writing() -> Iterator[None]:
    """Reports output errors of code that prints by itself (then flushes) as ``OutputError``."""
    try:
        yield
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise _output_error(exc) from exc


def reason(exc: OSError) -> str:
    """What went wrong, as the system words it (``strerror``), else the error's text."""
    return exc.strerror or str(exc)


def _output_error(exc: OSError) -> OutputError:
    return OutputError(f"cannot write standard output: {reason(exc)}")


def silence_stdout() -> None:
    """Points standard output at the null device, so that whatever is still
    buffered (and the flush at exit) goes nowhere instead of failing again."""
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, ValueError, OSError):
        sys.stdout = None
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, fd)
    finally:
        os.close(devnull)


def say(prog: str, message: str) -> None:
    """One line on standard error: "prog: message"."""
    if sys.stderr is None:  # closed when the process started (print would pick standard output)
        return
    try:
        print(f"{prog}: {message}", file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass  # nowhere left to say it; the status still tells


def _flush_or_silence() -> None:
    """Flushes standard output; when that fails, drops what is left instead."""
    try:
        if sys.stdout is not None:
            sys.stdout.flush()
    except (OSError, ValueError):
        silence_stdout()


def run(main: Callable[[], int | None], *, prog: str, exiting: bool = False) -> int:
    """Runs a command's ``main`` and returns its exit status; see the module's text.

    ``exiting``: the process ends right after (a console entry point). A
    Ctrl-C then no longer interrupts the shutdown (with a traceback), and the
    objects left are frozen out of the cycle collector, which would otherwise
    walk every one of them again at shutdown: with the kit loaded that is
    about 0.1 s of a Ctrl-C's latency, for memory the process is about to
    hand back anyway."""
    try:
        return _run(main, prog)
    except KeyboardInterrupt:
        # A further Ctrl-C while a failure is reported, or while a flush
        # waits on a reader who does not read: what is left is dropped.
        silence_stdout()
        return EXIT_INTERRUPTED
    finally:
        if exiting:
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            gc.freeze()


def _run(main: Callable[[], int | None], prog: str) -> int:
    try:
        if sys.stdout is None:
            raise OutputError("cannot write standard output: it is closed")
        try:
            status = main()
        except SystemExit as exc:  # argparse after --help, --version or a usage error
            status = exc.code  # type: ignore[assignment]
        flush_stdout()  # now, where a failure can still be reported
        if status is None or isinstance(status, int):
            return status or EXIT_OK
        say(prog, str(status))  # sys.exit("message")
        return EXIT_ERROR
    except KeyboardInterrupt:
        _flush_or_silence()
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        silence_stdout()
        return EXIT_OK
    except OutputError as exc:
        silence_stdout()
        say(prog, str(exc))
        return exc.status
    except CliError as exc:
        _flush_or_silence()
        say(prog, str(exc))
        return exc.status
    except Exception as exc:
        _flush_or_silence()
        _log.debug("%s: unexpected error", prog, exc_info=True)
        say(prog, f"unexpected error: {type(exc).__name__}: {exc}")
        return EXIT_ERROR
