"""The knots users have, through quorvel.Interpolator: grids uniform to their rounding are accepted and held
exactly uniform, descending grids equal ascending ones, and every refusal names the axis, the knot and the
tolerance."""

import re
import warnings
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

from quorvel import Interpolator, _core
from tests.conftest import HALF_WIDTH, rng_for, same_bits


def one_knot_moved(x, index, by):
    x = x.copy()
    x[index] += by
    return x


ACCEPTED = {
    "linspace": np.linspace(0.0, 1.0, 101),
    "linspace float32": np.linspace(0.0, 1.0, 101, dtype=np.float32),
    "arange": np.arange(0.0, 10.0, 0.01),
    "arange float32": np.arange(0.0, 10.0, 0.01, dtype=np.float32),
    "running sum": np.cumsum(np.full(10**5, 0.01)),
    "integers": np.arange(-30, 70, 5, dtype=np.int16),
    "far from zero": np.linspace(1e9, 1e9 + 1.0, 1001),
    "epoch seconds by the millisecond": 1.7e9 + np.arange(10**4) * 0.001,
    "latitudes descending": np.linspace(90.0, -90.0, 181),
    "descending float32": np.arange(10.0, 0.0, -0.25, dtype=np.float32),
}


@pytest.mark.parametrize("x", ACCEPTED.values(), ids=ACCEPTED)
def test_grids_uniform_to_their_rounding_are_accepted_and_held_exactly_uniform(x):
    y = rng_for("grids", len(x)).uniform(0.0, 1.0, len(x))
    f = Interpolator(x, y, "a3")
    (held,), given = f.grid, x.astype(np.float64)
    low, high = sorted(given[[0, -1]])
    step = (high - low) / (len(x) - 1)
    assert held[0] == low and held[-1] == high and same_bits(held[1:-1], low + np.arange(1, len(x) - 1) * step)
    # The data come back at the knots held, up to the rounding of the points themselves (a few units in the last
    # place of the largest knot, in spacings), and at the knots given, which rounding moved by less than 1e-3.
    rounding = 4 * np.finfo(np.float64).eps * max(abs(low), abs(high)) / step
    np.testing.assert_allclose(f(held), f.values, rtol=0, atol=max(rounding, 1e-13))
    np.testing.assert_allclose(f(given), y, rtol=0, atol=1e-3)


def test_grids_accepted_before_give_the_bits_they_gave():
    """The knots held keep the end knots and the step, which is all the native core reads of them."""
    x, x2 = np.linspace(-1.0, 2.0, 31), np.linspace(0.0, 0.5, 9)
    x[1:-1] += 0.9e-8 * 0.1 * rng_for("jitter").choice([-1.0, 1.0], 29)
    x2[1:-1] -= 0.9e-8 * 0.0625
    y, points = np.sin(3.0 * x), rng_for("points").uniform(-1.0, 2.0, 500)
    for kernel in ("a3", "b13"):
        f = Interpolator(x, y, kernel, ("poly", "linear"))
        assert not np.array_equal(f.grid[0], x)
        assert same_bits(f(points), _core.Interpolant1D(x, y, kernel, "poly", "linear", 0).evaluate(points))
    g = Interpolator([x, x2], np.outer(y, y[:9]), "b5")
    native = _core.InterpolantND([x, x2], np.outer(y, y[:9]), "b5", [("detect", "detect")] * 2, [0, 0])
    grid_points = np.column_stack([points, (points[::-1] + 1.0) / 6.0])
    assert not np.array_equal(g.grid[1], x2) and same_bits(g(grid_points), native.evaluate(grid_points))


@given(count=st.integers(2, 300), spacing=st.floats(1e-6, 1e3), first=st.floats(-1e9, 1e9),
       jitter=st.sampled_from([0.0, 0.5e-8, 0.99e-8, 1e-8, 1.01e-8]), seed=st.integers(0, 2**32 - 1))
def test_every_grid_the_core_accepts_is_accepted_and_gives_its_bits(count, spacing, first, jitter, seed):
    """Knots the core takes within its 1e-8 spacings of their rounded places pass here too, though measured
    from their exact places, unless rounding alone moves knots by more than the 1e-3 cap."""
    x = first + np.arange(count) * spacing
    reach = max(abs(x[0]), abs(x[-1])) / spacing
    assume(np.finfo(np.float64).eps * reach < 2e-4 and np.all(np.diff(x) > 0))
    rng = np.random.default_rng(seed)
    x[1:-1] += jitter * spacing * rng.choice([-1.0, 1.0, rng.uniform(-1.0, 1.0)], count - 2)
    try:
        native = _core.Interpolant1D(x, np.cos(np.arange(count)), "a4", "poly", "linear", 0)
    except ValueError:
        return
    points = rng.uniform(x[0], x[-1], 50)
    with warnings.catch_warnings():  # fewer than 4 knots: the "poly" end is extended linearly, as the core does
        warnings.simplefilter("ignore", UserWarning)
        f = Interpolator(x, np.cos(np.arange(count)), "a4", ("poly", "linear"))
    assert same_bits(f(points), native.evaluate(points))


@pytest.mark.parametrize("kernel", ["a0", "a4", "b7"])
def test_descending_knots_give_the_bits_of_the_ascending_grid(kernel):
    """`left` and `right` in `boundary` are the low and high ends of the coordinates, as given in any order."""
    x = np.linspace(90.0, -90.0, 25)
    y = np.cos(np.radians(x)) + x / 90.0
    down, up = Interpolator(x, y, kernel, ("poly", "linear")), Interpolator(x[::-1], y[::-1], kernel, ("poly", "linear"))
    points = np.r_[-90.0, 90.0, rng_for(kernel).uniform(-90.0, 90.0, 300)]
    assert same_bits(down.grid[0], up.grid[0]) and same_bits(down.values, up.values)
    for f, g in ((down, up), (down.antiderivative(), up.antiderivative())):
        assert same_bits(f(points), g(points))
    assert down.integrate(-80.0, 85.0) == up.integrate(-80.0, 85.0)
    if kernel != "a0":  # the boundary conditions tell apart near the ends: not swapped by the reversal
        swapped = Interpolator(x[::-1], y[::-1], kernel, ("linear", "poly"))
        assert not same_bits(down(points), swapped(points))

    knots = [np.linspace(1.0, 0.0, 9), np.linspace(-1.0, 1.0, 7), np.arange(12.0, 0.0, -1.5)]
    mesh = np.meshgrid(*knots, indexing="ij")
    values = np.exp(mesh[0]) * np.sin(mesh[1] + 0.3) + mesh[2] ** 2 / 50.0
    pairs = [("poly", "linear"), ("linear", "quadratic"), ("quadratic", "poly")]
    down = Interpolator(knots, values, kernel, pairs)
    up = Interpolator([knots[0][::-1], knots[1], knots[2][::-1]], values[::-1, :, ::-1], kernel, pairs)
    points = rng_for(kernel, 3).uniform([0.0, -1.0, 1.5], [1.0, 1.0, 12.0], (300, 3))
    assert same_bits(down.values, up.values) and all(same_bits(a, b) for a, b in zip(down.grid, up.grid))
    assert same_bits(down(points), up(points))
    assert same_bits(down.antiderivative(axis=2)(points), up.antiderivative(axis=2)(points))
    assert down.integrate([0.1, -0.9, 2.0], [0.8, 0.5, 11.0]) == up.integrate([0.1, -0.9, 2.0], [0.8, 0.5, 11.0])


STRICT = "expected strictly increasing or strictly decreasing knots; "
REFUSED = {  # grid: (exception, message)
    "repeated knots far from zero": (1e15 + np.arange(1001) * 0.1, STRICT + "knot 3 (1000000000000000.2) repeats "
                                     "knot 2 (1000000000000000.2)"),
    "two equal knots": (np.zeros(2), STRICT + "knot 1 (0.0) repeats knot 0 (0.0)"),
    "unsorted": (np.array([0.0, 2.0, 1.0, 3.0]), STRICT + "knot 2 (1.0) falls below knot 1 (2.0)"),
    "unsorted descending": (np.array([3.0, 1.0, 2.0, 0.0]), STRICT + "knot 2 (2.0) rises above knot 1 (1.0)"),
    "uneven": (np.array([0.0, 1.0, 2.5, 3.0]), "knot 2 is 0.5 spacings off the uniform grid from 0.0 to 3.0 "
               "(tolerance 1e-08 spacings)"),
    "uneven descending": (np.array([3.0, 2.0, 0.5, 0.0]), "knot 2 is 0.5 spacings off the uniform grid from 3.0 to "
                          "0.0 (tolerance 1e-08 spacings)"),
    "off by more than the floor": (one_knot_moved(np.linspace(0.0, 1.0, 11), 4, 3e-9), "knot 4 is 3e-08 spacings off "
                                   "the uniform grid from 0.0 to 1.0 (tolerance 1e-08 spacings)"),
    "off by more than a running sum rounds": (one_knot_moved(np.cumsum(np.full(10**5, 0.01)), 500, 1e-7),
                                              "knot 500 is 1e-05 spacings off the uniform grid from 0.01 to "
                                              "999.9999999992356 (tolerance 2.2e-06 spacings)"),
    "off by a sixth of a spacing far from zero": (1e15 + np.arange(1001) * 0.3, "knot 1 is 0.17 spacings off the "
                                                  "uniform grid from 1000000000000000.0 to 1000000000000300.0 "
                                                  "(tolerance 0.001 spacings)"),
    "float32 too coarse for its spacing": (np.linspace(0.0, 1.0, 10**5, dtype=np.float32), "knot 25001 is 0.0013 "
                                           "spacings off the uniform grid from 0.0 to 1.0 (tolerance 0.001 spacings)"),
    "float32 running sum": (np.cumsum(np.full(1000, 0.01, dtype=np.float32)), "knot 72 is 0.001002 spacings off the "
                            "uniform grid from 0.009999999776482582 to 10.000133514404297 (tolerance 0.001 spacings)"),
    "float16": (np.linspace(0.0, 1.0, 11).astype(np.float16), "knot 7 is 0.002 spacings off the uniform grid from 0.0 "
                "to 1.0 (tolerance 0.001 spacings)"),
    "not a number": (np.array([0.0, 1.0, np.nan, 3.0]), "expected finite knots; knot 2 is nan"),
    "infinite": (np.array([0.0, -np.inf]), "expected finite knots; knot 1 is -inf"),
    "one knot": (np.array([2.0]), "expected at least 2 knots, got 1"),
    "no knots": (np.array([]), "expected at least 2 knots, got 0"),
    "too wide": (np.array([-1e308, 0.0, 1e308]), "the knots from -1e+308 to 1e+308 span too wide a range"),
    "booleans": (np.array([False, True]), (TypeError, "expected real numbers, got an array of dtype bool")),
}


@pytest.mark.parametrize(("x", "refusal"), REFUSED.values(), ids=REFUSED)
@pytest.mark.parametrize("axis", [None, 1])
def test_refusals_name_the_axis_the_knot_and_the_tolerance(x, refusal, axis):
    error, message = refusal if isinstance(refusal, tuple) else (ValueError, refusal)
    if axis is None:
        grid, values, name = x, np.zeros(len(x)), "grid"
    else:
        grid, values, name = [np.arange(3.0), x], np.zeros((3, len(x))), "grid[1]"
    with pytest.raises(error, match=f"^{re.escape(f'{name}: {message}')}$"):
        Interpolator(grid, values)


def spaced(first, last, n):
    """n knots from first to last, each exactly where the core places it."""
    return first + np.arange(n) * ((last - first) / (n - 1))


def end_offsets(x, kernel):
    """How far, in spacings, the ends of the extended grid as the core computes them lie from their exact places."""
    ghosts, h = HALF_WIDTH[kernel] - 1, (x[-1] - x[0]) / (len(x) - 1)
    ends = ((x[0] - h * ghosts, x[0], -1), (x[-1] + h * ghosts, x[-1], 1))
    return [float(abs(Fraction(end) - Fraction(knot) - side * ghosts * Fraction(h)) / Fraction(h))
            for end, knot, side in ends]


EXTENDED_ENDS = {  # knots, kernel, accepted
    "origin a spacing off": (-(2.0**53) + np.arange(12.0), "a3", False),
    "origin exact": (-(2.0**53) + np.arange(12.0), "a4", True),
    "far end a spacing off": (2.0**53 - 12.0 + np.arange(12.0), "a4", False),
    "far end exact": (2.0**53 - 12.0 + np.arange(12.0), "a3", True),
    "origin just inside a thousandth": (spaced(-(2.0**53), 5004.0 - 2.0**53, 11), "a3", True),
    "origin just beyond a thousandth": (spaced(-(2.0**53), 5004.0 - 2.0**53, 11), "a4", False),
}


@pytest.mark.parametrize(("x", "kernel", "accepted"), EXTENDED_ENDS.values(), ids=EXTENDED_ENDS)
def test_extended_grids_whose_ends_round_by_more_than_a_thousandth_of_a_spacing_are_refused(x, kernel, accepted):
    """Far from zero, the origin of the extended grid, first - (hw - 1) spacings, can round by a whole spacing and
    shift every result; such grids are refused, those whose ends round by less keep their results."""
    assert (max(end_offsets(x, kernel)) <= 1e-3) == accepted
    n, y = len(x), np.arange(len(x), dtype=np.float64)  # linear: every kernel reproduces it
    two_axes, plane = [np.arange(8.0), x], np.tile(y, (8, 1))
    points = np.column_stack([np.ones(n), x])
    built = [  # the message's prefix, the values at the knots
        ("", lambda: _core.Interpolant1D(x, y, kernel, "poly", "poly", 0).evaluate(x)),
        ("axis 1: ", lambda: _core.InterpolantND(two_axes, plane, kernel, [("poly", "poly")] * 2, [0, 0])
         .evaluate(points)),
        ("", lambda: Interpolator(x, y, kernel, "poly")(x)),
        ("axis 1: ", lambda: Interpolator(two_axes, plane, kernel, "poly")(points)),
    ]
    for prefix, values in built:
        if accepted:
            np.testing.assert_allclose(values(), y, rtol=0, atol=2e-3)  # shifted by at most a thousandth
        else:
            with pytest.raises(ValueError, match=f"^{prefix}knots span too wide a range$"):
                values()
