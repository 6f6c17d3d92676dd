// Column tables held for evaluation: each row (one power of tau, highest
// first) widened to V = ceil(W/4) aligned groups of four lanes, zero beyond
// column W, so that every Horner step works on whole four-lane groups.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

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

}  // namespace quorvel
