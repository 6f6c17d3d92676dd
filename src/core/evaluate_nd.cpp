// N-dimensional evaluation, once per instruction set (arch_variant.hpp).
#include "arch_variant.hpp"
#include "evaluators.hpp"

namespace quorvel::QUORVEL_ARCH {

OutsideRange evaluate_nd(const InterpolantND& f, const ArrayView& points, RangeMode mode, double* out) {
    return evaluate_nd_with<V>(f, points, mode, out);
}

}  // namespace quorvel::QUORVEL_ARCH
