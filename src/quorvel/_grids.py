"""One axis of knots as the user gives it, made into the exactly uniform knots the interpolator holds.

The native core reads only the two end knots of an axis: it places knot i at
``first + i * step`` with ``step = (last - first) / (n - 1)``. Knots built by
``linspace``, ``arange`` or a running sum miss those places by the rounding of
their construction. Here every knot's distance from its place is measured, the
distances that rounding explains are accepted, and the knots are replaced by
the places the core computes, so that what the interpolator holds is what it
uses.
"""

from __future__ import annotations

import math
from typing import Any, Final, NamedTuple, TypeAlias

import numpy as np
import numpy.typing as npt

__all__ = ["UniformAxis", "knot_tolerance", "uniform_axis"]

Float64Array: TypeAlias = npt.NDArray[np.float64]

# In spacings.  The floor is the core's own tolerance: no grid it accepts is
# refused for rounding.  Past the cap a knot is wrong, not rounded, and is never
# moved silently, whatever its dtype.
TOLERANCE_FLOOR: Final = 1e-8
TOLERANCE_CAP: Final = 1e-3
_FLOAT64_EPS: Final = float(np.finfo(np.float64).eps)


class UniformAxis(NamedTuple):
    """The knots of one axis as the interpolator holds them."""

    knots: Float64Array
    """Increasing, exactly ``first + i * step``, read-only."""
    descending: bool
    """Whether the knots were given in decreasing order (the data must be reversed with them)."""


def knot_tolerance(dtype: np.dtype[Any], count: int, reach: float) -> float:
    """How far, in spacings, rounding can move a knot of `count` uniform knots of `dtype`.

    `reach` is the larger magnitude of the two end knots, in spacings. Every
    step of a construction in the knots' dtype (a running sum is the worst;
    ``linspace`` and ``arange`` round once or twice per knot) rounds by at
    most half a unit in the last place of the largest knot, ``eps / 2 * reach``
    spacings, so `count` steps move a knot by at most ``count * eps / 2 *
    reach``; measured from the line through the two end knots, which are
    rounded themselves, twice that: ``count * eps * reach``. ``eps`` is the
    machine epsilon of the dtype, at least that of float64, to which every
    knot is converted (integers are exact below 2**53). The result is at
    most the cap of 1e-3 spacings, and at least the floor of 1e-8 widened by
    ``eps64 * (reach + 4 * count)``: the core measures a knot's distance from
    its rounded place, this module from the exact one, and the widening covers
    the rounding of both measures, so that every grid the core accepts passes.

    Measured, largest distance (tolerance): float32 ``linspace(0, 1, 101)``
    2.9e-6 (1e-3); float32 ``arange(0, 10, 0.01)`` 4.8e-5 (1e-3); float64
    ``cumsum(full(10**5, 0.01))`` 1.3e-8 (2.2e-6) and ``cumsum(full(10**6,
    1e-3))`` 5.1e-6 (2.2e-4): a running sum's error grows like `count`, so
    no smaller power of it would do. Float64 ``linspace`` and ``arange`` stay
    below 1e-12 near zero, and at 1e9 with a spacing of 1e-3 reach 5.9e-5.
    """
    eps = max(float(np.finfo(dtype).eps), _FLOAT64_EPS) if dtype.kind == "f" else _FLOAT64_EPS
    floor = TOLERANCE_FLOOR + _FLOAT64_EPS * (reach + 4 * count)
    return min(TOLERANCE_CAP, max(floor, count * eps * reach))


def uniform_axis(given: npt.NDArray[Any], name: str) -> UniformAxis:
    """The exactly uniform, increasing knots that stand for the 1-D array `given`.

    The knots must be finite, at least two, strictly increasing or strictly
    decreasing, and each within :func:`knot_tolerance` of its place on the
    uniform grid through the two end knots. Decreasing knots are reversed.
    The end knots are kept as they are (converted to float64); knot i becomes
    ``first + i * step`` with ``step = (last - first) / (n - 1)``, the product
    rounded before the sum, exactly as the core computes positions.
    Refusals are ValueErrors whose message starts with `name` and names the
    first offending knot.
    """
    if given.dtype.kind == "b":
        raise TypeError(f"{name}: expected real numbers, got an array of dtype bool")
    knots = np.asarray(given, dtype=np.float64)
    count = len(knots)
    if count < 2:
        raise ValueError(f"{name}: expected at least 2 knots, got {count}")
    first, last = float(knots[0]), float(knots[-1])
    step = (last - first) / (count - 1)  # Python floats: an overflow gives inf, and no warning
    if not math.isfinite(step):
        _require_finite(knots, name)
        raise ValueError(f"{name}: the knots from {first} to {last} span too wide a range")
    descending = step < 0
    # Equal end knots (no step) cannot be monotonic: the checks below say which repeats.
    tolerance = knot_tolerance(given.dtype, count, max(abs(first), abs(last)) / abs(step)) if step else 0.0
    if not (step and _near_places(knots, step, tolerance)):  # the checks one by one, to name what is wrong
        _require_finite(knots, name)
        _require_strictly_monotonic(knots, descending, name)
        _require_uniform(knots, step, tolerance, name)
    if descending:
        first, last = last, first
    return UniformAxis(_exactly_uniform(first, last, count), descending)


def _near_places(knots: Float64Array, step: float, tolerance: float) -> bool:
    """Whether every knot lies within `tolerance` spacings of its place, in one pass: the common case.

    Such knots are also finite (a NaN or an infinity is at no distance) and strictly monotonic (a knot is within a
    thousandth of a spacing of its place), so this is all :func:`uniform_axis` asks of them.
    """
    with np.errstate(all="ignore"):
        return bool(_spacings_off(knots, step).max() <= tolerance)


def _spacings_off(knots: Float64Array, step: float) -> Float64Array:
    """How many spacings each knot lies from its place ``knots[0] + i * step``.

    The distances are measured in float64 to within about ``2 * eps * n``
    spacings (the roundings of ``knots - knots[0]``, of ``i * step`` and of
    `step` itself), far below the tolerance of every grid with more than a
    few knots, and independently of the knots' magnitude: a knot at 1e15 that
    is half a spacing off is seen as such, though its ideal place rounds onto
    it.
    """
    distance: Float64Array = knots - knots[0]
    distance -= np.arange(len(knots)) * step
    np.abs(distance, out=distance)
    distance /= abs(step)
    return distance


def _require_finite(knots: Float64Array, name: str) -> None:
    bad = np.flatnonzero(~np.isfinite(knots))
    if bad.size:
        raise ValueError(f"{name}: expected finite knots; knot {bad[0]} is {knots[bad[0]]}")


def _require_strictly_monotonic(knots: Float64Array, descending: bool, name: str) -> None:
    # The difference of two distinct doubles never rounds to zero or changes sign
    # (it may overflow to an infinity of the right sign).
    with np.errstate(over="ignore"):
        rises = np.diff(knots)
    bad = np.flatnonzero(rises >= 0 if descending else rises <= 0)
    if bad.size:
        i = int(bad[0]) + 1
        relation = "repeats" if knots[i] == knots[i - 1] else "rises above" if descending else "falls below"
        raise ValueError(
            f"{name}: expected strictly increasing or strictly decreasing knots; "
            f"knot {i} ({knots[i]}) {relation} knot {i - 1} ({knots[i - 1]})"
        )


def _require_uniform(knots: Float64Array, step: float, tolerance: float, name: str) -> None:
    """Refuse knots further than `tolerance` spacings from their places."""
    distance = _spacings_off(knots, step)
    bad = np.flatnonzero(distance > tolerance)
    if bad.size:
        i = bad[0]
        off, allowed = _distinct_texts(float(distance[i]), tolerance)
        raise ValueError(
            f"{name}: knot {i} is {off} spacings off the uniform grid from {knots[0]} to {knots[-1]} "
            f"(tolerance {allowed} spacings)"
        )


def _distinct_texts(a: float, b: float) -> tuple[str, str]:
    """`a` and `b` to the fewest significant digits (at least two) that tell them apart."""
    for digits in range(2, 18):
        texts = f"{a:.{digits}g}", f"{b:.{digits}g}"
        if texts[0] != texts[1]:
            break
    return texts


def _exactly_uniform(first: float, last: float, count: int) -> Float64Array:
    knots = np.arange(count, dtype=np.float64)
    knots *= (last - first) / (count - 1)  # rounded, then added: no fused multiply-add, as in the core
    knots += first
    knots[0], knots[-1] = first, last  # as given, also a -0.0 that the sum would make +0.0
    knots.flags.writeable = False
    return knots
