"""All benchmarks in one run and one table: `python benchmarks/run.py`.

Every workload is timed for quorvel and for its NumPy/SciPy peers on the same
data in the same process, taking turns over several rounds, each call's best
time counting; the last column is the peer's time over quorvel's (above 1:
quorvel is faster).
"""

from __future__ import annotations

import platform

import numpy as np
import scipy
from _timing import HEADERS, measure, print_table

import evaluate_1d
import evaluate_nd
import extension
import fields
import integrals
import parallel

try:
    import xarray_regrid
except ImportError:  # xarray and Dask come with the xarray extra
    xarray_regrid = None


def cpu_name() -> str:
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def main() -> None:
    print(f"CPU: {cpu_name()}")
    print(f"Python {platform.python_version()}, NumPy {np.__version__}, SciPy {scipy.__version__}")
    parts = [evaluate_1d, evaluate_nd, extension, parallel, fields, integrals]
    if xarray_regrid is None:
        print("xarray or Dask is not installed: no xarray benchmark (pip install '.[xarray]')")
    else:
        print(f"xarray {xarray_regrid.xr.__version__}, Dask {xarray_regrid.dask.__version__}")
        parts.append(xarray_regrid)
    print()
    rows = []
    for part in parts:
        rows += measure(part.workloads())
    print_table(HEADERS, rows)


if __name__ == "__main__":
    main()
