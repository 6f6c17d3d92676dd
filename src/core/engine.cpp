#include "engine.hpp"

#include <algorithm>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "integration.hpp"
#include "lanes.hpp"
#include "parallel.hpp"
#include "point_order.hpp"
#include "text.hpp"

namespace quorvel {
namespace {

// Points per thread below which starting a thread costs more than it saves:
// about 2^16 stencil coefficients of work (of every field), so at least some
// tens of microseconds for each thread.
std::size_t min_points_per_thread(std::size_t columns, std::size_t ndim, std::size_t channels) {
    std::size_t stencil = channels;
    for (std::size_t a = 0; a < ndim && stencil < (std::size_t{1} << 16); ++a) stencil *= columns;
    return std::max<std::size_t>(1024, (std::size_t{1} << 16) / std::max<std::size_t>(stencil, 1));
}

// At most this many pieces of a call's points per thread, so that threads
// slowed by other work take fewer of them.  Each piece holds at least a
// block of the cache order, unless every thread takes just one piece.
constexpr std::size_t MAX_PIECES_PER_THREAD = 8;

// Values per thread below which construction stays on one thread.
constexpr std::size_t MIN_VALUES_PER_THREAD = std::size_t{1} << 16;

// The first point outside the range over all pieces: that of the lowest piece
// that found one, its index counted from the start of all points.
OutsideRange first_outside(const std::vector<OutsideRange>& found, std::size_t count) {
    for (std::size_t p = 0; p < found.size(); ++p)
        if (found[p].point != OutsideRange::none)
            return {chunk_begin(count, found.size(), p) + found[p].point, found[p].axis};
    return {};
}

// Where the results go: `channels` values (one per field) for every point.
struct Results {
    double* data;
    std::size_t channels;

    double* at(std::size_t point) const { return data + point * channels; }
};

// Row i of `values`, results in cache order, put back at out.at(order[i]).
// For the usual numbers of fields the row's length is a constant, so that
// the copy is a few stores rather than a call per point (a tenth of the
// time of 3-D "a3" at 128^3; the compiler made std::copy_n of three or four
// values such a call).
template <std::size_t Channels = 0>
void put_back(const double* values, const std::uint32_t* order, std::size_t count, Results out) {
    if constexpr (Channels == 0) {
        switch (out.channels) {
            case 1: return put_back<1>(values, order, count, out);
            case 2: return put_back<2>(values, order, count, out);
            case 3: return put_back<3>(values, order, count, out);
            case 4: return put_back<4>(values, order, count, out);
            default: break;
        }
    }
    const std::size_t channels = Channels > 0 ? Channels : out.channels;
    for (std::size_t i = 0; i < count; ++i) {
        const double* row = values + i * channels;
        double* to = out.at(order[i]);
        for (std::size_t c = 0; c < channels; ++c) to[c] = row[c];
    }
}

// Evaluates `rows` into `out` with evaluate(rows, out), a block at a time and
// in cache order where that pays (the values are copied into that order and
// the results back, through buffers that every block reuses).  A point
// outside the range stops it; the block is then evaluated in the given order,
// which finds the first such point.
template <class Evaluate>
OutsideRange evaluate_blocks(const PointRows& rows, std::span<const CellAxis> axes, GridReads grid, Results out,
                             Evaluate&& evaluate) {
    const std::size_t dims = axes.size();
    OrderedPoints ordered;
    Buffer values;
    for (std::size_t begin = 0; begin < rows.count; begin += CACHE_ORDER_BLOCK) {
        const PointRows block{rows.at(begin, 0), rows.point_stride, rows.axis_stride,
                              std::min(CACHE_ORDER_BLOCK, rows.count - begin)};
        OutsideRange found;
        const bool in_order = cache_order(axes, grid, block, ordered);
        if (in_order) {
            if (values.size() < block.count * out.channels) values = Buffer(block.count * out.channels);
            found = evaluate(PointRows{ordered.coordinates.data(), static_cast<std::ptrdiff_t>(dims), 1, block.count},
                             values.data());
            if (found.point == OutsideRange::none)
                put_back(values.data(), ordered.order.data(), block.count, {out.at(begin), out.channels});
        }
        if (!in_order || found.point != OutsideRange::none) found = evaluate(block, out.at(begin));
        if (found.point != OutsideRange::none) return {begin + found.point, found.axis};
    }
    return {};
}

// Evaluates all points on up to `workers` threads, which take contiguous
// pieces of them in turn; gives the first point outside the range over all.
template <class Evaluate>
OutsideRange evaluate_in_pieces(const PointRows& rows, std::span<const CellAxis> axes, GridReads grid,
                                std::size_t threads, Results out, Evaluate&& evaluate) {
    const std::size_t per_thread = rows.count / threads / CACHE_ORDER_BLOCK;
    const std::size_t pieces = threads * std::clamp<std::size_t>(per_thread, 1, MAX_PIECES_PER_THREAD);
    std::vector<OutsideRange> found(pieces);
    run_pieces(rows.count, pieces, threads, [&](std::size_t p, std::size_t begin, std::size_t end) {
        const PointRows piece{rows.at(begin, 0), rows.point_stride, rows.axis_stride, end - begin};
        found[p] = evaluate_blocks(piece, axes, grid, {out.at(begin), out.channels}, evaluate);
    });
    return first_outside(found, rows.count);
}

CellAxis cell_axis(double origin, double spacing, std::size_t half_width, std::size_t extended_len) {
    return {origin, spacing, static_cast<double>(half_width - 1), static_cast<double>(extended_len - half_width - 1)};
}

std::vector<CellAxis> cell_axes(const InterpolantND& f) {
    std::vector<CellAxis> axes;
    for (const GridAxis& axis : f.grid)
        axes.push_back(cell_axis(axis.origin, axis.spacing, f.half_width, axis.extended_len));
    return axes;
}

// What evaluating points of f reads: its coefficients and the tails of its
// regions, columns^(ndim - 1) rows per point (capped, as only whether they
// are many matters, so that many axes cannot overflow the count).
GridReads grid_reads(const InterpolantND& f) {
    GridReads reads{8 * f.coefficients->size(), 1};
    for (const Region& region : f.regions) reads.bytes += 8 * region.tails.size();
    for (std::size_t a = 1; a < f.grid.size() && reads.rows < (std::size_t{1} << 16); ++a) reads.rows *= f.columns;
    return reads;
}

// The points of a call: the rows of `points` (whose shape the evaluation
// checks).
std::size_t point_count(const ArrayView& points) { return points.ndim() > 0 ? points.shape[0] : 0; }

// The elements of an array of `shape`.
std::size_t element_count(std::span<const std::size_t> shape) {
    std::size_t count = 1;
    for (std::size_t len : shape) count *= len;
    return count;
}

// Whether `out` holds exactly the `wanted` values a writing call gives.
Status room_in(std::span<const double> out, std::size_t wanted) {
    if (out.size() == wanted) return Ok{};
    return value_error(text::format("out: expected room for {} values, got {}", wanted, out.size()));
}

// The values at `points` into `out`, the fields of each point side by side.
Status evaluate_points(const Interpolant1D& f, const ArrayView& points, RangeMode mode, std::size_t workers,
                       double* out) {
    if (auto ok = f.check_width(); !ok) return ok.error();
    if (points.ndim() != 1)
        return value_error(text::format("points: expected a 1-D array of coordinates, got {} dimensions",
                                        points.ndim()));
    const PointRows rows{points.data, points.strides[0], 0, points.shape[0]};
    // One dimension is never put in cache order: a point reads one or two
    // lines of the grid, and the misses of random points overlap well
    // enough that sorting them costs more than it saves.
    const CellAxis axis = cell_axis(f.origin, f.spacing, f.half_width, f.coefficients->size() / f.channels);
    const GridReads as_if_cached{};
    const std::size_t threads = thread_count(rows.count, workers, min_points_per_thread(f.columns, 1, f.channels));
    const OutsideRange first = evaluate_in_pieces(
        rows, {&axis, 1}, as_if_cached, threads, {out, f.channels}, [&](const PointRows& part, double* part_out) {
            return evaluators().evaluate_1d(f, {part.points, part.count, part.point_stride}, mode, part_out);
        });
    if (first.point != OutsideRange::none) return f.outside(*rows.at(first.point, 0));
    return Ok{};
}

Status evaluate_points(const InterpolantND& f, const ArrayView& points, RangeMode mode, std::size_t workers,
                       double* out) {
    if (points.ndim() != 2)
        return value_error(text::format("points: expected a 2-D array of coordinates, got {} dimensions",
                                        points.ndim()));
    if (auto ok = f.check_points(points); !ok) return ok.error();
    const std::size_t dims = f.grid.size();
    const PointRows rows{points.data, points.strides[0], points.strides[1], points.shape[0]};
    const std::size_t threads = thread_count(rows.count, workers, min_points_per_thread(f.columns, dims, f.channels));
    const OutsideRange first = evaluate_in_pieces(
        rows, cell_axes(f), grid_reads(f), threads, {out, f.channels},
        [&](const PointRows& part, double* part_out) {
            const std::size_t shape[] = {part.count, dims};
            const std::ptrdiff_t strides[] = {part.point_stride, part.axis_stride};
            return evaluators().evaluate_nd(f, {part.points, shape, strides, false}, mode, part_out);
        });
    if (first.point != OutsideRange::none) return f.outside(points, first);
    return Ok{};
}

}  // namespace

Result<Interpolant> Interpolant::create(std::span<const ArrayView> knots, const ArrayView& values,
                                        std::string_view kernel, std::span<const BoundaryNames> bcs,
                                        std::span<const std::int32_t> orders, std::size_t workers) {
    return create(knots, values, kernel, bcs, orders, workers, true);
}

Result<Interpolant> Interpolant::create(std::span<const ArrayView> knots, const ArrayView& values,
                                        std::string_view kernel, std::span<const BoundaryNames> bcs,
                                        std::span<const std::int32_t> orders, std::size_t workers,
                                        bool hold_data) {
    if (values.ndim() < knots.size())
        return value_error(text::format("values: expected at least {} axes (one per knot vector), got {}",
                                        knots.size(), values.ndim()));
    const std::size_t field_axes = values.ndim() - knots.size();
    std::vector<std::size_t> value_shape(values.shape.begin() + static_cast<std::ptrdiff_t>(knots.size()),
                                         values.shape.end());
    for (std::size_t length : value_shape)
        if (length == 0)
            return value_error("values: a value axis has length 0, so there is no field to interpolate");
    const BuildOptions options{thread_count(values.size(), workers, MIN_VALUES_PER_THREAD), field_axes, true,
                               hold_data};
    if (knots.size() == 1 && bcs.size() == 1 && orders.size() == 1) {
        auto f = Interpolant1D::create(knots[0], values, kernel, bcs[0].first, bcs[0].second, orders[0], options);
        if (!f) return f.error();
        return Interpolant(std::move(*f), std::move(value_shape), {orders.begin(), orders.end()});
    }
    auto f = InterpolantND::create(knots, values, kernel, bcs, orders, options);
    if (!f) return f.error();
    return Interpolant(std::move(*f), std::move(value_shape), {orders.begin(), orders.end()});
}

Result<Interpolant> Interpolant::with_orders(std::span<const std::int32_t> orders, std::size_t workers) const {
    if (orders.size() != ndim())
        return value_error(text::format("orders: expected {} orders (one per axis), got {}", ndim(), orders.size()));
    if (const auto* f = std::get_if<Interpolant1D>(&f_)) {
        auto derived = f->with_order(orders[0]);
        if (!derived) return derived.error();
        return Interpolant(std::move(*derived), value_shape_, {orders.begin(), orders.end()});
    }
    const InterpolantND& f = std::get<InterpolantND>(f_);
    const std::size_t threads = thread_count(f.coefficients->size(), workers, MIN_VALUES_PER_THREAD);
    auto derived = f.with_orders(orders, threads);
    if (!derived) return derived.error();
    return Interpolant(std::move(*derived), value_shape_, {orders.begin(), orders.end()});
}

Result<NdBuffer> Interpolant::evaluate(const ArrayView& points, RangeMode mode, std::size_t workers) const {
    NdBuffer values{Buffer::for_result(point_count(points) * fields()), {point_count(points)}};
    if (auto ok = evaluate(points, mode, workers, values.values.span()); !ok) return ok.error();
    values.shape.insert(values.shape.end(), value_shape_.begin(), value_shape_.end());
    return values;
}

Status Interpolant::evaluate(const ArrayView& points, RangeMode mode, std::size_t workers,
                             std::span<double> out) const {
    if (auto room = room_in(out, point_count(points) * fields()); !room) return room.error();
    return std::visit([&](const auto& f) { return evaluate_points(f, points, mode, workers, out.data()); }, f_);
}

std::size_t Interpolant::fields() const { return element_count(value_shape_); }

namespace {

// Values of the product per thread below which it stays on one thread.
constexpr std::size_t MIN_PRODUCT_PER_THREAD = std::size_t{1} << 14;

// x with the range mode applied: as it is inside [lo, hi] (or NaN), else
// clipped or NaN (as the evaluators do it); nothing when `raise` refuses it.
std::optional<double> in_range(double x, double lo, double hi, RangeMode mode) {
    if (!any_outside(x, lo, hi)) return x;
    if (mode == RangeMode::raise) return std::nullopt;
    return mode == RangeMode::clip ? clamp_to(x, lo, hi) : nan_outside(x, lo, hi);
}

// The coordinates of every axis with the range mode applied: clipped, or NaN
// outside (as the evaluators do it), wrapped on periodic axes; in `raise`
// mode the first outside, axis by axis, is refused.
Result<std::vector<std::vector<double>>> product_coordinates(const InterpolantND& f,
                                                            std::span<const ArrayView> coordinates,
                                                            RangeMode mode) {
    std::vector<std::vector<double>> out;
    for (std::size_t a = 0; a < coordinates.size(); ++a) {
        const double lo = f.grid[a].first_knot, period = f.grid[a].period;
        std::vector<double>& xs = out.emplace_back();
        for (std::size_t k = 0; k < coordinates[a].shape[0]; ++k) {
            const double x = coordinates[a].data[static_cast<std::ptrdiff_t>(k) * coordinates[a].strides[0]];
            if (period > 0.0) {
                xs.push_back(any_outside(x, lo, lo + period) ? wrap_periodic(x, lo, period) : x);
                continue;
            }
            const auto kept = in_range(x, lo, f.grid[a].last_knot, mode);
            if (!kept) return f.outside(x, a);
            xs.push_back(*kept);
        }
    }
    return out;
}

// The product evaluated point by point, a block of combinations at a time:
// for antiderivatives, whose tails do not separate by axis, and "a0".
void product_by_points(const InterpolantND& f, const std::vector<std::vector<double>>& axes, std::size_t count,
                       std::size_t threads, double* out) {
    constexpr std::size_t block = 4096;
    const std::size_t dims = axes.size();
    run_chunks(count, threads, [&](std::size_t, std::size_t begin, std::size_t end) {
        std::vector<double> points(block * dims);
        for (std::size_t first = begin; first < end; first += block) {
            const std::size_t n = std::min(block, end - first);
            for (std::size_t p = 0; p < n; ++p)
                for (std::size_t a = dims, rest = first + p; a-- > 0; rest /= axes[a].size())
                    points[p * dims + a] = axes[a][rest % axes[a].size()];
            const std::size_t shape[] = {n, dims};
            const std::ptrdiff_t strides[] = {static_cast<std::ptrdiff_t>(dims), 1};
            evaluators().evaluate_nd(f, {points.data(), shape, strides, true}, RangeMode::raise,
                                     out + first * f.channels);
        }
    });
}

}  // namespace

Result<NdBuffer> Interpolant::regrid(std::span<const ArrayView> knots, const ArrayView& values,
                                     std::string_view kernel, std::span<const BoundaryNames> bcs,
                                     std::span<const std::int32_t> orders, std::span<const ArrayView> coordinates,
                                     RangeMode mode, std::size_t workers) {
    const bool by_slabs = knots.size() >= 2 && values.size() > 0 && !is_nearest(kernel) &&
                          std::all_of(orders.begin(), orders.end(), [](std::int32_t d) { return d >= 0; });
    auto f = create(knots, values, kernel, bcs, orders, workers, !by_slabs);
    if (!f) return f.error();
    if (!by_slabs) return f->on_grid(coordinates, mode, workers, nullptr);
    const auto pairs = parse_boundary_pairs(bcs, true);
    if (!pairs) return pairs.error();
    const auto slabs = ExtendedSlabs::create(values, kernel, *pairs, values.ndim() - knots.size());
    if (!slabs) return slabs.error();
    return f->on_grid(coordinates, mode, workers, &*slabs);
}

Result<NdBuffer> Interpolant::on_grid(std::span<const ArrayView> coordinates, RangeMode mode,
                                      std::size_t workers) const {
    return on_grid(coordinates, mode, workers, nullptr);
}

Status Interpolant::on_grid(std::span<const ArrayView> coordinates, RangeMode mode, std::size_t workers,
                            std::span<double> out) const {
    auto shape = product_shape(coordinates);
    if (!shape) return shape.error();
    if (auto room = room_in(out, element_count(*shape)); !room) return room.error();
    return on_grid(coordinates, mode, workers, nullptr, out.data());
}

Result<NdBuffer> Interpolant::on_grid(std::span<const ArrayView> coordinates, RangeMode mode, std::size_t workers,
                                      const ExtendedSlabs* slabs) const {
    auto shape = product_shape(coordinates);
    if (!shape) return shape.error();
    NdBuffer values{Buffer::for_result(element_count(*shape)), std::move(*shape)};
    if (auto ok = on_grid(coordinates, mode, workers, slabs, values.values.data()); !ok) return ok.error();
    return values;
}

Result<std::vector<std::size_t>> Interpolant::product_shape(std::span<const ArrayView> coordinates) const {
    if (coordinates.size() != ndim())
        return value_error(text::format("coordinates: expected {} vectors (one per axis), got {}", ndim(),
                                        coordinates.size()));
    std::vector<std::size_t> shape;
    std::size_t count = 1;
    for (std::size_t a = 0; a < coordinates.size(); ++a) {
        if (coordinates[a].ndim() != 1)
            return value_error(text::format("coordinates[{}]: expected a 1-D array, got {} dimensions", a,
                                            coordinates[a].ndim()));
        const std::size_t len = coordinates[a].shape[0];
        if (len > 0 && count > (std::size_t{1} << 60) / len / std::max<std::size_t>(fields(), 1))
            return value_error("coordinates: the product holds more values than memory can");
        count *= len;
        shape.push_back(len);
    }
    shape.insert(shape.end(), value_shape_.begin(), value_shape_.end());
    return shape;
}

Status Interpolant::on_grid(std::span<const ArrayView> coordinates, RangeMode mode, std::size_t workers,
                            const ExtendedSlabs* slabs, double* out) const {
    if (std::holds_alternative<Interpolant1D>(f_))
        return evaluate(coordinates[0], mode, workers, {out, coordinates[0].shape[0] * fields()});
    const InterpolantND& f = std::get<InterpolantND>(f_);
    auto axes = product_coordinates(f, coordinates, mode);
    if (!axes) return axes.error();
    std::size_t count = 1;
    for (const std::vector<double>& axis : *axes) count *= axis.size();
    if (count == 0) return Ok{};
    const std::size_t threads = thread_count(count, workers, MIN_PRODUCT_PER_THREAD);
    if (f.regions.empty() && !f.nearest) {
        std::vector<StridedValues> vectors;
        for (const std::vector<double>& axis : *axes) vectors.push_back({axis.data(), axis.size(), 1});
        return evaluators().grid_product(f, slabs, vectors, threads, out);
    }
    product_by_points(f, *axes, count, threads, out);
    return Ok{};
}

namespace {

// The components of the derivatives of one degree along every axis: the axis
// (gradient) or the pair of axes b <= c (Hessian) of each, in row-major order.
std::vector<std::vector<std::size_t>> components(std::size_t dims, unsigned degree) {
    std::vector<std::vector<std::size_t>> out;
    for (std::size_t b = 0; b < dims; ++b) {
        if (degree == 1) out.push_back({b});
        else
            for (std::size_t c = b; c < dims; ++c) out.push_back({b, c});
    }
    return out;
}

}  // namespace

Result<NdBuffer> Interpolant::derivatives(const ArrayView& points, unsigned degree, RangeMode mode,
                                          std::size_t workers) const {
    const std::size_t dims = ndim();
    std::vector<std::size_t> tail(degree, dims);  // the component axes of the result
    if (std::holds_alternative<Interpolant1D>(f_)) {
        const std::int32_t orders[] = {orders_[0] + static_cast<std::int32_t>(degree)};
        auto derived = with_orders(orders, 1);
        if (!derived) return derived.error();
        auto values = derived->evaluate(points, mode, workers);
        if (values) values->shape.insert(values->shape.end(), tail.begin(), tail.end());
        return values;
    }
    // The interpolant of every component, sharing the data.
    const InterpolantND& f = std::get<InterpolantND>(f_);
    const auto wanted = components(dims, degree);
    std::vector<InterpolantND> outputs;
    for (const std::vector<std::size_t>& axes : wanted) {
        std::vector<std::int32_t> orders = orders_;
        for (std::size_t a : axes) ++orders[a];
        auto derived = f.with_orders(orders);
        if (!derived) return derived.error();
        outputs.push_back(std::move(*derived));
    }
    if (points.ndim() != 2)
        return value_error(text::format("points: expected a 2-D array of coordinates, got {} dimensions",
                                        points.ndim()));
    if (auto ok = f.check_points(points); !ok) return ok.error();

    // Every component at every point: together where they can share their
    // loads (values of one field), else one after the other.
    const std::size_t count = points.shape[0];
    const std::size_t fields = f.channels;
    Buffer found_values(count * fields * wanted.size());
    const bool together = f.channels == 1 && std::all_of(outputs.begin(), outputs.end(), [](const InterpolantND& g) {
        return g.regions.empty() && !g.nearest;
    });
    if (together) {
        std::vector<const InterpolantND*> pointers;
        for (const InterpolantND& g : outputs) pointers.push_back(&g);
        const PointRows rows{points.data, points.strides[0], points.strides[1], count};
        const std::size_t threads =
            thread_count(count, workers, min_points_per_thread(f.columns, dims, wanted.size()));
        const OutsideRange first = evaluate_in_pieces(
            rows, cell_axes(f), grid_reads(f), threads, {found_values.data(), wanted.size()},
            [&](const PointRows& part, double* part_out) {
                const std::size_t shape[] = {part.count, dims};
                const std::ptrdiff_t strides[] = {part.point_stride, part.axis_stride};
                return evaluators().evaluate_derivatives(pointers, degree, {part.points, shape, strides, false},
                                                         mode, part_out);
            });
        if (first.point != OutsideRange::none) return f.outside(points, first);
    } else {
        Buffer values(count * fields);
        for (std::size_t o = 0; o < outputs.size(); ++o) {
            if (auto ok = evaluate_points(outputs[o], points, mode, workers, values.data()); !ok) return ok.error();
            for (std::size_t i = 0; i < count * fields; ++i) found_values[i * wanted.size() + o] = values[i];
        }
    }

    // Every component in its place; the Hessian's are symmetric.
    std::size_t per_field = 1;
    for (std::size_t axis : tail) per_field *= axis;
    Buffer out = Buffer::for_result(count * fields * per_field);
    for (std::size_t i = 0; i < count * fields; ++i)
        for (std::size_t o = 0; o < wanted.size(); ++o) {
            const double value = found_values[i * wanted.size() + o];
            const std::vector<std::size_t>& axes = wanted[o];
            if (degree == 1) {
                out[i * per_field + axes[0]] = value;
            } else {
                out[i * per_field + axes[0] * dims + axes[1]] = value;
                out[i * per_field + axes[1] * dims + axes[0]] = value;
            }
        }
    std::vector<std::size_t> shape{count};
    shape.insert(shape.end(), value_shape_.begin(), value_shape_.end());
    shape.insert(shape.end(), tail.begin(), tail.end());
    return NdBuffer{std::move(out), std::move(shape)};
}

namespace {

// Axis a's data range, its period (0 unless periodic), and the refusal of a
// bound outside the range.
std::pair<double, double> data_range(const Interpolant1D& f, std::size_t) { return {f.first_knot, f.last_knot}; }
std::pair<double, double> data_range(const InterpolantND& f, std::size_t a) {
    return {f.grid[a].first_knot, f.grid[a].last_knot};
}
double period_of(const Interpolant1D& f, std::size_t) { return f.period; }
double period_of(const InterpolantND& f, std::size_t a) { return f.grid[a].period; }
Error outside_range(const Interpolant1D& f, double x, std::size_t) { return f.outside(x); }
Error outside_range(const InterpolantND& f, double x, std::size_t a) { return f.outside(x, a); }

// A periodic axis holds one ghost more after the data, so its knots (as
// integration counts them: those the extended axis covers) run to the end
// of the period.
IntegrationGrid integration_grid(const Interpolant1D& f, std::span<const std::int32_t> orders) {
    const std::size_t positions = f.coefficients->size() / f.channels;
    const IntegrationAxis axis{f.first_knot,  f.spacing, positions - 2 * (f.half_width - 1), f.channels, orders[0],
                               f.period};
    return {f.coefficients->data(), f.channels, f.kernel, f.half_width, {axis}};
}

IntegrationGrid integration_grid(const InterpolantND& f, std::span<const std::int32_t> orders) {
    IntegrationGrid grid{f.coefficients->data(), f.channels, f.kernel, f.half_width, {}};
    for (std::size_t a = 0; a < f.grid.size(); ++a) {
        const GridAxis& axis = f.grid[a];
        grid.axes.push_back({axis.first_knot, axis.spacing, axis.extended_len - 2 * (f.half_width - 1), axis.stride,
                             orders[a], axis.period});
    }
    return grid;
}

}  // namespace

Result<NdBuffer> Interpolant::integrate(const ArrayView& lower, const ArrayView& upper, RangeMode mode) const {
    const std::size_t dims = ndim();
    for (const auto& [bound, name] : {std::pair{&lower, "lower"}, std::pair{&upper, "upper"}})
        if (bound->ndim() != 1 || bound->shape[0] != dims)
            return value_error(text::format("{}: expected {} coordinates (one per axis)", name, dims));
    for (std::size_t a = 0; a < dims; ++a)
        if (orders_[a] < 0)
            return value_error(text::format(
                "integrate: axis {} holds an antiderivative (order {}); only values and derivatives are integrated",
                a, orders_[a]));
    return std::visit(
        [&](const auto& f) -> Result<NdBuffer> {
            std::vector<Interval> box(dims);
            for (const auto& [bound, side] : {std::pair{&lower, &Interval::lower}, std::pair{&upper, &Interval::upper}})
                for (std::size_t a = 0; a < dims; ++a) {
                    const double x = bound->data[static_cast<std::ptrdiff_t>(a) * bound->strides[0]];
                    const auto [lo, hi] = data_range(f, a);
                    // Any bound on a periodic axis: whole periods count.
                    const auto kept = period_of(f, a) > 0.0 ? std::optional<double>(x) : in_range(x, lo, hi, mode);
                    if (!kept) return outside_range(f, x, a);
                    box[a].*side = *kept;
                }
            auto values = box_integral(integration_grid(f, orders_), box);
            if (!values) return values.error();
            return NdBuffer{std::move(*values), value_shape_};
        },
        f_);
}

Interpolant::Data Interpolant::data() const {
    Data data;
    // The value axes, row-major within each grid position.
    std::vector<std::ptrdiff_t> value_strides(value_shape_.size());
    std::ptrdiff_t step = 1;
    for (std::size_t v = value_shape_.size(); v-- > 0;) {
        value_strides[v] = step;
        step *= static_cast<std::ptrdiff_t>(value_shape_[v]);
    }
    std::visit(
        [&](const auto& f) {
            data.storage = f.coefficients;
            const std::size_t ghosts = f.half_width - 1;
            // A periodic axis holds one ghost more after the data.
            if constexpr (std::is_same_v<std::decay_t<decltype(f)>, Interpolant1D>) {
                data.shape.push_back(f.coefficients->size() / f.channels - 2 * ghosts - (f.period > 0.0));
                data.strides.push_back(static_cast<std::ptrdiff_t>(f.channels));
                data.offset = ghosts * f.channels;
            } else {
                for (const GridAxis& axis : f.grid) {
                    data.shape.push_back(axis.extended_len - 2 * ghosts - (axis.period > 0.0));
                    data.strides.push_back(static_cast<std::ptrdiff_t>(axis.stride));
                    data.offset += ghosts * axis.stride;
                }
            }
        },
        f_);
    data.shape.insert(data.shape.end(), value_shape_.begin(), value_shape_.end());
    data.strides.insert(data.strides.end(), value_strides.begin(), value_strides.end());
    return data;
}

std::size_t Interpolant::ndim() const {
    if (std::holds_alternative<Interpolant1D>(f_)) return 1;
    return std::get<InterpolantND>(f_).grid.size();
}

}  // namespace quorvel
