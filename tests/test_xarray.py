"""The xarray accessor: xarray's conventions for interp, differentiate and integrate, the bits of the interpolator,
and Dask-backed data (threads and a cluster of processes) with the bits of the in-memory call."""

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
import quorvel.xarray  # noqa: E402,F401 - registers the accessor

from quorvel import Interpolator  # noqa: E402
from tests.conftest import rng_for, same_bits  # noqa: E402

LAT = np.linspace(90.0, -90.0, 19)  # decreasing, as latitudes usually come
LON = np.arange(36) * 10.0  # periodic: 360 is 0 again
PERIODIC = [("detect", "detect"), ("periodic", "periodic")]


def field(key="field"):
    """(time, lat, lon) with coordinates of every kind: numeric and label, along one or two dimensions."""
    rng = rng_for(key)
    return xr.DataArray(
        rng.standard_normal((3, 19, 36)), dims=("time", "lat", "lon"), name="tas", attrs={"units": "K"},
        coords={"time": [0.0, 6.0, 12.0], "lat": ("lat", LAT, {"units": "degrees_north"}), "lon": LON,
                "area": (("lat", "lon"), rng.random((19, 36))), "band": ("lat", list("abcdefghijklmnopqrs")),
                "step": ("time", ["x", "y", "z"])})


def points(*dims, shape=(4,)):
    rng = rng_for("points", dims, shape)
    return {"lat": xr.DataArray(rng.uniform(-95.0, 95.0, shape), dims=dims),  # some outside: NaN
            "lon": xr.DataArray(rng.uniform(0.0, 350.0, shape), dims=dims)}


NEW = {
    "grid product": {"lat": [-85.0, 12.5, 33.0, 95.0], "lon": [5.0, 123.4, 349.0]},
    "scalar": {"lat": 12.3},
    "scalar and vector": {"lon": 3.0, "time": [1.0, 7.5]},
    "one dimension": {"time": [1.0, 7.5]},
    "pointwise": points("station"),
    "pointwise on a 2-D grid": points("y", "x", shape=(2, 3)),
    "pointwise and grid product": {"lat": points("y", "x", shape=(2, 3))["lat"], "lon": [1.0, 2.0]},
}


@pytest.mark.parametrize("order", [("time", "lat", "lon"), ("lon", "time", "lat")])
@pytest.mark.parametrize("case", NEW)
def test_linear_kernel_as_xarray_linear(case, order):
    da = field().transpose(*order)
    ours = da.quorvel.interp(NEW[case], kernel="a1")
    theirs = da.interp(NEW[case], method="linear")
    assert ours.name == "tas" and ours.attrs == {"units": "K"}
    xr.testing.assert_allclose(ours.variable, theirs.variable, rtol=0, atol=1e-14)  # dimensions, NaN included
    # xarray leaves a label coordinate behind on a dimension that is gone; the accessor drops it.
    names = {name for name, c in theirs.coords.items() if set(c.dims) <= set(theirs.dims)}
    assert set(ours.coords) == names
    for name in names:
        assert ours[name].attrs == theirs[name].attrs
        xr.testing.assert_allclose(ours[name].variable, theirs[name].variable, rtol=0, atol=1e-14)


@pytest.mark.parametrize("kernel", ["a3", "b5"])
def test_the_bits_of_the_interpolator(kernel):
    """Periodic longitudes wrap, decreasing latitudes are reversed, time is a value axis."""
    da = field(kernel)
    lat, lon = np.array([89.0, 0.3, -90.0]), np.array([-5.0, 355.0, 365.0, 720.5])
    result = da.quorvel.interp(lat=lat, lon=lon, kernel=kernel, boundary={"lon": "periodic"})
    f = Interpolator([LAT, LON], da.transpose("lat", "lon", "time"), kernel, PERIODIC, out_of_range="nan")
    assert same_bits(result.transpose("lat", "lon", "time"), f.on_grid(lat, lon))
    assert np.allclose(result.sel(lon=-5.0), result.sel(lon=355.0), rtol=0, atol=1e-12)
    pointwise = da.quorvel.interp(lat=xr.DataArray(lat, dims="p"), lon=xr.DataArray(lon[:3], dims="p"),
                                  kernel=kernel, boundary={"lon": ("periodic", "periodic")})
    assert same_bits(pointwise.transpose("p", "time"), f(np.stack([lat, lon[:3]], axis=-1)))


def test_large_fields_one_by_one_have_the_bits_of_one_interpolator():
    """Fields of 2^18 values or more are interpolated one at a time, in threads (memory) or in turn (a Dask task)."""
    pytest.importorskip("dask.array")
    x, y = np.linspace(1.0, -1.0, 512), np.arange(512) / 512
    data = xr.DataArray(rng_for("large").standard_normal((3, 512, 512)), coords={"t": [0.0, 1.0, 2.0], "x": x, "y": y})
    new = {"x": [0.9, 0.1, -0.35], "y": [0.0, 0.5, 1.2]}
    f = Interpolator([x, y], data.transpose("x", "y", "t"), "b5", PERIODIC, out_of_range="nan")
    for da in (data, data.chunk({"t": 2})):
        result = da.quorvel.interp(new, kernel="b5", boundary={"y": "periodic"}, workers=2)
        assert same_bits(result.transpose("x", "y", "t"), f.on_grid(new["x"], new["y"]))
        integral = da.quorvel.integrate(["x", "y"], kernel="b5", boundary={"y": "periodic"}, workers=2)
        assert same_bits(integral, f.integrate([1.0, 0.0], [-1.0, 1.0]))


def test_a_dataset_of_mixed_variables():
    da = field()
    ds = xr.Dataset({"tas": da, "zonal": da.isel(lon=0, drop=True).drop_vars("area"), "trend": ("time", [1.0, 2.0, 3.0]),
                     "label": ("time", ["a", "b", "c"])}, attrs={"title": "synthetic"})
    new = {"lat": [10.0, 20.0], "lon": [5.0, 15.0, 25.0]}
    result = ds.quorvel.interp(new, kernel="b5", boundary={"lon": "periodic"})
    assert result.attrs == {"title": "synthetic"} and result.tas.attrs == {"units": "K"}
    assert same_bits(result.tas, da.quorvel.interp(new, kernel="b5", boundary={"lon": "periodic"}))
    assert same_bits(result.zonal, ds.zonal.quorvel.interp(lat=new["lat"], kernel="b5"))
    assert result.trend.identical(ds.trend) and result.label.identical(ds.label)
    with pytest.raises(TypeError, match="^variable 'names' along dimension 'lat' are of dtype <U1: only real"):
        ds.assign(names=("lat", ds.band.values)).quorvel.interp(new)


def test_dask_with_threads_is_lazy_and_has_the_bits_in_memory():
    pytest.importorskip("dask.array")
    da = field()
    lazy = da.chunk({"time": 1, "lat": 7})  # the latitudes are gathered into one chunk
    calls = [
        lambda a: a.quorvel.interp(lat=[-85.0, 12.5, 95.0], lon=[5.0, 355.0], boundary={"lon": "periodic"}),
        lambda a: a.quorvel.interp(points("station"), kernel="b5"),
        lambda a: a.quorvel.interp(lat=12.5, time=3.0),
        lambda a: a.quorvel.differentiate("lat", kernel="b5"),
        lambda a: a.quorvel.integrate(["lat", "lon"], boundary={"lon": "periodic"}),
    ]
    for call in calls:
        expected, result = call(da), call(lazy)
        assert result.chunks is not None and result.dims == expected.dims
        assert same_bits(result.compute(scheduler="threads"), expected)
    empty = da.isel(time=slice(0, 0))  # no field to interpolate: an empty result, not a refusal
    for data in (empty, empty.chunk()):
        assert data.quorvel.interp(lat=[1.0, 2.0]).compute().shape == (0, 2, 36)
        assert data.quorvel.integrate("lat").compute().shape == (0, 36)


def test_dask_tasks_are_named_by_what_they_compute():
    pytest.importorskip("dask.array")
    lazy = field().chunk({"time": 1})

    def name(data, **changes):
        return data.quorvel.interp(**({"lat": [1.0, 2.0]} | changes)).data.name

    assert name(lazy) == name(field().chunk({"time": 1}))  # the same work on the same data: the same tasks
    others = [name(lazy, lat=[1.0, 3.0]), name(lazy, kernel="b5"), name(lazy * 2.0), name(lazy, lon=[5.0]),
              name(lazy, boundary={"lat": "linear"}), name(lazy, lat=1.0), name(lazy.transpose("lon", ...))]
    assert len({name(lazy), *others}) == 1 + len(others)


@pytest.fixture(scope="module")
def cluster_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


def test_dask_on_a_cluster_of_processes(cluster_client):
    ds = xr.Dataset({"tas": field(), "pr": field() ** 2}).chunk({"time": 1})
    result = ds.quorvel.interp(lat=np.linspace(80.0, -80.0, 5), lon=np.arange(0.0, 360.0, 45.0),
                               kernel="b7", boundary={"lon": "periodic"})
    computed = cluster_client.compute(result).result()
    assert same_bits(computed.tas, result.tas.compute(scheduler="sync"))
    in_memory = ds.compute().quorvel.interp(lat=result.lat, lon=result.lon, kernel="b7", boundary={"lon": "periodic"})
    assert same_bits(computed.pr, in_memory.pr)


def test_differentiate_and_integrate_as_the_interpolator():
    da = field()
    f = Interpolator([LAT, LON], da.transpose("lat", "lon", "time"), "b7", PERIODIC)
    at = np.array([1.0, 2.0, 3.0])
    derivative = da.quorvel.differentiate("lon", kernel="b7", boundary={"lon": "periodic"})
    assert derivative.dims == da.dims and derivative.attrs == {} and set(derivative.coords) == set(da.coords)
    along_lon = Interpolator(LON, da.transpose("lon", "time", "lat"), "b7", "periodic").derivative()
    assert same_bits(derivative.transpose("lon", "time", "lat"), along_lon(LON))
    second = da.quorvel.differentiate("lat", 2, lat=at, kernel="b7", boundary={"lon": "periodic"})
    along_lat = Interpolator(LAT, da.transpose("lat", "time", "lon"), "b7").derivative(2)
    assert same_bits(second.transpose("lat", "time", "lon"), along_lat(at))
    integral = da.quorvel.integrate(["lon", "lat"], kernel="b7", boundary={"lon": "periodic"})
    assert integral.dims == ("time",) and set(integral.coords) == {"time", "step"}
    # From the first coordinate to the last (90 to -90: the sign of xarray's), over a whole period of longitude.
    assert same_bits(integral, f.integrate([90.0, 0.0], [-90.0, 360.0]))
    ones = xr.DataArray(np.ones((19, 36)), coords={"lat": LAT, "lon": LON})
    assert ones.quorvel.integrate("lat").values == pytest.approx(ones.integrate("lat").values, rel=1e-14)


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda da: da.assign_coords(lat=np.r_[LAT[:-1], -89.0]).quorvel.interp(lat=1.0), ValueError,
     r"^coordinate 'lat': knot 1 is 0.0056 spacings off the uniform grid from 90.0 to -89.0"),
    (lambda da: da.drop_vars("lat").quorvel.interp(lat=1.0), ValueError, "^dimension 'lat' has no coordinate"),
    (lambda da: da.quorvel.integrate("level"), ValueError, "^'level' is not a dimension of the data"),
    (lambda da: da.astype(bool).quorvel.differentiate("lon"), TypeError,
     "^variable 'tas' along dimension 'lon' are of dtype bool"),
    (lambda da: da.quorvel.interp(lat=[[1.0]]), ValueError, r"^new coordinates of 'lat': expected a scalar"),
    (lambda da: da.quorvel.interp(lat=xr.DataArray([1.0], dims="time")), ValueError,
     "^new coordinates of 'lat' run along dimension 'time', which the data have"),
    (lambda da: da.quorvel.interp(lat=1.0, boundary={"lat": ("periodic", "poly")}), ValueError,
     "^boundary: dimension 'lat' pairs 'periodic' with 'poly'"),
    (lambda da: da.quorvel.interp(lat=1.0, boundary={"height": "periodic"}), ValueError,
     "^boundary: 'height' is not a dimension"),
    (lambda da: da.quorvel.differentiate("lat", order=3), ValueError,
     "^dimension 'lat': kernel \"a3\" supports derivatives up to order 1, got 3"),
])
def test_refusals_name_the_dimension(call, error, message):
    with pytest.raises(error, match=message):
        call(field())


def test_a_repeated_periodic_sample_is_named_by_its_dimension():
    da = xr.DataArray(np.cos(np.radians(np.arange(37) * 10.0)), coords={"lon": np.arange(37) * 10.0})
    with pytest.warns(UserWarning, match="^boundary: the data along periodic dimension 'lon' end with their first"):
        da.quorvel.interp(lon=5.0, boundary="periodic")


def test_works_without_dask(run_python):
    out = run_python("""
        import sys
        sys.modules.update(dask=None, distributed=None)  # as if not installed
        import numpy as np, xarray as xr, quorvel.xarray
        da = xr.DataArray(np.arange(12.0).reshape(3, 4), coords={"x": [0.0, 1.0, 2.0], "y": np.arange(4.0)})
        print(float(da.quorvel.interp(x=0.5, y=1.0, kernel="a1")), float(da.quorvel.integrate(["x", "y"])))
    """)
    assert out.split() == ["3.0", "33.0"]
