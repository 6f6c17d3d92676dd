"""Demo: ``python -m quorvel`` interpolates sin from a few knots and prints the errors."""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

from quorvel import _core

KNOTS = 40
KERNELS = ("a0", "a1", "a3", "a5", "b5", "b9", "b13")
Array = npt.NDArray[np.float64]


def largest_error(kernel: str, derivative: int, x: Array, points: Array, exact: Array) -> str:
    try:
        f = _core.Interpolant1D(x, np.sin(x), kernel, "poly", "poly", derivative)
    except ValueError:  # the kernel has no derivative of this order
        return "-"
    return f"{np.abs(f.evaluate(points) - exact).max():.1e}"


def main() -> None:
    x = np.linspace(0.0, 2.0 * math.pi, KNOTS)
    points = np.linspace(x[0], x[-1], 1001)
    quantities = [
        ("value", 0, np.sin(points)),
        ("derivative", 1, np.cos(points)),
        ("integral from 0", -1, 1.0 - np.cos(points)),
    ]
    print(f"sin sampled at {KNOTS} knots on [0, 2\u03c0]; largest error at {len(points)} points:")
    print(f"{'kernel':<8}" + "".join(f"{name:>17}" for name, _, _ in quantities))
    for kernel in KERNELS:
        errors = (largest_error(kernel, order, x, points, exact) for _, order, exact in quantities)
        print(f"{kernel:<8}" + "".join(f"{error:>17}" for error in errors))


if __name__ == "__main__":
    main()
