"""Progress on a terminal: one status line redrawn in place, as a bar for staging and as
the current phase for a merge."""

from __future__ import annotations

import io
import os
import time
from typing import TextIO

from tablora.readers import Source


class StatusLine:
    """One line of standard error, redrawn at most every INTERVAL seconds and cleared at the end."""

    INTERVAL = 0.1

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.start = time.perf_counter()
        self.last = 0.0

    def due(self, force: bool) -> bool:
        now = time.perf_counter()
        if not force and now - self.last < self.INTERVAL:
            return False
        self.last = now
        return True

    def elapsed(self) -> float:
        return max(time.perf_counter() - self.start, 1e-9)

    def draw(self, line: str) -> None:
        self.stream.write("\r" + line[: self.width()] + "\x1b[K")
        self.stream.flush()

    def width(self) -> int:
        try:
            columns = os.get_terminal_size(self.stream.fileno()).columns
        except (OSError, ValueError, io.UnsupportedOperation):
            columns = 0
        return (columns if columns >= 20 else 80) - 1

    def finish(self) -> None:
        self.stream.write("\r\x1b[K")
        self.stream.flush()


class Progress(StatusLine):
    """A progress bar: done share, rows and rows per second."""

    def __init__(self, stream: TextIO, label: str, source: Source) -> None:
        super().__init__(stream)
        self.label = label
        self.source = source
        encoding = (getattr(stream, "encoding", None) or "ascii").lower()
        self.cells = ("█", "░") if encoding.startswith("utf") else ("#", "-")

    def update(self, rows: int, *, force: bool = False) -> None:
        if not self.due(force):
            return
        elapsed = self.elapsed()
        figures = [f"{rows:,} rows", f"{rows / elapsed:,.0f} rows/s"]
        share = None
        position, total = self.source.position(), self.source.total
        if position is not None and total:
            share = min(position / total, 1.0)
            figures.insert(0, f"{share:4.0%}")
            if share > 0.01:
                left = int(elapsed * (1 - share) / share)
                figures.append(f"eta {left // 60}:{left % 60:02d}")
        line = "  ".join([self.label, *figures])
        if share is not None:
            cells = min(30, self.width() - len(line) - 4)  # the bar and its brackets, in the room left
            if cells >= 10:
                filled = int(share * cells)
                bar = "[" + self.cells[0] * filled + self.cells[1] * (cells - filled) + "]"
                line = "  ".join([self.label, bar, *figures])
        self.draw(line)


class Phases(StatusLine):
    """The phase a long call is in, with the time since it began."""

    def __init__(self, stream: TextIO, label: str) -> None:
        super().__init__(stream)
        self.label = label
        self.phase = ""

    def show(self, phase: str) -> None:
        changed = phase != self.phase
        self.phase = phase
        if self.due(changed):
            self.draw(f"{self.label}  {self.phase}  {self.elapsed():.1f} s")
