"""Draw the weight function K(v) of every kernel over its support.

Interpolation by convolution gives f(x) = sum_j y_j K((x - x_j) / h): each data
value y_j contributes K(v) at v grid spacings from its knot. The weights that
one evaluation reads, ``quorvel._core.kernel_weights(kernel, 0, tau)``, are K at
the W points v = W/2 - c - tau (column c of the stencil); sweeping tau from 0
to 1 traces K column by column. The nearest-knot kernel "a0" has no weight
polynomials, so its K is drawn as the interpolator's response to a unit impulse.

    python examples/kernel_weights.py [--output docs/kernel_weights.png]
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
from quorvel import _core

Curve = tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]
DEFAULT_OUTPUT = Path(__file__).resolve().parent.parent / "docs" / "kernel_weights.png"


def kernel_pieces(name: str, samples: int = 101) -> list[Curve]:
    """K(v) on each unit interval of the kernel's support, from the leftmost piece."""
    columns = quorvel.kernels()[name].columns
    tau = np.linspace(0.0, 1.0, samples)
    if name == "a0":
        knots = np.arange(-3.0, 4.0)
        impulse = quorvel.Interpolator(knots, (knots == 0.0).astype(float), kernel="a0")
        v = np.linspace(-1.0, 1.0, 2 * samples)
        return [(v, impulse(v))]
    weights = np.array([_core.kernel_weights(name, 0, float(t)) for t in tau])
    # Column c holds K at v = W/2 - c - tau: the piece on [W/2 - c - 1, W/2 - c].
    return [(columns / 2 - c - tau, weights[:, c]) for c in reversed(range(columns))]


def draw(output: Path) -> None:
    catalogue = quorvel.kernels()
    figure, axes = plt.subplots(3, 4, figsize=(14, 9), layout="constrained")
    panels = list(axes.flat)
    for panel, info in zip(panels, catalogue.values()):
        for index, (v, k) in enumerate(kernel_pieces(info.name)):
            panel.plot(v, k, color="C0" if index % 2 == 0 else "C1", linewidth=1.8)
        half = info.columns // 2
        knots = np.arange(-half, half + 1)
        panel.plot(knots, np.where(knots == 0, 1.0, 0.0), "k.", markersize=5)
        panel.axhline(0.0, color="0.6", linewidth=0.6)
        panel.set_xticks(knots if half <= 4 else knots[knots % 2 == 0])
        panel.set_xlim(-half - 0.3, half + 0.3)
        panel.set_ylim(-0.25, 1.1)
        panel.set_title(f'"{info.name}": {info.columns} columns, degree {info.degree}', fontsize=10)
        panel.grid(alpha=0.3)
    overlay = panels[-1]
    for name in ("a1", "a3", "a4", "b5", "b13"):
        for index, (v, k) in enumerate(kernel_pieces(name)):
            overlay.plot(v, k, color=f"C{list(catalogue).index(name) % 10}", linewidth=1.2,
                         label=name if index == 0 else None)
    overlay.axhline(0.0, color="0.6", linewidth=0.6)
    overlay.set_xlim(-5.3, 5.3)
    overlay.set_ylim(-0.25, 1.1)
    overlay.set_title("side by side", fontsize=10)
    overlay.legend(fontsize=8)
    overlay.grid(alpha=0.3)
    for panel in axes[-1]:
        panel.set_xlabel("v (grid spacings from the knot)")
    for panel in axes[:, 0]:
        panel.set_ylabel("K(v)")
    figure.suptitle("Kernel weight functions (pieces alternate in colour; dots: K = 1 at 0, 0 at other knots)")
    figure.savefig(output, dpi=90)
    plt.close(figure)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT, help="PNG file to write")
    draw(parser.parse_args().output)


if __name__ == "__main__":
    main()
