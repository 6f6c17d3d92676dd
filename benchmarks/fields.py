"""Real workloads: many fields on one grid, grid products, and the memory an interpolator holds.

- An RGB image (512^2 x 3, "a3", 10^6 random points, one thread): the three
  fields together against one field alone, three separate interpolators,
  RegularGridInterpolator(method="cubic") with the same trailing axis (on
  2 * 10^4 points) and three map_coordinates(order=3, prefilter=False) calls.
- Zooms, one thread: a 96^3 volume to 191^3 with "a3" by `on_grid` against
  scipy.ndimage.zoom(order=3, grid_mode=False) and against quorvel at the
  points of the meshgrid (the meshgrid built in the call, as a user writes it)
  and against `on_grid` writing into one array again and again (`out=`);
  a 2048^2 image to 4095^2 with "b5" against zoom(order=5).  Both again in one
  call from the data (`regrid`, which reads them once and copies nothing)
  against building the interpolator and calling `on_grid`.  Times per output
  value.
- Memory: the peak resident memory a zoom adds over the output (in a fresh
  process; for `regrid` the data are its input), and the bytes an interpolator holds per data value (the data's own
  are 8), for 2-D 512^2 and 3-D 256^3 and several kernels.
Run alone with `python benchmarks/fields.py`, or in `benchmarks/run.py`.
"""

from __future__ import annotations

import subprocess
import sys
import textwrap

import numpy as np
from _timing import Figure, Workload, run
from scipy.interpolate import RegularGridInterpolator
from scipy.ndimage import map_coordinates, zoom

from quorvel import Interpolator, regrid

POINTS = 10**6
SLOW_POINTS = 2 * 10**4


def rgb_image() -> list[Workload]:
    rng = np.random.default_rng(0)
    knots = [np.arange(512.0)] * 2
    image = rng.random((512, 512, 3))
    points = rng.uniform(0.0, 511.0, (POINTS, 2))
    units = points.T.copy()
    rgb = Interpolator(knots, image, "a3", "poly", workers=1)
    channels = [Interpolator(knots, image[..., c], "a3", "poly", workers=1) for c in range(3)]
    cubic = RegularGridInterpolator(knots, image, method="cubic")
    few = points[:SLOW_POINTS]
    return [Workload('2-D 512^2 x 3 fields (RGB) "a3"', POINTS, lambda: rgb(points), {
        "quorvel, one field": lambda: channels[0](points),
        "quorvel, 3 interpolators": lambda: [f(points) for f in channels],
        "map_coordinates order 3, 3 calls": lambda: [map_coordinates(image[..., c], units, order=3, prefilter=False)
                                                     for c in range(3)],
        "RegularGridInterpolator cubic": (lambda: cubic(few), SLOW_POINTS),
    })]


def zooms() -> list[Workload]:
    rng = np.random.default_rng(1)
    volume, cube = rng.standard_normal((96, 96, 96)), [np.arange(96.0)] * 3
    f = Interpolator(cube, volume, "a3", "poly", workers=1)
    x = np.linspace(0.0, 95.0, 191)
    zoomed = np.empty((191, 191, 191))
    image, square = rng.standard_normal((2048, 2048)), [np.arange(2048.0)] * 2
    g = Interpolator(square, image, "b5", "poly", workers=1)
    y = np.linspace(0.0, 2047.0, 4095)
    return [
        Workload('zoom 96^3 to 191^3 "a3" (on_grid)', 191**3, lambda: f.on_grid(x, x, x), {
            "scipy.ndimage.zoom order 3": lambda: zoom(volume, 191 / 96, order=3, grid_mode=False),
            "quorvel at the meshgrid's points": lambda: f(np.stack(np.meshgrid(x, x, x, indexing="ij"), axis=-1)),
            "on_grid into one array (out=)": lambda: f.on_grid(x, x, x, out=zoomed),
        }),
        Workload('zoom 2048^2 to 4095^2 "b5" (on_grid)', 4095**2, lambda: g.on_grid(y, y), {
            "scipy.ndimage.zoom order 5": lambda: zoom(image, 4095 / 2048, order=5, grid_mode=False),
        }),
        Workload('zoom 96^3 to 191^3 "a3" (regrid, from the data)', 191**3,
                 lambda: regrid(cube, volume, [x, x, x], "a3", "poly", workers=1), {
            "Interpolator built, then on_grid": lambda: Interpolator(cube, volume, "a3", "poly", workers=1).on_grid(
                x, x, x),
            "scipy.ndimage.zoom order 3": lambda: zoom(volume, 191 / 96, order=3, grid_mode=False),
        }),
        Workload('zoom 2048^2 to 4095^2 "b5" (regrid, from the data)', 4095**2,
                 lambda: regrid(square, image, [y, y], "b5", "poly", workers=1), {
            "Interpolator built, then on_grid": lambda: Interpolator(square, image, "b5", "poly", workers=1).on_grid(
                y, y),
        }),
    ]


def in_fresh_process(code: str) -> float:
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=True)
    return float(done.stdout)


PEAK = """
    import resource
    import numpy as np
    from quorvel import Interpolator, regrid
    f = Interpolator([np.arange(96.0)] * 3, np.ones((96, 96, 96)), "a3", workers=1)
    x = np.linspace(0.0, 95.0, 191)
    with open("/proc/self/statm") as statm:
        before = int(statm.read().split()[1]) * resource.getpagesize()
    result = {call}
    # The high-water mark of this process's memory alone (ru_maxrss would
    # carry that of the parent it was forked from).
    with open("/proc/self/status") as status:
        peak = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM"))
    print((peak - before - result.nbytes) / result.nbytes)
"""


def memory() -> list[Figure]:
    extra = {name: in_fresh_process(PEAK.format(call=call)) for name, call in [
        ("on_grid", "f.on_grid(x, x, x)"),
        ("meshgrid", "f(np.stack(np.meshgrid(x, x, x, indexing='ij'), axis=-1))"),
        ("regrid", "regrid([np.arange(96.0)] * 3, f.values, [x, x, x], 'a3', workers=1)"),
    ]}
    figures = [Figure("zoom 96^3 to 191^3: peak memory beyond the output, per output byte", max(extra["on_grid"], 1e-3),
                      {"quorvel at the meshgrid's points": extra["meshgrid"], "regrid, from the data": extra["regrid"]})]
    for shape in [(512, 512), (256, 256, 256)]:
        for kernel in ("a1", "a3", "b5", "b13"):
            held = in_fresh_process(f"""
                import numpy as np
                from quorvel import Interpolator
                def resident():
                    with open("/proc/self/statm") as statm:
                        return int(statm.read().split()[1]) * 4096
                values = np.ones({shape})
                before = resident()
                f = Interpolator([np.arange(n, dtype=float) for n in {shape}], values, "{kernel}")
                print((resident() - before) / values.size)
            """)
            figures.append(Figure(f'bytes held per data value, {"x".join(map(str, shape))} "{kernel}"', held,
                                  {"the data's own": 8.0}))
    return figures


def workloads() -> list[Workload | Figure]:
    return [*rgb_image(), *zooms(), *memory()]


if __name__ == "__main__":
    run(workloads())
