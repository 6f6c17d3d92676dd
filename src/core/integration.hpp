// Definite integrals of an interpolant of values or derivatives over an
// interval or an axis-aligned box, from the extended coefficients alone.
//
// The integral is linear in the coefficients and separates by axis: every
// axis gives each coefficient along it one weight, and the integral is
//
//     prod_a scale_a * sum_e0 w_0[e0] sum_e1 w_1[e1] ... c[e0, e1, ...]
//
// On an axis of values, coefficient e's weight is the integral over the
// interval of its basis function, in cells (scale: the spacing).  The order
// -1 column tables join into the basis function's antiderivative, which is
// -1/2 left of its support and +1/2 right of it: over its whole support a
// basis function integrates to exactly one cell, so every coefficient whose
// support lies inside the interval weighs exactly 1 and only the W or so
// around each end take the tables.  On an axis that carries a derivative of
// order d, the weight is the difference of the coefficient's order d - 1
// weights at the two ends (scale: (-1/h)^(d-1)), which reads only the data
// near the ends.  Both are one rule: the order d - 1 column functions taken
// from one end to the other, constant beyond the stencil (+-1/2 for d = 0,
// 0 otherwise).
//
// Accuracy.  Each end is placed by its distances from the knots on either
// side, computed from the bound and the first knot without cancellation, and
// a part of a cell contributes (tau1 - tau0) times a divided difference of
// the column polynomials, which no short part makes cancel: every weight is
// accurate to a few units of rounding of the integral of its basis
// function's magnitude over the interval.  The contraction is a compensated
// (Dot2) sum at every level, as if carried in twice the working precision, in
// a fixed order on one thread.  The result is therefore within a few units of
// rounding of the integral of sum_e |c_e| |phi_e| over the box (phi_e the
// basis functions): of the integral itself where the data keep one sign, of
// the data's magnitude where they cancel.  An infinity or NaN among the
// coefficients that the box reaches gives an infinity or NaN, as evaluation
// does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "array.hpp"
#include "result.hpp"

namespace quorvel {

// One axis of the extended coefficients, as integration reads it.  Knot i
// lies at first_knot + i * spacing, exactly; position e of the extended axis
// holds the coefficient of knot e - (hw - 1).
struct IntegrationAxis {
    double first_knot = 0.0;
    double spacing = 0.0;
    std::size_t knots = 0;   // n >= 2 data values; the extended axis holds n + 2 (hw - 1)
    std::size_t stride = 0;  // elements between neighbouring positions
    std::int32_t order = 0;  // derivative order, >= 0
    // On a periodic axis (else 0) the period, and `knots` counts the first
    // knot once more at its end: the extended axis covers one whole period.
    double period = 0.0;
};

// The extended coefficients: row-major over the axes, `channels` values
// (fields) side by side at each position.
struct IntegrationGrid {
    const double* coefficients = nullptr;
    std::size_t channels = 1;
    std::string_view kernel;
    std::size_t half_width = 0;
    std::vector<IntegrationAxis> axes;
};

// `count` consecutive weights from extended position `first` on: `weights`,
// or all 1 when it is empty (the inside of an interval on an axis of
// values, held in no memory).
struct WeightRun {
    std::size_t first = 0;
    std::size_t count = 0;
    std::vector<double> weights;

    double weight(std::size_t k) const { return weights.empty() ? 1.0 : weights[k]; }
};

// The weights of one axis over one interval: runs in increasing order of
// position, apart, and the factor that turns them into the axis' units.
struct AxisWeights {
    std::vector<WeightRun> runs;
    double scale = 1.0;
};

// The weights of `axis` over [lower, upper], lower < upper, both in the data
// range (any real bounds on a periodic axis).
Result<AxisWeights> interval_weights(const IntegrationGrid& grid, const IntegrationAxis& axis, double lower,
                                     double upper);

// The bounds along one axis, in either order: each in the data range, or NaN.
struct Interval {
    double lower = 0.0;
    double upper = 0.0;
};

// The integral over the box, one bound pair per axis, for every field:
// `channels` values.  Reversed bounds flip the sign, a bound of zero width
// gives 0, and a NaN bound NaN.
Result<Buffer> box_integral(const IntegrationGrid& grid, std::span<const Interval> box);

}  // namespace quorvel
