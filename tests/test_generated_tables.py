"""The committed kernel tables and kernel catalogue are exactly what tools/generate_tables.py writes, and the
catalogue agrees with what the native module does."""

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quorvel
from quorvel import _core
from tests.conftest import rng_for

ROOT = Path(__file__).resolve().parent.parent
GENERATED = {"kernel_tables.cpp": ROOT / "src" / "core", "_catalogue.py": ROOT / "src" / "quorvel"}


@pytest.mark.skipif(not (ROOT / "src").is_dir(), reason="the source tree is not here (an installed wheel)")
def test_generated_files_are_current(tmp_path):
    subprocess.run([sys.executable, str(ROOT / "tools" / "generate_tables.py"), "--output-dir", str(tmp_path)],
                   check=True)
    assert sorted(path.name for path in tmp_path.iterdir()) == sorted(GENERATED)
    for name, directory in GENERATED.items():
        assert (tmp_path / name).read_bytes() == (directory / name).read_bytes(), f"{name} is not current"


@pytest.mark.parametrize(("name", "info"), quorvel.kernels().items(), ids=quorvel.kernels())
def test_catalogue_agrees_with_the_native_module(name, info):
    x = np.arange(-3.0 * info.columns, 3.0 * info.columns + 1)
    ghosts = len(_core.extended_coefficients(x, name, "poly", "poly")) - len(x)
    assert ghosts == 2 * (info.columns // 2 - 1)
    orders = range(-info.max_integral, info.max_derivative + 1)
    for order in orders:
        _core.Interpolant1D(x, x, name, "poly", "poly", order)
        if name != "a0":  # the nearest knot has no weight tables
            assert len(_core.kernel_weights(name, order, 0.25)) == info.columns
    for order in (orders.start - 1, orders.stop):
        with pytest.raises(ValueError, match=f'^kernel "{name}" supports'):
            _core.Interpolant1D(x, x, name, "poly", "poly", order)
        with pytest.raises(ValueError, match="^no kernel table"):
            _core.kernel_weights(name, order, 0.25)
    # x**exact_degree comes back to rounding, x**(exact_degree + 1) does not.
    points = rng_for(name).uniform(-info.columns, info.columns, 200)
    errors = [np.max(np.abs(_core.Interpolant1D(x, x**m, name, "poly", "poly", 0).evaluate(points) - points**m))
              / np.max(np.abs(x**m)) for m in (info.exact_degree, info.exact_degree + 1)]
    assert errors[0] < 1e-14 < errors[1]


ORDINALS = ["zeroth", "first", "second", "third", "fourth", "fifth", "sixth", "seventh", "eighth", "ninth"]


@pytest.mark.parametrize("info", quorvel.kernels().values(), ids=quorvel.kernels())
def test_descriptions_agree_with_the_numbers(info):
    """The one-line descriptions are written by hand; the numbers they repeat must not go stale."""
    repeated = {r"(\w+)-order accurate": ORDINALS[info.exact_degree + 1], r"on (\d+) knots": str(info.columns),
                r"degree-(\d+) pieces": str(info.degree), r"derivatives up to (\d+)": str(info.max_derivative)}
    for pattern, expected in repeated.items():
        found = re.search(pattern, info.description)
        assert found is None or found[1] == expected, f"{info.description!r}: {pattern} should give {expected}"
