"""Fuzzing of the interpolants with arguments valid, slightly wrong and absurd, in every array layout.  A model of
the argument rules predicts success or the one exception, message and note; results must not depend on the layout
or the batch; inputs come back unchanged and unreferenced."""

import gc
import math
import operator
import sys
from decimal import Decimal
from fractions import Fraction

import numpy as np
from hypothesis import given
from hypothesis import strategies as st

import quorvel
from quorvel import _core
from tests.conftest import (KERNELS, NOT_CONTIGUOUS, Index, beyond_limits, cast, counts, quoted, same_bits, tails,
                            too_few, unknown_condition)

CONDITIONS = ["poly", "linear", "quadratic", "detect"]
Sub = type("Sub", (np.ndarray,), {})


def number(value):
    """Shortest round-trip decimal, never with an exponent."""
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    text = format(Decimal(repr(float(value))), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


# --- The model: raises Refused(exception type, message or None, note or None) ---------------------------------


class Refused(Exception):
    pass


def refuse(message, kind=ValueError):
    """Raises the predicted refusal; a ValueError without a message is none."""
    if message or kind is not ValueError:
        raise Refused(kind, message, None)


def conversion_error(kind, obj):
    """(exception type, message or None) for an argument of `kind` that the binding refuses, else None."""
    shown = "None" if obj is None else type(obj).__name__
    if kind.startswith("array"):
        if (not isinstance(obj, np.ndarray) or obj.dtype != np.dtype("=f8")
                or kind != "arrayN" and obj.ndim != int(kind[-1])):
            return TypeError, cast(shown, "ndarray")
    elif kind == "str":
        if not isinstance(obj, str):
            return TypeError, cast(shown, "str")
        if any(0xD800 <= ord(c) <= 0xDFFF for c in obj):
            return UnicodeEncodeError, None
    elif kind == "int32":
        if not isinstance(obj, (int, Index)):
            return TypeError, None
        if not -(2**31) <= operator.index(obj) < 2**31:
            in_64_bits = -(2**63) <= operator.index(obj) < 2**63
            return OverflowError, "out of range integral type conversion attempted" if in_64_bits else None
    elif kind == "pair":
        if not isinstance(obj, tuple):
            return TypeError, cast(shown, "tuple")
        if len(obj) != 2:
            return TypeError, f"expected tuple of length 2, but got tuple of length {len(obj)}"
        return conversion_error("str", obj[0]) or conversion_error("str", obj[1])
    elif isinstance(obj, str):  # "[item kind]": a sequence
        return TypeError, "Can't extract `str` to `Vec`"
    elif not isinstance(obj, (list, tuple, np.ndarray)):
        return TypeError, cast(shown, "Sequence")
    else:
        return next(filter(None, (conversion_error(kind[1:-1], item) for item in obj)), None)
    return None


def convert(**params):
    for name, (kind, obj) in params.items():
        if error := conversion_error(kind, obj):
            raise Refused(*error, f"while processing '{name}'")


def require_contiguous(array):
    if array.size and not (array.flags.aligned and (array.flags.c_contiguous or array.flags.f_contiguous)):
        refuse(NOT_CONTIGUOUS, TypeError)


def half_width(kernel):
    refuse(None if kernel in KERNELS else f"unknown kernel {quoted(kernel)}")
    return KERNELS[kernel][0] // 2


def check_extension(shape, kernel, bcs):
    ghosts = half_width(kernel) - 1
    for name in (name for pair in bcs for name in pair):
        refuse(None if name in CONDITIONS else unknown_condition(name))
    if len(bcs) != len(shape):
        refuse(f"{len(bcs)} boundary condition pairs given for {len(shape)}-dimensional data")
    if math.prod(max(n + 2 * ghosts, 1) for n in shape) > 2**63 - 1:
        refuse(None, quorvel.PanicException)
    for n, needed in ((n, 3 if name == "quadratic" else 2) for n, pair in zip(shape, bcs) for name in pair):
        refuse(too_few(needed, n) if ghosts and n < needed else None)


def check_knots(x, prefix, hw=1):
    refuse(None if np.isfinite(x).all() else prefix + "knots must be finite numbers (no NaN or infinity)")
    first, last = float(x[0]), float(x[-1])
    h = (last - first) / (x.size - 1)
    refuse(None if h > 0 else prefix + "knots must be increasing")
    origin, far_end = first - h * (hw - 1), last + h * (hw - 1)

    def off(end, knot, side):  # spacings from the end's exact place
        return abs(Fraction(end) - Fraction(knot) - side * (hw - 1) * Fraction(h)) / Fraction(h)

    finite = all(map(math.isfinite, (h, origin, last - origin, far_end)))
    exact = finite and max(off(origin, first, -1), off(far_end, last, 1)) <= 1e-3
    refuse(None if exact else prefix + "knots span too wide a range")
    with np.errstate(all="ignore"):
        uneven = (np.abs(x - (first + h * np.arange(x.size))) > h * 1e-8).any()
    refuse(prefix + "knots must be uniformly spaced" if uneven else None)


def model_1d(x, values, kernel, bc_left, bc_right, derivative):
    convert(x=("array1", x), values=("array1", values), kernel=("str", kernel), bc_left=("str", bc_left),
            bc_right=("str", bc_right), derivative=("int32", derivative))
    require_contiguous(x)
    require_contiguous(values)
    refuse("need at least 2 knots, and as many values as knots" if x.size < 2 or values.size != x.size else None)
    check_knots(x, "")  # the spacing here, the extended origin after the extension
    half_width(kernel)
    refuse(beyond_limits(kernel, operator.index(derivative)))
    check_extension(values.shape, kernel, [(bc_left, bc_right)])
    check_knots(x, "", half_width(kernel))


def model_nd(knots, values, kernel, bcs, derivatives):
    convert(knots=("[array1]", knots), values=("arrayN", values), kernel=("str", kernel), bcs=("[pair]", bcs),
            derivatives=("[int32]", derivatives))
    n = values.ndim
    refuse(None if n else "the data must have at least one axis")
    lengths = (len(knots), len(bcs), len(derivatives))
    refuse(None if lengths == (n, n, n) else counts(n, *lengths))
    hw = half_width(kernel)
    for i, (x, d) in enumerate(zip(knots, map(operator.index, derivatives))):
        require_contiguous(x)
        refuse(f"axis {i}: {x.size} knots for {values.shape[i]} values" if x.size != values.shape[i] else None)
        refuse(f"axis {i}: need at least 2 knots" if x.size < 2 else None)
        check_knots(x, f"axis {i}: ", hw)
        refuse(beyond_limits(kernel, d, f"axis {i}: "))
    check_extension(values.shape, kernel, bcs)
    need = (math.prod(1.0 + max(-operator.index(d), 0) for d in derivatives) - 1.0) * 8.0 * math.prod(
        n + 2 * hw - 2 for n in values.shape)
    refuse(tails(f"{need / 2**30:.1f}") if need > 2.0**31 else None)


def model_evaluate(points, ranges, one_dimensional):
    convert(points=("array1" if one_dimensional else "array2", points))
    rows = points[:, None] if one_dimensional else points
    refuse(f"points must have {len(ranges)} coordinates each, got {rows.shape[1]}" if rows.shape[1] != len(ranges)
           else None)
    for row in rows:
        for axis, (x, (first, last)) in enumerate(zip(row, ranges)):
            where = f"point {number(x)}" if one_dimensional else f"coordinate {number(x)} on axis {axis}"
            refuse(f"{where} lies outside the data range [{number(first)}, {number(last)}]" if first > x or x > last
                   else None)


def call(function, args, model, owners=()):
    """Calls function(*args) as the model predicts; returns the result or None."""
    try:
        expected = model(*args)
    except Refused as refused:
        expected = refused.args
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
            kind, message, note = expected
            assert type(outcome) is kind, f"{outcome!r} instead of {kind.__name__}"
            assert message in (None, str(outcome)) and getattr(outcome, "__notes__", []) == ([note] if note else [])
            outcome = None
        assert [sys.getrefcount(a) for a in arrays] == references, "the module kept a reference to an input"
    finally:
        gc.enable()
    assert [owner.tobytes() for owner in owners] == snapshot, "an input was modified"
    return outcome


# --- Strategies --------------------------------------------------------------------------------------------------

any_float = st.one_of(st.floats(), st.sampled_from([0.0, -0.0, math.nan, math.inf, -math.inf, 5e-324, 1.8e308]))
orders = st.one_of(st.integers(-9, 8), st.sampled_from([2**31 - 1, -(2**31), 2**31, -(2**31) - 1, 2**63, -(2**64)]),
                   st.integers(), st.builds(Index, st.integers(-9, 8)), st.sampled_from([1.0, None, "1"]))
names = st.one_of(
    st.sampled_from([*KERNELS, "A3", "a3 ", " a3", "b1", "b3", "b111", "B5", "a", "", "a3\0", 'a"3', "a\\3", "b1\t3"]),
    st.text(max_size=5), st.text(st.characters(categories=["Cs"]), min_size=1, max_size=2),
    st.sampled_from([None, 3, b"a3", ["a3"]]))
conditions = st.one_of(st.sampled_from(CONDITIONS * 2), st.text(max_size=4),
                       st.sampled_from(["Poly", " poly", "", "detect\n\0", "linéar", None]))
JUNK = [[1.0, 2.0], None, 3.0, np.float64(1.0), np.zeros(3, np.float32), np.arange(3), np.zeros(3, ">f8"),
        np.zeros((2, 2), ">f8"), np.zeros(3, complex), np.zeros(0, object)]
WRONG_DIMS = {1: [np.zeros(()), np.zeros((2, 2))], 2: [np.zeros(()), np.zeros(3)], None: []}


@st.composite
def laid_out(draw, content, dims=1, contiguous=False):
    """`content` in a drawn memory layout, or now and then something refused as an array of `dims` dimensions:
    (object passed, arrays owning its memory, what it holds: a broadcast repeats part of `content`)."""
    if not contiguous and draw(st.integers(0, 19)) == 0:
        return draw(st.sampled_from(JUNK + WRONG_DIMS[dims])), [], content
    layouts = ["c", "f", "readonly", "sub"] + ([] if contiguous else ["strided", "broadcast", "misaligned"])
    layout = draw(st.sampled_from(layouts))
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


def floats_like(draw, shape, elements=None):
    if elements is None:
        elements = draw(st.sampled_from([st.floats(-1e3, 1e3), st.integers(-9, 9), any_float]))
    size = math.prod(shape)
    return np.array(draw(st.lists(elements, min_size=size, max_size=size)), dtype=np.float64).reshape(shape)


@st.composite
def knot_vector(draw, n, valid=False):
    kind = draw(st.sampled_from(["integer", "uniform"] if valid else ["integer", "integer", "uniform", "perturbed",
                                                                       "wild"]))
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
def points_for(draw, ranges, count, inside_only=False):
    def coordinate(first, last):
        inside = st.floats(0, 1).map(lambda f: min(max(first + (last - first) * f, first), last))
        outside = st.one_of(any_float, st.sampled_from([np.nextafter(first, -math.inf), np.nextafter(last, math.inf)]))
        return st.one_of(inside, inside, st.sampled_from([first, last, math.nan]), *[] if inside_only else [outside])

    return np.array([[draw(coordinate(*r)) for r in ranges] for _ in range(count)]).reshape(count, len(ranges))


# --- The interpolants: construction and evaluation in every layout -----------------------------------------------


def check_interpolant(draw, f, knots, values, args):
    """Evaluates as the model predicts: the bits depend on nothing but each point, nor on the data's layout."""
    ranges = [(float(x[0]), float(x[-1])) for x in knots]
    one_dimensional = isinstance(f, _core.Interpolant1D)
    points = draw(points_for(ranges, draw(st.integers(0, 20)), draw(st.booleans())))  # past blocks of any width
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
    nan_rows = np.isnan(rows).any(axis=1)
    assert np.isnan(result[nan_rows]).all()
    if (np.abs(values) < 1e100).all() and all(1e-3 < (x[-1] - x[0]) / (x.size - 1) < 1e3 for x in knots):
        assert np.isfinite(result[~nan_rows]).all()
        if all(operator.index(d) == 0 for d in ([args[-1]] if one_dimensional else args[-1])):
            # the data at the knots, up to the rounding of the weights
            assert np.allclose(f.evaluate(grid), values.reshape(-1), rtol=0, atol=1e-9 * (1 + abs(values).max()))


def valid_or_not(data):
    """Half the draws take acceptable arguments only, so that evaluation is fuzzed too."""
    valid = data.draw(st.booleans())
    kernel = data.draw(st.sampled_from(list(KERNELS)) if valid else names)
    order = st.integers(-KERNELS[kernel][2], KERNELS[kernel][1]) if valid else orders
    return valid, kernel, st.sampled_from(CONDITIONS) if valid else conditions, order


@given(st.data())
def test_interpolant_1d(data):
    valid, kernel, condition, order = valid_or_not(data)
    n = data.draw(st.integers(3 if valid else 0, 14))
    x_arg, x_owners, x = data.draw(laid_out(data.draw(knot_vector(n, valid)), contiguous=valid))
    values_shape = (max(n + data.draw(st.sampled_from([0] if valid else [0, 0, 0, 0, 1, -1])), 0),)
    values_arg, values_owners, values = data.draw(laid_out(floats_like(data.draw, values_shape), contiguous=valid))
    args = (x_arg, values_arg, kernel, data.draw(condition), data.draw(condition), data.draw(order))
    f = call(_core.Interpolant1D, args, model_1d, x_owners + values_owners)
    if f is not None:
        check_interpolant(data.draw, f, [x], values, args)


@given(st.data())
def test_interpolant_nd(data):
    valid, kernel, condition, order = valid_or_not(data)
    shape = tuple(data.draw(st.lists(st.integers(3 if valid else 0, 5), min_size=valid, max_size=3)))
    values_arg, owners, values = data.draw(laid_out(floats_like(data.draw, shape), None, contiguous=valid))
    count = max(len(shape) + data.draw(st.sampled_from([0] if valid else [0, 0, 0, 1, -1])), 0)
    knots_args, knots = [], []
    for n in (shape + (3,))[:count]:
        n += data.draw(st.sampled_from([0] if valid else [0] * 5 + [1]))
        arg, x_owners, x = data.draw(laid_out(data.draw(knot_vector(n, valid)), contiguous=valid))
        knots_args, knots, owners = knots_args + [arg], knots + [x], owners + x_owners
    pairs_of = st.lists(st.tuples(condition, condition), min_size=len(shape), max_size=len(shape))
    junk = st.sampled_from(["poly", [["poly", "poly"]], None])
    bcs = data.draw(pairs_of if valid else st.one_of(pairs_of, pairs_of, junk))
    derivatives = data.draw(st.lists(order, min_size=len(shape), max_size=len(shape)) if valid else st.one_of(
        st.lists(orders, min_size=len(shape), max_size=len(shape)), st.lists(st.integers(-2, 1), max_size=4),
        st.just("0")))
    args = (knots_args, values_arg, kernel, bcs, derivatives)
    f = call(_core.InterpolantND, args, model_nd, owners)
    if f is not None:
        check_interpolant(data.draw, f, knots, values, args)
