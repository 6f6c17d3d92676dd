// Column tables held for evaluation: each row (one power of tau, highest
// first) widened to V = ceil(W/4) aligned groups of four lanes, zero beyond
// column W, so that every Horner step works on whole four-lane groups.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "lanes.hpp"

namespace quorvel {

struct alignas(32) LaneGroup {
    double lane[4];
};

class PaddedRows {
public:
    PaddedRows() = default;
    PaddedRows(std::span<const double> coefs, std::size_t ncols)
        : rows_(coefs.size() / ncols), groups_per_row_((ncols + 3) / 4), ncols_(ncols) {
        groups_.resize(rows_ * groups_per_row_);
        for (std::size_t r = 0; r < rows_; ++r)
            for (std::size_t v = 0; v < groups_per_row_; ++v)
                for (std::size_t l = 0; l < 4; ++l) {
                    const std::size_t c = 4 * v + l;
                    groups_[r * groups_per_row_ + v].lane[l] = c < ncols ? coefs[r * ncols + c] : 0.0;
                }
    }

    std::size_t rows() const { return rows_; }
    std::size_t groups_per_row() const { return groups_per_row_; }
    std::size_t columns() const { return ncols_; }
    bool empty() const { return groups_.empty(); }
    const LaneGroup* groups() const { return groups_.data(); }

private:
    std::vector<LaneGroup> groups_;
    std::size_t rows_ = 0;
    std::size_t groups_per_row_ = 0;
    std::size_t ncols_ = 0;
};

// The padded rows of a column table of `ncols` columns.
inline PaddedRows pad_values(std::span<const double> coefs, std::size_t ncols) { return {coefs, ncols}; }

namespace {

// All W column weights at tau by Horner's rule over the padded rows, highest
// power first, one fused multiply-add per lane and row: w_j = fma(tau, w_j,
// row_j).  The padding lanes never influence the W real ones, so only those
// are computed.  With no rows every weight is 0.
template <std::size_t W, class T>
QUORVEL_HOT void column_weights(const PaddedRows& rows, T tau, T (&w)[W]) {
    constexpr std::size_t V = (W + 3) / 4;
    for (std::size_t j = 0; j < W; ++j) w[j] = splat<T>(0.0);
    const LaneGroup* group = rows.groups();
    const auto step = [&] {
        for (std::size_t j = 0; j < W; ++j) w[j] = fused(tau, w[j], splat<T>(group[j / 4].lane[j % 4]));
        group += V;
    };
    if (rows.rows() == W) {  // the values of a kernel of degree W - 1: the loop laid out in full
        for (std::size_t r = 0; r < W; ++r) step();
    } else {
        for (std::size_t r = 0; r < rows.rows(); ++r) step();
    }
}

}  // namespace
}  // namespace quorvel
