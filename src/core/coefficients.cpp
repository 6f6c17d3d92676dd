// Placeholder: the boundary extension is being written.
#include "coefficients.hpp"

namespace quorvel {

Result<NdBuffer> extended_coefficients(const ArrayView&, std::string_view, std::string_view, std::string_view) {
    return panic("not yet available");
}
Result<NdBuffer> extended_coefficients_nd(const ArrayView&, std::string_view, std::span<const BoundaryNames>) {
    return panic("not yet available");
}

}  // namespace quorvel
