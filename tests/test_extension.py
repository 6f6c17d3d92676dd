"""The ghost extension of data in one and N dimensions, against a line-by-line model."""

import itertools
import math
from fractions import Fraction

import numpy as np
import pytest

from quorvel import _core
from tests.conftest import HALF_WIDTH, same_bits
from tests.reference import fma

ext, ext_nd = _core.extended_coefficients, _core.extended_coefficients_nd
POLY_COLS = {"a3": 4, "a4": 4, "a5": 4, "a7": 4, "b5": 6, "b7": 8, "b9": 8, "b11": 8, "b13": 8}
CONDITIONS = ["poly", "linear", "quadratic", "detect"]


def assert_bits(result, expected):
    """`result` is a new row-major float64 array holding exactly `expected`."""
    assert type(result) is np.ndarray and result.flags.c_contiguous and result.flags.writeable
    assert same_bits(result, expected), f"{result!r} != {expected!r}"


# The model: ghost matrices from the Lagrange rule, compensated dot products with exact fma, and every line of
# every pass visited, corners included.


def lagrange_matrix(cols, rows):
    """Row r - 1 extrapolates to -r through the values at 0 ... cols - 1."""
    return [[float(math.prod(Fraction(-r - k, i - k) for k in range(cols) if k != i)) for i in range(cols)]
            for r in range(1, rows + 1)]


LINEAR, QUADRATIC = lagrange_matrix(2, 9), lagrange_matrix(3, 9)


def dot2(weights, values):
    s = c = 0.0
    for a, b in zip(weights, values):
        p = a * b
        e = fma(a, b, -p)
        s2 = s + p
        t = s2 - s
        c = c + (e + ((p - t) + (s - (s2 - t))))
        s = s2
    return s + c


def choose(poly, condition, too_few, z):
    if too_few:
        return QUADRATIC if condition == "quadratic" else LINEAR
    if condition != "detect":
        return {"poly": poly, "linear": LINEAR, "quadratic": QUADRATIC}[condition]
    m = len(poly[0])
    if len(z) < m + 1:
        return LINEAR
    z = z[: m + 3]
    finite = [v for v in z if not math.isnan(v)]
    zmax, zmin = max(finite, default=-math.inf), min(finite, default=math.inf)
    amax = max((abs(v) for v in finite), default=0.0)
    c = [1.0]
    for j in range(1, m + 1):
        c.append(((m + 1 - j) * -c[-1]) / j)
    threshold = (amax * 2.0**-52) * 2 ** min(m, 30) + (zmax - zmin)
    for i in range(len(z) - m):
        d = 0.0
        for j in range(m + 1):
            d = fma(c[j], z[i + m - j], d)
        if abs(d) > threshold:
            return LINEAR
    return poly


def fill_line(line, n, g, poly, left, right):
    m = len(poly[0])
    k = min(max(m + 3, g + 1), n)
    for side, condition in (("left", left), ("right", right)):
        y = line[g : g + k] if side == "left" else line[n + g - k : n + g]  # increasing position
        total = -0.0
        for v in y:
            total += v
        z = [v - total / k for v in y] if k else []
        if side == "right":
            y, z = y[::-1], z[::-1]  # counted inward from the end
        matrix = choose(poly, condition, n < m, z)
        for r in range(1, g + 1):
            line[g - r if side == "left" else n + g - 1 + r] = dot2(matrix[r - 1], y)


def reference(values, kernel, bcs):
    g = HALF_WIDTH[kernel] - 1
    out = np.zeros([n + 2 * g for n in values.shape])
    out[tuple(slice(g, g + n) for n in values.shape)] = values
    if g:
        poly = lagrange_matrix(POLY_COLS[kernel], g + 1)
        for axis, (left, right) in enumerate(bcs):
            lanes = np.moveaxis(out, axis, -1)
            for index in np.ndindex(lanes.shape[:-1]):
                line = lanes[index].tolist()
                fill_line(line, values.shape[axis], g, poly, left, right)
                lanes[index] = line
    return out


@pytest.mark.parametrize("kernel", HALF_WIDTH)
def test_linear_data_are_extended_exactly(kernel):
    """Along every axis with every condition; as documented, [1, 2, 3, 4, 5] extends to 0 ... 6 with "a3"."""
    g = HALF_WIDTH[kernel] - 1
    for condition, n in itertools.product(CONDITIONS, (3, 5, 12)):
        line = 3.0 - 2.0 * np.arange(-g, n + g)
        assert_bits(ext(line[g:g + n].copy(), kernel, condition, condition), line)
        grid = np.add.outer(line, 0.5 * line)
        assert_bits(ext_nd(grid[g:g + n, g:g + n].copy(), kernel, [(condition, condition)] * 2), grid)
        assert ext(np.array([1.0, 2.0, 3.0, 4.0, 5.0]), "a3", condition, condition).tolist() == list(range(7))


RNG = np.random.default_rng(20261206)


def spiky(*shape, nan_at=None):
    """Smooth data with a few unit spikes, so that "detect" decides differently per line."""
    values = sum(x**3 - x for x in np.meshgrid(*[np.arange(n) * 0.3 for n in shape], indexing="ij"))
    values = values + (RNG.random(shape) < 0.08)
    if nan_at is not None:
        values[nan_at] = np.nan
    return values


DETECT_EDGES = [  # constant, a step, below the cubic's degree, exactly m values, a NaN near the end (its differences
    # never exceed the threshold), a difference above the spread by rounding only
    [2.5] * 9, [0, 0, 0, 0, 1, 1, 1], [i * i for i in range(10)], [0, 1, 4, 9], [0] * 8 + [np.nan, 0, 0, 1, 1, 1],
    [float.fromhex("0x1.fa56253370004p+2"), 1, 1, 1, 1]]
SHORT_LINES = [("b5", 5, "poly"), ("b5", 6, "detect"), ("b13", 7, "quadratic"), ("b13", 8, "detect"),
               ("a3", 3, "linear")]
MIXED = [("detect", "poly"), ("quadratic", "detect"), ("linear", "linear")]


@pytest.mark.parametrize(("values", "kernel", "bcs"), [
    *[(np.array(v, dtype=float), "a3", [(c, c)]) for c in ("detect", "poly") for v in DETECT_EDGES],
    *[(np.arange(n) ** 2.0, kernel, [(c, c)]) for kernel, n, c in SHORT_LINES],  # linear or quadratic fallback
    (RNG.standard_normal(23), "b13", [("detect", "poly")]),
    (spiky(16, nan_at=(12,)), "a7", [("detect", "detect")]),
    (spiky(7, 9), "b5", [("detect", "linear"), ("quadratic", "detect")]),
    (RNG.standard_normal((12, 10)) * 1e3, "b13", [("poly", "detect"), ("detect", "quadratic")]),
    (spiky(3, 11), "b13", [("quadratic", "poly"), ("detect", "poly")]),
    (spiky(4, 5, 6), "a5", [("poly", "poly"), ("detect", "linear"), ("quadratic", "detect")]),
    (spiky(5, 3, 4, nan_at=(2, 1, 0)), "a7", [("detect", "detect"), ("linear", "poly"), ("detect", "quadratic")]),
    (spiky(2, 6, 5), "a3", [("linear", "linear"), ("detect", "detect"), ("poly", "detect")]),
    (np.array(-2.5), "b13", []),  # no axis; kernels without ghosts keep any data as it is
    (spiky(3, 4, 2)[:, ::-1], "a1", [("quadratic", "detect")] * 3),
    (np.zeros((3, 0)), "a0", [("quadratic", "quadratic")] * 2),
    (np.zeros(0), "a1", [("quadratic", "poly")]),
    (RNG.standard_normal((9, 12))[::-2, 1::3], "b5", MIXED[:2]),  # any strides
    (np.broadcast_to(spiky(12), (5, 12)).T, "b5", MIXED[:2]),
    (spiky(5, 6, 7)[::-1, :, ::2].transpose(2, 0, 1), "a3", MIXED),
])
def test_matches_the_model_on_every_line_of_every_pass(values, kernel, bcs):
    before = values.copy()
    expected = reference(values, kernel, bcs)
    assert_bits(ext_nd(values, kernel, bcs), expected)
    if values.ndim == 1:
        assert_bits(ext(values, kernel, *bcs[0]), expected)
    assert same_bits(values, before)
