"""Every function, constructor and method, on success and on each of its error paths, called many times,
leaves references and memory flat."""

import gc
import os
import sys

import numpy as np
import pytest

import quorvel
from quorvel import _core, _engine
from tests.conftest import SANITIZED, linux_only, misaligned

pytestmark = linux_only("measures resident memory in /proc/self/statm")


def assert_no_leak(call, times, watched=()):
    """Calling `call` many times leaves the reference counts of `watched`, the allocated memory blocks and the
    resident memory (which shows leaked result buffers) flat."""
    def run():
        for _ in range(times):
            try:
                call()
            except BaseException:  # noqa: BLE001 - error paths are exercised on purpose
                pass
        gc.collect()
        with open("/proc/self/statm") as statm:
            resident = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        return np.array([*map(sys.getrefcount, watched), sys.getallocatedblocks(), resident])

    before = run()  # after warming caches and allocator pools
    *refs, blocks, rss = run() - before
    assert refs == [0] * len(watched), "a reference count grew"
    assert blocks < times // 10 + 50, f"{blocks} more memory blocks are allocated"
    assert SANITIZED or rss < 32 << 20, f"resident memory grew by {rss} bytes"


X, GRID = np.arange(20.0), [np.arange(6.0), np.linspace(0.0, 1.0, 7)]
Y, DATA = np.sin(X), np.arange(42.0).reshape(6, 7)
MILLION = np.linspace(0.0, 19.0, 10**6)
MILLION_2D = np.stack([np.linspace(0.0, 5.0, 10**6), np.linspace(1.0, 0.0, 10**6)], axis=1)
f1 = _core.Interpolant1D(X, Y, "b5", "detect", "poly", -3)
nearest_1d = _core.Interpolant1D(X, Y, "a0", "poly", "poly", 0)
fn = _core.InterpolantND(GRID, DATA, "a3", [("poly", "linear")] * 2, [-1, -2])
gn = _core.InterpolantND(GRID, DATA, "b5", [("poly", "linear")] * 2, [0, 3])
nearest_nd = _core.InterpolantND(GRID, DATA, "a0", [("poly", "poly")] * 2, [0, 0])


def new_1d(**changes):
    args = dict(x=X, values=Y, kernel="a3", bc_left="poly", bc_right="poly", derivative=0) | changes
    return lambda: _core.Interpolant1D(**args)


def new_nd(**changes):
    args = dict(knots=GRID, values=DATA, kernel="b5", bcs=[("poly", "poly")] * 2, derivatives=[0, -1]) | changes
    return lambda: _core.InterpolantND(**args)


SMALL_CALLS = {
    "weights": lambda: _core.kernel_weights("b13", -8, 0.3),
    "weights order overflow": lambda: _core.kernel_weights("a3", 2**31, 0.3),
    "weights missing": lambda: _core.kernel_weights("a3"),
    "weights keyword twice": lambda: _core.kernel_weights("a3", 0, 0.5, kernel="a1"),
    "polynomial": lambda: _core.evaluate_polynomial(Y[:5], X[::-3]),
    "extension": lambda: _core.extended_coefficients(Y, "b13", "detect", "quadratic"),
    "extension nd": lambda: _core.extended_coefficients_nd(DATA.T[::-1], "b7", [("detect", "linear")] * 2),
    "extension nd list pair": lambda: _core.extended_coefficients_nd(DATA, "b7", [("poly", "poly"), ["poly", "x"]]),
    "extension nd no memory": lambda: _core.extended_coefficients_nd(
        np.broadcast_to(0.0, (10**7, 10**7)), "a1", [("poly", "poly")] * 2),
    "1d": new_1d(),
    "1d integral": new_1d(kernel="b13", derivative=-8, bc_left="detect"),
    "1d keyword": lambda: _core.Interpolant1D(X, Y, "a3", "poly", "poly", 0, derivatives=1),
    "nd": new_nd(),
    "nd regions": new_nd(knots=GRID + [X], values=np.ones((6, 7, 20)), bcs=[("detect", "poly")] * 3,
                         derivatives=[-2, 1, -1]),
    "nd knots list": new_nd(knots=[GRID[0], list(GRID[1])]),
    "nd order overflow": new_nd(derivatives=[0, 2**31]),
    "nd tails limit": new_nd(knots=[np.arange(2.0**14)] * 2, values=np.broadcast_to(0.0, (2**14, 2**14)),
                             kernel="a1", derivatives=[-1, -1]),
    "nd overflow": new_nd(knots=[np.arange(2.0)] * 16, values=np.broadcast_to(0.0, (2,) * 16), kernel="b13",
                          bcs=[("poly", "poly")] * 16, derivatives=[0] * 16),
    "nd sequence": new_nd(bcs=iter([("poly", "poly")] * 2)),
    "evaluate 1d integral": lambda: f1.evaluate(X[::-2]),
    "evaluate 1d nearest": lambda: nearest_1d.evaluate(X[::3]),
    "evaluate 1d misaligned": lambda: f1.evaluate(misaligned(X)),
    "evaluate 1d outside": lambda: f1.evaluate(np.append(X, 20.5)),
    "evaluate nd integral": lambda: fn.evaluate(MILLION_2D[::50000]),
    "evaluate nd columns": lambda: gn.evaluate(MILLION_2D[::-50000]),
    "evaluate nd nearest": lambda: nearest_nd.evaluate(MILLION_2D[::50000]),
    "evaluate nd outside": lambda: fn.evaluate(np.array([[1.0, 0.5], [6.0, 0.5]])),
    "evaluate nd list": lambda: fn.evaluate([[0.0, 0.0]]),
}

engine_1d = _engine.Interpolant([X], Y, "b5", [("detect", "poly")], [-2], 2)
engine_nd = _engine.Interpolant(GRID, DATA, "a3", [("poly", "linear")] * 2, [1, -1], 2)
SMALL_CALLS |= {
    "engine 1d": lambda: _engine.Interpolant([X], Y, "a3", [("poly", "poly")], [0], 2),
    "engine nd": lambda: _engine.Interpolant(GRID, DATA, "b5", [("poly", "poly")] * 2, [0, -1], 2),
    "engine refused": lambda: _engine.Interpolant(GRID, DATA, "b5", [("poly", "poly")] * 2, [0, 9], 2),
    "engine workers refused": lambda: _engine.Interpolant([X], Y, "a3", [("poly", "poly")], [0], 0),
    "engine with orders": lambda: engine_nd.with_orders([0, -2], 2),
    "engine with orders refused": lambda: engine_nd.with_orders([2, 0], 2),
    "engine evaluate": lambda: engine_nd.evaluate(MILLION_2D[::5000], "clip", 3),
    "engine evaluate outside": lambda: engine_1d.evaluate(np.append(X, 20.5), "raise", 2),
    "engine evaluate mode refused": lambda: engine_1d.evaluate(X, "wrap", 2),
    "engine evaluate into": lambda: engine_1d.evaluate_into(X[::2], np.empty(len(X[::2])), "nan", 2),
    "engine evaluate into refused": lambda: engine_1d.evaluate_into(X, np.empty(3), "nan", 2),
    "engine fields": lambda: _engine.Interpolant(GRID, np.ones((6, 7, 3, 2)), "b5", [("poly", "poly")] * 2, [0, -1], 2),
    "engine values": lambda: engine_nd.values,
    "engine on grid": lambda: engine_nd.with_orders([1, 0], 1).on_grid([X[:6], GRID[1]], "nan", 2),
    "engine on grid by points": lambda: engine_nd.on_grid([X[:6], GRID[1]], "clip", 2),
    "engine on grid outside": lambda: engine_nd.on_grid([X, GRID[1]], "raise", 2),
    "engine on grid into": lambda: engine_nd.on_grid_into([X[:6], GRID[1]], np.empty((6, len(GRID[1]))), "nan", 2),
    "engine on grid into refused": lambda: engine_nd.on_grid_into([X[:6], GRID[1]], np.empty(3), "nan", 2),
    "engine integrate": lambda: engine_nd.with_orders([1, 0], 1).integrate(np.array([1.5, 0.2]),
                                                                           np.array([7.5, 0.9]), "clip"),
    "engine integrate outside": lambda: engine_1d.with_orders([0], 1).integrate(np.array([1.5]), np.array([99.0]),
                                                                               "raise"),
    "engine integrate refused": lambda: engine_nd.integrate(np.zeros(2), np.ones(2), "nan"),
    "engine regrid": lambda: _engine.regrid(GRID, DATA.T.copy().T, "b5", [("periodic", "periodic"), ("detect", "poly")],
                                            [1, 0], [X[:6], GRID[1]], "nan", 2),
    "engine regrid outside": lambda: _engine.regrid(GRID, DATA, "a3", [("poly", "poly")] * 2, [0, 0],
                                                    [X, GRID[1]], "raise", 2),
    "engine regrid built": lambda: _engine.regrid(GRID, DATA, "a3", [("poly", "poly")] * 2, [-1, 0],
                                                  [X[:6], GRID[1]], "clip", 2),
}

# Results of eight megabytes and more: a leaked buffer shows in resident memory.
linear_1d = _core.Interpolant1D(X, Y, "a1", "poly", "poly", 0)
linear_nd = _core.InterpolantND(GRID, DATA, "a1", [("poly", "poly")] * 2, [0, 0])
RANDOM_3D = np.random.default_rng(5).random((10**6, 3))  # incoherent points
engine_large = _engine.Interpolant([np.linspace(0.0, 1.0, 130)] * 3, np.ones((130, 130, 130)), "a3",
                                   [("poly", "poly")] * 3, [0, 0, 0], 2)
BIG_CALLS = {
    "evaluate 1d": lambda: linear_1d.evaluate(MILLION),
    "evaluate 1d outside": lambda: linear_1d.evaluate(np.append(MILLION, 30.0)),
    "evaluate nd": lambda: linear_nd.evaluate(MILLION_2D),
    "extension": lambda: _core.extended_coefficients(MILLION, "b13", "poly", "poly"),
    "extension nd": lambda: _core.extended_coefficients_nd(MILLION_2D, "a1", [("poly", "poly")] * 2),
    "polynomial": lambda: _core.evaluate_polynomial(Y, MILLION),
    "1d": lambda: _core.Interpolant1D(MILLION, MILLION, "a1", "poly", "poly", -1),
    "engine evaluate 1d": lambda: engine_1d.evaluate(MILLION, "nan", 4),
    "engine evaluate nd outside": lambda: engine_nd.evaluate(np.append(MILLION_2D, [[9.0, 0.5]], 0), "raise", 4),
    # a grid beyond the cache: the points are evaluated in a cache-aware order
    "engine cache order": lambda: engine_large.evaluate(RANDOM_3D, "raise", 2),
    "engine on grid big": lambda: engine_large.on_grid([np.linspace(0.0, 1.0, 100)] * 3, "raise", 2),
    "engine construction": lambda: _engine.Interpolant([MILLION[::1000]] * 2, np.ones((1000, 1000)), "b5",
                                                       [("poly", "poly")] * 2, [-1, 0], 2),
    "engine regrid big": lambda: _engine.regrid([np.linspace(0.0, 1.0, 800)] * 2, np.ones((800, 800)), "a3",
                                                [("detect", "poly")] * 2, [0, 0],
                                                [np.linspace(0.0, 1.0, 1000)] * 2, "raise", 2),
}


@pytest.mark.parametrize("call", SMALL_CALLS.values(), ids=SMALL_CALLS)
def test_small_calls_leave_memory_flat(call):
    assert_no_leak(call, 1000, watched=(_core.Interpolant1D, _core.InterpolantND, _engine.Interpolant, TypeError,
                                        ValueError, OverflowError, UnicodeEncodeError, MemoryError,
                                        quorvel.PanicException))


@pytest.mark.parametrize("call", BIG_CALLS.values(), ids=BIG_CALLS)
def test_big_calls_leave_memory_flat(call):
    assert_no_leak(call, 12)
