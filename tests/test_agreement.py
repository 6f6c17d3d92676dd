"""Every path of the interpolator agrees with the others on random cases (any kernel, boundaries periodic or not,
descending knots, strided data, value axes, range modes, derivative and antiderivative orders): each field has the
bits of an interpolator of that field alone, whatever the workers; pickles, gradients, grid products, regrid and
integrals have the bits of the evaluation they stand for; a refusal is the same refusal on every path."""

import pickle
import warnings

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvel import Interpolator, regrid
from tests.conftest import KERNELS, derived, same_bits

CONDITIONS = ["poly", "linear", "quadratic", "detect"]


@st.composite
def cases(draw):
    dims = draw(st.integers(1, 3))
    kernel = draw(st.sampled_from(sorted(KERNELS)))
    _, top, deepest, _ = KERNELS[kernel]
    periodic = [draw(st.booleans()) for _ in range(dims)]
    boundary = [("periodic",) * 2 if p else (draw(st.sampled_from(CONDITIONS)), draw(st.sampled_from(CONDITIONS)))
                for p in periodic]
    # Periodic axes integrate once at most: over whole periods only the first antiderivative continues.
    orders = [draw(st.integers(-1 if p else -min(deepest, 2), top)) for p in periodic]
    return {
        "kernel": kernel, "boundary": boundary, "orders": orders,
        "shape": tuple(draw(st.integers(3, 8)) for _ in periodic),
        "value_shape": draw(st.sampled_from([(), (2,), (5,)])),
        "descending": [draw(st.booleans()) for _ in periodic],
        "strided": draw(st.booleans()),
        "mode": draw(st.sampled_from(["raise", "nan", "clip"])),
        "count": draw(st.sampled_from([0, 7, 3000])),
        "seed": draw(st.integers(0, 2**32 - 1)),
    }


def outcome(call):
    """The result of `call()`, or the message of the ValueError it raised."""
    try:
        return call()
    except ValueError as error:
        return str(error)


def agree(a, b):
    return a == b if isinstance(a, str) or isinstance(b, str) else same_bits(a, b)


@settings(suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(cases())
def test_every_path_agrees(case):
    rng = np.random.default_rng(case["seed"])
    dims, mode, value_shape = len(case["shape"]), case["mode"], case["value_shape"]
    knots = [np.linspace(-1.0, 0.3 + a, n)[:: -1 if down else 1]
             for a, (n, down) in enumerate(zip(case["shape"], case["descending"]))]
    values = rng.standard_normal(case["shape"] + value_shape)
    if case["strided"]:
        values = np.repeat(values, 2, axis=0)[::2]
    reach = 0.0 if mode == "raise" else 0.5
    low, high = [min(k[[0, -1]]) - reach for k in knots], [max(k[[0, -1]]) + reach for k in knots]
    points = rng.uniform(low, high, (case["count"], dims))
    points = points if dims > 1 else points[:, 0]
    vectors = [rng.uniform(lo, hi, rng.integers(0, 6)) for lo, hi in zip(low, high)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # short axes extended linearly: said once, on construction

        def build(data, workers=None):
            f = Interpolator(knots, data, case["kernel"], case["boundary"], out_of_range=mode, workers=workers)
            return derived(f, case["orders"])

        f = outcome(lambda: build(values))
        if isinstance(f, str):  # refused: the same for every field alone
            assert all(outcome(lambda: build(values[(..., *i)])) == f for i in np.ndindex(value_shape))
            return
        result = outcome(lambda: f(points))
        assert agree(outcome(lambda: f(points, workers=3)), result)
        assert agree(outcome(lambda: pickle.loads(pickle.dumps(f))(points)), result)
        for i in np.ndindex(value_shape):
            alone = outcome(lambda: build(values[(..., *i)], workers=1)(points))
            assert agree(alone, result if isinstance(result, str) else result[(..., *i)])
        if not isinstance(result, str) and all(d <= KERNELS[case["kernel"]][1] - 1 for d in case["orders"]):
            gradient = f.gradient(points)
            for a in range(dims):
                assert same_bits(gradient[..., a], f.derivative(axis=a)(points))

        product = outcome(lambda: f.on_grid(*vectors))
        mesh = np.stack(np.meshgrid(*vectors, indexing="ij"), axis=-1).reshape(-1, dims)
        at_points = outcome(lambda: f(mesh if dims > 1 else mesh[:, 0]))
        if isinstance(product, str) or isinstance(at_points, str) or min(case["orders"]) >= 0:
            assert agree(product, at_points if isinstance(at_points, str) else at_points.reshape(product.shape))
        else:  # antiderivatives may be summed in another order on a product: equal to rounding
            assert np.allclose(product, at_points.reshape(product.shape), rtol=1e-9, atol=1e-9, equal_nan=True)
        if min(case["orders"]) >= 0:
            regridded = outcome(lambda: regrid(knots, values, vectors if dims > 1 else vectors[0], case["kernel"],
                                               case["boundary"], derivative=case["orders"], out_of_range=mode))
            assert agree(regridded, product)

        lower, upper = rng.uniform(low, high), rng.uniform(low, high)
        whole = outcome(lambda: np.asarray(f.integrate(lower, upper)))
        for i in np.ndindex(value_shape):
            alone = outcome(lambda: build(values[(..., *i)]).integrate(lower, upper))
            assert agree(alone, whole if isinstance(whole, str) else whole[i])
