"""A one-line progress display on stderr (a plain log when stderr is not a terminal)."""

from __future__ import annotations

import sys
import time


class Progress:
    def __init__(self, total: int, stream=sys.stderr):
        self.total = max(total, 1)
        self.done = 0
        self.stream = stream
        self.live = stream.isatty()
        self.started = time.monotonic()

    def _elapsed(self) -> str:
        seconds = int(time.monotonic() - self.started)
        return f"{seconds // 60:d}:{seconds % 60:02d}"

    def step(self, text: str) -> None:
        """Announces the next unit of work."""
        line = f"[{self.done + 1:>3}/{self.total}] {self._elapsed()} {text}"
        if self.live:
            self.stream.write("\r\033[K" + line[:160])
        else:
            self.stream.write(line + "\n")
        self.stream.flush()

    def finish_step(self, result: str = "") -> None:
        self.done += 1
        if self.live and result:
            self.stream.write(f"  {result}")
            self.stream.flush()

    def log(self, text: str) -> None:
        if self.live:
            self.stream.write("\r\033[K")
        self.stream.write(text + "\n")
        self.stream.flush()

    def close(self) -> None:
        if self.live:
            self.stream.write("\n")
        self.stream.write(f"done in {self._elapsed()}\n")
        self.stream.flush()
