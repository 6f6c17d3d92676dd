"""The high-level interpolator, through its public surface: evaluation, errors, derived interpolators, integrals,
pickles and copies, and Dask."""

import copy
import math
import pickle
import re

import numpy as np
import pytest
from scipy import integrate as scipy_integrate

import quorvel
from quorvel import Interpolator, _core
from tests.conftest import KERNELS, same_bits

X = np.linspace(-1.0, 2.0, 17)
Y = np.exp(np.sin(2.0 * X))
KNOTS = [np.linspace(0.0, 1.0, 9), np.linspace(-1.0, 1.0, 11), np.linspace(0.0, 2.0, 12)]
MESH = np.meshgrid(*KNOTS, indexing="ij")
VALUES = np.sin(MESH[0] + 0.5) * np.cos(MESH[1]) * np.exp(0.3 * MESH[2])
RNG = np.random.default_rng(20240611)


def inside(knots, count):
    return np.column_stack([RNG.uniform(k[0], k[-1], count) for k in knots])


NATIVE = [([X], Y, k, ("poly", "linear"), [("poly", "linear")], (d,)) for k in KERNELS for d in (0, KERNELS[k][1], -2)]
NATIVE += [(KNOTS, VALUES, "a3", ("poly", "quadratic"), [("poly", "quadratic")] * 3, (1, 0, 1)),
           (KNOTS, VALUES, "b5", [("poly", "poly"), ["linear", "detect"], ("quadratic", "poly")],
            [("poly", "poly"), ("linear", "detect"), ("quadratic", "poly")], (-1, 2, 0)),
           (KNOTS, VALUES, "a0", "poly", [("poly", "poly")] * 3, (-1, 0, -2)),
           (KNOTS, VALUES, "b13", "detect", [("detect", "detect")] * 3, (-1, -1, -1))]


@pytest.mark.parametrize(("grid", "values", "kernel", "boundary", "pairs", "order"), NATIVE)
def test_matches_the_native_interpolant_bit_for_bit(grid, values, kernel, boundary, pairs, order):
    f = Interpolator(grid, values, kernel, boundary)  # [x] is one-dimensional
    f = f.derivative([max(d, 0) for d in order]).antiderivative([max(-d, 0) for d in order])
    points = np.r_[[[x[0] for x in grid], [x[-1] for x in grid]], inside(grid, 200)]
    if len(grid) == 1:
        native, points = _core.Interpolant1D(*grid, values, kernel, *pairs[0], *order), points[:, 0]
    else:
        native = _core.InterpolantND(grid, values, kernel, pairs, list(order))
    assert f.order == order and f.boundary == tuple(pairs) and same_bits(f(points), native.evaluate(points))


@pytest.mark.parametrize(("ndim", "shape", "result_shape"), [
    (1, (), ()), (1, (0,), (0,)), (1, (3, 0), (3, 0)), (1, (2, 3, 4), (2, 3, 4)),
    (3, (3,), ()), (3, (0, 3), (0,)), (3, (4, 5, 3), (4, 5))])
def test_result_shape_follows_the_points(ndim, shape, result_shape):
    knots, values = (KNOTS, VALUES) if ndim == 3 else ([X], Y)
    native = _core.InterpolantND(knots, values, "a3", [("detect", "detect")] * ndim, [0] * ndim)
    points = inside(knots, math.prod(result_shape)).reshape(shape)
    result = Interpolator(knots, values)(points)
    assert type(result) is np.ndarray and result.shape == result_shape
    assert same_bits(result.ravel(), native.evaluate(points.reshape(-1, ndim)))


def test_any_real_dtype_and_layout_converts_once_and_the_data_are_copied():
    x, y = np.arange(0, 40, 4), (np.arange(0, 40, 2) ** 2.0)[::2]  # the values strided
    points = np.array([[0, 3], [7, 36]], dtype=np.int16)
    for f in (Interpolator(list(x), y.astype(np.int32), "a4"), Interpolator(x.astype(">f4"), y.astype("u2"), "a4")):
        for converted in (points, points.astype(np.float32), points.astype(">f8")):
            assert same_bits(f(converted), Interpolator(x.astype(float), y, "a4")(points.astype(float)))
    f, before = Interpolator(x, y), Interpolator(x, y)(x)
    x[3], y[:] = 5, 0.0
    assert same_bits(f(f.grid[0]), before) and all(k.dtype == np.float64 and k.flags.c_contiguous for k in f.grid)
    for array in (*f.grid, f.values):
        with pytest.raises(ValueError, match="read-only"):
            array[0] = 1.0


@pytest.mark.parametrize(("kwargs", "error", "message"), [
    ({"grid": "abc", "values": [1, 2, 3]}, TypeError, "^grid: expected a 1-D array of knots"),
    ({"grid": np.zeros((2, 3)), "values": np.zeros((2, 3))}, ValueError, r"^grid: .* shape \(2, 3\)"),
    ({"grid": [np.zeros(3), np.zeros((2, 2))], "values": np.zeros((3, 2))}, ValueError, r"^grid\[1\]: expected a 1-D"),
    ({"grid": [1.0, [2.0, 3.0]], "values": [1, 2]}, ValueError, "^grid: expected an array of real numbers"),
    ({"grid": [1 + 2j, 3], "values": [1, 2]}, TypeError, "^grid: expected real numbers, got an array of dtype "
     "complex128"),
    ({"grid": np.arange(4.0), "values": [1.0, None, 2.0, 3.0]}, TypeError, "^values: expected real numbers, got .* "
     "object"),
    ({"grid": np.arange(4.0), "values": np.zeros(5)}, ValueError, r"^values: expected shape \(4,\) .*got shape \(5,\)"),
    ({"values": np.zeros((4, 5))}, ValueError, r"^values: expected shape \(5, 4\)"),
    ({"kernel": 3}, TypeError, "^kernel: expected a kernel name"),
    ({"boundary": 1}, TypeError, "^boundary: expected a condition name"),
    ({"boundary": [("poly", "poly")] * 3}, ValueError, r"^boundary: expected 2 \(left, right\) pairs"),
    ({"out_of_range": "extrapolate"}, ValueError, "^out_of_range: expected 'raise', 'nan' or 'clip'"),
    ({"out_of_range": None}, TypeError, "^out_of_range: expected"),
    ({"workers": 0}, ValueError, "^workers: expected a positive number of threads"),
    ({"workers": 2.0}, TypeError, "^workers: expected an integer, got float"),
    ({"workers": True}, TypeError, "^workers: expected an integer, got True"),
    # the native layer's own words come through unchanged (tests/test_grids.py has the knots' refusals)
    ({"kernel": "A3"}, ValueError, '^unknown kernel "A3"$'),
    ({"boundary": "Poly"}, ValueError, r'^unknown boundary condition "Poly" \(expected poly, linear'),
])
def test_construction_refusals_name_the_argument(kwargs, error, message):
    with pytest.raises(error, match=message):
        Interpolator(**{"grid": [np.arange(5.0), np.arange(4.0)], "values": np.zeros((5, 4)), **kwargs})


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda f: f.derivative(-1), ValueError, "^order: expected non-negative orders, got -1"),
    (lambda f: f.derivative(1.0), TypeError, "^order: expected an integer, got float"),
    (lambda f: f.derivative(True, 0), TypeError, "^order: expected an integer, got True"),
    (lambda f: f.derivative([1, 2]), ValueError, r"^order: expected 3 orders \(one per axis in \[0, 1, 2\]\), got 2"),
    (lambda f: f.antiderivative([1, 2], 0), ValueError, r"^order: expected 1 orders"),
    (lambda f: f.derivative(1, 3), ValueError, "^axis: 3 is out of range for 3-dimensional data"),
    (lambda f: f.derivative(1, (0, -3)), ValueError, "^axis: axis 0 is given twice"),
    (lambda f: f.derivative(1, "0"), TypeError, "^axis: expected an integer"),
    (lambda f: f.derivative(2, 1), ValueError, '^axis 1: kernel "a3" supports derivatives up to order 1, got 2$'),
    (lambda f: f.derivative(axis=1).antiderivative(), ValueError, "^antiderivative: axis 1 carries a derivative of "
     "order 1"),
    (lambda f: f.antiderivative(4).integrate([0, 0, 0], [1, 1, 1]), ValueError, "supports integrals up to order 4"),
    (lambda f: f.integrate([0, 0], [1, 1, 1]), ValueError, r"^lower: expected 3 coordinates \(one per axis\), got "
     r"shape \(2,\)"),
    (lambda f: Interpolator(X, Y).integrate(0.0, [1.0, 1.5]), ValueError, r"^upper: expected a number, got shape "
     r"\(2,\)"),
    (lambda f: f.integrate([0, 0, 0], [1, 1, 5]), ValueError, r"^coordinate 5 on axis 2 lies outside the data range "),
    (lambda f: f([0.5, 0.5]), ValueError, r"^points: expected shape \(\.\.\., 3\)"),
    (lambda f: f(np.zeros((3, 4))), ValueError, r"^points: expected shape \(\.\.\., 3\)"),
    (lambda f: f(0.5), ValueError, r"^points: expected shape \(\.\.\., 3\)"),
    (lambda f: f([[0.5, 1.5, 1.0]]), ValueError, r"^coordinate 1.5 on axis 1 lies outside the data range \[-1, 1\]$"),
    (lambda f: f(["a"] * 3), TypeError, "^points: expected real numbers"),
    (lambda f: f(np.zeros((5000, 3)), workers=-1000), ValueError, r"^workers: -1000 counts back past the \d+ "),
    (lambda f: f(np.zeros((5000, 3)), workers="2"), TypeError, "^workers: expected an integer, got str"),
])
def test_method_refusals_name_the_argument(call, error, message):
    with pytest.raises(error, match=message):
        call(Interpolator(KNOTS, VALUES))


@pytest.mark.parametrize("mode", ["raise", "nan", "clip"])
def test_out_of_range_modes(mode):
    f, plain = Interpolator(X, Y, out_of_range=mode), Interpolator(X, Y)
    g, plain_3d = Interpolator(KNOTS, VALUES, "a4", out_of_range=mode), Interpolator(KNOTS, VALUES, "a4")
    below, above = np.nextafter(X[0], -np.inf), np.nextafter(X[-1], np.inf)
    points = np.array([[k[-1] for k in KNOTS], [0.5, 0.0, 1.0], [0.5, 1.5, 1.0], [-0.1, 0.0, 9.0]])
    assert same_bits(f(X[[0, 0, -1]]), plain(X[[0, 0, -1]])) and same_bits(g(points[:2]), plain_3d(points[:2]))
    outside = [below, above, -1e300, np.inf, -np.inf]
    if mode == "raise":
        with pytest.raises(ValueError, match=rf"^point {float(below)!r} lies outside the data range \[-1, 2\]$"):
            f([0.5, below])
    elif mode == "nan":
        assert np.isnan(f(outside)).all() and np.isnan(g(points[2:])).all()
        assert math.isnan(f.integrate(0.0, 2.5))
    else:
        assert same_bits(f(outside), plain(X[[0, -1, 0, -1, 0]]))
        assert same_bits(g(points[2:]), plain_3d([[0.5, 1.0, 1.0], [0.0, 0.0, 2.0]]))
        assert f.integrate(-5.0, 9.0) == plain.integrate(X[0], X[-1])


@pytest.mark.parametrize(("kernel", "mode"), [("a0", "raise"), ("b13", "nan"), ("a3", "clip")])
def test_nan_points_give_nan(kernel, mode):
    f = Interpolator(X, Y, kernel, out_of_range=mode)
    for g in (f, f.antiderivative()):
        assert np.array_equal(np.isnan(g([0.5, np.nan])), [False, True])
    g = Interpolator(KNOTS, VALUES, kernel, out_of_range=mode).antiderivative(axis=0)
    assert np.array_equal(np.isnan(g([[0.5, 0.0, 1.0], [0.5, np.nan, 1.0], [np.nan, 0.0, 1.0]])), [False, True, True])
    assert math.isnan(f.integrate(0.0, np.nan))


def test_orders_add_up_and_derivatives_undo_antiderivatives():
    f = Interpolator(KNOTS, VALUES, "b7")
    points = inside(KNOTS, 100)
    assert f.antiderivative(2, axis=0).antiderivative(axis=(1, -1)).derivative([1, 2], axis=[0, 2]).order == (-1, -1, 1)
    assert f.antiderivative().order == (-1, -1, -1) and f.derivative([2, 0, 1]).order == (2, 0, 1)
    assert f.derivative(axis=1).antiderivative(axis=(0, 2)).order == (-1, 1, -1)
    assert same_bits(f.antiderivative().derivative()(points), f(points))
    assert f.derivative(0) is not f and same_bits(f.derivative(0)(points), f(points))


def test_integrate_a_box_exactly_on_a_reproduced_polynomial():
    f = Interpolator(KNOTS, MESH[0] * MESH[1] ** 2 * MESH[2] ** 3, "a4", "poly")
    (a0, a1, a2), (b0, b1, b2) = lo, hi = np.array([0.1, -0.9, 0.3]), np.array([0.8, 0.35, 1.9])
    exact = (b0**2 - a0**2) / 2 * (b1**3 - a1**3) / 3 * (b2**4 - a2**4) / 4
    assert f.integrate(lo, hi) == pytest.approx(exact, abs=1e-13) == -f.integrate(hi, lo)
    assert f.integrate([b0, a1, a2], [a0, b1, b2]) == pytest.approx(-exact, abs=1e-13)


def test_integrate_is_the_integral_of_the_interpolant():
    f = Interpolator(np.linspace(-1.0, 2.0, 41), np.exp(np.sin(2.0 * np.linspace(-1.0, 2.0, 41))), "b5")
    assert f.derivative().integrate(-0.6, 1.7) == pytest.approx(float(f(1.7) - f(-0.6)), abs=1e-13)
    for g in (f, f.antiderivative()):
        expected, _ = scipy_integrate.quad(lambda t: float(g(t)), -0.6, 1.7, points=f.grid[0][1:-1], limit=100)
        assert g.integrate(-0.6, 1.7) == pytest.approx(expected, rel=1e-12) == -g.integrate(1.7, -0.6)


def test_kernel_catalogue_matches_the_native_kernels():
    """The native limits and reproduced degrees are those of conftest.KERNELS, which the other tests check."""
    assert {name: (info.name, info.columns, info.max_derivative, info.max_integral, info.exact_degree)
            for name, info in quorvel.kernels().items()} == {name: (name, *entry) for name, entry in KERNELS.items()}
    with pytest.raises(AttributeError):
        quorvel.kernels()["a3"].columns = 3


def test_properties_and_repr():
    f = Interpolator(KNOTS, VALUES, "b5", ("poly", "linear"), out_of_range="clip").derivative(axis=2)
    assert (f.kernel, f.ndim, f.shape, f.order, f.out_of_range) == ("b5", 3, (9, 11, 12), (0, 0, 1), "clip")
    assert f.domain == ((0.0, 1.0), (-1.0, 1.0), (0.0, 2.0)) and f.boundary == (("poly", "linear"),) * 3
    assert repr(f) == ("Interpolator(kernel='b5', shape=(9, 11, 12), domain=((0.0, 1.0), (-1.0, 1.0), (0.0, 2.0)), "
                       "order=(0, 0, 1), boundary=(('poly', 'linear'), ('poly', 'linear'), ('poly', 'linear')), "
                       "out_of_range='clip')")


ONE_D = Interpolator(X, Y, "b7", ("poly", "linear"), out_of_range="nan")
THREE_D = Interpolator(KNOTS, VALUES, "a4", out_of_range="clip")
POINTS_1D, POINTS_3D = RNG.uniform(-1.1, 2.1, 500), RNG.uniform([0.0, -1.0, 0.0], [1.0, 1.0, 2.0], (500, 3))
TRAVELLERS = {"1d": (ONE_D, POINTS_1D), "1d antiderivative": (ONE_D.antiderivative(2), POINTS_1D),
              "3d": (THREE_D, POINTS_3D),
              "3d mixed orders": (THREE_D.derivative(axis=0).antiderivative(axis=(1, 2)), POINTS_3D)}


@pytest.mark.parametrize(("f", "points"), TRAVELLERS.values(), ids=TRAVELLERS.keys())
def test_pickles_and_copies_give_identical_bits(f, points):
    copies = [pickle.loads(pickle.dumps(f, protocol=p)) for p in (2, pickle.HIGHEST_PROTOCOL)]
    for g in copies + [copy.copy(f), copy.deepcopy(f)]:
        assert type(g) is Interpolator and g is not f and repr(g) == repr(f)
        assert same_bits(g(points), f(points))
        assert g.integrate(*np.array(g.domain).T * 0.9) == f.integrate(*np.array(f.domain).T * 0.9)
    for g in copies + [copy.deepcopy(f)]:
        assert not g.values.flags.writeable and not any(k.flags.writeable for k in g.grid)
        assert not np.shares_memory(g.values, f.values)


def test_pickles_name_the_public_class_and_refuse_unknown_formats():
    data = pickle.dumps(ONE_D)
    assert b"Interpolator" in data and b"_interpolator" not in data
    with pytest.raises(ValueError, match="cannot restore an Interpolator saved in format 99"):
        Interpolator.__new__(Interpolator).__setstate__({**ONE_D.__getstate__(), "version": 99})
    assert pickle.loads(pickle.dumps(quorvel.kernels())) == quorvel.kernels()


def test_pickles_of_the_first_format_still_load():
    old = {key: value for key, value in THREE_D.__getstate__().items() if key != "workers"} | {"version": 1}
    restored = Interpolator.__new__(Interpolator)
    restored.__setstate__(old)
    assert restored.workers is None and same_bits(restored(POINTS_3D), THREE_D(POINTS_3D))


@pytest.mark.parametrize("workers", [1, 2, 3, -1, -2, None])
def test_workers_change_nothing_but_the_threads(workers):
    f = Interpolator(KNOTS, VALUES, "b5", workers=workers)
    points = RNG.uniform([0.0, -1.0, 0.0], [1.0, 1.0, 2.0], (20_000, 3))
    reference = Interpolator(KNOTS, VALUES, "b5", workers=1)
    assert f.workers == workers and f.derivative(axis=1).antiderivative(axis=0).workers == workers
    for g, h in ((f, reference), (f.antiderivative(axis=2), reference.antiderivative(axis=2))):
        assert same_bits(g(points), h(points)) and same_bits(g(points, workers=4), h(points))
    assert pickle.loads(pickle.dumps(f)).workers == workers


OUT_CASES = {
    "1-D in threads": (Interpolator(X, Y, "a3"), RNG.uniform(-1.0, 2.0, (400, 100))),
    "3-D, two fields": (Interpolator(KNOTS, np.stack([VALUES, -VALUES], axis=-1), "b5"), inside(KNOTS, 20_000)),
    "antiderivative": (Interpolator(KNOTS, VALUES, "a3").antiderivative(axis=1), inside(KNOTS, 50)),
    "periodic antiderivative": (Interpolator(X[:-1], Y[:-1], "a4", ("periodic", "periodic")).antiderivative(),
                                np.linspace(-3.0, 5.0, 40)),
}


@pytest.mark.parametrize(("f", "points"), OUT_CASES.values(), ids=OUT_CASES.keys())
@pytest.mark.parametrize("workers", [1, 2])
def test_results_written_into_out_have_the_bits_of_new_ones(f, points, workers):
    expected = f(points, workers=workers)
    out = np.full_like(expected, np.pi)
    assert f(points, workers=workers, out=out) is out and same_bits(out, expected)


GRID_OUT_CASES = {
    "1-D": (Interpolator(X, Y, "b5"), [np.linspace(2.0, -1.0, 50)]),
    "3-D, two fields": (Interpolator(KNOTS, np.stack([VALUES, -VALUES], axis=-1), "a3"),
                        [np.linspace(0.0, 1.0, 40), np.r_[0.5, -1.0, np.nan], np.linspace(2.0, 0.0, 30)]),
    "antiderivative": (Interpolator(KNOTS, VALUES, "a4").antiderivative(axis=0), [k[::2] for k in KNOTS]),
    "periodic antiderivative": (
        Interpolator(KNOTS[:2], VALUES[:, :, 0], "a3", [("periodic",) * 2, ("poly",) * 2]).antiderivative(),
        [np.linspace(-1.0, 3.0, 9), KNOTS[1]]),
}


@pytest.mark.parametrize(("f", "vectors"), GRID_OUT_CASES.values(), ids=GRID_OUT_CASES.keys())
def test_grid_products_written_into_out_have_the_bits_of_new_ones(f, vectors):
    expected = f.on_grid(*vectors, workers=2)
    out = np.full_like(expected, np.pi)
    assert f.on_grid(*vectors, workers=2, out=out) is out and same_bits(out, expected)
    shape = re.escape(str(expected.shape))
    with pytest.raises(ValueError, match=rf"^out: expected .* of shape {shape}; got a float64 array of shape"):
        f.on_grid(*vectors, out=np.empty((expected.shape[0] + 1,) + expected.shape[1:]))


def test_out_may_be_the_points_themselves_and_a_point_outside_still_raises():
    f = Interpolator(X, Y, "b5")
    points = RNG.uniform(-1.0, 2.0, 5000)
    expected = f(points)
    assert same_bits(f(points, out=points), expected)
    points[4000] = 2.5
    with pytest.raises(ValueError, match="outside the data range"):
        f(points, out=np.empty_like(points))


@pytest.mark.parametrize(("out", "error", "message"), [
    ([0.0] * 6, TypeError, r"^out: expected a NumPy array, got list$"),
    (np.empty(5), ValueError, r"shape \(6,\); got a float64 array of shape \(5,\)$"),
    (np.empty(6, np.float32), ValueError, r"got a float32 array of shape \(6,\)$"),
    (np.empty(12)[::2], ValueError, r"got a float64 array of shape \(6,\) \(not C-contiguous\)$"),
    (np.frombuffer(bytes(48)), ValueError, r"got a float64 array of shape \(6,\) \(read-only\)$"),
])
def test_out_refusals_say_what_was_expected(out, error, message):
    with pytest.raises(error, match=message):
        Interpolator(X, Y)(np.linspace(-1.0, 2.0, 6), out=out)


def test_dask_recipe():
    """As the README gives it: chunks along the points only, never across the coordinates."""
    da = pytest.importorskip("dask.array")
    lazy = da.from_array(POINTS_1D.reshape(20, 25), chunks=(7, 10))
    result = lazy.map_blocks(ONE_D, meta=np.array((), dtype=np.float64))
    assert same_bits(result.compute(), ONE_D(POINTS_1D.reshape(20, 25)))
    lazy = da.from_array(POINTS_3D, chunks=(64, 2)).rechunk({-1: -1})
    result = lazy.map_blocks(THREE_D, drop_axis=-1, meta=np.array((), dtype=np.float64))
    assert result.shape == (500,)
    for scheduler in ("threads", "sync"):
        assert same_bits(result.compute(scheduler=scheduler), THREE_D(POINTS_3D))


@pytest.mark.parametrize(("call", "error", "message"), [
    # sizes beyond any memory: MemoryError naming the argument and the size, never an internal failure
    (lambda: Interpolator([np.arange(2.0)] * 16, np.broadcast_to(0.0, (2,) * 16), "b13"), MemoryError,
     r"^values: 1\d+ values \(\d+ bytes\) are more than memory can hold$"),
    (lambda: Interpolator(KNOTS, VALUES).on_grid(*[np.zeros(2**22)] * 3), MemoryError, "^coordinates: "),
    # integers out of every range, named
    (lambda: Interpolator(KNOTS, VALUES).derivative(2**31), ValueError, "^order: kernel 'a3' has derivatives up to "
     "order 1 and antiderivatives up to order 4; got 2147483648$"),
    (lambda: Interpolator(X, Y).antiderivative(10**20), ValueError, "^order: "),
    (lambda: Interpolator(X, Y, workers=2**40), ValueError, "^workers: expected at most 65536 threads"),
    (lambda: Interpolator(X, Y)(X, workers=-(2**70)), ValueError, "^workers: expected at most 65536 threads"),
])
def test_errors_that_never_surprise(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_instances_are_immutable():
    f = Interpolator(KNOTS, VALUES, "b5")
    for array in (*f.grid, f.values, f.derivative(axis=0).values, pickle.loads(pickle.dumps(f)).grid[1]):
        with pytest.raises(ValueError):
            array.flags.writeable = True
        with pytest.raises(ValueError):
            array[0] = 1.0
    with pytest.raises(AttributeError):
        f.anything = 1
    before = set(dir(f))
    f.integrate([0.1, 0.0, 0.5], [0.9, 0.5, 1.5])
    assert set(dir(f)) == before


@pytest.mark.parametrize(("boundary", "kernel", "warns"), [
    ("poly", "b7", "its left and right ends are extended linearly"),
    (("detect", "poly"), "b13", "its right end is extended linearly"),
    ("detect", "b13", None), ("quadratic", "b13", None), ("poly", "a3", None), ("periodic", "b13", None)])
def test_a_poly_end_that_a_short_axis_cannot_honour_is_reported(boundary, kernel, warns):
    x = np.arange(7.0)
    if warns:
        with pytest.warns(UserWarning, match=f"^boundary: axis 0 has 7 knots, fewer than the 8 .*{warns}$"):
            Interpolator(x, np.sin(x), kernel, boundary)
    else:
        Interpolator(x, np.sin(x), kernel, boundary)  # warnings are errors in the tests
