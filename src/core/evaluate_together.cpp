// The evaluations that share work across outputs: grid products and sets of
// derivatives, once per instruction set (arch_variant.hpp).
#include <algorithm>

#include "arch_variant.hpp"
#include "derivative_set.hpp"
#include "grid_product.hpp"

namespace quorvel::QUORVEL_ARCH {

// Grid products run at most four lanes wide: their last axis transposes the
// stencil columns of every lane, which across eight lanes cost more than the
// wider arithmetic saved (a 2048^2 to 4095^2 zoom with "b5": 2.33 ns a value
// in four lanes, 2.69 in eight, on an AMD Zen 4; the same bits either way).
using ProductLanes = LaneType<std::min(QUORVEL_ARCH_LANES, 4)>::type;

Status grid_product(const InterpolantND& f, const ExtendedSlabs* slabs, std::span<const StridedValues> coordinates,
                    std::size_t threads, double* out) {
    return grid_product_with<ProductLanes>(f, slabs, coordinates, threads, out);
}

OutsideRange evaluate_derivatives(std::span<const InterpolantND* const> outputs, unsigned degree,
                                  const ArrayView& points, RangeMode mode, double* out) {
    return derivatives_nd_with<V>(outputs, degree, points, mode, out);
}

}  // namespace quorvel::QUORVEL_ARCH
