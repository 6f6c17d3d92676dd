// The evaluators for one instruction set, chosen by the build:
// QUORVEL_ARCH names it (generic, avx2 or avx512) and the compiler flags
// enable it.
#include "derivative_set.hpp"
#include "evaluators.hpp"
#include "grid_product.hpp"

#ifndef QUORVEL_ARCH
#error "QUORVEL_ARCH names the instruction set of this translation unit"
#endif

namespace quorvel::QUORVEL_ARCH {

#if defined(__AVX512F__) && defined(__AVX512DQ__)
using Wide = f64x8;
#elif defined(__AVX2__) && defined(__FMA__)
using Wide = f64x4;
#else
using Wide = double;
#endif

OutsideRange evaluate_1d(const Interpolant1D& f, StridedValues points, RangeMode mode, double* out) {
    const std::size_t stop = evaluate_1d_with<Wide>(f, points, mode, out);
    return stop == points.size ? OutsideRange{} : OutsideRange{stop, 0};
}

OutsideRange evaluate_nd(const InterpolantND& f, const ArrayView& points, RangeMode mode, double* out) {
    return evaluate_nd_with<Wide>(f, points, mode, out);
}

void grid_product(const InterpolantND& f, std::span<const StridedValues> coordinates, std::size_t threads,
                  double* out) {
    grid_product_with<Wide>(f, coordinates, threads, out);
}

OutsideRange evaluate_derivatives(std::span<const InterpolantND* const> outputs, unsigned degree,
                                  const ArrayView& points, RangeMode mode, double* out) {
    return derivatives_nd_with<Wide>(outputs, degree, points, mode, out);
}

}  // namespace quorvel::QUORVEL_ARCH
