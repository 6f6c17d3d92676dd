// Antiderivatives along one axis, anchored at the first knot.
//
// The k-th antiderivative at a point is the stencil of W coefficients weighted
// by the anchored antiderivatives of their kernels, plus a tail polynomial in
// t that gathers every coefficient left of the stencil.  In grid units the
// first knot sits at position hw - 1; a coefficient wholly right of it
// (index >= 2*hw - 1) contributes its one-sided antiderivative O_k, which the
// "anchored" table holds; a coefficient whose kernel reaches left of it
// contributes its centred antiderivative C_k minus C_k's Taylor polynomial at
// the first knot (the anchoring table's start values).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "array.hpp"
#include "kernels.hpp"
#include "lanes.hpp"
#include "padded_rows.hpp"
#include "result.hpp"

namespace quorvel {

struct IntegralAxis {
    PaddedRows centered_rows;  // integral table of order -k; empty for "a0"
    PaddedRows anchored_rows;  // the same, completed to one-sided antiderivatives
    const AnchoringTable* anchoring = nullptr;
    std::size_t tail_count = 0;  // k
    std::size_t half_width = 0;  // hw
    bool nearest = false;        // "a0"

    // The axis of the k-th antiderivative (k >= 1) for `kernel`.
    static Result<IntegralAxis> create(std::string_view kernel, std::uint32_t k);
};

// Tail polynomials of `data`: element e (of `inner` consecutive values) lies at
// position (e / stride) % axis_len along the integrated axis and follows
// element e - stride.  Value b of element e gets k terms at
// ((e * inner + b) * k + j), the coefficients of t^j of the antiderivative of
// everything up to and including that position, evaluated t past it.  Made on
// up to `threads` threads.
Buffer extend_tails(const IntegralAxis& axis, std::span<const double> data, std::size_t inner,
                    std::size_t axis_len, std::size_t stride, std::size_t threads = 1);

namespace {  // evaluation templates: internal linkage, see lanes.hpp

// n! as a running product of doubles (exact for every order in use).
inline double factorial(std::size_t n) {
    double f = 1.0;
    for (std::size_t i = 2; i <= n; ++i) f *= static_cast<double>(i);
    return f;
}

// The centred weights of the k-th antiderivative at fractional offset t.
template <std::size_t W, class V>
inline void centred_weights(const IntegralAxis& axis, V t, V (&c)[W]) {
    if (!axis.nearest) {
        column_weights(axis.centered_rows, splat<V>(1.0) - t, c);
        return;
    }
    // "a0": the box kernel's, in closed form.
    const V half = splat<V>(0.5);
    const V one = splat<V>(1.0);
    if (axis.tail_count == 1) {
        c[0] = if_above_half(t, half, t);
        c[1] = if_above_half(t, t - one, splat<V>(-0.5));
    } else {
        const V eighth = splat<V>(0.125);
        c[0] = if_above_half(t, t * half, t * t * half + eighth);
        c[1] = if_above_half(t, (t - one) * (t - one) * half + eighth, (one - t) * half);
    }
}

// Weight j from its centred value c for a column wholly right of the first
// knot: c + u^(k-1) / (2 (k-1)!).
template <class V>
inline V one_sided(const IntegralAxis& axis, std::size_t j, V t, V c) {
    const V u = t + splat<V>(static_cast<double>(static_cast<std::ptrdiff_t>(axis.half_width) - 1 -
                                                 static_cast<std::ptrdiff_t>(j)));
    V power = splat<V>(1.0);
    for (std::size_t m = 1; m < axis.tail_count; ++m) power = power * u;
    return c + power / splat<V>(2.0 * factorial(axis.tail_count - 1));
}

// Weight j from its centred value c for a column reaching left of the first
// knot (s + j < 2 hw - 1): c less the Taylor polynomial of the column's
// centred antiderivative at the first knot.  Other lanes read a valid row
// and are discarded by the caller.
template <class V>
inline V reaching_left(const IntegralAxis& axis, std::size_t j, V s, V t, V c) {
    const std::size_t k = axis.tail_count;
    const double last_row = static_cast<double>(2 * axis.half_width - 2);
    const auto row = to_index(at_most(s + splat<V>(static_cast<double>(j)), last_row) *
                              splat<V>(static_cast<double>(k)));
    const V x = t + s;  // distance from the first knot
    V correction = splat<V>(0.0);
    V x_power = splat<V>(1.0);
    double m_factorial = 1.0;
    for (std::size_t m = 0; m < k; ++m) {
        if (m > 0) {
            x_power = x_power * x;
            m_factorial *= static_cast<double>(m);
        }
        correction = correction + (x_power * gather(axis.anchoring->start_values + m, row)) / splat<V>(m_factorial);
    }
    return c - correction;
}

// "a0" has no one-sided rows: its centred weights made one-sided.
template <std::size_t W, class V>
void nearest_one_sided_weights(const IntegralAxis& axis, V t, V (&w)[W]) {
    V c[W];
    centred_weights(axis, t, c);
    for (std::size_t j = 0; j < W; ++j) w[j] = one_sided(axis, j, t, c[j]);
}

// The W stencil weights of the k-th antiderivative at fractional offset t
// for stencils wholly right of the first knot (start s >= 2 hw - 1).  Kept
// small, so that it is inlined into the evaluators' loops.
template <std::size_t W, class V>
inline void one_sided_weights(const IntegralAxis& axis, V t, V (&w)[W]) {
    if (axis.nearest) nearest_one_sided_weights(axis, t, w);
    else column_weights(axis.anchored_rows, splat<V>(1.0) - t, w);
}

// Whether every lane's stencil, starting at s, lies right of the first knot.
template <class V>
inline bool right_of_first_knot(const IntegralAxis& axis, V s) {
    return all_at_least(s, static_cast<double>(2 * axis.half_width - 1));
}

// Mends the one-sided weights w where a lane's stencil starts left of
// 2 hw - 1 and so reaches left of the first knot: each column takes the rule
// that applies to it, lane by lane.
template <std::size_t W, class V>
inline void mend_first_cells(const IntegralAxis& axis, V s, V t, V (&w)[W]) {
    const double first_right = static_cast<double>(2 * axis.half_width - 1);
    V c[W];
    centred_weights(axis, t, c);
    for (std::size_t j = 0; j < W; ++j) {
        // "a0" has no one-sided rows: its w[j] is already one_sided(c[j]).
        const V right = axis.nearest ? w[j] : if_at_least(s, first_right, w[j], one_sided(axis, j, t, c[j]));
        w[j] = if_at_least(s, first_right - static_cast<double>(j), right, reaching_left(axis, j, s, t, c[j]));
    }
}

// The W stencil weights of the k-th antiderivative at stencil start s and
// fractional offset t.  Evaluators that know every stencil of a block to lie
// right of the first knot take one_sided_weights alone.
template <std::size_t W, class V>
inline void weights(const IntegralAxis& axis, V s, V t, V (&w)[W]) {
    one_sided_weights(axis, t, w);
    if (!right_of_first_knot(axis, s)) mend_first_cells(axis, s, t, w);
}

}  // namespace
}  // namespace quorvel
