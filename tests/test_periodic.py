"""Periodic axes (the data repeat with period n spacings; every coordinate wraps) and gradients and Hessians in
one call."""

import itertools
import math
import warnings

import numpy as np
import pytest

from quorvel import Interpolator
from tests.conftest import KERNELS, rng_for, same_bits

N = (16, 12, 10, 9)
TURN = 2.0 * np.pi


def periodic_data(dims, value_shape=(), key=()):
    """Samples of a smooth periodic function on [0, 2 pi) along every axis (the last sample left out)."""
    knots = [np.arange(n) * (TURN / n) for n in N[:dims]]
    mesh = np.meshgrid(*knots, indexing="ij")
    phase = rng_for("phase", key).uniform(0.0, 1.0, value_shape or (1,))
    base = np.exp(np.sin(sum(mesh)))[..., None] * np.cos(sum(mesh))[..., None] + phase
    return knots, base.reshape(base.shape[:dims] + value_shape) if value_shape else base[..., 0]


def tiled(knots, values, axes):
    """The data repeated three times along `axes`, the middle copy at the original knots."""
    knots = list(knots)
    for a in axes:
        n, h = len(knots[a]), knots[a][1] - knots[a][0]
        knots[a] = knots[a][0] + (np.arange(3 * n) - n) * h
        values = np.concatenate([values] * 3, axis=a)
    return knots, values


def middle(knots, count, key):
    rng = rng_for("middle", key)
    return np.column_stack([rng.uniform(k[0], k[-1], count) for k in knots])


PERIODIC_KERNELS = [k for k in KERNELS if k != "a0"]


@pytest.mark.parametrize("value_shape", [(), (2,)])
@pytest.mark.parametrize(("kernel", "dims"), [(k, d) for k in PERIODIC_KERNELS for d in (1, 2, 3, 4)
                                              if d < 3 or KERNELS[k][0] <= (8 if d == 3 else 4)])
def test_as_the_data_tiled_three_times(kernel, dims, value_shape):
    knots, values = periodic_data(dims, value_shape)
    axes = range(dims) if dims < 3 else (0, dims - 1)
    boundary = [("periodic", "periodic") if a in axes else ("poly", "poly") for a in range(dims)]
    f = Interpolator(knots, values, kernel, boundary)
    big_knots, big_values = tiled(knots, values, axes)
    g = Interpolator(big_knots, big_values, kernel, "poly")
    p = middle(knots, 200, (kernel, dims))
    if dims == 1:
        p = p[:, 0]
    for order in {0, KERNELS[kernel][1]}:
        fd, gd = f.derivative(order), g.derivative(order)
        assert np.allclose(fd(p), gd(p), rtol=1e-12, atol=1e-12 * np.abs(gd(p)).max())


@pytest.mark.parametrize("kernel", ["a3", "b7", "b13"])
def test_coordinates_wrap_by_whole_periods(kernel):
    knots, values = periodic_data(2, key=kernel)
    f = Interpolator(knots, values, kernel, "periodic")
    p = middle(knots, 100, kernel)
    for shift in ([TURN, 0.0], [-3 * TURN, 5 * TURN], [1e6 * TURN, -1e4 * TURN]):
        moved = p + shift
        # The wrap is exact but for rounding of the period itself times the number of periods.
        tolerance = 1e-11 * max(1.0, np.abs(shift).max() / TURN)
        assert np.allclose(f(moved), f(p), rtol=0, atol=tolerance)
        assert np.allclose(f.gradient(moved), f.gradient(p), rtol=0, atol=100 * tolerance)
    assert np.isnan(f([[np.inf, 0.0], [np.nan, 1.0]])).all()
    on_grid = f.on_grid(np.array([-TURN, 0.5, 7.0]), np.array([100.0, -2.0]))
    assert same_bits(on_grid, f(np.stack(np.meshgrid([-TURN, 0.5, 7.0], [100.0, -2.0], indexing="ij"), -1)))


@pytest.mark.parametrize("kernel", ["b5", "b9"])
def test_trigonometric_polynomials_and_their_derivatives(kernel):
    n = 64
    x = np.arange(n) * (TURN / n)
    f = Interpolator(x, np.sin(3 * x) + 0.5 * np.cos(x), kernel, "periodic")
    p = np.linspace(-10.0, 20.0, 301)
    assert np.abs(f(p) - (np.sin(3 * p) + 0.5 * np.cos(p))).max() < 1e-6
    assert np.abs(f.derivative()(p) - (3 * np.cos(3 * p) - 0.5 * np.sin(p))).max() < 1e-4
    # One antiderivative continues over whole periods; integrals cover any length.
    F = f.antiderivative()
    exact = lambda t: (1 - np.cos(3 * t)) / 3 + 0.5 * np.sin(t)  # noqa: E731
    assert np.abs(F(p) - exact(p)).max() < 1e-6
    for a, b in [(0.0, TURN), (-5.0, 33.0), (2.0, 2.0 + 10.5 * TURN), (1e6, 1e6 + 1.0), (40.0, -3.0)]:
        assert f.integrate(a, b) == pytest.approx(exact(b) - exact(a), abs=1e-6)
        assert f.integrate(a, b) == pytest.approx(F(b) - F(a), abs=1e-9 * max(1.0, abs(b - a)))
    assert f.derivative().integrate(-5.0, 33.0) == pytest.approx(float(f(33.0) - f(-5.0)), abs=1e-12)


def test_integrals_over_boxes_with_periodic_axes():
    knots, values = periodic_data(3, (2,), key="box")
    f = Interpolator(knots, values, "b7", [("periodic", "periodic"), ("poly", "poly"), ("periodic", "periodic")])
    lower, upper = np.array([-7.0, 0.5, 3.0]), np.array([20.0, 1.5, -40.0])
    corners = f.antiderivative()  # the corner sums over whole periods
    expected = sum((-1) ** (3 - sum(pick)) * corners(np.where(pick, upper, lower))
                   for pick in itertools.product((0, 1), repeat=3))
    assert np.allclose(f.integrate(lower, upper), expected, rtol=1e-11, atol=1e-11)


def test_periodic_antiderivatives_on_grids_and_in_several_dimensions():
    knots, values = periodic_data(2, (2,))
    f = Interpolator(knots, values, "b5", [("periodic", "periodic"), ("poly", "detect")]).antiderivative()
    p = np.array([[7.5, 1.0], [-20.0, 3.0], [0.5, 0.5]])
    period = TURN
    F_end = f([[period, 1.0], [period, 3.0], [period, 0.5]])
    wrapped = p.copy()
    wrapped[:, 0] = np.mod(p[:, 0], period)
    counts = np.floor(p[:, 0] / period)[:, None]
    assert np.allclose(f(p), f(wrapped) + counts * F_end, rtol=1e-12, atol=1e-12)
    vectors = [np.array([7.5, -20.0, 0.5]), np.array([1.0, 3.0])]
    assert np.allclose(f.on_grid(*vectors), f(np.stack(np.meshgrid(*vectors, indexing="ij"), -1)), rtol=1e-13)
    g = f.gradient(p)
    assert g.shape == (3, 2, 2) and same_bits(g[..., 1], f.derivative(axis=1)(p))


@pytest.mark.parametrize(("dims", "value_shape"), [(1, ()), (2, ()), (3, (2,))])
def test_periodic_antiderivatives_at_no_points(dims, value_shape):
    knots, values = periodic_data(dims, value_shape)
    f = Interpolator(knots, values, "a3", "periodic").antiderivative()
    points = np.empty((0, 4) if dims == 1 else (0, 4, dims))
    assert f(points).shape == (0, 4) + value_shape
    assert f.gradient(points).shape == (0, 4) + value_shape + (dims,)
    assert f.on_grid(*[np.empty(0)] * dims).shape == (0,) * dims + value_shape


@pytest.mark.parametrize(("make", "error", "message"), [
    (lambda: Interpolator(*periodic_data(1), boundary=("periodic", "poly")), ValueError,
     "^boundary: axis 0 pairs 'periodic' with 'poly'; a periodic axis is periodic at both ends"),
    (lambda: Interpolator(*periodic_data(1), boundary="periodic").antiderivative(2), ValueError,
     "^antiderivative: axis 0 is periodic, where only the first antiderivative continues"),
    (lambda: Interpolator(*periodic_data(2), "a1").gradient([0.0, 0.0]), ValueError,
     "^gradient: kernel 'a1' has derivatives up to order 0, and the gradient needs order 1 along axis 0"),
    (lambda: Interpolator(*periodic_data(2), "a7").hessian([0.0, 0.0]), ValueError,
     "^hessian: kernel 'a7' has derivatives up to order 1"),
])
def test_refusals(make, error, message):
    with pytest.raises(error, match=message):
        make()


def test_a_repeated_last_sample_is_reported():
    x = np.linspace(0.0, TURN, 33)  # the last knot is the first one period later
    with pytest.warns(UserWarning, match="drop the repeated last sample"):
        Interpolator(x, np.sin(x).round(12), boundary="periodic")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        Interpolator(x[:-1], np.sin(x[:-1]), boundary="periodic")
        Interpolator(x, np.ones_like(x), boundary="periodic")  # constant data repeat anyway


GRADIENT_CASES = [(k, d, vs) for k in ("a3", "b5", "b7", "b13") for d in (1, 2, 3) for vs in ((), (3,))]


@pytest.mark.parametrize(("kernel", "dims", "value_shape"), GRADIENT_CASES)
def test_gradient_and_hessian_components_have_the_bits_of_their_derivatives(kernel, dims, value_shape):
    knots, values = periodic_data(dims, value_shape, key=kernel)
    boundary = ["periodic"] + ["detect"] * (dims - 1)
    f = Interpolator(knots, values, kernel, [(b, b) for b in boundary], out_of_range="nan")
    rng = rng_for("gradient", kernel, dims)
    p = rng.uniform(-1.0, 7.0, (50, dims))  # outside the range along the non-periodic axes too
    p[3] = np.nan
    if dims == 1:
        p = p[:, 0]
    gradient = f.gradient(p, workers=2)
    assert gradient.shape == p.shape[: p.ndim - (dims > 1)] + value_shape + (dims,)
    for a in range(dims):
        assert same_bits(gradient[..., a], f.derivative(axis=a)(p))
    if KERNELS[kernel][1] >= 2:
        hessian = f.hessian(p)
        for a, b in itertools.product(range(dims), repeat=2):
            order = [0] * dims
            order[a] += 1
            order[b] += 1
            assert same_bits(hessian[..., a, b], f.derivative(order)(p))


def test_gradient_of_derived_interpolators():
    knots, values = periodic_data(3, key="derived")
    f = Interpolator(knots, values, "b7", "poly").derivative([1, 0, 0]).antiderivative(axis=2)
    p = middle(knots, 30, "derived")
    gradient = f.gradient(p)
    for a in range(3):
        assert same_bits(gradient[..., a], f.derivative(axis=a)(p))
    assert math.isfinite(float(np.abs(gradient).sum()))
