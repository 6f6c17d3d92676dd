"""Timing and printing shared by the benchmarks.

Each benchmark is a plain script (`python benchmarks/NAME.py`); Python puts
this folder on the path, so scripts import these helpers as `_timing`.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Sequence

REPEATS = 7


def best_time(call: Callable[[], object], repeats: int = REPEATS) -> float:
    """The shortest wall-clock time of `repeats` calls, in seconds (the first call warms up)."""
    call()
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def ns_per_item(call: Callable[[], object], items: int, repeats: int = REPEATS) -> float:
    """Best time of `call` in nanoseconds per item it processes."""
    return best_time(call, repeats) * 1e9 / items


def print_table(headers: Sequence[str], rows: Sequence[Sequence[str]]) -> None:
    """A plain text table: first column left-aligned, the others right-aligned."""
    widths = [max(len(str(row[i])) for row in [headers, *rows]) for i in range(len(headers))]

    def line(cells: Sequence[str]) -> str:
        first, *rest = (str(cell) for cell in cells)
        return "  ".join([first.ljust(widths[0]), *(cell.rjust(w) for cell, w in zip(rest, widths[1:]))])

    print(line(headers))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print(line(row))
