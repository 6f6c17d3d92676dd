"""One-dimensional evaluation against NumPy and SciPy on the same points.

10^6 random points on 10^4 uniformly spaced knots; times are the best of
several repeats, in nanoseconds per point.  `2.0 * p + 1.0` is a floor: one
pass that reads the points and writes a result.
Run alone with `python benchmarks/evaluate_1d.py`, or in `benchmarks/run.py`.
"""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
from _timing import Workload, run
from scipy.interpolate import CubicSpline, make_interp_spline
from scipy.ndimage import map_coordinates

from quorvel import _core

KNOTS = 10**4
POINTS = 10**6


def workloads() -> list[Workload]:
    rng = np.random.default_rng(0)
    x = np.linspace(0.0, 100.0, KNOTS)
    y = np.sin(x) + 0.1 * rng.standard_normal(KNOTS)
    p = rng.uniform(x[0], x[-1], POINTS)
    u = ((p - x[0]) / (x[1] - x[0]))[None]  # grid units, for map_coordinates

    def quorvel(kernel: str, derivative: int = 0) -> Callable[[], object]:
        f = _core.Interpolant1D(x, y, kernel, "poly", "poly", derivative)
        return lambda: f.evaluate(p)

    spline = CubicSpline(x, y)
    derivative, antiderivative = spline.derivative(), spline.antiderivative()
    cubic, quintic = make_interp_spline(x, y, k=3), make_interp_spline(x, y, k=5)
    name = f"1-D {KNOTS:,} knots"
    return [
        Workload(f'{name}, "a1"', POINTS, quorvel("a1"), {"numpy.interp": lambda: np.interp(p, x, y)}),
        Workload(f'{name}, "a3"', POINTS, quorvel("a3"), {
            "CubicSpline": lambda: spline(p),
            "make_interp_spline k=3": lambda: cubic(p),
            "map_coordinates order 3": lambda: map_coordinates(y, u, order=3, prefilter=False),
            "floor 2.0 * p + 1.0": lambda: 2.0 * p + 1.0,
        }),
        Workload(f'{name}, "a3" derivative', POINTS, quorvel("a3", 1),
                 {"CubicSpline derivative": lambda: derivative(p)}),
        Workload(f'{name}, "a3" antiderivative', POINTS, quorvel("a3", -1),
                 {"CubicSpline antiderivative": lambda: antiderivative(p)}),
        Workload(f'{name}, "b5"', POINTS, quorvel("b5"), {
            "make_interp_spline k=5": lambda: quintic(p),
            "map_coordinates order 5": lambda: map_coordinates(y, u, order=5, prefilter=False),
        }),
        Workload(f'{name}, "b13"', POINTS, quorvel("b13")),
    ]


if __name__ == "__main__":
    run(workloads())
