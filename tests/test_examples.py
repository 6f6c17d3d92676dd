"""The example scripts run and draw their pictures (matplotlib is optional)."""

import importlib.util
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


@pytest.mark.parametrize("script", ["kernel_weights.py", "convergence.py"])
def test_example_draws_a_png(script, tmp_path):
    pytest.importorskip("matplotlib")
    spec = importlib.util.spec_from_file_location(script.removesuffix(".py"), EXAMPLES / script)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    output = tmp_path / "picture.png"
    module.draw(output)
    assert output.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_demo_prints_both_tables(capsys):
    from quorvel.__main__ import main

    main()
    out = capsys.readouterr().out
    assert "1-D: f(x)" in out and "3-D: g" in out and "points/s" in out
    assert "nan" not in out.lower()
