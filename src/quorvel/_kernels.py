"""The kernel catalogue as users see it: what each kernel costs and what it can do."""

from __future__ import annotations

from dataclasses import dataclass

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


_CATALOGUE = (
    KernelInfo("a0", 2, 0, 0, 0, 2, "nearest knot: piecewise constant, for step or categorical data"),
    KernelInfo("a1", 2, 1, 1, 0, 2, "linear between the two neighbouring knots, second-order accurate"),
    KernelInfo("a3", 4, 3, 2, 1, 4, "cubic convolution on 4 knots, third-order accurate; the default"),
    KernelInfo("a4", 6, 3, 3, 1, 4, "cubic convolution on 6 knots, fourth-order accurate"),
    KernelInfo("a5", 6, 5, 2, 1, 4, "quintic pieces on 6 knots: smoother than a4, third-order accurate"),
    KernelInfo("a7", 8, 7, 2, 1, 4, "degree-7 pieces on 8 knots: smoother still, third-order accurate"),
    KernelInfo("b5", 10, 5, 5, 3, 6, "quintic pieces on 10 knots, sixth-order accurate, derivatives up to 3"),
    KernelInfo("b7", 12, 7, 6, 5, 8, "degree-7 pieces on 12 knots, seventh-order accurate, derivatives up to 5"),
    KernelInfo("b9", 14, 9, 6, 6, 8, "degree-9 pieces on 14 knots, seventh-order accurate, derivatives up to 6"),
    KernelInfo("b11", 16, 11, 6, 7, 8, "degree-11 pieces on 16 knots, seventh-order accurate, derivatives up to 7"),
    KernelInfo("b13", 18, 13, 6, 7, 8, "degree-13 pieces on 18 knots, seventh-order accurate, derivatives up to 7"),
)


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
