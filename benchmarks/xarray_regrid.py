"""Regridding labelled data: the xarray accessor against xarray's own interp.

A global field of 4 time steps on the 0.25 degree grid (721 latitudes from 90
to -90, 1440 longitudes from 0 to 359.75) regridded to 1 degree (181 x 360), as
in examples/regrid_global_field.py: `da.quorvel.interp` with "a3" and periodic
longitude against `da.interp(method="cubic")` and `method="linear"`, each call
from the DataArray to the regridded DataArray (quorvel's construction
included), every core at work:
- in memory (quorvel's `workers=None`: every core);
- Dask-backed, one chunk per time step, computed by the threaded scheduler
  (quorvel: one thread per task, the tasks in parallel).
Times per output value.
Run alone with `python benchmarks/xarray_regrid.py`, or in `benchmarks/run.py`.
"""

from __future__ import annotations

import dask
import numpy as np
import xarray as xr
from _timing import Workload, run

import quorvel.xarray  # noqa: F401 - registers the accessor

STEPS = 4
COARSE = {"lat": np.linspace(90.0, -90.0, 181), "lon": np.arange(360) * 1.0}


def global_field() -> xr.DataArray:
    lat, lon = np.linspace(90.0, -90.0, 721), np.arange(1440) * 0.25
    rng = np.random.default_rng(0)
    smooth = np.cos(np.radians(lat))[:, None] * np.sin(np.radians(3.0 * lon))
    data = 280.0 + 20.0 * smooth + rng.standard_normal((STEPS, 721, 1440))
    return xr.DataArray(data, dims=("time", "lat", "lon"), coords={"time": np.arange(STEPS * 1.0), "lat": lat, "lon": lon})


def workloads() -> list[Workload]:
    field = global_field()
    lazy = field.chunk({"time": 1})
    outputs = STEPS * 181 * 360

    def ours(data: xr.DataArray) -> xr.DataArray:
        result: xr.DataArray = data.quorvel.interp(COARSE, kernel="a3", boundary={"lon": "periodic"})
        return result

    name = f'regrid {STEPS} x 721 x 1440 to 1 degree, "a3"'
    return [
        Workload(f"{name}, in memory", outputs, lambda: ours(field), {
            "xarray interp cubic": lambda: field.interp(COARSE, method="cubic"),
            "xarray interp linear": lambda: field.interp(COARSE, method="linear"),
        }),
        Workload(f"{name}, Dask (threads)", outputs, lambda: ours(lazy).compute(), {
            "xarray interp cubic": lambda: lazy.interp(COARSE, method="cubic").compute(),
            "xarray interp linear": lambda: lazy.interp(COARSE, method="linear").compute(),
        }),
    ]


if __name__ == "__main__":
    run(workloads())
