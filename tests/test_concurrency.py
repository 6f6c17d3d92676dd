"""One instance evaluated from many threads at once."""

import re
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from quorvel import _core

THREADS = 8


def run_together(work):
    """Runs work(i) on THREADS threads released at the same moment; returns the results, raises the first error."""
    start = threading.Barrier(THREADS)
    with ThreadPoolExecutor(THREADS) as pool:
        return list(pool.map(lambda i: (start.wait(), work(i))[1], range(THREADS)))


rng = np.random.default_rng(7)
INSTANCES = {  # name: (instance, (first, last) knot of each axis)
    "1d integral": (_core.Interpolant1D(np.arange(120.0), rng.normal(size=120), "a5", "poly", "poly", -4), [(0, 119)]),
    "1d nearest": (_core.Interpolant1D(np.arange(30.0), rng.normal(size=30), "a0", "poly", "poly", 0), [(0, 29)]),
    "nd values": (_core.InterpolantND([np.arange(9.0)] * 3, rng.normal(size=(9, 9, 9)), "b5", [("poly", "detect")] * 3,
                                      [1, 0, 2]), [(0, 8)] * 3),
    "nd integral": (_core.InterpolantND([np.arange(12.0), np.linspace(-1, 1, 10)], rng.normal(size=(12, 10)), "a3",
                                        [("quadratic", "poly")] * 2, [-2, -1]), [(0, 11), (-1, 1)]),
}


@pytest.mark.parametrize(("f", "ranges"), INSTANCES.values(), ids=INSTANCES)
def test_one_instance_from_many_threads_gives_the_serial_outcomes(f, ranges):
    """Each thread evaluates its own points, those shared by all and (every other thread) a batch with a point
    outside, five times, while the others do the same."""
    first, last = np.array(ranges, dtype=np.float64).T
    unit = np.random.default_rng(1).random((THREADS + 1, 20_000 if len(ranges) == 1 else 3000, len(ranges)))
    points = [first + (last - first) * u for u in unit] + [np.append(first + (last - first) * unit[0], [last + 1], 0)]
    if isinstance(f, _core.Interpolant1D):
        points = [p[:, 0] for p in points]
    serial = [f.evaluate(p).tobytes() for p in points[:-1]]
    with pytest.raises(ValueError) as refused:
        f.evaluate(points[-1])

    def work(i):
        for _ in range(5):
            assert f.evaluate(points[i]).tobytes() == serial[i] and f.evaluate(points[-2]).tobytes() == serial[-1]
            if i % 2:
                with pytest.raises(ValueError, match=f"^{re.escape(str(refused.value))}$"):
                    f.evaluate(points[-1])
        return True

    assert all(run_together(work))
