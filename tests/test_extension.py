"""Boundary conditions and the ghost extension of data in one and N dimensions."""

import math
from fractions import Fraction

import numpy as np
import pytest

import quorvel
from quorvel import _core

ext = _core.extended_coefficients
ext_nd = _core.extended_coefficients_nd

GHOSTS = {"a0": 0, "a1": 0, "a3": 1, "a4": 2, "a5": 2, "a7": 3, "b5": 4, "b7": 5, "b9": 6, "b11": 7, "b13": 8}
POLY_COLS = {"a3": 4, "a4": 4, "a5": 4, "a7": 4, "b5": 6, "b7": 8, "b9": 8, "b11": 8, "b13": 8}
CONDITIONS = ["poly", "linear", "quadratic", "detect"]
NAN = math.nan


def same_bits(a, b):
    a, b = (np.ascontiguousarray(x, dtype=np.float64) for x in (a, b))
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def assert_bits(result, expected):
    """`result` is a new row-major float64 array holding exactly `expected`, bit for bit."""
    assert type(result) is np.ndarray and result.flags.c_contiguous and result.flags.writeable
    assert same_bits(result, expected), f"{result!r} != {expected!r}"


def raises_value_error(call, message):
    with pytest.raises(ValueError) as excinfo:
        call()
    assert str(excinfo.value) == message
    assert getattr(excinfo.value, "__notes__", []) == []


def needs(cols, got):
    return f"boundary condition needs {cols} values along the line, got {got}"


# ---------------------------------------------------------------------------
# An independent model: ghost matrices from the Lagrange rule, exact fma from
# fractions, and every line of every pass visited, corners included.


def lagrange_matrix(cols, rows):
    """Row r - 1 extrapolates to -r through the values at 0 ... cols - 1."""
    return [
        [float(math.prod(Fraction(-r - k, i - k) for k in range(cols) if k != i)) for i in range(cols)]
        for r in range(1, rows + 1)
    ]


LINEAR, QUADRATIC = lagrange_matrix(2, 9), lagrange_matrix(3, 9)


def fma(a, b, c):
    if math.isfinite(a) and math.isfinite(b) and math.isfinite(c):
        return float(Fraction(a) * Fraction(b) + Fraction(c))
    return a * b + c


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
        if len(matrix[0]) > k:
            raise ValueError(needs(len(matrix[0]), k))
        for r in range(1, g + 1):
            line[g - r if side == "left" else n + g - 1 + r] = dot2(matrix[r - 1], y)


def reference(values, kernel, bcs):
    g = GHOSTS[kernel]
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


# ---------------------------------------------------------------------------
# Values.


@pytest.mark.parametrize("n", [3, 5, 12])
@pytest.mark.parametrize("condition", CONDITIONS)
@pytest.mark.parametrize("kernel", GHOSTS)
def test_linear_data_is_reproduced_exactly(kernel, condition, n):
    g = GHOSTS[kernel]
    expected = 3.0 - 2.0 * np.arange(-g, n + g)
    values = expected[g : g + n].copy()
    assert_bits(ext(values, kernel, condition, condition), expected)
    assert_bits(ext_nd(values, kernel, [(condition, condition)]), expected)


@pytest.mark.parametrize("condition", CONDITIONS)
def test_worked_examples(condition):
    assert ext(np.array([1.0, 2.0, 3.0, 4.0, 5.0]), "a3", condition, condition).tolist() == list(range(7))
    grid = np.add.outer(np.arange(4.0), np.arange(4.0))
    expected = np.add.outer(np.arange(-1.0, 5.0), np.arange(-1.0, 5.0))
    assert_bits(ext_nd(grid, "a3", [(condition, condition)] * 2), expected)
    assert_bits(ext_nd(np.arange(10.0).reshape(2, 5), "a1", [(condition, "poly")] * 2), np.arange(10.0).reshape(2, 5))


@pytest.mark.parametrize(
    ("kernel", "condition", "degree"),
    [("a3", "poly", 3), ("a7", "detect", 3), ("b5", "poly", 5), ("b9", "detect", 7), ("b13", "poly", 7),
     ("b13", "quadratic", 2), ("a4", "linear", 1)],
)
@pytest.mark.parametrize("spacing", [1.0, 0.1])
def test_polynomial_data_below_the_matrix_degree(kernel, condition, degree, spacing):
    g = GHOSTS[kernel]
    poly = np.polynomial.Polynomial(np.arange(degree + 1.0) - 2.0)  # integer coefficients
    expected = poly(np.arange(-g, 20 + g) * spacing)
    result = ext(expected[g:-g].copy(), kernel, condition, condition)
    if spacing == 1.0:  # integer data and weights: the compensated sums are exact
        assert_bits(result, expected)
    else:
        np.testing.assert_allclose(result, expected, rtol=0, atol=1e-9 * np.abs(expected).max())


EDGE = float.fromhex("0x1.fa56253370004p+2")


@pytest.mark.parametrize(
    ("values", "with_detect", "with_poly"),
    [
        # Constant data: every difference is 0.
        ([2.5] * 9, [2.5] * 11, [2.5] * 11),
        # The step 0,0,0,0,1,1,1: inward from the right end 1,1,1,0,0,0,0, whose
        # fourth differences 3, -3, 1 exceed the spread 1.
        ([0, 0, 0, 0, 1, 1, 1], [0, 0, 0, 0, 0, 1, 1, 1, 1], [0, 0, 0, 0, 0, 1, 1, 1, 2]),
        # y = i^2 lies below the cubic's degree.
        ([i * i for i in range(10)], [1] + [i * i for i in range(11)], [1] + [i * i for i in range(11)]),
        # Exactly m values: no difference can be formed.
        ([0, 1, 4, 9], [-1, 0, 1, 4, 9, 14], [1, 0, 1, 4, 9, 16]),
        # A NaN among the 7 values nearest the right end makes every difference
        # NaN, which never exceeds the threshold: the step there keeps the cubic.
        ([0] * 7 + [0, NAN, 0, 0, 1, 1, 1], [0] * 9 + [NAN, 0, 0, 1, 1, 1, 2], [0] * 9 + [NAN, 0, 0, 1, 1, 1, 2]),
        # Left end x,1,1,1,1: the difference exceeds the spread x - 1 by rounding
        # only, which the threshold's rounding allowance covers.
        ([EDGE, 1, 1, 1, 1], [4 * EDGE - 3, EDGE, 1, 1, 1, 1, 1], [4 * EDGE - 3, EDGE, 1, 1, 1, 1, 1]),
    ],
    ids=["constant", "step", "squares", "m-values", "nan", "rounding"],
)
def test_detect_choices(values, with_detect, with_poly):
    values = np.array(values, dtype=float)
    assert_bits(ext(values, "a3", "detect", "detect"), with_detect)
    assert_bits(ext(values, "a3", "poly", "poly"), with_poly)


@pytest.mark.parametrize(
    ("kernel", "n", "condition", "cols"),
    [("b5", 5, "poly", 2), ("b5", 6, "detect", 2), ("b5", 6, "poly", 6), ("b13", 7, "poly", 2),
     ("b13", 7, "quadratic", 3), ("b13", 7, "detect", 2), ("b13", 8, "detect", 2), ("a3", 3, "linear", 2)],
)
def test_short_lines_fall_back_to_low_order_extrapolation(kernel, n, condition, cols):
    g = GHOSTS[kernel]
    values = [(2 * i - 3) ** 2 for i in range(n)]
    rows = lagrange_matrix(cols, g)
    left = [sum(int(w) * v for w, v in zip(rows[r], values)) for r in range(g)]
    right = [sum(int(w) * v for w, v in zip(rows[r], values[::-1])) for r in range(g)]
    expected = left[::-1] + values + right
    assert_bits(ext(np.array(values, dtype=float), kernel, condition, condition), expected)


RNG = np.random.default_rng(20261206)


def spiky(shape, nan_at=None):
    """Smooth data with a few unit spikes, so that "detect" decides differently per line."""
    grids = np.meshgrid(*[np.arange(n) * 0.3 for n in shape], indexing="ij")
    values = sum(x**3 - x for x in grids) + (RNG.random(shape) < 0.08)
    if nan_at is not None:
        values[nan_at] = np.nan
    return values


@pytest.mark.parametrize(
    ("values", "kernel", "bcs"),
    [
        (RNG.standard_normal(23), "b13", [("detect", "poly")]),
        (spiky((13,)), "b5", [("detect", "detect")]),
        (spiky((16,), nan_at=(12,)), "a7", [("detect", "detect")]),
        (spiky((6, 7)), "a3", [("poly", "detect"), ("detect", "poly")]),
        (spiky((7, 9)), "b5", [("detect", "linear"), ("quadratic", "detect")]),
        (RNG.standard_normal((12, 10)) * 1e3, "b13", [("poly", "detect"), ("detect", "quadratic")]),
        (spiky((3, 11)), "b13", [("quadratic", "poly"), ("detect", "poly")]),
        (spiky((4, 5, 6)), "a5", [("poly", "poly"), ("detect", "linear"), ("quadratic", "detect")]),
        (spiky((5, 3, 4), nan_at=(2, 1, 0)), "a7", [("detect", "detect"), ("linear", "poly"), ("detect", "quadratic")]),
        (spiky((2, 6, 5)), "a3", [("linear", "linear"), ("detect", "detect"), ("poly", "detect")]),
    ],
)
def test_matches_every_line_of_every_pass(values, kernel, bcs):
    before = values.copy()
    expected = reference(values, kernel, bcs)
    assert_bits(ext_nd(values, kernel, bcs), expected)
    if values.ndim == 1:
        assert_bits(ext(values, kernel, *bcs[0]), expected)
    assert same_bits(values, before)


BASE = RNG.standard_normal((9, 12))
CUBE = spiky((5, 6, 7))


@pytest.mark.parametrize(
    "view",
    [BASE[:, ::2], BASE[::-1], BASE[::-2, 1::3], BASE.T, np.asfortranarray(BASE), np.broadcast_to(BASE[0], (5, 12)),
     np.broadcast_to(BASE[:, :1], (9, 7)), CUBE[::-1, :, ::2].transpose(2, 0, 1), CUBE[1, ::-1, 2:5]],
    ids=["columns", "reversed", "stepped", "transposed", "fortran", "zero-row-stride", "zero-column-stride",
         "3d", "2d-slice"],
)
@pytest.mark.parametrize("kernel", ["a1", "b5"])
def test_any_strides_give_the_contiguous_result(view, kernel):
    before = view.copy()
    bcs = [("detect", "poly"), ("quadratic", "detect"), ("linear", "detect")][: view.ndim]
    assert_bits(ext_nd(view, kernel, bcs), ext_nd(np.ascontiguousarray(view), kernel, bcs))
    assert same_bits(view, before)
    column = view[(slice(None),) + (0,) * (view.ndim - 1)]
    assert_bits(ext_nd(column, kernel, bcs[:1]), ext(np.ascontiguousarray(column), kernel, *bcs[0]))


@pytest.mark.parametrize("kernel", ["a0", "a1", "b13"])
def test_zero_dimensional_data_and_kernels_without_ghosts(kernel):
    assert_bits(ext_nd(np.array(-2.5), kernel, ()), -2.5)
    if GHOSTS[kernel] == 0:
        data = RNG.standard_normal((3, 4, 2))[:, ::-1]
        assert_bits(ext_nd(data, kernel, [("quadratic", "detect")] * 3), data)
        assert_bits(ext_nd(np.zeros((3, 0)), kernel, [("quadratic", "quadratic")] * 2), np.zeros((3, 0)))
        assert_bits(ext(np.zeros(0), kernel, "quadratic", "poly"), [])


# ---------------------------------------------------------------------------
# Failures.

UNKNOWN = "unknown boundary condition {} (expected poly, linear, quadratic or detect)"


@pytest.mark.parametrize(
    ("values", "kernel", "left", "right", "message"),
    [
        ([], "a3", "poly", "poly", needs(2, 0)),
        ([1.0], "a3", "poly", "detect", needs(2, 1)),
        ([1.0], "b13", "quadratic", "linear", needs(3, 1)),
        ([1.0, 2.0], "a3", "linear", "quadratic", needs(3, 2)),
        ([1.0, 2.0], "b13", "detect", "quadratic", needs(3, 2)),
        ([1.0], "zz", "poly", "poly", 'unknown kernel "zz"'),
        ([1.0], "a3 ", "poly", "poly", 'unknown kernel "a3 "'),
        ([1.0], 'a"\\\t\x85', "poly", "poly", 'unknown kernel "a\\"\\\\\\t\\u{85}"'),
        ([1.0], "zz", "Poly", "poly", UNKNOWN.format('"Poly"')),
        ([1.0], "zz", "poly", " poly", UNKNOWN.format('" poly"')),
        ([1.0], "a1", "", "poly", UNKNOWN.format('""')),
        ([], "a0", "detect", "detect\n\0", UNKNOWN.format('"detect\\n\\0"')),
    ],
)
def test_one_dimensional_failures(values, kernel, left, right, message):
    raises_value_error(lambda: ext(np.array(values, dtype=float), kernel, left, right), message)


@pytest.mark.parametrize("strided", [np.arange(10.0)[::2], np.arange(5.0)[::-1]], ids=["stepped", "reversed"])
def test_one_dimensional_values_must_be_contiguous(strided):
    for kernel in ("a3", "zz"):  # refused after the names are parsed, before the kernel is looked up
        with pytest.raises(TypeError, match="^The given array is not contiguous or is misaligned.$"):
            ext(strided, kernel, "poly", "poly")
    raises_value_error(lambda: ext(strided, "zz", "poly", "Poly"), UNKNOWN.format('"Poly"'))
    raises_value_error(lambda: ext(strided[:0], "a3", "poly", "poly"), needs(2, 0))
    assert_bits(ext(strided[1:2], "a1", "poly", "poly"), strided[1:2])  # one value is contiguous


@pytest.mark.parametrize(
    ("shape", "kernel", "bcs", "message"),
    [
        ((3, 4), "a3", [("poly", "poly")], "1 boundary condition pairs given for 2-dimensional data"),
        ((3,), "a3", [], "0 boundary condition pairs given for 1-dimensional data"),
        ((), "a1", [("poly", "poly")], "1 boundary condition pairs given for 0-dimensional data"),
        ((3, 4), "zz", [("poly", "poly")], 'unknown kernel "zz"'),
        ((3, 4), "zz", [("poly", "poly"), ("poly", "Linear")], UNKNOWN.format('"Linear"')),
        ((3, 4), "zz", [("x", "y")], UNKNOWN.format('"x"')),
        ((3, 0), "a3", [("poly", "poly")] * 2, needs(2, 0)),
        ((3, 0), "a3", [("poly", "poly"), ("quadratic", "linear")], needs(3, 0)),
        ((1, 0), "a3", [("linear", "linear")] * 2, needs(2, 1)),
        ((0, 5), "b13", [("detect", "poly")] * 2, needs(2, 0)),
        ((5, 2), "b13", [("poly", "poly"), ("linear", "quadratic")], needs(3, 2)),
        ((4, 2, 1), "a3", [("quadratic", "poly"), ("linear", "linear"), ("poly", "poly")], needs(2, 1)),
    ],
)
def test_n_dimensional_failures_in_order(shape, kernel, bcs, message):
    raises_value_error(lambda: ext_nd(np.zeros(shape), kernel, bcs), message)


# NumPy keeps an array's bytes within 2^63 - 1, so its elements within 2^60;
# "b13" widens every axis of length 2 to 18: 18**15 elements fit in a signed
# 64-bit size (but not in memory), 18**16 do not.
@pytest.mark.parametrize(
    ("values", "exception"),
    [(np.zeros((2,) * 16), quorvel.PanicException), (np.zeros((2,) * 15), MemoryError),
     (np.broadcast_to(np.zeros(()), (2,) * 15 + (1,)), quorvel.PanicException),
     (np.broadcast_to(np.zeros(()), (10**7, 10**7)), MemoryError)],
    ids=["2x16", "2x15", "2x15x1", "broadcast"],
)
def test_oversized_results_fail_cleanly(values, exception):
    with pytest.raises(exception):
        ext_nd(values, "b13", [("poly", "poly")] * values.ndim)
    assert_bits(ext_nd(np.ones((2, 2)), "a3", [("poly", "poly")] * 2), np.ones((4, 4)))


class TestNoLeaks:
    """Repeated calls, on success and on every error path, leave memory flat."""

    CALLS = [
        lambda: ext(np.arange(50.0), "b13", "detect", "poly"),
        lambda: ext_nd(CUBE[::-1], "b5", [("detect", "quadratic")] * 3),
        lambda: ext(np.arange(3.0), "a3", "Poly", "poly"),
        lambda: ext(np.arange(3.0), "zz", "poly", "poly"),
        lambda: ext(np.arange(1.0), "a3", "poly", "poly"),
        lambda: ext(np.arange(6.0)[::2], "a3", "poly", "poly"),
        lambda: ext_nd(np.zeros((3, 4)), "a3", [("poly", "poly"), ("poly", "x")]),
        lambda: ext_nd(np.zeros((3, 4)), "zz", [("poly", "poly")] * 2),
        lambda: ext_nd(np.zeros((3, 4)), "a3", [("poly", "poly")]),
        lambda: ext_nd(np.zeros((3, 1)), "a3", [("poly", "poly")] * 2),
        lambda: ext_nd(np.broadcast_to(np.zeros(()), (2,) * 16), "b13", [("poly", "poly")] * 16),
        lambda: ext_nd(np.broadcast_to(np.zeros(()), (10**7, 10**7)), "a3", [("poly", "poly")] * 2),
    ]

    @pytest.mark.parametrize("call", CALLS)
    def test_flat(self, call, no_leak):
        no_leak(call)
