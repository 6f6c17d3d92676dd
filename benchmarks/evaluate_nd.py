"""N-dimensional evaluation against SciPy on the same points, and memory held.

10^6 random points on a 512^2 and on a 64^3 grid; times are the best of
several repeats, in nanoseconds per point.  map_coordinates gets the points in
grid units, computed beforehand and not timed; the cubic RegularGridInterpolator
is timed on 2 * 10^4 of the points only (it is slow).
Run alone with `python benchmarks/evaluate_nd.py` (which also prints the
memory each interpolant holds), or in `benchmarks/run.py`.

Memory: the bytes an interpolant holds per data value, from the shapes (the
extended array of (n + 2g)^N values plus the tails, prod(1 + k) - 1 terms per
extended value), beside the growth of the process's resident memory over the
construction (freed heap pages trimmed first), which should roughly agree.
"""

from __future__ import annotations

import ctypes
import gc
import math
from collections.abc import Callable

import numpy as np
from _timing import Workload, print_table, run
from scipy.interpolate import RegularGridInterpolator
from scipy.ndimage import map_coordinates

from quorvel import Interpolator, _core

POINTS = 10**6
SLOW_POINTS = 2 * 10**4
HALF_WIDTH = {"a1": 1, "a3": 2, "b5": 5}


def grid(shape: tuple[int, ...]) -> tuple[list[np.ndarray], np.ndarray, np.ndarray]:
    rng = np.random.default_rng(0)
    knots = [np.linspace(0.0, 1.0, n) for n in shape]
    values = rng.standard_normal(shape)
    points = np.column_stack([rng.uniform(0.0, 1.0, POINTS) for _ in shape])
    return knots, values, points


def workloads() -> list[Workload]:
    work = []
    for shape, cases in [((512, 512), [("a3", 0), ("b5", 0)]),
                         ((64, 64, 64), [("a1", 0), ("a3", 0), ("b5", 0), ("a3", -1)])]:
        knots, values, points = grid(shape)
        units = (points * (np.array(shape) - 1)).T.copy()  # map_coordinates' coordinates, per axis
        few = points[:SLOW_POINTS]

        def mapped(order: int) -> Callable[[], object]:
            return lambda: map_coordinates(values, units, order=order, prefilter=False)

        linear = RegularGridInterpolator(knots, values, method="linear")
        cubic = RegularGridInterpolator(knots, values, method="cubic")
        peers = {
            "a1": {"map_coordinates order 1": mapped(1), "RegularGridInterpolator linear": lambda: linear(points)},
            "a3": {"map_coordinates order 3": mapped(3),
                   "RegularGridInterpolator cubic": (lambda: cubic(few), SLOW_POINTS)},
            "b5": {"map_coordinates order 5": mapped(5)},
        }
        name = "x".join(map(str, shape))
        for kernel, derivative in cases:
            orders = [derivative] + [0] * (len(shape) - 1)
            f = _core.InterpolantND(knots, values, kernel, [("poly", "poly")] * len(shape), orders)
            label = f'{len(shape)}-D {name}, "{kernel}"' + (" antiderivative along axis 0" if derivative else "")
            work.append(Workload(label, POINTS, lambda f=f, points=points: f.evaluate(points),
                                 {} if derivative else peers[kernel]))
    work += gradients()
    return work


def gradients() -> list[Workload]:
    """The gradient and the Hessian of 3-D "b5" against one value evaluation and against the derivative
    interpolators one at a time."""
    knots, values, points = grid((64, 64, 64))
    f = Interpolator(knots, values, "b5", "poly", workers=1)
    first = [f.derivative(axis=a) for a in range(3)]
    second = [f.derivative([1, 1], axis=(a, b)) if a != b else f.derivative(2, axis=a)
              for a in range(3) for b in range(a, 3)]
    return [
        Workload('3-D 64^3 "b5" gradient', POINTS, lambda: f.gradient(points), {
            "one value evaluation": lambda: f(points),
            "3 derivative interpolators": lambda: [g(points) for g in first],
        }),
        Workload('3-D 64^3 "b5" Hessian', POINTS, lambda: f.hessian(points), {
            "one value evaluation": lambda: f(points),
            "6 derivative interpolators": lambda: [g(points) for g in second],
        }),
    ]


def resident_bytes() -> int:
    """Resident memory after handing freed heap pages back, so that growth counts only live data."""
    gc.collect()
    ctypes.CDLL(None).malloc_trim(0)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def memory_rows() -> list[list[str]]:
    rows = []
    kept = []  # every interpolant is kept, so that none reuses another's memory
    for shape in [(512, 512), (64, 64, 64)]:
        knots, values, _ = grid(shape)
        cases = [("a1", [0] * len(shape)), ("a3", [0] * len(shape)), ("b5", [0] * len(shape))]
        if len(shape) == 3:
            cases.append(("a3", [-1, 0, 0]))
        for kernel, derivatives in cases:
            before = resident_bytes()
            kept.append(_core.InterpolantND(knots, values, kernel, [("poly", "poly")] * len(shape), derivatives))
            grown = resident_bytes() - before
            g = HALF_WIDTH[kernel] - 1
            extended = math.prod(n + 2 * g for n in shape)
            tails = math.prod(1 - d for d in derivatives if d < 0) - 1
            label = f'{"x".join(map(str, shape))} "{kernel}" orders {derivatives}'
            rows.append([label, f"{8 * extended * (1 + tails) / values.size:.2f}", f"{grown / values.size:.2f}"])
    return rows


if __name__ == "__main__":
    run(workloads())
    print()
    print_table(["interpolant", "bytes per value (shapes)", "bytes per value (resident growth)"], memory_rows())
