"""The kernel catalogue seen through kernel_weights, and evaluate_polynomial."""

import math
from fractions import Fraction

import numpy as np
import pytest

from quorvel import _core

# name: (columns, max derivative, max integral)
CATALOGUE = {
    "a1": (2, 0, 2),
    "a3": (4, 1, 4),
    "a4": (6, 1, 4),
    "a5": (6, 1, 4),
    "a7": (8, 1, 4),
    "b5": (10, 3, 6),
    "b7": (12, 5, 8),
    "b9": (14, 6, 8),
    "b11": (16, 7, 8),
    "b13": (18, 7, 8),
}
EXACT = {"a1", "a3", "a4", "a5", "a7", "b5"}  # tables from exact rationals
ORDERS = [(k, d) for k, (_, dmax, imax) in CATALOGUE.items() for d in range(-imax, dmax + 1)]
TAUS = [0.0, 0.125, 0.3, 0.5, 0.9, 1.0]


def test_every_order_in_range_has_a_table():
    assert len(ORDERS) == 98
    for kernel, order in ORDERS:
        assert len(_core.kernel_weights(kernel, order, 0.3)) == CATALOGUE[kernel][0]


@pytest.mark.parametrize(
    ("kernel", "order"),
    [(k, dmax + 1) for k, (_, dmax, _) in CATALOGUE.items()]
    + [(k, -imax - 1) for k, (_, _, imax) in CATALOGUE.items()]
    + [("a0", 0), ("a0", -1), ("A3", 0), ("a3 ", 0), ("", 0), ("b1", 0), ("b111", 0), ("a3", 2**31 - 1), ("b13", -(2**31))],
)
def test_missing_tables_are_refused(kernel, order):
    with pytest.raises(ValueError) as excinfo:
        _core.kernel_weights(kernel, order, 0.5)
    assert str(excinfo.value) == f"no kernel table for :{kernel} with order {order}"


@pytest.mark.parametrize(
    ("kernel", "order", "tau", "expected"),
    [
        ("a1", 0, 0.25, [0.25, 0.75]),
        ("a1", 0, 0.0, [0.0, 1.0]),
        ("a3", 0, 0.0, [0.0, 0.0, 1.0, 0.0]),
        ("a3", 0, 1.0, [0.0, 1.0, 0.0, 0.0]),
        ("a3", 0, 0.5, [-0.0625, 0.5625, 0.5625, -0.0625]),
        ("a3", 1, 0.0, [0.0, 0.5, 0.0, -0.5]),
        ("a1", -1, 0.0, [0.5, 0.0]),
        ("a1", -1, 1.0, [0.0, -0.5]),
        ("a1", -2, 0.0, [0.5, 1 / 6]),
    ],
)
def test_worked_values(kernel, order, tau, expected):
    assert _core.kernel_weights(kernel, order, tau) == expected


def test_even_integral_orders_have_nonzero_centre():
    assert _core.kernel_weights("a3", -2, 0.0)[2] == 7 / 60
    assert _core.kernel_weights("b13", -8, 0.0)[0] == 474.50089285714284


@pytest.mark.parametrize("kernel", CATALOGUE)
@pytest.mark.parametrize("tau", TAUS)
def test_order_zero_weights_interpolate_and_sum_to_one(kernel, tau):
    w = _core.kernel_weights(kernel, 0, tau)
    half = len(w) // 2
    assert math.fsum(w) == pytest.approx(1.0, abs=4e-16)
    if tau == 0.0:
        assert w == [1.0 if c == half else 0.0 for c in range(len(w))]
    mirrored = _core.kernel_weights(kernel, 0, 1.0 - tau)
    assert w == pytest.approx(mirrored[::-1], abs=1e-15)


@pytest.mark.parametrize("kernel", CATALOGUE)
def test_derivative_weights_sum_to_zero(kernel):
    for order in range(1, CATALOGUE[kernel][1] + 1):
        for tau in TAUS:
            w = _core.kernel_weights(kernel, order, tau)
            assert math.fsum(w) == pytest.approx(0.0, abs=1e-14 * math.fsum(map(abs, w)))


@pytest.mark.parametrize(("kernel", "order"), [(k, d) for k, d in ORDERS if d < 0])
def test_integral_tables_are_continuous_across_columns(kernel, order):
    """Column c at tau = 1 equals column c + 1 at tau = 0 (up to the rounding of evaluating at
    tau = 1), and the ends match the antiderivative of a unit impulse."""
    start = _core.kernel_weights(kernel, order, 0.0)
    end = _core.kernel_weights(kernel, order, 1.0)
    scale = max(map(abs, start + end))
    assert end[:-1] == pytest.approx(start[1:], abs=(2e-15 if kernel in EXACT else 8e-15) * scale)
    k, half = -order, len(start) // 2
    edge = float(Fraction(half) ** (k - 1) / (2 * math.factorial(k - 1)))
    assert start[0] == pytest.approx(edge, rel=1e-15)
    assert end[-1] == pytest.approx(-((-half) ** (k - 1)) / (2 * math.factorial(k - 1)), rel=1e-15, abs=1e-15)
    if k % 2:
        assert start[half] == 0.0


def test_integral_is_antiderivative_of_weights():
    """d/dtau of the order -1 table is minus the order 0 table (central difference)."""
    for kernel in CATALOGUE:
        for tau in (0.2, 0.6):
            eps = 1e-6
            hi = np.array(_core.kernel_weights(kernel, -1, tau + eps))
            lo = np.array(_core.kernel_weights(kernel, -1, tau - eps))
            np.testing.assert_allclose((hi - lo) / (2 * eps), -np.array(_core.kernel_weights(kernel, 0, tau)), atol=1e-8)


def test_horner_uses_fused_steps():
    # tau * acc + row is rounded once per step: compare with an exact rational Horner.
    tau = 0.1
    weights = _core.kernel_weights("a3", 0, tau)
    rows = [[0.5, -1.5, 1.5, -0.5], [-0.5, 2.0, -2.5, 1.0], [0.0, 0.5, 0.0, -0.5], [0.0, 0.0, 1.0, 0.0]]
    expected = [0.0] * 4
    for row in rows:
        expected = [float(Fraction(tau) * Fraction(a) + Fraction(r)) for a, r in zip(expected, row)]
    assert weights == expected


@pytest.mark.parametrize("tau", [math.nan, math.inf, -math.inf])
def test_non_finite_tau_propagates(tau):
    assert all(math.isnan(w) or math.isinf(w) for w in _core.kernel_weights("a3", 0, tau)[:2])


class TestEvaluatePolynomial:
    def test_values(self):
        result = _core.evaluate_polynomial(np.array([1.0, 2.0, 3.0]), np.array([0.0, 1.0, 2.0]))
        assert result.tolist() == [1.0, 6.0, 17.0]

    def test_unfused_horner(self):
        c = np.array([0.1, 0.7, 0.3])
        x = np.array([0.3, 1.7, -2.9])
        expected = [(0.0 * xi + c[2]) * xi + c[1] for xi in x]
        expected = [e * xi + c[0] for e, xi in zip(expected, x)]
        assert _core.evaluate_polynomial(c, x).tolist() == expected

    @pytest.mark.parametrize(
        ("coefs", "x", "expected"),
        [
            (np.array([]), np.array([1.0, 2.0]), [0.0, 0.0]),
            (np.array([1.0, 2.0]), np.array([]), []),
            (np.array([1.0, 2.0, 3.0]), np.array([0.0, 1.0, 2.0])[::-1], [17.0, 6.0, 1.0]),
            (np.array([1.0, 2.0, 3.0]), np.arange(6.0)[::3], [1.0, 34.0]),
            (np.array([1.0, 1.0]), np.broadcast_to(np.array([2.0]), (3,)), [3.0, 3.0, 3.0]),
        ],
        ids=["empty-coefs", "empty-x", "reversed", "strided", "zero-stride"],
    )
    def test_shapes_and_strides(self, coefs, x, expected):
        result = _core.evaluate_polynomial(coefs, x)
        assert result.shape == (len(expected),)
        assert result.tolist() == expected
