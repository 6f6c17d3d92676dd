#include "interpolant_nd.hpp"

#include <cmath>
#include <limits>

#include "interpolant.hpp"
#include "kernels.hpp"
#include "text.hpp"
#include "width_family.hpp"

namespace quorvel {
namespace {

constexpr double TAILS_LIMIT_BYTES = 2147483648.0;  // 2 GiB

// ---------------------------------------------------------------------------
// Construction.

// Validates knot vector `i` against its axis of `n_values` data values and
// records spacing, range and origin.
Result<GridAxis> grid_axis(std::size_t i, const ArrayView& knots, std::size_t n_values, std::size_t half_width) {
    if (auto ok = require_contiguous(knots); !ok) return ok.error();
    const std::size_t n = knots.size();
    if (n != n_values) return value_error(text::format("axis {}: {} knots for {} values", i, n, n_values));
    if (n < 2) return value_error(text::format("axis {}: need at least 2 knots", i));
    const double* x = knots.data;
    for (std::size_t j = 0; j < n; ++j)
        if (!std::isfinite(x[j]))
            return value_error(text::format("axis {}: knots must be finite numbers (no NaN or infinity)", i));
    GridAxis axis;
    axis.spacing = (x[n - 1] - x[0]) / static_cast<double>(n - 1);
    if (axis.spacing <= 0.0) return value_error(text::format("axis {}: knots must be increasing", i));
    axis.first_knot = x[0];
    axis.last_knot = x[n - 1];
    axis.origin = axis.first_knot - axis.spacing * static_cast<double>(half_width - 1);
    // Points are located relative to the origin: the spacing and both ends of
    // the extended axis must be representable.
    if (!std::isfinite(axis.spacing) || !std::isfinite(axis.origin) || !std::isfinite(axis.last_knot - axis.origin))
        return value_error(text::format("axis {}: knots span too wide a range", i));
    const double tolerance = axis.spacing * 1e-8;
    for (std::size_t j = 0; j < n; ++j) {
        const double ideal = x[0] + static_cast<double>(j) * axis.spacing;
        if (std::fabs(x[j] - ideal) > tolerance)
            return value_error(text::format("axis {}: knots must be uniformly spaced", i));
    }
    return axis;
}

// The tails' total size: every non-empty subset of the integral axes holds
// the product of their tail counts per coefficient, which sums to
// prod(1 + k) - 1.
Status check_tails_memory(std::span<const IntegralAxis* const> integrals, std::size_t coefficient_count) {
    double product = 1.0;
    bool any = false;
    for (const IntegralAxis* axis : integrals)
        if (axis != nullptr) {
            product = product * (1.0 + static_cast<double>(axis->tail_count));
            any = true;
        }
    if (!any) return Ok{};
    const double need = (product - 1.0) * static_cast<double>(coefficient_count) * 8.0;
    if (need > TAILS_LIMIT_BYTES)
        return value_error(text::format(
            "the integral tails would need {} GiB of memory (limit {} GiB): integrate along fewer axes, use lower "
            "integral orders, or use a smaller grid",
            text::one_decimal(need * 0x1p-30), TAILS_LIMIT_BYTES * 0x1p-30));
    return Ok{};
}

// ---------------------------------------------------------------------------
// Evaluation: one point after another, axis by axis.

struct OutsideRange {
    std::size_t point;
    std::size_t axis;
};

// Where a coordinate falls along one axis: its stencil start and offset.
struct Location {
    std::ptrdiff_t start;
    double t;
};

class PointReader {
public:
    PointReader(const ArrayView& points) : points_(points) {}
    std::size_t count() const { return points_.shape[0]; }
    double at(std::size_t p, std::size_t a) const {
        return points_.data[static_cast<std::ptrdiff_t>(p) * points_.strides[0] +
                            static_cast<std::ptrdiff_t>(a) * points_.strides[1]];
    }

private:
    const ArrayView& points_;
};

// Cell index clamped to the intervals between knots: lo is the first, hi the last.
bool locate(const GridAxis& axis, std::size_t half_width, double x, Location& where) {
    if (x < axis.first_knot || x > axis.last_knot) return false;
    const double lo = static_cast<double>(half_width - 1);
    const double hi = static_cast<double>(axis.extended_len - half_width - 1);
    const double u = (x - axis.origin) / axis.spacing;
    const double c = cell_index(u, lo, hi);
    where.t = u - c;
    where.start = static_cast<std::ptrdiff_t>(c) - static_cast<std::ptrdiff_t>(half_width - 1);
    return true;
}

// Weights of an axis without an integral: the column polynomials at
// tau = 1 - t, or for "a0" the nearer knot (NaN for a NaN offset).
template <std::size_t W>
void plain_weights(const GridAxis& axis, bool nearest, double t, double (&w)[W]) {
    if (nearest) {
        w[0] = t < 0.5 ? 1.0 : t >= 0.5 ? 0.0 : t;
        w[1] = t < 0.5 ? 0.0 : t >= 0.5 ? 1.0 : t;
        return;
    }
    column_weights(axis.column_rows, 1.0 - t, w);
}

// sum over the W^N stencil from `base`, axis a outermost, each axis summed in
// ascending order with fused multiply-adds from 0.0.
template <std::size_t W>
double contract(const InterpolantND& f, std::size_t a, std::size_t base, const double (*w)[W]) {
    const double* coefficients = f.coefficients.data();
    double acc = 0.0;
    if (a + 1 == f.grid.size()) {
        for (std::size_t j = 0; j < W; ++j) acc = fused(coefficients[base + j], w[a][j], acc);
        return acc;
    }
    const std::size_t stride = f.grid[a].stride;
    for (std::size_t j = 0; j < W; ++j) acc = fused(contract<W>(f, a + 1, base + j * stride, w), w[a][j], acc);
    return acc;
}

// The same over the axes outside the region; along the region axes the single
// position in `base` (just before the stencil) carries everything to its left
// through the tails, dotted with the powers of the offsets.
template <std::size_t W>
double contract_region(const InterpolantND& f, const Region& region, std::size_t a, std::size_t base,
                       const double (*w)[W], const double* powers) {
    while (a < f.grid.size() && region.in_region[a]) ++a;
    double acc = 0.0;
    if (a < f.grid.size()) {
        const std::size_t stride = f.grid[a].stride;
        for (std::size_t j = 0; j < W; ++j)
            acc = fused(contract_region<W>(f, region, a + 1, base + j * stride, w, powers), w[a][j], acc);
        return acc;
    }
    const double* tails = region.tails.data() + base * region.block_len;
    for (std::size_t q = 0; q < region.block_len; ++q) acc = fused(tails[q], powers[q], acc);
    return acc;
}

// out[0 ...] = products of offsets[a]^j over the listed axes, the last fastest.
void fill_powers(std::span<const std::size_t> axes, const std::vector<GridAxis>& grid, const double* offsets,
                 double* out) {
    out[0] = 1.0;
    std::size_t m = 1;
    for (std::size_t a : axes) {
        const std::size_t k = grid[a].integral ? grid[a].integral->tail_count : 1;
        const double x = offsets[a];
        if (m > 0 && k > 0)
            for (std::size_t p = m; p-- > 0;) {
                const double v = out[p];
                double power = 1.0;
                for (std::size_t q = 0; q < k; ++q) {
                    out[p * k + q] = v * power;
                    power = power * x;
                }
            }
        m *= k;
    }
}

template <std::size_t W>
std::optional<OutsideRange> evaluate_fast(const InterpolantND& f, const ArrayView& points, double* out) {
    const PointReader reader(points);
    const std::size_t n_axes = f.grid.size();
    std::vector<double> table(n_axes * W);
    auto* w = reinterpret_cast<double(*)[W]>(table.data());
    for (std::size_t p = 0; p < reader.count(); ++p) {
        std::size_t base = 0;
        for (std::size_t a = 0; a < n_axes; ++a) {
            Location where;
            if (!locate(f.grid[a], f.half_width, reader.at(p, a), where)) return OutsideRange{p, a};
            column_weights(f.grid[a].column_rows, 1.0 - where.t, w[a]);
            base += static_cast<std::size_t>(where.start) * f.grid[a].stride;
        }
        out[p] = contract<W>(f, 0, base, w) * f.scale;
    }
    return std::nullopt;
}

std::optional<OutsideRange> evaluate_nearest(const InterpolantND& f, const ArrayView& points, double* out) {
    const PointReader reader(points);
    for (std::size_t p = 0; p < reader.count(); ++p) {
        std::size_t index = 0;
        bool undefined = false;
        for (std::size_t a = 0; a < f.grid.size(); ++a) {
            Location where;
            if (!locate(f.grid[a], f.half_width, reader.at(p, a), where)) return OutsideRange{p, a};
            const std::size_t nearer = static_cast<std::size_t>(where.start) + (where.t < 0.5 ? 0 : 1);
            index += nearer * f.grid[a].stride;
            undefined = undefined || std::isnan(where.t);
        }
        out[p] = undefined ? std::numeric_limits<double>::quiet_NaN() : f.coefficients[index];
    }
    return std::nullopt;
}

template <std::size_t W>
std::optional<OutsideRange> evaluate_general(const InterpolantND& f, const ArrayView& points, double* out) {
    const PointReader reader(points);
    const std::size_t n_axes = f.grid.size();
    std::vector<double> table(n_axes * W);
    auto* w = reinterpret_cast<double(*)[W]>(table.data());
    std::vector<std::ptrdiff_t> starts(n_axes);
    std::vector<double> offsets(n_axes);
    std::vector<std::vector<double>> powers;
    for (const Region& region : f.regions) powers.emplace_back(std::max<std::size_t>(region.block_len, 1), 0.0);

    for (std::size_t p = 0; p < reader.count(); ++p) {
        std::size_t base = 0;
        for (std::size_t a = 0; a < n_axes; ++a) {
            const GridAxis& axis = f.grid[a];
            Location where;
            if (!locate(axis, f.half_width, reader.at(p, a), where)) return OutsideRange{p, a};
            if (axis.integral)
                weights(*axis.integral, where.start, where.t, w[a]);
            else
                plain_weights(axis, f.nearest, where.t, w[a]);
            starts[a] = where.start;
            offsets[a] = where.t;
            base += static_cast<std::size_t>(where.start) * axis.stride;
        }
        double total = contract<W>(f, 0, base, w);
        for (std::size_t r = 0; r < f.regions.size(); ++r) {
            const Region& region = f.regions[r];
            // A region contributes only where the stencil leaves coefficients
            // to its left along every region axis.
            std::size_t shift = 0;
            bool at_first_cell = false;
            for (std::size_t a : region.region_axes) {
                at_first_cell = at_first_cell || starts[a] == 0;
                shift += f.grid[a].stride;
            }
            if (at_first_cell) continue;
            fill_powers(region.region_axes, f.grid, offsets.data(), powers[r].data());
            total = total + contract_region<W>(f, region, 0, base - shift, w, powers[r].data());
        }
        out[p] = total * f.scale;
    }
    return std::nullopt;
}

}  // namespace

Result<std::vector<Region>> build_regions(std::span<const double> coefficients,
                                          std::span<const IntegralAxis* const> integrals,
                                          std::span<const std::size_t> shape, std::span<const std::size_t> strides) {
    if (auto ok = check_tails_memory(integrals, coefficients.size()); !ok) return ok.error();
    std::vector<std::size_t> integral_axes;
    for (std::size_t a = 0; a < integrals.size(); ++a)
        if (integrals[a] != nullptr) integral_axes.push_back(a);

    std::vector<Region> regions;
    const std::size_t masks = std::size_t{1} << integral_axes.size();
    for (std::size_t mask = 1; mask < masks; ++mask) {
        Region region;
        region.in_region.assign(integrals.size(), 0);
        for (std::size_t bit = 0; bit < integral_axes.size(); ++bit)
            if (mask & (std::size_t{1} << bit)) {
                region.region_axes.push_back(integral_axes[bit]);
                region.in_region[integral_axes[bit]] = 1;
            }
        // Accumulate along each region axis in turn, the terms of the
        // earlier axes riding along as inner blocks.
        Buffer data;
        std::span<const double> source = coefficients;
        std::size_t inner = 1;
        for (std::size_t a : region.region_axes) {
            data = extend_tails(*integrals[a], source, inner, shape[a], strides[a]);
            source = data.span();
            inner *= integrals[a]->tail_count;
        }
        region.tails = std::move(data);
        region.block_len = inner;
        regions.push_back(std::move(region));
    }
    return regions;
}

Result<InterpolantND> InterpolantND::create(std::span<const ArrayView> knots, const ArrayView& values,
                                            std::string_view kernel, std::span<const BoundaryNames> bcs,
                                            std::span<const std::int32_t> derivatives) {
    const std::size_t n_axes = values.ndim();
    if (n_axes == 0) return value_error("the data must have at least one axis");
    if (knots.size() != n_axes || bcs.size() != n_axes || derivatives.size() != n_axes)
        return value_error(text::format(
            "{}-dimensional data need {} knot vectors, boundary condition pairs and derivative orders (got {}, {} "
            "and {})",
            n_axes, n_axes, knots.size(), bcs.size(), derivatives.size()));

    const auto max_d = max_derivative(kernel);
    if (!max_d) return value_error(text::format("unknown kernel {}", text::quoted(kernel)));
    const auto max_i = max_integral(kernel);
    if (!max_i) return value_error(text::format("unknown kernel {}", text::quoted(kernel)));
    InterpolantND f;
    f.nearest = is_nearest(kernel);
    const auto half_width = stencil_half_width(kernel);
    if (!half_width) return half_width.error();
    f.half_width = *half_width;
    f.columns = 2;

    for (std::size_t i = 0; i < n_axes; ++i) {
        auto axis = grid_axis(i, knots[i], values.shape[i], f.half_width);
        if (!axis) return axis.error();
        const std::int32_t d = derivatives[i];
        if (d > 0 && static_cast<std::uint32_t>(d) > *max_d)
            return value_error(text::format("axis {}: kernel {} supports derivatives up to order {}, got {}", i,
                                            text::quoted(kernel), *max_d, d));
        const std::uint32_t k = integral_order(d);
        if (k > *max_i)
            return value_error(text::format(
                "axis {}: kernel {} supports integrals up to order {} (derivative = -{}), got derivative = {}", i,
                text::quoted(kernel), *max_i, *max_i, d));
        if (!f.nearest) {
            const auto table = column_table(kernel, d);
            if (!table) return value_error(text::format("no table for kernel {}, order {}", text::quoted(kernel), d));
            f.columns = table->ncols;
            if (k == 0) axis->column_rows = pad_values({table->coefficients, table->count}, table->ncols);
        }
        if (k > 0) {
            auto integral = IntegralAxis::create(kernel, k);
            if (!integral) return integral.error();
            axis->integral = std::move(*integral);
        }
        f.grid.push_back(std::move(*axis));
    }

    const auto pairs = parse_boundary_pairs(bcs);
    if (!pairs) return pairs.error();
    // Every refusal of the extension and of the tails comes before the
    // extended array is allocated.
    const auto shape = extended_shape(values.shape, kernel, *pairs);
    if (!shape) return shape.error();
    std::vector<const IntegralAxis*> integrals;
    for (const GridAxis& axis : f.grid) integrals.push_back(axis.integral ? &*axis.integral : nullptr);
    std::size_t count = 1;
    for (std::size_t len : *shape) count *= len;
    if (auto ok = check_tails_memory(integrals, count); !ok) return ok.error();

    auto extended = extended_coefficients_nd(values, kernel, *pairs);
    if (!extended) return extended.error();
    f.coefficients = std::move(extended->values);
    std::vector<std::size_t> strides(n_axes, 1);
    for (std::size_t a = n_axes - 1; a > 0; --a) strides[a - 1] = (*shape)[a] * strides[a];
    for (std::size_t a = 0; a < n_axes; ++a) {
        f.grid[a].extended_len = (*shape)[a];
        f.grid[a].stride = strides[a];
    }
    auto regions = build_regions(f.coefficients.span(), integrals, *shape, strides);
    if (!regions) return regions.error();
    f.regions = std::move(*regions);

    for (std::size_t a = 0; a < n_axes; ++a) {
        const std::int32_t d = derivatives[a];
        const double factor = d < 0 ? integer_power(f.grid[a].spacing, integral_order(d))
                                    : integer_power(-1.0 / f.grid[a].spacing, static_cast<std::uint32_t>(d));
        f.scale = f.scale * factor;
    }
    return f;
}

Result<NdBuffer> InterpolantND::evaluate(const ArrayView& points) const {
    const std::size_t n_points = points.shape[0];
    if (points.shape[1] != grid.size())
        return value_error(
            text::format("points must have {} coordinates each, got {}", grid.size(), points.shape[1]));
    const bool integrates = !regions.empty();  // one region at least per integral axis
    Buffer out;
    auto evaluated = [&](auto evaluator) {
        out = Buffer(n_points);
        return evaluator(*this, points, out.data());
    };
    const Result<std::optional<OutsideRange>> done =
        integrates ? with_width(columns, [&](auto w) { return evaluated(evaluate_general<w()>); })
        : nearest  ? Result<std::optional<OutsideRange>>(evaluated(evaluate_nearest))
                   : with_width(columns, [&](auto w) { return evaluated(evaluate_fast<w()>); });
    if (!done) return done.error();
    if (const auto& outside = *done) {
        const GridAxis& axis = grid[outside->axis];
        return value_error(text::format("coordinate {} on axis {} lies outside the data range [{}, {}]",
                                        PointReader(points).at(outside->point, outside->axis), outside->axis,
                                        axis.first_knot, axis.last_knot));
    }
    return NdBuffer{std::move(out), {n_points}};
}

}  // namespace quorvel
