// The evaluators of both interpolants, written once over the lane type V
// (lanes.hpp): a block of lane_count<V> points runs the same operations as one
// point, lane by lane, so every variant gives the same bits.  A block with a
// point outside the range is redone one point at a time, which finds the
// first such point.
//
// Data of several fields (trailing value axes) hold the values of all fields
// side by side at each grid position.  A point's cell and weights are found
// once; the stencil is then contracted for a group of fields at a time, each
// field with exactly the operations it would get alone: for values and
// derivatives point by point, the group's fields in the lanes of one vector
// (contract_by_point); for antiderivatives, and beyond three axes, a block of
// points at a time, one field per vector, as for a single field.
//
// Included only by the per-instruction-set translation units.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <type_traits>
#include <vector>

#include "dispatch.hpp"
#include "integral.hpp"
#include "interpolant.hpp"
#include "interpolant_nd.hpp"
#include "lanes.hpp"
#include "padded_rows.hpp"
#include "width_family.hpp"

namespace quorvel {
namespace {

template <class V>
using Lanes = std::type_identity<V>;

// The fields a stencil pass computes: `size` consecutive ones from `first`,
// of the `count` each grid position holds.  OneField is the common case with
// everything known at compile time.
struct OneField {
    static constexpr std::size_t count = 1, first = 0, size = 1, max_size = 1;
};
struct FieldGroup {
    static constexpr std::size_t max_size = 4;
    std::size_t count, first, size;
};

// visit(group) for every group of the fields, in order.
template <class Visit>
QUORVEL_HOT void for_each_group(OneField fields, Visit&& visit) {
    visit(fields);
}
template <class Visit>
void for_each_group(FieldGroup all, Visit&& visit) {
    for (std::size_t first = 0; first < all.count; first += FieldGroup::max_size)
        visit(FieldGroup{all.count, first, std::min(FieldGroup::max_size, all.count - first)});
}

// The element index of grid position `position` (a double holding an integer).
template <class V>
QUORVEL_HOT V elements(V position, OneField) {
    return position;
}
template <class V>
QUORVEL_HOT V elements(V position, FieldGroup fields) {
    return position * splat<V>(static_cast<double>(fields.count));
}

// Field first + g of point i + l is out[(i + l) * count + first + g]: the
// results of a group scaled and stored.
template <class V>
QUORVEL_HOT void store_fields(double* out, std::size_t i, OneField, const V* sums, double scale) {
    store(out + i, sums[0] * splat<V>(scale));
}
template <class V>
QUORVEL_HOT void store_fields(double* out, std::size_t i, FieldGroup fields, const V* sums, double scale) {
    const auto count = static_cast<std::ptrdiff_t>(fields.count);
    double* first = out + static_cast<std::ptrdiff_t>(i) * count + static_cast<std::ptrdiff_t>(fields.first);
    for (std::size_t g = 0; g < fields.size; ++g) store_lanes(sums[g] * splat<V>(scale), first + g, count);
}

// rows[j * size + g] = field first + g of stencil column j, each lane from its
// own element index; `base` points to the group's first field.
template <std::size_t W, class V, class Index>
QUORVEL_HOT void field_rows(const double* base, Index lane, OneField, V (&rows)[W]) {
    stencil_rows(base, lane, rows);
}
template <std::size_t W, class V, class Index>
QUORVEL_HOT void field_rows(const double* base, Index lane, FieldGroup fields, V (&rows)[W * FieldGroup::max_size]) {
    if (fields.size == fields.count) {  // all fields: one contiguous run
        load_columns(base, lane, W * fields.count, rows);
        return;
    }
    for (std::size_t j = 0; j < W; ++j)
        load_columns(base + j * fields.count, lane, fields.size, rows + j * fields.size);
}

// Point i of a one-dimensional call; coordinate `a` of point i of an
// N-dimensional one.
inline const double* point(StridedValues points, std::size_t i) {
    return points.data + static_cast<std::ptrdiff_t>(i) * points.stride;
}
inline const double* point(const ArrayView& points, std::size_t i, std::size_t a) {
    return points.data + static_cast<std::ptrdiff_t>(i) * points.strides[0] +
           static_cast<std::ptrdiff_t>(a) * points.strides[1];
}

// Points [i, i + n) of a call copied into one block of `lanes` points, the
// last repeated into the lanes left over, with room for the block's results
// (`width` values per point).  Lanes compute independently, so every point
// gets exactly the bits it gets in a full block.  The copy's view counts the
// n points only: an evaluator may leave the vectors beyond them alone.
class PaddedBlock {
  public:
    PaddedBlock(std::size_t lanes, std::size_t width) : lanes_(lanes), out_(lanes * width) {}

    StridedValues copy(StridedValues points, std::size_t i, std::size_t n) {
        coordinates_.resize(lanes_);
        for (std::size_t l = 0; l < lanes_; ++l) coordinates_[l] = *point(points, i + std::min(l, n - 1));
        return {coordinates_.data(), n, 1};
    }
    ArrayView copy(const ArrayView& points, std::size_t i, std::size_t n) {
        const std::size_t dims = points.shape[1];
        coordinates_.resize(lanes_ * dims);
        for (std::size_t l = 0; l < lanes_; ++l)
            for (std::size_t a = 0; a < dims; ++a)
                coordinates_[l * dims + a] = *point(points, i + std::min(l, n - 1), a);
        shape_[0] = n;
        shape_[1] = dims;
        strides_[0] = static_cast<std::ptrdiff_t>(dims);
        return {coordinates_.data(), shape_, strides_, true};
    }
    double* out() { return out_.data(); }

  private:
    std::size_t lanes_;
    std::vector<double> coordinates_, out_;
    std::size_t shape_[2] = {};
    std::ptrdiff_t strides_[2] = {0, 1};
};

// The vectors of points that the evaluators working in passes take at a
// time: all of them located and weighed before any stencil is read.
constexpr std::size_t SPAN = 8;

// The vectors of a pass of Span from point i that hold points of a call of
// `count`: all Span but in the padded copy of its last points, so that a
// call of one point need compute one vector.
template <class V, std::size_t Span>
std::size_t vectors_held(std::size_t count, std::size_t i) {
    return std::min(Span, (count - i + lane_count<V> - 1) / lane_count<V>);
}

// Runs block(points, i, out) over the points in blocks of Span vectors of
// lane_count<V> points, point i's `width` results at out + i * width.  A
// block gives false when one of its points lies outside the range.  The
// points left over, and those of a failed block one at a time, run through
// the same block on a padded copy, so that no one-lane copy of an evaluator
// is built.  Gives the index of the first point outside the range, or
// `count`.
template <class V, std::size_t Span = 1, class Points, class Block>
std::size_t run_blocks(const Points& points, std::size_t count, double* out, std::size_t width, Block&& block) {
    constexpr std::size_t L = lane_count<V> * Span;
    std::size_t i = 0;
    for (; i + L <= count; i += L)
        if (!block(points, i, out)) break;
    if (i == count) return count;
    if constexpr (L == 1) {
        return i;
    } else {
        PaddedBlock padded(L, width);
        const auto first_outside = [&](std::size_t stop) {
            for (; i < stop; ++i)
                if (!block(padded.copy(points, i, 1), 0, padded.out())) return i;
            return count;  // not reached: a block failed
        };
        if (i + L <= count) return first_outside(i + L);
        const std::size_t n = count - i;
        if (!block(padded.copy(points, i, n), 0, padded.out())) return first_outside(count);
        std::copy_n(padded.out(), n * width, out + i * width);
        return count;
    }
}

// Calls `evaluate` through a call the compiler keeps: a rare case handed to
// it costs the common path nothing, not even registers.
template <class Evaluate>
QUORVEL_NOINLINE bool out_of_line(Evaluate&& evaluate) {
    return evaluate();
}

// Where points fall along one axis of the extended grid.
struct AxisGrid {
    double first_knot, last_knot;  // the range: up to first_knot + period on a periodic axis
    double origin, spacing;
    double lo, hi;     // the cells of the first and the last knot interval
    double ghosts;     // half width - 1: stencil start = cell - ghosts
    RangeMode mode;    // what a coordinate outside the range gives
    double period;     // on a periodic axis (else 0), where coordinates outside are wrapped into the range
};

// Lanes outside [first, first + period] moved by whole periods into it.
template <class V>
[[gnu::noinline]] V wrap_lanes(V x, double first, double period) {
    alignas(64) double lanes[lane_count<V>];
    store(lanes, x);
    for (double& v : lanes)
        if (any_outside(v, first, first + period)) v = wrap_periodic(v, first, period);
    return load<V>(lanes, 1);
}

// A coordinate in grid units (from extended index 0) and its cell, clamped
// to the knot intervals.
template <class V>
struct Located {
    V u;
    V cell;

    V t() const { return u - cell; }  // fractional offset in the cell
    V start(const AxisGrid& g) const { return cell - splat<V>(g.ghosts); }
};

// Reads coordinates p[0], p[stride], ... (one per lane) and locates them;
// false when one lies outside the axis' data range (a NaN does not) and the
// range mode is `raise`.  Otherwise such a coordinate is clipped to the range
// or made NaN, which carries through every evaluator to a NaN result; on a
// periodic axis it is wrapped into the period.
template <class V>
QUORVEL_HOT bool locate(const double* p, std::ptrdiff_t stride, const AxisGrid& g, Located<V>& at) {
    V x = load<V>(p, stride);
    if (any_outside(x, g.first_knot, g.last_knot)) [[unlikely]] {
        if (g.period > 0.0) x = wrap_lanes(x, g.first_knot, g.period);
        else if (g.mode == RangeMode::raise) return false;
        else x = g.mode == RangeMode::clip ? clamp_to(x, g.first_knot, g.last_knot)
                                           : nan_outside(x, g.first_knot, g.last_knot);
    }
    at.u = (x - splat<V>(g.origin)) / splat<V>(g.spacing);
    at.cell = cell_index(at.u, g.lo, g.hi);
    return true;
}

// ---------------------------------------------------------------------------
// One dimension.

inline AxisGrid axis_grid(const Interpolant1D& f, RangeMode mode) {
    const double ghosts = static_cast<double>(f.half_width - 1);
    return {f.first_knot, f.period > 0.0 ? f.first_knot + f.period : f.last_knot, f.origin, f.spacing, ghosts,
            static_cast<double>(f.coefficients->size() / f.channels - f.half_width - 1), ghosts, mode, f.period};
}

// The W stencil columns rows[0], rows[step], ... weighed and summed in
// ascending order with fused multiply-adds from 0.0.
template <std::size_t W, class V>
QUORVEL_HOT V weigh_columns(const V* rows, const V (&w)[W], std::size_t step = 1) {
    V sum = splat<V>(0.0);
    for (std::size_t j = 0; j < W; ++j) sum = fused(rows[j * step], w[j], sum);
    return sum;
}

// The last axis of a contraction: the sum over the W stencil columns, for
// each field of the group, ascending, with fused multiply-adds from 0.0;
// `base` points to the group's first field.
template <std::size_t W, class V, class Index, class Fields>
QUORVEL_HOT void contract_last(const double* base, Index lane, const V (&w)[W], Fields fields, V* sums) {
    V rows[W * Fields::max_size];
    field_rows<W>(base, lane, fields, rows);
    for (std::size_t g = 0; g < fields.size; ++g) sums[g] = weigh_columns(rows + g, w, fields.size);
}

// Several fields, point by point: the fields of a group side by side in one
// vector (FieldLanes) and the point's weights broadcast, so that one load
// serves the group and nothing is transposed.  Each field lane gets exactly
// the operations its field gets alone: axis A outermost, each axis summed in
// ascending order with fused multiply-adds from 0.0.  w[(a * W + j) * L] is
// the point's weight j along axis a; stride(a) the step along axis a in
// elements.
template <std::size_t A, std::size_t D, std::size_t W, std::size_t L, class FV, class Stride>
QUORVEL_HOT FV contract_fields(const double* base, const double* w, const Stride& stride) {
    FV sum = splat<FV>(0.0);
    for (std::size_t j = 0; j < W; ++j) {
        const double* next = base + j * stride(A);
        FV inner;
        if constexpr (A + 1 == D) inner = load_field_lanes<FV>(next);
        else inner = contract_fields<A + 1, D, W, L, FV>(next, w, stride);
        sum = fused(inner, splat<FV>(w[(A * W + j) * L]), sum);
    }
    return sum;
}

// The stencils of Span blocks of points on D axes, laid out to be read one
// point at a time: weights[s][(a * W + j) * L + l] is the weight j along
// axis a of point l of block s, starts[s][l] the point's first stencil
// element.
template <std::size_t D, std::size_t W, class V, std::size_t Span = 1>
struct PointStencils {
    static constexpr std::size_t L = lane_count<V>;
    alignas(64) double weights[Span][D * W * L];
    alignas(64) double starts[Span][L];

    void set_weights(std::size_t s, std::size_t a, const V (&w)[W]) {
        for (std::size_t j = 0; j < W; ++j) store(weights[s] + (a * W + j) * L, w[j]);
    }
    void set_start(std::size_t s, V position) { store(starts[s], position); }
};

// Every point of the first `blocks` blocks and every field by
// contract_fields, scaled and stored at `out`, one point after another; the
// step along the last axis is the count of fields, stride(a) the step along
// each axis a before it.
template <std::size_t D, std::size_t W, class V, std::size_t Span, class Stride, class Count>
QUORVEL_HOT void contract_points(const double* coefficients, const PointStencils<D, W, V, Span>& stencils,
                                 const Stride& stride, Count count, double scale, double* out, std::size_t blocks) {
    using FV = typename FieldLanes<V>::type;
    constexpr std::size_t L = lane_count<V>, size = lane_count<FV>;
    const auto step = [&](std::size_t a) -> std::size_t { return a + 1 == D ? count : stride(a); };
    for (std::size_t s = 0; s < blocks; ++s)
        for (std::size_t l = 0; l < L; ++l, out += count) {
            const double* at = coefficients + static_cast<std::ptrdiff_t>(stencils.starts[s][l]);
            for (std::size_t first = 0; first < count; first += size) {
                const FV sums = contract_fields<0, D, W, L, FV>(at + first, stencils.weights[s] + l, step);
                store_field_lanes(out + first, sums * splat<FV>(scale), std::min<std::size_t>(size, count - first));
            }
        }
}

// The stride of a contraction over one axis, which has no axis before the
// last to step along.
constexpr auto no_outer_axes = [](std::size_t) -> std::size_t { return 0; };

// The same for any count of fields; two to four (a vector field in two or
// three dimensions, an RGB or RGBA image) with the count known at compile
// time, which makes the stencil's offsets constants and the loop over groups
// and the stores of the results free of branches (AMD Zen 4, one thread,
// 2-D "a3", ns a point, in cache and at 512^2: two fields 9.2 to 8.6 and 15.5
// to 14.8, three 10.4 to 9.6 and 17.0 to 16.2, four 9.7 to 8.9 and 16.5 to
// 15.9).
template <std::size_t D, std::size_t W, class V, std::size_t Span, class Stride>
QUORVEL_HOT void contract_by_point(const double* coefficients, const PointStencils<D, W, V, Span>& stencils,
                                   const Stride& stride, FieldGroup all, double scale, double* out,
                                   std::size_t blocks = Span) {
    const auto with = [&](auto count) { contract_points(coefficients, stencils, stride, count, scale, out, blocks); };
    switch (all.count) {
        case 2: return with(std::integral_constant<std::size_t, 2>{});
        case 3: return with(std::integral_constant<std::size_t, 3>{});
        case 4: return with(std::integral_constant<std::size_t, 4>{});
        default: return with(all.count);
    }
}

// The column evaluator: values and derivatives, for Span vectors of points
// at a time, in passes: every point located, then the stencils of one field
// loaded, then weighed and summed.  The long chain of dependent operations
// from a coordinate to its value (a division, the loads, two chains of fused
// multiply-adds) filled the core's reorder window when each vector ran it
// whole; in short passes over independent vectors the core overlaps them
// (one field: 25% less time per point).  The 1-D evaluators are inlined into
// the loop over blocks: a block of one axis is short, and a call per block
// cost up to a third of it (of "a0"; a few percent of "a3").
template <std::size_t W, class V, std::size_t Span, class Fields>
QUORVEL_HOT bool evaluate_columns(const Interpolant1D& f, const AxisGrid& g, StridedValues points, std::size_t i,
                                  Fields all, double* out) {
    constexpr std::size_t L = lane_count<V>;
    constexpr bool one_field = std::is_same_v<Fields, OneField>;
    const double* coefficients = f.coefficients->data();
    Located<V> located[Span];
    for (std::size_t s = 0; s < Span; ++s)
        if (!locate(point(points, i + s * L), points.stride, g, located[s])) return false;
    const auto weigh = [&](std::size_t s, V (&w)[W]) {
        column_weights(f.column_rows, (located[s].cell - located[s].u) + splat<V>(1.0), w);
    };
    if constexpr (one_field) {
        V rows[Span][W];
        for (std::size_t s = 0; s < Span; ++s) stencil_rows(coefficients, to_index(located[s].start(g)), rows[s]);
        for (std::size_t s = 0; s < Span; ++s) {
            V w[W];
            weigh(s, w);
            const V sum = weigh_columns(rows[s], w);
            store_fields(out, i + s * L, all, &sum, f.scale);
        }
    } else {
        PointStencils<1, W, V, Span> stencils;
        for (std::size_t s = 0; s < Span; ++s) {
            V w[W];
            weigh(s, w);
            stencils.set_weights(s, 0, w);
            stencils.set_start(s, elements(located[s].start(g), all));
        }
        contract_by_point(coefficients, stencils, no_outer_axes, all, f.scale, out + i * all.count);
    }
    return true;
}

// "a0": the value of the nearer knot (the upper one from half-way on); NaN
// at NaN.  No scale: the order is 0.
template <class V, class Fields>
QUORVEL_HOT bool nearest_1d(const Interpolant1D& f, const AxisGrid& g, StridedValues points, std::size_t i,
                            Fields all, double* out) {
    Located<V> at{};
    if (!locate(point(points, i), points.stride, g, at)) return false;
    const auto cell = to_index(elements(at.cell, all));
    const double* coefficients = f.coefficients->data();
    const auto next = static_cast<std::ptrdiff_t>(all.count);
    for (std::size_t c = 0; c < all.count; ++c) {
        const V value = pick_by_half(at.t(), gather(coefficients + c, cell), gather(coefficients + next + c, cell));
        store_fields(out, i, FieldGroup{all.count, c, 1}, &value, 1.0);
    }
    return true;
}

// Antiderivatives, Span vectors of points located first as in
// evaluate_columns.  Mending: whether the stencils may reach left of the
// first knot.  Vectors where one does are handed to the mending copy, so that
// the common one stays lean.
template <std::size_t W, class V, std::size_t Span, class Fields, bool Mending = false>
QUORVEL_HOT bool integral_1d(const Interpolant1D& f, const AxisGrid& g, StridedValues points, std::size_t i,
                             Fields all, double* out) {
    constexpr std::size_t L = lane_count<V>;
    const IntegralAxis& axis = *f.integral;
    Located<V> located[Span];
    for (std::size_t v = 0; v < Span; ++v)
        if (!locate(point(points, i + v * L), points.stride, g, located[v])) return false;
    for (std::size_t v = 0; v < Span; ++v) {
        const std::size_t first = i + v * L;
        const V t = located[v].t();
        const V s = located[v].start(g);
        if (!Mending && !right_of_first_knot(axis, s)) [[unlikely]] {
            out_of_line([&] { return integral_1d<W, V, 1, Fields, true>(f, g, points, first, all, out); });
            continue;
        }
        V w[W];
        if constexpr (Mending) weights(axis, s, t, w);
        else one_sided_weights(axis, t, w);
        const auto stencil = to_index(elements(s, all));
        // Everything left of the stencil: the tail at s - 1, by Horner's rule
        // in t.  A stencil starting at 0 has nothing to its left (its tail
        // index is only kept valid).
        const std::size_t k = axis.tail_count;
        const auto tail =
            to_index(elements(at_least(s - splat<V>(1.0), 0.0), all) * splat<V>(static_cast<double>(k)));
        for_each_group(all, [&](auto fields) {
            V sums[decltype(fields)::max_size];
            contract_last(f.coefficients->data() + fields.first, stencil, w, fields, sums);
            for (std::size_t c = 0; c < fields.size; ++c) {
                const double* tails = f.tails.data() + (fields.first + c) * k;
                V left = splat<V>(0.0);
                for (std::size_t j = k; j-- > 0;) left = fused(left, t, gather(tails + j, tail));
                sums[c] = Mending ? if_at_least(s, 1.0, sums[c] + left, sums[c]) : sums[c] + left;
            }
            store_fields(out, first, fields, sums, f.scale);
        });
    }
    return true;
}

// Every point, with the fields known at compile time when there is one.
template <class Evaluate>
auto with_fields(std::size_t channels, Evaluate&& evaluate) {
    return channels == 1 ? evaluate(OneField{}) : evaluate(FieldGroup{channels, 0, channels});
}

template <class V>
std::size_t evaluate_1d_with(const Interpolant1D& f, StridedValues points, RangeMode mode, double* out) {
    const AxisGrid g = axis_grid(f, mode);
    const auto run = [&](auto evaluate) { return run_blocks<V>(points, points.size, out, f.channels, evaluate); };
    return with_fields(f.channels, [&](auto all) {
        using Fields = decltype(all);
        if (f.nearest && !f.integral)
            return run([&](StridedValues block, std::size_t i, double* to) {
                return nearest_1d<V>(f, g, block, i, all, to);
            });
        return *visit_width(f.columns, [&]<std::size_t W>(Width<W>) {
            const auto run_spans = [&](auto evaluate) {
                return run_blocks<V, SPAN>(points, points.size, out, f.channels, evaluate);
            };
            if (f.integral)
                return run_spans([&](StridedValues block, std::size_t i, double* to) {
                    return integral_1d<W, V, SPAN, Fields>(f, g, block, i, all, to);
                });
            return run_spans([&](StridedValues block, std::size_t i, double* to) {
                return evaluate_columns<W, V, SPAN>(f, g, block, i, all, to);
            });
        });
    });
}

// ---------------------------------------------------------------------------
// N dimensions.

// Where point `stop` of an N-dimensional call lies outside the range: its
// first axis outside (nothing when every point was inside, stop == count).
inline OutsideRange outside_at(const ArrayView& points, std::size_t count, std::size_t stop,
                               const std::vector<AxisGrid>& grids) {
    if (stop == count) return {};
    for (std::size_t a = 0; a < grids.size(); ++a) {
        Located<double> at{};
        if (!locate(point(points, stop, a), points.strides[0], grids[a], at)) return {stop, a};
    }
    return {};
}

inline AxisGrid axis_grid(const GridAxis& axis, std::size_t half_width, RangeMode mode) {
    const double ghosts = static_cast<double>(half_width - 1);
    return {axis.first_knot, axis.period > 0.0 ? axis.first_knot + axis.period : axis.last_knot, axis.origin,
            axis.spacing, ghosts, static_cast<double>(axis.extended_len - half_width - 1), ghosts, mode, axis.period};
}

// Per-call scratch for one lane type: the weight table, the offsets and
// stencil starts of every axis, and each region's powers.
template <std::size_t W, class V>
struct Scratch {
    explicit Scratch(const InterpolantND& f)
        : table(new V[f.grid.size() * W]), t(new V[f.grid.size()]), start(new V[f.grid.size()]) {
        for (const Region& region : f.regions) powers_size += region.block_len;
        powers.reset(new V[powers_size + 1]);
    }
    V (*weights())[W] { return reinterpret_cast<V(*)[W]>(table.get()); }

    std::unique_ptr<V[]> table, t, start, powers;
    std::size_t powers_size = 0;
};

// The W^N stencil contraction: axis a outermost, each axis summed in
// ascending order with fused multiply-adds from 0.0.  `base` is the part of
// the position that all lanes share, `lane` each lane's own offset (element
// indices, fields included).
template <std::size_t W, class V, class Index, class Fields>
void contract(const InterpolantND& f, std::size_t a, const double* base, Index lane, const V (*w)[W], Fields fields,
              V* sums) {
    const std::size_t last = f.grid.size() - 1;
    if (a == last) return contract_last(base, lane, w[a], fields, sums);
    for (std::size_t g = 0; g < fields.size; ++g) sums[g] = splat<V>(0.0);
    const std::size_t stride = f.grid[a].stride;
    for (std::size_t j = 0; j < W; ++j) {
        const double* next = base + j * stride;
        V inner[Fields::max_size];
        // The last two axes in one go, without a call per row.
        if (a + 1 == last) contract_last(next, lane, w[last], fields, inner);
        else contract<W>(f, a + 1, next, lane, w, fields, inner);
        for (std::size_t g = 0; g < fields.size; ++g) sums[g] = fused(inner[g], w[a][j], sums[g]);
    }
}

// The same contraction with the number of axes D known at compile time: the
// nested loops are laid out in full and the weights can stay in registers.
template <std::size_t A, std::size_t D, std::size_t W, class V, class Index, class Fields>
inline void contract_axes(const InterpolantND& f, const double* base, Index lane, const V (*w)[W], Fields fields,
                          V* sums) {
    if constexpr (A + 1 == D) {
        contract_last(base, lane, w[A], fields, sums);
    } else {
        for (std::size_t g = 0; g < fields.size; ++g) sums[g] = splat<V>(0.0);
        const std::size_t stride = f.grid[A].stride;
        for (std::size_t j = 0; j < W; ++j) {
            V inner[Fields::max_size];
            contract_axes<A + 1, D>(f, base + j * stride, lane, w, fields, inner);
            for (std::size_t g = 0; g < fields.size; ++g) sums[g] = fused(inner[g], w[A][j], sums[g]);
        }
    }
}

// Every axis: laid out at compile time when D, the number of axes, is known
// (D > 0), else by the loop above.
template <std::size_t D, std::size_t W, class V, class Index, class Fields>
inline void contract_all(const InterpolantND& f, Index lane, const V (*w)[W], Fields fields, V* sums) {
    const double* base = f.coefficients->data() + fields.first;
    if constexpr (D > 0) contract_axes<0, D>(f, base, lane, w, fields, sums);
    else contract<W>(f, 0, base, lane, w, fields, sums);
}

// The same over the axes outside the region; along the region axes the single
// position just before the stencil carries everything to its left through
// its tail block (block_len terms for each field), dotted with the powers of
// the offsets.
template <std::size_t W, class V, class Index, class Fields>
void contract_region(const InterpolantND& f, const Region& region, std::size_t a, const double* base, Index lane,
                     const V (*w)[W], const V* powers, Fields fields, V* sums) {
    while (a < f.grid.size() && region.in_region[a]) ++a;
    for (std::size_t g = 0; g < fields.size; ++g) sums[g] = splat<V>(0.0);
    if (a < f.grid.size()) {
        const std::size_t step = f.grid[a].stride * region.block_len;
        if (step == 1) {
            // The last axis with one field and one tail term per coefficient:
            // the W values lie side by side.
            V rows[W];
            stencil_rows(base, lane, rows);
            for (std::size_t j = 0; j < W; ++j)
                sums[0] = fused(fused(rows[j], powers[0], splat<V>(0.0)), w[a][j], sums[0]);
            return;
        }
        for (std::size_t j = 0; j < W; ++j) {
            V inner[Fields::max_size];
            contract_region<W>(f, region, a + 1, base + j * step, lane, w, powers, fields, inner);
            for (std::size_t g = 0; g < fields.size; ++g) sums[g] = fused(inner[g], w[a][j], sums[g]);
        }
        return;
    }
    for (std::size_t g = 0; g < fields.size; ++g) {
        const double* block = base + (fields.first + g) * region.block_len;
        for (std::size_t q = 0; q < region.block_len; ++q) sums[g] = fused(gather(block + q, lane), powers[q], sums[g]);
    }
}

// out[0 ...] = products of offsets[a]^j over the region axes, the last fastest.
template <class V>
void fill_powers(const Region& region, const std::vector<GridAxis>& grid, const V* offsets, V* out) {
    out[0] = splat<V>(1.0);
    std::size_t m = 1;
    for (std::size_t a : region.region_axes) {
        const std::size_t k = grid[a].integral->tail_count;
        const V x = offsets[a];
        for (std::size_t p = m; p-- > 0;) {
            const V v = out[p];
            V power = splat<V>(1.0);
            for (std::size_t q = 0; q < k; ++q) {
                out[p * k + q] = v * power;
                power = power * x;
            }
        }
        m *= k;
    }
}

// The stencils of Span blocks of one field's points: weights[s][a] the
// column weights along axis a of block s, a point in every lane, read by
// gathers as the block is contracted.
template <std::size_t D, std::size_t W, class V, std::size_t Span>
struct BlockStencils {
    V weights[Span][D][W];
    V starts[Span];

    void set_weights(std::size_t s, std::size_t a, const V (&w)[W]) { std::copy_n(w, W, weights[s][a]); }
    void set_start(std::size_t s, V position) { starts[s] = position; }
};

// Values and derivatives on D (1 to 3) axes, Span blocks at a time: every
// point located and weighed, then the stencils contracted, a block at a time
// for one field, a point at a time for several.  In passes over independent
// blocks the core overlaps the misses of many stencils, which a block run
// whole from its coordinates to its values left waiting (AMD Zen 4, one
// thread, 2-D "a3": one field 12.8 to 9.6 ns a point at 512^2, three fields
// 20.5 to 16.8).  `blocks` of the Span are computed: a std::integral_constant
// for a full pass, whose loops the compiler then lays out (3-D "a3" at 64^3:
// 6% less time than with the count known at run time).
template <std::size_t D, std::size_t W, class V, std::size_t Span, class Fields, class Blocks>
QUORVEL_HOT bool staged_pass(const InterpolantND& f, const AxisGrid* grids, const ArrayView& points, std::size_t i,
                             Fields all, double* out, Blocks blocks) {
    constexpr std::size_t L = lane_count<V>;
    constexpr bool one_field = std::is_same_v<Fields, OneField>;
    std::conditional_t<one_field, BlockStencils<D, W, V, Span>, PointStencils<D, W, V, Span>> stencils;
    for (std::size_t s = 0; s < blocks; ++s) {
        V position = splat<V>(0.0);
        for (std::size_t a = 0; a < D; ++a) {
            Located<V> at{};
            if (!locate(point(points, i + s * L, a), points.strides[0], grids[a], at)) return false;
            V w[W];
            column_weights(f.grid[a].column_rows, splat<V>(1.0) - at.t(), w);
            stencils.set_weights(s, a, w);
            position = position + at.start(grids[a]) * splat<V>(static_cast<double>(f.grid[a].stride));
        }
        stencils.set_start(s, position);
    }
    if constexpr (one_field) {
        for (std::size_t s = 0; s < blocks; ++s) {
            V sum;
            contract_all<D>(f, to_index(stencils.starts[s]), stencils.weights[s], all, &sum);
            store_fields(out, i + s * L, all, &sum, f.scale);
        }
    } else {
        const auto stride = [&](std::size_t axis) { return f.grid[axis].stride; };
        contract_by_point(f.coefficients->data(), stencils, stride, all, f.scale, out + i * all.count, blocks);
    }
    return true;
}

// A full pass, or the vectors of one that hold a padded copy's points.
template <std::size_t D, std::size_t W, class V, std::size_t Span, class Fields>
bool staged_nd(const InterpolantND& f, const AxisGrid* grids, const ArrayView& points, std::size_t i, Fields all,
               double* out) {
    const std::size_t held = vectors_held<V, Span>(points.shape[0], i);
    if (held == Span)
        return staged_pass<D, W, V, Span>(f, grids, points, i, all, out, std::integral_constant<std::size_t, Span>{});
    return staged_pass<D, W, V, Span>(f, grids, points, i, all, out, held);
}

// Values and derivatives on any number of axes, known at run time: column
// weights on every axis, a block at a time, in `scratch`.
template <std::size_t W, class V, class Fields>
bool fast_nd(const InterpolantND& f, const AxisGrid* grids, Scratch<W, V>& scratch, const ArrayView& points,
             std::size_t i, Fields all, double* out) {
    V(*w)[W] = scratch.weights();
    V position = splat<V>(0.0);
    for (std::size_t a = 0; a < f.grid.size(); ++a) {
        Located<V> at{};
        if (!locate(point(points, i, a), points.strides[0], grids[a], at)) return false;
        column_weights(f.grid[a].column_rows, splat<V>(1.0) - at.t(), w[a]);
        position = position + at.start(grids[a]) * splat<V>(static_cast<double>(f.grid[a].stride));
    }
    const auto lane = to_index(position);
    for_each_group(all, [&](auto fields) {
        V sums[decltype(fields)::max_size];
        contract_all<0>(f, lane, w, fields, sums);
        store_fields(out, i, fields, sums, f.scale);
    });
    return true;
}

// "a0" without integrals: the stored value at the nearer knot of every axis.
template <class V, class Fields>
bool nearest_nd(const InterpolantND& f, const AxisGrid* grids, const ArrayView& points, std::size_t i, Fields all,
                double* out) {
    V position = splat<V>(0.0);
    for (std::size_t a = 0; a < f.grid.size(); ++a) {
        Located<V> at{};
        if (!locate(point(points, i, a), points.strides[0], grids[a], at)) return false;
        const V nearer = pick_by_half(at.t(), at.cell, at.cell + splat<V>(1.0));  // NaN at NaN (no ghosts)
        position = position + nearer * splat<V>(static_cast<double>(f.grid[a].stride));
    }
    for (std::size_t c = 0; c < all.count; ++c) {
        const V value = gather_or_nan(f.coefficients->data() + c, position);
        store_fields(out, i, FieldGroup{all.count, c, 1}, &value, 1.0);
    }
    return true;
}

// Antiderivatives along some axes: the stencil contraction plus, for every
// region whose stencils leave coefficients to their left, its tails.
// Mending as for integral_1d.
template <std::size_t D, std::size_t W, class V, class Fields, bool Mending = false>
bool general_nd(const InterpolantND& f, const AxisGrid* grids, Scratch<W, V>& scratch, const ArrayView& points,
                std::size_t i, Fields all, double* out) {
    V local_weights[D > 0 ? D : 1][W], local_offsets[D > 0 ? D : 1], local_starts[D > 0 ? D : 1];
    V(*w)[W] = D > 0 ? local_weights : scratch.weights();
    V* offsets = D > 0 ? local_offsets : scratch.t.get();
    V* starts = D > 0 ? local_starts : scratch.start.get();
    const std::size_t dims = D > 0 ? D : f.grid.size();
    V position = splat<V>(0.0);
    for (std::size_t a = 0; a < dims; ++a) {
        const GridAxis& axis = f.grid[a];
        Located<V> at{};
        if (!locate(point(points, i, a), points.strides[0], grids[a], at)) return false;
        const V t = at.t();
        const V start = at.start(grids[a]);
        if (axis.integral) {
            if (!Mending && !right_of_first_knot(*axis.integral, start)) [[unlikely]]
                return out_of_line([&] {
                    return general_nd<D, W, V, Fields, true>(f, grids, scratch, points, i, all, out);
                });
            if constexpr (Mending) weights(*axis.integral, start, t, w[a]);
            else one_sided_weights(*axis.integral, t, w[a]);
        } else if (f.nearest) {
            w[a][0] = pick_by_half(t, splat<V>(1.0), splat<V>(0.0));
            w[a][1] = pick_by_half(t, splat<V>(0.0), splat<V>(1.0));
        } else {
            column_weights(axis.column_rows, splat<V>(1.0) - t, w[a]);
        }
        offsets[a] = t;
        starts[a] = start;
        position = position + start * splat<V>(static_cast<double>(axis.stride));
    }
    V* powers = scratch.powers.get();
    for (const Region& region : f.regions) {
        fill_powers(region, f.grid, offsets, powers);
        powers += region.block_len;
    }
    const auto lane = to_index(position);
    for_each_group(all, [&](auto fields) {
        using Group = decltype(fields);
        V total[Group::max_size];
        contract_all<D>(f, lane, w, fields, total);
        const V* region_powers = scratch.powers.get();
        for (const Region& region : f.regions) {
            V shift = splat<V>(0.0);
            for (std::size_t a : region.region_axes) shift = shift + splat<V>(static_cast<double>(f.grid[a].stride));
            const V before = at_least(position - shift, 0.0);  // a valid index for every lane
            const auto tail = to_index(before * splat<V>(static_cast<double>(region.block_len)));
            V part[Group::max_size];
            contract_region<W>(f, region, 0, region.tails.data(), tail, w, region_powers, fields, part);
            for (std::size_t g = 0; g < fields.size; ++g) {
                V with_region = total[g] + part[g];
                // Stencils starting at 0 along a region axis leave nothing to their left.
                if constexpr (Mending)
                    for (std::size_t a : region.region_axes)
                        with_region = if_equal(starts[a], 0.0, total[g], with_region);
                total[g] = with_region;
            }
            region_powers += region.block_len;
        }
        store_fields(out, i, fields, total, f.scale);
    });
    return true;
}

template <class V>
OutsideRange evaluate_nd_with(const InterpolantND& f, const ArrayView& points, RangeMode mode, double* out) {
    const std::size_t count = points.shape[0];
    std::vector<AxisGrid> grids;
    for (const GridAxis& axis : f.grid) grids.push_back(axis_grid(axis, f.half_width, mode));
    const std::size_t stop = with_fields(f.channels, [&](auto all) -> std::size_t {
        using Fields = decltype(all);
        const auto run = [&](auto evaluate) { return run_blocks<V>(points, count, out, f.channels, evaluate); };
        if (f.nearest && f.regions.empty())
            return run([&](const ArrayView& block, std::size_t i, double* to) {
                return nearest_nd<V>(f, grids.data(), block, i, all, to);
            });
        return *visit_width(f.columns, [&]<std::size_t W>(Width<W>) {
            // The number of axes as a compile-time constant D where it is small.
            const auto run_axes = [&]<std::size_t D>(std::integral_constant<std::size_t, D>) {
                if constexpr (D > 0)
                    if (f.regions.empty())
                        return run_blocks<V, SPAN>(points, count, out, f.channels,
                                                   [&](const ArrayView& block, std::size_t i, double* to) {
                                                       return staged_nd<D, W, V, SPAN>(f, grids.data(), block, i, all,
                                                                                       to);
                                                   });
                Scratch<W, V> scratch(f);  // for four and more axes, and for antiderivatives
                if (f.regions.empty())
                    return run([&](const ArrayView& block, std::size_t i, double* to) {
                        return fast_nd<W, V>(f, grids.data(), scratch, block, i, all, to);
                    });
                return run([&](const ArrayView& block, std::size_t i, double* to) {
                    return general_nd<D, W, V, Fields>(f, grids.data(), scratch, block, i, all, to);
                });
            };
            switch (f.grid.size()) {
                case 1: return run_axes(std::integral_constant<std::size_t, 1>{});
                case 2: return run_axes(std::integral_constant<std::size_t, 2>{});
                case 3: return run_axes(std::integral_constant<std::size_t, 3>{});
                default: return run_axes(std::integral_constant<std::size_t, 0>{});
            }
        });
    });
    return outside_at(points, count, stop, grids);
}

}  // namespace
}  // namespace quorvel
