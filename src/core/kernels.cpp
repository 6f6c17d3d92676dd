#include "kernels.hpp"

#include <cmath>

#include "text.hpp"

namespace quorvel {
namespace {

const KernelEntry* find(std::string_view kernel) {
    for (const KernelEntry& entry : KERNEL_CATALOGUE)
        if (entry.name == kernel) return &entry;
    return nullptr;
}

}  // namespace

std::optional<ColumnTable> column_table(std::string_view kernel, std::int32_t order) {
    const KernelEntry* entry = find(kernel);
    if (entry == nullptr) return std::nullopt;
    // Offset the order to an index; the unsigned wrap keeps any order far
    // outside the range (either sign) out of it.
    const std::uint32_t index = static_cast<std::uint32_t>(order) + entry->max_integral;
    if (index >= entry->tables.size()) return std::nullopt;
    return entry->tables[index];
}

std::optional<std::string_view> catalogue_name(std::string_view kernel) {
    const KernelEntry* entry = find(kernel);
    if (entry == nullptr) return std::nullopt;
    return entry->name;
}

std::optional<std::uint32_t> max_derivative(std::string_view kernel) {
    const KernelEntry* entry = find(kernel);
    if (entry == nullptr) return std::nullopt;
    return entry->max_derivative;
}

std::optional<std::uint32_t> max_integral(std::string_view kernel) {
    const KernelEntry* entry = find(kernel);
    if (entry == nullptr) return std::nullopt;
    return entry->max_integral;
}

const GhostMatrix* poly_ghost_matrix(std::string_view kernel) {
    const KernelEntry* entry = find(kernel);
    return entry == nullptr ? nullptr : entry->poly_ghost;
}

const AnchoringTable* anchoring_table(std::string_view kernel, std::uint32_t order) {
    const KernelEntry* entry = find(kernel);
    if (entry == nullptr || order == 0 || order > entry->anchoring.size()) return nullptr;
    return &entry->anchoring[order - 1];
}

Result<std::vector<double>> kernel_weights(std::string_view kernel, std::int32_t order, double tau) {
    const auto table = column_table(kernel, order);
    if (!table) return value_error(text::format("no kernel table for :{} with order {}", kernel, order));
    std::vector<double> weights(table->ncols, 0.0);
    for (std::size_t r = 0; r < table->rows(); ++r)
        for (std::size_t c = 0; c < table->ncols; ++c)
            weights[c] = std::fma(tau, weights[c], table->coefficients[r * table->ncols + c]);
    return weights;
}

Result<NdBuffer> evaluate_polynomial(const ArrayView& coefs, const ArrayView& x) {
    if (auto ok = require_contiguous(coefs); !ok) return ok.error();
    const std::size_t n = coefs.size();
    const StridedValues points{x.data, x.shape[0], x.strides[0]};
    Buffer out(points.size);
    for (std::size_t i = 0; i < points.size; ++i) {
        const double xi = points[i];
        double s = 0.0;
        for (std::size_t k = n; k-- > 0;) s = s * xi + coefs.data[k];
        out[i] = s;
    }
    return NdBuffer{std::move(out), {points.size}};
}

}  // namespace quorvel
