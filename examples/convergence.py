"""Draw how fast each kernel's error falls as the grid is refined.

A smooth function, f(x) = exp(sin(3x)) on [0, 6], is sampled on grids of 23 to
4096 knots and interpolated with every kernel (default boundary handling,
"detect"). The maximum error of the values and of the first derivatives is
measured at 30001 points spanning the whole range, ends included. On smooth
data the error falls like h**p; the legend gives the observed order p, the
slope through the three finest grids whose error lies clear of rounding
(dotted line).

    python examples/convergence.py [--output docs/convergence.png]
"""

from __future__ import annotations

import argparse
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt
import numpy as np
import numpy.typing as npt

import quorvel

Array = npt.NDArray[np.float64]
DEFAULT_OUTPUT = Path(__file__).resolve().parent.parent / "docs" / "convergence.png"
LENGTH = 6.0
SIZES = np.unique(np.round(2.0 ** np.arange(4.5, 12.01, 0.5)).astype(int))
PROBES = np.linspace(0.0, LENGTH, 30001)
# Errors below these are mostly rounding (a derivative's rounding grows like 1/h).
NOISE_FLOOR = {0: 1e-12, 1: 1e-10}


def f(x: Array) -> Array:
    return np.exp(np.sin(3.0 * x))


def df(x: Array) -> Array:
    return 3.0 * np.cos(3.0 * x) * f(x)


def max_errors(kernel: str, derivative: int) -> Array:
    """The maximum error over PROBES on each grid of SIZES."""
    errors = []
    for size in SIZES:
        knots = np.linspace(0.0, LENGTH, size)
        interpolant = quorvel.Interpolator(knots, f(knots), kernel).derivative(derivative)
        truth = f(PROBES) if derivative == 0 else df(PROBES)
        errors.append(np.max(np.abs(interpolant(PROBES) - truth)))
    return np.array(errors)


def observed_order(spacing: Array, errors: Array, floor: float, points: int = 3) -> float:
    """Slope of log(error) against log(h) over the finest `points` errors above `floor`."""
    usable = np.flatnonzero(errors > floor)[-points:]
    slope, _ = np.polyfit(np.log(spacing[usable]), np.log(errors[usable]), 1)
    return float(slope)


def draw(output: Path) -> None:
    spacing = LENGTH / (SIZES - 1.0)
    figure, (values, slopes) = plt.subplots(1, 2, figsize=(13, 6), layout="constrained", sharey=True)
    for index, info in enumerate(quorvel.kernels().values()):
        style = {"color": f"C{index % 10}", "marker": "o", "markersize": 3,
                 "linestyle": "-" if index < 10 else "--"}
        for derivative, panel in enumerate((values, slopes)):
            if derivative <= info.max_derivative:
                errors = max_errors(info.name, derivative)
                order = observed_order(spacing, errors, NOISE_FLOOR[derivative])
                panel.loglog(spacing, errors, label=f"{info.name}  (order {order:.1f})", **style)
    for derivative, panel, title in ((0, values, "values"), (1, slopes, "first derivatives")):
        panel.set_title(f"maximum error of the {title}, f(x) = exp(sin 3x) on [0, 6]")
        panel.set_xlabel("grid spacing h")
        panel.axhline(NOISE_FLOOR[derivative], color="0.6", linewidth=0.8, linestyle=":")
        panel.grid(alpha=0.3, which="both")
        panel.legend(fontsize=8, title="kernel (observed order)", title_fontsize=8)
    values.set_ylabel("max |interpolated - exact|")
    figure.savefig(output, dpi=90)
    plt.close(figure)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT, help="PNG file to write")
    draw(parser.parse_args().output)


if __name__ == "__main__":
    main()
