"""Every core at work: quorvel.Interpolator's `workers`, its range modes and its cache-aware order.

- Scaling: 10^7 random points, 1-D "a3" on 10^4 knots and 3-D "a3" on 64^3, with
  `workers` = 2, 4, ... up to the usable cores, against `workers=1`.
- SciPy as a user runs it in parallel: map_coordinates(order=3, prefilter=False)
  on the same points split over as many Python threads (it releases the lock).
- out_of_range="clip" and "nan" (handled per point in the engine) against
  "raise" on the same points, all inside the range, and against the NumPy passes
  that did the same job before (clip, or mask and compact, then evaluate).
- Large grids, 10^6 random points, one thread: the engine (cache-aware order)
  against quorvel._core.
- Two Python threads sharing one interpolator, `workers=1` each, against one.
- Calls of 10^7 points repeated into one array (`out=`), every core at work,
  against a new result each call, whose fresh memory the system clears first.
- The cost of a call of the interpolator for 1 and 100 points against calling
  quorvel._core directly (ns per call).
Run alone with `python benchmarks/parallel.py`, or in `benchmarks/run.py`.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from _timing import Workload, run
from scipy.ndimage import map_coordinates

from quorvel import Interpolator, _core

MANY = 10**7
POINTS = 10**6


def usable_cores() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def worker_counts() -> list[int]:
    cores = usable_cores()
    counts = [2**i for i in range(1, cores.bit_length()) if 2**i < cores]
    return counts + [cores] if cores > 1 else []


def in_threads(pool: ThreadPoolExecutor, threads: int, work: Callable[[np.ndarray], object],
               points: np.ndarray) -> Callable[[], object]:
    """`work` on `threads` contiguous parts of the points at once, as a user would split it."""
    parts = np.array_split(points, threads, axis=-1)
    return lambda: list(pool.map(work, parts))


def scaling(pool: ThreadPoolExecutor) -> list[Workload]:
    rng = np.random.default_rng(0)
    work = []
    cases = [("1-D 10^4 knots", [np.linspace(0.0, 1.0, 10**4)], rng.standard_normal(10**4)),
             ("3-D 64^3", [np.linspace(0.0, 1.0, 64)] * 3, rng.standard_normal((64, 64, 64)))]
    for name, knots, values in cases:
        f = Interpolator(knots, values, "a3")
        points = rng.random((MANY, len(knots))) if len(knots) > 1 else rng.random(MANY)
        units = (points * (np.array(values.shape) - 1)).T.copy() if len(knots) > 1 else (points * 9999)[None]

        def mapped(part: np.ndarray, values: np.ndarray = values) -> object:  # this case's values, bound now
            return map_coordinates(values, part, order=3, prefilter=False)

        for workers in worker_counts():
            work.append(Workload(f'{name}, "a3", {MANY:.0e} points, workers={workers}', MANY,
                                 lambda f=f, p=points, w=workers: f(p, workers=w),
                                 {"workers=1": lambda f=f, p=points: f(p, workers=1),
                                  f"map_coordinates order 3 in {workers} threads":
                                  in_threads(pool, workers, mapped, units)}))
    return work


def range_modes() -> list[Workload]:
    rng = np.random.default_rng(1)
    knots, values = [np.linspace(0.0, 1.0, 512)] * 2, rng.standard_normal((512, 512))
    points = rng.random((POINTS, 2))
    poly = [("poly", "poly")] * 2
    core = _core.InterpolantND(knots, values, "a3", poly, [0, 0])
    raising, clipping, masking = (Interpolator(knots, values, "a3", "poly", out_of_range=mode, workers=1)
                                  for mode in ("raise", "clip", "nan"))

    def numpy_mask() -> object:  # what "nan" did before: a mask, the points inside compacted, then NaN filled in
        outside = ((points < 0.0) | (points > 1.0)).any(axis=1)
        result = np.full(outside.shape, np.nan)
        result[~outside] = core.evaluate(points[~outside])
        return result

    return [
        Workload('2-D 512^2 "a3", out_of_range="clip"', POINTS, lambda: clipping(points),
                 {'"raise"': lambda: raising(points),
                  "before: numpy.clip, then evaluate": lambda: core.evaluate(np.clip(points, 0.0, 1.0))}),
        Workload('2-D 512^2 "a3", out_of_range="nan"', POINTS, lambda: masking(points),
                 {'"raise"': lambda: raising(points), "before: NumPy mask, then evaluate": numpy_mask}),
    ]


def large_grids() -> list[Workload]:
    rng = np.random.default_rng(2)
    work = []
    for n in (128, 256):
        knots, values = [np.linspace(0.0, 1.0, n)] * 3, rng.standard_normal((n, n, n))
        f = Interpolator(knots, values, "a3", "poly", workers=1)
        core = _core.InterpolantND(knots, values, "a3", [("poly", "poly")] * 3, [0, 0, 0])
        points = rng.random((POINTS, 3))
        work.append(Workload(f'3-D {n}^3 "a3", workers=1', POINTS, lambda f=f, p=points: f(p),
                             {"quorvel._core": lambda core=core, p=points: core.evaluate(p)}))
    return work


def shared_by_threads(pool: ThreadPoolExecutor) -> list[Workload]:
    rng = np.random.default_rng(3)
    f = Interpolator([np.linspace(0.0, 1.0, 64)] * 3, rng.standard_normal((64, 64, 64)), "a3", workers=1)
    points = rng.random((POINTS, 3))
    halves = np.array_split(points, 2)
    return [Workload('3-D 64^3 "a3", two Python threads, workers=1 each', POINTS,
                     lambda: list(pool.map(f, halves)), {"one thread": lambda: f(points)})]


def call_overhead() -> list[Workload]:
    rng = np.random.default_rng(4)
    x = np.linspace(0.0, 1.0, 100)
    y = rng.standard_normal(100)
    f = Interpolator(x, y, "a3", "poly")
    core = _core.Interpolant1D(x, y, "a3", "poly", "poly", 0)
    calls = 20_000

    def repeated(call: Callable[[], object]) -> Callable[[], object]:
        def loop() -> None:
            for _ in range(calls):
                call()
        return loop

    work = []
    for count in (1, 100):
        points = rng.random(count)
        work.append(Workload(f'1-D "a3" call for {count} point{"s" if count > 1 else ""} (ns per call)', calls,
                             repeated(lambda p=points: f(p)),
                             {"quorvel._core": repeated(lambda p=points: core.evaluate(p))}))
    return work


def written_into_out() -> list[Workload]:
    rng = np.random.default_rng(0)
    f = Interpolator(np.linspace(0.0, 1.0, 10**4), rng.standard_normal(10**4), "a3")
    points, out = rng.random(MANY), np.empty(MANY)
    return [Workload(f'1-D 10^4 knots, "a3", {MANY:.0e} points, into out=', MANY, lambda: f(points, out=out),
                     {"a new result each call": lambda: f(points)})]


def workloads() -> list[Workload]:
    pool = ThreadPoolExecutor(max(usable_cores(), 2))
    return (scaling(pool) + range_modes() + large_grids() + shared_by_threads(pool) + call_overhead()
            + written_into_out())


if __name__ == "__main__":
    run(workloads())
