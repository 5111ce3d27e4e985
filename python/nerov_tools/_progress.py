"""A progress line on standard error for long runs, shown only on a terminal.

    with Progress(lambda elapsed, done: f"{done:,} prompts  {rate(done, elapsed)}") as progress:
        for item in items:
            ...
            progress.update(done)

``update`` is cheap enough to call for every item: it redraws the line at
most every ``interval`` seconds, by calling ``render(elapsed, *args)``. The
line is cut to the terminal's width and erased at the end. A log line that a
handler of the root logger writes to the same terminal goes above it: the
line is erased, the log line written, and the line drawn again as it was, so
both stay whole. When the stream is not a terminal nothing is ever written.
"""

from __future__ import annotations

import logging
import math
import os
import shutil
import sys
import time
from collections.abc import Callable
from typing import Any, TextIO

_ERASE = "\r\x1b[K"


class Progress:
    def __init__(
        self,
        render: Callable[..., str],
        *,
        stream: TextIO | None = None,
        interval: float = 0.25,
        enabled: bool | None = None,
    ) -> None:
        self._render = render
        self._stream = stream if stream is not None else sys.stderr
        self._interval = interval
        self.enabled = is_terminal(self._stream) if enabled is None else enabled
        self._start = self._next = 0.0
        self._shown = False
        self._line = ""  # the text drawn last, as cut to the width
        self._handlers: list[logging.Handler] = []

    def __enter__(self) -> Progress:
        self._start = time.monotonic()
        self._next = self._start + self._interval  # nothing for runs shorter than that
        if self.enabled:
            # Handlers that write to the same terminal write around the line.
            self._handlers = [h for h in logging.getLogger().handlers
                              if getattr(h, "stream", None) is self._stream and "emit" not in vars(h)]
            for handler in self._handlers:
                handler.emit = self._around(handler.emit)  # type: ignore[method-assign,assignment]
        return self

    def __exit__(self, *exc: object) -> None:
        for handler in self._handlers:
            del handler.emit  # back to the class's own
        self._handlers = []
        self.clear()

    def update(self, *args: Any) -> None:
        """Redraws the line with ``render(elapsed, *args)`` when it is due."""
        if not self.enabled:
            return
        now = time.monotonic()
        if now < self._next:
            return
        self._next = now + self._interval
        self._line = self._render(now - self._start, *args)[:self._width() - 1]
        self._shown = True  # first: an interrupt as the line is written still gets it erased
        self._write(_ERASE + self._line)

    def clear(self) -> None:
        """Erases the line, if shown; the next ``update`` draws it again."""
        if self._shown:
            self._shown = False
            self._write(_ERASE)

    def _width(self) -> int:
        try:
            columns = os.get_terminal_size(self._stream.fileno()).columns
        except (AttributeError, ValueError, OSError):
            columns = 0
        return columns if columns > 0 else shutil.get_terminal_size().columns

    def _around(self, emit: Callable[[logging.LogRecord], None]) -> Callable[[logging.LogRecord], None]:
        """A handler's ``emit`` that writes its record above the line: erase
        the line, write the record, draw the line again."""

        def emit_above(record: logging.LogRecord) -> None:
            if not self._shown:
                emit(record)
                return
            self.clear()
            try:
                emit(record)
            finally:
                if self.enabled:
                    self._shown = True
                    self._write(_ERASE + self._line)

        return emit_above

    def _write(self, text: str) -> None:
        try:
            self._stream.write(text)
            self._stream.flush()
        except (OSError, ValueError):
            self.enabled = self._shown = False  # the terminal went away: stop drawing


def is_terminal(stream: Any) -> bool:
    """Whether ``stream`` is a terminal; False for anything that cannot say."""
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError, OSError):
        return False


def rate(done: float, elapsed: float, unit: str = "") -> str:
    """``done`` per second, e.g. "10,234/s" or, with ``unit="B"``, "1.2 GiB/s"."""
    per_second = done / elapsed if elapsed > 0 else 0.0
    return (size(per_second) if unit == "B" else f"{per_second:,.0f}{unit}") + "/s"


def percent(done: float, total: float) -> str:
    return f"{100.0 * done / total:.0f}%" if total > 0 else "?%"


def time_left(done: float, total: float, elapsed: float) -> str:
    """Time left at the rate so far, e.g. "1:05" or "2:01:05"; "?" before anything was done."""
    if done <= 0 or total <= 0 or elapsed <= 0:
        return "?"
    return duration(max(total - done, 0) * elapsed / done)


def duration(seconds: float) -> str:
    if not math.isfinite(seconds):
        return "?"
    minutes, secs = divmod(int(seconds + 0.5), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02}:{secs:02}" if hours else f"{minutes}:{secs:02}"


def size(n: float) -> str:
    """A byte count for people: "512 B", "3.4 MiB"."""
    if n < 1024:
        return f"{n:.0f} B"
    for unit in ("KiB", "MiB", "GiB", "TiB"):
        n /= 1024
        if n < 1024 or unit == "TiB":
            break
    return f"{n:.1f} {unit}"
