"""Definite integrals through quorvel.Interpolator.integrate: exact for the polynomials each kernel reproduces (to
rounding of the result, however long the grid), equal to the antiderivatives' difference, infinite or NaN where the
data are, and bounded as `out_of_range` says."""

import itertools
import math
from fractions import Fraction

import numpy as np
import pytest
from scipy import integrate as scipy_integrate

from quorvel import Interpolator
from tests.conftest import KERNELS, rng_for, same_bits

EPS = np.finfo(np.float64).eps
FIELDS = np.array([1.0, -3.5])  # two fields: the polynomial and a multiple of it


def positive_polynomial(degree, axis):
    """Coefficients (lowest first) of a polynomial of `degree` that stays positive on [0.5, 2]."""
    return [1.0] + [(-0.4 if (k + axis) % 2 else 0.3) / k for k in range(1, degree + 1)]


def exact_integral(coefficients, a, b):
    """The integral of the polynomial from a to b, exactly, from the doubles a and b."""
    a, b = Fraction(a), Fraction(b)
    return sum(Fraction(c) * (b ** (k + 1) - a ** (k + 1)) / (k + 1) for k, c in enumerate(coefficients))


def relative_error(result, exact):
    return float(abs(Fraction(float(result)) - exact) / abs(exact))


@pytest.mark.parametrize("dims", [1, 2, 3, 4])
@pytest.mark.parametrize("kernel", KERNELS)
def test_polynomials_the_kernel_reproduces_integrate_to_rounding(kernel, dims):
    """A product of polynomials of the degree the kernel reproduces, in every field: the integral over a box is
    that of the polynomials, to a few units of rounding of the result (the data themselves are rounded)."""
    degree = KERNELS[kernel][3]
    knots = [np.linspace(0.5, 2.0, n) for n in (31, 23, 21, 19)[:dims]]
    polynomials = [positive_polynomial(degree, a) for a in range(dims)]
    data = np.ones([len(k) for k in knots])
    for a, (x, p) in enumerate(zip(knots, polynomials)):
        data = data * np.polynomial.polynomial.polyval(x, p).reshape([-1 if b == a else 1 for b in range(dims)])
    f = Interpolator(knots, data[..., None] * FIELDS, kernel, "poly")
    rng = rng_for(kernel, dims)
    h = [k[1] - k[0] for k in knots]
    boxes = [([k[0] for k in knots], [k[-1] for k in knots]),  # whole axes, the bounds on knots
             (rng.uniform(0.5, 1.0, dims), rng.uniform(1.5, 2.0, dims)),
             ([k[7] + 0.3 * s for k, s in zip(knots, h)], [k[8] - 0.1 * s for k, s in zip(knots, h)]),  # in one cell
             ([k[9] - 1e-7 * s for k, s in zip(knots, h)], [k[9] + 2e-7 * s for k, s in zip(knots, h)])]
    for lower, upper in boxes:
        exact = math.prod(exact_integral(p, a, b) for p, a, b in zip(polynomials, lower, upper))
        result = f.integrate(lower, upper)
        assert result.shape == (2,)
        for value, scale in zip(result, FIELDS):
            assert relative_error(value, exact * Fraction(scale)) <= 4 * dims * EPS


@pytest.mark.parametrize(("n", "kernel"), [(10**5, "a3"), (10**5, "b7"), (10**7, "a3")])
def test_far_from_the_first_knot_short_intervals_keep_every_digit(n, kernel):
    """Over a short interval near the end of a long grid the integral is exact to rounding, where the difference of
    the antiderivative at the bounds (what integrate took before) lost digits: up to 5e-8 of the result at 10^7
    knots."""
    x = np.arange(n) * 0.1
    p = [1.0, 2.0 / x[-1], 0.5 / x[-1] ** 2][: KERNELS[kernel][3] + 1]
    f = Interpolator(x, np.polynomial.polynomial.polyval(x, p), kernel, "poly")
    intervals = [(x[-5] + 0.03, x[-2] - 0.01), (x[-3] - 1e-9, x[-3] + 1e-9), (x[-40], x[-1]),
                 (x[-7] + 0.02, x[-7] + 0.07), (x[0], x[-1])]
    for a, b in intervals:
        assert relative_error(f.integrate(a, b), exact_integral(p, a, b)) <= 4 * EPS


def corner_sum(g, lower, upper):
    """sum over the corners of the box of (-1)^(lower bounds taken) g(corner)."""
    total = 0.0
    for picks in itertools.product((0, 1), repeat=len(lower)):
        corner = [u if pick else l for l, u, pick in zip(lower, upper, picks)]
        total = total + (-1) ** (len(picks) - sum(picks)) * g(corner if len(corner) > 1 else corner[0])
    return total


@pytest.mark.parametrize(("kernel", "orders"), [
    ("a0", (0,)), ("a1", (0, 0)), ("a3", (1,)), ("a4", (0, 1, 0)), ("b5", (3, 0)), ("b7", (0, 2, 0, 1)),
    ("b13", (0, 0, 0)), ("a7", (1, 1))])
def test_integrals_are_the_difference_of_the_antiderivatives_near_the_first_knot(kernel, orders):
    """Along an axis of values the integral is the difference of the antiderivative at the bounds, along an axis
    with a derivative of order d that of the derivative of order d - 1; near the first knot, where those lose
    nothing, they agree to rounding."""
    dims = len(orders)
    knots = [np.linspace(-1.0, 1.0, 25), np.linspace(0.0, 3.0, 22), np.linspace(2.0, 3.0, 21), np.arange(20.0)][:dims]
    rng = rng_for(kernel, orders)
    values = rng.uniform(-1.0, 1.0, [len(k) for k in knots] + [3])
    base = Interpolator(knots, values, kernel, "detect")
    f = base.derivative(list(orders))
    g = base.derivative([max(d - 1, 0) for d in orders]).antiderivative([int(d == 0) for d in orders])
    lower = [k[0] + (k[1] - k[0]) * 0.3 for k in knots]
    upper = [k[0] + (k[1] - k[0]) * t for k, t in zip(knots, rng.uniform(1.5, 6.0, dims))]
    reference = corner_sum(g, lower, upper)
    np.testing.assert_allclose(f.integrate(lower, upper), reference, rtol=1e-12, atol=1e-13)
    flipped = ([upper[0], *lower[1:]], [lower[0], *upper[1:]])  # the bounds of axis 0 swapped
    np.testing.assert_allclose(f.integrate(*flipped), -reference, rtol=1e-12, atol=1e-13)


def test_each_basis_function_integrates_to_one_spacing():
    """Every kernel integrates to exactly 1 over its support, so a knot's basis function covers one spacing: the
    weight of every coefficient well inside an interval."""
    x = np.arange(25) * 0.25
    impulse = np.zeros(25)
    impulse[12] = 1.0
    for kernel in KERNELS:
        f = Interpolator(x, impulse, kernel, "linear")
        quadrature, _ = scipy_integrate.quad(lambda t: float(f(t)), x[0], x[-1], points=x[1:-1], limit=200)
        assert f.integrate(x[0], x[-1]) == 0.25 and abs(quadrature - 0.25) < 1e-13


def test_any_number_of_axes_without_tails():
    """Ten axes of "a1": the corner sums of the antiderivative would need 1023 tails per value (8 GiB); the
    contraction needs none."""
    knots = [np.linspace(0.0, 1.0 + a / 10, 4) for a in range(10)]
    data = sum(np.meshgrid(*knots, indexing="ij", sparse=True)) + 1.0  # 1 + x0 + ... + x9, reproduced by "a1"
    f = Interpolator(knots, data, "a1", workers=1)
    lower, upper = [0.1] * 10, [0.9] * 10
    widths = [Fraction(upper[a]) - Fraction(lower[a]) for a in range(10)]
    volume = math.prod(widths)
    exact = volume * (1 + sum((Fraction(upper[a]) + Fraction(lower[a])) / 2 for a in range(10)))
    assert relative_error(f.integrate(lower, upper), exact) <= 16 * EPS
    assert same_bits(f.integrate(lower, upper), Interpolator(knots, data, "a1", workers=4).integrate(lower, upper))


X20 = np.arange(20.0)


def with_changes(changes):
    y = np.cos(X20 / 3.0) + 2.0
    for knot, value in changes:
        y[knot] = value
    return y


def in_a_plane(y):
    """Two fields on a 20 x 6 grid: ones, but for `y` in column 3 of field 0."""
    plane = np.ones((20, 6, 2))
    plane[:, 3, 0] = y
    return plane


INFINITE = {  # changes to the data, interval, expected: a number's sign, NaN, or None for finite
    "+inf under the interval": ([(10, np.inf)], (9.2, 10.8), 1.0),
    "+inf under a negative lobe": ([(10, np.inf)], (8.2, 8.9), -1.0),  # "a3" weighs 1 to 2 cells away negatively
    "+inf and -inf": ([(10, np.inf), (11, -np.inf)], (9.5, 11.5), math.nan),
    "nan": ([(10, np.nan)], (0.0, 19.0), math.nan),
    "+inf beyond the support": ([(10, np.inf)], (12.0, 19.0), None),
    "+inf where the support ends": ([(10, np.inf)], (4.0, 8.0), None),
}


@pytest.mark.parametrize(("changes", "interval", "expected"), INFINITE.values(), ids=INFINITE)
def test_infinite_and_nan_data_give_what_evaluation_gives(changes, interval, expected):
    """An infinity or NaN among the data the interval reaches gives an infinity or NaN, as the interpolant has
    there; one the interval does not reach changes nothing. Fields are independent, in any number of axes."""
    y, cleared = with_changes(changes), with_changes([(knot, 0.0) for knot, _ in changes])
    inside = np.linspace(*interval, 7)[1:-1]
    box = ([interval[0], 0.5], [interval[1], 4.5])
    cases = [(Interpolator(X20, y, "a3", "linear"), Interpolator(X20, cleared, "a3", "linear"), interval, inside),
             (Interpolator([X20, np.arange(6.0)], in_a_plane(y), "a3", "linear"),
              Interpolator([X20, np.arange(6.0)], in_a_plane(cleared), "a3", "linear"), box,
              np.column_stack([inside, np.full(5, 3.0)]))]
    for f, finite, bounds, points in cases:
        result, along = np.ravel(f.integrate(*bounds))[0], f(points).reshape(5, -1)[:, 0]  # field 0
        if expected is None:
            assert result == np.ravel(finite.integrate(*bounds))[0]
        elif math.isnan(expected):
            assert math.isnan(result) and not np.isfinite(along).all()
        else:
            assert result == expected * math.inf and expected * math.inf in along
        if f.ndim == 2:
            assert same_bits(f.integrate(*bounds)[1], finite.integrate(*bounds)[1])


@pytest.mark.parametrize("mode", ["raise", "nan", "clip"])
@pytest.mark.parametrize("dims", [1, 3])
def test_bounds_follow_out_of_range_and_order(mode, dims):
    knots = [np.linspace(0.0, 1.0, 9), np.linspace(-1.0, 1.0, 11), np.linspace(0.0, 2.0, 12)][:dims]
    values = rng_for("bounds", dims).uniform(-1.0, 1.0, [len(k) for k in knots])
    f = Interpolator(knots, values, "b5", out_of_range=mode)
    lower, upper = np.array([0.1, -0.7, 0.4][:dims]), np.array([0.9, 0.6, 1.9][:dims])
    inside = f.integrate(lower, upper)
    assert -inside == f.integrate(upper, lower) and (dims == 1 or inside == f.integrate(
        [upper[0], lower[1], upper[2]], [lower[0], upper[1], lower[2]]))
    assert f.integrate(lower, lower) == 0.0 and math.isnan(f.integrate(np.full(dims, np.nan), upper))
    below, above = lower.copy(), upper.copy()
    below[-1], above[0] = -5.0, 9.0  # the lower bound of the last axis, the upper of the first
    if mode == "raise":
        message = "point -5 lies" if dims == 1 else "coordinate -5 on axis 2 lies"
        with pytest.raises(ValueError, match=f"^{message} outside the data range"):
            f.integrate(below, above)
    elif mode == "nan":
        assert math.isnan(f.integrate(below, above)) and math.isnan(f.integrate(lower, above))
    else:
        clipped_lower, clipped_upper = below.copy(), above.copy()
        clipped_lower[-1], clipped_upper[0] = knots[-1][0], knots[0][-1]
        assert f.integrate(below, above) == f.integrate(clipped_lower, clipped_upper)


def test_zero_width_gives_zero_whatever_the_data():
    f = Interpolator([X20, X20[:5]], np.full((20, 5), np.inf), "a3", "linear")
    assert f.integrate([3.0, 1.0], [3.0, 4.0]) == 0.0 and f.integrate([3.0, 1.0], [3.5, 1.0]) == 0.0
    assert math.isnan(f.integrate([3.0, 1.0], [3.5, 4.0])) and math.isnan(f([3.2, 2.5]))  # inf - inf
