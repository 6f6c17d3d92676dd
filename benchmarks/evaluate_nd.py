"""N-dimensional evaluation timed against SciPy on the same points, and memory per grid value.

Run with `python benchmarks/evaluate_nd.py`.  10^6 random points on a 512^2
and on a 64^3 grid; each time is the best of several repeats, in nanoseconds
per point.  Each SciPy row names the quorvel case it is compared with and
the ratio of its time to quorvel's: above 1, quorvel is faster.
map_coordinates gets the points in grid units, computed beforehand and not
timed.

Memory: the bytes an interpolant holds per data value, from the shapes (the
extended array of (n + 2g)^N values plus the tails, prod(1 + k) - 1 terms
per extended value), beside the growth of the process's resident memory
over the construction (freed heap pages trimmed first), which should roughly
agree; large arrays may sit on 2 MiB pages, which rounds the growth up.
"""

from __future__ import annotations

import ctypes
import gc
import math
from collections.abc import Callable

import numpy as np
from _timing import ns_per_item, print_table
from scipy.interpolate import RegularGridInterpolator
from scipy.ndimage import map_coordinates

from quorvel import _core

POINTS = 10**6
GRIDS = [(512, 512), (64, 64, 64)]
HALF_WIDTH = {"a1": 1, "a3": 2, "b5": 5}


def resident_bytes() -> int:
    """Resident memory after handing freed heap pages back, so that growth counts only live data."""
    gc.collect()
    ctypes.CDLL(None).malloc_trim(0)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def held_bytes(shape: tuple[int, ...], kernel: str, derivatives: list[int]) -> int:
    """The extended coefficients and the integral tails, in bytes."""
    g = HALF_WIDTH[kernel] - 1
    extended = math.prod(n + 2 * g for n in shape)
    tail_terms = math.prod(1 - d for d in derivatives if d < 0) - 1
    return 8 * extended * (1 + tail_terms)


def quorvel_cases(shape: tuple[int, ...]) -> list[tuple[str, str, list[int]]]:
    cases = [(f'quorvel "{k}"', k, [0] * len(shape)) for k in ("a1", "a3", "b5")]
    if len(shape) == 3:
        cases.append(('quorvel "a3" antiderivative along axis 0', "a3", [-1, 0, 0]))
    return cases


def run_grid(shape: tuple[int, ...]) -> tuple[list[list[str]], list[list[str]]]:
    rng = np.random.default_rng(0)
    knots = [np.linspace(0.0, 1.0, n) for n in shape]
    values = rng.standard_normal(shape)
    points = np.column_stack([rng.uniform(0.0, 1.0, POINTS) for _ in shape])
    grid_units = ((points - 0.0) * (np.array(shape) - 1)).T.copy()  # map_coordinates' coordinates, per axis
    bcs = [("poly", "poly")] * len(shape)

    rows, memory = [], []
    timings: dict[str, float] = {}

    def time_case(label: str, call: Callable[[], object], versus: str | None) -> None:
        timings[label] = ns_per_item(call, POINTS)
        ratio = f"{timings[label] / timings[versus]:.2f}" if versus else ""
        rows.append([label, f"{timings[label]:.1f}", versus or "", ratio])

    # Every interpolant is built before anything is timed, and kept, so that none reuses another's memory.
    built = []
    for label, kernel, derivatives in quorvel_cases(shape):
        before = resident_bytes()
        built.append((label, _core.InterpolantND(knots, values, kernel, bcs, derivatives)))
        grown = resident_bytes() - before
        per_value = held_bytes(shape, kernel, derivatives) / values.size
        memory.append([label, f"{per_value:.2f}", f"{grown / values.size:.2f}"])
    for label, f in built:
        time_case(label, lambda f=f: f.evaluate(points), None)

    linear = RegularGridInterpolator(knots, values, method="linear")
    time_case("map_coordinates order 1", lambda: map_coordinates(values, grid_units, order=1, prefilter=False),
              'quorvel "a1"')
    time_case("RegularGridInterpolator linear", lambda: linear(points), 'quorvel "a1"')
    time_case("map_coordinates order 3, no prefilter",
              lambda: map_coordinates(values, grid_units, order=3, prefilter=False), 'quorvel "a3"')
    return rows, memory


def main() -> None:
    for shape in GRIDS:
        rows, memory = run_grid(shape)
        print(f"\n{POINTS:,} random points on a {' x '.join(map(str, shape))} grid")
        print_table(["case", "ns/point", "compared with", "ratio"], rows)
        print()
        print_table(["interpolant", "bytes per value (shapes)", "bytes per value (resident growth)"], memory)


if __name__ == "__main__":
    main()
