"""Timing and printing shared by the benchmarks.

Each benchmark part is a plain script (`python benchmarks/NAME.py`) that
defines its workloads; `python benchmarks/run.py` measures all of them in one
run and prints one table.  Python puts this folder on the path, so the scripts
import these helpers as `_timing`.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field

REPEATS = 7


@dataclass
class Workload:
    """One timed task: quorvel's call and the calls of its peers on the same data.

    `items` is what one call processes (points, or grid values for a
    construction); times are reported per item.  A peer may process a
    different number of items (a slow peer on a subset): give it as
    (call, items).
    """

    name: str
    items: int
    quorvel: Callable[[], object]
    peers: dict[str, Callable[[], object] | tuple[Callable[[], object], int]] = field(default_factory=dict)


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


def measure(workloads: Iterable[Workload]) -> list[list[str]]:
    """Table rows: workload, quorvel ns/item, peer, peer ns/item, peer time over quorvel's."""
    rows = []
    for work in workloads:
        ours = ns_per_item(work.quorvel, work.items)
        rows.append([work.name, f"{ours:.2f}", "", "", ""])
        for peer, spec in work.peers.items():
            call, items = spec if isinstance(spec, tuple) else (spec, work.items)
            theirs = ns_per_item(call, items, repeats=REPEATS if items >= 10**5 else 3)
            rows.append(["", "", peer, f"{theirs:.2f}", f"{theirs / ours:.1f}x"])
    return rows


HEADERS = ["workload", "quorvel ns", "peer", "peer ns", "peer/quorvel"]


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


def run(workloads: Iterable[Workload]) -> None:
    """Measures and prints the workloads of one part."""
    print_table(HEADERS, measure(workloads))
