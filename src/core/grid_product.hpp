// Evaluation on a grid product: one vector of coordinates per axis, the
// values at every combination of them, without forming the combinations.
//
// The stencil contraction of a point is a nested sum with the last axis
// innermost.  Contracted axis by axis, last axis first, the partial sums of
// the inner axes depend only on the coordinates along those axes, so each is
// computed once and reused for every coordinate of the outer axes, with
// exactly the operations (and bits) of the point-wise evaluation:
//
//     S_{D-1}[i_0 .. i_{D-2}; k]      = sum_j w_{D-1}[k][j] c[i_0 .. i_{D-2}, s_k + j]
//     S_a[i_0 .. i_{a-1}; k, rest]    = sum_j w_a[k][j] S_{a+1}[i_0 .. i_{a-1}, s_k + j; rest]
//     value[k_0 .. k_{D-1}]           = S_0[k_0 .. k_{D-1}] * scale
//
// Along each outer axis the coordinates are taken in the order of their
// stencils, and the W partial sums S_{a+1} a stencil reads are kept in a ring:
// each is computed once for a sorted axis, and the memory needed is W slices
// of the inner axes' results per axis, beside the output.  So the extended
// coefficients are read one slab of axis 0 at a time, and need not be held:
// each slab may be made from the data just before it is read.
//
// Included only by the per-instruction-set translation units.
#pragma once

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <optional>
#include <span>
#include <vector>

#include "coefficients.hpp"
#include "evaluators.hpp"
#include "parallel.hpp"

namespace quorvel {
namespace {

// One axis of the product: for each of its `count` coordinates the stencil
// start (an extended index) and W weights, and the order of the coordinates
// by stencil start.
struct ProductAxis {
    std::vector<std::size_t> starts;
    std::vector<double> weights;  // [coordinate][W]
    std::vector<std::size_t> by_start;
    std::size_t stride = 0;  // of the extended array along the axis, in elements
    std::size_t count() const { return starts.size(); }
};

// The weights of the coordinates of one axis, each as the point-wise
// evaluation finds them (the coordinates are inside the range, or NaN).
template <std::size_t W>
ProductAxis product_axis(const GridAxis& axis, std::size_t half_width, StridedValues coordinates) {
    ProductAxis out;
    out.stride = axis.stride;
    out.starts.resize(coordinates.size);
    out.weights.resize(coordinates.size * W);
    const AxisGrid grid = axis_grid(axis, half_width, RangeMode::raise);
    for (std::size_t k = 0; k < coordinates.size; ++k) {
        Located<double> at{};
        locate(coordinates.data + static_cast<std::ptrdiff_t>(k) * coordinates.stride, 0, grid, at);
        double w[W];
        column_weights(axis.column_rows, 1.0 - at.t(), w);
        std::copy_n(w, W, out.weights.data() + k * W);
        out.starts[k] = static_cast<std::size_t>(to_index(at.start(grid)));
    }
    out.by_start.resize(coordinates.size);
    std::iota(out.by_start.begin(), out.by_start.end(), std::size_t{0});
    std::stable_sort(out.by_start.begin(), out.by_start.end(),
                     [&](std::size_t a, std::size_t b) { return out.starts[a] < out.starts[b]; });
    return out;
}

// The W most recent partial sums of one axis, slot i % W holding the one of
// extended index i.
class Ring {
public:
    Ring(std::size_t width, std::size_t slice) : slice_(slice), keys_(width), values_(width * slice) {}

    void clear() { std::fill(keys_.begin(), keys_.end(), empty); }
    bool holds(std::size_t i) const { return keys_[i % keys_.size()] == i; }
    double* slot(std::size_t i) {
        keys_[i % keys_.size()] = i;
        return values_.data() + (i % keys_.size()) * slice_;
    }
    const double* at(std::size_t i) const { return values_.data() + (i % keys_.size()) * slice_; }

private:
    static constexpr std::size_t empty = static_cast<std::size_t>(-1);
    std::size_t slice_;
    std::vector<std::size_t> keys_;
    std::vector<double> values_;
};

template <std::size_t W, class V, class Fields>
class GridProduct {
public:
    // The coefficients are f's own, or made slab by slab by `slabs`.
    GridProduct(const InterpolantND& f, const ExtendedSlabs* slabs, const std::vector<ProductAxis>& axes,
                Fields fields)
        : f_(f), slabs_(slabs), axes_(axes), fields_(fields), slices_(axes.size() + 1, fields.count),
          slab_(slabs != nullptr ? slabs->size() : 0) {
        for (std::size_t a = axes.size(); a-- > 0;) slices_[a] = axes[a].count() * slices_[a + 1];
        for (std::size_t a = 0; a + 1 < axes.size(); ++a) rings_.emplace_back(W, slices_[a + 1]);
        lay_out_innermost();
    }

    // Output rows k_0 = axes[0].by_start[first ... last - 1] into out.
    Status run(std::size_t first, std::size_t last, double* out) {
        rings_[0].clear();
        const double* base = slabs_ != nullptr ? nullptr : f_.coefficients->data();
        for (std::size_t r = first; r < last; ++r) combine(0, base, axes_[0].by_start[r], out, f_.scale);
        if (failure_) return std::move(*failure_);
        return Ok{};
    }

private:
    // Row k of S_a (or of the output, a = 0) for the extended slice at `base`,
    // from the W partial sums of axis a + 1 its stencil reads.
    void combine(std::size_t a, const double* base, std::size_t k, double* out, double scale) {
        const ProductAxis& axis = axes_[a];
        Ring& ring = rings_[a];
        const std::size_t s = axis.starts[k];
        for (std::size_t i = s; i < s + W; ++i)
            if (!ring.holds(i)) level(a + 1, slice(a, base, i), ring.slot(i));
        const double* w = axis.weights.data() + k * W;
        const double* inner[W];
        for (std::size_t j = 0; j < W; ++j) inner[j] = ring.at(s + j);
        const std::size_t slice = slices_[a + 1];
        double* row = out + k * slice;
        // Scaling by 1 changes no bits, so only the outermost axis scales.
        const auto weigh = [&]<class U>(Lanes<U>, std::size_t m) {
            U acc = splat<U>(0.0);
            for (std::size_t j = 0; j < W; ++j) acc = fused(load<U>(inner[j] + m, 1), splat<U>(w[j]), acc);
            store(row + m, acc * splat<U>(scale));
        };
        std::size_t m = 0;
        for (; m + lane_count<V> <= slice; m += lane_count<V>) weigh(Lanes<V>{}, m);
        for (; m < slice; ++m) weigh(Lanes<double>{}, m);
    }

    // Extended slice i of axis a under `base`: a slab of axis 0 made now
    // when there are no coefficients held.
    const double* slice(std::size_t a, const double* base, std::size_t i) {
        if (a > 0 || slabs_ == nullptr) return base + i * axes_[a].stride;
        if (Status made = slabs_->write(i, slab_.data()); !made && !failure_) failure_ = std::move(made.error());
        return slab_.data();
    }

    // S_a for the extended slice at `base`, into out.
    void level(std::size_t a, const double* base, double* out) {
        if (a + 1 == axes_.size()) return innermost(base, out);
        rings_[a].clear();
        for (std::size_t k : axes_[a].by_start) combine(a, base, k, out, 1.0);
    }

    // The stencil starts and weights of the last axis, laid out once in blocks
    // of lane_count<V> coordinates, each block's starts and then its W weight
    // rows lane by lane, as the innermost pass loads them for every slice.
    // The coordinates left over fill a block with the last one repeated.
    void lay_out_innermost() {
        constexpr std::size_t L = lane_count<V>;
        const ProductAxis& axis = axes_.back();
        const std::size_t blocks = (axis.count() + L - 1) / L;
        lanes_.resize(blocks * (W + 1) * L);
        for (std::size_t b = 0; b < blocks; ++b) {
            double* block = lanes_.data() + b * (W + 1) * L;
            for (std::size_t l = 0; l < L; ++l) {
                const std::size_t c = std::min(b * L + l, axis.count() - 1);
                block[l] = static_cast<double>(axis.starts[c]);
                for (std::size_t j = 0; j < W; ++j) block[(j + 1) * L + l] = axis.weights[c * W + j];
            }
        }
    }

    // The last axis: a block of lane_count<V> coordinates at a time, each
    // lane with its own stencil and weights, as points are evaluated.  The
    // results of the block left over go through `rest_`.
    void innermost(const double* base, double* out) {
        constexpr std::size_t L = lane_count<V>;
        const std::size_t count = axes_.back().count();
        const auto block = [&](std::size_t k, double* to) {
            const double* laid_out = lanes_.data() + k / L * (W + 1) * L;
            V w[W];
            for (std::size_t j = 0; j < W; ++j) w[j] = load<V>(laid_out + (j + 1) * L, 1);
            const V start = elements(load<V>(laid_out, 1), fields_);
            if constexpr (std::is_same_v<Fields, FieldGroup>) {
                PointStencils<1, W, V> stencils;
                stencils.set_weights(0, 0, w);
                stencils.set_start(0, start);
                return contract_by_point(base, stencils, no_outer_axes, fields_, 1.0, to);
            }
            const auto lane = to_index(start);
            for_each_group(fields_, [&](auto fields) {
                V sums[decltype(fields)::max_size];
                contract_last(base + fields.first, lane, w, fields, sums);
                store_fields(to, 0, fields, sums, 1.0);
            });
        };
        std::size_t k = 0;
        for (; k + L <= count; k += L) block(k, out + k * fields_.count);
        if (k == count) return;
        block(k, rest_.data());
        std::copy_n(rest_.data(), (count - k) * fields_.count, out + k * fields_.count);
    }

    const InterpolantND& f_;
    const ExtendedSlabs* slabs_;
    const std::vector<ProductAxis>& axes_;
    Fields fields_;
    std::vector<std::size_t> slices_;  // values of S_a for one slice: prod K_b (b >= a) * fields
    std::vector<Ring> rings_;
    std::vector<double> lanes_;  // the last axis laid out by lay_out_innermost
    std::vector<double> rest_ = std::vector<double>(lane_count<V> * fields_.count);
    Buffer slab_;  // the slab of axis 0 last made
    std::optional<Error> failure_;  // the first slab that could not be made
};

// The product of `coordinates` (one vector per axis, inside the range or
// NaN) for an interpolant of values or derivatives with at least two axes,
// on up to `threads` threads (the outermost axis shared out); its
// coefficients are f's own, or made slab by slab by `slabs`.
template <class V>
Status grid_product_with(const InterpolantND& f, const ExtendedSlabs* slabs,
                         std::span<const StridedValues> coordinates, std::size_t threads, double* out) {
    Status status = Ok{};
    visit_width(f.columns, [&]<std::size_t W>(Width<W>) {
        std::vector<ProductAxis> axes;
        for (std::size_t a = 0; a < f.grid.size(); ++a)
            axes.push_back(product_axis<W>(f.grid[a], f.half_width, coordinates[a]));
        const bool empty = std::any_of(axes.begin(), axes.end(), [](const ProductAxis& a) { return a.count() == 0; });
        if (empty) return false;
        return with_fields(f.channels, [&](auto fields) {
            const std::size_t chunks = std::clamp<std::size_t>(threads, 1, axes[0].count());
            std::vector<Status> made(chunks, Ok{});
            run_chunks(axes[0].count(), chunks, [&](std::size_t c, std::size_t first, std::size_t last) {
                made[c] = GridProduct<W, V, decltype(fields)>(f, slabs, axes, fields).run(first, last, out);
            });
            for (Status& chunk : made)
                if (!chunk) {
                    status = std::move(chunk);
                    break;
                }
            return true;
        });
    });
    return status;
}

}  // namespace
}  // namespace quorvel
