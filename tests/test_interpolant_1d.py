"""Interpolant1D: evaluation bit for bit against a literal model, the interpolant's
mathematical properties, every construction check in its order, and the binding."""

import importlib.util
import inspect
import pickle
import weakref
from pathlib import Path

import numpy as np
import pytest

from quorvel import _core

_spec = importlib.util.spec_from_file_location("reference_1d", Path(__file__).with_name("reference.py"))
reference = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(reference)

Interpolant1D = _core.Interpolant1D
HALF_WIDTH = {"a0": 1, "a1": 1, "a3": 2, "a4": 3, "a5": 3, "a7": 4, "b5": 5, "b7": 6, "b9": 7, "b11": 8, "b13": 9}
# Highest degree of polynomial that each kernel reproduces exactly (in exact arithmetic).
REPRODUCED_DEGREE = {"a0": 0, "a1": 1, "a3": 2, "a4": 3, "a5": 2, "a7": 2,
                     "b5": 5, "b7": 6, "b9": 6, "b11": 6, "b13": 6}
ORDERS = [(name, d) for name, entry in reference.KERNELS.items()
          for d in range(-entry.max_integral, entry.max_derivative + 1)]
# One of each evaluator: nearest knot, columns (value and derivative), integral (both paths of "a0" too).
EVALUATORS = [("a0", 0), ("a1", 0), ("a3", 1), ("b13", 0), ("a0", -2), ("a3", -1), ("b13", -8)]
# Central difference of order 8 for the first derivative, offsets -4 ... 4.
FD_WEIGHTS = np.array([1 / 280, -4 / 105, 1 / 5, -4 / 5, 0.0, 4 / 5, -1 / 5, 4 / 105, -1 / 280])


def grid(n, x0=-1.3, h=0.37):
    """n uniformly spaced knots, each exactly on the ideal grid x0 + h*i."""
    return x0 + h * np.arange(n)


def rng_for(*key):
    """A generator seeded by the key's text, the same in every run."""
    return np.random.default_rng(list(repr(key).encode()))


def bits(values):
    """The values' bit patterns, every NaN counted as the same NaN."""
    values = np.asarray(values, dtype=np.float64)
    return np.where(np.isnan(values), np.nan, values).view(np.int64)


def build(kernel, derivative, x=None, y=None, bcs=("poly", "poly")):
    x = grid(30) if x is None else x
    y = rng_for(kernel, "values").standard_normal(len(x)) if y is None else y
    return Interpolant1D(x, y, kernel, *bcs, derivative)


# --- Bit for bit ------------------------------------------------------------


@pytest.mark.parametrize(("n", "x0", "h", "bcs"), [(40, -1.3, 0.37, ("poly", "detect")),
                                                    (3, 2.0, 0.125, ("linear", "quadratic"))])
@pytest.mark.parametrize(("kernel", "derivative"), ORDERS)
def test_evaluation_matches_the_model_bit_for_bit(kernel, derivative, n, x0, h, bcs):
    rng = rng_for(kernel, derivative, n)
    x = grid(n, x0, h)
    y = rng.standard_normal(n) * 10.0 ** rng.integers(-3, 4, n)
    # The first cells: antiderivative stencils starting at 0 ... 2*hw - 2 correct their columns one
    # by one, those from 2*hw - 1 on take the anchored table.
    cells = np.arange(min(n - 1, 2 * HALF_WIDTH[kernel] + 1))
    points = np.concatenate([
        [x[0], x[-1], np.nan, np.nextafter(x[0], np.inf), np.nextafter(x[-1], -np.inf)],
        x[: len(cells) + 1],
        np.clip(x0 + h * (cells + rng.random(len(cells))), x[0], x[-1]),
        np.clip(x0 + h * (cells + 0.999999), x[0], x[-1]),
        rng.uniform(x[0], x[-1], 24),
    ])
    got = Interpolant1D(x, y, kernel, *bcs, derivative).evaluate(points)
    want = reference.Reference(x, y, kernel, *bcs, derivative).evaluate(points)
    assert np.array_equal(bits(got), bits(want))
    assert np.isnan(got[2])  # a NaN point gives NaN with every kernel and order, "a0" included


# --- What the interpolant is --------------------------------------------------


@pytest.mark.parametrize("kernel", HALF_WIDTH)
def test_interpolates_every_knot(kernel):
    x = grid(25)
    y = rng_for(kernel).standard_normal(25)
    np.testing.assert_allclose(build(kernel, 0, x, y).evaluate(x), y, rtol=0, atol=1e-13)


@pytest.mark.parametrize(("kernel", "derivative"), ORDERS)
def test_reproduces_polynomials_their_derivatives_and_antiderivatives(kernel, derivative):
    """Up to the kernel's degree, everywhere: "poly" ghosts extrapolate such data exactly."""
    h = 0.37
    x = grid(40, h=h)
    p = np.polynomial.Polynomial(rng_for(kernel, derivative).uniform(-1, 1, REPRODUCED_DEGREE[kernel] + 1))
    expected = p.deriv(derivative) if derivative >= 0 else p.integ(-derivative, lbnd=x[0])
    points = np.linspace(x[0], x[-1], 101)
    # rounding grows with the data and, for derivatives, with h^-d
    size = max(np.abs(p(x)).max() * h ** -max(derivative, 0), np.abs(expected(points)).max())
    got = build(kernel, derivative, x, p(x)).evaluate(points)
    np.testing.assert_allclose(got, expected(points), rtol=0, atol=1e-10 * size)


@pytest.mark.parametrize(("kernel", "derivative"), [(k, d) for k, d in ORDERS if (k, d - 1) in ORDERS])
def test_each_order_is_the_slope_of_the_order_below(kernel, derivative):
    """Order d is the x-derivative of order d - 1, down to the highest antiderivative."""
    h = 0.37
    x = grid(30, h=h)
    y = np.sin(x) + 0.1 * rng_for(kernel).standard_normal(30)
    lower, upper = build(kernel, derivative - 1, x, y), build(kernel, derivative, x, y)
    # inside cells, clear of the knots and (for "a0") of the jump half-way
    t = np.array([0.2, 0.3, 0.7, 0.8])
    centres = (x[:-1, None] + h * t).ravel()
    step = 0.01 * h
    offsets = step * np.arange(-4, 5)
    slope = lower.evaluate((centres[:, None] + offsets).ravel()).reshape(-1, 9) @ FD_WEIGHTS / step
    exact = upper.evaluate(centres)
    np.testing.assert_allclose(slope, exact, rtol=0, atol=1e-8 * np.abs(exact).max())


@pytest.mark.parametrize(("kernel", "derivative"), [(k, d) for k, d in ORDERS if d < 0])
def test_antiderivatives_vanish_at_the_first_knot(kernel, derivative):
    h = 0.37
    x, y = grid(30, h=h), rng_for(kernel, derivative).uniform(1, 2, 30)
    value = build(kernel, derivative, x, y).evaluate(x[:1])[0]
    # the weights vanish up to rounding, which the largest (ghost) coefficient multiplies
    largest = np.abs(_core.extended_coefficients(y, kernel, "poly", "poly")).max()
    assert abs(value) <= 1e-12 * h ** -derivative * largest


@pytest.mark.parametrize("kernel", ["a0", "a1"])
def test_first_antiderivative_is_the_trapezoid_sum(kernel):
    h = 0.37
    x = grid(12, h=h)
    y = rng_for(kernel).standard_normal(12)
    f = build(kernel, -1, x, y)
    at_knots = h * (np.cumsum(y) - y[0] / 2 - y / 2)  # h (y0/2 + y1 + ... + y_(m-1) + ym/2)
    np.testing.assert_allclose(f.evaluate(x), at_knots, rtol=0, atol=1e-14)
    if kernel == "a0":  # half-way: h (y0/2 + y1 + ... + ym)
        np.testing.assert_allclose(f.evaluate(x[:-1] + h / 2), h * (np.cumsum(y) - y[0] / 2)[:-1],
                                   rtol=0, atol=1e-14)


@pytest.mark.parametrize(("kernel", "derivative", "h", "data", "expected"), [
    ("a3", 1, 0.5, lambda x: 3 * x + 1, lambda x: 3 + 0 * x),           # scale -1/h = -2
    ("b5", 2, 0.5, lambda x: x * x, lambda x: 2 + 0 * x),               # scale 4
    ("b5", 3, 0.25, lambda x: x**3, lambda x: 6 + 0 * x),               # scale -64
    ("a1", -1, 0.5, lambda x: 2 + 0 * x, lambda x: 2 * (x + 1)),        # scale 0.5
    ("a3", -2, 0.5, lambda x: 1 + 0 * x, lambda x: (x + 1) ** 2 / 2),  # scale 0.25
])
def test_scale_of_derivatives_and_antiderivatives(kernel, derivative, h, data, expected):
    x = grid(9, -1.0, h)
    points = np.linspace(x[0], x[-1], 17)
    got = build(kernel, derivative, x, data(x)).evaluate(points)
    np.testing.assert_allclose(got, expected(points), rtol=1e-13, atol=1e-13)


def test_worked_examples():
    v = np.array([1.0, 10.0, 100.0])
    linear = Interpolant1D(np.array([0.0, 1.0, 2.0]), v, "a1", "poly", "poly", 0)
    assert linear.evaluate(np.array([0.25, 2.0])).tolist() == [0.75 * 1 + 0.25 * 10, 100.0]
    nearest = Interpolant1D(np.arange(4.0), np.array([5.0, 6.0, 7.0, 8.0]), "a0", "poly", "poly", 0)
    assert nearest.evaluate(np.array([0.0, 1.49, 1.5, 3.0])).tolist() == [5.0, 6.0, 7.0, 8.0]


@pytest.mark.parametrize("kernel", ["a0", "a1"])
def test_boundary_conditions_do_not_change_kernels_without_ghosts(kernel):
    x = grid(7)
    points = np.linspace(x[0], x[-1], 13)
    y = rng_for(kernel).standard_normal(7)
    a = build(kernel, -1, x, y, ("poly", "detect")).evaluate(points)
    b = build(kernel, -1, x, y, ("linear", "quadratic")).evaluate(points)
    assert np.array_equal(bits(a), bits(b))


# --- Construction checks, in their order --------------------------------------

X6, Y6 = 0.5 * np.arange(6.0), np.ones(6)
NEEDS = "need at least 2 knots, and as many values as knots"
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
TOO_WIDE = "knots span too wide a range"


def misaligned(values):
    out = np.ndarray(len(values), np.float64, buffer=bytearray(8 * len(values) + 1), offset=1)
    out[:] = values
    return out


def bad_bc(name):
    return f'unknown boundary condition "{name}" (expected poly, linear, quadratic or detect)'


@pytest.mark.parametrize(("changes", "exc_type", "message", "note"), [
    # argument conversion, in parameter order
    ({"x": list(X6)}, TypeError, "'list' object is not an instance of 'ndarray'", "x"),
    ({"x": list(X6), "kernel": 3}, TypeError, "'list' object is not an instance of 'ndarray'", "x"),
    ({"x": X6.reshape(2, 3)}, TypeError, "'ndarray' object is not an instance of 'ndarray'", "x"),
    ({"values": Y6.astype(np.float32)}, TypeError, "'ndarray' object is not an instance of 'ndarray'", "values"),
    ({"values": Y6.astype(np.int64), "x": X6[::2]}, TypeError, "'ndarray' object is not an instance of 'ndarray'",
     "values"),
    ({"kernel": b"a3"}, TypeError, "'bytes' object is not an instance of 'str'", "kernel"),
    ({"bc_right": None}, TypeError, "'None' is not an instance of 'str'", "bc_right"),
    ({"derivative": 2**31}, OverflowError, "out of range integral type conversion attempted", "derivative"),
    ({"derivative": -(2**31) - 1}, OverflowError, "out of range integral type conversion attempted", "derivative"),
    ({"derivative": 1.0}, TypeError, "'float' object cannot be interpreted as an integer", "derivative"),
    # contiguity of x, then of values, before any count
    ({"x": np.arange(12.0)[::2]}, TypeError, NOT_CONTIGUOUS, None),
    ({"x": X6[::-1], "values": Y6[:2]}, TypeError, NOT_CONTIGUOUS, None),
    ({"x": misaligned(X6)}, TypeError, NOT_CONTIGUOUS, None),
    ({"values": np.ones(12)[::2], "kernel": "zz"}, TypeError, NOT_CONTIGUOUS, None),
    ({"values": misaligned(Y6)}, TypeError, NOT_CONTIGUOUS, None),
    # counts
    ({"x": X6[:1], "values": Y6[:1]}, ValueError, NEEDS, None),
    ({"x": X6[:3], "values": Y6[:4]}, ValueError, NEEDS, None),
    ({"x": np.ones(12)[::2][:0], "values": Y6[:0]}, ValueError, NEEDS, None),  # empty always contiguous
    ({"x": np.array([]), "values": Y6}, ValueError, NEEDS, None),
    # knots: finite, increasing, not too wide, uniform
    ({"x": np.array([5.0, 4.0, np.nan, 2.0, 1.0, 0.0])}, ValueError,
     "knots must be finite numbers (no NaN or infinity)", None),
    ({"x": np.array([0.0, 1.0, 2.0, 3.0, 4.0, np.inf]), "kernel": "zz"}, ValueError,
     "knots must be finite numbers (no NaN or infinity)", None),
    ({"x": X6[::-1].copy()}, ValueError, "knots must be increasing", None),
    ({"x": np.ones(6)}, ValueError, "knots must be increasing", None),
    ({"x": np.array([-1e308, 1e308]), "values": Y6[:2], "kernel": "zz"}, ValueError, TOO_WIDE, None),
    ({"x": np.array([-1e308, 0.0, 1e308]), "values": Y6[:3], "kernel": "zz"}, ValueError, TOO_WIDE, None),
    ({"x": np.array([0.0, 2.0, 1.0, 3.0]), "values": Y6[:4]}, ValueError, "knots must be uniformly spaced", None),
    ({"x": np.array([0.0, 1.0, 2.1, 3.0]), "values": Y6[:4], "kernel": "zz"}, ValueError,
     "knots must be uniformly spaced", None),
    ({"x": np.array([-1.0, np.nextafter(1e-8, 1), 1.0]), "values": Y6[:3]}, ValueError,
     "knots must be uniformly spaced", None),
    # kernel and order
    ({"kernel": "A3", "bc_right": "Poly"}, ValueError, 'unknown kernel "A3"', None),
    ({"kernel": "a3 "}, ValueError, 'unknown kernel "a3 "', None),
    ({"kernel": "a", "derivative": 5}, ValueError, 'unknown kernel "a"', None),
    ({"kernel": ""}, ValueError, 'unknown kernel ""', None),
    ({"kernel": 'a"\\\t\n\r\x00\x7f'}, ValueError, 'unknown kernel "a\\"\\\\\\t\\n\\r\\0\\u{7f}"', None),
    ({"kernel": "a0", "derivative": 1}, ValueError, 'kernel "a0" supports derivatives up to order 0, got 1', None),
    ({"kernel": "a1", "derivative": 1}, ValueError, 'kernel "a1" supports derivatives up to order 0, got 1', None),
    ({"kernel": "b13", "derivative": 2**31 - 1, "bc_left": "Poly"}, ValueError,
     'kernel "b13" supports derivatives up to order 7, got 2147483647', None),
    ({"kernel": "a0", "derivative": -3}, ValueError,
     'kernel "a0" supports integrals up to order 2 (derivative = -2), got derivative = -3', None),
    ({"kernel": "b5", "derivative": -7}, ValueError,
     'kernel "b5" supports integrals up to order 6 (derivative = -6), got derivative = -7', None),
    ({"derivative": -(2**31)}, ValueError,
     'kernel "a3" supports integrals up to order 4 (derivative = -4), got derivative = -2147483648', None),
    # boundary conditions, left first, then the ghost extension
    ({"bc_left": "Poly", "bc_right": ""}, ValueError, bad_bc("Poly"), None),
    ({"bc_right": " poly"}, ValueError, bad_bc(" poly"), None),
    ({"bc_right": ""}, ValueError, bad_bc(""), None),
    ({"kernel": "a1", "bc_left": "Poly"}, ValueError, bad_bc("Poly"), None),
    ({"kernel": "a0", "bc_right": "detect ", "derivative": -2}, ValueError, bad_bc("detect "), None),
    ({"x": X6[:2], "values": Y6[:2], "bc_left": "linear", "bc_right": "quadratic"}, ValueError,
     "boundary condition needs 3 values along the line, got 2", None),
    # the extended grid must fit in doubles: after the boundary conditions
    ({"x": np.array([0.0, 0.5e308, 1e308]), "values": Y6[:3], "kernel": "a7", "bc_left": "Poly"}, ValueError,
     bad_bc("Poly"), None),
    ({"x": np.array([0.0, 0.5e308, 1e308]), "values": Y6[:3], "kernel": "a7"}, ValueError, TOO_WIDE, None),
    ({"x": np.array([0.0, 0.5e308, 1e308]), "values": Y6[:3], "kernel": "a5", "derivative": -4}, ValueError,
     TOO_WIDE, None),
    ({"x": np.array([-1.6e308, -1.4e308]), "values": Y6[:2], "kernel": "b13"}, ValueError, TOO_WIDE, None),
])
def test_construction_refusals(changes, exc_type, message, note):
    arguments = {"x": X6, "values": Y6, "kernel": "a3", "bc_left": "poly", "bc_right": "poly",
                 "derivative": 0} | changes
    with pytest.raises(exc_type) as excinfo:
        Interpolant1D(**arguments)
    assert type(excinfo.value) is exc_type
    assert str(excinfo.value) == message
    assert getattr(excinfo.value, "__notes__", []) == ([f"while processing '{note}'"] if note else [])


@pytest.mark.parametrize(("x", "values", "kernel", "bcs"), [
    (np.array([0.0, 1.0]), np.array([1.0, 2.0]), "b13", ("poly", "detect")),   # two knots are enough
    (np.array([-1.0, 1e-8, 1.0]), np.ones(3), "a3", ("poly", "poly")),  # off by exactly 1e-8 h
    (np.array([-1e300, 1e300]), np.ones(2), "b13", ("poly", "poly")),
    (np.arange(6.0), np.ones(6), "a0", ("quadratic", "linear")),
])
def test_construction_accepts(x, values, kernel, bcs):
    f = Interpolant1D(x, values, kernel, *bcs, 0)
    np.testing.assert_allclose(f.evaluate(x), values, rtol=1e-12)


# --- Evaluation ---------------------------------------------------------------


@pytest.mark.parametrize(("x", "point", "message"), [
    (np.arange(11.0), 11.0, "point 11 lies outside the data range [0, 10]"),
    (np.arange(11.0), -0.5, "point -0.5 lies outside the data range [0, 10]"),
    (1e-7 + np.arange(2.0), 0.0, "point 0 lies outside the data range [0.0000001, 1.0000001]"),
    (np.arange(11.0), np.inf, "point inf lies outside the data range [0, 10]"),
    (np.arange(11.0), -np.inf, "point -inf lies outside the data range [0, 10]"),
    (np.arange(2.0), 1e20, "point 100000000000000000000 lies outside the data range [0, 1]"),
    (np.arange(2.0), -5e-324, f"point -0.{'0' * 323}5 lies outside the data range [0, 1]"),
    (np.array([-0.3, 0.6]), np.nextafter(-0.3, -1), "point -0.30000000000000004 lies outside the data range [-0.3, 0.6]"),
    (np.array([-0.3, 0.6]), np.nextafter(0.6, 1), "point 0.6000000000000001 lies outside the data range [-0.3, 0.6]"),
])
@pytest.mark.parametrize(("kernel", "derivative"), EVALUATORS)
def test_points_outside_the_data_range(kernel, derivative, x, point, message):
    f = Interpolant1D(x, np.ones(len(x)), kernel, "linear", "linear", derivative)
    assert np.all(np.isfinite(f.evaluate(x[[0, -1]])))  # both ends are inside
    for points in ([point], [x[0], point, x[-1], x[-1] + 1]):  # the first offender is reported
        with pytest.raises(ValueError) as excinfo:
            f.evaluate(np.array(points))
        assert str(excinfo.value) == message


@pytest.mark.parametrize(("kernel", "derivative"), EVALUATORS)
def test_points_of_any_layout_give_the_same_bits(kernel, derivative):
    x = grid(20)
    f = build(kernel, derivative, x)
    base = rng_for(kernel, derivative).uniform(x[0], x[-1], 64)
    base[5] = np.nan
    kept = base.copy()
    base.flags.writeable = False  # read-only input is accepted
    layouts = {
        "strided": base[::3],
        "reversed": base[::-1],
        "zero stride": np.lib.stride_tricks.as_strided(base[7:], shape=(9,), strides=(0,)),
        "misaligned": misaligned(base),
        "fortran slice": np.asfortranarray(np.stack([base, base]))[1],
    }
    for name, points in layouts.items():
        got = f.evaluate(points)
        assert got.dtype == np.float64 and got.shape == points.shape, name
        assert np.array_equal(bits(got), bits(f.evaluate(np.ascontiguousarray(points)))), name
    assert np.array_equal(bits(base), bits(kept))  # never written
    assert np.array_equal(bits(f.evaluate(points=base)), bits(f.evaluate(base)))
    empty = f.evaluate(np.empty(0))
    assert empty.dtype == np.float64 and empty.shape == (0,)


def test_every_argument_binds_by_keyword():
    x, y = grid(8), np.arange(8.0)
    by_position = Interpolant1D(x, y, "a3", "poly", "detect", -1).evaluate(x)
    f = Interpolant1D(derivative=-1, bc_right="detect", bc_left="poly", kernel="a3", values=y, x=x)
    assert np.array_equal(bits(f.evaluate(points=x)), bits(by_position))


X2 = np.array([0.0, 1.0])
F2 = Interpolant1D(X2, X2, "a1", "poly", "poly", 0)


@pytest.mark.parametrize(("call", "exc_type", "message", "note"), [
    (lambda: Interpolant1D(X2, X2, "a1", "poly", "poly"), TypeError,
     "Interpolant1D.__new__() missing 1 required positional argument: 'derivative'", None),
    (lambda: Interpolant1D(X2, X2, "a1", "poly", "poly", 0, 0), TypeError,
     "Interpolant1D.__new__() takes 6 positional arguments but 7 were given", None),
    (lambda: Interpolant1D(X2, X2, "a1", "poly", "poly", 0, kernel="a3"), TypeError,
     "Interpolant1D.__new__() got multiple values for argument 'kernel'", None),
    (lambda: Interpolant1D(X2, X2, "a1", "poly", "poly", 0, order=0), TypeError,
     "Interpolant1D.__new__() got an unexpected keyword argument 'order'", None),
    (lambda: F2.evaluate(X2, X2), TypeError,
     "Interpolant1D.evaluate() takes 1 positional arguments but 2 were given", None),
    (lambda: F2.evaluate(), TypeError, "Interpolant1D.evaluate() missing 1 required positional argument: 'points'", None),
    (lambda: F2.evaluate(point=X2), TypeError, "Interpolant1D.evaluate() got an unexpected keyword argument 'point'", None),
    (lambda: F2.evaluate([0.5]), TypeError, "'list' object is not an instance of 'ndarray'", "points"),
    (lambda: F2.evaluate(X2.astype(np.float32)), TypeError, "'ndarray' object is not an instance of 'ndarray'", "points"),
    (lambda: F2.evaluate(np.zeros((1, 1))), TypeError, "'ndarray' object is not an instance of 'ndarray'", "points"),
])
def test_binding_errors(call, exc_type, message, note):
    with pytest.raises(exc_type) as excinfo:
        call()
    assert str(excinfo.value) == message
    assert getattr(excinfo.value, "__notes__", []) == ([f"while processing '{note}'"] if note else [])


def test_class_surface():
    assert Interpolant1D.__doc__ == "A 1D interpolant."
    assert Interpolant1D.__text_signature__ == "(x, values, kernel, bc_left, bc_right, derivative)"
    assert str(inspect.signature(Interpolant1D)) == "(x, values, kernel, bc_left, bc_right, derivative)"
    assert Interpolant1D.__name__ == "Interpolant1D" and Interpolant1D.__module__ == "quorvel._core"
    assert Interpolant1D.evaluate.__doc__ == "Evaluate at every point of the NumPy array `points`"
    assert Interpolant1D.evaluate.__text_signature__ == "($self, points)"
    assert [name for name in vars(Interpolant1D) if not name.startswith("__")] == ["evaluate"]
    assert _core.__all__[:5] == ["evaluate_polynomial", "kernel_weights", "extended_coefficients",
                                 "extended_coefficients_nd", "Interpolant1D"]


def test_instances_are_immutable():
    f = Interpolant1D(X2, X2, "a1", "poly", "poly", 0)
    assert not hasattr(f, "__dict__")
    with pytest.raises(AttributeError):
        f.spacing = 2.0
    with pytest.raises(AttributeError):
        f.evaluate = None
    with pytest.raises(TypeError):
        Interpolant1D.evaluate = None
    for refused in (lambda: weakref.ref(f), lambda: pickle.dumps(f), lambda: object.__new__(Interpolant1D),
                    lambda: type("Derived", (Interpolant1D,), {})):
        with pytest.raises(TypeError):
            refused()


LEAK_X = grid(40)
LEAK_B13 = Interpolant1D(LEAK_X, np.sin(LEAK_X), "b13", "poly", "poly", -3)
LEAK_A0 = Interpolant1D(LEAK_X, np.sin(LEAK_X), "a0", "poly", "poly", 0)


@pytest.mark.parametrize("call", [
    lambda: Interpolant1D(LEAK_X, LEAK_X, "b13", "detect", "poly", -8),
    lambda: Interpolant1D(LEAK_X, LEAK_X, "a3", "poly", "poly", 1),
    lambda: Interpolant1D(LEAK_X, LEAK_X, "a3", "poly", "poly", 2),
    lambda: Interpolant1D(LEAK_X, LEAK_X, "a3", "Poly", "poly", 0),
    lambda: Interpolant1D(LEAK_X[::2], LEAK_X, "a3", "poly", "poly", 0),
    lambda: Interpolant1D(LEAK_X, LEAK_X, 3, "poly", "poly", 0),
    lambda: Interpolant1D(LEAK_X, LEAK_X, "a3", "poly", "poly"),
    lambda: LEAK_B13.evaluate(LEAK_X),
    lambda: LEAK_A0.evaluate(LEAK_X[::-1]),
    lambda: LEAK_B13.evaluate(LEAK_X + 1.0),
    lambda: LEAK_A0.evaluate([0.0]),
])
def test_no_leaks(no_leak, call):
    no_leak(call)
