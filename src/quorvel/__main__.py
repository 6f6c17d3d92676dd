"""Demo: ``python -m quorvel`` interpolates smooth functions in one and three dimensions.

For several kernels it prints the largest error of values, derivatives and
integrals against the exact answers, and how many points per second an
N-dimensional interpolator evaluates.
"""

from __future__ import annotations

import math
import time
from collections.abc import Callable, Sequence

import numpy as np
import numpy.typing as npt

import quorvel

Array = npt.NDArray[np.float64]


def table(title: str, header: Sequence[str], rows: Sequence[Sequence[str]]) -> None:
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    print(f"\n{title}")
    for cells in [header, ["-" * w for w in widths], *rows]:
        print("  " + "  ".join(cell.rjust(w) for cell, w in zip(cells, widths)))


def error(approximate: Array | float, exact: Array | float) -> str:
    return f"{np.max(np.abs(np.asarray(approximate) - exact)):.2e}"


def one_dimensional(rng: np.random.Generator) -> None:
    def f(x: Array) -> Array:
        return np.sin(3.0 * x) + 0.5 * np.cos(7.0 * x)

    def df(x: Array) -> Array:
        return 3.0 * np.cos(3.0 * x) - 3.5 * np.sin(7.0 * x)

    def antiderivative(x: Array) -> Array:  # zero at the first knot, 0
        return (1.0 - np.cos(3.0 * x)) / 3.0 + np.sin(7.0 * x) / 14.0

    knots = np.linspace(0.0, 2.0, 65)
    probes = np.r_[knots[0], rng.uniform(knots[0], knots[-1], 100_000), knots[-1]]
    rows = []
    for kernel in ("a1", "a3", "a4", "b5", "b7", "b13"):
        interpolant = quorvel.Interpolator(knots, f(knots), kernel)
        slope = "-"
        if quorvel.kernels()[kernel].max_derivative >= 1:
            slope = error(interpolant.derivative()(probes), df(probes))
        rows.append([
            kernel,
            error(interpolant(probes), f(probes)),
            slope,
            error(interpolant.antiderivative()(probes), antiderivative(probes)),
        ])
    table(
        f"1-D: f(x) = sin 3x + cos(7x)/2 on [0, 2], {len(knots)} knots, max error at {len(probes):,} points",
        ["kernel", "values", "derivative", "integral from 0"],
        rows,
    )


def three_dimensional(rng: np.random.Generator) -> None:
    def g(x: Array, y: Array, z: Array) -> Array:
        return np.sin(x) * np.cos(2.0 * y) * np.exp(0.5 * z)

    def gxy(x: Array, y: Array, z: Array) -> Array:  # d2g / dx dy
        return -2.0 * np.cos(x) * np.sin(2.0 * y) * np.exp(0.5 * z)

    def box_integral(lower: Sequence[float], upper: Sequence[float]) -> float:
        (x0, y0, z0), (x1, y1, z1) = lower, upper
        return (
            (math.cos(x0) - math.cos(x1))
            * (math.sin(2.0 * y1) - math.sin(2.0 * y0)) / 2.0
            * 2.0 * (math.exp(0.5 * z1) - math.exp(0.5 * z0))
        )

    grid = [np.linspace(0.0, 2.0, 41), np.linspace(0.0, 1.5, 31), np.linspace(-1.0, 1.0, 41)]
    data = g(*np.meshgrid(*grid, indexing="ij"))
    points = rng.uniform([0.0, 0.0, -1.0], [2.0, 1.5, 1.0], (100_000, 3))
    exact = g(*points.T)
    lower, upper = [0.2, 0.1, -0.8], [1.7, 1.3, 0.9]
    rows = []
    for kernel in ("a1", "a3", "a4", "b5", "b7"):
        interpolant = quorvel.Interpolator(grid, data, kernel)
        mixed = "-"
        if quorvel.kernels()[kernel].max_derivative >= 1:
            mixed = error(interpolant.derivative(axis=(0, 1))(points), gxy(*points.T))
        start = time.perf_counter()
        values = interpolant(points)
        rate = len(points) / (time.perf_counter() - start)
        rows.append([
            kernel,
            error(values, exact),
            mixed,
            error(interpolant.integrate(lower, upper), box_integral(lower, upper)),
            f"{rate:,.0f}",
        ])
    shape = "x".join(str(len(axis)) for axis in grid)
    table(
        f"3-D: g = sin x cos 2y exp(z/2) on a {shape} grid, max error at {len(points):,} points",
        ["kernel", "values", "d2g/dxdy", "box integral", "points/s"],
        rows,
    )


def main(sections: Sequence[Callable[[np.random.Generator], None]] = (one_dimensional, three_dimensional)) -> None:
    rng = np.random.default_rng(2024)
    print(f"quorvel: {len(quorvel.kernels())} kernels, " + ", ".join(quorvel.kernels()))
    for section in sections:
        section(rng)


if __name__ == "__main__":
    main()
