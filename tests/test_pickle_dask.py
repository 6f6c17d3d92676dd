"""Interpolators travel: pickling, copying, other processes and Dask arrays."""

import copy
import multiprocessing
import pickle

import numpy as np
import pytest

import quorvel
from quorvel import Interpolator

RNG = np.random.default_rng(7)


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def one_d():
    x = np.linspace(0.0, 3.0, 40)
    return Interpolator(x, np.cos(3.0 * x) * x, "b7", ("poly", "linear"), out_of_range="nan"), RNG.uniform(-0.1, 3.1, 500)


def three_d():
    knots = [np.linspace(0.0, 1.0, 7), np.linspace(0.0, 2.0, 9), np.linspace(-1.0, 1.0, 8)]
    mesh = np.meshgrid(*knots, indexing="ij")
    f = Interpolator(knots, np.exp(mesh[0] - mesh[1]) * np.sin(mesh[2]), "a4", out_of_range="clip")
    return f, RNG.uniform([0.0, 0.0, -1.0], [1.0, 2.0, 1.0], (500, 3))


CASES = {
    "1d": one_d,
    "1d antiderivative": lambda: (one_d()[0].antiderivative(2), one_d()[1]),
    "3d": three_d,
    "3d mixed orders": lambda: (three_d()[0].derivative(axis=0).antiderivative(axis=(1, 2)), three_d()[1]),
}


@pytest.mark.parametrize("make", CASES.values(), ids=CASES.keys())
@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
def test_pickle_round_trip_gives_identical_bits(make, protocol):
    f, points = make()
    g = pickle.loads(pickle.dumps(f, protocol=protocol))
    assert type(g) is Interpolator and repr(g) == repr(f)
    assert same_bits(g(points), f(points))
    assert g.integrate(*np.array(g.domain).T * 0.9) == f.integrate(*np.array(f.domain).T * 0.9)
    assert not g.values.flags.writeable and all(not k.flags.writeable for k in g.grid)


@pytest.mark.parametrize("make", CASES.values(), ids=CASES.keys())
def test_copies_are_independent_and_identical(make):
    f, points = make()
    for g in (copy.copy(f), copy.deepcopy(f)):
        assert g is not f and repr(g) == repr(f)
        assert same_bits(g(points), f(points))
    assert not np.shares_memory(copy.deepcopy(f).values, f.values)


def test_pickles_name_the_public_class_and_refuse_unknown_formats():
    f, _ = one_d()
    data = pickle.dumps(f)
    assert b"Interpolator" in data and b"_interpolator" not in data  # quorvel.Interpolator
    state = f.__getstate__()
    g = Interpolator.__new__(Interpolator)
    with pytest.raises(ValueError, match="cannot restore an Interpolator saved in format 99"):
        g.__setstate__({**state, "version": 99})
    assert pickle.loads(pickle.dumps(quorvel.kernels())) == quorvel.kernels()


def _evaluate_in_child(f, points):
    return f(points)


def test_spawned_processes_receive_working_interpolators():
    f, points = three_d()
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        result = pool.apply(_evaluate_in_child, (f.derivative(axis=2), points))
    assert same_bits(result, f.derivative(axis=2)(points))


# --- the Dask recipe, as the README gives it --------------------------------


def test_dask_recipe_for_one_dimensional_points():
    da = pytest.importorskip("dask.array")
    f, points = one_d()
    lazy = da.from_array(points.reshape(20, 25), chunks=(7, 10))
    result = lazy.map_blocks(f, meta=np.array((), dtype=np.float64))
    assert same_bits(result.compute(), f(points.reshape(20, 25)))


def test_dask_recipe_for_n_dimensional_points():
    da = pytest.importorskip("dask.array")
    f, points = three_d()
    lazy = da.from_array(points, chunks=(64, 2)).rechunk({-1: -1})  # each chunk holds whole points
    result = lazy.map_blocks(f, drop_axis=-1, meta=np.array((), dtype=np.float64))
    assert result.shape == (500,)
    assert same_bits(result.compute(scheduler="threads"), f(points))
    assert same_bits(result.compute(scheduler="sync"), f(points))
