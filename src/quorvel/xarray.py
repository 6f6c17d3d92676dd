"""Labelled data: the ``.quorvel`` accessor of xarray's DataArray and Dataset.

``import quorvel.xarray`` registers the accessor (``pip install "quorvel[xarray]"``)::

    coarse = field.quorvel.interp(lat=np.linspace(90, -90, 181), lon=np.arange(360.0),
                                  boundary={"lon": "periodic"})

The dimensions interpolated along become the leading axes of one
:class:`quorvel.Interpolator` (their coordinates, uniformly spaced, are its
knots); every other dimension is carried as a trailing value axis, so that each
field is interpolated exactly as it would be alone. Dask-backed data stay
lazy: the interpolated dimensions are gathered into one chunk each, and every
chunk of the other dimensions is interpolated on its own, in parallel, with the
bits of the in-memory call.
"""

from __future__ import annotations

import hashlib
import math
import re
import sys
import warnings
from collections.abc import Callable, Hashable, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, fields, is_dataclass, replace
from types import FrameType
from typing import Any, ClassVar, Final, Generic, TypeAlias, TypeVar

import numpy as np
import numpy.typing as npt
import xarray as xr

from quorvel._grids import UniformAxis, uniform_axis
from quorvel._interpolator import (
    Interpolator,
    OutOfRange,
    Workers,
    _checked_data,
    _regridded,
    _thread_count,
)

__all__ = ["BoundaryByDimension", "DataArrayAccessor", "DatasetAccessor"]

Float64Array: TypeAlias = npt.NDArray[np.float64]
BoundaryByDimension: TypeAlias = str | Mapping[Hashable, str | Sequence[str]]
"""One condition name for every dimension, or a mapping of dimension name to a name or a (left, right) pair."""

XarrayObject = TypeVar("XarrayObject", xr.DataArray, xr.Dataset)

# Real numbers: integers and floats.  Booleans, complex numbers, dates and text are not interpolated (xarray treats
# booleans as labels too).
_REAL_KINDS: Final = "iuf"
_GRID: Final = re.compile(r"^grid(?:\[(\d+)\])?:")  # the knots of an axis, at the start of a message
_AXIS: Final = re.compile(r"\baxis (\d+)\b")


def _named(message: str, dims: Sequence[Hashable]) -> str:
    """An interpolator's message with its axes called by the dimensions they stand for."""
    message = _GRID.sub(lambda match: f"coordinate {dims[int(match[1] or 0)]!r}:", message)
    return _AXIS.sub(lambda match: f"dimension {dims[int(match[1])]!r}", message)


def _caller_outside() -> int:
    """The stack level, for warnings.warn in the calling function, of the first frame outside this module."""
    frame: FrameType | None = sys._getframe(1)
    level = 1
    while frame is not None and frame.f_code.co_filename == __file__:
        frame, level = frame.f_back, level + 1
    return level


# --- what is evaluated per block ------------------------------------------------

# From this many grid values per field on, fields are interpolated one by one (in threads of their own for data in
# memory) rather than as trailing axes of one interpolator: each has the same bits, the data need no gathering by
# field, and a call of a few fields uses every core.  Below it, one interpolator for all saves the calls.
_FIELD_BY_FIELD: Final = 1 << 18


def _single(block: Any) -> npt.NDArray[Any]:
    """A block of data as an array: from Dask, the one block of the grid's axes comes in nested lists, unconcatenated
    (Dask would copy it to concatenate it)."""
    while isinstance(block, list):
        (block,) = block
    return np.asarray(block)


def _prepared(grid: Sequence[npt.NDArray[Any]], values: npt.NDArray[Any]) -> tuple[list[Any], npt.NDArray[Any]]:
    """The knots and the data, without value axes when they hold one field: the same interpolator, built faster
    (a value axis of length 1 would make every row the construction copies one value long)."""
    if math.prod(values.shape[len(grid) :]) == 1:
        values = values.reshape(values.shape[: len(grid)])
    return list(grid), values


@dataclass(frozen=True)
class _Work:
    """What a block of data gives: the data's leading axes are the grid's, the others fields.

    A block is interpolated on its own (regridded, or by interpolators of its own), so that the blocks of Dask-backed
    data give the bits of one call on all of them: each field has the bits it has alone.
    """

    # Dask names the tasks by the function's __name__, or by its text, which would print every array held here.
    __name__: ClassVar[str] = "quorvel"

    dims: tuple[Hashable, ...]
    grid: tuple[npt.NDArray[Any], ...]
    kernel: str
    boundary: tuple[tuple[str, str], ...]
    workers: Workers

    def target_shape(self) -> tuple[int, ...]:
        """The shape of one field's result."""
        raise NotImplementedError

    def evaluate(self, knots: list[Any], values: Float64Array) -> Float64Array:
        """The result for the prepared data, fields as trailing axes."""
        raise NotImplementedError

    def __call__(self, values: npt.NDArray[Any]) -> Float64Array:
        core = len(self.grid)
        fields = values.shape[core:]
        shape = self.target_shape() + fields
        if 0 in shape:
            return np.zeros(shape)
        if math.prod(fields) == 1 or math.prod(values.shape[:core]) < _FIELD_BY_FIELD:
            return self._evaluated(values).reshape(shape)
        out = np.empty(shape)
        alone = replace(self, workers=1)

        def field(index: tuple[int, ...]) -> None:
            at: tuple[Any, ...] = (..., *index)
            out[at] = alone._evaluated(values[at])

        threads = min(_thread_count(self.workers), math.prod(fields))
        if threads == 1:
            for index in np.ndindex(fields):
                field(index)
        else:
            with ThreadPoolExecutor(threads) as pool:
                list(pool.map(field, np.ndindex(fields)))
        return out

    def _evaluated(self, values: npt.NDArray[Any]) -> Float64Array:
        try:
            return self.evaluate(*_prepared(self.grid, values))
        except ValueError as error:
            raise ValueError(_named(str(error), self.dims)) from None


@dataclass(frozen=True)
class _Evaluation(_Work):
    """Values or derivatives on a grid product or at points."""

    __name__: ClassVar[str] = "quorvel-interp"

    orders: tuple[int, ...]
    out_of_range: OutOfRange
    vectors: tuple[Float64Array, ...] | None  # one per axis, for the grid product
    axes: tuple[UniformAxis, ...]  # the grid's knots as checked, for the grid product
    squeezed: tuple[int, ...]  # axes of the grid product given as scalars, dropped from the result
    points: Float64Array | None  # shape (..., number of axes), for pointwise evaluation

    def target_shape(self) -> tuple[int, ...]:
        if self.vectors is None:
            assert self.points is not None
            return self.points.shape[:-1]
        return tuple(len(v) for axis, v in enumerate(self.vectors) if axis not in self.squeezed)

    def evaluate(self, knots: list[Any], values: Float64Array) -> Float64Array:
        if self.vectors is not None:  # the data read once, never copied, the grid checked once for all blocks
            data = _checked_data(values, self.axes, self.kernel, self.boundary)
            return _regridded(self.axes, data, self.vectors, self.kernel, self.boundary, list(self.orders),
                              self.out_of_range, _thread_count(self.workers))
        assert self.points is not None
        f = Interpolator(
            knots, values, self.kernel, list(self.boundary), out_of_range=self.out_of_range, workers=self.workers
        )
        if any(self.orders):
            f = f.derivative(list(self.orders))
        return f(self.points if len(self.grid) > 1 else self.points[..., 0])


@dataclass(frozen=True)
class _Integration(_Work):
    """The integral from `lower` to `upper` along every axis of the grid."""

    __name__: ClassVar[str] = "quorvel-integrate"

    lower: tuple[float, ...]
    upper: tuple[float, ...]

    def target_shape(self) -> tuple[int, ...]:
        return ()

    def evaluate(self, knots: list[Any], values: Float64Array) -> Float64Array:
        f = Interpolator(knots, values, self.kernel, list(self.boundary), workers=self.workers)
        return np.asarray(f.integrate(self.lower, self.upper), dtype=np.float64)


@dataclass(frozen=True)
class _Arranged:
    """`work` on blocks whose axes come in another order: `before` puts the grid's first, `after` puts the result's
    in the order wanted.  Both are views, so that Dask graphs need no layers of transposition."""

    work: _Work
    before: tuple[int, ...]
    after: tuple[int, ...]

    @property
    def __name__(self) -> str:  # the name Dask gives the tasks
        return self.work.__name__

    def __call__(self, block: Any) -> Float64Array:
        return np.transpose(self.work(np.transpose(_single(block), self.before)), self.after)


def _digest(value: object, into: Any) -> None:
    """Feeds `value` into the hash `into`: arrays by their bytes, tuples and dataclasses item by item, the rest by
    their text (which for numbers is exact)."""
    if isinstance(value, np.ndarray):
        into.update(f"array {value.dtype.str} {value.shape}".encode())
        into.update(np.ascontiguousarray(value).data)
    elif is_dataclass(value):
        into.update(type(value).__name__.encode())
        _digest(tuple(getattr(value, field.name) for field in fields(value)), into)
    elif isinstance(value, tuple):
        into.update(b"(")
        for item in value:
            _digest(item, into)
        into.update(b")")
    else:
        into.update(f"{value!r},".encode())


def _task_name(arranged: _Arranged, data: Any) -> str:
    """The name of the tasks that apply `arranged` to the Dask array `data`: the same for the same work on the same
    data, as Dask's own would be, but made by hashing the arrays at once (Dask's tokenizing of the work, field by
    field, takes longer than the rest of the graph's construction)."""
    digest = hashlib.blake2b(data.name.encode(), digest_size=16)
    _digest(arranged, digest)
    return f"{arranged.__name__}-{digest.hexdigest()}"


def _computed(work: _Work, var: xr.Variable, new_dims: tuple[Hashable, ...], order: Sequence[Hashable]) -> Any:
    """`work` applied to the data of `var`, along whose dimensions `work.dims` the grid lies: the result has the
    dimensions `order`, those of the work's target (`new_dims`) and the others of `var`; computed at once, or
    lazily per chunk of the others.

    Dask-backed data are gathered into one chunk along the grid's dimensions, and each chunk of the others becomes a
    task that interpolates its own data (on one thread unless `workers` says otherwise: Dask runs the tasks in
    parallel). The result has the target's dimensions in one chunk and the others as chunked.
    """
    rest = tuple(d for d in var.dims if d not in work.dims)
    arranged = _Arranged(
        work, tuple(var.dims.index(d) for d in work.dims + rest), tuple((new_dims + rest).index(d) for d in order)
    )
    data = var.data
    if getattr(data, "chunks", None) is None:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = arranged(np.asarray(data))
        for warning in caught:  # as the interpolator said them, but naming the dimensions
            warnings.warn(_named(str(warning.message), work.dims), warning.category, stacklevel=_caller_outside())
        return result
    import dask.array as dsa

    if not isinstance(data, dsa.Array):
        raise TypeError(f"chunked data of type {type(data).__name__}: only NumPy and Dask arrays are supported")
    arranged = replace(arranged, work=replace(work, workers=1 if work.workers is None else work.workers))
    labels = {d: axis for axis, d in enumerate(var.dims)} | {d: var.ndim + i for i, d in enumerate(new_dims)}
    out = tuple(labels[d] for d in order)
    whole = data.rechunk({var.dims.index(d): -1 for d in work.dims})  # type: ignore[no-untyped-call]
    return dsa.blockwise(  # type: ignore[no-untyped-call]
        arranged, out, whole, tuple(range(var.ndim)), name=_task_name(arranged, whole),
        new_axes={var.ndim + i: n for i, n in enumerate(work.target_shape())}, concatenate=False, dtype=np.float64,
        meta=np.empty((0,) * len(out)),
    )


# --- the arguments of a call, checked against the data ---------------------------


@dataclass(frozen=True)
class _Target:
    """The new coordinates of one dimension."""

    dims: tuple[Hashable, ...]  # () for a scalar, (dim,) for a vector along the dimension itself
    values: npt.NDArray[Any]
    coordinate: xr.Variable  # the coordinate the result gets in place of the old one
    coords: dict[Hashable, xr.Variable]  # further coordinates a DataArray of new coordinates brings along


def _dimension_names(obj: xr.DataArray | xr.Dataset) -> str:
    return ", ".join(repr(d) for d in obj.sizes)


def _knots(obj: xr.DataArray | xr.Dataset, dim: Hashable) -> npt.NDArray[Any]:
    """The coordinate values of dimension `dim`, checked to be real numbers."""
    if dim not in obj.sizes:
        raise ValueError(f"{dim!r} is not a dimension of the data (dimensions: {_dimension_names(obj)})")
    coordinate = obj.coords.variables.get(dim)  # a Variable: no DataArray is built for a look-up
    if coordinate is None or coordinate.dims != (dim,):
        raise ValueError(
            f"dimension {dim!r} has no coordinate; interpolation needs the coordinate values along it "
            f"(assign them first, with assign_coords)"
        )
    knots = coordinate.values
    if knots.dtype.kind not in _REAL_KINDS:
        raise TypeError(f"coordinate {dim!r}: expected real numbers, got dtype {knots.dtype}")
    return knots


def _coordinate_arguments(
    coords: Mapping[Any, Any] | None, coords_kwargs: Mapping[str, Any], method: str
) -> dict[Hashable, Any]:
    if coords is not None and coords_kwargs:
        raise ValueError(f"{method}: give the new coordinates either as a mapping or as keyword arguments, not both")
    if coords is not None and not isinstance(coords, Mapping):
        raise TypeError(f"{method}: coords: expected a mapping of dimension names to new coordinates")
    given: dict[Hashable, Any] = {}
    given.update(coords if coords is not None else coords_kwargs)
    return given


def _targets(obj: xr.DataArray | xr.Dataset, given: Mapping[Hashable, Any]) -> dict[Hashable, _Target]:
    """The new coordinates of each dimension, checked: real numbers, scalars, 1-D arrays or DataArrays."""
    targets = {}
    sizes: dict[Hashable, tuple[int, Hashable]] = {}
    for dim, value in given.items():
        _knots(obj, dim)
        if isinstance(value, xr.DataArray):
            dims, values, attrs = value.dims, value.values, value.attrs
            coords = {name: c.variable for name, c in value.coords.items() if name != dim}
        else:
            values, attrs, coords = np.asarray(value), obj.coords.variables[dim].attrs, {}
            if values.ndim > 1:
                raise ValueError(
                    f"new coordinates of {dim!r}: expected a scalar, a 1-D array or a DataArray (whose dimensions "
                    f"say how they broadcast), got an array of shape {values.shape}"
                )
            dims = (dim,) * values.ndim
        if values.dtype.kind not in _REAL_KINDS:
            raise TypeError(f"new coordinates of {dim!r}: expected real numbers, got dtype {values.dtype}")
        for d, n in zip(dims, values.shape):
            if d != dim and d in obj.sizes and d not in given:
                raise ValueError(
                    f"new coordinates of {dim!r} run along dimension {d!r}, which the data have and are not "
                    f"interpolated along; interpolate along {d!r} too, or give {dim!r} other dimensions"
                )
            if d in sizes and sizes[d][0] != n:
                raise ValueError(
                    f"new coordinates of {dim!r} have {n} values along dimension {d!r}, those of "
                    f"{sizes[d][1]!r} {sizes[d][0]}"
                )
            sizes[d] = (n, dim)
        targets[dim] = _Target(dims, values, xr.Variable(dims, values, attrs), coords)
    return targets


_CONDITIONS: Final = ("poly", "linear", "quadratic", "detect", "periodic")


def _boundaries(obj: xr.DataArray | xr.Dataset, boundary: object) -> dict[Hashable, tuple[str, str]]:
    """The (left, right) conditions of every dimension: one name for all, or by name ("detect" where none is given)."""

    def pair(value: object, where: str) -> tuple[str, str]:
        if isinstance(value, str):
            return value, value
        if isinstance(value, Sequence) and len(value) == 2 and all(isinstance(name, str) for name in value):
            return value[0], value[1]
        raise TypeError(
            f"boundary{where}: expected a condition name ({', '.join(map(repr, _CONDITIONS))}) or a (left, right) "
            f"pair of names, got {value!r}"
        )

    if not isinstance(boundary, Mapping):
        return dict.fromkeys(obj.sizes, pair(boundary, ""))
    for dim in boundary:
        if dim not in obj.sizes:
            raise ValueError(f"boundary: {dim!r} is not a dimension of the data (dimensions: {_dimension_names(obj)})")
    return {dim: pair(boundary[dim], f"[{dim!r}]") if dim in boundary else ("detect", "detect") for dim in obj.sizes}


@dataclass(frozen=True)
class _Settings:
    kernel: str
    boundary: dict[Hashable, tuple[str, str]]
    out_of_range: OutOfRange
    workers: Workers


def _check_dimension(dim: Hashable, knots: npt.NDArray[Any], settings: _Settings, order: int) -> None:
    """Refuses, before any data are read, what the interpolator would refuse along `dim` (knots that are not
    uniform, an unknown boundary condition, an order the kernel lacks), in a message that names `dim`."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the interpolator of the data says them
            f = Interpolator(
                knots, np.zeros(len(knots)), settings.kernel, settings.boundary[dim],
                out_of_range=settings.out_of_range, workers=settings.workers,
            )
            if order:
                f.derivative(order)
    except ValueError as error:
        message = _named(str(error), [dim])
        raise ValueError(message if message != str(error) else f"dimension {dim!r}: {message}") from None


# --- evaluation of variables -----------------------------------------------------


def _interpolated(
    var: xr.Variable,
    targets: Mapping[Hashable, _Target],
    knots: Mapping[Hashable, npt.NDArray[Any]],
    orders: Mapping[Hashable, int],
    settings: _Settings,
    keep_attrs: bool,
) -> xr.Variable:
    """`var` at the new coordinates along those of its dimensions that have them."""
    dims = tuple(d for d in var.dims if d in targets)
    chosen = [targets[d] for d in dims]
    work = _Evaluation(
        dims, tuple(knots[d] for d in dims), settings.kernel, tuple(settings.boundary[d] for d in dims),
        settings.workers, tuple(orders.get(d, 0) for d in dims), settings.out_of_range, None, (), (), None,
    )
    if all(t.dims in ((), (d,)) for d, t in zip(dims, chosen)):  # a grid product: every axis on its own
        new_dims = tuple(d for d, t in zip(dims, chosen) if t.dims)
        vectors = tuple(np.asarray(t.values, dtype=np.float64).reshape(-1) for t in chosen)
        squeezed = tuple(axis for axis, t in enumerate(chosen) if not t.dims)
        axes = tuple(uniform_axis(knots[d], str(d)) for d in dims)
        work = replace(work, vectors=vectors, squeezed=squeezed, axes=axes)
    else:  # points: the new coordinates broadcast against each other
        new_dims = tuple(dict.fromkeys(d for t in chosen for d in t.dims))
        sizes = {d: n for t in chosen for d, n in zip(t.dims, t.values.shape)}
        points = np.stack([_spread(t, new_dims, sizes) for t in chosen], axis=-1)
        work = replace(work, points=points)
    # In xarray's order: each interpolated dimension replaced by those of its new coordinates.
    order = tuple(dict.fromkeys(n for d in var.dims for n in (targets[d].dims if d in targets else (d,))))
    return xr.Variable(order, _computed(work, var, new_dims, order), attrs=var.attrs if keep_attrs else None)


def _spread(target: _Target, dims: tuple[Hashable, ...], sizes: Mapping[Hashable, int]) -> Float64Array:
    """The new coordinates of `target` as float64, broadcast to the dimensions `dims` of the given `sizes`."""
    order = sorted(range(len(target.dims)), key=lambda axis: dims.index(target.dims[axis]))
    values = np.transpose(np.asarray(target.values, dtype=np.float64), order)
    shape = [sizes[d] if d in target.dims else 1 for d in dims]
    return np.broadcast_to(values.reshape(shape), [sizes[d] for d in dims])


def _rebuilt(
    obj: XarrayObject,
    along: Sequence[Hashable],
    transform: Callable[[xr.Variable], xr.Variable],
    coords: Mapping[Hashable, xr.Variable],
) -> XarrayObject:
    """`obj` with `coords`, and every variable of its data that has a dimension in `along` transformed."""

    def transformed(name: Hashable | None, var: xr.Variable) -> xr.Variable:
        dims = [d for d in var.dims if d in along]
        if not dims:
            return var
        if var.dtype.kind not in _REAL_KINDS:
            what = "the data" if name is None else f"variable {name!r}"
            raise TypeError(
                f"{what} along dimension {dims[0]!r} are of dtype {var.dtype}: only real numbers are interpolated "
                "(select or drop the variables to interpolate first)"
            )
        return transform(var)

    if isinstance(obj, xr.DataArray):
        var = transformed(obj.name, obj.variable)
        return xr.DataArray(var.data, dims=var.dims, coords=coords, attrs=var.attrs, name=obj.name)
    data_vars = {name: transformed(name, array.variable) for name, array in obj.data_vars.items()}
    return xr.Dataset(data_vars, coords=coords, attrs=obj.attrs)


def _interpolate(
    obj: XarrayObject,
    targets: Mapping[Hashable, _Target],
    orders: Mapping[Hashable, int],
    settings: _Settings,
    *,
    keep_coords: bool = False,
    keep_attrs: bool = True,
) -> XarrayObject:
    """`obj` at the new coordinates: the data variables along them, and the coordinates unless `keep_coords`."""
    knots = {dim: _knots(obj, dim) for dim in targets}
    for dim in targets:
        _check_dimension(dim, knots[dim], settings, orders.get(dim, 0))

    if keep_coords:
        coords = dict(obj.coords.variables)
    else:
        # Coordinates along the interpolated dimensions are interpolated as the data are (numbers), or, as xarray
        # does, labels take those of the nearest coordinates on a grid product and are dropped otherwise; the new
        # coordinates take the place of the old.
        coords = {}
        for name, var in obj.coords.variables.items():
            along = [d for d in var.dims if d in targets]
            if name in targets:
                continue
            if not along:
                coords[name] = var
            elif var.dtype.kind in _REAL_KINDS:
                coords[name] = _interpolated(var, targets, knots, {}, settings, True)
            elif all(targets[d].dims == (d,) for d in along):
                nearest = {d: targets[d].values for d in along}
                coords[name] = obj.coords[name].reindex(nearest, method="nearest").variable
        for dim, target in targets.items():
            coords[dim] = target.coordinate
        for target in targets.values():
            for name, var in target.coords.items():
                coords.setdefault(name, var)
    return _rebuilt(obj, list(targets), lambda var: _interpolated(var, targets, knots, orders, settings, keep_attrs),
                    coords)


def _integrate(obj: XarrayObject, dims: Sequence[Hashable], settings: _Settings) -> XarrayObject:
    """`obj` integrated over the whole extent of `dims`, which disappear with the coordinates along them."""
    knots = {dim: _knots(obj, dim) for dim in dims}
    for dim in dims:
        _check_dimension(dim, knots[dim], settings, 0)
    coords = {name: var for name, var in obj.coords.variables.items() if not set(var.dims) & set(dims)}
    return _rebuilt(obj, dims, lambda var: _integrated(var, dims, knots, settings), coords)


def _integrated(
    var: xr.Variable, over: Sequence[Hashable], knots: Mapping[Hashable, npt.NDArray[Any]], settings: _Settings
) -> xr.Variable:
    dims = tuple(d for d in var.dims if d in over)
    rest = tuple(d for d in var.dims if d not in over)
    lower, upper = zip(*(_extent(knots[d], settings.boundary[d]) for d in dims))
    work = _Integration(
        dims, tuple(knots[d] for d in dims), settings.kernel, tuple(settings.boundary[d] for d in dims),
        settings.workers, lower, upper,
    )
    return xr.Variable(rest, _computed(work, var, (), rest))


def _extent(knots: npt.NDArray[Any], pair: tuple[str, str]) -> tuple[float, float]:
    """From the first coordinate to the last, or over one whole period (n spacings) along a periodic dimension."""
    first, last = float(knots[0]), float(knots[-1])
    if pair[0] != "periodic":
        return first, last
    return first, first + len(knots) * ((last - first) / (len(knots) - 1))


# --- the accessor --------------------------------------------------------------


class _Accessor(Generic[XarrayObject]):
    def __init__(self, obj: XarrayObject) -> None:
        self._obj: XarrayObject = obj

    def _settings(self, kernel: str, boundary: BoundaryByDimension, out_of_range: OutOfRange,
                  workers: Workers) -> _Settings:
        # The kernel, the mode and the workers refused as the interpolator refuses them, before any data are read.
        Interpolator([0.0, 1.0], [0.0, 0.0], kernel, "linear", out_of_range=out_of_range, workers=workers)
        return _Settings(kernel, _boundaries(self._obj, boundary), out_of_range, workers)

    def interp(
        self,
        coords: Mapping[Any, Any] | None = None,
        kernel: str = "a3",
        boundary: BoundaryByDimension = "detect",
        out_of_range: OutOfRange = "nan",
        workers: Workers = None,
        **coords_kwargs: Any,
    ) -> XarrayObject:
        """Interpolate at new coordinates, as ``xarray.DataArray.interp`` does, with a quorvel kernel.

        Parameters
        ----------
        coords : mapping of dimension name to new coordinates, optional
            Or give them as keyword arguments (``lat=..., lon=...``). Scalars
            and 1-D arrays interpolate on the grid product of the new
            coordinates (a scalar drops its dimension and is kept as a scalar
            coordinate); DataArrays whose dimensions differ from the one they
            replace are broadcast against each other and interpolate
            pointwise: ``lat=xr.DataArray(a, dims="points")`` with
            ``lon=xr.DataArray(b, dims="points")`` gives one value per point.
            Every dimension interpolated along needs a coordinate, uniformly
            spaced (increasing or decreasing) to the precision of its dtype.
        kernel : str, default "a3"
            A kernel of :func:`quorvel.kernels`.
        boundary : str or mapping, default "detect"
            One condition name for every dimension, or a mapping of dimension
            name to a name or a ``(left, right)`` pair, e.g.
            ``{"lon": "periodic"}``; unnamed dimensions are "detect".
        out_of_range : {"nan", "raise", "clip"}, default "nan"
            What new coordinates outside the data give (NaN, as xarray does).
        workers : int, optional
            Threads per interpolation: by default every core for data in
            memory, and one per Dask task (Dask runs the tasks in parallel).

        Returns
        -------
        DataArray or Dataset
            Float64 data at the new coordinates, in xarray's order of
            dimensions; attributes and coordinates along other dimensions are
            kept, coordinates of real numbers along the interpolated
            dimensions are interpolated too, and labels take those of the
            nearest coordinates on a grid product (dropped otherwise). In a
            Dataset, every data variable with interpolated dimensions is
            interpolated along those it has; the others are unchanged.

        Dimensions that are not interpolated along are trailing value axes of
        one interpolator: each field has the bits it would have alone. The
        data along the interpolated dimensions are read whole: Dask-backed
        data are rechunked to one chunk along each, and every chunk of the
        other dimensions is a task of its own; the result stays lazy, and has
        the bits of the in-memory call.
        """
        given = _coordinate_arguments(coords, coords_kwargs, "interp")
        targets = _targets(self._obj, given)
        return _interpolate(self._obj, targets, {}, self._settings(kernel, boundary, out_of_range, workers))

    def differentiate(
        self,
        coord: Hashable,
        order: int = 1,
        coords: Mapping[Any, Any] | None = None,
        kernel: str = "a3",
        boundary: BoundaryByDimension = "detect",
        out_of_range: OutOfRange = "nan",
        workers: Workers = None,
        **coords_kwargs: Any,
    ) -> XarrayObject:
        """The derivative of order `order` along dimension `coord`, as ``xarray.DataArray.differentiate`` names it.

        Evaluated at the data's own coordinates, or, when new coordinates are
        given (as for :meth:`interp`), at those: ``differentiate("lat",
        lat=[10.0, 20.0])``, or along other dimensions too. The kernel must
        have derivatives of that order (:func:`quorvel.kernels`).
        The other arguments are those of :meth:`interp`. As in xarray, the
        attributes of the data are dropped (the units change); variables of a
        Dataset without dimension `coord` are interpolated at the new
        coordinates, or kept as they are when there are none.
        """
        given = _coordinate_arguments(coords, coords_kwargs, "differentiate")
        settings = self._settings(kernel, boundary, out_of_range, workers)
        if not given:  # at the data's own coordinates, which stay as they are
            targets = _targets(self._obj, {coord: _knots(self._obj, coord)})
            return _interpolate(self._obj, targets, {coord: order}, settings, keep_coords=True, keep_attrs=False)
        targets = _targets(self._obj, {coord: _knots(self._obj, coord), **given})
        return _interpolate(self._obj, targets, {coord: order}, settings, keep_attrs=False)

    def integrate(
        self,
        coord: Hashable | Sequence[Hashable],
        kernel: str = "a3",
        boundary: BoundaryByDimension = "detect",
        workers: Workers = None,
    ) -> XarrayObject:
        """The definite integral over the whole extent of one or more dimensions, which disappear.

        From the first coordinate to the last, as ``xarray.DataArray.integrate``
        integrates (so negative for decreasing coordinates of positive data),
        but of the interpolant, exactly, by :meth:`quorvel.Interpolator.integrate`;
        along a periodic dimension over one whole period, n spacings (0 to
        360 for longitudes 0, 0.25, ..., 359.75). Coordinates along the
        integrated dimensions are dropped, and so are the attributes of the
        data, as in xarray; variables of a Dataset without those dimensions
        are kept as they are, the others integrated along those they have.
        Dask-backed data are rechunked to one chunk along each integrated
        dimension, and each chunk of the others is a task.
        """
        dims = [coord] if isinstance(coord, str) or not isinstance(coord, Sequence) else list(coord)
        if len(set(dims)) != len(dims):
            raise ValueError(f"integrate: a dimension is given twice in {dims!r}")
        return _integrate(self._obj, dims, self._settings(kernel, boundary, "raise", workers))


class DataArrayAccessor(_Accessor[xr.DataArray]):
    """``DataArray.quorvel``: :meth:`interp`, :meth:`differentiate` and :meth:`integrate` with quorvel's kernels."""


class DatasetAccessor(_Accessor[xr.Dataset]):
    """``Dataset.quorvel``: :meth:`interp`, :meth:`differentiate` and :meth:`integrate` of every data variable."""


xr.register_dataarray_accessor("quorvel")(DataArrayAccessor)  # type: ignore[no-untyped-call]
xr.register_dataset_accessor("quorvel")(DatasetAccessor)  # type: ignore[no-untyped-call]
