"""Construction: ghost extension and whole interpolants against numpy.pad.

numpy.pad(mode="edge") with the same number of ghosts only copies edge
values, so it bounds from below the memory traffic of any extension; times
are in nanoseconds per grid value, the best of several repeats.
Run alone with `python benchmarks/extension.py`, or in `benchmarks/run.py`.
"""

from __future__ import annotations

import numpy as np
from _timing import Workload, run
from scipy.interpolate import CubicSpline

from quorvel import _core


def workloads() -> list[Workload]:
    rng = np.random.default_rng(0)
    line = rng.standard_normal(10**7)
    x = np.linspace(0.0, 1.0, line.size)
    cube = rng.standard_normal((256, 256, 256))
    knots = [np.linspace(0.0, 1.0, 256)] * 3
    poly = [("poly", "poly")] * 3
    return [
        Workload('extend 256^3 "b13" poly', cube.size,
                 lambda: _core.extended_coefficients_nd(cube, "b13", poly),
                 {"numpy.pad edge": lambda: np.pad(cube, 8, mode="edge")}),
        Workload('extend 10^7 line "b13" detect', line.size,
                 lambda: _core.extended_coefficients(line, "b13", "detect", "detect"),
                 {"numpy.pad edge": lambda: np.pad(line, 8, mode="edge")}),
        Workload('build 1-D 10^7 "b13"', line.size,
                 lambda: _core.Interpolant1D(x, line, "b13", "poly", "poly", 0),
                 {"numpy.pad edge": lambda: np.pad(line, 8, mode="edge"),
                  "CubicSpline": lambda: CubicSpline(x, line)}),
        Workload('build 3-D 256^3 "a3"', cube.size,
                 lambda: _core.InterpolantND(knots, cube, "a3", poly, [0, 0, 0]),
                 {"numpy.pad edge": lambda: np.pad(cube, 1, mode="edge")}),
    ]


if __name__ == "__main__":
    run(workloads())
