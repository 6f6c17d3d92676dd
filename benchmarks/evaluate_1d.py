"""One-dimensional evaluation timed against NumPy and SciPy on the same points.

Run with `python benchmarks/evaluate_1d.py`.  10^6 random points on 10^4
uniformly spaced knots; each time is the best of several repeats, in
nanoseconds per point.  Each other code's row names the quorvel case it is
compared with and the ratio of its time to quorvel's: above 1, quorvel is
faster.  `2.0 * p + 1.0` is a floor: one pass that
reads the points and writes a result.
"""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
from _timing import ns_per_item, print_table
from scipy.interpolate import CubicSpline
from scipy.ndimage import map_coordinates

from quorvel import _core

KNOTS = 10**4
POINTS = 10**6


def cases() -> list[tuple[str, Callable[[], object], str | None]]:
    """(label, call, label of the quorvel case it is compared with) for every timed case."""
    rng = np.random.default_rng(0)
    x = np.linspace(0.0, 100.0, KNOTS)
    y = np.sin(x) + 0.1 * rng.standard_normal(KNOTS)
    p = rng.uniform(x[0], x[-1], POINTS)
    u = (p - x[0]) / (x[1] - x[0])  # grid units, for map_coordinates

    def quorvel(kernel: str, derivative: int) -> Callable[[], object]:
        f = _core.Interpolant1D(x, y, kernel, "poly", "poly", derivative)
        return lambda: f.evaluate(p)

    spline = CubicSpline(x, y)
    return [
        ('quorvel "a1"', quorvel("a1", 0), None),
        ("numpy.interp", lambda: np.interp(p, x, y), 'quorvel "a1"'),
        ('quorvel "a3"', quorvel("a3", 0), None),
        ("CubicSpline", lambda: spline(p), 'quorvel "a3"'),
        ("map_coordinates order 3, no prefilter", lambda: map_coordinates(y, u[None], order=3, prefilter=False),
         'quorvel "a3"'),
        ('quorvel "a3" derivative 1', quorvel("a3", 1), None),
        ("CubicSpline derivative 1", lambda: spline(p, 1), 'quorvel "a3" derivative 1'),
        ('quorvel "b5"', quorvel("b5", 0), None),
        ('quorvel "b13"', quorvel("b13", 0), None),
        ("floor: 2.0 * p + 1.0", lambda: 2.0 * p + 1.0, None),
    ]


def main() -> None:
    timings: dict[str, float] = {}
    rows = []
    for label, call, versus in cases():
        timings[label] = ns_per_item(call, POINTS)
        ratio = f"{timings[label] / timings[versus]:.2f}" if versus else ""
        rows.append([label, f"{timings[label]:.1f}", versus or "", ratio])
    print(f"{POINTS:,} random points on {KNOTS:,} knots")
    print_table(["case", "ns/point", "compared with", "ratio"], rows)


if __name__ == "__main__":
    main()
