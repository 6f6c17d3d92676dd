"""Type stubs for the native module quorvel._core."""

from collections.abc import Sequence
from typing import final

import numpy as np
import numpy.typing as npt

__all__ = [
    "evaluate_polynomial",
    "kernel_weights",
    "extended_coefficients",
    "extended_coefficients_nd",
    "Interpolant1D",
    "InterpolantND",
]

_Float64Array = npt.NDArray[np.float64]

class PanicException(BaseException):
    """A broken internal invariant of quorvel; not an input error."""

def evaluate_polynomial(coefs: _Float64Array, x: _Float64Array) -> _Float64Array:
    """Python-visible: evaluate the polynomial at every point of the NumPy array `x`."""

def kernel_weights(kernel: str, order: int, tau: float) -> list[float]:
    """Python-visible (for testing): the weights of all stencil columns of `kernel` (e.g. "b5")
    for derivative order `order`, at `tau` = 1 − t."""

def extended_coefficients(values: _Float64Array, kernel: str, bc_left: str, bc_right: str) -> _Float64Array:
    """Python-visible (for testing): the data values extended by ghost values beyond each boundary,
    for `kernel` and the boundary conditions `bc_left` and `bc_right` ("poly", "linear",
    "quadratic" or "detect")."""

def extended_coefficients_nd(values: _Float64Array, kernel: str, bcs: Sequence[tuple[str, str]]) -> _Float64Array:
    """Python-visible (for testing): the N-D data array extended by ghost values beyond each
    boundary of every axis, for `kernel` and one (left, right) pair of boundary condition names
    per axis, e.g. [("poly", "poly"), ("detect", "linear")] for 2D data."""

@final
class Interpolant1D:
    """A 1D interpolant."""

    def __init__(
        self, x: _Float64Array, values: _Float64Array, kernel: str, bc_left: str, bc_right: str, derivative: int
    ) -> None: ...
    def evaluate(self, points: _Float64Array) -> _Float64Array:
        """Evaluate at every point of the NumPy array `points`"""

@final
class InterpolantND:
    """An N-D interpolant."""

    def __init__(
        self,
        knots: Sequence[_Float64Array],
        values: _Float64Array,
        kernel: str,
        bcs: Sequence[tuple[str, str]],
        derivatives: Sequence[int],
    ) -> None: ...
    def evaluate(self, points: _Float64Array) -> _Float64Array:
        """Evaluate at every row of `points`, an array of shape (number of points, number of axes)"""
