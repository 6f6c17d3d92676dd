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

REPEATS = 3
ROUNDS = 3  # rounds over quorvel and its peers in turn, so that a noisy spell of the machine hits all of them
# Short calls repeat until they have taken this long in a round, so that their best time is not that of
# a noisy moment (a Dask computation of 10 ms varied from 8 to 19 ms from call to call on a shared machine).
MIN_SECONDS = 0.2


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


@dataclass
class Figure:
    """A measured quantity that is no time (bytes per value, say): quorvel's and its peers', in one row.

    The last column is again the peer's figure over quorvel's.
    """

    name: str
    quorvel: float
    peers: dict[str, float] = field(default_factory=dict)
    format: str = ".2f"  # ".1e" for small quantities such as errors


def best_time(call: Callable[[], object], repeats: int = REPEATS, warm_up: bool = True) -> float:
    """The shortest wall-clock time of at least `repeats` calls, and of as many as take MIN_SECONDS in all, in
    seconds, after a call that warms up."""
    if warm_up:
        call()
    best, spent, done = float("inf"), 0.0, 0
    while done < repeats or spent < MIN_SECONDS:
        start = time.perf_counter()
        call()
        elapsed = time.perf_counter() - start
        best, spent, done = min(best, elapsed), spent + elapsed, done + 1
    return best


def ns_per_item(call: Callable[[], object], items: int, repeats: int = REPEATS, warm_up: bool = True) -> float:
    """Best time of `call` in nanoseconds per item it processes."""
    return best_time(call, repeats, warm_up) * 1e9 / items


def measure(workloads: Iterable[Workload | Figure]) -> list[list[str]]:
    """Table rows: workload, quorvel ns/item, peer, peer ns/item, peer time over quorvel's.

    Each call is timed in several rounds, taking turns with the other calls of
    its workload, and its best time counts.  Figures are given, not timed.
    """
    rows = []
    for work in workloads:
        if isinstance(work, Figure):
            rows.append([work.name, f"{work.quorvel:{work.format}}", "", "", ""])
            rows += [["", "", peer, f"{theirs:{work.format}}", f"{theirs / work.quorvel:.1f}x"]
                     for peer, theirs in work.peers.items()]
            continue
        calls = {"": (work.quorvel, work.items)}
        for peer, spec in work.peers.items():
            calls[peer] = spec if isinstance(spec, tuple) else (spec, work.items)
        best = dict.fromkeys(calls, float("inf"))
        for round in range(ROUNDS):
            for name, (call, items) in calls.items():
                repeats = REPEATS if items >= 10**5 else 1
                best[name] = min(best[name], ns_per_item(call, items, repeats, warm_up=round == 0))
        ours = best.pop("")
        rows.append([work.name, f"{ours:.2f}", "", "", ""])
        rows += [["", "", peer, f"{theirs:.2f}", f"{theirs / ours:.1f}x"] for peer, theirs in best.items()]
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


def run(workloads: Iterable[Workload | Figure]) -> None:
    """Measures and prints the workloads of one part."""
    print_table(HEADERS, measure(workloads))
