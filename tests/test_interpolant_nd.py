"""InterpolantND: evaluation bit for bit against a literal model, agreement with the
one-dimensional interpolant, what the interpolant is, every check in its order, and the binding."""

import importlib.util
import inspect
import itertools
import pickle
import weakref
from pathlib import Path

import numpy as np
import numpy.polynomial.polynomial as P
import pytest

from quorvel import _core

_spec = importlib.util.spec_from_file_location("reference_nd", Path(__file__).with_name("reference.py"))
reference = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(reference)

InterpolantND = _core.InterpolantND
Interpolant1D = _core.Interpolant1D
KERNELS = list(reference.KERNELS)
LIMITS = {name: (entry.max_derivative, entry.max_integral) for name, entry in reference.KERNELS.items()}
HALF_WIDTH = {"a0": 1, "a1": 1, "a3": 2, "a4": 3, "a5": 3, "a7": 4, "b5": 5, "b7": 6, "b9": 7, "b11": 8, "b13": 9}
# Highest degree, per variable, of polynomial that each kernel reproduces exactly (in exact arithmetic).
REPRODUCED_DEGREE = {"a0": 0, "a1": 1, "a3": 2, "a4": 3, "a5": 2, "a7": 2,
                     "b5": 5, "b7": 6, "b9": 6, "b11": 6, "b13": 6}
LINEAR_BCS = [("poly", "linear"), ("quadratic", "poly"), ("linear", "poly")]  # ghosts linear in the data


def rng_for(*key):
    """A generator seeded by the key's text, the same in every run."""
    return np.random.default_rng(list(repr(key).encode()))


def bits(values):
    """The values' bit patterns, every NaN counted as the same NaN."""
    values = np.asarray(values, dtype=np.float64)
    return np.where(np.isnan(values), np.nan, values).view(np.int64)


def grids(shape, key):
    """Uniform knot vectors, each knot exactly on its ideal position x0 + h*i, a different x0 and h per axis."""
    rng = rng_for("grid", key)
    return [rng.uniform(-2, 2) + rng.choice([0.125, 0.37, 1.1]) * np.arange(n) for n in shape]


def misaligned(values):
    out = np.ndarray(values.shape, np.float64, buffer=bytearray(8 * values.size + 1), offset=1)
    out[...] = values
    return out


def sample_points(knots, integral_axes, hw, rng, extra):
    """Both ends, NaN on each axis, the first cells of each integral axis (stencil starts 0, 1, 2*hw - 2,
    2*hw - 1, one of them exactly on its knot) and random points, in a count that is not a multiple of 8."""
    lo, hi = np.array([k[0] for k in knots]), np.array([k[-1] for k in knots])
    uniform = lambda: rng.uniform(lo, hi)  # noqa: E731
    rows = [lo, hi, np.where(np.arange(len(knots)) % 2, lo, hi), np.nextafter(lo, hi), np.nextafter(hi, lo)]
    for a in range(len(knots)):
        rows.append(uniform())
        rows[-1][a] = np.nan
    for a in integral_axes:
        x = knots[a]
        for start in sorted({0, 1, 2 * hw - 2, 2 * hw - 1}):
            if start + 1 < len(x):
                rows.append(uniform())
                rows[-1][a] = min(x[start] + (x[1] - x[0]) * rng.random(), hi[a])
        rows.append(uniform())
        rows[-1][a] = x[min(2 * hw - 1, len(x) - 1)]
    rows += [uniform() for _ in range(extra + ((len(rows) + extra) % 8 == 0))]
    return np.array(rows)


# --- Bit for bit ------------------------------------------------------------------


def order_sets(kernel):
    """Per-axis orders: values, derivatives, antiderivatives along one, two and three axes, of order 2 and up."""
    top, deepest = LIMITS[kernel]
    two = min(2, deepest)
    return [[top], [-deepest], [0, top], [top, -1], [-deepest, 0], [-two, -deepest],
            [0, top, 0], [-1, top, -two], [-two, -1, -1]]


BIT_CASES = [(kernel, orders) for kernel in KERNELS for orders in order_sets(kernel)]


@pytest.mark.parametrize(("kernel", "orders"), BIT_CASES, ids=[f"{k}{o}" for k, o in BIT_CASES])
def test_evaluation_matches_the_model_bit_for_bit(kernel, orders):
    hw, dims = HALF_WIDTH[kernel], len(orders)
    rng = rng_for(kernel, orders)
    # Integral axes long enough for every first cell; the others short, to keep the model quick.
    shape = [2 * hw + 1 if d < 0 or dims < 3 else 5 for d in orders]
    shape = [max(n, 4) for n in shape]
    knots = grids(shape, (kernel, orders))
    values = rng.standard_normal(shape) * 10.0 ** rng.integers(-3, 4, shape)
    bcs = [("poly", "detect"), ("linear", "quadratic"), ("detect", "poly")][:dims]
    points = sample_points(knots, [a for a, d in enumerate(orders) if d < 0], hw, rng, {1: 30, 2: 16, 3: 4}[dims])
    got = InterpolantND(knots, values, kernel, bcs, orders).evaluate(points)
    want = reference.ReferenceND(knots, values, kernel, bcs, orders).evaluate(points)
    assert np.array_equal(bits(got), bits(want))
    assert np.all(np.isnan(got[5:5 + dims]))  # NaN on any axis gives NaN, "a0" included


def test_regions_are_summed_in_binary_counting_order_of_their_masks():
    """With three integral axes the seven regions are added {0}, {1}, {0, 1}, {2}, {0, 2}, {1, 2}, {0, 1, 2};
    adding them by size, or in reverse, rounds differently."""
    rng = rng_for("regions")
    knots = grids([7, 6, 5], "regions")
    values = rng.standard_normal((7, 6, 5)) * 10.0 ** rng.integers(-4, 5, (7, 6, 5))
    args = (knots, values, "a3", [("poly", "poly")] * 3, [-1, -2, -1])
    points = np.stack([rng.uniform(k[2], k[-1], 64) for k in knots], axis=1)  # no region skipped
    got = bits(InterpolantND(*args).evaluate(points))
    model = reference.ReferenceND(*args)
    assert [region[0] for region in model.regions] == [[0], [1], [0, 1], [2], [0, 2], [1, 2], [0, 1, 2]]
    assert np.array_equal(got, bits(model.evaluate(points)))
    for order in ([0, 1, 3, 2, 4, 5, 6], [6, 5, 4, 3, 2, 1, 0]):
        model.regions = [model.regions[i] for i in order]
        assert not np.array_equal(got, bits(model.evaluate(points)))
        model = reference.ReferenceND(*args)


# --- One axis is the one-dimensional interpolant -----------------------------------

ORDERS_1D = [(k, d) for k in KERNELS for d in range(-LIMITS[k][1], LIMITS[k][0] + 1)]


@pytest.mark.parametrize(("kernel", "derivative"), ORDERS_1D)
def test_one_axis_is_the_one_dimensional_interpolant(kernel, derivative):
    """Bit for bit, except that antiderivatives of order 3 and up sum their tail in another order."""
    hw = HALF_WIDTH[kernel]
    rng = rng_for("1d", kernel, derivative)
    x = grids([2 * hw + 6], (kernel, derivative))[0]
    y = rng.standard_normal(len(x))
    points = sample_points([x], [0], hw, rng, 40)
    bcs = ("detect", "quadratic")
    got = InterpolantND([x], y, kernel, [bcs], [derivative]).evaluate(points)
    want = Interpolant1D(x, y, kernel, *bcs, derivative).evaluate(points[:, 0])
    if derivative > -3:
        assert np.array_equal(bits(got), bits(want))
    else:
        np.testing.assert_allclose(got, want, rtol=1e-14, atol=1e-14 * np.nanmax(np.abs(want)))
        assert np.array_equal(np.isnan(got), np.isnan(want))


# --- What the interpolant is ------------------------------------------------------

MIXED = [(k, orders) for k in KERNELS for orders in
         ([LIMITS[k][0], -LIMITS[k][1]], [-1, -1], [-min(2, LIMITS[k][1]), LIMITS[k][0], -1])]


def one_dimensional(knots, values, kernel, bcs, orders, points):
    """The N-D interpolant built from 1-D ones: along the last axis for every data line, then along the
    axis before it through those results, and so on (ghosts linear in the data make this the same)."""
    if values.ndim == 1:
        return Interpolant1D(knots[0], values, kernel, *bcs[0], orders[0]).evaluate(points[:, 0])
    out = []
    for point in points:
        inner = [one_dimensional(knots[1:], line, kernel, bcs[1:], orders[1:], point[None, 1:])[0]
                 for line in values]
        out.append(Interpolant1D(knots[0], np.array(inner), kernel, *bcs[0], orders[0]).evaluate(point[:1])[0])
    return np.array(out)


@pytest.mark.parametrize(("kernel", "orders"), MIXED, ids=[f"{k}{o}" for k, o in MIXED])
def test_separable_data_give_the_product_of_one_dimensional_results(kernel, orders):
    rng = rng_for("separable", kernel, orders)
    shape = [2 * HALF_WIDTH[kernel] + 3, 7, 6][:len(orders)]
    knots = grids(shape, ("separable", kernel))
    factors = [rng.standard_normal(n) for n in shape]
    values = np.einsum(*itertools.chain(*((f, [a]) for a, f in enumerate(factors))), list(range(len(shape))))
    bcs = LINEAR_BCS[:len(shape)]
    points = np.stack([rng.uniform(k[0], k[-1], 40) for k in knots], axis=1)
    points[:3] = [[k[0] for k in knots], [k[-1] for k in knots], [k[1] for k in knots]]
    got = InterpolantND(knots, values, kernel, bcs, orders).evaluate(points)
    parts = [Interpolant1D(x, f, kernel, *bc, d).evaluate(points[:, a])
             for a, (x, f, bc, d) in enumerate(zip(knots, factors, bcs, orders))]
    size = np.prod([np.abs(part).max() + np.abs(f).max() * (x[1] - x[0]) ** -max(d, 0)
                    for part, x, f, d in zip(parts, knots, factors, orders)])
    np.testing.assert_allclose(got, np.prod(parts, axis=0), rtol=0, atol=1e-13 * size)


@pytest.mark.parametrize(("kernel", "orders"), MIXED, ids=[f"{k}{o}" for k, o in MIXED])
def test_antiderivatives_along_several_axes_are_iterated_one_dimensional_ones(kernel, orders):
    rng = rng_for("iterated", kernel, orders)
    shape = [2 * HALF_WIDTH[kernel] + 3, 6, 5][:len(orders)]
    knots = grids(shape, ("iterated", kernel))
    values = rng.standard_normal(shape)
    bcs = LINEAR_BCS[:len(shape)]
    hw = HALF_WIDTH[kernel]
    points = sample_points(knots, range(len(shape)), hw, rng, 8)
    points = points[~np.isnan(points).any(axis=1)]
    got = InterpolantND(knots, values, kernel, bcs, orders).evaluate(points)
    want = one_dimensional(knots, values, kernel, bcs, orders, points)
    size = np.prod([(x[-1] - x[0] + 1) ** max(-d, 0) * (x[1] - x[0]) ** -max(d, 0) for x, d in zip(knots, orders)])
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-12 * size * np.abs(values).max())


def exact(coefficients, knots, orders):
    """The derivative or antiderivative (anchored at the first knots) of a polynomial in several variables."""
    for a, (x, d) in enumerate(zip(knots, orders)):
        coefficients = (P.polyder(coefficients, d, axis=a) if d >= 0
                        else P.polyint(coefficients, -d, lbnd=x[0], axis=a))
    return coefficients


def polyval(coefficients, points):
    return {2: P.polyval2d, 3: P.polyval3d}[points.shape[1]](*points.T, coefficients)


@pytest.mark.parametrize("dims", [2, 3])
@pytest.mark.parametrize("kernel", KERNELS)
def test_reproduces_polynomials_and_their_box_integrals(kernel, dims):
    """Polynomials of the kernel's degree in every variable, their derivatives and antiderivatives of mixed
    orders, and integrals over boxes from the antiderivative's values at the corners."""
    rng = rng_for("poly", kernel, dims)
    shape = [2 * HALF_WIDTH[kernel] + 2, 9, 8][:dims]
    knots = grids(shape, ("poly", kernel, dims))
    coefficients = rng.uniform(-1, 1, [REPRODUCED_DEGREE[kernel] + 1] * dims)
    mesh = np.stack(np.meshgrid(*knots, indexing="ij"), axis=-1).reshape(-1, dims)
    values = polyval(coefficients, mesh).reshape(shape)
    scale = np.abs(values).max()
    top, deepest = LIMITS[kernel]
    points = np.stack([rng.uniform(k[0], k[-1], 30) for k in knots], axis=1)
    for orders in ([-1] * dims, [-deepest, top, -min(2, deepest)][:dims], [top, -1, 0][:dims]):
        f = InterpolantND(knots, values, kernel, [("poly", "poly")] * dims, orders)
        expected = exact(coefficients, knots, orders)
        size = scale * np.prod([(x[-1] - x[0] + 1) ** max(-d, 0) * (x[1] - x[0]) ** -max(d, 0)
                                for x, d in zip(knots, orders)])
        np.testing.assert_allclose(f.evaluate(points), polyval(expected, points), rtol=0, atol=1e-12 * size)
    # Boxes between pairs of random points: the alternating sum over the 2^dims corners.
    low, high = np.minimum(points[::2], points[1::2]), np.maximum(points[::2], points[1::2])
    corners = [(np.where(np.array(c, bool), high, low), (-1) ** (dims - sum(c)))
               for c in itertools.product([0, 1], repeat=dims)]
    integral = InterpolantND(knots, values, kernel, [("poly", "poly")] * dims, [-1] * dims)
    box = sum(sign * integral.evaluate(corner) for corner, sign in corners)
    primitive = coefficients
    for a in range(dims):
        primitive = P.polyint(primitive, 1, axis=a)
    want = sum(sign * polyval(primitive, corner) for corner, sign in corners)
    size = scale * np.prod([x[-1] - x[0] + 1 for x in knots])
    np.testing.assert_allclose(box, want, rtol=0, atol=1e-12 * size)


@pytest.mark.parametrize("orders", [[0, 0], [0, 0, 0], [-1, 0]])
def test_nearest_knot_kernel_returns_stored_values(orders):
    """"a0": the value at the nearer knot along every axis, the upper one from exactly half-way on."""
    dims = len(orders)
    knots = [np.arange(4.0), 10.0 + 0.5 * np.arange(3.0), np.arange(5.0)][:dims]
    values = rng_for("a0", dims).standard_normal([len(k) for k in knots])
    f = InterpolantND(knots, values, "a0", [("poly", "poly")] * dims, orders)
    offsets = np.array([0.0, 0.25, 0.49999999, 0.5, 0.75])  # in cells
    points, nearest = [], []
    for index in itertools.product(*[range(len(k) - 1) for k in knots]):
        for t in itertools.product(offsets, repeat=dims):
            points.append([x[i] + (x[1] - x[0]) * u for x, i, u in zip(knots, index, t)])
            nearest.append(tuple(i + (u >= 0.5) for i, u in zip(index, t)))
    got = f.evaluate(np.array(points))
    if orders[0] == 0:
        assert got.tolist() == [values[i] for i in nearest]
    else:  # integrated along axis 0, the line nearest along axis 1
        want = [Interpolant1D(knots[0], values[:, j].copy(), "a0", "poly", "poly", -1).evaluate(np.array(p[:1]))[0]
                for p, (_, j) in zip(points, nearest)]
        assert np.array_equal(bits(got), bits(want))


# --- Construction checks, in their order ---------------------------------------------

K0, K1 = 0.5 * np.arange(6.0), -1.0 + 0.25 * np.arange(5.0)
V2 = np.ones((6, 5))
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
TOO_WIDE = "knots span too wide a range"
BAD = np.array([0.0, 2.0, 1.0, 3.0, 4.0, 5.0])  # increasing ends, not uniform


def bad_bc(name):
    return f'unknown boundary condition "{name}" (expected poly, linear, quadratic or detect)'


def counts(n, *got):
    return (f"{n}-dimensional data need {n} knot vectors, boundary condition pairs and derivative orders "
            f"(got {got[0]}, {got[1]} and {got[2]})")


def tails(gib):
    return (f"the integral tails would need {gib} GiB of memory (limit 2 GiB): integrate along fewer axes, "
            "use lower integral orders, or use a smaller grid")


def zeros(*shape):
    """Data of any size that take no memory."""
    return np.broadcast_to(0.0, shape)


def wide(n):
    return np.linspace(0.0, 1.0, n)


@pytest.mark.parametrize(("changes", "exc_type", "message", "note"), [
    # argument conversion, in parameter order
    ({"knots": "ab"}, TypeError, "Can't extract `str` to `Vec`", "knots"),
    ({"knots": 3, "kernel": 3}, TypeError, "'int' object is not an instance of 'Sequence'", "knots"),
    ({"knots": [list(K0), K1]}, TypeError, "'list' object is not an instance of 'ndarray'", "knots"),
    ({"knots": [K0, K1.reshape(1, 5)]}, TypeError, "'ndarray' object is not an instance of 'ndarray'", "knots"),
    ({"knots": [K0.astype(np.float32), K1]}, TypeError, "'ndarray' object is not an instance of 'ndarray'",
     "knots"),
    ({"values": V2.astype(np.int64), "kernel": b"a3"}, TypeError, "'ndarray' object is not an instance of 'ndarray'",
     "values"),
    ({"kernel": b"a3"}, TypeError, "'bytes' object is not an instance of 'str'", "kernel"),
    ({"bcs": [["poly", "poly"]] * 2}, TypeError, "'list' object is not an instance of 'tuple'", "bcs"),
    ({"bcs": [("poly", "poly", "poly")] * 2}, TypeError, "expected tuple of length 2, but got tuple of length 3",
     "bcs"),
    ({"bcs": [("poly", "poly"), ("poly", None)]}, TypeError, "'None' is not an instance of 'str'", "bcs"),
    ({"bcs": "pp"}, TypeError, "Can't extract `str` to `Vec`", "bcs"),
    ({"derivatives": [0, 2**31]}, OverflowError, "out of range integral type conversion attempted", "derivatives"),
    ({"derivatives": [0, 1.0]}, TypeError, "'float' object cannot be interpreted as an integer", "derivatives"),
    # dimensions and counts, before the kernel
    ({"values": np.array(1.0), "knots": [], "bcs": [], "derivatives": []}, ValueError,
     "the data must have at least one axis", None),
    ({"values": np.array(1.0), "kernel": "zz"}, ValueError, "the data must have at least one axis", None),
    ({"knots": [K0, K1, K1]}, ValueError, counts(2, 3, 2, 2), None),
    ({"bcs": [("poly", "poly")], "kernel": "zz"}, ValueError, counts(2, 2, 1, 2), None),
    ({"derivatives": []}, ValueError, counts(2, 2, 2, 0), None),
    ({"values": np.ones(6), "knots": [K0], "derivatives": [0, 0, 0]}, ValueError, counts(1, 1, 2, 3), None),
    # the kernel, before any knot is inspected
    ({"kernel": "A3", "knots": [K0[::-1], K1]}, ValueError, 'unknown kernel "A3"', None),
    ({"kernel": 'a"\\\t\n\r\x00\x7f'}, ValueError, 'unknown kernel "a\\"\\\\\\t\\n\\r\\0\\u{7f}"', None),
    # each axis in turn: contiguity, counts, knots, range, then its order
    ({"knots": [K0[::-1], K1]}, TypeError, NOT_CONTIGUOUS, None),
    ({"knots": [K0, np.arange(10.0)[::2]], "derivatives": [0, 9]}, TypeError, NOT_CONTIGUOUS, None),
    ({"knots": [misaligned(K0), K1]}, TypeError, NOT_CONTIGUOUS, None),
    ({"knots": [K0[:5], K1[::-1]]}, ValueError, "axis 0: 5 knots for 6 values", None),
    ({"knots": [K0, K1[:4]]}, ValueError, "axis 1: 4 knots for 5 values", None),
    ({"knots": [K0[:1], K1], "values": V2[:1]}, ValueError, "axis 0: need at least 2 knots", None),
    ({"knots": [np.ones(4)[::2][:0], K1], "values": V2[:0]}, ValueError, "axis 0: need at least 2 knots", None),
    ({"knots": [K0, np.array([0.0, 1.0, np.nan, 3.0, 4.0])]}, ValueError,
     "axis 1: knots must be finite numbers (no NaN or infinity)", None),
    ({"knots": [np.array([0.0, 1, 2, 3, 4, np.inf]), K1]}, ValueError,
     "axis 0: knots must be finite numbers (no NaN or infinity)", None),
    ({"knots": [K0[::-1].copy(), K1]}, ValueError, "axis 0: knots must be increasing", None),
    ({"knots": [K0, np.ones(2)], "values": V2[:, :2]}, ValueError, "axis 1: knots must be increasing", None),
    ({"knots": [np.array([-1e308, 1e308]), K1], "values": V2[:2]}, ValueError, f"axis 0: {TOO_WIDE}", None),
    ({"knots": [K0, np.array([-1e308, 0.0, 1e308])], "values": V2[:, :3]}, ValueError, f"axis 1: {TOO_WIDE}",
     None),
    ({"knots": [np.array([0.0, 0.5e308, 1e308]), K1], "values": V2[:3], "kernel": "a7",  # extended end
      "bcs": [("Poly", "poly")] * 2, "derivatives": [9, 0]}, ValueError, f"axis 0: {TOO_WIDE}", None),
    ({"knots": [K0, np.array([-1.6e308, -1.4e308])], "values": V2[:, :2], "kernel": "b13"}, ValueError,  # origin
     f"axis 1: {TOO_WIDE}", None),
    ({"knots": [BAD, K1]}, ValueError, "axis 0: knots must be uniformly spaced", None),
    ({"knots": [K0, np.array([-1.0, np.nextafter(1e-8, 1), 1.0])], "values": V2[:, :3]}, ValueError,
     "axis 1: knots must be uniformly spaced", None),
    ({"derivatives": [0, 2], "bcs": [("poly", "Poly")] * 2}, ValueError,
     'axis 1: kernel "a3" supports derivatives up to order 1, got 2', None),
    ({"derivatives": [2, 0], "knots": [K0, K1[:4]]}, ValueError,
     'axis 0: kernel "a3" supports derivatives up to order 1, got 2', None),
    ({"derivatives": [0, 2], "knots": [K0, K1[:4]]}, ValueError, "axis 1: 4 knots for 5 values", None),
    ({"derivatives": [0, 1], "kernel": "a0"}, ValueError, 'axis 1: kernel "a0" supports derivatives up to order 0, '
     "got 1", None),
    ({"derivatives": [2**31 - 1, 0], "kernel": "b13"}, ValueError,
     'axis 0: kernel "b13" supports derivatives up to order 7, got 2147483647', None),
    ({"derivatives": [-2, -3], "kernel": "a0"}, ValueError,
     'axis 1: kernel "a0" supports integrals up to order 2 (derivative = -2), got derivative = -3', None),
    ({"derivatives": [-(2**31), 0]}, ValueError,
     'axis 0: kernel "a3" supports integrals up to order 4 (derivative = -4), got derivative = -2147483648', None),
    # boundary conditions after every axis, in axis order and left before right; then the extension
    ({"bcs": [("poly", ""), ("Poly", "poly")]}, ValueError, bad_bc(""), None),
    ({"bcs": [("poly", "poly"), ("Poly", "x")], "kernel": "a1"}, ValueError, bad_bc("Poly"), None),
    ({"bcs": [("poly", "poly"), ("linear", "detect ")], "kernel": "a0", "derivatives": [-2, 0]}, ValueError,
     bad_bc("detect "), None),
    ({"knots": [K0, K1[:2]], "values": V2[:, :2], "bcs": [("poly", "poly"), ("linear", "quadratic")]}, ValueError,
     "boundary condition needs 3 values along the line, got 2", None),
    # the tails, on a grid too large to allocate: one coefficient above the limit, and more
    ({"knots": [wide(513), wide(261633)], "values": zeros(513, 261633), "kernel": "a1", "derivatives": [-2, 0]},
     ValueError, tails("2.0"), None),
    ({"knots": [wide(513), wide(261633)], "values": zeros(513, 261633), "kernel": "a0", "derivatives": [-1, -1]},
     ValueError, tails("3.0"), None),
    ({"knots": [wide(130), wide(130), wide(2)], "values": zeros(130, 130, 2), "kernel": "b13",
      "derivatives": [-8, -8, -8], "bcs": [("poly", "poly")] * 2 + [("quadratic", "poly")]}, ValueError,
     "boundary condition needs 3 values along the line, got 2", None),
    ({"knots": [wide(130), wide(130), wide(2)], "values": zeros(130, 130, 2), "kernel": "b13",
      "derivatives": [-8, -8, -8], "bcs": [("poly", "poly")] * 3}, ValueError, tails("2.1"), None),
])
def test_construction_refusals(changes, exc_type, message, note):
    arguments = {"knots": [K0, K1], "values": V2, "kernel": "a3", "bcs": [("poly", "poly")] * 2,
                 "derivatives": [0, 0]} | changes
    with pytest.raises(exc_type) as excinfo:
        InterpolantND(**arguments)
    assert type(excinfo.value) is exc_type
    assert str(excinfo.value) == message
    assert getattr(excinfo.value, "__notes__", []) == ([f"while processing '{note}'"] if note else [])


@pytest.mark.parametrize(("knots", "kernel", "orders", "bc"), [
    ([np.array([0.0, 1.0]), np.array([-3.0, -2.0])], "b13", [-8, 7], "poly"),  # two knots are enough
    ([np.array([-1.0, 1e-8, 1.0]), K1], "a3", [0, 0], "detect"),  # off by exactly h * 1e-8
    ([np.array([0.0, 0.5e308, 1e308]), np.array([-1e300, 1e300])], "a1", [0, -1], "poly"),  # no ghosts, no end
    ([K0, np.array([0.0, 1.0]), np.arange(3.0)], "a0", [-2, 0, -1], "quadratic"),  # conditions unused
    ([np.linspace(0, 1, 12)] * 3, "b13", [-8, -8, -8], "detect"),  # every region, blocks of 8 to 512 terms
])
def test_construction_accepts(knots, kernel, orders, bc):
    shape = [len(x) for x in knots]
    f = InterpolantND(knots, np.ones(shape), kernel, [("poly", bc)] * len(shape), orders)
    points = np.array([[x[0] for x in knots], [x[-1] for x in knots], [x[1] for x in knots]])
    assert np.all(np.isfinite(f.evaluate(points)))


# --- Evaluation checks ----------------------------------------------------------

# One interpolant of each path: columns, nearest knot, integrals (with a nearest-knot axis too).
PATHS = [("a3", [0, 1]), ("a0", [0, 0]), ("b5", [-2, 0]), ("a0", [0, -2])]


@pytest.mark.parametrize(("changes", "message"), [
    ({(0, 0): 4.5}, "coordinate 4.5 on axis 0 lies outside the data range [-0.3, 0.6]"),
    ({(0, 1): 1e20}, "coordinate 100000000000000000000 on axis 1 lies outside the data range [0.0000001, 2.0000001]"),
    ({(0, 0): np.nextafter(-0.3, -1)}, "coordinate -0.30000000000000004 on axis 0 lies outside the data range "
     "[-0.3, 0.6]"),
    ({(0, 0): np.nextafter(0.6, 1)}, "coordinate 0.6000000000000001 on axis 0 lies outside the data range [-0.3, 0.6]"),
    ({(0, 1): 0.0}, "coordinate 0 on axis 1 lies outside the data range [0.0000001, 2.0000001]"),
    ({(0, 1): -np.inf}, "coordinate -inf on axis 1 lies outside the data range [0.0000001, 2.0000001]"),
    ({(0, 0): np.inf, (0, 1): np.nan}, "coordinate inf on axis 0 lies outside the data range [-0.3, 0.6]"),
    # the first point in point order, then within it the first axis
    ({(3, 1): -5e-324, (3, 0): np.nan, (6, 0): 9.0}, f"coordinate -0.{'0' * 323}5 on axis 1 lies outside the data "
     "range [0.0000001, 2.0000001]"),
    ({(9, 1): 3.0, (9, 0): 1.0, (10, 0): -1.0}, "coordinate 1 on axis 0 lies outside the data range [-0.3, 0.6]"),
])
@pytest.mark.parametrize(("kernel", "derivatives"), PATHS)
def test_points_outside_the_data_range(kernel, derivatives, changes, message):
    knots = [np.linspace(-0.3, 0.6, 10), 1e-7 + np.arange(3.0)]
    f = InterpolantND(knots, np.ones((10, 3)), kernel, [("linear", "linear")] * 2, derivatives)
    corners = np.array([[-0.3, 1e-7], [0.6, 2.0000001], [-0.3, 2.0000001], [0.6, 1e-7]])
    assert np.all(np.isfinite(f.evaluate(corners)))  # both ends of every axis are inside
    points = np.full((11, 2), 0.25)
    points[:, 1] = 1.0
    for (p, a), x in changes.items():
        points[p, a] = x
    inside = np.full((5, 2), 0.5)
    for rows in (points, np.concatenate([inside, points]), np.asfortranarray(points)):  # blocks, single points
        with pytest.raises(ValueError) as excinfo:
            f.evaluate(rows)
        assert str(excinfo.value) == message


@pytest.mark.parametrize(("kernel", "derivatives"), PATHS)
def test_points_need_one_column_per_axis(kernel, derivatives):
    f = InterpolantND([K0, K1], V2, kernel, [("poly", "poly")] * 2, derivatives)
    for shape in [(3, 3), (0, 3), (4, 1), (0, 1)]:
        with pytest.raises(ValueError) as excinfo:
            f.evaluate(np.zeros(shape))
        assert str(excinfo.value) == f"points must have 2 coordinates each, got {shape[1]}"
    empty = f.evaluate(np.zeros((0, 2)))
    assert empty.dtype == np.float64 and empty.shape == (0,)


@pytest.mark.parametrize(("kernel", "derivatives"), PATHS + [("b13", [-1, -8, 3])])
def test_inputs_of_any_layout_give_the_same_bits_and_are_never_written(kernel, derivatives):
    dims = len(derivatives)
    knots = grids([7, 6, 5][:dims], ("layout", kernel))
    rng = rng_for("layout", kernel, derivatives)
    big = rng.standard_normal([2 * len(x) for x in knots])
    values = big[tuple(slice(None, None, -2) for _ in knots)]  # strided and reversed
    base = np.stack([rng.uniform(x[0], x[-1], 41) for x in knots], axis=1)
    base[[3, 17], [0, dims - 1]] = np.nan
    inputs = [*knots, big, base]
    kept = [a.copy() for a in inputs]
    for a in inputs:
        a.flags.writeable = False  # read-only input is accepted
    bcs = [("detect", "poly")] * dims
    f = InterpolantND(knots, values, kernel, bcs, derivatives)
    g = InterpolantND(knots, np.ascontiguousarray(values), kernel, bcs, derivatives)
    h = InterpolantND(knots, np.asfortranarray(values), kernel, bcs, derivatives)
    want = g.evaluate(base)
    assert np.array_equal(bits(f.evaluate(base)), bits(want)) and np.array_equal(bits(h.evaluate(base)), bits(want))
    wider = np.zeros((41, 2 * dims + 1))
    wider[:, 1::2] = base
    for name, points in {"reversed rows": base[::-1], "every third row": base[::3], "fortran": np.asfortranarray(base),
                         "columns of a wider array": wider[:, 1::2], "reversed columns": base[:, ::-1].copy()[:, ::-1],
                         "misaligned": misaligned(base), "zero stride": np.broadcast_to(base[7], (9, dims))}.items():
        got = f.evaluate(points)
        assert got.dtype == np.float64 and got.shape == (len(points),), name
        assert np.array_equal(bits(got), bits(g.evaluate(np.ascontiguousarray(points)))), name
    assert np.array_equal(bits(f.evaluate(points=base)), bits(want))
    assert all(np.array_equal(bits(a), bits(b)) for a, b in zip(inputs, kept))


def test_every_argument_binds_by_keyword():
    args = ([K0, K1], V2, "a3", [("poly", "detect")] * 2, [-1, 1])
    by_position = InterpolantND(*args).evaluate(np.array([[1.0, -0.5]]))
    f = InterpolantND(derivatives=args[4], bcs=args[3], kernel="a3", values=V2, knots=args[0])
    assert np.array_equal(bits(f.evaluate(points=np.array([[1.0, -0.5]]))), bits(by_position))
    # any sequences: tuples, and an array of integers
    g = InterpolantND((K0, K1), V2, "a3", (("poly", "detect"), ("poly", "detect")), np.array([-1, 1]))
    assert np.array_equal(bits(g.evaluate(np.array([[1.0, -0.5]]))), bits(by_position))


F2 = InterpolantND([K0, K1], V2, "a3", [("poly", "poly")] * 2, [0, 0])


@pytest.mark.parametrize(("call", "exc_type", "message", "note"), [
    (lambda: InterpolantND([K0, K1], V2, "a3", [("poly", "poly")] * 2), TypeError,
     "InterpolantND.__new__() missing 1 required positional argument: 'derivatives'", None),
    (lambda: InterpolantND([K0, K1], V2, "a3"), TypeError,
     "InterpolantND.__new__() missing 2 required positional arguments: 'bcs' and 'derivatives'", None),
    (lambda: InterpolantND([K0, K1], V2, "a3", [("poly", "poly")] * 2, [0, 0], 0), TypeError,
     "InterpolantND.__new__() takes 5 positional arguments but 6 were given", None),
    (lambda: InterpolantND([K0, K1], V2, "a3", [("poly", "poly")] * 2, [0, 0], kernel="a3"), TypeError,
     "InterpolantND.__new__() got multiple values for argument 'kernel'", None),
    (lambda: InterpolantND([K0, K1], V2, "a3", [("poly", "poly")] * 2, orders=[0, 0]), TypeError,
     "InterpolantND.__new__() got an unexpected keyword argument 'orders'", None),
    (lambda: F2.evaluate(), TypeError, "InterpolantND.evaluate() missing 1 required positional argument: 'points'",
     None),
    (lambda: F2.evaluate(np.zeros((1, 2)), 0), TypeError,
     "InterpolantND.evaluate() takes 1 positional arguments but 2 were given", None),
    (lambda: F2.evaluate(point=np.zeros((1, 2))), TypeError,
     "InterpolantND.evaluate() got an unexpected keyword argument 'point'", None),
    (lambda: F2.evaluate([[0.5, 0.0]]), TypeError, "'list' object is not an instance of 'ndarray'", "points"),
    (lambda: F2.evaluate(None), TypeError, "'None' is not an instance of 'ndarray'", "points"),
    (lambda: F2.evaluate(np.zeros(2)), TypeError, "'ndarray' object is not an instance of 'ndarray'", "points"),
    (lambda: F2.evaluate(np.zeros((1, 2, 1))), TypeError, "'ndarray' object is not an instance of 'ndarray'",
     "points"),
    (lambda: F2.evaluate(np.zeros((1, 2), np.float32)), TypeError,
     "'ndarray' object is not an instance of 'ndarray'", "points"),
    (lambda: F2.evaluate(np.zeros((1, 2), np.int64)), TypeError, "'ndarray' object is not an instance of 'ndarray'",
     "points"),
])
def test_binding_errors(call, exc_type, message, note):
    with pytest.raises(exc_type) as excinfo:
        call()
    assert str(excinfo.value) == message
    assert getattr(excinfo.value, "__notes__", []) == ([f"while processing '{note}'"] if note else [])


def test_class_surface():
    assert InterpolantND.__doc__ == "An N-D interpolant."
    assert InterpolantND.__text_signature__ == "(knots, values, kernel, bcs, derivatives)"
    assert str(inspect.signature(InterpolantND)) == "(knots, values, kernel, bcs, derivatives)"
    assert InterpolantND.__name__ == "InterpolantND" and InterpolantND.__module__ == "quorvel._core"
    assert InterpolantND.evaluate.__doc__ == (
        "Evaluate at every row of `points`, an array of shape (number of points, number of axes)")
    assert InterpolantND.evaluate.__text_signature__ == "($self, points)"
    assert [name for name in vars(InterpolantND) if not name.startswith("__")] == ["evaluate"]
    assert _core.__all__[4:6] == ["Interpolant1D", "InterpolantND"]
    assert not hasattr(F2, "__dict__")
    for refused in (lambda: weakref.ref(F2), lambda: pickle.dumps(F2), lambda: object.__new__(InterpolantND),
                    lambda: type("Derived", (InterpolantND,), {}), lambda: setattr(InterpolantND, "evaluate", None)):
        with pytest.raises(TypeError):
            refused()


LEAK_KNOTS = grids([12, 11, 10], "leak")
LEAK_VALUES = rng_for("leak").standard_normal((12, 11, 10))
LEAK_ARGS = (LEAK_KNOTS, LEAK_VALUES, "b5", [("detect", "poly")] * 3)
LEAK_POINTS = np.stack([np.linspace(x[0], x[-1], 37) for x in LEAK_KNOTS], axis=1)
LEAK_GENERAL = InterpolantND(*LEAK_ARGS, [-2, 1, -1])
LEAK_FAST = InterpolantND(*LEAK_ARGS, [0, 3, 0])
LEAK_NEAREST = InterpolantND(LEAK_KNOTS, LEAK_VALUES, "a0", [("poly", "poly")] * 3, [0, 0, 0])


@pytest.mark.parametrize("call", [
    lambda: InterpolantND(*LEAK_ARGS, [-2, 1, -1]),
    lambda: InterpolantND(*LEAK_ARGS, [0, 0]),
    lambda: InterpolantND(*LEAK_ARGS, [0, 0, 9]),
    lambda: InterpolantND(LEAK_KNOTS[:2] + [LEAK_KNOTS[2][::-1]], *LEAK_ARGS[1:], [0, 0, 0]),
    lambda: InterpolantND(LEAK_KNOTS, *LEAK_ARGS[1:3], [("poly", "poly")] * 2 + [("poly", "Poly")], [0, 0, 0]),
    lambda: InterpolantND(LEAK_KNOTS, *LEAK_ARGS[1:3], [("poly", "poly")] * 3, [0, 0, 2**31]),
    lambda: InterpolantND([wide(130), wide(130), wide(2)], zeros(130, 130, 2), "b13", [("poly", "poly")] * 3,
                          [-8, -8, -8]),
    lambda: LEAK_GENERAL.evaluate(LEAK_POINTS),
    lambda: LEAK_FAST.evaluate(LEAK_POINTS[::-1]),
    lambda: LEAK_NEAREST.evaluate(LEAK_POINTS),
    lambda: LEAK_GENERAL.evaluate(LEAK_POINTS + 1.0),
    lambda: LEAK_GENERAL.evaluate(LEAK_POINTS[:, :2]),
    lambda: LEAK_FAST.evaluate(LEAK_POINTS.tolist()),
])
def test_no_leaks(no_leak, call):
    no_leak(call)
