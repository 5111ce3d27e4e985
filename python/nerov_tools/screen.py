"""``nerov-screen``: screen prompts through the layer-1 stage, one JSON line each.

Prompts come from the arguments or, when there are none, one per line from
standard input (streamed: a file of any length is read a line at a time).
Each output line holds the prompt, its outcome and what the stage wrote:

* ``passed``   the stage completed; the request may go on;
* ``blocked``  the engine judged the prompt adversarial and it was not approved;
* ``rejected`` the prompt carries no meaningful content (nothing was analysed);
* ``failed``   the analysis itself failed (the error says why).

Exit status: 0 when nothing was blocked or failed, 1 when a prompt was
blocked, 4 when an analysis failed, 5 when both happened; 2 for usage errors.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import logging
import sys
from collections.abc import Iterable, Iterator
from typing import Any, TextIO

from nerov.packages.context import ExecutionContext
from nerov.packages.layers.layer1.exceptions import Layer1ProcessingError, PromptValidationError
from nerov.packages.layers.layer1.stages.promptsift import PromptsiftStage

DEFAULT_TOOLS = ("search_web", "read_file", "write_file", "send_email", "delete_file", "run_shell")

EXIT_BLOCKED = 1
EXIT_FAILED = 4


def make_tools(names: Iterable[str]) -> list[Any]:
    """Callables standing for the agent's tools; only their names matter here."""

    def tool(name: str) -> Any:
        def run(*args: Any, **kwargs: Any) -> None:
            raise NotImplementedError(f"{name} is a placeholder tool")

        run.__name__ = run.__qualname__ = name
        return run

    return [tool(n) for n in names if n]


async def screen_one(stage: PromptsiftStage, prompt: Any, *, approved: bool = False) -> dict[str, Any]:
    """Runs one prompt through ``stage`` and describes the outcome."""
    context = ExecutionContext.for_prompt(prompt, metadata={"is_approved": True} if approved else {})
    error = None
    try:
        await stage.process(context)
        outcome = "passed"
    except PromptValidationError as exc:
        written = vars(context.layer1)
        outcome = "blocked" if written else "rejected"
        error = str(exc)
    except Layer1ProcessingError as exc:
        outcome = "failed"
        error = str(exc)
    return {"prompt": prompt, "outcome": outcome, "error": error, "layer1": dict(vars(context.layer1))}


def _lines(stream: TextIO) -> Iterator[str]:
    for line in stream:
        yield line.rstrip("\r\n")


async def screen_all(stage: PromptsiftStage, prompts: Iterable[str], out: TextIO, *, approved: bool) -> int:
    status = 0
    for prompt in prompts:
        result = await screen_one(stage, prompt, approved=approved)
        if result["outcome"] == "blocked":
            status |= EXIT_BLOCKED
        elif result["outcome"] == "failed":
            status |= EXIT_FAILED
        out.write(json.dumps(result, ensure_ascii=False, default=str) + "\n")
    return status


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="nerov-screen",
        description="Screen prompts through the layer-1 stage and print one JSON line per prompt.",
    )
    parser.add_argument("prompts", nargs="*", help="prompts to screen (default: one per line from standard input)")
    parser.add_argument(
        "--tools",
        default=",".join(DEFAULT_TOOLS),
        help="comma-separated names of the tools available to the agent (default: %(default)s)",
    )
    parser.add_argument("--approve", action="store_true", help="mark every request as explicitly approved")
    parser.add_argument("-v", "--verbose", action="store_true", help="also log the stage's debug lines")
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    logging.basicConfig(
        level=logging.DEBUG if args.verbose else logging.WARNING,
        format="%(levelname)s %(name)s: %(message)s",
        stream=sys.stderr,
    )
    stage = PromptsiftStage(make_tools(args.tools.split(",")))
    prompts: Iterable[str] = args.prompts if args.prompts else _lines(sys.stdin)
    try:
        return asyncio.run(screen_all(stage, prompts, sys.stdout, approved=args.approve))
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, without a traceback.
        sys.stdout = None  # type: ignore[assignment]
        return 0
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
