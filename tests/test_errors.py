"""Every refusal of quorvel._core: exception type, exact message and note, and which check comes first.
One table per entry point; the binding layer, shared by all, has its own."""

import inspect
import pickle
import weakref

import numpy as np
import pytest

import quorvel
from quorvel import _core
from tests.conftest import (NOT_CONTIGUOUS, Index, beyond_limits, cast, check_raises, counts, misaligned, tails,
                            too_few, unknown_condition)

ext, ext_nd, Interpolant1D, InterpolantND = (_core.extended_coefficients, _core.extended_coefficients_nd,
                                             _core.Interpolant1D, _core.InterpolantND)
X6, Y6 = 0.5 * np.arange(6.0), np.ones(6)
K0, K1, V2 = 0.5 * np.arange(6.0), -1.0 + 0.25 * np.arange(5.0), np.ones((6, 5))
F1 = Interpolant1D(X6, Y6, "a1", "poly", "poly", 0)
FN = InterpolantND([K0, K1], V2, "a3", [("poly", "poly")] * 2, [0, 0])
STRIDED, HUGE = np.arange(10.0)[::2], np.array([0.0, 0.5e308, 1e308])


def te(message, note=None, kind=TypeError):
    """A TypeError (or `kind`) with the note of parameter `note`; plain strings are ValueErrors' messages."""
    return kind, message, note


NC, NOT_ARRAY, NOT_INT = te(NOT_CONTIGUOUS), cast("ndarray", "ndarray"), "'float' object cannot be interpreted as " \
    "an integer"
INT32, TOO_WIDE = "out of range integral type conversion attempted", "knots span too wide a range"
NEEDS, UNEVEN = "need at least 2 knots, and as many values as knots", "knots must be uniformly spaced"
NOT_FINITE = "knots must be finite numbers (no NaN or infinity)"
bad_bc, needs, order = unknown_condition, too_few, beyond_limits


@pytest.mark.parametrize(("function", "args", "kwargs", "message"), [
    (_core.kernel_weights, ("a3", 0, 0.5, 1), {}, "takes 3 positional arguments but 4 were given"),
    (_core.kernel_weights, (), {}, "missing 3 required positional arguments: 'kernel', 'order', and 'tau'"),
    (_core.kernel_weights, (), {"order": 0}, "missing 2 required positional arguments: 'kernel' and 'tau'"),
    (_core.kernel_weights, ("a3", 0.5), {"kernel": "a1"}, "got multiple values for argument 'kernel'"),
    (_core.evaluate_polynomial, (1, 2, 3), {}, "takes 2 positional arguments but 3 were given"),
    (ext, (Y6, "a3", "poly"), {}, "missing 1 required positional argument: 'bc_right'"),
    (ext_nd, (V2, "a3", []), {"bcs": []}, "got multiple values for argument 'bcs'"),
    (Interpolant1D, (X6, Y6, "a1", "poly", "poly", 0, 0), {}, "takes 6 positional arguments but 7 were given"),
    (InterpolantND, ([K0, K1], V2, "a3"), {}, "missing 2 required positional arguments: 'bcs' and 'derivatives'"),
    (InterpolantND, ([K0, K1], V2, "a3", []), {"orders": []}, "got an unexpected keyword argument 'orders'"),
    (F1.evaluate, (X6, X6), {}, "takes 1 positional arguments but 2 were given"),
    (FN.evaluate, (), {"point": X6}, "got an unexpected keyword argument 'point'"),
])
def test_binding_errors(function, args, kwargs, message):
    name = function.__qualname__ + (".__new__" if isinstance(function, type) else "")
    check_raises(lambda: function(*args, **kwargs), te(f"{name}() {message}"))


def test_arguments_bind_by_keyword_and_convert_as_python_converts():
    floaty, name = type("Floaty", (), {"__float__": lambda self: 0.25})(), type("Name", (str,), {})("a3")
    for args in [(name, Index(1), floaty), ("a3", np.int64(1), np.float32(0.25)), ("a3", True, 0.25)]:
        assert _core.kernel_weights(*args) == _core.kernel_weights(tau=0.25, order=1, kernel="a3")
    assert _core.kernel_weights("a3", 0, Index(1)) == _core.kernel_weights("a3", 0, 1.0)
    coefs = np.asfortranarray([1.0, 2.0, 3.0])
    coefs.flags.writeable = False
    result = _core.evaluate_polynomial(x=np.array([0.0, 1.0, 2.0]).view(type("Sub", (np.ndarray,), {})), coefs=coefs)
    assert type(result) is np.ndarray and result.tolist() == [1.0, 6.0, 17.0]
    f = Interpolant1D(derivative=-1, bc_right="detect", bc_left="poly", kernel="a3", values=Y6, x=X6)
    assert f.evaluate(points=X6).tolist() == Interpolant1D(X6, Y6, "a3", "poly", "detect", -1).evaluate(X6).tolist()
    g = InterpolantND(derivatives=np.array([-1, 1]), bcs=(("poly", "detect"),) * 2, kernel="a3", values=V2,
                      knots=(K0, K1))
    want = InterpolantND([K0, K1], V2, "a3", [("poly", "detect")] * 2, [-1, 1]).evaluate(np.array([[1.0, -0.5]]))
    assert g.evaluate(points=np.array([[1.0, -0.5]])).tolist() == want.tolist()


@pytest.mark.parametrize(("args", "expected"), [
    ((3, 1.0, 0.5), te(cast("int", "str"), "kernel")),
    (("a\udc003", 0, 0.5), te(None, "kernel", UnicodeEncodeError)),
    (("a3", 1.0, None), te(NOT_INT, "order")),
    (("a3", 2**31, 0.5), te(INT32, "order", OverflowError)),
    (("a3", 2**64, 0.5), te(None, "order", OverflowError)),
    (("a3", 0, "0.5"), te(None, "tau")),
    (("a0", 0, 0.5), "no kernel table for :a0 with order 0"),
    (("a3 ", 0, 0.5), "no kernel table for :a3  with order 0"),
    (("b13", -(2**31), 0.5), "no kernel table for :b13 with order -2147483648"),
])
def test_kernel_weights_refusals(args, expected):
    check_raises(lambda: _core.kernel_weights(*args), expected)


@pytest.mark.parametrize(("coefs", "x", "expected"), [
    ([1.0], None, te(cast("list", "ndarray"), "coefs")),
    (STRIDED, [1.0], te(cast("list", "ndarray"), "x")),  # conversions before contiguity
    (Y6, np.float64(1.0), te(cast("float64", "ndarray"), "x")),
    (Y6, np.ones(3, np.float32), te(NOT_ARRAY, "x")),
    (V2, Y6, te(NOT_ARRAY, "coefs")),
    (STRIDED, Y6, NC),
    (misaligned(Y6), Y6, NC),
])
def test_evaluate_polynomial_refusals(coefs, x, expected):
    check_raises(lambda: _core.evaluate_polynomial(coefs, x), expected)


@pytest.mark.parametrize(("args", "expected"), [
    (([1.0], 3, "poly", "poly"), te(cast("list", "ndarray"), "values")),
    ((Y6, "a3", "poly", None), te(cast("None", "str"), "bc_right")),
    ((STRIDED, "zz", "poly", "Poly"), bad_bc("Poly")),  # names before contiguity
    ((STRIDED, "zz", "poly", "poly"), NC),  # contiguity before the kernel
    ((STRIDED[:0], "a3", "poly", "poly"), needs(2, 0)),  # empty is contiguous
    ((Y6[:1], "zz", "Poly", "x"), bad_bc("Poly")),
    ((Y6[:1], "zz", "poly", "poly"), 'unknown kernel "zz"'),
    ((Y6[:1], "a3", "poly", "detect"), needs(2, 1)),
    ((Y6[:1], "b13", "quadratic", "linear"), needs(3, 1)),
    ((Y6[:2], "a3", "linear", "quadratic"), needs(3, 2)),
    ((Y6[:0], "a0", "detect", "detect\n\0"), bad_bc("detect\n\0")),
])
def test_extended_coefficients_refusals(args, expected):
    check_raises(lambda: ext(*args), expected)


@pytest.mark.parametrize(("shape", "kernel", "bcs", "expected"), [
    ((3,), None, [], te(cast("None", "str"), "kernel")),
    ((3,), "a3", [("poly",)], te("expected tuple of length 2, but got tuple of length 1", "bcs")),
    ((3, 4), "zz", [("poly", "poly"), ("poly", "Linear")], bad_bc("Linear")),
    ((3, 4), "zz", [("poly", "poly")], 'unknown kernel "zz"'),
    ((3, 4), "a3", [("poly", "poly")], "1 boundary condition pairs given for 2-dimensional data"),
    ((), "a1", [("poly", "poly")], "1 boundary condition pairs given for 0-dimensional data"),
    ((3, 0), "a3", [("poly", "poly"), ("quadratic", "linear")], needs(3, 0)),
    ((1, 0), "a3", [("linear", "linear")] * 2, needs(2, 1)),
    ((5, 2), "b13", [("poly", "poly"), ("linear", "quadratic")], needs(3, 2)),
])
def test_extended_coefficients_nd_refusals(shape, kernel, bcs, expected):
    check_raises(lambda: ext_nd(np.zeros(shape), kernel, bcs), expected)


@pytest.mark.parametrize(("changes", "expected"), [
    ({"x": list(X6), "kernel": 3}, te(cast("list", "ndarray"), "x")),
    ({"x": X6.reshape(2, 3)}, te(NOT_ARRAY, "x")),
    ({"values": Y6.astype(np.int64), "x": X6[::2]}, te(NOT_ARRAY, "values")),
    ({"kernel": b"a3"}, te(cast("bytes", "str"), "kernel")),
    ({"bc_right": None}, te(cast("None", "str"), "bc_right")),
    ({"derivative": 2**31}, te(INT32, "derivative", OverflowError)),
    ({"derivative": 1.0}, te(NOT_INT, "derivative")),
    # contiguity of x, then of values, before any count or name
    ({"x": X6[::-1], "values": Y6[:2]}, NC),
    ({"values": np.ones(12)[::2], "kernel": "zz"}, NC),
    ({"x": X6[:1], "values": Y6[:1]}, NEEDS),
    ({"x": X6[:3], "values": Y6[:4]}, NEEDS),
    ({"x": STRIDED[:0], "values": Y6[:0]}, NEEDS),
    # the knots, before the kernel
    ({"x": np.array([0.0, 1.0, 2.0, 3.0, 4.0, np.inf]), "kernel": "zz"}, NOT_FINITE),
    ({"x": np.ones(6)}, "knots must be increasing"),
    ({"x": np.array([-1e308, 0.0, 1e308]), "values": Y6[:3], "kernel": "zz"}, TOO_WIDE),
    ({"x": np.array([0.0, 1.0, 2.1, 3.0]), "values": Y6[:4], "kernel": "zz"}, UNEVEN),
    ({"x": np.array([-1.0, np.nextafter(1e-8, 1), 1.0]), "values": Y6[:3]}, UNEVEN),
    # the kernel and order, before the boundary conditions
    ({"kernel": "A3", "bc_right": "Poly"}, 'unknown kernel "A3"'),
    ({"kernel": "a", "derivative": 5}, 'unknown kernel "a"'),
    ({"kernel": "b13", "derivative": 2**31 - 1, "bc_left": "Poly"}, order("b13", 2**31 - 1)),
    ({"kernel": "a0", "derivative": -3}, order("a0", -3)),
    ({"derivative": -(2**31)}, order("a3", -(2**31))),
    # boundary conditions, left first, then the extension, then the extended grid's range
    ({"bc_left": "Poly", "bc_right": ""}, bad_bc("Poly")),
    ({"kernel": "a0", "bc_right": "detect ", "derivative": -2}, bad_bc("detect ")),
    ({"x": X6[:2], "values": Y6[:2], "bc_left": "linear", "bc_right": "quadratic"}, needs(3, 2)),
    ({"x": HUGE, "values": Y6[:3], "kernel": "a7", "bc_left": "Poly"}, bad_bc("Poly")),
    ({"x": HUGE, "values": Y6[:3], "kernel": "a7"}, TOO_WIDE),
    ({"x": np.array([-1.6e308, -1.4e308]), "values": Y6[:2], "kernel": "b13"}, TOO_WIDE),
])
def test_interpolant_1d_refusals(changes, expected):
    arguments = {"x": X6, "values": Y6, "kernel": "a3", "bc_left": "poly", "bc_right": "poly", "derivative": 0}
    check_raises(lambda: Interpolant1D(**arguments | changes), expected)


BIG = {"knots": [np.linspace(0, 1, 513), np.linspace(0, 1, 261633)], "values": np.broadcast_to(0.0, (513, 261633))}
CUBE = {"knots": [np.linspace(0, 1, 130)] * 2 + [K0[:2]], "values": np.broadcast_to(0.0, (130, 130, 2)),
        "kernel": "b13", "derivatives": [-8] * 3}


@pytest.mark.parametrize(("changes", "expected"), [
    ({"knots": "ab"}, te("Can't extract `str` to `Vec`", "knots")),
    ({"knots": 3, "kernel": 3}, te(cast("int", "Sequence"), "knots")),
    ({"knots": [list(K0), K1]}, te(cast("list", "ndarray"), "knots")),
    ({"values": V2.astype(np.int64), "kernel": b"a3"}, te(NOT_ARRAY, "values")),
    ({"bcs": [["poly", "poly"]] * 2}, te(cast("list", "tuple"), "bcs")),
    ({"derivatives": [0, 2**31]}, te(INT32, "derivatives", OverflowError)),
    # dimensions and counts, then the kernel, before any knot
    ({"values": np.array(1.0), "kernel": "zz"}, "the data must have at least one axis"),
    ({"knots": [K0, K1, K1]}, counts(2, 3, 2, 2)),
    ({"bcs": [("poly", "poly")], "kernel": "zz"}, counts(2, 2, 1, 2)),
    ({"derivatives": []}, counts(2, 2, 2, 0)),
    ({"kernel": "A3", "knots": [K0[::-1], K1]}, 'unknown kernel "A3"'),
    # each axis in turn: contiguity, counts, knots, range, then its order
    ({"knots": [K0[::-1], K1]}, NC),
    ({"knots": [K0, STRIDED], "derivatives": [0, 9]}, NC),
    ({"knots": [K0[:5], K1[::-1]]}, "axis 0: 5 knots for 6 values"),
    ({"knots": [K0[:1], K1], "values": V2[:1]}, "axis 0: need at least 2 knots"),
    ({"knots": [K0, np.array([0.0, 1.0, np.nan, 3.0, 4.0])]}, f"axis 1: {NOT_FINITE}"),
    ({"knots": [K0[::-1].copy(), K1]}, "axis 0: knots must be increasing"),
    ({"knots": [np.array([-1e308, 1e308]), K1], "values": V2[:2]}, f"axis 0: {TOO_WIDE}"),
    ({"knots": [HUGE, K1], "values": V2[:3], "kernel": "a7", "bcs": [("Poly", "poly")] * 2, "derivatives": [9, 0]},
     f"axis 0: {TOO_WIDE}"),  # the extended end
    ({"knots": [K0, np.array([-1.6e308, -1.4e308])], "values": V2[:, :2], "kernel": "b13"},
     f"axis 1: {TOO_WIDE}"),  # the origin
    ({"knots": [np.array([0.0, 2.0, 1.0, 3.0, 4.0, 5.0]), K1]}, f"axis 0: {UNEVEN}"),
    ({"derivatives": [0, 2], "bcs": [("poly", "Poly")] * 2}, order("a3", 2, "axis 1: ")),
    ({"derivatives": [2, 0], "knots": [K0, K1[:4]]}, order("a3", 2, "axis 0: ")),
    ({"derivatives": [-2, -3], "kernel": "a0"}, order("a0", -3, "axis 1: ")),
    # boundary conditions after every axis, in axis order and left before right; then the extension
    ({"bcs": [("poly", ""), ("Poly", "poly")]}, bad_bc("")),
    ({"bcs": [("poly", "poly"), ("linear", "detect ")], "kernel": "a0", "derivatives": [-2, 0]}, bad_bc("detect ")),
    ({"knots": [K0, K1[:2]], "values": V2[:, :2], "bcs": [("poly", "poly"), ("linear", "quadratic")]}, needs(3, 2)),
    # the tails, on grids too large to allocate: one coefficient above the limit, and more
    (BIG | {"kernel": "a1", "derivatives": [-2, 0]}, tails("2.0")),
    (BIG | {"kernel": "a0", "derivatives": [-1, -1]}, tails("3.0")),
    (CUBE | {"bcs": [("poly", "poly")] * 2 + [("quadratic", "poly")]}, needs(3, 2)),
    (CUBE | {"bcs": [("poly", "poly")] * 3}, tails("2.1")),
])
def test_interpolant_nd_refusals(changes, expected):
    arguments = {"knots": [K0, K1], "values": V2, "kernel": "a3", "bcs": [("poly", "poly")] * 2, "derivatives": [0, 0]}
    check_raises(lambda: InterpolantND(**arguments | changes), expected)


@pytest.mark.parametrize(("knots", "kernel", "orders"), [
    ([np.array([0.0, 1.0])], "b13", [-8]),  # two knots are enough
    ([np.array([-1.0, 1e-8, 1.0])], "a3", [0]),  # off by exactly 1e-8 h
    ([np.array([-1e300, 1e300])], "b13", [0]),
    ([HUGE, K1], "a1", [0, -1]),  # no ghosts, no extended end
    ([np.linspace(0, 1, 12)] * 3, "b13", [-8, -8, -8]),  # every region, blocks of 8 to 512 terms
])
def test_edge_cases_are_accepted(knots, kernel, orders):
    values, ends = np.ones([len(x) for x in knots]), np.array([[x[0] for x in knots], [x[-1] for x in knots]])
    f = InterpolantND(knots, values, kernel, [("poly", "detect")] * len(knots), orders)
    if len(knots) == 1:
        f, ends = Interpolant1D(*knots, values, kernel, "poly", "detect", *orders), ends[:, 0]
    assert np.isfinite(f.evaluate(ends)).all()


def block(x, point):
    """Inside points, the offender, NaN and a later offender, past full blocks of every lane count."""
    return np.r_[np.full(9, x[0]), point, np.nan, x[-1], x[-1] + 1, np.full(4, x[0])]


A11, AB = np.arange(11.0), np.array([-0.3, 0.6])


@pytest.mark.parametrize(("kernel", "derivative"), [("a0", 0), ("a1", 0), ("a3", 1), ("b13", 0), ("a0", -2),
                                                    ("a3", -1), ("b13", -8)])
@pytest.mark.parametrize(("x", "points", "expected"), [
    (A11, np.array([11.0]), "point 11 lies outside the data range [0, 10]"),
    (A11, block(A11, -np.inf), "point -inf lies outside the data range [0, 10]"),
    (AB, block(AB, np.nextafter(-0.3, -1)), "point -0.30000000000000004 lies outside the data range [-0.3, 0.6]"),
    (AB, block(AB, np.nextafter(0.6, 1)), "point 0.6000000000000001 lies outside the data range [-0.3, 0.6]"),
    (A11, [0.5], te(cast("list", "ndarray"), "points")),
    (A11, np.zeros((1, 1)), te(NOT_ARRAY, "points")),
    (A11, np.zeros(2, np.float32), te(NOT_ARRAY, "points")),
])
def test_interpolant_1d_evaluate_refusals(kernel, derivative, x, points, expected):
    """Both ends are inside; the first point outside is named."""
    f = Interpolant1D(x, np.ones(len(x)), kernel, "linear", "linear", derivative)
    assert np.isfinite(f.evaluate(x[[0, -1]])).all()
    check_raises(lambda: f.evaluate(points), expected)


def outside(*changes):
    points = np.tile([0.25, 1.0], (11, 1))
    for p, a, x in changes:
        points[p, a] = x
    return points


@pytest.mark.parametrize(("kernel", "derivatives"), [("a3", [0, 1]), ("a0", [0, 0]), ("b5", [-2, 0]), ("a0", [0, -2])])
@pytest.mark.parametrize(("points", "expected"), [
    (outside((0, 1, 0.0)), "coordinate 0 on axis 1 lies outside the data range [0.0000001, 2.0000001]"),
    (outside((0, 0, np.nextafter(-0.3, -1))), "coordinate -0.30000000000000004 on axis 0 lies outside the data range "
     "[-0.3, 0.6]"),
    (outside((0, 0, np.nextafter(0.6, 1))), "coordinate 0.6000000000000001 on axis 0 lies outside the data range "
     "[-0.3, 0.6]"),
    (outside((0, 0, np.inf), (0, 1, np.nan)), "coordinate inf on axis 0 lies outside the data range [-0.3, 0.6]"),
    # the first point in point order, then within it the first axis
    (outside((3, 1, 3.0), (3, 0, np.nan), (6, 0, 9.0)), "coordinate 3 on axis 1 lies outside the data range "
     "[0.0000001, 2.0000001]"),
    (outside((9, 1, 3.0), (9, 0, 1.0), (10, 0, -1)), "coordinate 1 on axis 0 lies outside the data range [-0.3, 0.6]"),
    (None, te(cast("None", "ndarray"), "points")),
    (np.zeros(2), te(NOT_ARRAY, "points")),
    (np.zeros((1, 2), np.int64), te(NOT_ARRAY, "points")),
    (np.zeros((3, 3)), "points must have 2 coordinates each, got 3"),
    (np.zeros((0, 1)), "points must have 2 coordinates each, got 1"),
])
def test_interpolant_nd_evaluate_refusals(kernel, derivatives, points, expected):
    """Both ends of every axis are inside; in blocks and alone, the first coordinate outside is named."""
    f = InterpolantND([np.linspace(-0.3, 0.6, 10), 1e-7 + np.arange(3.0)], np.ones((10, 3)), kernel,
                      [("linear", "linear")] * 2, derivatives)
    assert np.isfinite(f.evaluate(np.array([[-0.3, 1e-7], [0.6, 2.0000001], [-0.3, 2.0000001], [0.6, 1e-7]]))).all()
    for rows in [points] if "lies outside" not in expected else [points, np.asfortranarray(points),
                                                                  np.concatenate([np.full((5, 2), 0.5), points])]:
        check_raises(lambda: f.evaluate(rows), expected)


def test_module_surface_and_closed_classes():
    assert [(name, str(inspect.signature(getattr(_core, name)))) for name in _core.__all__] == [
        ("evaluate_polynomial", "(coefs, x)"), ("kernel_weights", "(kernel, order, tau)"),
        ("extended_coefficients", "(values, kernel, bc_left, bc_right)"),
        ("extended_coefficients_nd", "(values, kernel, bcs)"),
        ("Interpolant1D", "(x, values, kernel, bc_left, bc_right, derivative)"),
        ("InterpolantND", "(knots, values, kernel, bcs, derivatives)")]
    assert issubclass(quorvel.PanicException, BaseException) and not issubclass(quorvel.PanicException, Exception)
    for cls, f in ((Interpolant1D, F1), (InterpolantND, FN)):
        assert cls.evaluate.__text_signature__ == "($self, points)" and not hasattr(f, "__dict__")
        for refused in (lambda: weakref.ref(f), lambda: pickle.dumps(f), lambda: type("Derived", (cls,), {}),
                        lambda: setattr(cls, "evaluate", None), lambda: setattr(f, "evaluate", None)):
            with pytest.raises((TypeError, AttributeError)):
                refused()
