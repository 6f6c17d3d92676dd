"""A literal pure-Python model of one- and N-dimensional evaluation, for bit-for-bit tests.

Every step is one IEEE double operation, in the order the interpolants do it; a fused multiply-add is exact and
rounded once.  Tables and anchoring constants are the generator's exact rationals rounded to doubles; the ghost
values come from quorvel._core.extended_coefficients(_nd)."""

import math
import runpy
from functools import cache
from pathlib import Path

from quorvel import _core

GENERATOR = runpy.run_path(str(Path(__file__).resolve().parent.parent / "tools" / "generate_tables.py"),
                           run_name="generate_tables")
KERNELS = {kernel.name: kernel for kernel in GENERATOR["KERNELS"]}


def fma(a, b, c):
    """a * b + c rounded once, in integer ratios (int / int is correctly rounded)."""
    if not (math.isfinite(a) and math.isfinite(b)):
        return a * b + c
    if not math.isfinite(c):
        return c
    na, da = a.as_integer_ratio()
    nb, db = b.as_integer_ratio()
    nc, dc = c.as_integer_ratio()
    numerator = na * nb * dc + nc * da * db
    if numerator == 0:
        return a * b + c  # exact, with the right sign of zero
    try:
        return numerator / (da * db * dc)
    except OverflowError:
        return math.inf if numerator > 0 else -math.inf


def integer_power(base, exponent):
    """Square-and-multiply from the lowest exponent bit."""
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
        b = b * float(n - m) / float(m + 1)
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


@cache
def one_sided(kernel, k):
    """The centred k-th antiderivative table completed to one-sided antiderivatives."""
    rows = [list(row) for row in tables(kernel)[-k]]
    half = float(len(rows[0]) // 2)
    denominator = 2.0 * factorial(k - 1)
    for c in range(len(rows[0])):
        for j in range(k):
            b = -running_binomial(k - 1, j) if j % 2 == 1 else running_binomial(k - 1, j)
            rows[-1 - j][c] = rows[-1 - j][c] + b * repeated_power(half - float(c), k - 1 - j) / denominator
    return rows


def extend_tails(data, k, hw, tail_polynomials, inner, axis_len, stride):
    """Tail polynomials along one axis, k terms each (ascending powers of t).  `data` holds elements of `inner`
    values; element e lies at (e // stride) % axis_len on the axis and follows element e - stride.  The k terms of
    value b of element e are at ((e*inner + b)*k + j)."""
    right_share = [running_binomial(k - 1, j) * repeated_power(float(hw), k - 1 - j) / factorial(k - 1)
                   for j in range(k)]
    shift = [[float(math.comb(c, r)) for c in range(k)] for r in range(k)]
    out = [0.0] * (k * len(data))
    for e in range(len(data) // inner):
        i = (e // stride) % axis_len
        share = tail_polynomials[i] if i < len(tail_polynomials) else right_share
        for b in range(inner):
            v, at = data[e * inner + b], (e * inner + b) * k
            previous = ((e - stride) * inner + b) * k
            for j in range(k):
                total = v * share[j]
                if i > 0:
                    for c in range(j, k):
                        total = total + shift[j][c] * out[previous + c]
                out[at + j] = total
    return out


def integral_weights(kernel, k, s, t):
    """The anchored k-th antiderivatives of the stencil columns starting at s, at offset t."""
    hw = 1 if kernel == "a0" else len(tables(kernel)[0][0]) // 2
    first_right = 2 * hw - 1
    if kernel == "a0":
        upper = t > 0.5
        if k == 1:
            w = [0.5 if upper else t, t - 1.0 if upper else -0.5]
        else:
            w = [t * 0.5 if upper else t * t * 0.5 + 0.125,
                 (t - 1.0) * (t - 1.0) * 0.5 + 0.125 if upper else (1.0 - t) * 0.5]
    elif s >= first_right:
        return horner(one_sided(kernel, k), 1.0 - t)
    else:
        w = horner(tables(kernel)[-k], 1.0 - t)
    starts = anchoring(kernel, k)[0]
    x = t + float(s)
    for j in range(len(w)):
        if s + j >= first_right:
            w[j] = w[j] + repeated_power(t + float(hw - 1 - j), k - 1) / (2.0 * factorial(k - 1))
        else:
            correction = 0.0
            for m in range(k):
                correction = correction + (repeated_power(x, m) * starts[s + j][m]) / factorial(m)
            w[j] = w[j] - correction
    return w


def locate(x, origin, h, hw, length):
    """u, the cell index c (a double, NaN going to the first cell) and the stencil start."""
    u = (x - origin) / h
    lo, hi = hw - 1, length - hw - 1
    c = lo if math.isnan(u) else min(max(math.floor(u), lo), hi)
    return u, float(c), c - (hw - 1)


class ReferenceND:
    """InterpolantND(knots, values, kernel, bcs, derivatives), evaluated one point at a time."""

    def __init__(self, knots, values, kernel, bcs, derivatives):
        self.kernel = kernel
        self.hw = hw = 1 if kernel == "a0" else len(tables(kernel)[0][0]) // 2
        self.width = 2 if kernel == "a0" else len(tables(kernel)[0][0])
        extended = _core.extended_coefficients_nd(values, kernel, bcs)
        self.coefficients = [float(v) for v in extended.ravel(order="C")]
        self.lengths = extended.shape
        self.strides = [math.prod(extended.shape[a + 1:]) for a in range(extended.ndim)]
        self.axes, self.scale = [], 1.0
        for x, d in zip(knots, derivatives):
            x = [float(v) for v in x]
            h = (x[-1] - x[0]) / float(len(x) - 1)
            k = -d if d < 0 else 0
            self.axes.append({"h": h, "origin": x[0] - h * float(hw - 1), "k": k,
                              "rows": None if k or kernel == "a0" else tables(kernel)[d]})
            self.scale = self.scale * (integer_power(h, k) if k else integer_power(-1.0 / h, d))
        # One region per non-empty subset of the integral axes, in binary counting order of the masks.
        integral = [a for a, axis in enumerate(self.axes) if axis["k"]]
        self.regions = []
        for mask in range(1, 2 ** len(integral)):
            region_axes = [a for bit, a in enumerate(integral) if mask >> bit & 1]
            data, inner = self.coefficients, 1
            for a in region_axes:
                k = self.axes[a]["k"]
                data = extend_tails(data, k, hw, anchoring(kernel, k)[1], inner, self.lengths[a], self.strides[a])
                inner *= k
            self.regions.append((region_axes, data, inner))

    def contract(self, a, b, w):
        acc = 0.0
        if a + 1 == len(self.axes):
            for j in range(self.width):
                acc = fma(self.coefficients[b + j], w[a][j], acc)
            return acc
        for j in range(self.width):
            acc = fma(self.contract(a + 1, b + j * self.strides[a], w), w[a][j], acc)
        return acc

    def contract_region(self, region, a, b, w, powers):
        region_axes, tails, block_len = region
        a = next((x for x in range(a, len(self.axes)) if x not in region_axes), None)
        acc = 0.0
        if a is not None:
            for j in range(self.width):
                acc = fma(self.contract_region(region, a + 1, b + j * self.strides[a], w, powers), w[a][j], acc)
            return acc
        for q in range(block_len):
            acc = fma(tails[b * block_len + q], powers[q], acc)
        return acc

    def fill_powers(self, region_axes, offsets):
        out = [1.0] + [0.0] * (math.prod(self.axes[a]["k"] or 1 for a in region_axes) - 1)
        m = 1
        for a in region_axes:
            k, x = self.axes[a]["k"] or 1, offsets[a]
            for p in reversed(range(m)):
                v, w = out[p], 1.0
                for q in range(k):
                    out[p * k + q] = v * w
                    w = w * x
            m *= k
        return out

    def __call__(self, point):
        w, t, s = [], [], []
        for a, (x, axis) in enumerate(zip(point, self.axes)):
            u, c, start = locate(float(x), axis["origin"], axis["h"], self.hw, self.lengths[a])
            t.append(u - c)
            s.append(start)
            if axis["k"]:
                w.append(integral_weights(self.kernel, axis["k"], start, t[a]))
            elif self.kernel == "a0":  # NaN weights at NaN
                w.append([1.0, 0.0] if t[a] < 0.5 else [0.0, 1.0] if t[a] >= 0.5 else [t[a]] * 2)
            else:
                w.append(horner(axis["rows"], 1.0 - t[a]))
        base = sum(start * stride for start, stride in zip(s, self.strides))
        if self.kernel == "a0" and not self.regions:
            # The stored value at the nearer knot along every axis; NaN at NaN.
            if any(math.isnan(v) for v in t):
                return math.nan
            return self.coefficients[base + sum(stride for v, stride in zip(t, self.strides) if v >= 0.5)]
        total = self.contract(0, base, w)
        for region in self.regions:
            if any(s[a] == 0 for a in region[0]):
                continue  # nothing lies left of the stencil
            powers = self.fill_powers(region[0], t)
            total = total + self.contract_region(region, 0, base - sum(self.strides[a] for a in region[0]), w,
                                                 powers)
        return total * self.scale

    def evaluate(self, points):
        return [self(p) for p in points]


class Reference(ReferenceND):
    """Interpolant1D(x, values, kernel, bc_left, bc_right, derivative): the same on one axis, except that the
    tail left of the stencil is summed by Horner's rule in t."""

    def __init__(self, x, values, kernel, bc_left, bc_right, derivative):
        super().__init__([x], values, kernel, [(bc_left, bc_right)], [derivative])

    def contract_region(self, region, a, b, w, powers):
        _, tails, k = region
        left = 0.0
        for j in reversed(range(k)):
            left = fma(left, powers[1] if k > 1 else 0.0, tails[b * k + j])  # powers[1] is t
        return left

    def __call__(self, p):
        return super().__call__([p])
