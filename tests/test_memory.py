"""Running out of memory: constructions and evaluations that cannot get their
memory raise MemoryError and leave the interpreter usable; sizes that cannot
even be expressed are internal failures; the integral tails are refused by
their limit before anything big is allocated.

Each case runs in a fresh interpreter whose address space is limited to what
it has mapped plus a margin, so that the big allocation of the call fails.
"""

import textwrap

import numpy as np
import pytest

import quorvel
from quorvel import _core

PRELUDE = """
    import resource
    import numpy as np
    from quorvel import _core

    MiB = 1 << 20

    def limit(extra):
        # The address space: what is mapped now plus `extra` bytes.
        with open("/proc/self/statm") as statm:
            mapped = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (mapped + extra, resource.getrlimit(resource.RLIMIT_AS)[1]))

    def out_of_memory(call):
        try:
            call()
        except MemoryError:
            return
        raise AssertionError("no MemoryError")

    def work():
        f = _core.Interpolant1D(np.arange(8.0), np.arange(8.0) ** 2, "a3", "poly", "poly", 1)
        g = _core.InterpolantND([np.arange(4.0)] * 2, np.ones((4, 4)), "b5", [("poly", "poly")] * 2, [0, -1])
        return (f.evaluate(np.linspace(0.0, 7.0, 1000)).tolist(), g.evaluate(np.array([[1.0, 2.0]])).tolist(),
                _core.extended_coefficients_nd(np.ones((3, 3)), "a4", [("linear", "poly")] * 2).tolist())

    BEFORE = work()

    def still_usable():
        assert work() == BEFORE
"""

# name: code run after the prelude; every case ends with still_usable().
CASES = {
    "1d construction": """
        x, values = np.arange(2.0**24), np.zeros(2**24)
        limit(64 * MiB)
        out_of_memory(lambda: _core.Interpolant1D(x, values, "b13", "poly", "poly", 0))
    """,
    # The extended values fit, their tails do not: the values must be freed again.
    "1d tails": """
        x, values = np.arange(2.0**24), np.zeros(2**24)
        limit(576 * MiB)
        out_of_memory(lambda: _core.Interpolant1D(x, values, "b13", "poly", "poly", -8))
        assert np.ones(480 * MiB // 8).size
    """,
    "1d evaluation": """
        f = _core.Interpolant1D(np.arange(10.0), np.zeros(10), "b7", "detect", "poly", -2)
        points = np.broadcast_to(4.5, (2**26,))
        limit(64 * MiB)
        out_of_memory(lambda: f.evaluate(points))
    """,
    "nd construction": """
        knots, values = [np.arange(4096.0)] * 2, np.broadcast_to(0.0, (4096, 4096))
        limit(64 * MiB)
        out_of_memory(lambda: _core.InterpolantND(knots, values, "a1", [("poly", "poly")] * 2, [0, 0]))
    """,
    "nd tails": """
        knots, values = [np.arange(4096.0)] * 2, np.broadcast_to(0.0, (4096, 4096))
        limit(192 * MiB)
        out_of_memory(lambda: _core.InterpolantND(knots, values, "a1", [("poly", "poly")] * 2, [-1, 0]))
        assert np.ones(160 * MiB // 8).size
    """,
    "nd evaluation": """
        f = _core.InterpolantND([np.arange(5.0)] * 2, np.ones((5, 5)), "a4", [("poly", "linear")] * 2, [-1, 1])
        points = np.broadcast_to(2.5, (2**26, 2))
        limit(64 * MiB)
        out_of_memory(lambda: f.evaluate(points))
    """,
    "extension": """
        values = np.zeros(2**24)
        limit(64 * MiB)
        out_of_memory(lambda: _core.extended_coefficients(values, "b9", "detect", "detect"))
    """,
    "nd extension": """
        values = np.broadcast_to(1.0, (4096, 4096))
        limit(64 * MiB)
        out_of_memory(lambda: _core.extended_coefficients_nd(values, "a3", [("poly", "poly")] * 2))
    """,
    "polynomial": """
        x = np.broadcast_to(0.5, (2**26,))
        limit(64 * MiB)
        out_of_memory(lambda: _core.evaluate_polynomial(np.ones(3), x))
    """,
    # 2**27 + 1 knots with integral order 2: (3 - 1) * (2**27 + 1) * 8 bytes of
    # tails, just over 2 GiB.  The refusal must come before the extended
    # values (1 GiB) are allocated: only 256 MiB are left.
    "tails limit": """
        knots, values = np.arange(2**27 + 1.0), np.broadcast_to(0.0, (2**27 + 1,))
        limit(256 * MiB)
        try:
            _core.InterpolantND([knots], values, "a1", [("poly", "poly")], [-2])
        except ValueError as exc:
            assert str(exc) == ("the integral tails would need 2.0 GiB of memory (limit 2 GiB): integrate along "
                                "fewer axes, use lower integral orders, or use a smaller grid"), str(exc)
        else:
            raise AssertionError("not refused")
    """,
}


@pytest.mark.address_space_limit
@pytest.mark.parametrize("case", CASES.values(), ids=CASES)
def test_allocation_failures_raise_memory_error(case, run_python):
    assert run_python("".join(map(textwrap.dedent, [PRELUDE, case, "still_usable()\nprint('ok')\n"]))) == "ok\n"


@pytest.mark.parametrize(
    "call",
    [
        lambda: _core.extended_coefficients_nd(np.zeros((2,) * 16), "b13", [("poly", "poly")] * 16),
        lambda: _core.extended_coefficients_nd(np.broadcast_to(0.0, (3,) * 28), "a3", [("poly", "linear")] * 28),
        lambda: _core.InterpolantND([np.arange(2.0)] * 16, np.broadcast_to(0.0, (2,) * 16), "b13",
                                    [("poly", "poly")] * 16, [0] * 16),
    ],
    ids=["extension", "broadcast extension", "interpolant"],
)
def test_unaddressable_sizes_are_internal_failures(call):
    """More elements than a signed 64-bit size holds: PanicException, which an
    `except Exception` does not swallow, and the module keeps working."""
    with pytest.raises(quorvel.PanicException) as excinfo:
        try:
            call()
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("caught as an Exception")
    assert not isinstance(excinfo.value, Exception)
    assert _core.extended_coefficients_nd(np.ones((2, 2)), "a3", [("poly", "poly")] * 2).sum() == 16.0
