"""How names and numbers are written into error messages."""

import math

import numpy as np
import pytest

from quorvel import _core
from tests.conftest import quoted


@pytest.mark.parametrize("plane", range(17))
def test_names_are_quoted_as_this_python_judges_printable(plane):
    """Every code point of a plane in one name, shown as itself exactly when str.isprintable() says so."""
    assert quoted('a"\\\t\n\r\0\x7f\x85é') == '"a\\"\\\\\\t\\n\\r\\0\\u{7f}\\u{85}é"'
    name = "".join(chr(c) for c in range(plane << 16, (plane + 1) << 16) if not 0xD800 <= c <= 0xDFFF)
    with pytest.raises(ValueError) as excinfo:
        _core.extended_coefficients(np.zeros(3), name, "poly", "poly")
    assert str(excinfo.value) == f"unknown kernel {quoted(name)}"


@pytest.mark.parametrize(("point", "shown"), [
    (11.0, "11"), (-0.5, "-0.5"), (2.5e-8, "0.000000025"), (-0.0, "-0"), (0.1 + 0.2, "0.30000000000000004"),
    (1e23, "1" + "0" * 23), (123456789012345680000.0, "123456789012345680000"), (4.35e100, "435" + "0" * 98),
    (1.7976931348623157e308, "17976931348623157" + "0" * 292), (5e-324, "0." + "0" * 323 + "5"),
    (math.inf, "inf"), (-math.inf, "-inf")])
def test_range_messages_show_the_shortest_decimal(point, shown):
    f = _core.Interpolant1D(np.array([1.0, 1.5, 2.0]), np.zeros(3), "a3", "poly", "poly", 0)
    with pytest.raises(ValueError) as excinfo:
        f.evaluate(np.array([1.5, point]))
    assert str(excinfo.value) == f"point {shown} lies outside the data range [1, 2]"
