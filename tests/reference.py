"""A literal pure-Python model of one-dimensional evaluation, for bit-for-bit tests.

Every step is one IEEE double operation, in the order the interpolant does
it; a fused multiply-add is computed exactly and rounded once.  The column
tables and anchoring constants are the table generator's exact rationals,
each rounded to the nearest double; the ghost values come from
quorvel._core.extended_coefficients.  Nothing here is fast.
"""

import math
import runpy
from functools import cache
from pathlib import Path

from quorvel import _core

GENERATOR = runpy.run_path(
    str(Path(__file__).resolve().parent.parent / "tools" / "generate_tables.py"), run_name="generate_tables"
)
KERNELS = {kernel.name: kernel for kernel in GENERATOR["KERNELS"]}


def fma(a, b, c):
    """a * b + c with a single rounding: float(Fraction(a) * Fraction(b) + Fraction(c)).

    Spelled with integer ratios, which is the same rational (int / int is
    correctly rounded) and several times faster than Fraction.
    """
    if not (math.isfinite(a) and math.isfinite(b)):
        return a * b + c
    if not math.isfinite(c):
        return c
    na, da = a.as_integer_ratio()
    nb, db = b.as_integer_ratio()
    nc, dc = c.as_integer_ratio()
    numerator = na * nb * dc + nc * da * db
    if numerator == 0:
        return a * b + c  # the product is then exact, so this gets the sign of zero right
    try:
        return numerator / (da * db * dc)
    except OverflowError:
        return math.inf if numerator > 0 else -math.inf


def integer_power(base, exponent):
    """base^exponent by square-and-multiply from the lowest exponent bit."""
    result = 1.0
    while True:
        if exponent & 1:
            result = result * base
        exponent >>= 1
        if exponent == 0:
            return result
        base = base * base


def repeated_power(base, exponent):
    result = 1.0
    for _ in range(exponent):
        result = result * base
    return result


def running_binomial(n, r):
    b = 1.0
    for m in range(r):
        b = b * float(n - m)
        b = b / float(m + 1)
    return b


def factorial(n):
    return float(math.factorial(n))


@cache
def tables(kernel):
    """Column tables by order, as stored: rows of W doubles, highest power of tau first."""
    if kernel == "a0":
        return {}
    exact = GENERATOR["all_tables"](KERNELS[kernel])
    return {order: [[float(column[p]) for column in table] for p in reversed(range(len(table[0])))]
            for order, table in exact.items()}


@cache
def anchoring(kernel, k):
    """Start values A[i][m] and tail polynomials B[i][j], rounded to doubles."""
    exact = GENERATOR["all_tables"](KERNELS[kernel]) if kernel != "a0" else {}
    starts, tails = GENERATOR["anchoring"](exact, k)
    return [[float(v) for v in row] for row in starts], [[float(v) for v in row] for row in tails]


def horner(rows, tau):
    """Every column polynomial at tau, one fused multiply-add per row and column."""
    weights = [0.0] * len(rows[0])
    for row in rows:
        weights = [fma(tau, w, r) for w, r in zip(weights, row)]
    return weights


def one_sided(rows, k):
    """The centred k-th antiderivative table completed to one-sided antiderivatives."""
    rows = [list(row) for row in rows]
    half = float(len(rows[0]) // 2)
    denominator = 2.0 * factorial(k - 1)
    for c in range(len(rows[0])):
        for j in range(k):
            b = running_binomial(k - 1, j)
            if j % 2 == 1:
                b = -b
            term = b * repeated_power(half - float(c), k - 1 - j) / denominator
            rows[-1 - j][c] = rows[-1 - j][c] + term
    return rows


def extend_tails(coefficients, k, hw, tail_polynomials):
    """Tail polynomial of every prefix of the coefficients, k terms each (ascending powers of t)."""
    right_share = [running_binomial(k - 1, j) * repeated_power(float(hw), k - 1 - j) / factorial(k - 1)
                   for j in range(k)]
    shift = [[float(math.comb(c, r)) for c in range(k)] for r in range(k)]
    tails = []
    for i, v in enumerate(coefficients):
        share = tail_polynomials[i] if i < len(tail_polynomials) else right_share
        if i == 0:
            tails.append([v * share[j] for j in range(k)])
            continue
        previous = tails[-1]
        tail = []
        for j in range(k):
            total = v * share[j]
            for c in range(j, k):
                total = total + shift[j][c] * previous[c]
            tail.append(total)
        tails.append(tail)
    return tails


class Reference:
    """Interpolant1D(x, values, kernel, bc_left, bc_right, derivative), evaluated one point at a time."""

    def __init__(self, x, values, kernel, bc_left, bc_right, derivative):
        x = [float(v) for v in x]
        self.kernel = kernel
        self.h = (x[-1] - x[0]) / float(len(x) - 1)
        self.hw = 1 if kernel == "a0" else len(tables(kernel)[0][0]) // 2
        self.origin = x[0] - self.h * float(self.hw - 1)
        self.coefficients = [float(v) for v in _core.extended_coefficients(values, kernel, bc_left, bc_right)]
        self.k = -derivative if derivative < 0 else 0
        if self.k:
            self.scale = integer_power(self.h, self.k)
            self.starts, tail_polynomials = anchoring(kernel, self.k)
            self.tails = extend_tails(self.coefficients, self.k, self.hw, tail_polynomials)
            if kernel != "a0":
                self.centred = tables(kernel)[-self.k]
                self.anchored = one_sided(self.centred, self.k)
        else:
            self.scale = integer_power(-1.0 / self.h, derivative)
            self.rows = tables(kernel).get(derivative)

    def locate(self, p):
        """u and the cell index c (a double), NaN going to the first cell."""
        u = (p - self.origin) / self.h
        lo, hi = self.hw - 1, len(self.coefficients) - self.hw - 1
        c = lo if math.isnan(u) else min(max(math.floor(u), lo), hi)
        return u, float(c), c - (self.hw - 1)

    def __call__(self, p):
        u, c, s = self.locate(float(p))
        d = self.coefficients
        if self.k:
            t = u - c
            w = self.weights(s, t)
            total = 0.0
            for j, wj in enumerate(w):
                total = fma(d[s + j], wj, total)
            if s > 0:
                tail = self.tails[s - 1]
                left = 0.0
                for j in reversed(range(self.k)):
                    left = fma(left, t, tail[j])
                total = total + left
            return total * self.scale
        if self.kernel == "a0":
            t = u - c
            return d[s] if t < 0.5 else d[s + 1] if t >= 0.5 else t
        w = horner(self.rows, (c - u) + 1.0)
        total = 0.0
        for j, wj in enumerate(w):
            total = fma(wj, d[s + j], total)
        return total * self.scale

    def weights(self, s, t):
        k, hw = self.k, self.hw
        first_right = 2 * hw - 1
        if self.kernel == "a0":
            upper = t > 0.5
            if k == 1:
                w = [0.5 if upper else t, t - 1.0 if upper else -0.5]
            else:
                w = [t * 0.5 if upper else t * t * 0.5 + 0.125,
                     (t - 1.0) * (t - 1.0) * 0.5 + 0.125 if upper else (1.0 - t) * 0.5]
        elif s >= first_right:
            return horner(self.anchored, 1.0 - t)
        else:
            w = horner(self.centred, 1.0 - t)
        x = t + float(s)
        for j in range(len(w)):
            if s + j >= first_right:
                w[j] = w[j] + repeated_power(t + float(hw - 1 - j), k - 1) / (2.0 * factorial(k - 1))
            else:
                correction = 0.0
                for m in range(k):
                    correction = correction + (repeated_power(x, m) * self.starts[s + j][m]) / factorial(m)
                w[j] = w[j] - correction
        return w

    def evaluate(self, points):
        return [self(p) for p in points]
