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
// everything up to and including that position, evaluated t past it.
Buffer extend_tails(const IntegralAxis& axis, std::span<const double> data, std::size_t inner,
                    std::size_t axis_len, std::size_t stride);

namespace {  // evaluation templates: internal linkage, see lanes.hpp

// n! as a running product of doubles (exact for every order in use).
inline double factorial(std::size_t n) {
    double f = 1.0;
    for (std::size_t i = 2; i <= n; ++i) f *= static_cast<double>(i);
    return f;
}

// The W stencil weights of the k-th antiderivative at stencil start s and
// fractional offset t.  Several points at once (a SIMD lane type V) are all
// taken to start right of the first knot (s >= 2 hw - 1); the caller redoes
// one at a time the points of the first cells, which need per-column
// anchoring.
template <std::size_t W, class V>
inline void weights(const IntegralAxis& axis, V s, V t, V (&w)[W]) {
    const std::size_t k = axis.tail_count;
    const auto hw = static_cast<std::ptrdiff_t>(axis.half_width);
    const double first_right = static_cast<double>(2 * hw - 1);  // first coefficient wholly right of the first knot
    if (axis.nearest) {
        // "a0": centred antiderivatives of the box kernel in closed form.
        const V half = splat<V>(0.5);
        const V one = splat<V>(1.0);
        if (k == 1) {
            w[0] = if_above_half(t, half, t);
            w[1] = if_above_half(t, t - one, splat<V>(-0.5));
        } else {
            const V eighth = splat<V>(0.125);
            w[0] = if_above_half(t, t * half, t * t * half + eighth);
            w[1] = if_above_half(t, (t - one) * (t - one) * half + eighth, (one - t) * half);
        }
    } else {
        const V tau = splat<V>(1.0) - t;
        if (lane_count<V> > 1 || all_at_least(s, first_right)) {
            column_weights(axis.anchored_rows, tau, w);
            return;
        }
        column_weights(axis.centered_rows, tau, w);
    }
    const V twice_factorial = splat<V>(2.0 * factorial(k - 1));
    for (std::size_t j = 0; j < W; ++j) {
        if (lane_count<V> > 1 || all_at_least(s, first_right - static_cast<double>(j))) {
            // Right of the first knot: one-sided = centred + u^(k-1) / (2 (k-1)!).
            const V u = t + splat<V>(static_cast<double>(hw - 1 - static_cast<std::ptrdiff_t>(j)));
            V power = splat<V>(1.0);
            for (std::size_t m = 1; m < k; ++m) power = power * u;
            w[j] = w[j] + power / twice_factorial;
        } else if constexpr (lane_count<V> == 1) {
            // Reaching left of it: subtract the Taylor polynomial at the first knot.
            const double x = t + s;  // distance from the first knot
            const double* start = axis.anchoring->start_values + (to_index(s) + j) * k;
            double correction = 0.0;
            double x_power = 1.0;
            double m_factorial = 1.0;
            for (std::size_t m = 0; m < k; ++m) {
                if (m > 0) {
                    x_power *= x;
                    m_factorial *= static_cast<double>(m);
                }
                correction = correction + (x_power * start[m]) / m_factorial;
            }
            w[j] = w[j] - correction;
        }
    }
}

}  // namespace
}  // namespace quorvel
