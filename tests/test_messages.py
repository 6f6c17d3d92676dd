"""How names and numbers are written into error messages."""

import numpy as np
import pytest

from quorvel import _core

ESCAPES = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}


@pytest.mark.parametrize("plane", range(17))
def test_names_are_quoted_as_this_python_judges_printable(plane):
    """The table for quoting is this Python's: every code point of a plane in
    one name, each shown as itself exactly when str.isprintable() says so."""
    name = "".join(chr(c) for c in range(plane << 16, (plane + 1) << 16) if not 0xD800 <= c <= 0xDFFF)
    shown = "".join(ESCAPES.get(c) or (c if c.isprintable() else f"\\u{{{ord(c):x}}}") for c in name)
    with pytest.raises(ValueError) as excinfo:
        _core.extended_coefficients(np.zeros(3), name, "poly", "poly")
    assert str(excinfo.value) == f'unknown kernel "{shown}"'
