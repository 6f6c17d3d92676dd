"""Every function, constructor and method, on success and on each of its error
paths, called many times, leaves references and memory flat."""

import numpy as np
import pytest

from quorvel import _core

X = np.arange(20.0)
Y = np.sin(X)
GRID = [np.arange(6.0), np.linspace(0.0, 1.0, 7)]
DATA = np.arange(42.0).reshape(6, 7)
MILLION = np.linspace(0.0, 19.0, 10**6)
MILLION_2D = np.stack([np.linspace(0.0, 5.0, 10**6), np.linspace(1.0, 0.0, 10**6)], axis=1)
f1 = _core.Interpolant1D(X, Y, "b5", "detect", "poly", -3)
fn = _core.InterpolantND(GRID, DATA, "a3", [("poly", "linear")] * 2, [-1, -2])
nearest_1d = _core.Interpolant1D(X, Y, "a0", "poly", "poly", 0)
nearest_nd = _core.InterpolantND(GRID, DATA, "a0", [("poly", "poly")] * 2, [0, 0])


def misaligned(values):
    raw = np.zeros(values.size * 8 + 1, np.uint8)
    array = raw[1:].view(np.float64)
    array[:] = values
    return array


def new_1d(**changes):
    args = dict(x=X, values=Y, kernel="a3", bc_left="poly", bc_right="poly", derivative=0) | changes
    return lambda: _core.Interpolant1D(**args)


def new_nd(**changes):
    args = dict(knots=GRID, values=DATA, kernel="b5", bcs=[("poly", "poly")] * 2, derivatives=[0, -1]) | changes
    return lambda: _core.InterpolantND(**args)


SMALL_CALLS = {
    # kernel_weights
    "weights": lambda: _core.kernel_weights("b13", -8, 0.3),
    "weights unknown": lambda: _core.kernel_weights("b13 ", 0, 0.3),
    "weights order overflow": lambda: _core.kernel_weights("a3", 2**31, 0.3),
    "weights surrogate": lambda: _core.kernel_weights("a\ud800", 0, 0.3),
    "weights missing": lambda: _core.kernel_weights("a3"),
    # evaluate_polynomial
    "polynomial": lambda: _core.evaluate_polynomial(Y[:5], X[::-3]),
    "polynomial misaligned": lambda: _core.evaluate_polynomial(Y[:5], misaligned(X)),
    "polynomial strided coefs": lambda: _core.evaluate_polynomial(Y[::2], X),
    "polynomial list": lambda: _core.evaluate_polynomial(Y, [1.0]),
    # extended_coefficients and extended_coefficients_nd
    "extension": lambda: _core.extended_coefficients(Y, "b13", "detect", "quadratic"),
    "extension condition": lambda: _core.extended_coefficients(Y, "b13", "detect", "Poly"),
    "extension strided": lambda: _core.extended_coefficients(Y[::2], "b13", "poly", "poly"),
    "extension too short": lambda: _core.extended_coefficients(Y[:1], "b13", "poly", "poly"),
    "extension unknown kernel": lambda: _core.extended_coefficients(Y, "b2", "poly", "poly"),
    "extension nd": lambda: _core.extended_coefficients_nd(DATA.T[::-1], "b7", [("detect", "linear")] * 2),
    "extension nd pairs": lambda: _core.extended_coefficients_nd(DATA, "b7", [("poly", "poly")]),
    "extension nd list pair": lambda: _core.extended_coefficients_nd(DATA, "b7", [["poly", "poly"]] * 2),
    "extension nd overflow": lambda: _core.extended_coefficients_nd(
        np.broadcast_to(0.0, (2,) * 16), "b13", [("poly", "poly")] * 16),
    "extension nd no memory": lambda: _core.extended_coefficients_nd(
        np.broadcast_to(0.0, (10**7, 10**7)), "a1", [("poly", "poly")] * 2),
    # Interpolant1D, every refusal in its order
    "1d": new_1d(),
    "1d integral": new_1d(kernel="b13", derivative=-8),
    "1d nearest": new_1d(kernel="a0", derivative=-2),
    "1d x strided": new_1d(x=np.arange(40.0)[::2]),
    "1d values misaligned": new_1d(values=misaligned(Y)),
    "1d counts": new_1d(values=Y[:-1]),
    "1d nan knot": new_1d(x=np.where(X == 3, np.nan, X)),
    "1d decreasing": new_1d(x=-X),
    "1d uneven": new_1d(x=X ** 1.01),
    "1d too wide": new_1d(x=np.arange(-9.0, 11.0) * 1e307),
    "1d unknown kernel": new_1d(kernel="A3"),
    "1d derivative": new_1d(derivative=2),
    "1d integral order": new_1d(derivative=-(2**31)),
    "1d condition": new_1d(bc_right="\n"),
    "1d extension": new_1d(x=X[:2], values=Y[:2], bc_right="quadratic"),
    "1d x list": new_1d(x=list(X)),
    "1d keyword": lambda: _core.Interpolant1D(X, Y, "a3", "poly", "poly", 0, derivatives=1),
    # InterpolantND, every refusal in its order
    "nd": new_nd(),
    "nd nearest": new_nd(kernel="a0", derivatives=[0, 0]),
    "nd zero-dimensional": new_nd(values=np.zeros(()), knots=[], bcs=[], derivatives=[]),
    "nd counts": new_nd(derivatives=[0]),
    "nd unknown kernel": new_nd(kernel=""),
    "nd knots strided": new_nd(knots=[np.arange(12.0)[::2], GRID[1]]),
    "nd knot count": new_nd(knots=GRID[::-1]),
    "nd nan knot": new_nd(knots=[GRID[0], np.where(GRID[1] > 0.5, np.inf, GRID[1])]),
    "nd uneven": new_nd(knots=[GRID[0], GRID[1] ** 2]),
    "nd one knot": new_nd(knots=[GRID[0][:1], GRID[1]], values=DATA[:1]),
    "nd derivative": new_nd(derivatives=[0, 4]),
    "nd integral order": new_nd(derivatives=[-7, 0]),
    "nd condition": new_nd(bcs=[("poly", "poly"), ("poly", "cubic")]),
    "nd extension": new_nd(knots=[GRID[0][:2], GRID[1]], values=DATA[:2], bcs=[("quadratic", "poly")] * 2),
    "nd tails limit": new_nd(knots=[np.arange(2.0**14)] * 2, values=np.broadcast_to(0.0, (2**14, 2**14)),
                             kernel="a1", derivatives=[-1, -1]),
    "nd overflow": new_nd(knots=[np.arange(2.0)] * 16, values=np.broadcast_to(0.0, (2,) * 16), kernel="b13",
                          bcs=[("poly", "poly")] * 16, derivatives=[0] * 16),
    "nd sequence": new_nd(bcs=iter([("poly", "poly")] * 2)),
    # evaluate
    "evaluate 1d": lambda: f1.evaluate(X[::-2]),
    "evaluate 1d outside": lambda: f1.evaluate(np.append(X, 20.5)),
    "evaluate 1d 2-D": lambda: f1.evaluate(X[None]),
    "evaluate 1d keyword": lambda: f1.evaluate(point=X),
    "evaluate 1d nearest": lambda: nearest_1d.evaluate(X[::3]),
    "evaluate nd": lambda: fn.evaluate(MILLION_2D[::50000]),
    "evaluate nd outside": lambda: fn.evaluate(np.array([[1.0, 0.5], [6.0, 0.5]])),
    "evaluate nd columns": lambda: fn.evaluate(np.zeros((3, 3))),
    "evaluate nd 1-D": lambda: fn.evaluate(np.zeros(2)),
    "evaluate nd nearest": lambda: nearest_nd.evaluate(MILLION_2D[::50000]),
}

# Results of eight megabytes and more: a leaked buffer shows in resident memory.
linear_1d = _core.Interpolant1D(X, Y, "a1", "poly", "poly", 0)
linear_nd = _core.InterpolantND(GRID, DATA, "a1", [("poly", "poly")] * 2, [0, 0])
MILLION_OUTSIDE = np.append(MILLION, 30.0)
BIG_CALLS = {
    "evaluate 1d million": lambda: linear_1d.evaluate(MILLION),
    "evaluate 1d million outside": lambda: linear_1d.evaluate(MILLION_OUTSIDE),
    "evaluate nd million": lambda: linear_nd.evaluate(MILLION_2D),
    "extension million": lambda: _core.extended_coefficients(MILLION, "b13", "poly", "poly"),
    "extension nd million": lambda: _core.extended_coefficients_nd(MILLION_2D, "a1", [("poly", "poly")] * 2),
    "polynomial million": lambda: _core.evaluate_polynomial(Y, MILLION),
    "1d million": lambda: _core.Interpolant1D(MILLION, MILLION, "a1", "poly", "poly", -1),
}


@pytest.mark.parametrize("call", SMALL_CALLS.values(), ids=SMALL_CALLS)
def test_small_calls_leave_memory_flat(call, no_leak):
    no_leak(call, times=1000)


@pytest.mark.parametrize("call", BIG_CALLS.values(), ids=BIG_CALLS)
def test_big_calls_leave_memory_flat(call, no_leak):
    no_leak(call, times=12)
