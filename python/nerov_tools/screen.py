"""``nerov-screen``: screen prompts through the layer-1 stage, one JSON line each.

Prompts come from the arguments or, when there are none, one per line from
standard input (streamed: a file of any length is read a line at a time, and
each answer is written and flushed as soon as its prompt is screened). With
``--jsonl`` each input line is a JSON object holding the prompt, its approval
and an id. Each output line holds the prompt, its outcome and what the stage
wrote:

* ``passed``   the stage completed; the request may go on;
* ``blocked``  the engine judged the prompt adversarial and it was not approved;
* ``rejected`` the prompt carries no meaningful content (nothing was analysed);
* ``failed``   the analysis itself failed (the error says why);
* ``invalid``  (``--jsonl``) the line was not a request (the error says why).
"""

from __future__ import annotations

import io
import json
import math
import os
import signal
import stat
import sys
import threading
import time
from collections import Counter
from collections.abc import Awaitable, Iterable, Iterator, Sequence
from types import SimpleNamespace
from typing import Any, TextIO, TypeVar

from . import _cli
from ._cli import EXIT_BLOCKED, EXIT_FAILED, EXIT_INTERRUPTED, EXIT_INVALID, EXIT_OK
from ._progress import Progress, duration, is_terminal, percent, rate, time_left

PROG = "nerov-screen"
DEFAULT_TOOLS = ("search_web", "read_file", "write_file", "send_email", "delete_file", "run_shell")
OUTCOMES = ("passed", "blocked", "rejected", "failed")
INVALID = "invalid"  # --jsonl: a line that is not a request

STATUSES = (
    (EXIT_OK, "no prompt was blocked, no analysis failed, no line was invalid"),
    (EXIT_BLOCKED, "a prompt was blocked"),
    (EXIT_FAILED, "an analysis failed"),
    (EXIT_BLOCKED | EXIT_FAILED, "both: a prompt was blocked and an analysis failed"),
    (EXIT_INVALID, "--jsonl: an input line was invalid; added to the above (9, 12, 13)"),
)

NOTES = """\
output:
  One JSON object a line, in UTF-8, written as soon as its prompt is screened:
  "prompt", "outcome" (passed, blocked, rejected: no meaningful content,
  failed: the analysis failed), "error" (null or the reason) and "layer1"
  (what the stage wrote). A prompt that was not valid UTF-8 is screened with
  each undecodable byte replaced by U+FFFD, and its line adds
  "invalid_utf8": true. Unless --quiet, a summary goes to standard error at
  the end, and a progress line while standard input is read from a file or
  pipe and standard error is a terminal.

JSON lines (--jsonl):
  Each input line (or argument) is a JSON object: "prompt" (a string,
  required; it may hold line breaks as \\n), "approved" (true or false,
  optional: the request's approval, overriding --approve) and "id" (any
  value, optional: copied to the output line as it is, first). Other keys are
  ignored. A line that is not such an object (not JSON, no string "prompt",
  an "approved" that is not true, false or null, a number too large for JSON)
  is not screened: its output line has "outcome": "invalid" and the reason in
  "error". The run goes on; output line N answers input line N. Bytes that
  are not UTF-8 are read as above, and the line adds "invalid_utf8": true.

stopping early:
  Ctrl-C stops after the prompt in hand, so the output holds whole lines only
  (a second Ctrl-C stops at once, e.g. when the reader does not read), with
  status 130. When the reader of the output goes away (| head), the command
  stops quietly with the status of what it screened so far."""


def tool_names(text: str) -> list[str]:
    """The names in a comma-separated list, trimmed, empty ones dropped."""
    return [name for name in (part.strip() for part in text.split(",")) if name]


def make_tools(names: Iterable[str]) -> list[Any]:
    """Callables standing for the agent's tools; only their names matter here."""

    def tool(name: str) -> Any:
        def run(*args: Any, **kwargs: Any) -> None:
            raise NotImplementedError(f"{name} is a placeholder tool")

        run.__name__ = run.__qualname__ = name
        return run

    return [tool(n) for n in names if n]


_kit_cache: SimpleNamespace | None = None


def load_kit() -> SimpleNamespace:
    """The kit's classes that screening needs, imported on first use."""
    global _kit_cache
    if _kit_cache is None:
        context = _cli.require("nerov.packages.context")
        exceptions = _cli.require("nerov.packages.layers.layer1.exceptions")
        stage = _cli.require("nerov.packages.layers.layer1.stages.promptsift")
        _kit_cache = SimpleNamespace(
            ExecutionContext=context.ExecutionContext,
            Layer1ProcessingError=exceptions.Layer1ProcessingError,
            PromptValidationError=exceptions.PromptValidationError,
            PromptsiftStage=stage.PromptsiftStage,
        )
    return _kit_cache


async def screen_one(stage: Any, prompt: Any, *, approved: bool = False) -> dict[str, Any]:
    """Runs one prompt through ``stage`` and describes the outcome."""
    kit = load_kit()
    context = kit.ExecutionContext.for_prompt(prompt, metadata={"is_approved": True} if approved else {})
    error = None
    try:
        await stage.process(context)
        outcome = "passed"
    except kit.PromptValidationError as exc:
        written = vars(context.layer1)
        outcome = "blocked" if written else "rejected"
        error = str(exc)
    except kit.Layer1ProcessingError as exc:
        outcome = "failed"
        error = str(exc)
    return {"prompt": prompt, "outcome": outcome, "error": error, "layer1": dict(vars(context.layer1))}


T = TypeVar("T")


def complete(awaitable: Awaitable[T]) -> T:
    """Drives a coroutine that never waits (the stage's ``process`` is one
    straight pass) to its end in the calling thread, without an event loop:
    no loop is there to turn Ctrl-C into a cancel that comes too late."""
    coro = awaitable.__await__()
    try:
        coro.send(None)
    except StopIteration as done:
        return done.value  # type: ignore[no-any-return]
    coro.close()
    raise RuntimeError("the stage waited for something; nerov-screen runs stages that complete in one pass")


_STATUS_OF = {"blocked": EXIT_BLOCKED, "failed": EXIT_FAILED, INVALID: EXIT_INVALID}


def status_of(outcome: str) -> int:
    return _STATUS_OF.get(outcome, EXIT_OK)


def _finite(text: str) -> float:
    value = float(text)
    if math.isinf(value):
        raise ValueError(f"number out of range: {text[:40]}")
    return value


def _not_json(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


# Only JSON: no NaN or Infinity, no number that only an infinity could stand
# for, since a copied "id" must come out as JSON again.
_decoder = json.JSONDecoder(parse_float=_finite, parse_constant=_not_json)


def parse_request(line: str) -> tuple[dict[str, Any], Any, bool | None, str | None]:
    """A JSON line as (the fields the output line copies, the prompt, its
    approval or None when not given, the fault or None)."""
    if not line.strip():
        return {}, None, None, "empty line"
    try:
        request = _decoder.decode(line)
    except json.JSONDecodeError as exc:
        return {}, None, None, f"not valid JSON: {exc.msg} at column {exc.colno}"
    except ValueError as exc:  # NaN, an out-of-range number, an int of over 4300 digits
        return {}, None, None, f"not valid JSON: {exc}"
    except RecursionError:
        return {}, None, None, "not valid JSON: nested too deeply"
    if not isinstance(request, dict):
        return {}, None, None, "not a JSON object"
    head = {"id": request["id"]} if "id" in request else {}
    prompt = request.get("prompt")
    approved = request.get("approved")  # null counts as not given
    if not isinstance(prompt, str):
        return head, None, None, '"prompt" is not a string' if "prompt" in request else 'no "prompt"'
    if approved is not None and not isinstance(approved, bool):
        return head, prompt, None, '"approved" is not true or false'
    return head, prompt, approved, None


class _Interrupt:
    """SIGINT while the loop screens or writes a prompt asks it to stop after
    that line; SIGINT while it waits for input, or a second one, stops at once
    (``KeyboardInterrupt``)."""

    def __init__(self) -> None:
        self.requested = False
        self.waiting = False
        self._previous: Any = None

    def __call__(self, signum: int, frame: Any) -> None:
        if self.waiting or self.requested:
            raise KeyboardInterrupt
        self.requested = True

    def __enter__(self) -> _Interrupt:
        # Only where Ctrl-C would interrupt anyway: a job started with SIGINT
        # ignored (`cmd &` in a script) keeps ignoring it.
        if (threading.current_thread() is threading.main_thread()
                and signal.getsignal(signal.SIGINT) is signal.default_int_handler):
            self._previous = signal.signal(signal.SIGINT, self)
        return self

    def __exit__(self, *exc: object) -> None:
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)


def _decoded(line: bytes | str) -> tuple[str, bool]:
    """A line without its end, as text, and whether it was valid UTF-8."""
    if isinstance(line, str):  # a text stream put in place of standard input
        return line.rstrip("\r\n"), True
    line = line.rstrip(b"\r\n")
    try:
        return line.decode("utf-8"), True
    except UnicodeDecodeError:
        return line.decode("utf-8", "replace"), False


def _argument(arg: str) -> tuple[str, bool]:
    """An argument as text; bytes that were not UTF-8 come in as surrogates."""
    try:
        arg.encode("utf-8")
    except UnicodeEncodeError:
        return _decoded(os.fsencode(arg))
    return arg, True


class _Input:
    """Standard input as (prompt, valid UTF-8) pairs, with what is known of its size."""

    def __init__(self, stream: TextIO | None) -> None:
        if stream is None:
            raise _cli.CliError("cannot read standard input: it is closed")
        self.stream: Any = getattr(stream, "buffer", stream)  # lines of bytes, or of text for a text stream
        self.is_terminal = is_terminal(stream)
        self.size = 0  # bytes, when standard input is a regular file
        try:
            st = os.fstat(self.stream.fileno())
            if stat.S_ISREG(st.st_mode):
                self.size = st.st_size
        except (AttributeError, ValueError, OSError):
            pass

    def position(self) -> int:
        try:
            return int(self.stream.tell())
        except (AttributeError, ValueError, OSError):
            return 0

    def __iter__(self) -> Iterator[tuple[str, bool]]:
        lines = iter(self.stream)
        while True:
            try:
                line = next(lines)
            except StopIteration:
                return
            except OSError as exc:
                raise _cli.CliError(f"cannot read standard input: {_cli.reason(exc)}") from exc
            yield _decoded(line)


def build_parser() -> Any:
    parser = _cli.parser(
        PROG,
        "Screen prompts through the layer-1 stage and print one JSON line per prompt.",
        statuses=STATUSES,
        notes=NOTES,
        logging_options=True,
    )
    parser.add_argument("prompts", nargs="*", help="prompts to screen (default: one per line from standard input)")
    parser.add_argument(
        "--tools",
        type=tool_names,
        default=list(DEFAULT_TOOLS),
        metavar="NAMES",
        help="comma-separated names of the tools available to the agent (default: %s)" % ", ".join(DEFAULT_TOOLS),
    )
    parser.add_argument("--approve", action="store_true", help="mark every request as explicitly approved")
    parser.add_argument("--jsonl", action="store_true",
                        help='each line (or argument) is a JSON object: "prompt", optional "approved" and "id"')
    return parser


def summary(counts: Counter[str], elapsed: float, *, interrupted: bool = False,
            outcomes: Sequence[str] = OUTCOMES) -> str:
    """One line: prompts, time, rate and the count of each outcome."""
    total = sum(counts[o] for o in outcomes)
    parts = ", ".join(f"{counts[o]:,} {o}" for o in outcomes)
    line = f"{total:,} prompt{'' if total == 1 else 's'} in {duration(elapsed)} ({rate(total, elapsed)}): {parts}"
    if counts["invalid_utf8"]:
        line += f"; {counts['invalid_utf8']:,} not valid UTF-8"
    return line + ("; interrupted" if interrupted else "")


def main(argv: Sequence[str] | None = None) -> int:
    """The console entry point: screens what ``argv`` (default: the command
    line) names and returns the exit status."""
    return _cli.run(lambda: _main(argv), prog=PROG, exiting=argv is None)


def _main(argv: Sequence[str] | None) -> int:
    args = build_parser().parse_args(argv)
    _cli.setup_logging(args)
    kit = load_kit()
    stage = kit.PromptsiftStage(make_tools(args.tools))
    if isinstance(sys.stdout, io.TextIOWrapper):
        # JSON lines are UTF-8 whatever the locale. A lone surrogate (a JSON
        # line may hold "\ud800") has no UTF-8 form: it is written as its JSON
        # escape, which reads back as the same string.
        sys.stdout.reconfigure(encoding="utf-8", errors="backslashreplace")

    source: _Input | None = None
    if args.prompts:
        prompts: Iterable[tuple[str, bool]] = [_argument(p) for p in args.prompts]
    else:
        source = _Input(sys.stdin)
        prompts = source
        if source.is_terminal and not args.quiet:
            _cli.say(PROG, f"reading {'JSON objects' if args.jsonl else 'prompts'} from the terminal, "
                     "one a line (Ctrl-D ends)")

    def render(elapsed: float, done: int) -> str:
        line = f"{PROG}: {done:,} prompts  {rate(done, elapsed)}"
        if source is not None and source.size:
            at = source.position()
            line += f"  {percent(at, source.size)}  {time_left(at, source.size, elapsed)} left"
        return line

    counts: Counter[str] = Counter()
    done = 0
    status = EXIT_OK
    interrupted = False
    start = time.monotonic()
    show_progress = not args.quiet and not (source is not None and source.is_terminal)
    with _Interrupt() as interrupt, Progress(render, enabled=None if show_progress else False) as progress:
        try:
            items = iter(prompts)
            while not interrupt.requested:
                interrupt.waiting = True
                if interrupt.requested:  # asked for while the flag was being set
                    raise KeyboardInterrupt
                item = next(items, None)
                interrupt.waiting = False
                if item is None:
                    break
                text, valid = item
                if args.jsonl:
                    result, prompt, approved, fault = parse_request(text)
                    result["prompt"] = prompt
                else:
                    result, prompt, approved, fault = {"prompt": text}, text, None, None
                if not valid:
                    result["invalid_utf8"] = True
                    counts["invalid_utf8"] += 1
                if fault is not None:
                    result.update(outcome=INVALID, error=fault, layer1={})
                else:
                    approved = args.approve if approved is None else approved
                    result.update(complete(screen_one(stage, prompt, approved=approved)))
                outcome = result["outcome"]
                counts[outcome] += 1
                done += 1
                status |= status_of(outcome)
                _cli.emit(json.dumps(result, ensure_ascii=False, default=str))
                progress.update(done)
            interrupted = interrupt.requested
        except KeyboardInterrupt:
            # Every finished line is flushed already; what may be left is part
            # of a line whose write the reader kept waiting, so the stop drops
            # it rather than wait on the reader again.
            _cli.silence_stdout()
            interrupted = True
        except BrokenPipeError:
            # The reader went away (`| head`): stop quietly, with what was found so far.
            _cli.silence_stdout()
            return status
    if not args.quiet:
        _cli.say(PROG, summary(counts, time.monotonic() - start, interrupted=interrupted,
                               outcomes=(*OUTCOMES, INVALID) if args.jsonl else OUTCOMES))
    return EXIT_INTERRUPTED if interrupted else status

if __name__ == "__main__":
    sys.exit(main())
