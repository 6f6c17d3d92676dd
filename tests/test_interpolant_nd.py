"""InterpolantND: evaluation bit for bit against a literal model, agreement with the
one-dimensional interpolant, what the interpolant is, every check in its order, and the binding."""

import numpy as np
import pytest

from quorvel import _core

InterpolantND = _core.InterpolantND


def rng_for(*key):
    """A generator seeded by the key's text, the same in every run."""
    return np.random.default_rng(list(repr(key).encode()))


# --- Evaluation checks ----------------------------------------------------------

# One interpolant of each path: columns, nearest knot, integrals (with a nearest-knot axis too).
PATHS = [("a3", [0, 1]), ("a0", [0, 0]), ("b5", [-2, 0]), ("a0", [0, -2])]


@pytest.mark.parametrize(("changes", "message"), [
    ({(0, 0): 4.5}, "coordinate 4.5 on axis 0 lies outside the data range [-0.3, 0.6]"),
    ({(0, 1): 1e20}, "coordinate 100000000000000000000 on axis 1 lies outside the data range [0.0000001, 2.0000001]"),
    ({(0, 0): np.nextafter(-0.3, -1)}, "coordinate -0.30000000000000004 on axis 0 lies outside the data range "
     "[-0.3, 0.6]"),
    ({(0, 0): np.nextafter(0.6, 1)}, "coordinate 0.6000000000000001 on axis 0 lies outside the data range [-0.3, 0.6]"),
    ({(0, 1): 0.0}, "coordinate 0 on axis 1 lies outside the data range [0.0000001, 2.0000001]"),
    ({(0, 1): -np.inf}, "coordinate -inf on axis 1 lies outside the data range [0.0000001, 2.0000001]"),
    ({(0, 0): np.inf, (0, 1): np.nan}, "coordinate inf on axis 0 lies outside the data range [-0.3, 0.6]"),
    # the first point in point order, then within it the first axis
    ({(3, 1): -5e-324, (3, 0): np.nan, (6, 0): 9.0}, f"coordinate -0.{'0' * 323}5 on axis 1 lies outside the data "
     "range [0.0000001, 2.0000001]"),
    ({(9, 1): 3.0, (9, 0): 1.0, (10, 0): -1.0}, "coordinate 1 on axis 0 lies outside the data range [-0.3, 0.6]"),
])
@pytest.mark.parametrize(("kernel", "derivatives"), PATHS)
def test_points_outside_the_data_range(kernel, derivatives, changes, message):
    knots = [np.linspace(-0.3, 0.6, 10), 1e-7 + np.arange(3.0)]
    f = InterpolantND(knots, np.ones((10, 3)), kernel, [("linear", "linear")] * 2, derivatives)
    corners = np.array([[-0.3, 1e-7], [0.6, 2.0000001], [-0.3, 2.0000001], [0.6, 1e-7]])
    assert np.all(np.isfinite(f.evaluate(corners)))  # both ends of every axis are inside
    points = np.full((11, 2), 0.25)
    points[:, 1] = 1.0
    for (p, a), x in changes.items():
        points[p, a] = x
    inside = np.full((5, 2), 0.5)
    for rows in (points, np.concatenate([inside, points]), np.asfortranarray(points)):  # blocks, single points
        with pytest.raises(ValueError) as excinfo:
            f.evaluate(rows)
        assert str(excinfo.value) == message
