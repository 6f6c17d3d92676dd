"""Running out of memory: MemoryError, and the interpreter stays usable; sizes that cannot even be expressed
are internal failures; the integral tails are refused before anything big is allocated.  Each case runs in a
fresh interpreter whose address space is limited to what it has mapped plus a margin."""

import textwrap

import numpy as np
import pytest

import quorvel
from quorvel import _core
from tests.conftest import SANITIZED, linux_only

PRELUDE = """
    import resource
    import numpy as np
    from quorvel import _core, _engine

    MiB = 1 << 20

    def work():
        g = _core.InterpolantND([np.arange(4.0)] * 2, np.ones((4, 4)), "b5", [("poly", "poly")] * 2, [0, -1])
        return g.evaluate(np.linspace(0.0, 3.0, 2000).reshape(-1, 2)).tolist()

    BEFORE = work()
"""
X, ZEROS, FLAT = "x = np.arange(2.0**24); y = x * 0", "z = np.broadcast_to(0.0, (4096, 4096))", "[('poly', 'poly')]"
CASES = {  # name: (setup, MiB left, the call, what it raises, then)
    "1d construction": (X, 64, "_core.Interpolant1D(x, y, 'b13', 'poly', 'poly', 0)", "MemoryError", ""),
    # the extended values fit, their tails do not: the values are freed again
    "1d tails": (X, 576, "_core.Interpolant1D(x, y, 'b13', 'poly', 'poly', -8)", "MemoryError",
                 "np.ones(480 * MiB // 8)"),
    "1d evaluation": ("f = _core.Interpolant1D(np.arange(10.0), np.zeros(10), 'b7', 'detect', 'poly', -2)", 64,
                      "f.evaluate(np.broadcast_to(4.5, (2**26,)))", "MemoryError", ""),
    "nd tails": (ZEROS, 192, f"_core.InterpolantND([np.arange(4096.0)] * 2, z, 'a1', {FLAT} * 2, [-1, 0])",
                 "MemoryError", "np.ones(160 * MiB // 8)"),
    "nd evaluation": (f"f = _core.InterpolantND([np.arange(5.0)] * 2, np.ones((5, 5)), 'a4', {FLAT} * 2, [-1, 1])",
                      64, "f.evaluate(np.broadcast_to(2.5, (2**26, 2)))", "MemoryError", ""),
    "nd extension": (ZEROS, 64, f"_core.extended_coefficients_nd(z, 'a3', {FLAT} * 2)", "MemoryError", ""),
    "parallel evaluation": (f"f = _engine.Interpolant([np.arange(5.0)] * 2, np.ones((5, 5)), 'a4', {FLAT} * 2, "
                            "[-1, 1], 8)", 64, "f.evaluate(np.broadcast_to(2.5, (2**26, 2)), 'raise', 8)",
                            "MemoryError", ""),
    "parallel construction": (ZEROS, 64, f"_engine.Interpolant([np.arange(4096.0)] * 2, z, 'b5', {FLAT} * 2, "
                              "[0, 0], 8)", "MemoryError", ""),
    # (3 - 1) * (2**27 + 1) * 8 bytes of tails: refused before the extended values (1 GiB) are allocated
    "tails limit": ("x = np.arange(2**27 + 1.0)", 256,
                    f"_core.InterpolantND([x], np.broadcast_to(0.0, x.shape), 'a1', {FLAT}, [-2])", "ValueError", ""),
}


@linux_only("reads the mapped size from /proc/self/statm and limits it with RLIMIT_AS")
@pytest.mark.skipif(SANITIZED, reason="the sanitizers need an unlimited address space")
@pytest.mark.parametrize(("setup", "mib", "call", "raised", "then"), CASES.values(), ids=CASES)
def test_running_out_of_memory_leaves_the_interpreter_usable(setup, mib, call, raised, then, run_python):
    assert run_python(textwrap.dedent(PRELUDE) + f"""
{setup}
with open("/proc/self/statm") as statm:
    mapped = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (mapped + {mib} * MiB, resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    {call}
except {raised}:
    pass
else:
    raise AssertionError("not refused")
{then}
assert work() == BEFORE
print("ok")
""") == "ok\n"


@pytest.mark.parametrize(("shape", "kernel", "exception"), [
    ((2,) * 16, "b13", quorvel.PanicException), ((2,) * 15, "b13", MemoryError), ((2,) * 15 + (1,), "b13",
    quorvel.PanicException), ((3,) * 28, "a3", quorvel.PanicException), ((10**7, 10**7), "b13", MemoryError),
    ((2,) * 16, "interpolant", quorvel.PanicException)])
def test_oversized_results(shape, kernel, exception):
    """Beyond memory: MemoryError; beyond a signed 64-bit size: PanicException, which `except Exception` misses."""
    values, bcs = np.broadcast_to(0.0, shape), [("poly", "poly")] * len(shape)
    with pytest.raises(exception):
        try:
            if kernel == "interpolant":
                _core.InterpolantND([np.arange(2.0)] * len(shape), values, "b13", bcs, [0] * len(shape))
            _core.extended_coefficients_nd(values, kernel, bcs)
        except Exception as exc:  # noqa: BLE001
            assert isinstance(exc, MemoryError)
            raise
    assert _core.extended_coefficients_nd(np.ones((2, 2)), "a3", bcs[:2]).sum() == 16.0


@linux_only("reads the mapped size from /proc/self/statm and limits it with RLIMIT_AS")
@pytest.mark.skipif(SANITIZED, reason="the sanitizers need an unlimited address space")
def test_threads_that_cannot_start_leave_their_work_to_the_caller(run_python):
    """With no room for the stacks of more threads, a parallel call still gives every value (the calling thread
    takes the chunks no thread took) or, when even that cannot be done, MemoryError."""
    assert run_python(textwrap.dedent(PRELUDE) + """
f = _engine.Interpolant([np.arange(40.0)] * 3, np.ones((40, 40, 40)), 'a3', [('poly', 'poly')] * 3, [0, 0, 0], 1)
points = np.random.default_rng(1).uniform(0.0, 39.0, (2**20, 3))
expected = f.evaluate(points, 'raise', 1).tobytes()
with open("/proc/self/statm") as statm:
    mapped = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (mapped + 20 * MiB, resource.getrlimit(resource.RLIMIT_AS)[1]))
for _ in range(3):
    try:
        assert f.evaluate(points, 'raise', 64).tobytes() == expected
    except MemoryError:
        pass
assert work() == BEFORE
print("ok")
""") == "ok\n"
