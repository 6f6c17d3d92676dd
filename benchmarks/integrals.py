"""Definite integrals over a box: the contraction against the corner sums it replaced, and against SciPy.

On a 3-D 128^3 and a 4-D 48^4 grid of prod_a sin(3 x_a + 0.2) over [0, 1]^ndim,
kernels "a3" and "b5", the integral over the whole box:
- quorvel's `integrate`: the data contracted with one vector of weights per axis;
- the method it replaced: the first antiderivative along every axis (its tails
  built by `with_orders([-1] * ndim, ...)` on every usable core) evaluated at the
  2^ndim corners, on a first call (the tails built) and on later ones (built);
- scipy.integrate.simpson along each axis of the data in turn.
Times per data value; then the peak resident memory one integral adds (in a
fresh process, its high-water mark reset just before; 0.01 MiB stands for no
page added), and the relative error against the exact integral.
Run alone with `python benchmarks/integrals.py`, or in `benchmarks/run.py`.
"""

from __future__ import annotations

import itertools
import math
import os
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path

import numpy as np
from _timing import Figure, Workload, run
from scipy.integrate import simpson

from quorvel import Interpolator, _engine

CASES = [((128,) * 3, "a3"), ((128,) * 3, "b5"), ((48,) * 4, "a3"), ((48,) * 4, "b5")]


def usable_cores() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def sines(shape: tuple[int, ...]) -> tuple[list[np.ndarray], np.ndarray, float]:
    """The knots, prod_a sin(3 x_a + 0.2) at them, and its exact integral over [0, 1]^ndim."""
    knots = [np.linspace(0.0, 1.0, n) for n in shape]
    values = math.prod(np.sin(3.0 * x + 0.2) for x in np.meshgrid(*knots, indexing="ij", sparse=True))
    return knots, values, ((math.cos(0.2) - math.cos(3.2)) / 3.0) ** len(shape)


def corner_sum(antiderivative: _engine.Interpolant, lower: np.ndarray, upper: np.ndarray) -> float:
    """The signed sum of the antiderivative at the box's corners (minus for each lower bound taken)."""
    picks = list(itertools.product((0, 1), repeat=len(lower)))
    corners = np.array([np.where(pick, upper, lower) for pick in picks])
    signs = [(-1.0) ** (len(pick) - sum(pick)) for pick in picks]
    return math.fsum(signs * antiderivative.evaluate(corners, "raise", 1))


OURS, FIRST, LATER, SIMPSON = ("integrate", "previous, first call (tails built)", "previous, later calls",
                                "scipy.integrate.simpson per axis")


def methods(f: Interpolator, knots: list[np.ndarray], values: np.ndarray) -> dict[str, Callable[[], float]]:
    """Each way to the integral over the whole grid, by name."""
    lower, upper = np.array([k[0] for k in knots]), np.array([k[-1] for k in knots])
    cores, built = usable_cores(), []

    def previous_later() -> float:
        if not built:
            built.append(f._native.with_orders([-1] * f.ndim, cores))
        return corner_sum(built[0], lower, upper)

    def by_simpson() -> float:
        result = values
        for x in reversed(knots):
            result = simpson(result, x=x, axis=-1)
        return float(result)

    return {
        OURS: lambda: f.integrate(lower, upper),
        FIRST: lambda: corner_sum(f._native.with_orders([-1] * f.ndim, cores), lower, upper),
        LATER: previous_later,
        SIMPSON: by_simpson,
    }


def status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))


def peak_mib(shape: tuple[int, ...], kernel: str, method: str) -> float:
    """In a fresh process: the peak resident memory one integral by `method` adds, in MiB."""
    knots, values, _ = sines(shape)
    call = methods(Interpolator(knots, values, kernel, workers=1), knots, values)[method]
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")  # resets the high-water mark to the current resident memory
    before = status_kib("VmRSS")
    call()
    return (status_kib("VmHWM") - before) / 1024


def in_fresh_process(shape: tuple[int, ...], kernel: str, method: str) -> float:
    code = f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r}); import integrals; " \
           f"print(integrals.peak_mib({shape!r}, {kernel!r}, {method!r}))"
    return float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout)


def workloads() -> list[Workload | Figure]:
    out: list[Workload | Figure] = []
    for shape, kernel in CASES:
        knots, values, exact = sines(shape)
        calls = methods(Interpolator(knots, values, kernel, workers=1), knots, values)
        name = f'integral over {"x".join(map(str, shape))} "{kernel}"'
        out.append(Workload(name, values.size, calls[OURS], {peer: calls[peer] for peer in (FIRST, LATER, SIMPSON)}))
        memory = {method: in_fresh_process(shape, kernel, method) for method in (FIRST, SIMPSON)}
        added = max(in_fresh_process(shape, kernel, OURS), 0.01)  # 0.01: no page measurably added
        out.append(Figure(f"{name}: peak memory added, MiB (data {values.nbytes / 2**20:.0f})", added, memory))
        errors = {method: abs(calls[method]() - exact) / exact for method in (OURS, LATER, SIMPSON)}
        out.append(Figure(f"{name}: relative error, product of sines", errors.pop(OURS), errors, format=".1e"))
    return out


if __name__ == "__main__":
    run(workloads())
