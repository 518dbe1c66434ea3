"""`tablora stage`: a one-line progress bar on a terminal."""

from __future__ import annotations

import io
import os
import time
from typing import TextIO

from tablora.cli.readers import Source


class Progress:
    """A one-line progress bar on a terminal: done share, rows and rows per second."""

    INTERVAL = 0.1

    def __init__(self, stream: TextIO, label: str, source: Source) -> None:
        self.stream = stream
        self.label = label
        self.source = source
        self.start = time.perf_counter()
        self.last = 0.0
        encoding = (getattr(stream, "encoding", None) or "ascii").lower()
        self.cells = ("█", "░") if encoding.startswith("utf") else ("#", "-")

    def update(self, rows: int, *, force: bool = False) -> None:
        now = time.perf_counter()
        if not force and now - self.last < self.INTERVAL:
            return
        self.last = now
        elapsed = max(now - self.start, 1e-9)
        figures = [f"{rows:,} rows", f"{rows / elapsed:,.0f} rows/s"]
        share = None
        position, total = self.source.position(), self.source.total
        if position is not None and total:
            share = min(position / total, 1.0)
            figures.insert(0, f"{share:4.0%}")
            if share > 0.01:
                left = int(elapsed * (1 - share) / share)
                figures.append(f"eta {left // 60}:{left % 60:02d}")
        label = f"staging {self.label}"
        width = self._columns() - 1
        line = "  ".join([label, *figures])
        if share is not None:
            cells = min(30, width - len(line) - 4)  # the bar and its brackets, in the room left
            if cells >= 10:
                filled = int(share * cells)
                bar = "[" + self.cells[0] * filled + self.cells[1] * (cells - filled) + "]"
                line = "  ".join([label, bar, *figures])
        self.stream.write("\r" + line[:width] + "\x1b[K")
        self.stream.flush()

    def _columns(self) -> int:
        try:
            columns = os.get_terminal_size(self.stream.fileno()).columns
        except (OSError, ValueError, io.UnsupportedOperation):
            columns = 0
        return columns if columns >= 20 else 80

    def finish(self) -> None:
        self.stream.write("\r\x1b[K")
        self.stream.flush()
