// The kernel catalogue: the eleven named kernels, their column tables for
// every derivative and integral order, their polynomial ghost matrices and
// the anchoring tables of their antiderivatives.
//
// A kernel of W columns weights the W knots around a point's cell.  Column c
// of a table is a polynomial in tau = 1 - t (t the point's offset from the
// left knot of its cell), stored highest power first, one row per power:
// coefficients[r * ncols + c] multiplies tau^(rows - 1 - r).  Order 0 gives
// the weights, d > 0 their d-th tau-derivative, -k their k-th antiderivative.
// "a0" (nearest knot) has no tables; its callers treat it by closed forms.
//
// The numbers live in kernel_tables.cpp, written by tools/generate_tables.py
// from the order-0 tables in exact rational arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "array.hpp"
#include "result.hpp"

namespace quorvel {

struct ColumnTable {
    const double* coefficients;
    std::size_t count;
    std::size_t ncols;

    std::size_t rows() const { return count / ncols; }
};

// Integer extrapolation weights: row r - 1 makes the ghost at distance r
// beyond an end from the `cols` values nearest that end, counted inward.
struct GhostMatrix {
    const double* values;
    std::size_t rows;
    std::size_t cols;

    double at(std::size_t row, std::size_t col) const { return values[row * cols + col]; }
};

// Anchors the k-th antiderivative at the first knot for the 2*hw - 1
// coefficients whose kernel reaches left of it (row-major, `order` per row):
// start_values[i][m] is the m-th derivative at the first knot of coefficient
// i's centred antiderivative, tail_polynomials[i][j] the t^j coefficient of
// its anchored antiderivative right of its support.
struct AnchoringTable {
    const double* start_values;
    const double* tail_polynomials;
    std::size_t rows;
    std::size_t order;
};

// One catalogue entry, as generated.
struct KernelEntry {
    std::string_view name;
    std::uint32_t max_derivative;
    std::uint32_t max_integral;
    std::span<const ColumnTable> tables;        // orders -max_integral ... max_derivative
    const GhostMatrix* poly_ghost;              // none for "a0" and "a1"
    std::span<const AnchoringTable> anchoring;  // integral orders 1 ... max_integral
};

extern const std::span<const KernelEntry> KERNEL_CATALOGUE;
extern const GhostMatrix LINEAR_GHOST_MATRIX;
extern const GhostMatrix QUADRATIC_GHOST_MATRIX;

std::optional<ColumnTable> column_table(std::string_view kernel, std::int32_t order);
// The catalogue's own copy of the name, which lives as long as the program.
std::optional<std::string_view> catalogue_name(std::string_view kernel);
std::optional<std::uint32_t> max_derivative(std::string_view kernel);
std::optional<std::uint32_t> max_integral(std::string_view kernel);
const GhostMatrix* poly_ghost_matrix(std::string_view kernel);
const AnchoringTable* anchoring_table(std::string_view kernel, std::uint32_t order);

// The weights of all W columns of (kernel, order) at tau, by Horner's rule
// with one fused multiply-add per step.
Result<std::vector<double>> kernel_weights(std::string_view kernel, std::int32_t order, double tau);

// sum c_k x^k for every x, Horner's rule without fusing (coefs lowest power first).
Result<NdBuffer> evaluate_polynomial(const ArrayView& coefs, const ArrayView& x);

inline bool is_nearest(std::string_view kernel) { return kernel == "a0"; }

}  // namespace quorvel
