"""Fast, exact interpolation of data sampled on uniformly spaced grids.

The native module :mod:`quorvel._core` holds the interpolants; this package
re-exports it.
"""

from quorvel import _core
from quorvel._core import *  # noqa: F403
from quorvel._core import PanicException

__all__ = [*_core.__all__, "PanicException"]
