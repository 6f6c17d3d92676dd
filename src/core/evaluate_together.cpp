// The evaluations that share work across outputs: grid products and sets of
// derivatives, once per instruction set (arch_variant.hpp).
#include "arch_variant.hpp"
#include "derivative_set.hpp"
#include "grid_product.hpp"

namespace quorvel::QUORVEL_ARCH {

Status grid_product(const InterpolantND& f, const ExtendedSlabs* slabs, std::span<const StridedValues> coordinates,
                    std::size_t threads, double* out) {
    return grid_product_with<V>(f, slabs, coordinates, threads, out);
}

OutsideRange evaluate_derivatives(std::span<const InterpolantND* const> outputs, unsigned degree,
                                  const ArrayView& points, RangeMode mode, double* out) {
    return derivatives_nd_with<V>(outputs, degree, points, mode, out);
}

}  // namespace quorvel::QUORVEL_ARCH
