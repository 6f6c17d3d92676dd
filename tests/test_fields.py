"""Many fields on one grid and evaluation on grid products: every field, and every value of a product, has the
bits that an interpolator of that field alone gives at that point; the data are held once."""

import itertools
import math
import pickle

import numpy as np
import pytest

from quorvel import Interpolator, regrid
from tests.conftest import KERNELS, SANITIZED, derived, linux_only, rng_for, same_bits

N = (11, 8, 7, 6)


def data(dims, value_shape, key=()):
    knots = [np.linspace(-1.0, 0.5 * a + 1.0, N[a]) for a in range(dims)]
    values = rng_for("fields", dims, value_shape, key).standard_normal(N[:dims] + value_shape)
    return knots, values


def points(knots, count, key=()):
    rng = rng_for("points", len(knots), count, key)
    p = np.column_stack([rng.uniform(k[0], k[-1], count) for k in knots])
    p[:2] = [[k[0] for k in knots], [k[-1] for k in knots]]
    p[5, 0] = np.nan
    return p if len(knots) > 1 else p[:, 0]


def order_cases(kernel, dims):
    _, top, deepest, _ = KERNELS[kernel]
    return [(0,) * dims, (top,) + (0,) * (dims - 1), (-min(deepest, 2),) * min(dims, 2) + (0,) * max(dims - 2, 0)]


FIELD_CASES = [(kernel, dims, value_shape) for kernel in KERNELS for dims in (1, 2, 3, 4)
               for value_shape in ((), (3,), (2, 2), (5,)) if dims < 4 or KERNELS[kernel][0] <= 6]


@pytest.mark.parametrize(("kernel", "dims", "value_shape"), FIELD_CASES)
def test_every_field_as_alone(kernel, dims, value_shape):
    knots, values = data(dims, value_shape)
    strided = np.moveaxis(np.asfortranarray(values[..., None]), -1, 0)[0]  # the same values in another layout
    p = points(knots, 60)
    f = Interpolator(knots, strided, kernel, ("detect", "quadratic"))
    assert f.shape == values.shape and f.value_shape == value_shape and same_bits(f.values, values)
    for orders in order_cases(kernel, dims):
        together = derived(f, orders)(p)
        assert together.shape == p.shape[: p.ndim - (dims > 1)] + value_shape
        for field in np.ndindex(value_shape):
            alone = derived(Interpolator(knots, values[(...,) + field], kernel, ("detect", "quadratic")), orders)
            assert same_bits(together[(...,) + field], alone(p))


@pytest.mark.parametrize(("kernel", "dims", "count"), list(itertools.product(("a1", "b5"), (1, 2, 3), (2, 5, 7))))
def test_fields_beyond_one_vector_as_alone(kernel, dims, count):
    """Fields come in groups of a vector's width and a remainder, read up to the last grid position."""
    knots, values = data(dims, (count,), "count")
    p = points(knots, 40, "count")
    f = Interpolator(knots, values, kernel, "detect")
    together = f(p)
    for field in range(count):
        assert same_bits(together[..., field], Interpolator(knots, values[..., field], kernel, "detect")(p))
    if dims > 1:
        vectors = [k[-3:] for k in knots]
        assert same_bits(f.on_grid(*vectors), f(mesh(vectors)))


@pytest.mark.parametrize("count", [1, 9, 63, 64, 65, 200])
@pytest.mark.parametrize("outside", [(), (0, 64), (63, 1), (64, 199), (-1,)])
def test_long_calls_of_many_fields_as_alone(count, outside):
    """Several fields take the points many vectors at a time and those left over on a padded copy: every field as
    alone, and of the points outside the range the first is refused, wherever it falls."""
    for dims in (1, 2, 3):
        knots, values = data(dims, (3,), "long")
        p = points(knots, 200, "long")[:count].copy()
        beyond = [i for i in outside if -count <= i < count]
        for n, i in enumerate(beyond):  # each on its own axis, with its own coordinate
            p.reshape(count, dims)[i, n % dims] = knots[n % dims][-1] + 1.0 + n
        f = Interpolator(knots, values, "a3", "detect")
        alone = Interpolator(knots, values[..., 1], "a3", "detect")
        if beyond:
            first = min(i % count for i in beyond)
            n = next(n for n, i in enumerate(beyond) if i % count == first)
            value = f"{knots[n % dims][-1] + 1.0 + n:g}"
            refusal = f"point {value} lies" if dims == 1 else f"coordinate {value} on axis {n % dims} "
            with pytest.raises(ValueError, match=refusal):
                f(p)
        else:
            assert same_bits(f(p)[:, 1], alone(p))


def test_integrals_of_many_fields():
    knots, values = data(2, (3,))
    f = Interpolator(knots, values, "b5")
    lower, upper = [-0.5, 0.0], [0.5, 1.5]
    integral = f.integrate(lower, upper)
    assert integral.shape == (3,)
    for c in range(3):
        assert integral[c] == Interpolator(knots, values[..., c], "b5").integrate(lower, upper)


def mesh(vectors):
    return np.stack(np.meshgrid(*vectors, indexing="ij"), axis=-1)


def coordinate_vectors(knots, key):
    """Unsorted, repeated, on the knots, at both ends, and NaN."""
    rng = rng_for("vectors", key)
    vectors = []
    for k in knots:
        v = np.r_[rng.uniform(k[0], k[-1], 4), k[0], k[-1], k[2], k[2], np.nan]
        vectors.append(rng.permutation(v))
    return vectors


GRID_CASES = [(kernel, dims, value_shape) for kernel in KERNELS for dims in (1, 2, 3, 4)
              for value_shape in ((), (2,)) if dims < 4 or KERNELS[kernel][0] <= 6]


@pytest.mark.parametrize(("kernel", "dims", "value_shape"), GRID_CASES)
def test_grid_products_have_the_bits_of_their_points(kernel, dims, value_shape):
    knots, values = data(dims, value_shape, "grid")
    vectors = coordinate_vectors(knots, (kernel, dims))
    f = Interpolator(knots, values, kernel, "detect")
    for orders in order_cases(kernel, dims):
        g = derived(f, orders)
        product = g.on_grid(*vectors, workers=3)
        assert product.shape == tuple(map(len, vectors)) + value_shape
        assert same_bits(product, g(mesh(vectors) if dims > 1 else vectors[0]))


@pytest.mark.parametrize("mode", ["nan", "clip", "raise"])
def test_grid_products_outside_the_range(mode):
    knots, values = data(3, ())
    f = Interpolator(knots, values, "b5", out_of_range=mode)
    vectors = [np.array([-1.0, 0.0, 3.0]), np.array([0.5]), np.array([-2.0, 1.5])]
    if mode == "raise":
        with pytest.raises(ValueError, match=r"^coordinate 3 on axis 0 lies outside the data range \[-1, 1\]$"):
            f.on_grid(*vectors)
    else:
        assert same_bits(f.on_grid(*vectors), f(mesh(vectors)))


@pytest.mark.parametrize("empty", [0, 1, 2])
def test_empty_coordinate_vectors_give_empty_products(empty):
    knots, values = data(3, (2,))
    vectors = [np.array([0.0, 0.5]), np.array([0.5]), np.array([1.0, 1.2, 1.4])]
    vectors[empty] = np.array([])
    product = Interpolator(knots, values).on_grid(*vectors)
    assert product.shape == tuple(map(len, vectors)) + (2,)


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda f: f.on_grid([0.0]), TypeError, r"^on_grid: expected 2 vectors of coordinates \(one per axis\), got 1"),
    (lambda f: f.on_grid([[0.0]], [0.0]), ValueError, r"^coordinates\[0\]: expected a 1-D array"),
    (lambda f: f.on_grid(["a"], [0.0]), TypeError, r"^coordinates\[0\]: expected real numbers"),
])
def test_grid_product_refusals(call, error, message):
    with pytest.raises(error, match=message):
        call(Interpolator(*data(2, ())))


REGRID_BOUNDARIES = ["detect", "periodic first", ("linear", "detect")]


@pytest.mark.parametrize(("kernel", "dims", "value_shape"), GRID_CASES)
@pytest.mark.parametrize("boundary", REGRID_BOUNDARIES)
def test_regrid_has_the_bits_of_the_interpolator(kernel, dims, value_shape, boundary):
    """Transposed and descending data, periodic first axes, values and the highest derivative."""
    knots, values = data(dims, value_shape, "regrid")
    periodic = boundary == "periodic first"
    if periodic:
        boundary = [("periodic", "periodic")] + [("quadratic", "detect")] * (dims - 1)
    vectors = coordinate_vectors(knots, (kernel, dims, "regrid"))
    if periodic:  # beyond both ends of the period
        spacing = knots[0][1] - knots[0][0]
        vectors[0] = np.r_[vectors[0], knots[0][-1] + 0.5 * spacing, knots[0][0] - 3.25 * spacing]
    layout = np.flip(np.asfortranarray(values), 0)
    knots[0] = knots[0][::-1]
    f = Interpolator(knots, layout, kernel, boundary)
    for orders in order_cases(kernel, dims)[:2]:
        expected = f.derivative(orders).on_grid(*vectors)
        assert same_bits(regrid(knots, layout, vectors, kernel, boundary, derivative=orders, workers=2), expected)


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("smooth", [True, False])
@pytest.mark.parametrize("boundary", [("detect", "poly"), ("linear", "detect"), ("quadratic", "detect")])
def test_regrid_of_a_long_first_axis(kernel, smooth, boundary):
    """The ghosts along axis 0 come from its end values alone, whichever way "detect" decides."""
    knots = [np.linspace(0.0, 6.0, 64), np.linspace(-1.0, 1.0, 9)]
    values = np.sin(knots[0])[:, None] * np.cos(knots[1])
    if not smooth:
        values = values + rng_for("long", kernel).standard_normal(values.shape)
    vectors = [np.r_[0.0, 0.01, 3.3, 5.99, 6.0], np.r_[-1.0, 0.2, 1.0]]
    expected = Interpolator(knots, values, kernel, [boundary, boundary]).on_grid(*vectors)
    assert same_bits(regrid(knots, values, vectors, kernel, [boundary, boundary]), expected)


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda k, v: regrid(k, v, [[0.0]]), TypeError, r"^coordinates: expected 2 vectors of coordinates"),
    (lambda k, v: regrid(k, v, 0.5), TypeError, r"^coordinates: expected a sequence of 2 1-D arrays, got float"),
    (lambda k, v: regrid(k, v, [[0.0], [0.0]], derivative=[1]), ValueError, r"^derivative: expected 2 orders"),
    (lambda k, v: regrid(k, v, [[0.0], [0.0]], derivative=-1), ValueError, r"^derivative: expected non-negative"),
    (lambda k, v: regrid(k, v, [[9.0], [0.0]]), ValueError, r"^coordinate 9 on axis 0 lies outside the data range"),
    (lambda k, v: regrid(k, v[:3], [[0.0], [0.0]]), ValueError, r"^values: expected shape \(11, 8\)"),
])
def test_regrid_refusals(call, error, message):
    with pytest.raises(error, match=message):
        call(*data(2, ()))


@linux_only("limits the address space with RLIMIT_AS")
@pytest.mark.skipif(SANITIZED, reason="the sanitizers need an unlimited address space")
def test_regrid_reads_the_data_without_copying_them(run_python):
    """With room for a quarter of the data, regrid works where building an interpolator runs out of memory."""
    assert run_python("""
        import resource
        import numpy as np
        from quorvel import Interpolator, regrid
        values = np.ones((2048, 2048, 2))
        knots = [np.arange(2048.0)] * 2
        regrid(knots, values, [[1.0], [1.0]])
        with open("/proc/self/statm") as statm:
            mapped = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (mapped + values.nbytes // 4, resource.getrlimit(resource.RLIMIT_AS)[1]))
        zoomed = regrid(knots, values, [np.linspace(0.0, 2047.0, 500)] * 2, "b7", workers=1)
        print(zoomed.shape, np.allclose(zoomed, 1.0, rtol=0, atol=1e-12))
        try:
            Interpolator(knots, values, "b7")
        except MemoryError:
            print("refused")
    """) == "(500, 500, 2) True\nrefused\n"


def test_the_data_are_held_once_and_cannot_be_changed():
    knots, values = data(3, (2,))
    f = Interpolator(knots, values)
    held = f.values
    assert same_bits(held, values) and not np.shares_memory(held, values)
    assert np.shares_memory(held, f.derivative(axis=0).values) and np.shares_memory(held, f.values)
    with pytest.raises(ValueError):
        held.flags.writeable = True
    g = pickle.loads(pickle.dumps(f))
    assert same_bits(g.values, values) and g.value_shape == (2,)


@linux_only("reads the resident memory from /proc/self/statm")
def test_a_large_interpolator_holds_about_one_copy_of_its_data(run_python):
    """The resident memory an interpolator of 2^24 values adds, measured in a fresh interpreter."""
    growth = float(run_python("""
        import numpy as np
        from quorvel import Interpolator, regrid
        def resident():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * 4096
        values = np.ones((256, 256, 256))
        before = resident()
        f = Interpolator([np.arange(256.0)] * 3, values, "a3")
        print((resident() - before) / values.nbytes)
    """))
    assert 0.9 < growth < 1.15


def test_transposed_and_broadcast_data_are_read_as_they_are():
    knots, values = data(2, ())
    for layout in (values.T.copy().T, np.broadcast_to(values[:, :1], values.shape)):
        f = Interpolator(knots, layout, "b7")
        p = points(knots, 50)
        assert same_bits(f(p), Interpolator(knots, np.array(layout), "b7")(p))


@pytest.mark.parametrize(("dims", "value_shape"), list(itertools.product((1, 3), ((), (4,)))))
def test_value_shape_follows_every_result(dims, value_shape):
    knots, values = data(dims, value_shape)
    f = Interpolator(knots, values, "a4")
    single = [k[3] for k in knots] if dims > 1 else knots[0][3]
    assert f(single).shape == value_shape and np.allclose(f(single), values[(3,) * dims], rtol=0, atol=1e-13)
    assert f(np.zeros((0, dims) if dims > 1 else (0,))).shape == (0,) + value_shape
    assert math.prod(f.shape) == values.size


def test_value_axes_of_length_zero_are_refused():
    for values in (np.zeros((11, 0)), np.zeros((11, 8, 3, 0))):
        with pytest.raises(ValueError, match="^values: a value axis has length 0, so there is no field"):
            Interpolator(data(values.ndim - 1 - (values.ndim > 2), ())[0], values)
