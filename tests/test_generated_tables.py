"""The committed kernel tables are exactly what tools/generate_tables.py writes,
and the generator's exact arithmetic reproduces known kernel values."""

import runpy
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
GENERATOR = ROOT / "tools" / "generate_tables.py"
CORE = ROOT / "src" / "core"


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    out = tmp_path_factory.mktemp("generated")
    subprocess.run([sys.executable, str(GENERATOR), "--output-dir", str(out)], check=True)
    return out


@pytest.fixture(scope="module")
def gen():
    return runpy.run_path(str(GENERATOR), run_name="generate_tables")


def kernel(gen, name):
    return next(k for k in gen["KERNELS"] if k.name == name)


def stored_rows(table):
    """Rows as stored: highest power first, one entry per column."""
    return [[column[p] for column in table] for p in reversed(range(len(table[0])))]


def fractions(rows):
    return [[Fraction(x) for x in row] for row in rows]


def test_kernel_tables_are_current(generated):
    name = "kernel_tables.cpp"
    assert (generated / name).read_bytes() == (CORE / name).read_bytes()


@pytest.mark.parametrize("name, order, rows", [
    ("a1", -1, [["-1/2", "1/2"], ["0", "-1"], ["1/2", "0"]]),
    ("a1", -2, [["1/6", "-1/6"], ["0", "1/2"], ["-1/2", "0"], ["1/2", "1/6"]]),
    ("a3", -1, [["-1/8", "3/8", "-3/8", "1/8"], ["1/6", "-2/3", "5/6", "-1/3"],
                ["0", "-1/4", "0", "1/4"], ["0", "0", "-1", "0"], ["1/2", "13/24", "0", "-13/24"]]),
    ("a3", 1, [["3/2", "-9/2", "9/2", "-3/2"], ["-1", "4", "-5", "2"], ["0", "1/2", "0", "-1/2"]]),
])
def test_derived_tables(gen, name, order, rows):
    assert stored_rows(gen["all_tables"](kernel(gen, name))[order]) == fractions(rows)


@pytest.mark.parametrize("name, k, value", [
    ("a3", 2, Fraction(1)), ("a3", 4, Fraction(2, 3)), ("b5", 6, Fraction(625, 48)),
    ("b13", 8, Fraction(531441, 1120)),
])
def test_integral_starts_at_the_outside_value(gen, name, k, value):
    assert gen["all_tables"](kernel(gen, name))[-k][0][0] == value


@pytest.mark.parametrize("name, k, starts, tails", [
    ("a0", 1, ["0"], ["1/2"]),
    ("a1", 1, ["0"], ["1/2"]),
    ("a0", 2, ["1/8", "0"], ["3/8", "1/2"]),
    ("a1", 2, ["1/6", "0"], ["1/3", "1/2"]),
])
def test_anchoring(gen, name, k, starts, tails):
    entry = kernel(gen, name)
    tables = gen["all_tables"](entry) if name != "a0" else {}
    got_starts, got_tails = gen["anchoring"](tables, k)
    assert fractions(got_starts) == fractions([starts])
    assert fractions(got_tails) == fractions([tails])


@pytest.mark.parametrize("cols, distance, row", [
    (2, 9, (10, -9)),
    (3, 9, (55, -99, 45)),
    (4, 4, (35, -84, 70, -20)),
    (6, 5, (252, -1050, 1800, -1575, 700, -126)),
    (8, 9, (11440, -72072, 196560, -300300, 277200, -154440, 48048, -6435)),
])
def test_ghost_rows(gen, cols, distance, row):
    assert gen["lagrange_ghost_row"](distance, cols) == row


def test_every_order_has_a_table(gen):
    counts = [len(gen["all_tables"](k)) for k in gen["KERNELS"] if k.name != "a0"]
    assert sum(counts) == 98
