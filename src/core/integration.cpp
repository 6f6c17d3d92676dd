#include "integration.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "compensated.hpp"
#include "interpolant.hpp"
#include "kernels.hpp"
#include "lanes.hpp"
#include "text.hpp"

namespace quorvel {
namespace {

// ---------------------------------------------------------------------------
// Where the bounds lie.

// Distances between x and the knots.  x - first is held as an unevaluated
// sum (TwoSum) and so is knot i's offset i * spacing (fma): their leading
// parts nearly cancel and subtract exactly, so a distance carries only its
// own rounding, however far its knot lies from the first.
class KnotDistances {
public:
    KnotDistances(double x, double first, double spacing)
        : spacing_(spacing), offset_(x - first), offset_error_(sum_error(x, -first, offset_)) {}

    // x - knot i, and knot i - x.
    double past(std::size_t i) const {
        const auto [p, p_error] = offset_of(i);
        return (offset_ - p) + (offset_error_ - p_error);
    }
    double short_of(std::size_t i) const {
        const auto [p, p_error] = offset_of(i);
        return (p - offset_) + (p_error - offset_error_);
    }

private:
    std::pair<double, double> offset_of(std::size_t i) const {
        const double k = static_cast<double>(i);
        const double p = k * spacing_;
        return {p, product_error(k, spacing_, p)};
    }

    double spacing_, offset_, offset_error_;
};

// A bound in the cell from knot `cell` to knot cell + 1 (cell <= n - 2),
// `left` past the first knot and `right` short of the second, each accurate
// to its own rounding.
struct Place {
    std::size_t cell = 0;
    double left = 0.0;
    double right = 0.0;
};

// The place of a lower bound x in the data range: a knot starts its cell.
Place place_lower(const IntegrationAxis& axis, double x) {
    const KnotDistances distance(x, axis.first_knot, axis.spacing);
    const std::size_t last_cell = axis.knots - 2;
    // The cell the rounded quotient gives (saturated), moved until x lies in it.
    const double estimate = std::floor((x - axis.first_knot) / axis.spacing);
    std::size_t cell = estimate >= static_cast<double>(last_cell) ? last_cell
                       : estimate > 0.0                            ? static_cast<std::size_t>(estimate)
                                                                   : 0;
    while (cell > 0 && distance.past(cell) < 0.0) --cell;
    while (cell < last_cell && distance.past(cell + 1) >= 0.0) ++cell;
    return {cell, distance.past(cell), distance.short_of(cell + 1)};
}

// The place of an upper bound x: a knot ends its cell, so that the stencil
// holds no coefficient whose support only touches the interval.  Never
// before the cell of the lower bound, `lowest`.
Place place_upper(const IntegrationAxis& axis, double x, std::size_t lowest) {
    const KnotDistances distance(x, axis.first_knot, axis.spacing);
    Place at = place_lower(axis, x);
    if (at.cell > lowest && distance.past(at.cell) <= 0.0) --at.cell;
    at.cell = std::max(at.cell, lowest);
    return {at.cell, distance.past(at.cell), distance.short_of(at.cell + 1)};
}

// ---------------------------------------------------------------------------
// The weights of one axis.

void push_run(AxisWeights& out, std::size_t first, std::vector<double> weights) {
    const std::size_t count = weights.size();
    out.runs.push_back({first, count, std::move(weights)});
}

void push_ones(AxisWeights& out, std::size_t first, std::size_t count) {
    if (count > 0) out.runs.push_back({first, count, {}});
}

// The increase of every column function over part of a cell, from tau0 to
// tau1: T_j(tau1) - T_j(tau0) = (tau1 - tau0) T_j[tau0, tau1], the divided
// difference by Horner's rule run at tau0 and, on its partial results, at
// tau1.  `step` is tau1 - tau0, as the caller computes it without
// cancellation.
std::vector<double> part_weights(const ColumnTable& table, double tau0, double tau1, double step) {
    const std::size_t width = table.ncols;
    std::vector<double> w(width);
    for (std::size_t j = 0; j < width; ++j) {
        double value = 0.0;     // T_j(tau0), by Horner's rule
        double quotient = 0.0;  // T_j[tau0, tau1], from value's partial results
        for (std::size_t r = 0; r < table.rows(); ++r) {
            quotient = std::fma(quotient, tau1, value);
            value = std::fma(value, tau0, table.coefficients[r * width + j]);
        }
        w[j] = step * quotient;
    }
    return w;
}

// The weights of an axis whose column functions (of order d - 1) are
// `table`, over [lower, upper]: from `lower` to the first knot at or after
// it, whole cells to the last knot at or before `upper`, and on to `upper`;
// or a part of one cell.  A coefficient's whole cells take the difference of
// its column functions at the knots around them: column hw - v at tau = 0 for
// a knot v cells right of the coefficient, constant beyond the stencil, +-1/2
// on an axis of values (the basis function's antiderivative) and 0 on one of
// a derivative.  So whole cells of a constant integrate exactly.
AxisWeights column_axis_weights(const ColumnTable& table, std::size_t half_width, const IntegrationAxis& axis,
                                double lower, double upper) {
    const double h = axis.spacing;
    const std::size_t width = table.ncols;
    const Place a = place_lower(axis, lower);
    const Place b = place_upper(axis, upper, a.cell);
    AxisWeights out;
    out.scale = axis.order == 0 ? h : integer_power(-1.0 / h, static_cast<std::uint32_t>(axis.order - 1));
    const std::size_t first_knot = a.left == 0.0 ? a.cell : a.cell + 1;
    const std::size_t last_knot = b.right == 0.0 ? b.cell + 1 : b.cell;
    if (first_knot > last_knot) {
        push_run(out, a.cell, part_weights(table, a.right / h, b.right / h, -((upper - lower) / h)));
        return out;
    }
    const std::vector<double> none(width, 0.0);
    const std::vector<double> to_first_knot =
        first_knot == a.cell ? none : part_weights(table, a.right / h, 0.0, -(a.right / h));
    const std::vector<double> from_last_knot =
        last_knot > b.cell ? none : part_weights(table, 1.0, b.right / h, -(b.left / h));

    const double beyond = axis.order == 0 ? 0.5 : 0.0;
    const auto hw = static_cast<std::ptrdiff_t>(half_width);
    const double* at_tau_zero = table.coefficients + (table.rows() - 1) * width;
    const auto at_knot = [&](std::ptrdiff_t v) {
        return v >= hw ? beyond : v <= -hw ? -beyond : at_tau_zero[hw - v];
    };
    // Coefficient e sits at knot e - (hw - 1).
    const auto weight = [&](std::size_t e) {
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(e) - (hw - 1);
        const double whole = at_knot(static_cast<std::ptrdiff_t>(last_knot) - at) -
                             at_knot(static_cast<std::ptrdiff_t>(first_knot) - at);
        const double first = e - a.cell < width ? to_first_knot[e - a.cell] : 0.0;
        const double last = e >= b.cell ? from_last_knot[e - b.cell] : 0.0;
        return (first + whole) + last;
    };
    const auto weights = [&](std::size_t first, std::size_t end) {
        std::vector<double> w;
        for (std::size_t e = first; e < end; ++e) w.push_back(weight(e));
        return w;
    };
    // The stencils of the two ends, joined when they meet.  Between them an
    // axis of values weighs every coefficient 1, one of a derivative 0.
    if (b.cell <= a.cell + width) {
        push_run(out, a.cell, weights(a.cell, b.cell + width));
        return out;
    }
    push_run(out, a.cell, weights(a.cell, a.cell + width));
    if (axis.order == 0) push_ones(out, a.cell + width, b.cell - (a.cell + width));
    push_run(out, b.cell, weights(b.cell, b.cell + width));
    return out;
}

// "a0": coefficient e holds the cell's width around its knot, e - 1/2 to
// e + 1/2 (no ghosts), so it weighs the length of the interval within that.
AxisWeights nearest_axis_weights(const IntegrationAxis& axis, double lower, double upper) {
    const double h = axis.spacing;
    const double half = 0.5 * h;
    const Place a = place_lower(axis, lower);
    const Place b = place_upper(axis, upper, a.cell);
    const std::size_t first = a.left <= a.right ? a.cell : a.cell + 1;
    const std::size_t last = std::max(first, b.left <= b.right ? b.cell : b.cell + 1);
    AxisWeights out;
    out.scale = h;
    if (first == last) {
        push_run(out, first, {(upper - lower) / h});
        return out;
    }
    push_run(out, first, {(first == a.cell ? half - a.left : half + a.right) / h});
    push_ones(out, first + 1, last - first - 1);
    push_run(out, last, {(last == b.cell ? half + b.left : half - b.right) / h});
    return out;
}

// ---------------------------------------------------------------------------
// The contraction.

// into[c] += w_k c[first + k, c] along a run, for every field c, where
// c[e, c] = base[e * stride + c].
QUORVEL_FMA_CLONES void add_run(const WeightRun& run, const double* base, std::size_t stride, std::size_t channels,
                                CompensatedSum* into) {
    const double* row = base + run.first * stride;
    if (channels == 1) {  // the sum kept in registers
        CompensatedSum sum = *into;
        for (std::size_t k = 0; k < run.count; ++k, row += stride) sum.add_product(run.weight(k), *row);
        *into = sum;
        return;
    }
    for (std::size_t k = 0; k < run.count; ++k, row += stride) {
        const double w = run.weight(k);
        for (std::size_t c = 0; c < channels; ++c) into[c].add_product(w, row[c]);
    }
}

// The coefficients contracted with the weights of every axis, depth first,
// outermost axis first: each position of an outer axis adds its weight times
// the compensated sum of the axes inside it.  Memory: one slice of sums per
// axis.
class Contraction {
public:
    Contraction(const IntegrationGrid& grid, std::span<const AxisWeights> weights)
        : grid_(grid), weights_(weights), inner_(weights.size(), std::vector<CompensatedSum>(grid.channels)) {}

    void run(CompensatedSum* into) { level(0, grid_.coefficients, into); }

private:
    void level(std::size_t a, const double* base, CompensatedSum* into) {
        const std::size_t stride = grid_.axes[a].stride;
        const std::size_t channels = grid_.channels;
        if (a + 1 == weights_.size()) {
            for (const WeightRun& run : weights_[a].runs) add_run(run, base, stride, channels, into);
            return;
        }
        CompensatedSum* inner = inner_[a].data();
        for (const WeightRun& run : weights_[a].runs)
            for (std::size_t k = 0; k < run.count; ++k) {
                std::fill(inner, inner + channels, CompensatedSum{});
                level(a + 1, base + (run.first + k) * stride, inner);
                const double w = run.weight(k);
                for (std::size_t c = 0; c < channels; ++c) into[c].add_product(w, inner[c]);
            }
    }

    const IntegrationGrid& grid_;
    std::span<const AxisWeights> weights_;
    std::vector<std::vector<CompensatedSum>> inner_;
};

// The rounded value of a compensated sum, or its plain sum when that is an
// infinity or NaN (which the error term would make NaN).
double finite_or_plain(const CompensatedSum& x) { return std::isfinite(x.sum) ? x.rounded() : x.sum; }

}  // namespace

namespace {

// The weights over [lower, upper] within one period.
Result<AxisWeights> weights_within_range(const IntegrationGrid& grid, const IntegrationAxis& axis, double lower,
                                         double upper) {
    if (is_nearest(grid.kernel)) return nearest_axis_weights(axis, lower, upper);
    const auto table = column_table(grid.kernel, axis.order - 1);
    if (!table)
        return value_error(
            text::format("no table for kernel {}, order {}", text::quoted(grid.kernel), axis.order - 1));
    return column_axis_weights(*table, grid.half_width, axis, lower, upper);
}

// times * the weights of `part` added into `total`, which covers every
// position of the axis.
void add_weights(const AxisWeights& part, double times, std::vector<double>& total) {
    for (const WeightRun& run : part.runs)
        for (std::size_t k = 0; k < run.count; ++k) total[run.first + k] += times * run.weight(k);
}

// A periodic axis: an interval of any length is m whole periods and what is
// left, which wrapped into the period is one interval or, when it passes the
// period's end, two (one ending there and one starting at the first knot).
// The weights of all of them, added, make one run over the axis.
Result<AxisWeights> periodic_weights(const IntegrationGrid& grid, const IntegrationAxis& axis, double lower,
                                     double upper) {
    const double first = axis.first_knot, end = first + axis.period;
    const double from = wrap_periodic(lower, first, axis.period), to = wrap_periodic(upper, first, axis.period);
    const bool split = to < from;
    const double left_over = split ? (end - from) + (to - first) : to - from;
    const double periods = std::round(((upper - lower) - left_over) / axis.period);
    std::vector<std::pair<double, double>> parts;
    if (split) parts = {{from, end}, {first, to}};
    else if (to > from) parts = {{from, to}};
    std::vector<double> total((axis.knots + 2 * (grid.half_width - 1)), 0.0);
    double scale = 1.0;
    for (const auto& [a, b] : parts) {
        auto part = weights_within_range(grid, axis, a, b);
        if (!part) return part.error();
        add_weights(*part, 1.0, total);
        scale = part->scale;
    }
    if (periods != 0.0) {
        auto whole = weights_within_range(grid, axis, first, end);
        if (!whole) return whole.error();
        add_weights(*whole, periods, total);
        scale = whole->scale;
    }
    AxisWeights out;
    out.scale = scale;
    out.runs.push_back({0, total.size(), std::move(total)});
    return out;
}

}  // namespace

Result<AxisWeights> interval_weights(const IntegrationGrid& grid, const IntegrationAxis& axis, double lower,
                                     double upper) {
    if (axis.period > 0.0) return periodic_weights(grid, axis, lower, upper);
    return weights_within_range(grid, axis, lower, upper);
}

Result<Buffer> box_integral(const IntegrationGrid& grid, std::span<const Interval> box) {
    Buffer out(grid.channels);
    double sign = 1.0;
    bool nan = false;
    bool empty = false;
    for (const Interval& bounds : box) {
        nan = nan || std::isnan(bounds.lower) || std::isnan(bounds.upper);
        empty = empty || bounds.lower == bounds.upper;
        if (bounds.lower > bounds.upper) sign = -sign;
    }
    if (nan || empty || grid.channels == 0) {
        std::fill_n(out.data(), grid.channels, nan ? std::numeric_limits<double>::quiet_NaN() : 0.0);
        return out;
    }
    std::vector<AxisWeights> weights;
    for (std::size_t a = 0; a < box.size(); ++a) {
        const auto [lower, upper] = std::minmax(box[a].lower, box[a].upper);
        auto axis = interval_weights(grid, grid.axes[a], lower, upper);
        if (!axis) return axis.error();
        weights.push_back(std::move(*axis));
    }
    std::vector<CompensatedSum> sums(grid.channels);
    Contraction(grid, weights).run(sums.data());
    // Each axis' scale, still compensated: one rounding in all.
    for (std::size_t c = 0; c < grid.channels; ++c) {
        CompensatedSum total = sums[c];
        for (const AxisWeights& axis : weights) {
            CompensatedSum scaled;
            scaled.add_product(axis.scale, total);
            total = scaled;
        }
        out[c] = sign * finite_or_plain(total);
    }
    return out;
}

}  // namespace quorvel
