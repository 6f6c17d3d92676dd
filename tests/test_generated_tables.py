"""The committed kernel tables are exactly what tools/generate_tables.py writes."""

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def test_kernel_tables_are_current(tmp_path):
    subprocess.run([sys.executable, str(ROOT / "tools" / "generate_tables.py"), "--output-dir", str(tmp_path)],
                   check=True)
    assert (tmp_path / "kernel_tables.cpp").read_bytes() == (ROOT / "src" / "core" / "kernel_tables.cpp").read_bytes()
