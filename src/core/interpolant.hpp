// One-dimensional interpolation of values at uniformly spaced knots.
//
// The values, extended by ghosts, are the coefficients c_e of a convolution:
// coefficient e sits at origin + e * spacing.  A point p in cell c (its left
// knot) at fractional offset t takes the W coefficients s = c - (hw - 1) ...
// s + W - 1 weighted by the kernel's column polynomials at tau = 1 - t:
//
//     value = scale * sum_j w_j(tau) c_(s + j)
//
// A derivative of order d uses the d-th derivative tables and scale (-1/h)^d;
// an antiderivative of order k uses the integral axis' weights, adds the tail
// of every coefficient left of the stencil, and scales by h^k.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "array.hpp"
#include "dispatch.hpp"
#include "integral.hpp"
#include "padded_rows.hpp"
#include "result.hpp"

namespace quorvel {

// What the engine asks of construction beyond what quorvel._core builds; the
// defaults build exactly the core's interpolants.
struct BuildOptions {
    std::size_t threads = 1;     // for the extension and the tails
    std::size_t field_axes = 0;  // trailing axes of the values that hold fields
    bool periodic = false;       // "periodic" is a boundary condition (at both ends of an axis)
    // Whether the interpolant holds its extended coefficients; without them
    // (values and derivatives of N-D data only) it serves a grid product
    // that makes them slab by slab (ExtendedSlabs).
    bool hold_data = true;
};

struct Interpolant1D {
    // n + 2 (half_width - 1) extended positions of `channels` values each,
    // shared by the interpolants of every order built from the same data
    // (with_order).
    std::shared_ptr<const Buffer> coefficients;
    PaddedRows column_rows;   // the derivative order's table; empty for antiderivatives and "a0"
    Buffer tails;             // tail_count terms per coefficient; empty unless an antiderivative
    std::optional<IntegralAxis> integral;
    double origin = 0.0;      // coordinate of coefficient 0
    double spacing = 0.0;
    std::size_t half_width = 0;
    double first_knot = 0.0;  // the data range, both ends inclusive
    double last_knot = 0.0;
    double period = 0.0;      // n * spacing on a periodic axis, else 0
    std::size_t columns = 0;  // W
    double scale = 1.0;
    bool nearest = false;     // "a0": the nearer knot's value
    std::string_view kernel;  // the catalogue's own name, which lives as long as the program
    std::size_t channels = 1; // values (fields) per grid position, side by side

    // A contiguous line of values, one per knot.
    static Result<Interpolant1D> create(const ArrayView& x, const ArrayView& values, std::string_view kernel,
                                        std::string_view bc_left, std::string_view bc_right,
                                        std::int32_t derivative);
    // Values of shape (n, fields...), any strides: the last `field_axes` axes
    // hold several fields at each knot, each interpolated as it would be alone.
    static Result<Interpolant1D> create(const ArrayView& x, const ArrayView& values, std::string_view kernel,
                                        std::string_view bc_left, std::string_view bc_right,
                                        std::int32_t derivative, const BuildOptions& options);

    // The interpolant of the same data, knots and boundary conditions at
    // another derivative order, sharing the extended coefficients; refused as
    // `create` refuses the order.
    Result<Interpolant1D> with_order(std::int32_t derivative) const;

    Result<NdBuffer> evaluate(const ArrayView& points) const;

    // Whether an evaluator exists for the width, and the refusal of a point
    // outside the data range: what `evaluate` reports.
    Status check_width() const;
    Error outside(double point) const;
};

// Knots x[0] ... x[n-1] (n >= 2) at a glance: the spacing
// (x[n-1] - x[0]) / (n - 1), whether all are finite, and whether each lies
// within 1e-8 of the spacing of its ideal position x[0] + spacing * i.
struct KnotSummary {
    double spacing = 0.0;
    bool finite = true;
    bool uniform = true;
};
KnotSummary summarize_knots(const double* x, std::size_t n);

// Whether the ends of the extended grid, first - ghosts * spacing and
// last + ghosts * spacing, as computed in doubles, lie within a thousandth of
// a spacing of their exact values.  Beyond that the knots are too large for
// their spacing, and every position on the grid would be shifted.
bool extended_ends_exact(double first, double last, double spacing, std::size_t ghosts);

// b^e by square-and-multiply from the lowest exponent bit (b^0 = 1).
double integer_power(double base, std::uint32_t exponent);

// The negation of a derivative order, without overflow at INT32_MIN.
inline std::uint32_t integral_order(std::int32_t derivative) {
    return derivative < 0 ? 0u - static_cast<std::uint32_t>(derivative) : 0u;
}

}  // namespace quorvel
