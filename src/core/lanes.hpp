// The arithmetic every evaluator is written in, for one point at a time
// (double).  Evaluators are templates over the lane type, so that the same
// source evaluates several points at once in SIMD registers with exactly the
// same operations, and therefore exactly the same bits, per point.
//
// Everything here and in the evaluator templates has internal linkage: each
// translation unit compiles its own copy for its own instruction set, and the
// linker can never hand a copy built for a wider instruction set to code that
// runs without it.
#pragma once

#include <cmath>
#include <cstdint>

namespace quorvel {
namespace {

// One value in every lane.
template <class T>
inline T splat(double x);
template <>
inline double splat<double>(double x) {
    return x;
}

inline double fused(double a, double b, double c) { return std::fma(a, b, c); }

// The cell index of u in grid units, as a double holding an integer:
// floor(u) clamped to [lo, hi].  Saturating the float-to-integer conversion
// and mapping NaN to 0 before the clamp gives the same index, so the clamp
// is done on doubles: a NaN lands on lo (lo >= 0).
inline double cell_index(double u, double lo, double hi) {
    const double c = std::floor(u);
    return c >= lo ? (c <= hi ? c : hi) : lo;
}

}  // namespace
}  // namespace quorvel
