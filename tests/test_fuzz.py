"""Property-based fuzzing of every entry point of quorvel._core.

Each test draws arguments, many of them valid, some slightly wrong and some
absurd, in every array layout NumPy offers.  A small model of the argument
rules predicts for every call either success or the one exception that must
be raised, with its exact message and note.  Successful results must not
depend on the memory layout of the inputs, on the other points of the batch or
on earlier calls; inputs must come back unchanged and unreferenced.

The example budget comes from the Hypothesis profile (conftest.py): short by
default, long with HYPOTHESIS_PROFILE=fuzz or --hypothesis-profile=fuzz.
"""

import gc
import math
import operator
import sys
from decimal import Decimal

import numpy as np
from hypothesis import given
from hypothesis import strategies as st

import quorvel
from quorvel import _core

# name: (columns W, highest derivative, highest integral order)
KERNELS = {
    "a0": (2, 0, 2), "a1": (2, 0, 2), "a3": (4, 1, 4), "a4": (6, 1, 4), "a5": (6, 1, 4), "a7": (8, 1, 4),
    "b5": (10, 3, 6), "b7": (12, 5, 8), "b9": (14, 6, 8), "b11": (16, 7, 8), "b13": (18, 7, 8),
}
CONDITIONS = ["poly", "linear", "quadratic", "detect"]
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
ESCAPES = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}


class Sub(np.ndarray):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def quoted(name):
    return '"' + "".join(ESCAPES.get(c) or (c if c.isprintable() else f"\\u{{{ord(c):x}}}") for c in name) + '"'


def number(value):
    """Shortest round-trip decimal, never with an exponent."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    text = format(Decimal(repr(float(value))), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


# ---------------------------------------------------------------------------
# The model: raises Refused with what the module must raise.


class Refused(Exception):
    def __init__(self, kind, message=None, note=None):
        super().__init__(kind, message, note)
        self.kind, self.message, self.note = kind, message, note


def refuse(message, kind=ValueError):
    raise Refused(kind, message)


def cast_error(obj, expected):
    shown = "'None' is not" if obj is None else f"'{type(obj).__name__}' object is not"
    return TypeError, f"{shown} an instance of '{expected}'"


def conversion_error(kind, obj):
    """(exception, message or None) for an argument that `kind` refuses, else None."""
    if kind in ("array1", "array2", "arrayN"):
        if (not isinstance(obj, np.ndarray) or obj.dtype != np.dtype("=f8")
                or kind != "arrayN" and obj.ndim != int(kind[-1])):
            return cast_error(obj, "ndarray")
    elif kind == "str":
        if not isinstance(obj, str):
            return cast_error(obj, "str")
        if any(0xD800 <= ord(c) <= 0xDFFF for c in obj):
            return UnicodeEncodeError, None
    elif kind in ("int32", "float"):
        if not isinstance(obj, (int, Index)) and not (kind == "float" and isinstance(obj, float)):
            return TypeError, None
        if kind == "int32" and not -(2**31) <= operator.index(obj) < 2**31:
            in_64_bits = -(2**63) <= operator.index(obj) < 2**63
            return OverflowError, "out of range integral type conversion attempted" if in_64_bits else None
    elif kind == "pair":
        if not isinstance(obj, tuple):
            return cast_error(obj, "tuple")
        if len(obj) != 2:
            return TypeError, f"expected tuple of length 2, but got tuple of length {len(obj)}"
        return conversion_error("str", obj[0]) or conversion_error("str", obj[1])
    else:  # "[item kind]", a sequence
        if isinstance(obj, str):
            return TypeError, "Can't extract `str` to `Vec`"
        if not isinstance(obj, (list, tuple, np.ndarray)):
            return cast_error(obj, "Sequence")
        return next(filter(None, (conversion_error(kind[1:-1], item) for item in obj)), None)
    return None


def convert(**params):
    for name, (kind, obj) in params.items():
        if error := conversion_error(kind, obj):
            raise Refused(*error, note=f"while processing '{name}'")


def require_contiguous(array):
    if array.size and not (array.flags.aligned and (array.flags.c_contiguous or array.flags.f_contiguous)):
        refuse(NOT_CONTIGUOUS, TypeError)


def half_width(kernel):
    if kernel not in KERNELS:
        refuse(f"unknown kernel {quoted(kernel)}")
    return max(KERNELS[kernel][0] // 2, 1)


def parse(condition):
    if condition not in CONDITIONS:
        refuse(f"unknown boundary condition {quoted(condition)} (expected poly, linear, quadratic or detect)")
    return condition


def check_extension(shape, kernel, pairs):
    ghosts = half_width(kernel) - 1
    if len(pairs) != len(shape):
        refuse(f"{len(pairs)} boundary condition pairs given for {len(shape)}-dimensional data")
    if math.prod(max(n + 2 * ghosts, 1) for n in shape) > 2**63 - 1:
        refuse(None, quorvel.PanicException)
    for n, pair in zip(shape, pairs):
        for needed in [3 if condition == "quadratic" else 2 for condition in pair] if ghosts else []:
            if n < needed:
                refuse(f"boundary condition needs {needed} values along the line, got {n}")


def check_knots(x, prefix, half_width=1):
    if not np.isfinite(x).all():
        refuse(prefix + "knots must be finite numbers (no NaN or infinity)")
    first, last = float(x[0]), float(x[-1])
    h = (last - first) / (x.size - 1)
    if not h > 0:
        refuse(prefix + "knots must be increasing")
    origin = first - h * (half_width - 1)
    if not all(map(math.isfinite, (h, origin, last - origin))):
        refuse(prefix + "knots span too wide a range")
    with np.errstate(all="ignore"):
        if (np.abs(x - (first + h * np.arange(x.size))) > h * 1e-8).any():
            refuse(prefix + "knots must be uniformly spaced")


def check_order(kernel, d, prefix=""):
    _, max_d, max_i = KERNELS[kernel]
    if d > max_d:
        refuse(f"{prefix}kernel {quoted(kernel)} supports derivatives up to order {max_d}, got {d}")
    if -d > max_i:
        refuse(f"{prefix}kernel {quoted(kernel)} supports integrals up to order {max_i} "
               f"(derivative = -{max_i}), got derivative = {d}")


def model_1d(x, values, kernel, bc_left, bc_right, derivative):
    convert(x=("array1", x), values=("array1", values), kernel=("str", kernel), bc_left=("str", bc_left),
            bc_right=("str", bc_right), derivative=("int32", derivative))
    require_contiguous(x)
    require_contiguous(values)
    if x.size < 2 or values.size != x.size:
        refuse("need at least 2 knots, and as many values as knots")
    check_knots(x, "")  # the spacing here, the extended origin after the extension
    half_width(kernel)
    check_order(kernel, operator.index(derivative))
    check_extension(values.shape, kernel, [(parse(bc_left), parse(bc_right))])
    check_knots(x, "", half_width(kernel))


def model_nd(knots, values, kernel, bcs, derivatives):
    convert(knots=("[array1]", knots), values=("arrayN", values), kernel=("str", kernel), bcs=("[pair]", bcs),
            derivatives=("[int32]", derivatives))
    n = values.ndim
    if n == 0:
        refuse("the data must have at least one axis")
    if not len(knots) == len(bcs) == len(derivatives) == n:
        refuse(f"{n}-dimensional data need {n} knot vectors, boundary condition pairs and derivative orders "
               f"(got {len(knots)}, {len(bcs)} and {len(derivatives)})")
    hw = half_width(kernel)
    for i, (x, d) in enumerate(zip(knots, map(operator.index, derivatives))):
        require_contiguous(x)
        if x.size != values.shape[i]:
            refuse(f"axis {i}: {x.size} knots for {values.shape[i]} values")
        if x.size < 2:
            refuse(f"axis {i}: need at least 2 knots")
        check_knots(x, f"axis {i}: ", hw)
        check_order(kernel, d, f"axis {i}: ")
    check_extension(values.shape, kernel, [(parse(left), parse(right)) for left, right in bcs])
    need = (math.prod(1.0 + max(-operator.index(d), 0) for d in derivatives) - 1.0) * 8.0 * math.prod(
        n + 2 * hw - 2 for n in values.shape)
    if need > 2.0**31:
        refuse(f"the integral tails would need {need / 2**30:.1f} GiB of memory (limit 2 GiB): integrate along "
               "fewer axes, use lower integral orders, or use a smaller grid")


def model_evaluate(points, ranges, one_dimensional):
    convert(points=("array1" if one_dimensional else "array2", points))
    rows = points[:, None] if one_dimensional else points
    if rows.shape[1] != len(ranges):
        refuse(f"points must have {len(ranges)} coordinates each, got {rows.shape[1]}")
    for row in rows:
        for axis, (x, (first, last)) in enumerate(zip(row, ranges)):
            if first > x or x > last:
                where = f"point {number(x)}" if one_dimensional else f"coordinate {number(x)} on axis {axis}"
                refuse(f"{where} lies outside the data range [{number(first)}, {number(last)}]")


def call(function, args, model, owners=()):
    """Calls function(*args) as the model predicts; returns the result or None."""
    try:
        model(*args)
        expected = None
    except Refused as refused:
        expected = refused.with_traceback(None)
    snapshot = [owner.tobytes() for owner in owners]
    arrays = [a for arg in args for a in (arg if isinstance(arg, list) else [arg])
              if isinstance(a, np.ndarray) and not any(a is junk for junk in JUNK)]
    gc.disable()  # a collection during the call could drop other references to the inputs
    try:
        references = [sys.getrefcount(a) for a in arrays]
        try:
            outcome = function(*args)
        except BaseException as exc:  # noqa: BLE001 - the type is checked below
            outcome = exc
        if expected is None:
            assert not isinstance(outcome, BaseException), f"unexpected {outcome!r}"
        else:
            assert type(outcome) is expected.kind, f"{outcome!r} instead of {expected.kind.__name__}"
            assert expected.message is None or str(outcome) == expected.message
            assert getattr(outcome, "__notes__", []) == ([expected.note] if expected.note else [])
            outcome = None
        assert [sys.getrefcount(a) for a in arrays] == references, "the module kept a reference to an input"
    finally:
        gc.enable()
    assert [owner.tobytes() for owner in owners] == snapshot, "an input was modified"
    return outcome


# ---------------------------------------------------------------------------
# Strategies.

any_float = st.one_of(st.floats(), st.sampled_from([0.0, -0.0, math.nan, math.inf, -math.inf, 5e-324, 1.8e308]))
orders = st.one_of(st.integers(-9, 8), st.sampled_from([2**31 - 1, -(2**31), 2**31, -(2**31) - 1, 2**63, -(2**64)]),
                   st.integers(), st.builds(Index, st.integers(-9, 8)), st.sampled_from([1.0, None, "1"]))
names = st.one_of(
    st.sampled_from(list(KERNELS)),
    st.sampled_from(["A3", "a3 ", " a3", "b1", "b3", "b111", "B5", "a", "", "a3\0", 'a"3', "a\\3", "b1\t3"]),
    st.text(max_size=5),
    st.text(st.characters(codec="utf-8", categories=["Cc", "Cf", "Zl", "Zp", "Zs", "Co", "Cn", "Mn"]), max_size=3),
    st.text(st.characters(categories=["Cs"]), min_size=1, max_size=2),
    st.sampled_from([None, 3, b"a3", ["a3"]]),
)
conditions = st.one_of(st.sampled_from(CONDITIONS * 2), st.text(max_size=4),
                       st.sampled_from(["Poly", " poly", "", "detect\n\0", "linéar", None]))
JUNK = [[1.0, 2.0], None, 3.0, np.float64(1.0), np.zeros(3, np.float32), np.arange(3), np.zeros(3, ">f8"),
        np.zeros((2, 2), ">f8"), np.zeros(3, complex), np.zeros(0, object)]
WRONG_DIMS = {1: [np.zeros(()), np.zeros((2, 2))], 2: [np.zeros(()), np.zeros(3)], None: []}


@st.composite
def laid_out(draw, content, dims=1):
    """`content` in a drawn memory layout, or now and then something refused as
    an array of `dims` dimensions: (object passed, arrays owning its memory,
    what it holds: a broadcast repeats part of `content`)."""
    if draw(st.integers(0, 19)) == 0:
        return draw(st.sampled_from(JUNK + WRONG_DIMS[dims])), [], content
    layout = draw(st.sampled_from(["c", "f", "strided", "broadcast", "misaligned", "readonly", "sub"]))
    whole = (...,)  # indexing with it keeps zero-dimensional views as arrays
    if layout == "broadcast":
        axes = draw(st.sets(st.integers(0, content.ndim - 1))) if content.ndim else set()
        base = content[tuple(slice(0, 1) if a in axes else slice(None) for a in range(content.ndim)) + whole].copy()
        array, owners = np.broadcast_to(base, content.shape), [base]
    elif layout == "misaligned":
        raw = np.zeros(content.size * 8 + 1, np.uint8)
        array, owners = raw[1:].view(np.float64).reshape(content.shape), [raw]
        array[...] = content
    elif layout == "strided":
        steps = [draw(st.sampled_from([1, 2, -1, -2, 3])) for _ in range(content.ndim)]
        base = np.full([max(n * abs(s), 1) for n, s in zip(content.shape, steps)], 12345.0)
        array = base[tuple(slice(None, None, s) for s in steps) + whole][tuple(map(slice, content.shape)) + whole]
        array[...], owners = content, [base]
    else:
        array = np.asfortranarray(content) if layout == "f" else np.array(content)
        array.flags.writeable = layout != "readonly"
        array, owners = (array.view(Sub) if layout == "sub" else array), [array]
    return array, owners, np.array(array)


def floats_like(draw, shape, elements):
    return np.array(draw(st.lists(elements, min_size=math.prod(shape), max_size=math.prod(shape))),
                    dtype=np.float64).reshape(shape)


def data_values(draw, shape):
    return floats_like(draw, shape, draw(st.sampled_from([st.floats(-1e3, 1e3), st.integers(-9, 9), any_float])))


@st.composite
def knot_vector(draw, n):
    kind = draw(st.sampled_from(["integer", "integer", "uniform", "perturbed", "wild"]))
    if kind == "wild":
        return floats_like(draw, (n,), any_float)
    if kind == "integer":
        return draw(st.integers(-20, 20)) + np.arange(n, dtype=np.float64)
    x = draw(st.floats(-1e6, 1e6)) + draw(st.floats(1e-6, 1e6)) * np.arange(n, dtype=np.float64)
    if kind == "perturbed" and n > 1:
        deviation = draw(st.sampled_from([0.5e-8, 3e-8, 0.3, -1.0, math.nan, math.inf]))
        x[draw(st.integers(0, n - 1))] += (x[-1] - x[0]) / (n - 1) * deviation
    return x


@st.composite
def points_for(draw, ranges, count):
    def coordinate(first, last):
        inside = st.floats(0, 1).map(lambda f: min(max(first + (last - first) * f, first), last))
        return st.one_of(inside, inside, st.sampled_from([first, last, math.nan]), any_float,
                         st.sampled_from([np.nextafter(first, -math.inf), np.nextafter(last, math.inf)]))

    return np.array([[draw(coordinate(*r)) for r in ranges] for _ in range(count)]).reshape(count, len(ranges))


# ---------------------------------------------------------------------------
# The module functions.


@given(names, orders, st.one_of(any_float, st.integers(-3, 3), st.sampled_from([None, "0.5", Index(1)])))
def test_kernel_weights(kernel, order, tau):
    def model(kernel, order, tau):
        convert(kernel=("str", kernel), order=("int32", order), tau=("float", tau))
        _, max_d, max_i = KERNELS.get(kernel, (0, -1, -1))
        if kernel == "a0" or not -max_i <= operator.index(order) <= max_d:
            refuse(f"no kernel table for :{kernel} with order {operator.index(order)}")

    weights = call(_core.kernel_weights, (kernel, order, tau), model)
    assert weights is None or len(weights) == KERNELS[kernel][0] and all(type(w) is float for w in weights)


@given(st.data())
def test_evaluate_polynomial(data):
    coefs_arg, coefs_owners, coefs = data.draw(laid_out(floats_like(data.draw, (data.draw(st.integers(0, 6)),),
                                                                    any_float)))
    x_arg, x_owners, x = data.draw(laid_out(floats_like(data.draw, (data.draw(st.integers(0, 8)),), any_float)))

    def model(coefs, x):
        convert(coefs=("array1", coefs), x=("array1", x))
        require_contiguous(coefs)

    result = call(_core.evaluate_polynomial, (coefs_arg, x_arg), model, coefs_owners + x_owners)
    if result is not None:
        expected = np.zeros_like(x)
        with np.errstate(all="ignore"):
            for c in coefs[::-1]:  # Horner's rule, product and sum rounded separately
                expected = expected * x + c
        assert same_bits(result, expected)


@given(st.data())
def test_extended_coefficients(data):
    values_arg, owners, values = data.draw(laid_out(data_values(data.draw, (data.draw(st.integers(0, 12)),))))
    kernel = data.draw(names)

    def model(values, kernel, bc_left, bc_right):
        convert(values=("array1", values), kernel=("str", kernel), bc_left=("str", bc_left),
                bc_right=("str", bc_right))
        pair = (parse(bc_left), parse(bc_right))
        require_contiguous(values)
        check_extension(values.shape, kernel, [pair])

    result = call(_core.extended_coefficients, (values_arg, kernel, data.draw(conditions), data.draw(conditions)),
                  model, owners)
    if result is not None:
        ghosts = half_width(kernel) - 1
        assert result.shape == (values.size + 2 * ghosts,) and result.flags.c_contiguous
        assert same_bits(result[ghosts:ghosts + values.size], values)


@given(st.data())
def test_extended_coefficients_nd(data):
    shape = tuple(data.draw(st.lists(st.integers(0, 5), max_size=4)))
    values_arg, owners, values = data.draw(laid_out(data_values(data.draw, shape), None))
    kernel, pair = data.draw(names), st.tuples(conditions, conditions)
    bcs = data.draw(st.one_of(st.lists(pair, min_size=len(shape), max_size=len(shape)), st.lists(pair, max_size=5),
                              st.sampled_from(["poly", None, [["poly", "poly"]], [("poly",)], [("poly", 1)]])))

    def model(values, kernel, bcs):
        convert(values=("arrayN", values), kernel=("str", kernel), bcs=("[pair]", bcs))
        check_extension(values.shape, kernel, [(parse(left), parse(right)) for left, right in bcs])

    result = call(_core.extended_coefficients_nd, (values_arg, kernel, bcs), model, owners)
    if result is not None:
        ghosts = half_width(kernel) - 1
        assert result.shape == tuple(n + 2 * ghosts for n in shape) and result.flags.c_contiguous
        assert same_bits(result[tuple(slice(ghosts, ghosts + n) for n in shape)], values)
        assert same_bits(_core.extended_coefficients_nd(values, kernel, bcs), result)


# ---------------------------------------------------------------------------
# The interpolants: construction in every layout, evaluation in every layout.


def check_interpolant(draw, f, knots, values, args):
    """Evaluates as the model predicts: the bits depend on nothing but each
    point, and not on the layout of the data either."""
    ranges = [(float(x[0]), float(x[-1])) for x in knots]
    one_dimensional = isinstance(f, _core.Interpolant1D)
    points = draw(points_for(ranges, draw(st.integers(0, 10))))
    if not one_dimensional and draw(st.integers(0, 5)) == 0:  # one coordinate too many or too few
        points = draw(points_for(ranges * 2, len(points)))[:, :len(ranges) + draw(st.sampled_from([1, -1]))]
    model = lambda p: model_evaluate(p, ranges, one_dimensional)  # noqa: E731
    arg, owners, points = draw(laid_out(points[:, 0] if one_dimensional else points, 1 if one_dimensional else 2))
    result = call(f.evaluate, (arg,), model, owners)
    grid = knots[0] if one_dimensional else np.stack(np.meshgrid(*knots, indexing="ij"), -1).reshape(-1, len(knots))
    copy = type(f)(*([knots[0], values] if one_dimensional else [knots, values]), *args[2:])
    assert same_bits(f.evaluate(grid), copy.evaluate(grid)), "the result depends on the layout of the data"
    if result is None:
        return
    rows = points[:, None] if one_dimensional else points
    assert result.shape == (len(rows),) and result.dtype == np.float64 and result.flags.c_contiguous
    single = [f.evaluate(p if one_dimensional else p[None, :])[0] for p in rows]
    assert same_bits(result, np.array(single, dtype=np.float64)), "a point's value depends on the batch"
    again = draw(points_for(ranges, draw(st.integers(0, 3))))
    call(f.evaluate, (again[:, 0] if one_dimensional else again,), model)
    assert same_bits(f.evaluate(np.ascontiguousarray(arg)), result), "a value depends on earlier calls"
    nan_rows = np.isnan(rows).any(axis=1)
    assert args[2] == "a0" or np.isnan(result[nan_rows]).all()
    if (np.abs(values) < 1e100).all() and all(1e-3 < (x[-1] - x[0]) / (x.size - 1) < 1e3 for x in knots):
        assert np.isfinite(result[~nan_rows]).all()
        if all(operator.index(d) == 0 for d in ([args[-1]] if one_dimensional else args[-1])):
            # The interpolant meets the data at the knots, up to the rounding
            # of the weights (exact only at the last knot, where tau is 0).
            assert np.allclose(f.evaluate(grid), values.reshape(-1), rtol=0, atol=1e-9 * (1 + abs(values).max()))


@given(st.data())
def test_interpolant_1d(data):
    n = data.draw(st.integers(0, 14))
    x_arg, x_owners, x = data.draw(laid_out(data.draw(knot_vector(n))))
    values_shape = (max(n + data.draw(st.sampled_from([0, 0, 0, 0, 1, -1])), 0),)
    values_arg, values_owners, values = data.draw(laid_out(data_values(data.draw, values_shape)))
    args = (x_arg, values_arg, data.draw(names), data.draw(conditions), data.draw(conditions), data.draw(orders))
    f = call(_core.Interpolant1D, args, model_1d, x_owners + values_owners)
    if f is not None:
        check_interpolant(data.draw, f, [x], values, args)


@given(st.data())
def test_interpolant_nd(data):
    shape = tuple(data.draw(st.lists(st.integers(0, 5), max_size=3)))
    values_arg, owners, values = data.draw(laid_out(data_values(data.draw, shape), None))
    count = max(len(shape) + data.draw(st.sampled_from([0, 0, 0, 1, -1])), 0)
    knots_args, knots = [], []
    for n in (shape + (3,))[:count]:
        arg, x_owners, x = data.draw(laid_out(data.draw(knot_vector(n + data.draw(st.sampled_from([0] * 5 + [1]))))))
        knots_args, knots, owners = knots_args + [arg], knots + [x], owners + x_owners
    pairs = st.lists(st.tuples(conditions, conditions), min_size=len(shape), max_size=len(shape))
    bcs = data.draw(st.one_of(pairs, pairs, st.sampled_from(["poly", [["poly", "poly"]], None])))
    derivatives = data.draw(st.one_of(st.lists(orders, min_size=len(shape), max_size=len(shape)),
                                      st.lists(st.integers(-2, 1), max_size=4), st.just("0")))
    args = (knots_args, values_arg, data.draw(names), bcs, derivatives)
    f = call(_core.InterpolantND, args, model_nd, owners)
    if f is not None:
        check_interpolant(data.draw, f, knots, values, args)
