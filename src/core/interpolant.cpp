#include "interpolant.hpp"

#include <cmath>
#include <span>

#include "coefficients.hpp"
#include "compensated.hpp"
#include "dispatch.hpp"
#include "kernels.hpp"
#include "text.hpp"
#include "width_family.hpp"

namespace quorvel {
namespace {

Error too_wide() { return value_error("knots span too wide a range"); }

// The knots x[0] ... x[n-1]: finite, increasing and uniformly spaced within
// 1e-8 of the spacing.  Gives the spacing.
Result<double> knot_spacing(const double* x, std::size_t n) {
    const KnotSummary knots = summarize_knots(x, n);
    if (!knots.finite) return value_error("knots must be finite numbers (no NaN or infinity)");
    if (!(knots.spacing > 0.0)) return value_error("knots must be increasing");
    if (!std::isfinite(knots.spacing)) return too_wide();
    if (!knots.uniform) return value_error("knots must be uniformly spaced");
    return knots.spacing;
}

}  // namespace

KnotSummary summarize_knots(const double* x, std::size_t n) {
    KnotSummary knots;
    knots.spacing = (x[n - 1] - x[0]) / static_cast<double>(n - 1);
    const double tolerance = knots.spacing * 1e-8;
    // One pass for both tests; the callers report them in their order.
    // x - x is 0 exactly for finite x.
    bool not_finite = false, off_grid = false;
    for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(n); ++i) {
        const double ideal = x[0] + knots.spacing * static_cast<double>(i);
        not_finite |= !(x[i] - x[i] == 0.0);
        off_grid |= std::fabs(x[i] - ideal) > tolerance;
    }
    knots.finite = !not_finite;
    knots.uniform = !off_grid;
    return knots;
}

bool extended_ends_exact(double first, double last, double spacing, std::size_t ghosts) {
    const double g = static_cast<double>(ghosts);
    const double reach = spacing * g;
    const double reach_error = product_error(spacing, g, reach);
    // The ends as the interpolants compute them, and how far each is from
    // its exact value.
    const double origin = first - reach;
    const double far_end = last + reach;
    const double origin_off = sum_error(first, -reach, origin) - reach_error;
    const double far_end_off = sum_error(last, reach, far_end) + reach_error;
    const double limit = spacing * 1e-3;
    return std::fabs(origin_off) <= limit && std::fabs(far_end_off) <= limit;
}

double integer_power(double base, std::uint32_t exponent) {
    double result = 1.0;
    while (true) {
        if (exponent & 1u) result = result * base;
        exponent >>= 1;
        if (exponent == 0) return result;
        base = base * base;
    }
}

namespace {

// The order's refusals and column tables: everything about the order that
// construction checks before it touches the boundary conditions.
Status take_order_tables(Interpolant1D& f, std::string_view kernel, std::int32_t derivative) {
    const auto max_d = max_derivative(kernel);
    const auto max_i = max_integral(kernel);
    if (!max_d || !max_i) return value_error(text::format("unknown kernel {}", text::quoted(kernel)));
    if (derivative > 0 && static_cast<std::uint32_t>(derivative) > *max_d)
        return value_error(text::format("kernel {} supports derivatives up to order {}, got {}",
                                        text::quoted(kernel), *max_d, derivative));
    const std::uint32_t k = integral_order(derivative);
    if (k > *max_i)
        return value_error(
            text::format("kernel {} supports integrals up to order {} (derivative = -{}), got derivative = {}",
                         text::quoted(kernel), *max_i, *max_i, derivative));
    f.kernel = *catalogue_name(kernel);
    f.nearest = is_nearest(kernel);
    f.columns = 2;
    f.column_rows = {};
    if (!f.nearest) {
        const auto table = column_table(kernel, derivative);
        if (!table)
            return value_error(text::format("no table for kernel {}, order {}", text::quoted(kernel), derivative));
        f.columns = table->ncols;
        if (k == 0) f.column_rows = pad_values({table->coefficients, table->count}, table->ncols);
    }
    return Ok{};
}

// The rest of the order, once the coefficients exist: the integral axis with
// its tails, and the scale.
Status take_order_integral(Interpolant1D& f, std::int32_t derivative) {
    const std::uint32_t k = integral_order(derivative);
    if (k > 1 && f.period > 0)
        return value_error(text::format("a periodic axis has antiderivatives of order 1 only, got derivative = {}",
                                        derivative));
    f.integral.reset();
    f.tails = Buffer();
    if (k > 0) {
        auto axis = IntegralAxis::create(f.kernel, k);
        if (!axis) return axis.error();
        f.integral = std::move(*axis);
        const Buffer& coefficients = *f.coefficients;
        f.tails = extend_tails(*f.integral, coefficients.span(), f.channels, coefficients.size() / f.channels, 1);
        f.scale = integer_power(f.spacing, k);
    } else {
        f.scale = integer_power(-1.0 / f.spacing, static_cast<std::uint32_t>(derivative));
    }
    return Ok{};
}

}  // namespace

Result<Interpolant1D> Interpolant1D::create(const ArrayView& x, const ArrayView& values, std::string_view kernel,
                                            std::string_view bc_left, std::string_view bc_right,
                                            std::int32_t derivative) {
    if (auto ok = require_contiguous(x); !ok) return ok.error();
    if (auto ok = require_contiguous(values); !ok) return ok.error();
    return create(x, values, kernel, bc_left, bc_right, derivative, {});
}

Result<Interpolant1D> Interpolant1D::create(const ArrayView& x, const ArrayView& values, std::string_view kernel,
                                            std::string_view bc_left, std::string_view bc_right,
                                            std::int32_t derivative, const BuildOptions& options) {
    if (auto ok = require_contiguous(x); !ok) return ok.error();
    const std::size_t n = x.size();
    if (n < 2 || values.ndim() != 1 + options.field_axes || values.shape[0] != n)
        return value_error("need at least 2 knots, and as many values as knots");
    const auto h = knot_spacing(x.data, n);
    if (!h) return h.error();

    Interpolant1D f;
    if (auto ok = take_order_tables(f, kernel, derivative); !ok) return ok.error();

    const BoundaryNames names{bc_left, bc_right};
    const auto pair = parse_boundary_pairs({&names, 1}, options.periodic);
    if (!pair) return pair.error();
    auto extended = extended_coefficients_nd(values, kernel, *pair, options.field_axes);
    if (!extended) return extended.error();
    f.coefficients = std::make_shared<const Buffer>(std::move(extended->values));
    f.channels = values.size() / n;
    const auto half_width = stencil_half_width(kernel);
    if (!half_width) return half_width.error();
    f.half_width = *half_width;
    f.spacing = *h;
    f.first_knot = x.data[0];
    f.last_knot = x.data[n - 1];
    f.origin = f.first_knot - f.spacing * static_cast<double>(f.half_width - 1);
    // Points are located relative to the origin; both ends of the extended
    // grid must be representable, each within a thousandth of a spacing.
    if (!std::isfinite(f.origin) || !std::isfinite(f.last_knot - f.origin) ||
        !extended_ends_exact(f.first_knot, f.last_knot, f.spacing, f.half_width - 1))
        return too_wide();
    if ((*pair)[0].left == Boundary::Periodic) {
        f.period = static_cast<double>(n) * f.spacing;
        if (!std::isfinite(f.first_knot + f.period)) return too_wide();
    }

    if (auto ok = take_order_integral(f, derivative); !ok) return ok.error();
    return f;
}

Result<Interpolant1D> Interpolant1D::with_order(std::int32_t derivative) const {
    Interpolant1D f;
    f.coefficients = coefficients;
    f.origin = origin;
    f.spacing = spacing;
    f.half_width = half_width;
    f.first_knot = first_knot;
    f.last_knot = last_knot;
    f.period = period;
    f.channels = channels;
    if (auto ok = take_order_tables(f, kernel, derivative); !ok) return ok.error();
    if (auto ok = take_order_integral(f, derivative); !ok) return ok.error();
    return f;
}

Status Interpolant1D::check_width() const {
    if (!nearest || integral)  // the nearest-knot evaluator has no width
        if (!has_evaluator(columns))
            return value_error(text::format("no evaluator for a kernel with {} columns", columns));
    return Ok{};
}

Error Interpolant1D::outside(double point) const {
    return value_error(
        text::format("point {} lies outside the data range [{}, {}]", point, first_knot, last_knot));
}

Result<NdBuffer> Interpolant1D::evaluate(const ArrayView& points) const {
    if (auto ok = check_width(); !ok) return ok.error();
    const StridedValues p{points.data, points.shape[0], points.strides[0]};
    Buffer out(p.size);
    const OutsideRange found = evaluators().evaluate_1d(*this, p, RangeMode::raise, out.data());
    if (found.point != OutsideRange::none) return outside(p[found.point]);
    return NdBuffer{std::move(out), {p.size}};
}

}  // namespace quorvel
