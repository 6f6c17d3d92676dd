#include "interpolant_nd.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "dispatch.hpp"
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
    const KnotSummary summary = summarize_knots(knots.data, n);
    if (!summary.finite)
        return value_error(text::format("axis {}: knots must be finite numbers (no NaN or infinity)", i));
    GridAxis axis;
    axis.spacing = summary.spacing;
    if (!(axis.spacing > 0.0)) return value_error(text::format("axis {}: knots must be increasing", i));
    axis.first_knot = knots.data[0];
    axis.last_knot = knots.data[n - 1];
    axis.origin = axis.first_knot - axis.spacing * static_cast<double>(half_width - 1);
    // Points are located relative to the origin: the spacing and both ends of
    // the extended axis must be representable, each within a thousandth of a
    // spacing.
    if (!std::isfinite(axis.spacing) || !std::isfinite(axis.origin) ||
        !std::isfinite(axis.last_knot - axis.origin) ||
        !extended_ends_exact(axis.first_knot, axis.last_knot, axis.spacing, half_width - 1))
        return value_error(text::format("axis {}: knots span too wide a range", i));
    if (!summary.uniform) return value_error(text::format("axis {}: knots must be uniformly spaced", i));
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

}  // namespace

Result<std::vector<Region>> build_regions(std::span<const double> coefficients,
                                          std::span<const IntegralAxis* const> integrals,
                                          std::span<const std::size_t> shape, std::span<const std::size_t> strides,
                                          std::size_t threads, std::size_t channels) {
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
        std::size_t inner = channels;
        for (std::size_t a : region.region_axes) {
            data = extend_tails(*integrals[a], source, inner, shape[a], strides[a], threads);
            source = data.span();
            inner *= integrals[a]->tail_count;
        }
        region.tails = std::move(data);
        region.block_len = inner / channels;
        regions.push_back(std::move(region));
    }
    return regions;
}

namespace {

// Axis i's derivative order d: its refusals, its column rows and its integral
// axis.  `columns` takes the table's width.
Status take_axis_order(GridAxis& axis, std::size_t i, std::string_view kernel, std::int32_t d, bool nearest,
                       std::size_t& columns) {
    const auto max_d = max_derivative(kernel);
    const auto max_i = max_integral(kernel);
    if (!max_d || !max_i) return value_error(text::format("unknown kernel {}", text::quoted(kernel)));
    if (d > 0 && static_cast<std::uint32_t>(d) > *max_d)
        return value_error(text::format("axis {}: kernel {} supports derivatives up to order {}, got {}", i,
                                        text::quoted(kernel), *max_d, d));
    const std::uint32_t k = integral_order(d);
    if (k > *max_i)
        return value_error(
            text::format("axis {}: kernel {} supports integrals up to order {} (derivative = -{}), got derivative = {}",
                         i, text::quoted(kernel), *max_i, *max_i, d));
    axis.column_rows = {};
    axis.integral.reset();
    if (!nearest) {
        const auto table = column_table(kernel, d);
        if (!table) return value_error(text::format("no table for kernel {}, order {}", text::quoted(kernel), d));
        columns = table->ncols;
        if (k == 0) axis.column_rows = pad_values({table->coefficients, table->count}, table->ncols);
    }
    if (k > 0) {
        auto integral = IntegralAxis::create(kernel, k);
        if (!integral) return integral.error();
        axis.integral = std::move(*integral);
    }
    return Ok{};
}

std::vector<const IntegralAxis*> integral_axes(const std::vector<GridAxis>& grid) {
    std::vector<const IntegralAxis*> integrals;
    for (const GridAxis& axis : grid) integrals.push_back(axis.integral ? &*axis.integral : nullptr);
    return integrals;
}

// The rest of the orders, once the coefficients exist: the regions' tails and
// the scale.
Status take_orders_regions(InterpolantND& f, std::span<const std::int32_t> derivatives, std::size_t threads) {
    std::vector<std::size_t> shape;
    std::vector<std::size_t> strides;  // in grid positions
    for (const GridAxis& axis : f.grid) {
        shape.push_back(axis.extended_len);
        strides.push_back(axis.stride / f.channels);
    }
    const std::span<const double> coefficients = f.coefficients ? f.coefficients->span() : std::span<const double>{};
    auto regions = build_regions(coefficients, integral_axes(f.grid), shape, strides, threads, f.channels);
    if (!regions) return regions.error();
    f.regions = std::move(*regions);

    f.scale = 1.0;
    for (std::size_t a = 0; a < f.grid.size(); ++a) {
        const std::int32_t d = derivatives[a];
        const double factor = d < 0 ? integer_power(f.grid[a].spacing, integral_order(d))
                                    : integer_power(-1.0 / f.grid[a].spacing, static_cast<std::uint32_t>(d));
        f.scale = f.scale * factor;
    }
    return Ok{};
}

}  // namespace

Result<InterpolantND> InterpolantND::create(std::span<const ArrayView> knots, const ArrayView& values,
                                            std::string_view kernel, std::span<const BoundaryNames> bcs,
                                            std::span<const std::int32_t> derivatives,
                                            const BuildOptions& options) {
    const std::size_t field_axes = options.field_axes, threads = options.threads;
    const std::size_t n_axes = values.ndim() - std::min(field_axes, values.ndim());
    if (n_axes == 0) return value_error("the data must have at least one axis");
    if (knots.size() != n_axes || bcs.size() != n_axes || derivatives.size() != n_axes)
        return value_error(text::format(
            "{}-dimensional data need {} knot vectors, boundary condition pairs and derivative orders (got {}, {} "
            "and {})",
            n_axes, n_axes, knots.size(), bcs.size(), derivatives.size()));

    const auto name = catalogue_name(kernel);
    if (!name) return value_error(text::format("unknown kernel {}", text::quoted(kernel)));
    InterpolantND f;
    f.kernel = *name;
    f.nearest = is_nearest(kernel);
    const auto half_width = stencil_half_width(kernel);
    if (!half_width) return half_width.error();
    f.half_width = *half_width;
    f.columns = 2;

    for (std::size_t i = 0; i < n_axes; ++i) {
        auto axis = grid_axis(i, knots[i], values.shape[i], f.half_width);
        if (!axis) return axis.error();
        if (auto ok = take_axis_order(*axis, i, kernel, derivatives[i], f.nearest, f.columns); !ok)
            return ok.error();
        f.grid.push_back(std::move(*axis));
    }

    const auto pairs = parse_boundary_pairs(bcs, options.periodic);
    if (!pairs) return pairs.error();
    for (std::size_t a = 0; a < n_axes; ++a) {
        if ((*pairs)[a].left != Boundary::Periodic) continue;
        GridAxis& axis = f.grid[a];
        axis.period = static_cast<double>(values.shape[a]) * axis.spacing;
        if (!std::isfinite(axis.first_knot + axis.period))
            return value_error(text::format("axis {}: knots span too wide a range", a));
        if (derivatives[a] < -1)
            return value_error(text::format(
                "axis {}: a periodic axis has antiderivatives of order 1 only, got derivative = {}", a,
                derivatives[a]));
    }
    // Every refusal of the extension and of the tails comes before the
    // extended array is allocated.
    const auto shape = extended_shape(values.shape, kernel, *pairs, field_axes);
    if (!shape) return shape.error();
    std::size_t count = 1;
    for (std::size_t len : *shape) count *= len;
    if (auto ok = check_tails_memory(integral_axes(f.grid), count); !ok) return ok.error();

    if (options.hold_data) {
        auto extended = extended_coefficients_nd(values, kernel, *pairs, field_axes, threads);
        if (!extended) return extended.error();
        f.coefficients = std::make_shared<const Buffer>(std::move(extended->values));
    } else if (std::any_of(derivatives.begin(), derivatives.end(), [](std::int32_t d) { return d < 0; })) {
        return panic("antiderivatives need the extended coefficients held");
    }
    for (std::size_t a = n_axes; a < values.ndim(); ++a) f.channels *= values.shape[a];
    std::size_t stride = f.channels;
    for (std::size_t a = n_axes; a-- > 0;) {
        f.grid[a].extended_len = (*shape)[a];
        f.grid[a].stride = stride;
        stride *= (*shape)[a];
    }
    if (auto ok = take_orders_regions(f, derivatives, threads); !ok) return ok.error();
    return f;
}

Result<InterpolantND> InterpolantND::with_orders(std::span<const std::int32_t> derivatives,
                                                 std::size_t threads) const {
    if (derivatives.size() != grid.size())
        return value_error(text::format("{}-dimensional data need {} derivative orders, got {}", grid.size(),
                                        grid.size(), derivatives.size()));
    InterpolantND f;
    f.coefficients = coefficients;
    f.grid = grid;
    f.half_width = half_width;
    f.columns = 2;
    f.nearest = nearest;
    f.kernel = kernel;
    f.channels = channels;
    for (std::size_t i = 0; i < grid.size(); ++i) {
        if (auto ok = take_axis_order(f.grid[i], i, kernel, derivatives[i], f.nearest, f.columns); !ok)
            return ok.error();
        if (f.grid[i].period > 0 && derivatives[i] < -1)
            return value_error(text::format(
                "axis {}: a periodic axis has antiderivatives of order 1 only, got derivative = {}", i,
                derivatives[i]));
    }
    if (auto ok = take_orders_regions(f, derivatives, threads); !ok) return ok.error();
    return f;
}

Status InterpolantND::check_points(const ArrayView& points) const {
    if (points.shape[1] != grid.size())
        return value_error(
            text::format("points must have {} coordinates each, got {}", grid.size(), points.shape[1]));
    if (!nearest || !regions.empty())  // the nearest-knot path has no width
        if (!has_evaluator(columns))
            return value_error(text::format("no evaluator for a kernel with {} columns", columns));
    return Ok{};
}

Error InterpolantND::outside(const ArrayView& points, OutsideRange found) const {
    return outside(points.data[static_cast<std::ptrdiff_t>(found.point) * points.strides[0] +
                               static_cast<std::ptrdiff_t>(found.axis) * points.strides[1]],
                   found.axis);
}

Error InterpolantND::outside(double coordinate, std::size_t axis) const {
    return value_error(text::format("coordinate {} on axis {} lies outside the data range [{}, {}]", coordinate,
                                    axis, grid[axis].first_knot, grid[axis].last_knot));
}

Result<NdBuffer> InterpolantND::evaluate(const ArrayView& points) const {
    if (auto ok = check_points(points); !ok) return ok.error();
    const std::size_t n_points = points.shape[0];
    Buffer out(n_points);
    const OutsideRange found = evaluators().evaluate_nd(*this, points, RangeMode::raise, out.data());
    if (found.point != OutsideRange::none) return outside(points, found);
    return NdBuffer{std::move(out), {n_points}};
}

}  // namespace quorvel
