// One-dimensional evaluation, once per instruction set (arch_variant.hpp).
#include "arch_variant.hpp"
#include "evaluators.hpp"

namespace quorvel::QUORVEL_ARCH {

OutsideRange evaluate_1d(const Interpolant1D& f, StridedValues points, RangeMode mode, double* out) {
    const std::size_t stop = evaluate_1d_with<V>(f, points, mode, out);
    return stop == points.size ? OutsideRange{} : OutsideRange{stop, 0};
}

}  // namespace quorvel::QUORVEL_ARCH
