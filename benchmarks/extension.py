"""Ghost extension timed against numpy.pad(mode="edge") of the same array.

Run with `python benchmarks/extension.py`.  Each case is the best of several
repeats; the ratio is quorvel's time over numpy.pad's (lower is better).
numpy.pad only copies edge values, so it bounds from below the memory traffic
that any extension by the same number of ghosts has to do.
"""

import time

import numpy as np

from quorvel import _core

REPEATS = 7


def best_time(call):
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def extend(values, kernel, condition):
    if values.ndim == 1:
        return _core.extended_coefficients(values, kernel, condition, condition)
    return _core.extended_coefficients_nd(values, kernel, [(condition, condition)] * values.ndim)


def main():
    rng = np.random.default_rng(0)
    cube = rng.standard_normal((256, 256, 256))
    line = rng.standard_normal(10**7)
    cases = [
        ("256^3", cube, "b13", "poly"),
        ("256^3", cube, "b13", "detect"),
        ("10^7 line", line, "b13", "poly"),
        ("10^7 line", line, "b13", "detect"),
    ]
    print(f"{'data':<11}{'kernel':<8}{'condition':<11}{'quorvel ms':>11}{'numpy.pad ms':>14}{'ratio':>7}")
    for label, values, kernel, condition in cases:
        g = len(_core.kernel_weights(kernel, 0, 0.0)) // 2 - 1
        ours = best_time(lambda: extend(values, kernel, condition))
        theirs = best_time(lambda: np.pad(values, g, mode="edge"))
        print(f"{label:<11}{kernel:<8}{condition:<11}{ours * 1e3:>11.1f}{theirs * 1e3:>14.1f}{ours / theirs:>7.2f}")


if __name__ == "__main__":
    main()
