"""The engine under the interpolator: the bits of quorvel._core whatever the number of threads and however the
points are split or reordered, the first point outside the range reported as the core reports it, the range modes
per lane, and the interpreter lock released during the work."""

import itertools
import re
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from quorvel import Interpolator, _core, _engine
from tests.conftest import KERNELS, rng_for, same_bits

WORKERS = (1, 2, 3, 8)
# Enough points for eight threads on every kernel (the engine gives each thread some thousands).
ONE_D_POINTS, ND_POINTS = 150_000, 9_000


def grid(dims, kernel, n=(23, 9, 7, 6)):
    knots = [np.linspace(-1.0, 0.5 + a, n[a]) for a in range(dims)]
    values = rng_for("grid", dims, kernel).standard_normal(tuple(n[:dims]))
    return knots, values


def points_in(knots, count, reach=0.0, key=()):
    """Points in the data range widened by `reach` on every side, with both ends and a NaN among them."""
    rng = rng_for("points", len(knots), count, reach, key)
    p = np.column_stack([rng.uniform(k[0] - reach, k[-1] + reach, count) for k in knots])
    p[:2] = [[k[0] for k in knots], [k[-1] for k in knots]]
    p[7, -1] = np.nan
    return p if len(knots) > 1 else p[:, 0]


def pair(dims, kernel, orders):
    """The core's interpolant and the engine's of the same data."""
    knots, values = grid(dims, kernel)
    bcs = [("detect", "poly")] * dims
    core = (_core.Interpolant1D(knots[0], values, kernel, *bcs[0], orders[0]) if dims == 1
            else _core.InterpolantND(knots, values, kernel, bcs, list(orders)))
    return core, _engine.Interpolant(knots, values, kernel, bcs, list(orders), 2), knots


# Four axes only for the narrower kernels: a wide 4-D stencil costs 10^5 operations a point.
CASES = [(kernel, dims, orders) for kernel, (columns, top, deepest, _) in KERNELS.items()
         for dims in (1, 2, 3, 4) if dims < 4 or columns <= 8
         for orders in {(0,) * dims, (top,) + (0,) * (dims - 1), (-min(deepest, 2),) + (0,) * (dims - 1),
                        (-1,) * min(dims, 2) + (top,) * (dims - min(dims, 2))}]


@pytest.mark.parametrize(("kernel", "dims", "orders"), CASES)
def test_the_bits_of_the_core_with_any_number_of_threads(kernel, dims, orders):
    core, engine, knots = pair(dims, kernel, orders)
    points = points_in(knots, ONE_D_POINTS if dims == 1 else ND_POINTS)
    expected = core.evaluate(points)
    for workers in WORKERS:
        assert same_bits(engine.evaluate(points, "raise", workers), expected)


@pytest.mark.parametrize(("kernel", "dims"), [("a3", 1), ("b7", 1), ("a0", 2), ("b5", 3)])
def test_chunks_that_start_at_every_lane_position(kernel, dims):
    core, engine, knots = pair(dims, kernel, (0,) * dims)
    points = points_in(knots, (ONE_D_POINTS if dims == 1 else ND_POINTS) + 7)
    for extra, workers in itertools.product((*range(8), 13, 31, 32), (3, 7)):
        part = points[extra:]  # the chunks start at every lane of a vector, and inside a block of 32 points
        assert same_bits(engine.evaluate(part, "raise", workers), core.evaluate(part))


@pytest.mark.parametrize("workers", WORKERS)
@pytest.mark.parametrize("dims", [1, 3])
def test_the_first_point_outside_is_reported_as_the_core_reports_it(dims, workers):
    core, engine, knots = pair(dims, "a4", (0,) * dims)
    points = points_in(knots, ONE_D_POINTS if dims == 1 else ND_POINTS)
    for first in (5, len(points) // 2 + 1, len(points) - 1):  # in the first, a middle or the last chunk
        bad = points.copy()
        rows = np.arange(first, len(points), len(points) // 5)  # the later ones lie in other chunks
        bad[rows] = (1e3 * np.arange(1, len(rows) + 1)).reshape(-1, *(1,) * (bad.ndim - 1))  # the message tells which
        with pytest.raises(ValueError) as expected:
            core.evaluate(bad)
        with pytest.raises(ValueError, match=f"^{re.escape(str(expected.value))}$"):
            engine.evaluate(bad, "raise", workers)


@pytest.mark.parametrize("workers", [2, 3])
def test_calls_cut_into_more_pieces_than_threads(workers):
    """Millions of points are cut into several pieces per thread, which the threads take in turn: the bits and the
    first point outside are the core's whichever thread takes which piece."""
    core, engine, knots = pair(1, "a3", (0,))
    points = points_in(knots, 2_000_000)
    assert same_bits(engine.evaluate(points, "raise", workers), core.evaluate(points))
    bad = points.copy()
    bad[[700_001, 1_200_000, 1_999_999]] = [1e3, 2e3, 3e3]  # in pieces that other threads may finish first
    with pytest.raises(ValueError) as expected:
        core.evaluate(bad)
    with pytest.raises(ValueError, match=f"^{re.escape(str(expected.value))}$"):
        engine.evaluate(bad, "raise", workers)


@pytest.mark.parametrize(("kernel", "dims", "orders"), [("a3", 1, (0,)), ("b7", 1, (-2,)), ("a0", 1, (0,)),
                                                         ("a1", 2, (0, 0)), ("b5", 3, (1, -1, 0)),
                                                         ("a0", 2, (-1, 0))])
def test_nan_and_clip_per_lane_as_the_core_on_masked_or_clipped_points(kernel, dims, orders):
    core, engine, knots = pair(dims, kernel, orders)
    points = points_in(knots, ND_POINTS, reach=0.5)
    lower, upper = (np.array([k[0] for k in knots]), np.array([k[-1] for k in knots]))
    if dims == 1:
        lower, upper = lower[0], upper[0]
    outside = (points < lower) | (points > upper)
    if dims > 1:
        outside = outside.any(axis=1)
    inside_values = core.evaluate(np.where(outside[:, None] if dims > 1 else outside, lower, points))
    for workers in (1, 3):
        assert same_bits(engine.evaluate(points, "clip", workers), core.evaluate(np.clip(points, lower, upper)))
        assert same_bits(engine.evaluate(points, "nan", workers), np.where(outside, np.nan, inside_values))


@pytest.mark.parametrize("coherent", [False, True])
@pytest.mark.parametrize(("shape", "fields", "kernel", "orders"),
                         [((1500, 1400), (), "b7", (0, 1)), ((90, 90, 90), (3,), "a3", (1, 0, 0)),
                          ((72, 72, 64), (2, 3), "a3", (0, 0, 0)), ((140, 130, 120), (), "b5", (0, 0, -1)),
                          ((36, 36, 36, 36), (), "a3", (0, 0, 0, 0))])
def test_large_grids_in_any_order_of_points(shape, fields, kernel, orders, coherent):
    """Grids beyond the cache (over 16 MiB, read 8 or more stencil rows per point) are evaluated in a cache-aware
    order, block by block of points, unless the points already come in one."""
    knots = [np.linspace(0.0, 1.0, n) for n in shape]
    values = rng_for("large", shape).standard_normal(shape + fields)
    bcs = [("poly", "poly")] * len(shape)
    cores = [_core.InterpolantND(knots, values[(..., *field)], kernel, bcs, list(orders)) for field in np.ndindex(fields)]
    engine = _engine.Interpolant(knots, values, kernel, bcs, list(orders), 2)
    points = points_in(knots, 1_100_000, key=shape)  # more than one block
    if coherent:
        points = np.sort(points, axis=0)
    expected = np.stack([core.evaluate(points) for core in cores], axis=-1).reshape(len(points), *fields)
    for workers in (1, 2):
        assert same_bits(engine.evaluate(points, "raise", workers), expected)
    for first in (40_000, 1_090_000):  # in the first block, in a later one
        bad = points.copy()
        bad[[first, first + 5_000, 1_099_000]] = 2.0  # the first in input order, not in the order of evaluation
        with pytest.raises(ValueError) as error:
            cores[0].evaluate(bad)
        with pytest.raises(ValueError, match=f"^{re.escape(str(error.value))}$"):
            engine.evaluate(bad, "raise", 1)


def test_derived_interpolants_share_the_data_and_match_the_core():
    knots, values = grid(3, "b7")
    engine = _engine.Interpolant(knots, values, "b7", [("poly", "linear")] * 3, [0, 0, 0], 1)
    points = points_in(knots, 500)
    for orders in ([2, 0, -1], [0, 5, 0], [-3, -1, -2]):
        core = _core.InterpolantND(knots, values, "b7", [("poly", "linear")] * 3, orders)
        assert same_bits(engine.with_orders(orders, 2).evaluate(points, "raise", 1), core.evaluate(points))
    with pytest.raises(ValueError, match='^axis 1: kernel "b7" supports derivatives up to order 5, got 6$'):
        engine.with_orders([0, 6, 0], 1)


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda f: f.evaluate(np.zeros(3), "raise", 0), ValueError, "^workers: expected a positive number of threads"),
    (lambda f: f.evaluate(np.zeros(3), "wrap", 1), ValueError, "^mode: expected 'raise', 'nan' or 'clip', got 'wrap'"),
    (lambda f: f.evaluate(np.zeros((3, 1)), "raise", 1), ValueError, "^points: expected a 1-D array"),
    (lambda f: f.with_orders([0, 0], 1), ValueError, r"^orders: expected 1 orders \(one per axis\), got 2"),
    (lambda f: f.integrate(np.zeros(2), np.ones(1), "raise"), ValueError, r"^lower: expected 1 coordinates \(one per"),
    (lambda f: f.integrate(np.zeros(1), np.ones(1), "wrap"), ValueError, "^mode: expected 'raise', 'nan' or 'clip'"),
    (lambda f: f.with_orders([-1], 1).integrate(np.zeros(1), np.ones(1), "raise"), ValueError,
     r"^integrate: axis 0 holds an antiderivative \(order -1\); only values and derivatives are integrated$"),
    (lambda f: f.evaluate_into(np.zeros(3), np.empty(4), "raise", 1), ValueError,
     r"^out: expected room for 3 values, got 4$"),
    (lambda f: f.on_grid_into([np.zeros(3)], np.empty(2), "raise", 1), ValueError,
     r"^out: expected room for 3 values, got 2$"),
])
def test_engine_refusals(call, error, message):
    with pytest.raises(error, match=message):
        call(_engine.Interpolant([np.arange(5.0)], np.arange(5.0), "a3", [("poly", "poly")], [0], 1))


@pytest.mark.parametrize("work", ["evaluate", "integrate"])
def test_long_calls_release_the_interpreter_lock(work):
    """A thread that only runs when the lock is free runs during one long evaluation or integral.

    With a switch interval far longer than the test, the working thread gives the lock up only where it
    releases it on purpose: if the engine kept it, the other thread could not count while it works."""
    if work == "evaluate":
        f = Interpolator([np.linspace(0.0, 1.0, 64)] * 3, np.ones((64, 64, 64)), "b7")
        points = np.random.default_rng(3).random((100_000, 3))
        call = lambda: f(points, workers=1)
    else:
        f = Interpolator([np.linspace(0.0, 1.0, 200)] * 3, np.ones((200, 200, 200)), "b7")
        call = lambda: f.integrate([0.0] * 3, [1.0] * 3)
    counted, stop = [0], threading.Event()

    def count():
        while not stop.is_set():
            counted[0] += 1
            stop.wait(0.0005)  # leaves the lock free most of the time

    interval = sys.getswitchinterval()
    counter = threading.Thread(target=count)
    counter.start()
    try:
        sys.setswitchinterval(30.0)
        before = counted[0]
        call()
        during = counted[0] - before
    finally:
        sys.setswitchinterval(interval)
        stop.set()
        counter.join(timeout=60)
    assert not counter.is_alive() and during > 0


# Large results (of 4 MiB and more) keep their storage for the next result of their size when their array is
# freed.  An odd size that no other test's result has, so that the storage taken again is this test's own.
KEPT_SIZE = (1 << 19) + 37


def kept_size_calls():
    """Calls giving KEPT_SIZE values, each with its expected bits from quorvel._core, by seed."""
    knots, values = [np.linspace(0.0, 1.0, 40)] * 2, rng_for("kept").standard_normal((40, 40))
    f = Interpolator(knots, values, "a3", "poly", workers=2)
    core = _core.InterpolantND(knots, values, "a3", [("poly", "poly")] * 2, [0, 0])

    def points(seed):
        return rng_for("kept points", seed).random((KEPT_SIZE, 2))

    def axes(seed):
        return [rng_for("kept axes", seed).random(KEPT_SIZE // 37), rng_for("kept axes", -seed).random(37)]

    def at_grid(seed):
        return core.evaluate(np.stack(np.meshgrid(*axes(seed), indexing="ij"), -1).reshape(-1, 2)).reshape(-1, 37)

    return {"points": (lambda s: f(points(s)), lambda s: core.evaluate(points(s))),
            "grid product": (lambda s: f.on_grid(*axes(s)), at_grid)}


@pytest.mark.parametrize("kind", ["points", "grid product"])
def test_large_results_take_only_the_storage_of_freed_ones(kind):
    """A freed result lends its storage to the next of its size, never that of a live array, and every value
    of it is written again (a value left over from before would show)."""
    call, expected = kept_size_calls()[kind]
    first, second = call(1), call(2)
    assert not np.shares_memory(first, second)
    address = second.ctypes.data
    del second
    third = call(3)
    assert third.ctypes.data == address
    assert same_bits(third, expected(3)) and same_bits(first, expected(1))


def test_large_results_freed_and_taken_again_by_many_threads():
    call, expected = kept_size_calls()["points"]
    wanted = [expected(seed) for seed in range(3)]

    def work(k):
        return all(same_bits(call(k % 3), wanted[k % 3]) for _ in range(4))

    with ThreadPoolExecutor(4) as pool:
        assert all(pool.map(work, range(8)))
