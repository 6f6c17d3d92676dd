"""Evaluation bit for bit against the literal model (tests/reference.py), in every memory layout."""

import math

import numpy as np
import pytest

from quorvel import _core
from tests import reference
from tests.conftest import HALF_WIDTH, KERNELS, ORDERS, misaligned, rng_for, same_bits


@pytest.mark.parametrize(("n", "x0", "h", "bcs"), [(40, -1.3, 0.37, ("poly", "detect")),
                                                    (3, 2.0, 0.125, ("linear", "quadratic"))])
@pytest.mark.parametrize(("kernel", "derivative"), ORDERS)
def test_1d_matches_the_model(kernel, derivative, n, x0, h, bcs):
    """Ends, NaN, knots, the first cells (anchored one column at a time), half-way points, random points."""
    rng = rng_for(kernel, derivative, n)
    x = x0 + h * np.arange(n)
    y = rng.standard_normal(n) * 10.0 ** rng.integers(-3, 4, n)
    cells = np.arange(min(n - 1, 2 * HALF_WIDTH[kernel] + 1))
    points = np.concatenate([
        [x[0], x[-1], np.nan, np.nextafter(x[0], np.inf), np.nextafter(x[-1], -np.inf)], x[: len(cells) + 1],
        np.clip(x0 + h * (cells[:, None] + [rng.random(), 0.5, 0.999999]), x[0], x[-1]).ravel(),
        rng.uniform(x[0], x[-1], 24)])
    got = _core.Interpolant1D(x, y, kernel, *bcs, derivative).evaluate(points)
    assert same_bits(got, reference.Reference(x, y, kernel, *bcs, derivative).evaluate(points))
    assert np.isnan(got[2])


def sample_points(knots, integral_axes, hw, rng, extra):
    """Both ends, NaN on each axis, half-way, the first cells of each integral axis (stencil starts 0, 1,
    2*hw - 2, 2*hw - 1, and a knot) and random points, in a count that is not a multiple of 8."""
    lo, hi = np.array([k[0] for k in knots]), np.array([k[-1] for k in knots])
    rows = [lo, hi, np.where(np.arange(len(knots)) % 2, lo, hi), np.nextafter(lo, hi), np.nextafter(hi, lo),
            [k[1] + (k[1] - k[0]) / 2 for k in knots]]
    for a in range(len(knots)):
        rows.append(rng.uniform(lo, hi))
        rows[-1][a] = np.nan
    for a in integral_axes:
        x = knots[a]
        for position in [x[s] + (x[1] - x[0]) * rng.random() for s in {0, 1, 2 * hw - 2, 2 * hw - 1}
                         if s + 1 < len(x)] + [x[min(2 * hw - 1, len(x) - 1)]]:
            rows.append(rng.uniform(lo, hi))
            rows[-1][a] = min(position, hi[a])
    rows += [rng.uniform(lo, hi) for _ in range(extra + ((len(rows) + extra) % 8 == 0))]
    return np.array(rows)


def order_sets(kernel):
    """Values, derivatives, antiderivatives along one, two and three axes."""
    _, top, deepest, _ = KERNELS[kernel]
    two = min(2, deepest)
    return [[top], [-deepest], [0, top], [top, -1], [-deepest, 0], [-two, -deepest],
            [0, top, 0], [-1, top, -two], [-two, -1, -1]]


ND_CASES = [(kernel, orders) for kernel in KERNELS for orders in order_sets(kernel)] + [
    ("a3", [0, 1, 0, 0]), ("b5", [0, 0, -1, 0])]  # more axes than the evaluators lay out at compile time


@pytest.mark.parametrize(("kernel", "orders"), ND_CASES, ids=[f"{k}{o}" for k, o in ND_CASES])
def test_nd_matches_the_model(kernel, orders):
    hw, dims = HALF_WIDTH[kernel], len(orders)
    rng = rng_for(kernel, orders)
    shape = [max(2 * hw + 1 if d < 0 or dims < 3 else 5, 4) for d in orders]
    knots = [rng.integers(-16, 17) / 8 + rng.choice([0.125, 0.37, 1.25]) * np.arange(n) for n in shape]
    values = rng.standard_normal(shape) * 10.0 ** rng.integers(-3, 4, shape)
    bcs = [("poly", "detect"), ("linear", "quadratic"), ("detect", "poly"), ("quadratic", "poly")][:dims]
    points = sample_points(knots, [a for a, d in enumerate(orders) if d < 0], hw, rng, {1: 30, 2: 16}.get(dims, 4))
    got = _core.InterpolantND(knots, values, kernel, bcs, orders).evaluate(points)
    assert same_bits(got, reference.ReferenceND(knots, values, kernel, bcs, orders).evaluate(points))
    assert np.isnan(got[6:6 + dims]).all()


@pytest.mark.parametrize(("kernel", "order"), [(k, d) for k, d in ORDERS if k != "a0"])
def test_kernel_weights_match_the_model(kernel, order):
    for tau in (0.0, 0.1, 0.5, 0.73, 1.0, math.nan, math.inf):
        assert same_bits(_core.kernel_weights(kernel, order, tau), reference.horner(reference.tables(kernel)[order],
                                                                                     tau))


@pytest.mark.parametrize("x", [np.array([0.3, 1.7, -2.9, 1e5]), np.arange(6.0)[::-2], np.empty(0),
                               np.broadcast_to(2.0, (3,)), misaligned([0.5, -1.5])])
@pytest.mark.parametrize("coefs", [np.array([0.1, 0.7, 0.3]), np.empty(0)])
def test_evaluate_polynomial_is_unfused_horner(coefs, x):
    result, expected = _core.evaluate_polynomial(coefs, x), np.zeros(len(x))
    for c in coefs[::-1]:
        expected = expected * x + c  # the product and the sum rounded apart
    assert type(result) is np.ndarray and result.flags.c_contiguous and same_bits(result, expected)


@pytest.mark.parametrize(("kernel", "orders"), [("a3", [0, 1]), ("a0", [0, 0]), ("a0", [0, -2]), ("b13", [-1, -8, 3])])
def test_nd_inputs_of_any_layout_give_the_same_bits(kernel, orders):
    dims, rng = len(orders), rng_for("layout", kernel, orders)
    knots = [np.linspace(-1.0, 1.0 + a, n) for a, n in enumerate([7, 6, 5][:dims])]
    values = rng.standard_normal([2 * len(x) for x in knots])[(slice(None, None, -2),) * dims]
    base = np.stack([rng.uniform(x[0], x[-1], 41) for x in knots], axis=1)
    base[[3, 17], [0, dims - 1]] = np.nan
    wider = np.zeros((41, 2 * dims + 1))
    wider[:, 1::2] = base
    f, g = (_core.InterpolantND(knots, v, kernel, [("detect", "poly")] * dims, orders)
            for v in (values, np.ascontiguousarray(values)))
    want = g.evaluate(base)
    for points, rows in [(base[::-3], slice(None, None, -3)), (np.asfortranarray(base), ...), (wider[:, 1::2], ...),
                         (misaligned(base), ...), (np.broadcast_to(base[7], (9, dims)), [7] * 9)]:
        assert same_bits(f.evaluate(points), want[rows])
