// The evaluators are compiled once per instruction set (arch_variant.hpp,
// from the variant list in src/core/meson.build): portable code everywhere,
// AVX2 with FMA and AVX-512 on x86-64, NEON on aarch64.  The widest that the
// processor runs is chosen once per process; all give the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "array.hpp"
#include "result.hpp"

namespace quorvel {

class ExtendedSlabs;
struct Interpolant1D;
struct InterpolantND;

// What a point outside the data range gives: the call stops there (`raise`,
// reporting the point), NaN (`nan`), or the value at the nearest point of the
// range (`clip`).  A NaN coordinate is never outside.
enum class RangeMode : std::uint8_t { raise, nan, clip };

// The first point outside the data range, and the axis it leaves.
struct OutsideRange {
    static constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
    std::size_t point = none;
    std::size_t axis = 0;
};

struct Evaluators {
    const char* name;
    // Both write one value per point to `out`; in `RangeMode::raise` they stop
    // at the first point outside the data range.  The interpolant's width has
    // an evaluator.
    OutsideRange (*evaluate_1d)(const Interpolant1D& f, StridedValues points, RangeMode mode, double* out);
    OutsideRange (*evaluate_nd)(const InterpolantND& f, const ArrayView& points, RangeMode mode, double* out);
    // The values (or derivatives) of an interpolant of two or more axes
    // without integral axes on the product of one vector of coordinates per
    // axis (inside the range, or NaN), row-major, on up to `threads` threads;
    // the coefficients are f's own, or made slab by slab by `slabs`.
    Status (*grid_product)(const InterpolantND& f, const ExtendedSlabs* slabs,
                           std::span<const StridedValues> coordinates, std::size_t threads, double* out);
    // Interpolants of one set of data at several derivative orders (no
    // integral axes, not "a0", one field), evaluated together: output o of
    // point i at out[i * outputs.size() + o].  Degree 1: output a is the
    // derivative along axis a (a gradient); 2: any other set.
    OutsideRange (*evaluate_derivatives)(std::span<const InterpolantND* const> outputs, unsigned degree,
                                         const ArrayView& points, RangeMode mode, double* out);
};

// How many of the build's instruction-set variants this processor runs, at
// least 1: the variants are listed portable first (variants.hpp), each
// running only where the one before it runs, so these are the first ones.
// Another family of functions compiled per instruction set indexes its own
// table, listed by QUORVEL_FOR_EACH_VARIANT, the same way.
std::size_t runnable_variants();

// The fastest variant this processor runs.
const Evaluators& evaluators();

// Every variant this processor runs, portable first.
std::span<const Evaluators> supported_evaluators();

}  // namespace quorvel
