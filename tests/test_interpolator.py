"""The high-level interpolator, through its public surface."""

import math

import numpy as np
import pytest
from scipy import integrate as scipy_integrate

import quorvel
from quorvel import Interpolator, _core

KERNELS = list(quorvel.kernels())
RNG = np.random.default_rng(20240611)


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype == np.float64 and a.shape == b.shape and a.tobytes() == b.tobytes()


def grid_1d(n=17):
    x = np.linspace(-1.0, 2.0, n)
    return x, np.exp(np.sin(2.0 * x))


def grid_3d():
    knots = [np.linspace(0.0, 1.0, 9), np.linspace(-1.0, 1.0, 11), np.linspace(0.0, 2.0, 12)]
    mesh = np.meshgrid(*knots, indexing="ij")
    return knots, np.sin(mesh[0] + 0.5) * np.cos(mesh[1]) * np.exp(0.3 * mesh[2])


def inside(knots, count):
    return np.column_stack([RNG.uniform(k[0], k[-1], count) for k in knots])


# --- agreement with the native interpolants ---------------------------------


@pytest.mark.parametrize(
    ("kernel", "order"),
    [(info.name, order) for info in quorvel.kernels().values() for order in (0, 1, 3, -1, -2)
     if order <= info.max_derivative],
)
def test_1d_matches_the_native_interpolant_bit_for_bit(kernel, order):
    x, y = grid_1d()
    f = Interpolator(x, y, kernel, ("poly", "linear"))
    f = f.derivative(order) if order >= 0 else f.antiderivative(-order)
    native = _core.Interpolant1D(x, y, kernel, "poly", "linear", order)
    points = np.r_[x[0], RNG.uniform(x[0], x[-1], 200), x[-1]]
    assert f.order == (order,)
    assert same_bits(f(points), native.evaluate(points))


@pytest.mark.parametrize(
    ("kernel", "order", "boundary", "pairs"),
    [
        ("a3", (0, 0, 0), "detect", [("detect", "detect")] * 3),
        ("a3", (1, 0, 1), ("poly", "quadratic"), [("poly", "quadratic")] * 3),
        ("b5", (-1, 2, 0), [("poly", "poly"), ("linear", "detect"), ("quadratic", "poly")],
         [("poly", "poly"), ("linear", "detect"), ("quadratic", "poly")]),
        ("a0", (-1, 0, -2), "poly", [("poly", "poly")] * 3),
        ("b13", (-1, -1, -1), "detect", [("detect", "detect")] * 3),
    ],
)
def test_nd_matches_the_native_interpolant_bit_for_bit(kernel, order, boundary, pairs):
    knots, values = grid_3d()
    f = Interpolator(knots, values, kernel, boundary)
    f = f.derivative([max(o, 0) for o in order]).antiderivative([max(-o, 0) for o in order])
    native = _core.InterpolantND(knots, values, kernel, pairs, list(order))
    points = inside(knots, 300)
    assert f.order == order
    assert same_bits(f(points), native.evaluate(points))


def test_single_axis_sequence_is_one_dimensional():
    x, y = grid_1d()
    points = RNG.uniform(x[0], x[-1], 50)
    for grid in ([x], (x,), x, list(x), tuple(x.tolist())):
        f = Interpolator(grid, y)
        assert f.ndim == 1 and f.shape == (17,)
        assert same_bits(f(points), Interpolator(x, y)(points))


# --- shapes and dtypes -------------------------------------------------------


@pytest.mark.parametrize(
    ("ndim", "shape", "result_shape"),
    [(1, (), ()), (1, (1,), (1,)), (1, (0,), (0,)), (1, (3, 0), (3, 0)), (1, (2, 3, 4), (2, 3, 4)),
     (3, (3,), ()), (3, (0, 3), (0,)), (3, (4, 5, 3), (4, 5))],
)
def test_result_shape_follows_the_points(ndim, shape, result_shape):
    knots, values = grid_3d() if ndim == 3 else ([grid_1d()[0]], grid_1d()[1])
    native = _core.InterpolantND(knots, values, "a3", [("detect", "detect")] * ndim, [0] * ndim)
    points = inside(knots, math.prod(result_shape)).reshape(shape)
    result = Interpolator(knots, values)(points)
    assert isinstance(result, np.ndarray) and result.dtype == np.float64 and result.shape == result_shape
    assert same_bits(result.ravel(), native.evaluate(points.reshape(-1, ndim)))


@pytest.mark.parametrize("points", [0.5, [0.5, 0.5], np.zeros((4, 2)), np.zeros((3, 4))])
def test_nd_points_of_the_wrong_shape_are_refused(points):
    knots, values = grid_3d()
    with pytest.raises(ValueError, match=r"^points: expected shape \(\.\.\., 3\)"):
        Interpolator(knots, values)(points)


def test_any_real_dtype_and_layout_converts_once():
    x = np.arange(0, 40, 2)
    reference = Interpolator(x[::2].astype(float), x[::2] ** 2.0, "a4")
    points = np.array([[0, 3], [7, 36]], dtype=np.int16)
    for f in (Interpolator(list(x[::2]), (x**2).astype(np.int32)[::2], "a4"),  # strided values
              Interpolator(x[::2].astype(np.float32), (x**2).astype(np.uint16)[::2], "a4")):
        assert all(k.dtype == np.float64 and k.flags.c_contiguous for k in f.grid)
        for converted in (points, points.astype(np.float32), points.astype(">f8")):
            assert same_bits(f(converted), reference(points.astype(float)))


def test_the_interpolator_keeps_its_own_copy_of_the_data():
    x, y = grid_1d()
    f = Interpolator(x, y)
    before = f(x)
    x[3] += 0.5
    y[:] = 0.0
    assert same_bits(f(f.grid[0]), before)
    for array in (*f.grid, f.values):
        with pytest.raises(ValueError, match="read-only"):
            array[0] = 1.0


@pytest.mark.parametrize(
    ("grid", "values", "error", "message"),
    [
        ("abc", [1, 2, 3], TypeError, "^grid: expected a 1-D array of knots"),
        (np.zeros((2, 3)), np.zeros((2, 3)), ValueError, r"^grid: .* shape \(2, 3\)"),
        ([np.zeros(3), np.zeros((2, 2))], np.zeros((3, 2)), ValueError, r"^grid\[1\]: expected a 1-D"),
        ([1.0, [2.0, 3.0]], [1, 2], ValueError, "^grid: expected an array of real numbers"),
        ([1 + 2j, 3], [1, 2], TypeError, "^grid: expected real numbers, got an array of dtype complex128"),
        ([0.0, 1.0, 2.5, 3.0], np.zeros(4), ValueError, "^knots must be uniformly spaced$"),  # the core's word
        (np.arange(4.0), [1.0, None, 2.0, 3.0], TypeError, "^values: expected real numbers, got .* object"),
        (np.arange(4.0), np.zeros(5), ValueError, r"^values: expected shape \(4,\) .*got shape \(5,\)"),
        ([np.arange(4.0), np.arange(3.0)], np.zeros((3, 4)), ValueError, r"^values: expected shape \(4, 3\)"),
    ],
)
def test_bad_grids_and_values_name_the_argument(grid, values, error, message):
    with pytest.raises(error, match=message):
        Interpolator(grid, values)


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        ({"kernel": 3}, TypeError, "^kernel: expected a kernel name"),
        ({"boundary": 1}, TypeError, "^boundary: expected a condition name"),
        ({"boundary": ("poly",)}, TypeError, "^boundary: expected"),
        ({"boundary": [("poly", "poly")] * 3}, ValueError, r"^boundary: expected 2 \(left, right\) pairs"),
        ({"out_of_range": "extrapolate"}, ValueError, "^out_of_range: expected 'raise', 'nan' or 'clip'"),
        ({"out_of_range": None}, TypeError, "^out_of_range: expected"),
        # The native layer's own messages come through unchanged.
        ({"kernel": "A3"}, ValueError, '^unknown kernel "A3"$'),
        ({"boundary": "Poly"}, ValueError, r'^unknown boundary condition "Poly" \(expected poly, linear'),
        ({"grid": [np.arange(5.0), [0.0, 2.0, 1.0, 3.0]]}, ValueError, "^axis 1: knots must be uniformly spaced$"),
    ],
)
def test_bad_settings_name_the_argument(kwargs, error, message):
    with pytest.raises(error, match=message):
        Interpolator(**{"grid": [np.arange(5.0), np.arange(4.0)], "values": np.zeros((5, 4)), **kwargs})


def test_boundary_forms_are_equivalent():
    knots, values = grid_3d()
    points = inside(knots, 100)
    reference = Interpolator(knots, values, "b5", [("poly", "poly")] * 3)(points)
    for boundary in ("poly", ("poly", "poly"), [["poly", "poly"]] * 3):
        f = Interpolator(knots, values, "b5", boundary)
        assert f.boundary == (("poly", "poly"),) * 3
        assert same_bits(f(points), reference)


# --- out-of-range points and NaN ------------------------------------------


@pytest.mark.parametrize("mode", ["raise", "nan", "clip"])
def test_out_of_range_modes(mode):
    x, y = grid_1d()
    f, plain = Interpolator(x, y, out_of_range=mode), Interpolator(x, y)
    below, above = np.nextafter(x[0], -np.inf), np.nextafter(x[-1], np.inf)
    knots, values = grid_3d()
    g, plain_3d = Interpolator(knots, values, "a4", out_of_range=mode), Interpolator(knots, values, "a4")
    corner = [k[-1] for k in knots]
    points = np.array([corner, [0.5, 0.0, 1.0], [0.5, 1.5, 1.0], [-0.1, 0.0, 9.0]])
    if mode == "raise":
        with pytest.raises(ValueError, match=rf"^point {float(below)!r} lies outside the data range \[-1, 2\]$"):
            f([0.5, below])
        with pytest.raises(ValueError, match=r"^coordinate 1.5 on axis 1 lies outside the data range \[-1, 1\]$"):
            g(points)
        return
    assert same_bits(f(x[[0, 0, -1]]), plain(x[[0, 0, -1]]))  # the ends are inside
    assert same_bits(g(points[:2]), plain_3d(points[:2]))
    outside = [below, above, -1e300, np.inf, -np.inf]
    if mode == "nan":
        assert np.isnan(f(outside)).all() and np.isnan(g(points[2:])).all()
    else:
        assert same_bits(f(outside), plain(x[[0, -1, 0, -1, 0]]))
        assert same_bits(g(points[2:]), plain_3d([[0.5, 1.0, 1.0], [0.0, 0.0, 2.0]]))


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("mode", ["raise", "nan", "clip"])
def test_nan_points_give_nan(kernel, mode):
    x, y = grid_1d()
    f = Interpolator(x, y, kernel, out_of_range=mode)
    for g in (f, f.antiderivative()):
        result = g([0.5, np.nan])
        assert np.isnan(result[1]) and not np.isnan(result[0])
    knots, values = grid_3d()
    g = Interpolator(knots, values, kernel, out_of_range=mode).antiderivative(axis=0)
    result = g([[0.5, 0.0, 1.0], [0.5, np.nan, 1.0], [np.nan, 0.0, 1.0]])
    assert not np.isnan(result[0]) and np.isnan(result[1:]).all()


# --- derivatives and antiderivatives ---------------------------------------


def test_orders_add_up_and_derivatives_undo_antiderivatives():
    knots, values = grid_3d()
    f = Interpolator(knots, values, "b7")
    points = inside(knots, 100)
    g = f.antiderivative(2, axis=0).antiderivative(axis=(1, -1)).derivative([1, 2], axis=[0, 2])
    assert g.order == (-1, -1, 1)
    assert f.antiderivative().order == (-1, -1, -1) and f.derivative([2, 0, 1]).order == (2, 0, 1)
    assert same_bits(f.antiderivative().derivative()(points), f(points))
    assert f.derivative(0) is not f and same_bits(f.derivative(0)(points), f(points))


@pytest.mark.parametrize(
    ("order", "axis", "error", "message"),
    [
        (-1, None, ValueError, "^order: expected non-negative orders, got -1"),
        (1.0, None, TypeError, "^order: expected an integer, got float"),
        (True, 0, TypeError, "^order: expected an integer"),
        ([1, 2], None, ValueError, r"^order: expected 3 orders \(one per axis in \[0, 1, 2\]\), got 2"),
        ([1, 2], 0, ValueError, r"^order: expected 1 orders"),
        (1, 3, ValueError, "^axis: 3 is out of range for 3-dimensional data"),
        (1, (0, -3), ValueError, "^axis: axis 0 is given twice"),
        (1, "0", TypeError, "^axis: expected an integer"),
        # The kernel's limits are the native layer's to word.
        (2, 1, ValueError, '^axis 1: kernel "a3" supports derivatives up to order 1, got 2$'),
    ],
)
def test_bad_orders_and_axes(order, axis, error, message):
    knots, values = grid_3d()
    with pytest.raises(error, match=message):
        Interpolator(knots, values).derivative(order, axis)


def test_antiderivative_of_a_derivative_is_refused():
    x, y = grid_1d()
    f = Interpolator(x, y, "b5").derivative(2)
    with pytest.raises(ValueError, match="^antiderivative: axis 0 carries a derivative of order 2"):
        f.antiderivative()
    knots, values = grid_3d()
    g = Interpolator(knots, values, "b5").derivative(axis=1)
    assert g.antiderivative(axis=(0, 2)).order == (-1, 1, -1)
    with pytest.raises(ValueError, match="^antiderivative: axis 1 carries"):
        g.antiderivative()


# --- definite integrals ------------------------------------------------------


@pytest.mark.parametrize("kernel", KERNELS)
def test_integrate_is_exact_on_reproduced_polynomials(kernel):
    degree = quorvel.kernels()[kernel].exact_degree
    x = np.linspace(-1.0, 1.5, 26)
    coefficients = RNG.uniform(-1.0, 1.0, degree + 1)
    p = np.polynomial.Polynomial(coefficients)
    f = Interpolator(x, p(x), kernel, "poly")
    P = p.integ()
    for a, b in [(-1.0, 1.5), (-0.73, 0.41), (0.41, -0.73), (0.2, 0.2), (1.5, -1.0)]:
        assert f.integrate(a, b) == pytest.approx(P(b) - P(a), abs=1e-13)


def test_integrate_a_box_exactly_on_a_reproduced_polynomial():
    knots, _ = grid_3d()
    mesh = np.meshgrid(*knots, indexing="ij")
    f = Interpolator(knots, mesh[0] ** 2 * mesh[1] - 3.0 * mesh[2] ** 3 * mesh[0] + 1.0, "a4", "poly")

    def exact(lo, hi):
        (a0, a1, a2), (b0, b1, b2) = lo, hi
        return ((b0**3 - a0**3) / 3 * (b1**2 - a1**2) / 2 * (b2 - a2)
                - 3.0 * (b2**4 - a2**4) / 4 * (b0**2 - a0**2) / 2 * (b1 - a1)
                + (b0 - a0) * (b1 - a1) * (b2 - a2))

    lo, hi = np.array([0.1, -0.9, 0.3]), np.array([0.8, 0.35, 1.9])
    assert f.integrate(lo, hi) == pytest.approx(exact(lo, hi), abs=1e-13)
    flipped = np.where([True, False, False], hi, lo), np.where([True, False, False], lo, hi)
    assert f.integrate(*flipped) == pytest.approx(-exact(lo, hi), abs=1e-13)
    assert f.integrate(hi, lo) == pytest.approx(-exact(lo, hi), abs=1e-13)  # three flips


def test_integrate_agrees_with_quadrature_of_the_interpolant_and_of_the_data():
    knots = [np.linspace(0.0, 1.0, 21), np.linspace(-1.0, 1.0, 31)]
    mesh = np.meshgrid(*knots, indexing="ij")
    f = Interpolator(knots, np.exp(mesh[0]) * np.cos(2.0 * mesh[1]), "b7")
    lo, hi = (0.13, -0.77), (0.91, 0.52)
    of_interpolant, _ = scipy_integrate.dblquad(
        lambda y, x: float(f([x, y])), lo[0], hi[0], lo[1], hi[1], epsabs=1e-13, epsrel=1e-13
    )
    of_function = (math.exp(hi[0]) - math.exp(lo[0])) * (math.sin(2 * hi[1]) - math.sin(2 * lo[1])) / 2
    assert f.integrate(lo, hi) == pytest.approx(of_interpolant, rel=1e-11)
    assert f.integrate(lo, hi) == pytest.approx(of_function, rel=1e-9)


def test_integrate_of_derivatives_and_antiderivatives():
    x, y = grid_1d(41)
    f = Interpolator(x, y, "b5")
    assert f.derivative().integrate(-0.6, 1.7) == pytest.approx(float(f(1.7) - f(-0.6)), abs=1e-13)
    F = f.antiderivative()
    expected, _ = scipy_integrate.quad(lambda t: float(F(t)), -0.6, 1.7, points=x[(x > -0.6) & (x < 1.7)])
    assert F.integrate(-0.6, 1.7) == pytest.approx(expected, rel=1e-12)


def test_integrate_bounds_follow_the_range_mode():
    x, y = grid_1d()
    assert math.isnan(Interpolator(x, y, out_of_range="nan").integrate(0.0, 2.5))
    assert math.isnan(Interpolator(x, y).integrate(0.0, np.nan))
    clipped = Interpolator(x, y, out_of_range="clip")
    assert clipped.integrate(-5.0, 9.0) == Interpolator(x, y).integrate(x[0], x[-1])
    with pytest.raises(ValueError, match=r"^point 2.5 lies outside the data range \[-1, 2\]$"):
        Interpolator(x, y).integrate(0.0, 2.5)
    knots, values = grid_3d()
    with pytest.raises(ValueError, match=r"^lower: expected 3 coordinates \(one per axis\), got shape \(2,\)"):
        Interpolator(knots, values).integrate([0, 0], [1, 1, 1])
    with pytest.raises(ValueError, match=r"^upper: expected a number, got shape \(2,\)"):
        Interpolator(x, y).integrate(0.0, [1.0, 1.5])
    with pytest.raises(ValueError, match='supports integrals up to order 4'):
        Interpolator(x, y).antiderivative(4).integrate(0.0, 1.0)


# --- the kernel catalogue and the object's face -------------------------------


@pytest.mark.parametrize("info", quorvel.kernels().values(), ids=KERNELS)
def test_kernel_catalogue_matches_the_native_kernels(info):
    x = np.linspace(-1.0, 1.0, 2 * info.columns + 3)
    if info.name != "a0":
        assert len(_core.kernel_weights(info.name, 0, 0.5)) == info.columns
    f = Interpolator(x, np.zeros_like(x), info.name)
    f.derivative(info.max_derivative)
    f.antiderivative(info.max_integral)
    with pytest.raises(ValueError, match="supports derivatives up to order"):
        f.derivative(info.max_derivative + 1)
    with pytest.raises(ValueError, match="supports integrals up to order"):
        f.antiderivative(info.max_integral + 1)
    with pytest.raises(AttributeError):
        info.columns = 3


@pytest.mark.parametrize("info", quorvel.kernels().values(), ids=KERNELS)
def test_kernels_reproduce_polynomials_up_to_their_exact_degree(info):
    x = np.linspace(-1.0, 1.0, 21)
    probes = RNG.uniform(-1.0, 1.0, 500)
    errors = [np.abs(Interpolator(x, x**p, info.name, "poly")(probes) - probes**p).max() for p in range(8)]
    assert max(errors[: info.exact_degree + 1]) < 1e-13
    assert errors[info.exact_degree + 1] > 1e-9


def test_properties_and_repr():
    knots, values = grid_3d()
    f = Interpolator(knots, values, "b5", ("poly", "linear"), out_of_range="clip").derivative(axis=2)
    assert (f.kernel, f.ndim, f.shape, f.order, f.out_of_range) == ("b5", 3, (9, 11, 12), (0, 0, 1), "clip")
    assert f.domain == ((0.0, 1.0), (-1.0, 1.0), (0.0, 2.0))
    assert f.boundary == (("poly", "linear"),) * 3
    assert repr(f) == (
        "Interpolator(kernel='b5', shape=(9, 11, 12), domain=((0.0, 1.0), (-1.0, 1.0), (0.0, 2.0)), "
        "order=(0, 0, 1), boundary=(('poly', 'linear'), ('poly', 'linear'), ('poly', 'linear')), "
        "out_of_range='clip')"
    )
