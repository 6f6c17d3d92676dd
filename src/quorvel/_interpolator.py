"""The interpolator: one class for data on uniform grids in one or more dimensions."""

from __future__ import annotations

import functools
import itertools
import math
import operator
import os
import warnings
from collections.abc import Iterator, Sequence
from typing import Any, Final, Literal, TypeAlias

import numpy as np
import numpy.typing as npt

from quorvel import _engine
from quorvel._grids import UniformAxis, uniform_axis
from quorvel._catalogue import POLY_EXTRAPOLATION_VALUES
from quorvel._kernels import kernels

__all__ = ["BoundaryLike", "Interpolator", "OutOfRange", "Workers", "regrid"]

Float64Array: TypeAlias = npt.NDArray[np.float64]
OutOfRange: TypeAlias = Literal["raise", "nan", "clip"]
BoundaryLike: TypeAlias = str | Sequence[str] | Sequence[Sequence[str]]
Workers: TypeAlias = int | None

_MODES: Final = ("raise", "nan", "clip")
_FLOAT64: Final = np.dtype(np.float64)
_REAL_KINDS: Final = "biuf"  # bool, signed and unsigned integers, floats
_GRID_EXPECTED: Final = "a 1-D array of knots, or a sequence of 1-D knot arrays (one per axis)"
_STATE_VERSION: Final = 2
_MAX_WORKERS: Final = 1 << 16
# Calls with fewer coordinates than this run on the calling thread whatever
# `workers` says (the engine would not start a thread for them anyway), which
# spares them the look-up of the usable cores.
_SMALL_CALL: Final = 4096


def _short(obj: object) -> str:
    text = repr(obj)
    return text if len(text) <= 60 else text[:56] + " ..."


def _real_array(obj: object, name: str) -> npt.NDArray[Any]:
    """`obj` as a NumPy array of real numbers of any dtype, copied only if it is no array yet."""
    try:
        array = np.asarray(obj)
    except ValueError as error:  # ragged nesting
        raise ValueError(f"{name}: expected an array of real numbers ({error})") from None
    except TypeError as error:
        raise TypeError(f"{name}: expected an array of real numbers ({error})") from None
    if array.dtype.kind not in _REAL_KINDS:
        raise TypeError(f"{name}: expected real numbers, got an array of dtype {array.dtype}")
    return array


def _as_float64(array: npt.NDArray[Any]) -> Float64Array:
    return array if array.dtype == np.float64 else array.astype(np.float64)


def _float64_array(obj: object, name: str) -> Float64Array:
    """`obj` as a float64 array; one that is already one passes straight through."""
    if type(obj) is np.ndarray and obj.dtype is _FLOAT64:
        return obj
    return _as_float64(_real_array(obj, name))


def _frozen(array: npt.ArrayLike) -> Float64Array:
    """A read-only float64 copy whose memory belongs to an immutable bytes object, so that no one can make it
    writeable again."""
    data = np.ascontiguousarray(array, dtype=np.float64)
    return np.frombuffer(data.tobytes(), dtype=np.float64).reshape(data.shape)


def _shaped(result: Float64Array, points_shape: tuple[int, ...] | None) -> Float64Array:
    """The engine's result for P points, shaped as the points were given: points_shape + the rest (None: the
    points came as the engine takes them, and so does the result)."""
    return result if points_shape is None else result.reshape(points_shape + result.shape[1:])


def _checked_out(out: object, shape: tuple[int, ...]) -> Float64Array:
    """`out` if it can take a result of `shape` as it is, in place."""
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out: expected a NumPy array, got {type(out).__name__}")
    flaws = [flaw for flaw, present in (("read-only", not out.flags.writeable),
                                        ("not C-contiguous", not out.flags.c_contiguous),
                                        ("misaligned", not out.flags.aligned)) if present]
    if out.dtype != _FLOAT64 or out.shape != shape or flaws:
        got = f"a {out.dtype} array of shape {out.shape}" + (f" ({', '.join(flaws)})" if flaws else "")
        raise ValueError(f"out: expected a writeable, C-contiguous float64 array of shape {shape}; got {got}")
    return out


def _is_array_like(obj: object) -> bool:
    return isinstance(obj, np.ndarray) or any(
        hasattr(obj, name) for name in ("__array__", "__array_interface__", "__array_struct__")
    )


def _knot_arrays(grid: object) -> tuple[UniformAxis, ...]:
    """The knots of every axis: one array of numbers is one axis, a sequence of arrays one per axis."""
    if isinstance(grid, Sequence) and not isinstance(grid, (str, bytes)) and not _is_array_like(grid):
        if len(grid) > 0 and np.ndim(grid[0]) > 0:
            axes = [_real_array(item, f"grid[{i}]") for i, item in enumerate(grid)]
            for i, axis in enumerate(axes):
                if axis.ndim != 1:
                    raise ValueError(f"grid[{i}]: expected a 1-D array of knots, got shape {axis.shape}")
            return tuple(uniform_axis(axis, f"grid[{i}]") for i, axis in enumerate(axes))
    elif not _is_array_like(grid):
        raise TypeError(f"grid: expected {_GRID_EXPECTED}, got {type(grid).__name__}")
    knots = _real_array(grid, "grid")
    if knots.ndim != 1:
        raise ValueError(f"grid: expected {_GRID_EXPECTED}; got an array of shape {knots.shape}")
    return (uniform_axis(knots, "grid"),)


def _data_array(values: object, axes: tuple[UniformAxis, ...]) -> Float64Array:
    """The data as float64, in the order of the knots as held; any layout (the engine copies them once)."""
    data = _as_float64(_real_array(values, "values"))
    counts = tuple(len(axis.knots) for axis in axes)
    if data.shape[: len(counts)] != counts:
        raise ValueError(
            f"values: expected shape {counts} (the knot counts of grid) followed by any value axes, "
            f"got shape {data.shape}"
        )
    descending = tuple(i for i, axis in enumerate(axes) if axis.descending)
    return np.flip(data, descending) if descending else data  # the data follow their reversed knots


def _boundary_pairs(boundary: object, ndim: int) -> tuple[tuple[str, str], ...]:
    def is_pair(item: object) -> bool:
        return (
            isinstance(item, Sequence)
            and not isinstance(item, str)
            and len(item) == 2
            and all(isinstance(name, str) for name in item)
        )

    def checked(pairs: tuple[tuple[str, str], ...]) -> tuple[tuple[str, str], ...]:
        for axis, (left, right) in enumerate(pairs):
            if (left == "periodic") != (right == "periodic"):
                raise ValueError(
                    f"boundary: axis {axis} pairs {left!r} with {right!r}; a periodic axis is periodic at both ends"
                )
        return pairs

    if isinstance(boundary, str):
        return ((boundary, boundary),) * ndim
    if not isinstance(boundary, Sequence):
        pass
    elif is_pair(boundary):
        return checked(((boundary[0], boundary[1]),) * ndim)
    elif all(is_pair(item) for item in boundary):
        if len(boundary) == ndim:
            return checked(tuple((item[0], item[1]) for item in boundary))
        raise ValueError(f"boundary: expected {ndim} (left, right) pairs (one per axis), got {len(boundary)}")
    raise TypeError(
        "boundary: expected a condition name ('poly', 'linear', 'quadratic', 'detect' or 'periodic'), "
        f"a (left, right) pair of names, or one such pair per axis; got {_short(boundary)}"
    )


def _warn_of_repeated_ends(data: Float64Array, pairs: tuple[tuple[str, str], ...]) -> None:
    """A periodic axis whose last samples repeat its first holds that sample twice per period: warn."""
    for axis, (left, _) in enumerate(pairs):
        n = data.shape[axis]
        if left != "periodic" or n < 3:
            continue
        first, second, last = (data[(slice(None),) * axis + (i,)] for i in (0, 1, n - 1))  # views, not copies
        if np.array_equal(first, last) and not np.array_equal(first, second):
            warnings.warn(
                f"boundary: the data along periodic axis {axis} end with their first values again; a periodic "
                "axis repeats its n samples with period n spacings (the first value comes back one step after "
                "the last), so drop the repeated last sample",
                UserWarning,
                stacklevel=4,
            )


def _warn_of_linear_ends(shape: tuple[int, ...], kernel: str, pairs: tuple[tuple[str, str], ...]) -> None:
    """An explicit "poly" end of an axis too short for the kernel's polynomial extrapolation is extended linearly:
    say so.  ("detect" chooses by itself, and too few values for "quadratic" are refused.)"""
    needed = POLY_EXTRAPOLATION_VALUES.get(kernel, 0)
    for axis, (left, right) in enumerate(pairs):
        ends = [end for end, name in (("left", left), ("right", right)) if name == "poly"]
        if ends and shape[axis] < needed:
            warnings.warn(
                f"boundary: axis {axis} has {shape[axis]} knots, fewer than the {needed} that the polynomial "
                f"extrapolation of kernel {kernel!r} reads, so its {' and '.join(ends)} "
                f"end{'s are' if len(ends) > 1 else ' is'} extended linearly",
                UserWarning,
                stacklevel=4,
            )


def _checked_grid(
    grid: object, kernel: object, boundary: object, out_of_range: object
) -> tuple[tuple[UniformAxis, ...], tuple[tuple[str, str], ...]]:
    """The knots and boundary pairs of an interpolator, its kernel and range mode checked."""
    axes = _knot_arrays(grid)
    if not isinstance(kernel, str):
        raise TypeError(f"kernel: expected a kernel name such as 'a3', got {type(kernel).__name__}")
    pairs = _boundary_pairs(boundary, len(axes))
    if not isinstance(out_of_range, str):
        raise TypeError(f"out_of_range: expected 'raise', 'nan' or 'clip', got {type(out_of_range).__name__}")
    if out_of_range not in _MODES:
        raise ValueError(f"out_of_range: expected 'raise', 'nan' or 'clip', got {out_of_range!r}")
    return axes, pairs


def _checked_data(
    values: object, axes: tuple[UniformAxis, ...], kernel: str, pairs: tuple[tuple[str, str], ...]
) -> Float64Array:
    """The data on the grid of `axes` as float64 in the order of its knots, with the warnings their shape and ends
    call for (at the caller's caller)."""
    data = _data_array(values, axes)
    _warn_of_repeated_ends(data, pairs)
    _warn_of_linear_ends(data.shape, kernel, pairs)
    return data


def _coordinate_vectors(coordinates: Sequence[npt.ArrayLike], ndim: int, name: str) -> list[Float64Array]:
    """One 1-D float64 array of coordinates per axis."""
    if len(coordinates) != ndim:
        raise TypeError(f"{name}: expected {ndim} vectors of coordinates (one per axis), got {len(coordinates)}")
    vectors = []
    for a, axis in enumerate(coordinates):
        vector = _float64_array(axis, f"coordinates[{a}]")
        if vector.ndim != 1:
            raise ValueError(f"coordinates[{a}]: expected a 1-D array of coordinates, got shape {vector.shape}")
        vectors.append(vector)
    return vectors


def _orders_along(order: object, axes: list[int], name: str) -> list[int]:
    """One non-negative order per axis in `axes`: `order` given once for all of them, or once for each."""
    orders = _integers(order, name)
    if orders is None:
        orders = [_integer(order, name)] * len(axes)
    elif len(orders) != len(axes):
        raise ValueError(f"{name}: expected {len(axes)} orders (one per axis in {axes}), got {len(orders)}")
    for step in orders:
        if step < 0:
            raise ValueError(f"{name}: expected non-negative orders, got {step}")
    return orders


def _check_size(name: str, count: int) -> None:
    """Refuses `count` float64 values that no array can hold, naming the argument that asks for them."""
    if count * 8 >= 2**63:
        raise MemoryError(f"{name}: {count} values ({count * 8} bytes) are more than memory can hold")


def _wrap(x: Float64Array, first: float, period: float) -> Float64Array:
    """`x` moved by whole periods into [first, first + period), exactly as the engine wraps coordinates."""
    with np.errstate(invalid="ignore"):
        r = np.fmod(x, period) - np.fmod(first, period)
        r = np.where(r < 0.0, r + period, r)
        r = np.where(r < 0.0, r + period, r)
        r = np.where(r >= period, r - period, r)
        return np.where(np.isfinite(x), first + r, np.nan)


def _integer(value: object, name: str) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name}: expected an integer, got {value!r}")
    try:
        return operator.index(value)  # type: ignore[arg-type]  # TypeError is the answer
    except TypeError:
        raise TypeError(f"{name}: expected an integer, got {type(value).__name__} {_short(value)}") from None


def _usable_cores() -> int:
    """The number of cores this process may run on."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def _workers(value: object) -> Workers:
    """`value` checked as a `workers` argument: None, or a non-zero integer."""
    if value is None:
        return None
    count = _integer(value, "workers")
    if abs(count) > _MAX_WORKERS:
        raise ValueError(f"workers: expected at most {_MAX_WORKERS} threads, got {count}")
    if count == 0:
        raise ValueError("workers: expected a positive number of threads, a negative count back from all cores, "
                         "or None; got 0")
    return count


def _thread_count(workers: Workers) -> int:
    """The threads `workers` asks for: None or -1 every usable core, -2 all but one, and so on."""
    if workers is not None and workers > 0:
        return workers
    cores = _usable_cores()
    count = cores + 1 + (-1 if workers is None else workers)
    if count < 1:
        raise ValueError(f"workers: {workers} counts back past the {cores} usable cores")
    return count


def _integers(value: object, name: str) -> list[int] | None:
    """The integers of a sequence, or None when `value` is a single (0-d) object."""
    if not isinstance(value, (Sequence, np.ndarray)) or isinstance(value, str) or np.ndim(value) == 0:
        return None
    return [_integer(item, f"{name}[{i}]") for i, item in enumerate(value)]


class Interpolator:
    """Interpolate data sampled on a uniformly spaced grid, in one or more dimensions.

    The data are convolved with a piecewise-polynomial kernel; values,
    derivatives and antiderivatives come out exactly as the kernel defines
    them, with no smoothing. Construction does all the preparation; calls
    evaluate any number of points.

    Parameters
    ----------
    grid : array_like or sequence of array_like
        One-dimensional data: the knots, uniformly spaced, strictly increasing
        or strictly decreasing. N-dimensional data: one such array of knots
        per axis. A sequence holding a single knot array, ``[x]``, gives a
        one-dimensional interpolator, the same as ``x``. Knots of any integer
        or floating dtype are accepted when each lies within rounding of its
        place on the uniform grid through the two end knots: within
        ``n * eps * max(|first|, |last|) / spacing`` spacings (n knots, eps of
        their dtype, at least that of float64), but never less than the
        core's 1e-8 (widened by the rounding of measuring it) and never more
        than 1e-3 spacings. They are replaced by exactly uniform float64
        knots ``first + i * spacing`` that keep the two end knots; decreasing
        knots are reversed, and the data with them.
    values : array_like
        The data, of shape ``(len(grid[0]), len(grid[1]), ...)`` (``(len(x),)``
        in one dimension). Copied once to a private float64 array.
    kernel : str, default "a3"
        The kernel name; :func:`quorvel.kernels` lists them with their width,
        accuracy and the derivative and integral orders each allows.
    boundary : str or pair or sequence of pairs, default "detect"
        How the data are extended by ghost values beyond each end: "poly"
        (the kernel's polynomial extrapolation), "linear", "quadratic", or
        "detect" (polynomial where the data near that end look polynomial,
        linear otherwise). One name for every end, a ``(left, right)`` pair for
        every axis, or one ``(left, right)`` pair per axis; left is the end of
        the lower coordinates, also when the knots are given decreasing.
    out_of_range : {"raise", "nan", "clip"}, keyword-only, default "raise"
        What points outside the data range give: "raise" a ValueError naming
        the first such point, "nan" NaN, "clip" the value at the nearest point
        of the range. Points exactly on the first or last knot are inside.
        A point with a NaN coordinate gives NaN in every mode.

    Raises
    ------
    TypeError, ValueError
        For arguments of the wrong kind or shape (the message names the
        argument), for knots that are too few, not finite, not strictly
        monotonic or not uniform (the message names the axis, the first such
        knot, how far it is off and the tolerance), and for data the kernel
        cannot take: an unknown kernel or boundary condition.

    Notes
    -----
    Instances are immutable, safe to share between threads, and pickle by
    their knots, data and settings (the native state is rebuilt on loading and
    gives bit-identical results).

    Examples
    --------
    >>> import numpy as np
    >>> x = np.linspace(0.0, np.pi, 101)
    >>> f = Interpolator(x, np.sin(x), kernel="b7")
    >>> f(1.0)
    array(0.84147098)
    >>> f([0.0, 0.5, 1.0]).shape
    (3,)
    >>> round(float(f.derivative()(0.0)), 9)
    1.0
    >>> round(f.integrate(0.0, np.pi), 12)
    2.0
    """

    __slots__ = (
        "__weakref__",
        "_boundary",
        "_grid",
        "_kernel",
        "_native",
        "_order",
        "_out_of_range",
        "_periodic_integral_axes",
        "_workers",
    )

    _grid: tuple[Float64Array, ...]
    _kernel: str
    _boundary: tuple[tuple[str, str], ...]
    _order: tuple[int, ...]
    _periodic_integral_axes: list[int]
    _out_of_range: OutOfRange
    _workers: Workers
    _native: _engine.Interpolant

    def __init__(
        self,
        grid: npt.ArrayLike | Sequence[npt.ArrayLike],
        values: npt.ArrayLike,
        kernel: str = "a3",
        boundary: BoundaryLike = "detect",
        *,
        out_of_range: OutOfRange = "raise",
        workers: Workers = None,
    ) -> None:
        axes, pairs = _checked_grid(grid, kernel, boundary, out_of_range)
        data = _checked_data(values, axes, kernel, pairs)
        knots = tuple(_frozen(axis.knots) for axis in axes)
        self._setup(knots, data, kernel, pairs, (0,) * len(knots), out_of_range, _workers(workers))

    def _setup(
        self,
        grid: tuple[Float64Array, ...],
        values: Float64Array,
        kernel: str,
        boundary: tuple[tuple[str, str], ...],
        order: tuple[int, ...],
        out_of_range: OutOfRange,
        workers: Workers,
    ) -> None:
        self._grid = grid
        self._kernel = kernel
        self._boundary = boundary
        self._out_of_range = out_of_range
        self._workers = workers
        ghosts = kernels()[kernel].columns // 2 - 1 if kernel in kernels() else 0
        extended = math.prod(n + 2 * ghosts + (pair[0] == "periodic") for n, pair in zip(values.shape, boundary))
        _check_size("values", extended * math.prod(values.shape[len(grid) :]))
        # The engine checks knots, kernel, names and orders, and holds the data.
        self._native = _engine.Interpolant(
            list(grid), values, kernel, list(boundary), list(order), self._construction_threads(values.size)
        )
        self._order = order
        self._periodic_integral_axes = self._periodic_integrals(order)

    def _derived(self, order: tuple[int, ...]) -> Interpolator:
        """An interpolator of other orders that shares this one's data."""
        new = type(self).__new__(type(self))
        for name in ("_grid", "_kernel", "_boundary", "_out_of_range", "_workers"):
            setattr(new, name, getattr(self, name))
        new._native = self._native.with_orders(list(order), self._construction_threads(self._native.values.size))
        new._order = order
        new._periodic_integral_axes = new._periodic_integrals(order)
        return new

    def _construction_threads(self, size: int) -> int:
        return 1 if size < _SMALL_CALL else _thread_count(self._workers)

    # --- evaluation ---------------------------------------------------------

    def __call__(
        self, points: npt.ArrayLike, *, workers: Workers = None, out: Float64Array | None = None
    ) -> Float64Array:
        """Evaluate at `points`.

        One dimension: `points` of any shape; the result has the same shape.
        N dimensions: `points` of shape ``(..., ndim)``, the last axis holding
        the coordinates of each point; the result has shape ``(...)``.

        `workers` is how many threads share a large call: None (the
        interpolator's own setting, by default every usable core), a positive
        count, or a negative one counting back from all cores (-1 all, -2 all
        but one). Results do not depend on it.

        The result is a new float64 ndarray: a single point gives a 0-d array
        (``float(result)`` or ``result.item()`` makes it a number). With
        `out`, a writeable C-contiguous float64 array of the result's shape,
        the values are written there instead, and `out` is returned: calls
        repeated into one array spare the allocation of every result (for
        large ones, the system's clearing of fresh memory). A point outside
        the range that raises may leave part of `out` written.
        """
        flat, shape = self._flat_points(points)
        if out is None:
            return _shaped(self._evaluate(self._native, self._periodic_integral_axes, flat, workers), shape)
        _checked_out(out, (len(flat),) + self.value_shape if shape is None else shape + self.value_shape)
        if self._periodic_integral_axes or np.may_share_memory(out, flat):  # the sum, or the points, first
            out[...] = _shaped(self._evaluate(self._native, self._periodic_integral_axes, flat, workers), shape)
        else:
            self._native.evaluate_into(flat, out, self._out_of_range, self._threads(flat.size, workers))
        return out

    def gradient(self, points: npt.ArrayLike, *, workers: Workers = None) -> Float64Array:
        """The first derivatives along every axis at `points`, in one pass.

        The result has shape ``points_shape + value_shape + (ndim,)`` (the
        Jacobian's layout; ``points_shape`` is that of the result of
        ``f(points)``), component ``a`` with the bits of
        ``f.derivative(axis=a)(points)``. The cell, the weights and the stencil
        of a point are found once for all components. The kernel must allow one
        more derivative order along every axis than the interpolator has.
        """
        return self._derivatives(points, 1, "gradient", workers)

    def hessian(self, points: npt.ArrayLike, *, workers: Workers = None) -> Float64Array:
        """The second derivatives along every pair of axes at `points`, in one pass.

        The result has shape ``points_shape + value_shape + (ndim, ndim)``,
        component ``(a, b)`` with the bits of ``f.derivative(axis=a)
        .derivative(axis=b)(points)`` (symmetric). The kernel must allow two
        more derivative orders than the interpolator has.
        """
        return self._derivatives(points, 2, "hessian", workers)

    def _derivatives(self, points: npt.ArrayLike, degree: int, name: str, workers: Workers) -> Float64Array:
        top = kernels()[self._kernel].max_derivative
        for axis, order in enumerate(self._order):
            if order + degree > top:
                raise ValueError(
                    f"{name}: kernel {self._kernel!r} has derivatives up to order {top}, and the {name} needs "
                    f"order {order + degree} along axis {axis}"
                )
        if self._periodic_integral_axes:
            return self._components(points, degree, workers)
        flat, shape = self._flat_points(points)
        threads = self._threads(flat.size, workers)
        return _shaped(self._native.derivatives(flat, degree, self._out_of_range, threads), shape)

    def _components(self, points: npt.ArrayLike, degree: int, workers: Workers) -> Float64Array:
        """The gradient or Hessian one derivative interpolator at a time (antiderivatives over periods)."""
        ndim = len(self._grid)

        def component(*axes: int) -> Float64Array:
            order = list(self._order)
            for a in axes:
                order[a] += 1
            return self._derived(tuple(order))(points, workers=workers)

        if degree == 1:
            return np.stack([component(a) for a in range(ndim)], axis=-1)
        return np.stack([np.stack([component(a, b) for b in range(ndim)], axis=-1) for a in range(ndim)], axis=-2)

    def _flat_points(self, points: npt.ArrayLike) -> tuple[Float64Array, tuple[int, ...] | None]:
        """`points` as the engine takes them (P coordinates, or P rows of ndim), and the shape of the P points
        (None where the points came in that form already)."""
        array = _float64_array(points, "points")
        ndim = len(self._grid)
        if ndim == 1:
            return (array, None) if array.ndim == 1 else (array.reshape(-1), array.shape)
        if array.ndim == 0 or array.shape[-1] != ndim:
            raise ValueError(
                f"points: expected shape (..., {ndim}), the last axis holding the {ndim} "
                f"coordinates of each point; got shape {array.shape}"
            )
        return (array, None) if array.ndim == 2 else (array.reshape(-1, ndim), array.shape[:-1])

    def _threads(self, size: int, workers: Workers) -> int:
        """The threads for a call of `size` coordinates: small calls stay on the calling thread."""
        chosen = self._workers if workers is None else _workers(workers)
        return 1 if size < _SMALL_CALL else _thread_count(chosen)

    def on_grid(
        self, *coordinates: npt.ArrayLike, workers: Workers = None, out: Float64Array | None = None
    ) -> Float64Array:
        """Evaluate on the grid product of one vector of coordinates per axis.

        ``f.on_grid(x0, x1, ...)`` gives, at index ``(i0, i1, ...)``, the value
        at ``(x0[i0], x1[i1], ...)``: the same bits as ``f`` at those points,
        without building them. The result has shape ``(len(x0), len(x1), ...)``
        followed by :attr:`value_shape`. Coordinates may come in any order and
        repeat; one outside the data range gives, for every value it takes part
        in, what `out_of_range` says ("raise" names the first, axis by axis).

        Values and derivatives are contracted axis by axis, reusing each
        partial sum for all coordinates of the outer axes, so that zooming a
        volume costs a few operations per output value and memory for the
        output alone. Antiderivatives, whose terms do not separate by axis, and
        the nearest-knot kernel are evaluated point by point in blocks. To
        resample data once, :func:`quorvel.regrid` gives the same bits without
        building the interpolator. `out` receives the values as for ``f(points,
        out=out)``.
        """
        vectors = _coordinate_vectors(coordinates, len(self._grid), "on_grid")
        count = math.prod(len(vector) for vector in vectors)
        _check_size("coordinates", count * math.prod(self.value_shape))
        threads = self._threads(count, workers)
        axes = self._periodic_integral_axes
        if out is not None:
            _checked_out(out, tuple(len(vector) for vector in vectors) + self.value_shape)
            if axes or any(np.may_share_memory(out, v) for v in vectors):  # the sum, or the coordinates, first
                out[...] = self.on_grid(*vectors, workers=workers)
            else:
                self._native.on_grid_into(vectors, out, self._out_of_range, threads)
            return out
        if not axes:
            return self._native.on_grid(vectors, self._out_of_range, threads)

        def term(chosen: list[Float64Array], ends: list[tuple[int, Float64Array]]) -> Float64Array:
            values = self._native.on_grid(chosen, self._out_of_range, threads)
            for a, periods in ends:
                values = values * periods.reshape([-1 if b == a else 1 for b in range(values.ndim)])
            return values

        return functools.reduce(operator.add, itertools.starmap(term, self._period_terms(axes, vectors)))

    def _evaluate(
        self, engine: _engine.Interpolant, axes: list[int], flat: Float64Array, workers: Workers
    ) -> Float64Array:
        """Evaluate `engine` at `flat` (P points, or P rows of coordinates) under the range mode; `axes` are the
        periodic axes along which it integrates."""
        threads = self._threads(flat.size, workers)
        if not axes:
            return engine.evaluate(flat, self._out_of_range, threads)

        def term(chosen: list[Float64Array], ends: list[tuple[int, Float64Array]]) -> Float64Array:
            points = np.stack([np.broadcast_to(c, len(flat)) for c in chosen], axis=-1).reshape(flat.shape)
            values = engine.evaluate(points, self._out_of_range, threads)
            for _, periods in ends:
                values = values * periods.reshape((-1,) + (1,) * (values.ndim - 1))
            return values

        columns = list(flat.reshape(len(flat), len(self._grid)).T)
        return functools.reduce(operator.add, itertools.starmap(term, self._period_terms(axes, columns)))

    def _period_terms(
        self, axes: list[int], coordinates: list[Float64Array]
    ) -> Iterator[tuple[list[Float64Array], list[tuple[int, Float64Array]]]]:
        """The terms of an antiderivative along periodic `axes`, F(x + m P) = F(x) + m F(x0 + P) on each.

        `coordinates` holds one array per axis. Gives, for every subset of
        `axes`, the coordinates with those axes at the period's end (one
        coordinate, which broadcasts) and the others wrapped into the period,
        and the counts m that weigh the term, per axis of the subset.
        """
        wrapped, counts = list(coordinates), {}
        for a in axes:
            first, period = self._period(a)
            x = coordinates[a]
            wrapped[a] = np.where((x >= first) & (x <= first + period), x, _wrap(x, first, period))
            counts[a] = np.rint((x - wrapped[a]) / period)
        for at_end in itertools.product((False, True), repeat=len(axes)):
            chosen, ends = list(wrapped), []
            for end, a in zip(at_end, axes):
                if end:
                    first, period = self._period(a)
                    chosen[a] = np.array([first + period])
                    ends.append((a, counts[a]))
            yield chosen, ends

    def _periodic_integrals(self, orders: tuple[int, ...]) -> list[int]:
        """The periodic axes along which `orders` integrate (once: higher orders are refused there)."""
        return [a for a, order in enumerate(orders) if order < 0 and self._boundary[a][0] == "periodic"]

    def _period(self, axis: int) -> tuple[float, float]:
        """The first knot and the period of a periodic axis, computed as the engine computes them."""
        knots = self._grid[axis]
        spacing = (float(knots[-1]) - float(knots[0])) / (len(knots) - 1)
        return float(knots[0]), len(knots) * spacing

    # --- derived interpolators ----------------------------------------------

    def derivative(self, order: int | Sequence[int] = 1, axis: int | Sequence[int] | None = None) -> Interpolator:
        """The interpolator of the derivative.

        Parameters
        ----------
        order : int or sequence of int, default 1
            How many times to differentiate: one non-negative order for every
            axis in `axis`, or one order per axis in `axis`.
        axis : int or sequence of int, optional
            The axes to differentiate along; by default every axis, so that
            ``derivative()`` of 2-D data is the mixed derivative d²f/dxdy and
            ``derivative([2, 0])`` the second derivative along axis 0.

        Orders add to those the interpolator already has: the derivative of
        an antiderivative is the interpolant again. The kernel limits the
        order (:func:`quorvel.kernels`); a higher one raises ValueError.
        """
        steps = self._order_steps(order, axis)
        return self._derived(tuple(current + step for current, step in zip(self._order, steps)))

    def antiderivative(self, order: int | Sequence[int] = 1, axis: int | Sequence[int] | None = None) -> Interpolator:
        """The interpolator of the antiderivative, zero at the first knot of each integrated axis.

        "Zero" in floating point: at the first knot the terms that anchor the
        antiderivative there cancel to rounding, so F(x0) is a few units of
        the last place of the data's magnitude times the spacing (about 3e-12
        for data near 1e6 on a unit grid), not exactly 0.

        `order` and `axis` as for :meth:`derivative`; by default the first
        antiderivative along every axis, F(x, y) = ∫∫ f over [x0, x] × [y0, y].
        Orders add to those the interpolator already has, but an axis that
        carries a derivative cannot be integrated back: the result would
        differ from the original by its value at the first knot, so this
        raises ValueError (use :meth:`integrate` for definite integrals).
        """
        steps = self._order_steps(order, axis)
        for index, (current, step) in enumerate(zip(self._order, steps)):
            if step > 0 and current > 0:
                raise ValueError(
                    f"antiderivative: axis {index} carries a derivative of order {current}; integrating it "
                    "back would lose the value at the first knot, so build the interpolator of the lower "
                    "order instead (integrate() gives definite integrals of any order)"
                )
            if current - step < -1 and self._boundary[index][0] == "periodic":
                raise ValueError(
                    f"antiderivative: axis {index} is periodic, where only the first antiderivative continues "
                    "over whole periods (F(x + P) = F(x) + F(x0 + P)); got order "
                    f"{step - current}"
                )
        return self._derived(tuple(current - step for current, step in zip(self._order, steps)))

    def _order_steps(self, order: int | Sequence[int], axis: int | Sequence[int] | None) -> tuple[int, ...]:
        ndim = len(self._grid)
        if axis is None:
            axes = list(range(ndim))
        else:
            listed = _integers(axis, "axis")
            axes = []
            for value in [_integer(axis, "axis")] if listed is None else listed:
                if not -ndim <= value < ndim:
                    raise ValueError(f"axis: {value} is out of range for {ndim}-dimensional data")
                if value % ndim in axes:
                    raise ValueError(f"axis: axis {value % ndim} is given twice")
                axes.append(value % ndim)
        steps = [0] * ndim
        for index, step in zip(axes, _orders_along(order, axes, "order")):
            steps[index] = step
        info = kernels()[self._kernel]
        if any(step > info.max_derivative + info.max_integral for step in steps):
            raise ValueError(
                f"order: kernel {self._kernel!r} has derivatives up to order {info.max_derivative} and "
                f"antiderivatives up to order {info.max_integral}; got {max(steps)}"
            )
        return tuple(steps)

    def integrate(self, lower: npt.ArrayLike, upper: npt.ArrayLike) -> Any:
        """The definite integral over the interval or box from `lower` to `upper`.

        In one dimension `lower` and `upper` are numbers; in N dimensions,
        the ``ndim`` coordinates of two opposite corners of an axis-aligned box.
        Bounds may come in either order: swapping them along one axis flips the
        sign, and zero width along an axis gives 0. The result is a float for
        scalar data and an array of :attr:`value_shape` otherwise.

        The integral is that of the interpolant. For values and derivatives it
        is a contraction of the data, axis by axis, with one vector of weights
        per axis: the integral of each knot's basis function over the interval
        (exactly the spacing for the knots well inside it), or along an axis
        that carries a derivative the difference of the lower order at the two
        ends. Nothing is built beforehand, and the memory needed is small
        whatever the grid. Summed with compensation in a fixed order, the
        result is accurate to a few units of rounding of the integral of the
        data's magnitudes (so of the integral itself where the data keep one
        sign), however far from the first knot, and an infinity or NaN in the
        data the box reaches gives an infinity or NaN. Along a periodic axis
        the interval may have any length: its whole periods and the rest,
        wrapped into the period, add up their weights. An interpolator with
        antiderivative axes combines its next antiderivative at the box's
        corners instead (built for the call), so the kernel must allow one more
        integral order, and digits cancel far from the first knot.

        Bounds outside the data range follow `out_of_range`: "raise" raises
        ValueError, "nan" gives NaN, and "clip" moves them into the range, so
        that the integral covers the part of the box inside the data range.
        """
        a = self._bound(lower, "lower")
        b = self._bound(upper, "upper")
        if min(self._order) < 0:
            return self._corner_integral(a, b)
        result = self._native.integrate(a, b, self._out_of_range)
        return float(result) if result.ndim == 0 else result

    def _corner_integral(self, a: Float64Array, b: Float64Array) -> Any:
        """The integral by signed sums of the next antiderivative at the box's corners."""
        ndim = len(self._grid)
        orders = tuple(current - 1 for current in self._order)
        integral = self._native.with_orders(list(orders), self._construction_threads(self._native.values.size))
        corners = np.array(list(itertools.product(*zip(a, b))))  # every choice of a or b per axis
        lower_picks = np.array(list(itertools.product((1, 0), repeat=ndim))).sum(axis=1)
        signs = np.where(lower_picks % 2 == 1, -1.0, 1.0)
        points = corners if ndim > 1 else corners[:, 0]
        values = self._evaluate(integral, self._periodic_integrals(orders), points, None)
        terms = (signs * values.reshape(len(signs), -1).T).tolist()  # one row of corner terms per field
        if values.ndim == 1:
            return math.fsum(terms[0])
        return np.array([math.fsum(row) for row in terms]).reshape(values.shape[1:])

    def _bound(self, value: npt.ArrayLike, name: str) -> Float64Array:
        array = _as_float64(_real_array(value, name))
        ndim = len(self._grid)
        if array.shape != (ndim,) and not (ndim == 1 and array.shape == ()):
            expected = "a number" if ndim == 1 else f"{ndim} coordinates (one per axis)"
            raise ValueError(f"{name}: expected {expected}, got shape {array.shape}")
        return array.reshape(ndim)

    # --- properties ---------------------------------------------------------

    @property
    def kernel(self) -> str:
        """The kernel name."""
        return self._kernel

    @property
    def ndim(self) -> int:
        """The number of axes of the data."""
        return len(self._grid)

    @property
    def shape(self) -> tuple[int, ...]:
        """The shape of :attr:`values`: the number of knots along every axis, then the value axes."""
        return self._native.values.shape

    @property
    def value_shape(self) -> tuple[int, ...]:
        """The shape of the value at one point: the trailing axes of :attr:`values` (``()`` for scalar data)."""
        return self._native.values.shape[len(self._grid) :]

    @property
    def domain(self) -> tuple[tuple[float, float], ...]:
        """The data range ``(first knot, last knot)`` of every axis."""
        return tuple((float(axis[0]), float(axis[-1])) for axis in self._grid)

    @property
    def order(self) -> tuple[int, ...]:
        """The derivative order along every axis; negative for an antiderivative."""
        return self._order

    @property
    def boundary(self) -> tuple[tuple[str, str], ...]:
        """The (left, right) boundary conditions of every axis."""
        return self._boundary

    @property
    def out_of_range(self) -> OutOfRange:
        """What points outside the data range give: "raise", "nan" or "clip"."""
        return self._out_of_range

    @property
    def workers(self) -> Workers:
        """The threads a large call uses unless it says otherwise (None: every usable core)."""
        return self._workers

    @property
    def grid(self) -> tuple[Float64Array, ...]:
        """The knots of every axis, increasing and exactly uniform, as read-only float64 arrays."""
        return self._grid

    @property
    def values(self) -> Float64Array:
        """The data in the order of :attr:`grid` (reversed along axes given decreasing), read-only float64.

        A view of the interpolator's own storage, where the data sit unchanged among the ghost values: the
        interpolator holds one copy of them.
        """
        return self._native.values

    def __repr__(self) -> str:
        return (
            f"{type(self).__name__}(kernel={self._kernel!r}, shape={self.shape}, domain={self.domain}, "
            f"order={self._order}, boundary={self._boundary}, out_of_range={self._out_of_range!r})"
        )

    # --- pickling -------------------------------------------------------------

    def __getstate__(self) -> dict[str, object]:
        return {
            "version": _STATE_VERSION,
            "grid": self._grid,
            "values": self._native.values,
            "kernel": self._kernel,
            "boundary": self._boundary,
            "order": self._order,
            "out_of_range": self._out_of_range,
            "workers": self._workers,
        }

    def __setstate__(self, state: dict[str, Any]) -> None:
        # Format 1, from before `workers`, loads with the default.
        if state.get("version") not in (1, _STATE_VERSION):
            raise ValueError(f"cannot restore an Interpolator saved in format {state.get('version')!r}")

        self._setup(
            tuple(_frozen(axis) for axis in state["grid"]),
            np.asarray(state["values"], dtype=np.float64),
            state["kernel"],
            tuple((left, right) for left, right in state["boundary"]),
            tuple(state["order"]),
            state["out_of_range"],
            state.get("workers"),
        )


Interpolator.__module__ = "quorvel"  # pickles refer to the public name


def regrid(
    grid: npt.ArrayLike | Sequence[npt.ArrayLike],
    values: npt.ArrayLike,
    coordinates: npt.ArrayLike | Sequence[npt.ArrayLike],
    kernel: str = "a3",
    boundary: BoundaryLike = "detect",
    *,
    derivative: int | Sequence[int] = 0,
    out_of_range: OutOfRange = "raise",
    workers: Workers = None,
) -> Float64Array:
    """The values (or derivatives) of data on a uniform grid at every combination of new coordinates, in one call.

    ``regrid(grid, values, [x0, x1, ...], kernel, boundary, derivative=d)``
    gives exactly the bits of ``Interpolator(grid, values, kernel, boundary,
    out_of_range=...).derivative(d).on_grid(x0, x1, ...)`` without building the
    interpolator: data of two or more axes are read once, one slab of axis 0
    at a time, each extended by its ghost values as it is read, so neither a
    copy of the data nor the time to make one is spent. For resampling a
    large array once (an image, a volume, a time step of a global field);
    build an :class:`Interpolator` to evaluate the same data again.

    `grid`, `values`, `kernel`, `boundary` and `out_of_range` are those of
    :class:`Interpolator`; `coordinates` holds one 1-D array per axis (one
    array in one dimension), in any order, repeats allowed. `derivative` is
    one non-negative order for every axis, or one per axis. The result has
    shape ``(len(x0), len(x1), ...)`` followed by the data's value axes.
    `workers` as for :meth:`Interpolator.on_grid`.
    """
    axes, pairs = _checked_grid(grid, kernel, boundary, out_of_range)
    data = _checked_data(values, axes, kernel, pairs)
    ndim = len(axes)
    given: Any = coordinates
    listed: Sequence[npt.ArrayLike]
    if ndim == 1 and np.ndim(given) == 1:  # in one dimension, the vector itself
        listed = [given]
    elif isinstance(given, (Sequence, np.ndarray)) and not isinstance(given, str):
        listed = list(given)
    else:
        raise TypeError(f"coordinates: expected a sequence of {ndim} 1-D arrays, got {type(given).__name__}")
    vectors = _coordinate_vectors(listed, ndim, "coordinates")
    orders = _orders_along(derivative, list(range(ndim)), "derivative")
    return _regridded(axes, data, vectors, kernel, pairs, orders, out_of_range, _thread_count(_workers(workers)))


def _regridded(
    axes: tuple[UniformAxis, ...],
    data: Float64Array,
    vectors: Sequence[Float64Array],
    kernel: str,
    pairs: tuple[tuple[str, str], ...],
    orders: list[int],
    out_of_range: OutOfRange,
    threads: int,
) -> Float64Array:
    """:func:`regrid` of checked arguments: `data` from :func:`_checked_data`, one 1-D float64 vector per axis."""
    _check_size("coordinates", math.prod(len(vector) for vector in vectors) * math.prod(data.shape[len(axes) :]))
    knots = [axis.knots for axis in axes]
    return _engine.regrid(knots, data, kernel, list(pairs), orders, list(vectors), out_of_range, threads)
