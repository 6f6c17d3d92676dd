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
    return '"' + "".join(
        ESCAPES.get(c) or (c if c.isprintable() else f"\\u{{{ord(c):x}}}") for c in name) + '"'


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


def refuse(kind, message=None):
    raise Refused(kind, message)


def cast_error(obj, expected):
    shown = "'None' is not" if obj is None else f"'{type(obj).__name__}' object is not"
    return TypeError, f"{shown} an instance of '{expected}'"


def conversion_error(kind, obj):
    if kind.startswith("array"):
        dims = {"array1": 1, "array2": 2, "arrayN": obj.ndim if isinstance(obj, np.ndarray) else 0}[kind]
        if not isinstance(obj, np.ndarray) or obj.ndim != dims or obj.dtype != np.dtype("=f8"):
            return cast_error(obj, "ndarray")
    elif kind == "str":
        if not isinstance(obj, str):
            return cast_error(obj, "str")
        if any(0xD800 <= ord(c) <= 0xDFFF for c in obj):
            return UnicodeEncodeError, None
    elif kind == "int32":
        if not isinstance(obj, (int, Index)):
            return TypeError, None
        if not -(2**63) <= operator.index(obj) < 2**63:
            return OverflowError, None
        if not -(2**31) <= operator.index(obj) < 2**31:
            return OverflowError, "out of range integral type conversion attempted"
    elif kind == "float":
        if not isinstance(obj, (float, int, Index)):
            return TypeError, None
    elif kind == "pair":
        if not isinstance(obj, tuple):
            return cast_error(obj, "tuple")
        if len(obj) != 2:
            return TypeError, f"expected tuple of length 2, but got tuple of length {len(obj)}"
        return conversion_error("str", obj[0]) or conversion_error("str", obj[1])
    else:  # "[item kind]": a sequence
        if isinstance(obj, str):
            return TypeError, "Can't extract `str` to `Vec`"
        if not isinstance(obj, (list, tuple, np.ndarray)):
            return cast_error(obj, "Sequence")
        return next(filter(None, (conversion_error(kind[1:-1], item) for item in obj)), None)
    return None


def convert(**params):
    for name, (kind, obj) in params.items():
        error = conversion_error(kind, obj)
        if error:
            raise Refused(*error, note=f"while processing '{name}'")


def contiguous(array):
    return array.size == 0 or (array.flags.aligned and (array.flags.c_contiguous or array.flags.f_contiguous))


def kernel_spec(kernel):
    if kernel not in KERNELS:
        refuse(ValueError, f"unknown kernel {quoted(kernel)}")
    return KERNELS[kernel]


def parse(condition):
    if condition not in CONDITIONS:
        refuse(ValueError, f"unknown boundary condition {quoted(condition)} "
                           "(expected poly, linear, quadratic or detect)")
    return condition


def check_extension(shape, kernel, pairs):
    ghosts = kernel_spec(kernel)[0] // 2 - 1
    if len(pairs) != len(shape):
        refuse(ValueError, f"{len(pairs)} boundary condition pairs given for {len(shape)}-dimensional data")
    if math.prod(max(n + 2 * ghosts, 1) for n in shape) > 2**63 - 1:
        refuse(quorvel.PanicException)
    for n, pair in zip(shape, pairs):
        for condition in pair if ghosts else ():
            needed = 3 if condition == "quadratic" else 2
            if n < needed:
                refuse(ValueError, f"boundary condition needs {needed} values along the line, got {n}")


def check_knots(x, prefix, half_width=1):
    """The knot checks; returns the spacing."""
    n = x.size
    if not np.isfinite(x).all():
        refuse(ValueError, prefix + "knots must be finite numbers (no NaN or infinity)")
    first, last = float(x[0]), float(x[-1])
    h = (last - first) / (n - 1)
    if not h > 0:
        refuse(ValueError, prefix + "knots must be increasing")
    origin = first - h * (half_width - 1)
    if not all(map(math.isfinite, (h, origin, last - origin))):
        refuse(ValueError, prefix + "knots span too wide a range")
    with np.errstate(all="ignore"):
        if (np.abs(x - (first + h * np.arange(n))) > h * 1e-8).any():
            refuse(ValueError, prefix + "knots must be uniformly spaced")
    return h


def check_order(kernel, d, prefix=""):
    _, max_d, max_i = KERNELS[kernel]
    if d > max_d:
        refuse(ValueError, f"{prefix}kernel {quoted(kernel)} supports derivatives up to order {max_d}, got {d}")
    if -d > max_i:
        refuse(ValueError, f"{prefix}kernel {quoted(kernel)} supports integrals up to order {max_i} "
                           f"(derivative = -{max_i}), got derivative = {d}")


def model_1d(x, values, kernel, bc_left, bc_right, derivative):
    convert(x=("array1", x), values=("array1", values), kernel=("str", kernel), bc_left=("str", bc_left),
            bc_right=("str", bc_right), derivative=("int32", derivative))
    for array in (x, values):
        if not contiguous(array):
            refuse(TypeError, NOT_CONTIGUOUS)
    if x.size < 2 or values.size != x.size:
        refuse(ValueError, "need at least 2 knots, and as many values as knots")
    # The spacing is checked first, the extended origin after the extension.
    check_knots(x, "")
    kernel_spec(kernel)
    check_order(kernel, operator.index(derivative))
    check_extension(values.shape, kernel, [(parse(bc_left), parse(bc_right))])
    check_knots(x, "", max(KERNELS[kernel][0] // 2, 1))


def model_nd(knots, values, kernel, bcs, derivatives):
    convert(knots=("[array1]", knots), values=("arrayN", values), kernel=("str", kernel), bcs=("[pair]", bcs),
            derivatives=("[int32]", derivatives))
    n_axes = values.ndim
    if n_axes == 0:
        refuse(ValueError, "the data must have at least one axis")
    if not len(knots) == len(bcs) == len(derivatives) == n_axes:
        refuse(ValueError, f"{n_axes}-dimensional data need {n_axes} knot vectors, boundary condition pairs and "
                           f"derivative orders (got {len(knots)}, {len(bcs)} and {len(derivatives)})")
    half_width = max(kernel_spec(kernel)[0] // 2, 1)
    for i, (x, d) in enumerate(zip(knots, map(operator.index, derivatives))):
        if not contiguous(x):
            refuse(TypeError, NOT_CONTIGUOUS)
        if x.size != values.shape[i]:
            refuse(ValueError, f"axis {i}: {x.size} knots for {values.shape[i]} values")
        if x.size < 2:
            refuse(ValueError, f"axis {i}: need at least 2 knots")
        check_knots(x, f"axis {i}: ", half_width)
        check_order(kernel, d, f"axis {i}: ")
    check_extension(values.shape, kernel, [(parse(left), parse(right)) for left, right in bcs])
    size = math.prod(n + 2 * half_width - 2 for n in values.shape)
    tails = math.prod(1.0 + max(-operator.index(d), 0) for d in derivatives) - 1.0
    if tails * size * 8.0 > 2.0**31:
        refuse(ValueError, f"the integral tails would need {tails * size * 8.0 / 2**30:.1f} GiB of memory "
                           "(limit 2 GiB): integrate along fewer axes, use lower integral orders, or use a "
                           "smaller grid")


def model_evaluate(points, ranges, one_dimensional):
    convert(points=("array1" if one_dimensional else "array2", points))
    if one_dimensional:
        points = points[:, None]
    elif points.shape[1] != len(ranges):
        refuse(ValueError, f"points must have {len(ranges)} coordinates each, got {points.shape[1]}")
    for row in points:
        for axis, (x, (first, last)) in enumerate(zip(row, ranges)):
            if first > x or x > last:
                where = ("point {}" if one_dimensional else "coordinate {} on axis " + str(axis)).format(number(x))
                refuse(ValueError, f"{where} lies outside the data range [{number(first)}, {number(last)}]")


def call(function, args, model, owners=()):
    """Calls function(*args) as the model predicts; returns the result or None."""
    try:
        model(*args)
        expected = None
    except Refused as refused:
        expected = refused.with_traceback(None)
    gc.disable()  # a collection during the call could drop other references to the inputs
    try:
        return _checked_call(function, args, expected, owners)
    finally:
        gc.enable()


def _checked_call(function, args, expected, owners):
    snapshot = [owner.tobytes() for owner in owners]
    arrays = [a for arg in args for a in (arg if isinstance(arg, list) else [arg])
              if isinstance(a, np.ndarray) and not any(a is junk for junk in JUNK)]
    references = [sys.getrefcount(a) for a in arrays]
    try:
        outcome = function(*args)
    except BaseException as exc:  # noqa: BLE001 - the type is checked below
        outcome = exc
    if expected is None:
        assert not isinstance(outcome, BaseException), f"unexpected {outcome!r}"
    else:
        assert type(outcome) is expected.kind, f"{outcome!r} instead of {expected.kind.__name__}"
        if expected.message is not None:
            assert str(outcome) == expected.message
        assert getattr(outcome, "__notes__", []) == ([expected.note] if expected.note else [])
        outcome = None
    assert [owner.tobytes() for owner in owners] == snapshot, "an input was modified"
    assert [sys.getrefcount(a) for a in arrays] == references, "the module kept a reference to an input"
    return outcome


# ---------------------------------------------------------------------------
# Strategies.

special_floats = st.sampled_from([0.0, -0.0, 1.0, math.nan, math.inf, -math.inf, 5e-324, 1.7976931348623157e308])
any_float = st.one_of(st.floats(), special_floats)
small_float = st.floats(-1e3, 1e3)
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
conditions = st.one_of(st.sampled_from(CONDITIONS), st.sampled_from(CONDITIONS), st.text(max_size=4),
                       st.sampled_from(["Poly", " poly", "", "detect\n\0", "linéar", None]))
JUNK = [[1.0, 2.0], None, 3.0, np.float64(1.0), np.zeros(3, np.float32), np.arange(3), np.zeros(3, ">f8"),
        np.zeros((2, 2), ">f8"), np.zeros(3, complex), np.zeros(0, object)]
WRONG_DIMS = {1: [np.zeros(()), np.zeros((2, 2))], 2: [np.zeros(()), np.zeros(3)], None: []}


@st.composite
def laid_out(draw, content, dims=1):
    """`content` in a drawn memory layout, or now and then something refused as
    an array of `dims` dimensions: (object passed, arrays owning its memory)."""
    if draw(st.integers(0, 19)) == 0:
        return draw(st.sampled_from(JUNK + WRONG_DIMS[dims])), []
    content = np.asarray(content, dtype=np.float64)
    layout = draw(st.sampled_from(["c", "f", "strided", "broadcast", "misaligned", "readonly", "sub"]))
    if layout == "broadcast":
        axes = draw(st.sets(st.integers(0, max(content.ndim - 1, 0)))) if content.ndim else set()
        small = content[tuple(slice(0, 1) if a in axes else slice(None) for a in range(content.ndim)) + (...,)]
        base = small.copy()
        return np.broadcast_to(base, content.shape), [base]
    if layout == "misaligned":
        raw = np.zeros(content.size * 8 + 1, np.uint8)
        array = raw[1:].view(np.float64).reshape(content.shape)
        array[...] = content
        return array, [raw]
    if layout == "strided":
        steps = [draw(st.sampled_from([1, 2, -1, -2, 3])) for _ in range(content.ndim)]
        base = np.full([max(n * abs(s), 1) for n, s in zip(content.shape, steps)], 12345.0)
        array = base[tuple(slice(None, None, s) for s in steps) + (...,)][tuple(slice(0, n) for n in content.shape)
                                                                         + (...,)]
        array[...] = content
        return array, [base]
    array = np.asfortranarray(content) if layout == "f" else np.array(content)
    if layout == "readonly":
        array.flags.writeable = False
    return (array.view(Sub) if layout == "sub" else array), [array]


def content(arg, drawn):
    """What a laid-out array holds (a broadcast repeats part of what was drawn)."""
    ok = isinstance(arg, np.ndarray) and arg.dtype == np.dtype("=f8") and arg.shape == drawn.shape
    return np.array(arg) if ok else drawn


def floats_like(draw, n, elements):
    return np.array(draw(st.lists(elements, min_size=n, max_size=n)), dtype=np.float64)


@st.composite
def knot_vector(draw, n):
    kind = draw(st.sampled_from(["integer", "integer", "uniform", "perturbed", "wild"]))
    if kind == "wild":
        return floats_like(draw, n, any_float)
    if kind == "integer":
        return draw(st.integers(-20, 20)) + np.arange(n, dtype=np.float64)
    x = draw(st.floats(-1e6, 1e6)) + draw(st.floats(1e-6, 1e6)) * np.arange(n, dtype=np.float64)
    if kind == "perturbed" and n > 0:
        x[draw(st.integers(0, n - 1))] += (x[-1] - x[0] if n > 1 else 1.0) * draw(st.sampled_from(
            [0.5e-8, 3e-8, 0.3, -1.0, math.nan, math.inf])) / max(n - 1, 1)
    return x


@st.composite
def points_for(draw, ranges, count):
    def coordinate(first, last):
        inside = st.floats(0, 1).map(lambda f: min(max(first + (last - first) * f, first), last))
        return st.one_of(inside, inside, st.sampled_from([first, last, math.nan]), any_float,
                         st.sampled_from([np.nextafter(first, -math.inf), np.nextafter(last, math.inf)]))

    rows = [[draw(coordinate(*r)) for r in ranges] for _ in range(count)]
    return np.array(rows, dtype=np.float64).reshape(count, len(ranges))


def data_values(draw, shape):
    elements = draw(st.sampled_from([small_float, st.integers(-9, 9).map(float), any_float]))
    return floats_like(draw, math.prod(shape), elements).reshape(shape)


# ---------------------------------------------------------------------------
# The module functions.


@given(names, orders, st.one_of(any_float, st.integers(-3, 3), st.sampled_from([None, "0.5", Index(1)])))
def test_kernel_weights(kernel, order, tau):
    def model(kernel, order, tau):
        convert(kernel=("str", kernel), order=("int32", order), tau=("float", tau))
        order = operator.index(order)
        _, max_d, max_i = KERNELS.get(kernel, (0, -1, -1))
        if kernel == "a0" or not -max_i <= order <= max_d:
            refuse(ValueError, f"no kernel table for :{kernel} with order {order}")

    weights = call(_core.kernel_weights, (kernel, order, tau), model)
    if weights is not None:
        assert len(weights) == KERNELS[kernel][0] and all(type(w) is float for w in weights)


@given(st.data())
def test_evaluate_polynomial(data):
    coefs = floats_like(data.draw, data.draw(st.integers(0, 6)), any_float)
    x = floats_like(data.draw, data.draw(st.integers(0, 8)), any_float)
    (coefs_arg, coefs_owners), (x_arg, x_owners) = data.draw(laid_out(coefs)), data.draw(laid_out(x))
    coefs, x = content(coefs_arg, coefs), content(x_arg, x)

    def model(coefs, x):
        convert(coefs=("array1", coefs), x=("array1", x))
        if not contiguous(coefs):
            refuse(TypeError, NOT_CONTIGUOUS)

    result = call(_core.evaluate_polynomial, (coefs_arg, x_arg), model, coefs_owners + x_owners)
    if result is not None:
        expected = np.zeros_like(x)
        with np.errstate(all="ignore"):
            for c in coefs[::-1]:  # Horner's rule, product and sum rounded separately
                expected = expected * x + c
        assert same_bits(result, expected)


@given(st.data())
def test_extended_coefficients(data):
    values = data_values(data.draw, (data.draw(st.integers(0, 12)),))
    (values_arg, owners) = data.draw(laid_out(values))
    values = content(values_arg, values)
    kernel, left, right = data.draw(names), data.draw(conditions), data.draw(conditions)

    def model(values, kernel, bc_left, bc_right):
        convert(values=("array1", values), kernel=("str", kernel), bc_left=("str", bc_left),
                bc_right=("str", bc_right))
        pair = (parse(bc_left), parse(bc_right))
        if not contiguous(values):
            refuse(TypeError, NOT_CONTIGUOUS)
        check_extension(values.shape, kernel, [pair])

    result = call(_core.extended_coefficients, (values_arg, kernel, left, right), model, owners)
    if result is not None:
        ghosts = KERNELS[kernel][0] // 2 - 1
        assert result.shape == (values.size + 2 * ghosts,) and result.flags.c_contiguous
        assert same_bits(result[ghosts:ghosts + values.size], values)


@given(st.data())
def test_extended_coefficients_nd(data):
    shape = tuple(data.draw(st.lists(st.integers(0, 5), max_size=4)))
    values = data_values(data.draw, shape)
    (values_arg, owners) = data.draw(laid_out(values, None))
    values = content(values_arg, values)
    kernel = data.draw(names)
    pair = st.tuples(conditions, conditions)
    bcs = data.draw(st.one_of(st.lists(pair, min_size=len(shape), max_size=len(shape)), st.lists(pair, max_size=5),
                              st.sampled_from(["poly", None, [["poly", "poly"]], [("poly",)], [("poly", 1)]])))

    def model(values, kernel, bcs):
        convert(values=("arrayN", values), kernel=("str", kernel), bcs=("[pair]", bcs))
        pairs = [(parse(left), parse(right)) for left, right in bcs]
        check_extension(values.shape, kernel, pairs)

    result = call(_core.extended_coefficients_nd, (values_arg, kernel, bcs), model, owners)
    if result is not None:
        ghosts = KERNELS[kernel][0] // 2 - 1
        assert result.shape == tuple(n + 2 * ghosts for n in shape) and result.flags.c_contiguous
        assert same_bits(result[tuple(slice(ghosts, ghosts + n) for n in shape)], values)
        assert same_bits(_core.extended_coefficients_nd(values, kernel, bcs), result)


# ---------------------------------------------------------------------------
# The interpolants: construction, then evaluation in every layout.


def check_evaluations(f, points, ranges, one_dimensional, draw, kernel, moderate):
    """Evaluates as the model predicts; the bits depend on nothing but each point."""
    model = lambda p: model_evaluate(p, ranges, one_dimensional)  # noqa: E731
    arg, owners = draw(laid_out(points[:, 0] if one_dimensional else points, 1 if one_dimensional else 2))
    points = content(arg, points[:, 0] if one_dimensional else points).reshape(points.shape)
    result = call(f.evaluate, (arg,), model, owners)
    if result is None:
        return
    assert result.shape == (len(points),) and result.dtype == np.float64 and result.flags.c_contiguous
    single = [f.evaluate(p[0:1] if one_dimensional else p[None, :])[0] for p in points]
    assert same_bits(result, np.array(single, dtype=np.float64)), "a point's value depends on the batch"
    junk = draw(points_for(ranges, draw(st.integers(0, 3))))
    call(f.evaluate, (junk[:, 0] if one_dimensional else junk,), model)
    assert same_bits(f.evaluate(np.ascontiguousarray(arg)), result), "a value depends on earlier calls"
    nan_rows = np.isnan(points).any(axis=1)
    if kernel != "a0":
        assert np.isnan(result[nan_rows]).all()
    if moderate:
        assert np.isfinite(result[~nan_rows]).all()


@given(st.data())
def test_interpolant_1d(data):
    draw = data.draw
    n = draw(st.integers(0, 14))
    x = draw(knot_vector(n))
    values = data_values(draw, (max(n + draw(st.sampled_from([0, 0, 0, 0, 1, -1])), 0),))
    (x_arg, x_owners), (values_arg, values_owners) = draw(laid_out(x)), draw(laid_out(values))
    x, values = content(x_arg, x), content(values_arg, values)
    args = (x_arg, values_arg, draw(names), draw(conditions), draw(conditions), draw(orders))
    f = call(_core.Interpolant1D, args, model_1d, x_owners + values_owners)
    if f is None:
        return
    assert type(f) is _core.Interpolant1D
    kernel, derivative = args[2], operator.index(args[5])
    ranges = [(float(x[0]), float(x[-1]))]
    points = draw(points_for(ranges, draw(st.integers(0, 12))))
    moderate = (np.abs(values) < 1e100).all() and 1e-3 < (x[-1] - x[0]) / (n - 1) < 1e3
    check_evaluations(f, points, ranges, True, draw, kernel, moderate)
    copy = _core.Interpolant1D(x, values, *args[2:])
    assert same_bits(f.evaluate(x), copy.evaluate(x)), "the result depends on the layout of the data"
    if derivative == 0 and moderate:
        # The interpolant meets the data at the knots, up to the rounding of
        # the weights (exactly only at the last knot, where tau is 0).
        assert np.allclose(f.evaluate(x), values, rtol=0, atol=1e-9 * (1 + np.abs(values).max()))


@given(st.data())
def test_interpolant_nd(data):
    draw = data.draw
    shape = tuple(draw(st.lists(st.integers(0, 5), max_size=3)))
    values = data_values(draw, shape)
    (values_arg, owners) = draw(laid_out(values, None))
    values = content(values_arg, values)
    knots, knots_args = [], []
    for n in shape + tuple(draw(st.lists(st.integers(2, 4), max_size=1))):
        x = draw(knot_vector(n + draw(st.sampled_from([0, 0, 0, 0, 0, 1]))))
        arg, x_owners = draw(laid_out(x))
        knots.append(content(arg, x))
        knots_args.append(arg)
        owners += x_owners
    count = max(len(shape) + draw(st.sampled_from([0, 0, 0, 1, -1])), 0)
    knots, knots_args = knots[:count], knots_args[:count]
    pairs = st.lists(st.tuples(conditions, conditions), min_size=len(shape), max_size=len(shape))
    bcs = draw(st.one_of(pairs, pairs, st.sampled_from(["poly", [["poly", "poly"]], None])))
    derivatives = draw(st.one_of(st.lists(orders, min_size=len(shape), max_size=len(shape)),
                                 st.lists(st.integers(-2, 1), max_size=4), st.just("0")))
    args = (knots_args, values_arg, draw(names), bcs, derivatives)
    f = call(_core.InterpolantND, args, model_nd, owners)
    if f is None:
        return
    assert type(f) is _core.InterpolantND
    ranges = [(float(x[0]), float(x[-1])) for x in knots]
    count = draw(st.integers(0, 8))
    points = draw(points_for(ranges, count))
    if draw(st.integers(0, 5)) == 0:  # one coordinate too many or too few
        points = draw(points_for(ranges + ranges[:1], count))[:, :len(ranges) + draw(st.sampled_from([1, -1]))]
    moderate = (np.abs(values) < 1e100).all() and all(
        1e-3 < (x[-1] - x[0]) / (x.size - 1) < 1e3 for x in knots)
    check_evaluations(f, points, ranges, False, draw, args[2], moderate)
    grid = np.stack(np.meshgrid(*knots, indexing="ij"), axis=-1).reshape(-1, len(shape))
    copy = _core.InterpolantND(knots, values, *args[2:])
    assert same_bits(f.evaluate(grid), copy.evaluate(grid)), "the result depends on the layout of the data"
    if all(operator.index(d) == 0 for d in derivatives) and moderate:
        assert np.allclose(f.evaluate(grid), values.reshape(-1), rtol=0, atol=1e-9 * (1 + np.abs(values).max()))
