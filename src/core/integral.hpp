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

// The W stencil weights of the k-th antiderivative for stencil start s and
// fractional offset t (one point).
template <std::size_t W>
inline void weights(const IntegralAxis& axis, std::ptrdiff_t s, double t, double (&w)[W]) {
    const std::size_t k = axis.tail_count;
    const auto hw = static_cast<std::ptrdiff_t>(axis.half_width);
    const std::ptrdiff_t first_right = 2 * hw - 1;  // first coefficient wholly right of the first knot
    if (axis.nearest) {
        // "a0": centred antiderivatives of the box kernel in closed form.
        const bool upper = t > 0.5;
        if (k == 1) {
            w[0] = upper ? 0.5 : t;
            w[1] = upper ? t - 1.0 : -0.5;
        } else {
            w[0] = upper ? t * 0.5 : t * t * 0.5 + 0.125;
            w[1] = upper ? (t - 1.0) * (t - 1.0) * 0.5 + 0.125 : (1.0 - t) * 0.5;
        }
    } else {
        const double tau = 1.0 - t;
        if (s >= first_right) {
            column_weights(axis.anchored_rows, tau, w);
            return;
        }
        column_weights(axis.centered_rows, tau, w);
    }
    const double twice_factorial = 2.0 * factorial(k - 1);
    const double x = t + static_cast<double>(s);  // distance from the first knot
    for (std::size_t j = 0; j < W; ++j) {
        const std::ptrdiff_t index = s + static_cast<std::ptrdiff_t>(j);
        if (index >= first_right) {
            // Right of the first knot: one-sided = centred + u^(k-1) / (2 (k-1)!).
            const double u = t + static_cast<double>(hw - 1 - static_cast<std::ptrdiff_t>(j));
            double power = 1.0;
            for (std::size_t m = 1; m < k; ++m) power *= u;
            w[j] = w[j] + power / twice_factorial;
        } else {
            // Reaching left of it: subtract the Taylor polynomial at the first knot.
            const double* start = axis.anchoring->start_values + static_cast<std::size_t>(index) * k;
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
