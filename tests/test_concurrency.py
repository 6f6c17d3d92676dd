"""Concurrent use: one instance evaluated from many threads at once, and the
module imported from many threads at once."""

import threading

import numpy as np
import pytest

from quorvel import _core

THREADS = 8


def run_together(work):
    """Runs work(i) on THREADS threads released at the same moment; returns the results."""
    start, results = threading.Barrier(THREADS), [None] * THREADS

    def body(i):
        start.wait()
        results[i] = work(i)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return results


def bits(array):
    return array.view(np.uint64).tolist()


rng = np.random.default_rng(7)
# name: (instance, (first, last) knot of each axis)
INSTANCES = {
    "1d values": (_core.Interpolant1D(np.arange(200.0), rng.normal(size=200), "b13", "detect", "poly", 0), [(0, 199)]),
    "1d derivative": (_core.Interpolant1D(np.linspace(0, 1, 50), rng.normal(size=50), "b7", "poly", "linear", 3),
                      [(0, 1)]),
    "1d integral": (_core.Interpolant1D(np.arange(120.0), rng.normal(size=120), "a5", "poly", "poly", -4), [(0, 119)]),
    "1d nearest": (_core.Interpolant1D(np.arange(30.0), rng.normal(size=30), "a0", "poly", "poly", 0), [(0, 29)]),
    "nd values": (_core.InterpolantND([np.arange(9.0)] * 3, rng.normal(size=(9, 9, 9)), "b5", [("poly", "detect")] * 3,
                                      [1, 0, 2]), [(0, 8)] * 3),
    "nd integral": (_core.InterpolantND([np.arange(12.0), np.linspace(-1, 1, 10)], rng.normal(size=(12, 10)), "a3",
                                        [("quadratic", "poly")] * 2, [-2, -1]), [(0, 11), (-1, 1)]),
    "nd nearest": (_core.InterpolantND([np.arange(7.0)] * 2, rng.normal(size=(7, 7)), "a0", [("poly", "poly")] * 2,
                                       [0, 0]), [(0, 6)] * 2),
}


@pytest.mark.parametrize(("f", "ranges"), INSTANCES.values(), ids=INSTANCES)
def test_one_instance_from_many_threads_gives_the_serial_bits(f, ranges):
    """Each thread evaluates its own points and the points shared by all, five
    times over, while the others do the same; every result equals the serial
    evaluation bit for bit."""
    first, last = np.array(ranges, dtype=np.float64).T
    unit = np.random.default_rng(1).random((THREADS + 1, 20_000 if len(ranges) == 1 else 3000, len(ranges)))
    points = [first + (last - first) * u for u in unit]
    if isinstance(f, _core.Interpolant1D):
        points = [p[:, 0] for p in points]
    serial = [bits(f.evaluate(p)) for p in points]
    for i, rounds in enumerate(run_together(
            lambda i: [(bits(f.evaluate(points[i])), bits(f.evaluate(points[-1]))) for _ in range(5)])):
        assert all(own == serial[i] and shared == serial[-1] for own, shared in rounds)


def test_failing_and_succeeding_threads_each_get_their_own_outcome():
    f = INSTANCES["1d integral"][0]
    good, bad = np.linspace(0, 119, 5001), np.append(np.linspace(0, 119, 5000), 119.5)
    expected = bits(f.evaluate(good))

    def work(i):
        outcomes = []
        for _ in range(20):
            try:
                outcomes.append(bits(f.evaluate(bad if i % 2 else good)))
            except ValueError as exc:
                outcomes.append(str(exc))
        return outcomes

    for i, outcomes in enumerate(run_together(work)):
        assert set(map(str, outcomes)) == {"point 119.5 lies outside the data range [0, 119]" if i % 2
                                           else str(expected)}


IMPORT_FROM_THREADS = f"""
    import sys, threading
    start, modules, errors = threading.Barrier({THREADS}), [], []

    def body():
        start.wait()
        try:
            import numpy as np
            import quorvel._core as core
            modules.append(core)
            f = core.InterpolantND([np.arange(4.0)], np.arange(4.0), "a3", [("poly", "poly")], [0])
            assert f.evaluate(np.array([[1.5]])).tolist() == [1.5]
        except BaseException as exc:
            errors.append(repr(exc))

    threads = [threading.Thread(target=body) for _ in range({THREADS})]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors
    assert len(modules) == {THREADS} and all(m is sys.modules["quorvel._core"] for m in modules)
    assert modules[0].__all__ == ["evaluate_polynomial", "kernel_weights", "extended_coefficients",
                                  "extended_coefficients_nd", "Interpolant1D", "InterpolantND"]
    print("ok")
"""


@pytest.mark.parametrize("attempt", range(4))
def test_import_from_many_threads_at_once(attempt, run_python):
    assert run_python(IMPORT_FROM_THREADS) == "ok\n"
