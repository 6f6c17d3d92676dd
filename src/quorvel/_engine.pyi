"""Type stubs for the native module quorvel._engine."""

from collections.abc import Sequence
from typing import Literal, final

import numpy as np
import numpy.typing as npt

from quorvel._core import PanicException as PanicException

__all__ = ["Interpolant"]

_Float64Array = npt.NDArray[np.float64]

@final
class Interpolant:
    """An interpolant of data on a uniform grid, one- or N-dimensional, evaluated
    without the interpreter lock."""

    def __new__(
        cls,
        knots: Sequence[_Float64Array],
        values: _Float64Array,
        kernel: str,
        bcs: Sequence[tuple[str, str]],
        orders: Sequence[int],
        workers: int,
    ) -> Interpolant: ...
    def with_orders(self, orders: Sequence[int], workers: int) -> Interpolant:
        """The interpolant of the same data at other derivative orders, sharing the extended data."""
    def evaluate(
        self, points: _Float64Array, mode: Literal["raise", "nan", "clip"], workers: int
    ) -> _Float64Array:
        """The values at `points`."""
    def evaluate_into(
        self, points: _Float64Array, out: _Float64Array, mode: Literal["raise", "nan", "clip"], workers: int
    ) -> None:
        """The values at `points` written to `out` (C-contiguous, as many elements, apart from `points`)."""
    def derivatives(
        self, points: _Float64Array, degree: int, mode: Literal["raise", "nan", "clip"], workers: int
    ) -> _Float64Array:
        """The first (degree 1) or second (degree 2) derivatives along every axis at `points`."""
    def on_grid(
        self, coordinates: Sequence[_Float64Array], mode: Literal["raise", "nan", "clip"], workers: int
    ) -> _Float64Array:
        """The values on the product of one 1-D array of coordinates per axis."""
    def on_grid_into(
        self,
        coordinates: Sequence[_Float64Array],
        out: _Float64Array,
        mode: Literal["raise", "nan", "clip"],
        workers: int,
    ) -> None:
        """The values on the product written to `out` (C-contiguous, as many elements, apart from the coordinates)."""
    def integrate(
        self, lower: _Float64Array, upper: _Float64Array, mode: Literal["raise", "nan", "clip"]
    ) -> _Float64Array:
        """The integral of an interpolant of values or derivatives over the interval or box from `lower` to `upper`."""
    @property
    def values(self) -> _Float64Array:
        """The data, with their value axes, as a read-only array over the interpolant's own storage."""

def regrid(
    knots: Sequence[_Float64Array],
    values: _Float64Array,
    kernel: str,
    bcs: Sequence[tuple[str, str]],
    orders: Sequence[int],
    coordinates: Sequence[_Float64Array],
    mode: Literal["raise", "nan", "clip"],
    workers: int,
) -> _Float64Array:
    """What ``Interpolant(knots, values, kernel, bcs, orders, workers).on_grid(coordinates, mode, workers)`` gives,
    reading data of two or more axes slab by slab instead of copying them whole."""
