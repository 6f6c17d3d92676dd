"""Regrid a global field from 0.25 to 1 degree with the xarray accessor.

A synthetic temperature-like field on the 0.25 degree grid of global weather
data: 721 latitudes from 90 to -90 (decreasing, as such data come), 1440
longitudes 0, 0.25, ..., 359.75 (periodic: 360 is 0 again) and 24 hourly time
steps, is interpolated to the 1 degree grid with kernel "a3", longitude
periodic, so that the columns next to 0 degrees read the data on both sides.
The same regridding of the data chunked by time with Dask gives the same bits.
Every 1 degree point is also a 0.25 degree knot, where the interpolant is the
data, so the field is then also interpolated pointwise along a track from 300
to 60 degrees east, across 0, between the knots, and compared with the exact
function. The picture shows the field at the first time step with the track,
its 1 degree version, and the values along the track.

    python examples/regrid_global_field.py [--output docs/regrid_global_field.png]
"""

from __future__ import annotations

import argparse
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt
import numpy as np
import numpy.typing as npt
import xarray as xr

import quorvel.xarray  # noqa: F401 - registers the .quorvel accessor

Array = npt.NDArray[np.float64]
DEFAULT_OUTPUT = Path(__file__).resolve().parent.parent / "docs" / "regrid_global_field.png"
HOURS = np.arange(24.0)
FINE = {"lat": np.linspace(90.0, -90.0, 721), "lon": np.arange(1440) * 0.25}
COARSE = {"lat": np.linspace(90.0, -90.0, 181), "lon": np.arange(360) * 1.0}
# Longitudes beyond 360 are fine along a periodic dimension: 420 is 60.
TRACK = {"lat": np.linspace(62.0, 18.0, 401), "lon": np.linspace(300.0, 420.0, 401)}


def temperature(hours: npt.ArrayLike, lat: npt.ArrayLike, lon: npt.ArrayLike) -> Array:
    """Kelvin, the arguments broadcast together: cold poles, planetary waves drifting east, and a wavy front."""
    t, phi, lam = np.asarray(hours, dtype=np.float64) / 24.0, np.radians(lat), np.radians(lon)
    waves = 8.0 * np.cos(phi) ** 2 * np.cos(4.0 * lam - 2.0 * np.pi * t)
    front = 6.0 * np.exp(-((phi - 0.7 - 0.1 * np.sin(6.0 * lam)) ** 2) / 0.01) * np.sin(9.0 * lam + np.pi * t)
    return 288.0 - 50.0 * np.sin(phi) ** 2 + waves + front


def fine_field() -> xr.DataArray:
    data = temperature(HOURS[:, None, None], FINE["lat"][:, None], FINE["lon"])
    return xr.DataArray(
        data, dims=("time", "lat", "lon"), name="t2m", attrs={"units": "K", "long_name": "temperature"},
        coords={"time": ("time", HOURS, {"units": "hours"}), "lat": ("lat", FINE["lat"], {"units": "degrees_north"}),
                "lon": ("lon", FINE["lon"], {"units": "degrees_east"})},
    )


def regrid(field: xr.DataArray) -> xr.DataArray:
    coarse: xr.DataArray = field.quorvel.interp(COARSE, kernel="a3", boundary={"lon": "periodic"})
    return coarse


def along_track(field: xr.DataArray) -> xr.DataArray:
    """Pointwise: the new coordinates share the dimension "point"."""
    track = {name: xr.DataArray(values, dims="point") for name, values in TRACK.items()}
    values: xr.DataArray = field.quorvel.interp(track, kernel="a3", boundary={"lon": "periodic"})
    return values


def draw(output: Path) -> None:
    field = fine_field()
    coarse = regrid(field)
    lazy = regrid(field.chunk({"time": 6}))  # Dask: one task per chunk of time steps
    assert np.array_equal(lazy.values, coarse.values), "the Dask-backed result differs from the in-memory one"
    track = along_track(field)  # (time, point)
    exact = temperature(HOURS[:, None], TRACK["lat"], TRACK["lon"])
    worst = float(np.abs(track.values - exact).max())

    figure, panels = plt.subplots(1, 3, figsize=(15, 3.6), layout="constrained")
    levels = {"vmin": 230.0, "vmax": 300.0, "cmap": "RdYlBu_r"}
    for panel, data, title in ((panels[0], field, "0.25 degree: 721 x 1440"), (panels[1], coarse, "1 degree: 181 x 360")):
        image = panel.pcolormesh(data.lon, data.lat, data.isel(time=0), shading="nearest", rasterized=True, **levels)
        panel.set_title(f"{title}, hour 0")
        panel.set_xticks(np.arange(0, 361, 90))
        panel.set_yticks(np.arange(-90, 91, 45))
    wrapped = np.where(np.diff(TRACK["lon"] % 360.0, prepend=0.0) < 0, np.nan, TRACK["lon"] % 360.0)  # break at 0
    panels[0].plot(wrapped, TRACK["lat"], color="black", linewidth=1.5)
    panels[0].set_ylabel("latitude (degrees north)")
    figure.colorbar(image, ax=panels[:2], label="temperature (K)", shrink=0.9)
    for hour, color in ((0, "C0"), (12, "C3")):
        panels[2].plot(TRACK["lon"], track.isel(time=hour), color=color, label=f"interpolated, hour {hour}")
        panels[2].plot(TRACK["lon"][::16], exact[hour, ::16], "o", color="black", markersize=3)
    panels[2].plot([], [], "o", color="black", markersize=3, label="exact")
    panels[2].set_xticks(np.arange(300, 421, 30), ["300", "330", "0", "30", "60"])
    panels[2].set_ylabel("temperature (K)")
    panels[2].legend(fontsize=8)
    panels[2].set_title(f'along the track (pointwise, "a3"): max error {worst:.1e} K', fontsize=10)
    for panel in panels:
        panel.set_xlabel("longitude (degrees east)")
    figure.savefig(output, dpi=75)
    plt.close(figure)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT, help="PNG file to write")
    draw(parser.parse_args().output)


if __name__ == "__main__":
    main()
