"""Progress bars, when asked for and when tqdm is there: a bar never makes a call fail.

tqdm is optional (the `dask` extra brings it); without it, or once drawing fails, no bar shows.
"""

from __future__ import annotations

import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

# Below this many rows no progress bar is shown unless asked for.
PROGRESS_ROWS = 1_000_000


class Bar:
    """A tqdm bar, or none; any failure of the bar ends the bar, never the call."""

    def __init__(self, bar: Any) -> None:
        self._bar = bar

    def update(self, n: int) -> None:
        if self._bar is not None:
            try:
                self._bar.update(n)
            except Exception:
                self.close()

    def close(self) -> None:
        bar, self._bar = self._bar, None
        if bar is not None:
            try:
                bar.close()
            except Exception:
                pass


def _on_terminal() -> bool:
    try:
        return sys.stderr is not None and sys.stderr.isatty()
    except (AttributeError, ValueError, OSError):  # a replaced, detached or closed stream
        return False


def _tqdm(rows: int, what: str) -> Any:
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]  # (tqdm ships no annotations)

        return tqdm(total=rows, desc=what, unit="rows", unit_scale=True)
    except Exception:  # tqdm missing, or no stream to draw on
        return None


@contextmanager
def progress_bar(progress: bool | None, rows: int, what: str) -> Iterator[Bar]:
    """A bar over `rows` when asked for, or by default on a terminal for large collections."""
    show = progress if progress is not None else rows >= PROGRESS_ROWS and _on_terminal()
    bar = Bar(_tqdm(rows, what) if show else None)
    try:
        yield bar
    finally:
        bar.close()
