"""The kernel catalogue as users see it: what each kernel costs and what it can do."""

from __future__ import annotations

from dataclasses import dataclass

from quorvel._catalogue import KERNEL_NUMBERS

__all__ = ["KernelInfo", "kernels"]


@dataclass(frozen=True, slots=True)
class KernelInfo:
    """What one interpolation kernel offers.

    Attributes
    ----------
    name:
        The name to pass as ``kernel=``.
    columns:
        Width of the stencil: the number of knots (data or ghost values) that
        every evaluation reads along each axis.
    degree:
        Polynomial degree of the kernel's pieces (0 for the nearest-knot kernel).
    exact_degree:
        Polynomials up to this degree are reproduced to rounding error, so the
        error of values falls like ``h**(exact_degree + 1)`` on smooth data.
    max_derivative:
        Highest derivative order that :meth:`Interpolator.derivative` may reach.
    max_integral:
        Highest antiderivative order that :meth:`Interpolator.antiderivative`
        may reach (:meth:`Interpolator.integrate` needs one order).
    description:
        One line to choose by.
    """

    name: str
    columns: int
    degree: int
    exact_degree: int
    max_derivative: int
    max_integral: int
    description: str


_DESCRIPTIONS = {
    "a0": "nearest knot: piecewise constant, for step or categorical data",
    "a1": "linear between the two neighbouring knots, second-order accurate",
    "a3": "cubic convolution on 4 knots, third-order accurate; the default",
    "a4": "cubic convolution on 6 knots, fourth-order accurate",
    "a5": "quintic pieces on 6 knots: smoother than a4, third-order accurate",
    "a7": "degree-7 pieces on 8 knots: smoother still, third-order accurate",
    "b5": "quintic pieces on 10 knots, sixth-order accurate, derivatives up to 3",
    "b7": "degree-7 pieces on 12 knots, seventh-order accurate, derivatives up to 5",
    "b9": "degree-9 pieces on 14 knots, seventh-order accurate, derivatives up to 6",
    "b11": "degree-11 pieces on 16 knots, seventh-order accurate, derivatives up to 7",
    "b13": "degree-13 pieces on 18 knots, seventh-order accurate, derivatives up to 7",
}

# The numbers come from the generator of the native tables; the words are written here.
_CATALOGUE = tuple(KernelInfo(name, *numbers, _DESCRIPTIONS[name]) for name, numbers in KERNEL_NUMBERS.items())


def kernels() -> dict[str, KernelInfo]:
    """The available kernels by name, from the narrowest to the widest.

    >>> info = kernels()["a3"]
    >>> info.columns, info.max_derivative
    (4, 1)

    Wider kernels are more accurate on smooth data and allow higher derivatives,
    but cost more per point (each evaluation reads ``columns ** ndim`` values)
    and reach further for ghost values near the ends of the data.
    """
    return {info.name: info for info in _CATALOGUE}


KernelInfo.__module__ = "quorvel"
