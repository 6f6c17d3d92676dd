// Several derivatives of one interpolant at once (a gradient, a Hessian): the
// interpolants of the orders wanted share the data and the grid, so a point's
// cell is found once, each weight row of an axis is evaluated once whatever
// number of outputs use it, and each stencil row is loaded once for all.
//
// The contraction is the nested sum of every output, with the partial sums
// that outputs share computed once: along axis a, an output is identified by
// its orders on axes a ... D-1 (a suffix), and outputs with the same suffix
// share the sums over those axes.  Each output gets exactly the operations of
// its own interpolant's evaluation, so the same bits.
//
// Included only by the per-instruction-set translation units.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "evaluators.hpp"

namespace quorvel {
namespace {

// The shared structure of the outputs.
class DerivativePlan {
public:
    // One entry of a level: the weight row it uses on that axis, and the entry
    // of the next level (the sum over the inner axes) it weighs.
    struct Entry {
        std::size_t row;
        std::size_t inner;
    };

    explicit DerivativePlan(std::span<const InterpolantND* const> outputs)
        : rows_(outputs[0]->grid.size()), levels_(outputs[0]->grid.size()), top_(outputs.size()) {
        const std::size_t dims = rows_.size();
        // Row index of output o on axis a: outputs that use the same rows
        // share it.
        std::vector<std::vector<std::size_t>> row_of(outputs.size(), std::vector<std::size_t>(dims));
        for (std::size_t o = 0; o < outputs.size(); ++o)
            for (std::size_t a = 0; a < dims; ++a) {
                const PaddedRows* rows = &outputs[o]->grid[a].column_rows;
                std::size_t r = 0;
                while (r < rows_[a].size() && !same_rows(*rows_[a][r], *rows)) ++r;
                if (r == rows_[a].size()) rows_[a].push_back(rows);
                row_of[o][a] = r;
            }
        // Entries from the innermost axis out: an output's entry at level a
        // is its row on a with its entry at level a + 1.
        std::vector<std::size_t> entry(outputs.size(), 0);
        for (std::size_t a = dims; a-- > 0;) {
            for (std::size_t o = 0; o < outputs.size(); ++o) {
                const Entry wanted{row_of[o][a], a + 1 < dims ? entry[o] : 0};
                std::size_t e = 0;
                while (e < levels_[a].size() &&
                       (levels_[a][e].row != wanted.row || levels_[a][e].inner != wanted.inner))
                    ++e;
                if (e == levels_[a].size()) levels_[a].push_back(wanted);
                entry[o] = e;
            }
        }
        top_ = entry;
        for (std::size_t a = 0; a < dims; ++a) {
            max_rows_ = std::max(max_rows_, rows_[a].size());
            max_entries_ = std::max(max_entries_, levels_[a].size());
        }
    }

    std::size_t dims() const { return rows_.size(); }
    std::span<const PaddedRows* const> rows(std::size_t a) const { return rows_[a]; }
    std::span<const Entry> level(std::size_t a) const { return levels_[a]; }
    std::size_t top(std::size_t o) const { return top_[o]; }  // output o's entry of level 0
    std::size_t max_rows() const { return max_rows_; }
    std::size_t max_entries() const { return max_entries_; }

private:
    static bool same_rows(const PaddedRows& a, const PaddedRows& b) {
        if (a.rows() != b.rows() || a.groups_per_row() != b.groups_per_row()) return false;
        for (std::size_t i = 0; i < a.rows() * a.groups_per_row(); ++i)
            for (std::size_t l = 0; l < 4; ++l)
                if (a.groups()[i].lane[l] != b.groups()[i].lane[l]) return false;
        return true;
    }

    std::vector<std::vector<const PaddedRows*>> rows_;  // distinct weight rows of every axis
    std::vector<std::vector<Entry>> levels_;
    std::vector<std::size_t> top_;
    std::size_t max_rows_ = 0, max_entries_ = 0;
};

// Per-call room for one lane type: the weights of every row of every axis and
// the sums of every level.
template <std::size_t W, class V>
struct PlanScratch {
    explicit PlanScratch(const DerivativePlan& plan)
        : weights(new V[plan.dims() * plan.max_rows() * W]), sums(new V[plan.dims() * plan.max_entries()]),
          last_rows(new const V*[plan.level(plan.dims() - 1).size()]), stride_rows(plan.max_rows()),
          stride_entries(plan.max_entries()) {
        // The weights of the last axis' entries, in entry order, for the hot loop.
        const std::size_t last = plan.dims() - 1;
        for (std::size_t e = 0; e < plan.level(last).size(); ++e) last_rows[e] = row(last, plan.level(last)[e].row);
    }

    V* row(std::size_t a, std::size_t r) { return weights.get() + (a * stride_rows + r) * W; }
    V* level(std::size_t a) { return sums.get() + a * stride_entries; }

    std::unique_ptr<V[]> weights, sums;
    std::unique_ptr<const V*[]> last_rows;
    std::size_t stride_rows, stride_entries;
};

// sums[e] = the W rows weighed by weights[e], for E entries (E known at
// compile time for the common counts, so that the loops unroll).
template <std::size_t E, std::size_t W, class V>
QUORVEL_HOT void weigh_rows(const V (&rows)[W], const V* const* weights, std::size_t count, V* sums) {
    const std::size_t entries = E > 0 ? E : count;
    for (std::size_t e = 0; e < entries; ++e) {
        V acc = splat<V>(0.0);
        for (std::size_t j = 0; j < W; ++j) acc = fused(rows[j], weights[e][j], acc);
        sums[e] = acc;
    }
}

// The sums of the last axis for one row of the stencil: the row is loaded
// once and weighed by every weight row its entries use.
template <std::size_t W, class V, class Index>
QUORVEL_HOT void contract_plan_last(const DerivativePlan& plan, PlanScratch<W, V>& scratch, const double* base,
                                    Index lane, V* sums) {
    const std::size_t a = plan.dims() - 1;
    const std::span<const DerivativePlan::Entry> entries = plan.level(a);
    V rows[W];
    stencil_rows(base, lane, rows);
    const V* const* weights = scratch.last_rows.get();
    switch (entries.size()) {
        case 1: return weigh_rows<1>(rows, weights, 1, sums);
        case 2: return weigh_rows<2>(rows, weights, 2, sums);
        case 3: return weigh_rows<3>(rows, weights, 3, sums);
        default: return weigh_rows<0>(rows, weights, entries.size(), sums);
    }
}

// The sums of every entry of level a for the stencil at `base`; the last
// axis is folded into the level before it, so that its rows, the hot part,
// cost no call each.
template <std::size_t W, class V, class Index>
void contract_plan(const InterpolantND& f, const DerivativePlan& plan, PlanScratch<W, V>& scratch, std::size_t a,
                   const double* base, Index lane) {
    V* sums = scratch.level(a);
    if (a + 1 == plan.dims()) return contract_plan_last(plan, scratch, base, lane, sums);
    const std::span<const DerivativePlan::Entry> entries = plan.level(a);
    for (std::size_t e = 0; e < entries.size(); ++e) sums[e] = splat<V>(0.0);
    V* inner = scratch.level(a + 1);
    for (std::size_t j = 0; j < W; ++j) {
        const double* next = base + j * f.grid[a].stride;
        if (a + 2 == plan.dims()) contract_plan_last(plan, scratch, next, lane, inner);
        else contract_plan(f, plan, scratch, a + 1, next, lane);
        for (std::size_t e = 0; e < entries.size(); ++e)
            sums[e] = fused(inner[entries[e].inner], scratch.row(a, entries[e].row)[j], sums[e]);
    }
}

// Every output at the points of one block: output o of point i at
// out[i * count + o].
template <std::size_t W, class V>
bool derivatives_nd(std::span<const InterpolantND* const> outputs, const DerivativePlan& plan,
                    const AxisGrid* grids, PlanScratch<W, V>& scratch, const ArrayView& points, std::size_t i,
                    double* out) {
    const InterpolantND& f = *outputs[0];
    V position = splat<V>(0.0);
    for (std::size_t a = 0; a < plan.dims(); ++a) {
        Located<V> at{};
        if (!locate(point(points, i, a), points.strides[0], grids[a], at)) return false;
        const V tau = splat<V>(1.0) - at.t();
        for (std::size_t r = 0; r < plan.rows(a).size(); ++r)
            column_weights(*plan.rows(a)[r], tau, *reinterpret_cast<V(*)[W]>(scratch.row(a, r)));
        position = position + at.start(grids[a]) * splat<V>(static_cast<double>(f.grid[a].stride));
    }
    contract_plan(f, plan, scratch, 0, f.coefficients->data(), to_index(position));
    const auto count = static_cast<std::ptrdiff_t>(outputs.size());
    for (std::size_t o = 0; o < outputs.size(); ++o)
        store_lanes(scratch.level(0)[plan.top(o)] * splat<V>(outputs[o]->scale), out + i * outputs.size() + o,
                    count);
    return true;
}

// The gradient with the number of axes D known at compile time: the plan
// laid out in full.  At axis A the sums are the value's (sums[0]) and those
// of the derivatives along A ... D-1 (sums[1 + b - A]); w0 are the weights of
// the interpolant's own orders, w1 those of one order more.
template <std::size_t A, std::size_t D, std::size_t W, class V, class Index>
QUORVEL_HOT void gradient_axes(const InterpolantND& f, const double* base, Index lane, const V (*w0)[W],
                               const V (*w1)[W], V (&sums)[D - A + 1]) {
    if constexpr (A + 1 == D) {
        V rows[W];
        stencil_rows(base, lane, rows);
        V value = splat<V>(0.0), derivative = splat<V>(0.0);
        for (std::size_t j = 0; j < W; ++j) {
            value = fused(rows[j], w0[A][j], value);
            derivative = fused(rows[j], w1[A][j], derivative);
        }
        sums[0] = value;
        sums[1] = derivative;
    } else {
        for (V& sum : sums) sum = splat<V>(0.0);
        for (std::size_t j = 0; j < W; ++j) {
            V inner[D - A];
            gradient_axes<A + 1, D>(f, base + j * f.grid[A].stride, lane, w0, w1, inner);
            sums[0] = fused(inner[0], w0[A][j], sums[0]);
            sums[1] = fused(inner[0], w1[A][j], sums[1]);
            for (std::size_t b = 1; b < D - A; ++b) sums[1 + b] = fused(inner[b], w0[A][j], sums[1 + b]);
        }
    }
}

// Every component of the gradient (output a differentiates once more along
// axis a) at the points of one block.
template <std::size_t D, std::size_t W, class V>
bool gradient_nd(std::span<const InterpolantND* const> outputs, const AxisGrid* grids, const ArrayView& points,
                 std::size_t i, double* out) {
    const InterpolantND& f = *outputs[0];
    V w0[D][W], w1[D][W];
    V position = splat<V>(0.0);
    for (std::size_t a = 0; a < D; ++a) {
        Located<V> at{};
        if (!locate(point(points, i, a), points.strides[0], grids[a], at)) return false;
        const V tau = splat<V>(1.0) - at.t();
        column_weights(outputs[(a + 1) % D]->grid[a].column_rows, tau, w0[a]);
        column_weights(outputs[a]->grid[a].column_rows, tau, w1[a]);
        position = position + at.start(grids[a]) * splat<V>(static_cast<double>(f.grid[a].stride));
    }
    V sums[D + 1];
    gradient_axes<0, D>(f, f.coefficients->data(), to_index(position), w0, w1, sums);
    for (std::size_t a = 0; a < D; ++a)
        store_lanes(sums[1 + a] * splat<V>(outputs[a]->scale), out + i * D + a, static_cast<std::ptrdiff_t>(D));
    return true;
}

template <class V>
OutsideRange derivatives_nd_with(std::span<const InterpolantND* const> outputs, unsigned degree,
                                 const ArrayView& points, RangeMode mode, double* out) {
    const InterpolantND& f = *outputs[0];
    const DerivativePlan plan(outputs);
    std::vector<AxisGrid> grids;
    for (const GridAxis& axis : f.grid) grids.push_back(axis_grid(axis, f.half_width, mode));
    const std::size_t count = points.shape[0];
    const std::size_t stop = *visit_width(f.columns, [&]<std::size_t W>(Width<W>) {
        // The gradient of two or three axes laid out at compile time.
        const auto run = [&](auto evaluate) { return run_blocks<V>(points, count, out, outputs.size(), evaluate); };
        const auto gradient = [&]<std::size_t D>(std::integral_constant<std::size_t, D>) {
            return run([&](const ArrayView& block, std::size_t i, double* to) {
                return gradient_nd<D, W, V>(outputs, grids.data(), block, i, to);
            });
        };
        if (degree == 1 && f.grid.size() == 2) return gradient(std::integral_constant<std::size_t, 2>{});
        if (degree == 1 && f.grid.size() == 3) return gradient(std::integral_constant<std::size_t, 3>{});
        PlanScratch<W, V> scratch(plan);
        return run([&](const ArrayView& block, std::size_t i, double* to) {
            return derivatives_nd<W>(outputs, plan, grids.data(), scratch, block, i, to);
        });
    });
    return outside_at(points, count, stop, grids);
}

}  // namespace
}  // namespace quorvel
