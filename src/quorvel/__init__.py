"""Fast, exact interpolation of data sampled on uniformly spaced grids.

:class:`Interpolator` interpolates one- or N-dimensional data by convolution
with a piecewise-polynomial kernel, and gives values, derivatives,
antiderivatives and definite integrals; :func:`regrid` resamples data on new
grid coordinates in one pass; :func:`kernels` lists the kernels to choose
from. The native building blocks live in :mod:`quorvel._core`.
"""

from quorvel._core import PanicException
from quorvel._interpolator import Interpolator, regrid
from quorvel._kernels import KernelInfo, kernels

__all__ = ["Interpolator", "KernelInfo", "PanicException", "kernels", "regrid"]
