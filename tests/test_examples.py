"""The demo and the example scripts (matplotlib is optional) run."""

import runpy
from pathlib import Path

import pytest


@pytest.mark.parametrize(("script", "needs"), [("kernel_weights.py", ()), ("convergence.py", ()),
                                              ("regrid_global_field.py", ("xarray", "dask.array"))])
def test_example_draws_a_png(script, needs, tmp_path):
    for module in ("matplotlib", *needs):
        pytest.importorskip(module)
    runpy.run_path(str(Path(__file__).resolve().parent.parent / "examples" / script))["draw"](tmp_path / "picture.png")
    assert (tmp_path / "picture.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_demo_prints_both_tables(capsys):
    from quorvel.__main__ import main

    main()
    out = capsys.readouterr().out
    assert "1-D: f(x)" in out and "3-D: g" in out and "points/s" in out and "nan" not in out.lower()


def test_readme_examples_run():
    """Every Python block of the README, in order, in one namespace."""
    readme = Path(__file__).resolve().parent.parent / "README.md"
    if not readme.exists():
        pytest.skip("the README is not beside the tests")
    blocks = readme.read_text().split("```python\n")[1:]
    namespace: dict = {}
    for block in blocks:
        code = block.split("```", 1)[0]
        if any(module in code and not _installed(module) for module in ("dask", "xarray")):
            continue
        exec(compile(code, "README.md", "exec"), namespace)  # noqa: S102 - the README's own examples


def _installed(module):
    try:
        __import__(module)
    except ImportError:
        return False
    return True
