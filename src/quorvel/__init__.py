"""Fast, exact interpolation of data sampled on uniformly spaced grids.

:func:`kernels` lists the interpolation kernels to choose from. The native
building blocks live in :mod:`quorvel._core`.
"""

from quorvel._core import PanicException
from quorvel._kernels import KernelInfo, kernels

__all__ = ["KernelInfo", "PanicException", "kernels"]
