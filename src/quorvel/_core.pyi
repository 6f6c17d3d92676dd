"""Type stubs for the native module quorvel._core."""

import numpy as np
import numpy.typing as npt

__all__ = ["evaluate_polynomial", "kernel_weights", "Interpolant1D"]

_Float64Array = npt.NDArray[np.float64]

class PanicException(BaseException):
    """A broken internal invariant of quorvel; not an input error."""

def evaluate_polynomial(coefs: _Float64Array, x: _Float64Array) -> _Float64Array:
    """Python-visible: evaluate the polynomial at every point of the NumPy array `x`."""

def kernel_weights(kernel: str, order: int, tau: float) -> list[float]:
    """Python-visible (for testing): the weights of all stencil columns of `kernel` (e.g. "b5")
    for derivative order `order`, at `tau` = 1 − t."""

class Interpolant1D:
    """A 1D interpolant."""

    def __new__(
        cls, x: _Float64Array, values: _Float64Array, kernel: str, bc_left: str, bc_right: str, derivative: int
    ) -> Interpolant1D: ...
    def evaluate(self, points: _Float64Array) -> _Float64Array:
        """Evaluate at every point of the NumPy array `points`"""
