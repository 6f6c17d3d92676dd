"""What the interpolants are, mathematically: knots, polynomials, slopes, integrals and products."""

import itertools

import numpy as np
import numpy.polynomial.polynomial as P
import pytest

from quorvel import _core
from tests.conftest import HALF_WIDTH, KERNELS, ORDERS, rng_for

H = 0.37
X = -1.3 + H * np.arange(30)


def build(kernel, derivative, y, x=X):
    return _core.Interpolant1D(x, y, kernel, "poly", "poly", derivative)


@pytest.mark.parametrize(("kernel", "derivative"), ORDERS)
def test_reproduces_polynomials_their_derivatives_and_antiderivatives(kernel, derivative):
    p = np.polynomial.Polynomial(rng_for(kernel, derivative).uniform(-1, 1, KERNELS[kernel][3] + 1))
    expected = p.deriv(derivative) if derivative >= 0 else p.integ(-derivative, lbnd=X[0])
    points = np.linspace(X[0], X[-1], 101)
    size = max(np.abs(p(X)).max() * H ** -max(derivative, 0), np.abs(expected(points)).max())
    np.testing.assert_allclose(build(kernel, derivative, p(X)).evaluate(points), expected(points), rtol=0,
                               atol=1e-10 * size)


@pytest.mark.parametrize(("kernel", "derivative"), [(k, d) for k, d in ORDERS if (k, d - 1) in ORDERS])
def test_each_order_is_the_slope_of_the_order_below(kernel, derivative):
    """Eighth-order central differences inside cells, clear of the knots and of the "a0" jump."""
    y = np.sin(X) + 0.1 * rng_for(kernel).standard_normal(len(X))
    centres = (X[:-1, None] + H * np.array([0.2, 0.3, 0.7, 0.8])).ravel()
    step = 0.01 * H
    weights = np.array([1 / 280, -4 / 105, 1 / 5, -4 / 5, 0.0, 4 / 5, -1 / 5, 4 / 105, -1 / 280])
    lower = build(kernel, derivative - 1, y).evaluate((centres[:, None] + step * np.arange(-4, 5)).ravel())
    exact = build(kernel, derivative, y).evaluate(centres)
    np.testing.assert_allclose(lower.reshape(-1, 9) @ weights / step, exact, rtol=0, atol=1e-8 * np.abs(exact).max())


@pytest.mark.parametrize(("kernel", "derivative"), [(k, d) for k, d in ORDERS if d <= 0])
def test_interpolates_the_knots_and_antiderivatives_vanish_at_the_first(kernel, derivative):
    y = rng_for(kernel, derivative).uniform(1, 2, len(X))
    got = build(kernel, derivative, y).evaluate(X)
    if derivative == 0:
        np.testing.assert_allclose(got, y, rtol=0, atol=1e-13)
    else:  # the weights vanish up to rounding, which the largest (ghost) coefficient multiplies
        assert abs(got[0]) <= 1e-12 * H ** -derivative * np.abs(_core.extended_coefficients(y, kernel, "poly",
                                                                                            "poly")).max()


@pytest.mark.parametrize("kernel", ["a0", "a1"])
def test_first_antiderivative_is_the_trapezoid_sum(kernel):
    y = rng_for(kernel).standard_normal(len(X))
    f = build(kernel, -1, y)
    np.testing.assert_allclose(f.evaluate(X), H * (np.cumsum(y) - y[0] / 2 - y / 2), rtol=0, atol=1e-13)
    if kernel == "a0":  # half-way: h (y0/2 + y1 + ... + ym)
        np.testing.assert_allclose(f.evaluate(X[:-1] + H / 2), H * (np.cumsum(y) - y[0] / 2)[:-1], rtol=0, atol=1e-13)


def grids(shape, key):
    rng = rng_for("grid", key)
    return [rng.uniform(-2, 2) + rng.choice([0.125, 0.37, 1.1]) * np.arange(n) for n in shape]


MIXED = [(k, orders) for k, (_, top, deepest, _) in KERNELS.items()
         for orders in ([top, -deepest], [-min(2, deepest), top, -1])]


@pytest.mark.parametrize(("kernel", "orders"), MIXED, ids=[f"{k}{o}" for k, o in MIXED])
def test_separable_data_give_the_product_of_one_dimensional_results(kernel, orders):
    rng = rng_for("separable", kernel, orders)
    knots = grids([2 * HALF_WIDTH[kernel] + 3, 7, 6][:len(orders)], ("separable", kernel))
    factors = [rng.standard_normal(len(x)) for x in knots]
    values = np.einsum(*itertools.chain(*((f, [a]) for a, f in enumerate(factors))), list(range(len(knots))))
    bcs = [("poly", "linear"), ("quadratic", "poly"), ("linear", "poly")][:len(knots)]  # linear in the data
    points = np.stack([np.r_[k[0], k[-1], k[1], rng.uniform(k[0], k[-1], 37)] for k in knots], axis=1)
    parts = [_core.Interpolant1D(x, f, kernel, *bc, d).evaluate(points[:, a])
             for a, (x, f, bc, d) in enumerate(zip(knots, factors, bcs, orders))]
    size = np.prod([np.abs(part).max() + np.abs(f).max() * (x[1] - x[0]) ** -max(d, 0)
                    for part, x, f, d in zip(parts, knots, factors, orders)])
    np.testing.assert_allclose(_core.InterpolantND(knots, values, kernel, bcs, orders).evaluate(points),
                               np.prod(parts, axis=0), rtol=0, atol=1e-13 * size)


@pytest.mark.parametrize("dims", [2, 3])
@pytest.mark.parametrize("kernel", KERNELS)
def test_box_integrals_of_reproduced_polynomials(kernel, dims):
    """The first antiderivative along every axis, summed over the corners of boxes with alternating signs."""
    rng = rng_for("poly", kernel, dims)
    knots = grids([2 * HALF_WIDTH[kernel] + 2, 9, 8][:dims], ("poly", kernel, dims))
    polyval = {2: P.polyval2d, 3: P.polyval3d}[dims]
    coefficients = rng.uniform(-1, 1, [KERNELS[kernel][3] + 1] * dims)
    values = polyval(*np.meshgrid(*knots, indexing="ij"), coefficients)
    f = _core.InterpolantND(knots, values, kernel, [("poly", "poly")] * dims, [-1] * dims)
    points = np.stack([rng.uniform(k[0], k[-1], 30) for k in knots], axis=1)
    low, high = np.minimum(points[::2], points[1::2]), np.maximum(points[::2], points[1::2])
    corners = [(np.where(np.array(c, bool), high, low), (-1) ** (dims - sum(c)))
               for c in itertools.product([0, 1], repeat=dims)]
    primitive = coefficients
    for a in range(dims):
        primitive = P.polyint(primitive, 1, axis=a)
    np.testing.assert_allclose(sum(sign * f.evaluate(corner) for corner, sign in corners),
                               sum(sign * polyval(*corner.T, primitive) for corner, sign in corners), rtol=0,
                               atol=1e-12 * np.abs(values).max() * np.prod([x[-1] - x[0] + 1 for x in knots]))
