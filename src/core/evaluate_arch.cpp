// The evaluators for one instruction set, chosen by the build (the variant
// list in src/core/meson.build): QUORVEL_ARCH names it (generic, neon, avx2
// or avx512), QUORVEL_ARCH_LANES its lane count, and the compiler flags enable
// it.
#include "derivative_set.hpp"
#include "evaluators.hpp"
#include "grid_product.hpp"

#ifndef QUORVEL_ARCH
#error "QUORVEL_ARCH names the instruction set of this translation unit"
#endif

namespace quorvel::QUORVEL_ARCH {

// The variant's lane type; a variant whose flags do not enable it fails to
// compile here rather than run fewer lanes.
using V = LaneType<QUORVEL_ARCH_LANES>::type;

OutsideRange evaluate_1d(const Interpolant1D& f, StridedValues points, RangeMode mode, double* out) {
    const std::size_t stop = evaluate_1d_with<V>(f, points, mode, out);
    return stop == points.size ? OutsideRange{} : OutsideRange{stop, 0};
}

OutsideRange evaluate_nd(const InterpolantND& f, const ArrayView& points, RangeMode mode, double* out) {
    return evaluate_nd_with<V>(f, points, mode, out);
}

void grid_product(const InterpolantND& f, std::span<const StridedValues> coordinates, std::size_t threads,
                  double* out) {
    grid_product_with<V>(f, coordinates, threads, out);
}

OutsideRange evaluate_derivatives(std::span<const InterpolantND* const> outputs, unsigned degree,
                                  const ArrayView& points, RangeMode mode, double* out) {
    return derivatives_nd_with<V>(outputs, degree, points, mode, out);
}

}  // namespace quorvel::QUORVEL_ARCH
