"""The binding layer: argument binding, conversions, notes and module surface."""

import inspect
import operator

import numpy as np
import pytest

import quorvel
from quorvel import _core


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", [])


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 0.25


def test_all_lists_registered_names_in_order():
    assert _core.__all__[:2] == ["evaluate_polynomial", "kernel_weights"]
    assert all(hasattr(_core, name) for name in _core.__all__)
    assert issubclass(quorvel.PanicException, BaseException)
    assert not issubclass(quorvel.PanicException, Exception)


@pytest.mark.parametrize(
    ("function", "signature"),
    [
        (_core.kernel_weights, "(kernel, order, tau)"),
        (_core.evaluate_polynomial, "(coefs, x)"),
    ],
)
def test_text_signatures(function, signature):
    assert function.__text_signature__ == signature
    assert str(inspect.signature(function)) == signature
    assert function.__module__ == "quorvel._core"


def test_docstrings():
    assert _core.kernel_weights.__doc__ == (
        'Python-visible (for testing): the weights of all stencil columns of `kernel` (e.g. "b5")\n'
        "for derivative order `order`, at `tau` = 1 \u2212 t."
    )
    assert _core.evaluate_polynomial.__doc__ == (
        "Python-visible: evaluate the polynomial at every point of the NumPy array `x`."
    )
    assert _core.__doc__ == "The module definition: what Python sees when it imports quorvel._core."


def test_keywords_and_positions_bind_alike():
    expected = _core.kernel_weights("a3", 0, 0.25)
    assert _core.kernel_weights(kernel="a3", order=0, tau=0.25) == expected
    assert _core.kernel_weights("a3", tau=0.25, order=0) == expected


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: _core.kernel_weights("a3", 0, 0.5, 1), "kernel_weights() takes 3 positional arguments but 4 were given"),
        (lambda: _core.evaluate_polynomial(1, 2, 3), "evaluate_polynomial() takes 2 positional arguments but 3 were given"),
        (lambda: _core.kernel_weights("a3", 0, tau=0.5, power=1), "kernel_weights() got an unexpected keyword argument 'power'"),
        (lambda: _core.kernel_weights("a3", 0, 0.5, kernel="a1"), "kernel_weights() got multiple values for argument 'kernel'"),
        (lambda: _core.kernel_weights("a3", 0), "kernel_weights() missing 1 required positional argument: 'tau'"),
        (lambda: _core.kernel_weights("a3"), "kernel_weights() missing 2 required positional arguments: 'order' and 'tau'"),
        (lambda: _core.kernel_weights(), "kernel_weights() missing 3 required positional arguments: 'kernel', 'order', and 'tau'"),
        (lambda: _core.kernel_weights(order=0), "kernel_weights() missing 2 required positional arguments: 'kernel' and 'tau'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message
    assert notes(excinfo) == []


@pytest.mark.parametrize(
    ("kwargs", "exc_type", "message", "param"),
    [
        ({"kernel": 3}, TypeError, "'int' object is not an instance of 'str'", "kernel"),
        ({"kernel": None}, TypeError, "'None' is not an instance of 'str'", "kernel"),
        ({"kernel": b"a3"}, TypeError, "'bytes' object is not an instance of 'str'", "kernel"),
        ({"order": 1.0}, TypeError, "'float' object cannot be interpreted as an integer", "order"),
        ({"order": None}, TypeError, None, "order"),
        ({"order": 2**31}, OverflowError, "out of range integral type conversion attempted", "order"),
        ({"order": -(2**31) - 1}, OverflowError, "out of range integral type conversion attempted", "order"),
        ({"order": 2**64}, OverflowError, None, "order"),
        ({"tau": "0.5"}, TypeError, None, "tau"),
        ({"tau": None}, TypeError, None, "tau"),
    ],
)
def test_scalar_conversion_errors(kwargs, exc_type, message, param):
    arguments = {"kernel": "a3", "order": 0, "tau": 0.5} | kwargs
    with pytest.raises(exc_type) as excinfo:
        _core.kernel_weights(**arguments)
    assert type(excinfo.value) is exc_type
    if message is not None:
        assert str(excinfo.value) == message
    assert notes(excinfo) == [f"while processing '{param}'"]


def test_lone_surrogate_raises_the_interpreters_encode_error():
    with pytest.raises(UnicodeEncodeError) as excinfo:
        _core.kernel_weights("a\udc003", 0, 0.5)
    assert notes(excinfo) == ["while processing 'kernel'"]


def test_conversions_accept_what_python_converts():
    expected = _core.kernel_weights("a3", 1, 0.25)
    assert _core.kernel_weights(type("Name", (str,), {})("a3"), Index(1), Floaty()) == expected
    assert _core.kernel_weights("a3", np.int64(1), np.float32(0.25)) == expected
    assert _core.kernel_weights("a3", True, 0.25) == expected
    assert _core.kernel_weights("a3", 0, 1) == _core.kernel_weights("a3", 0, 1.0)
    assert _core.kernel_weights("a3", 0, Index(1)) == _core.kernel_weights("a3", 0, 1.0)


def misaligned(n):
    raw = np.zeros(8 * n + 1, dtype=np.uint8)
    array = raw[1:].view(np.float64)
    array[:] = np.arange(n, dtype=np.float64)
    assert not array.flags.aligned
    return array


@pytest.mark.parametrize(
    "bad",
    [
        [1.0, 2.0],
        np.arange(3, dtype=np.float32),
        np.arange(3, dtype=np.int64),
        np.arange(3, dtype=">f8"),
        np.zeros((2, 2)),
        np.float64(1.0),
        None,
    ],
    ids=["list", "float32", "int64", "big-endian", "2-D", "scalar", "None"],
)
@pytest.mark.parametrize("param", ["coefs", "x"])
def test_array_conversion_errors(bad, param):
    arguments = {"coefs": np.ones(2), "x": np.ones(3)} | {param: bad}
    with pytest.raises(TypeError) as excinfo:
        _core.evaluate_polynomial(**arguments)
    name = "None" if bad is None else type(bad).__name__
    shown = "'None' is not" if bad is None else f"'{name}' object is not"
    assert str(excinfo.value) == f"{shown} an instance of 'ndarray'"
    assert notes(excinfo) == [f"while processing '{param}'"]


@pytest.mark.parametrize(
    "coefs",
    [np.arange(6.0)[::2], np.arange(4.0)[::-1], misaligned(3)],
    ids=["strided", "reversed", "misaligned"],
)
def test_coefs_must_be_contiguous_and_aligned(coefs):
    with pytest.raises(TypeError) as excinfo:
        _core.evaluate_polynomial(coefs, np.ones(2))
    assert str(excinfo.value) == "The given array is not contiguous or is misaligned."
    assert notes(excinfo) == []


def test_arrays_accepted_as_they_come():
    class Sub(np.ndarray):
        pass

    coefs = np.array([1.0, 2.0, 3.0])
    coefs.flags.writeable = False
    x = np.array([0.0, 1.0, 2.0]).view(Sub)
    result = _core.evaluate_polynomial(coefs, x)
    assert type(result) is np.ndarray and result.dtype == np.float64
    assert result.tolist() == [1.0, 6.0, 17.0]
    assert result.flags.writeable and result.flags.c_contiguous
    assert _core.evaluate_polynomial(np.asfortranarray(coefs), misaligned(3)).tolist() == [1.0, 6.0, 17.0]


class TestNoLeaks:
    """Repeated calls, on success and on every error path, leave memory flat."""

    CALLS = [
        lambda: _core.kernel_weights("b13", -8, 0.3),
        lambda: _core.evaluate_polynomial(np.ones(5), np.linspace(0, 1, 100)[::-1]),
        lambda: _core.evaluate_polynomial(np.ones(5), misaligned(7)),
        lambda: _core.kernel_weights("zz", 0, 0.3),
        lambda: _core.kernel_weights("a3", 2**40, 0.3),
        lambda: _core.kernel_weights("a3", 0, tau=None),
        lambda: _core.kernel_weights("a3", 0, 0.5, power=1),
        lambda: _core.kernel_weights("a3", 0, 0.5, kernel="a1"),
        lambda: _core.evaluate_polynomial(np.arange(4.0)[::2], np.ones(3)),
        lambda: _core.evaluate_polynomial(np.ones(2), [1.0]),
    ]

    @pytest.mark.parametrize("call", CALLS)
    def test_flat(self, call, no_leak):
        no_leak(call)


def test_int_conversion_uses_index_not_int():
    with pytest.raises(TypeError):
        _core.kernel_weights("a3", operator.index, 0.5)
