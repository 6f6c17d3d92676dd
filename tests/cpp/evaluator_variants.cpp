// Every instruction-set variant of the evaluators gives the same bits as the
// portable one: all kernels and orders, one to four dimensions, point counts
// that leave partial blocks, strided and reversed points, both ends of the
// range, NaN, points in the first cells of integral axes, and the first point
// outside the range.  It also prints a digest of the portable results, which
// every compiler and processor must reproduce (.ci/run compares its builds):
// the data are drawn without the math library, whose last bits may differ.
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <limits>
#include <random>
#include <vector>

#include "dispatch.hpp"
#include "interpolant.hpp"
#include "interpolant_nd.hpp"
#include "kernels.hpp"

using namespace quorvel;

namespace {

const char* const KERNELS[] = {"a0", "a1", "a3", "a4", "a5", "a7", "b5", "b7", "b9", "b11", "b13"};
int failures = 0;
std::uint64_t digest = 0xcbf29ce484222325;

// Folds the bits of the values into the digest (FNV-1a), every NaN as one:
// processors differ in the NaN that an operation on NaNs returns.
void fold(const std::vector<double>& values) {
    for (double v : values) {
        std::uint64_t bits;
        const double canonical = std::isnan(v) ? std::numeric_limits<double>::quiet_NaN() : v;
        std::memcpy(&bits, &canonical, sizeof bits);
        for (int byte = 0; byte < 8; ++byte) digest = (digest ^ ((bits >> (8 * byte)) & 0xFF)) * 0x100000001b3;
    }
}

void check(bool ok, const char* format, ...) {
    if (ok) return;
    ++failures;
    std::va_list args;
    va_start(args, format);
    std::printf("FAIL ");
    std::vprintf(format, args);
    std::printf("\n");
    va_end(args);
}

// Points on [lo, hi] with a stride: the ends, NaN, the first cells, random.
std::vector<double> make_points(std::mt19937_64& rng, double lo, double hi, double h, std::size_t count) {
    std::uniform_real_distribution<double> uniform(lo, hi);
    std::vector<double> p(count);
    for (double& x : p) x = uniform(rng);
    const double special[] = {lo, hi, std::nan(""), lo + 0.5 * h, lo + 1.5 * h, lo + 2.5 * h, lo + 3.7 * h,
                              std::nextafter(hi, lo), hi - 0.5 * h};
    for (std::size_t i = 0; i < std::size(special) && i * 7 < count; ++i) p[i * 7] = std::min(hi, special[i]);
    return p;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Data of one field, or of several side by side (a trailing value axis).
void compare_1d(std::mt19937_64& rng, const char* kernel, std::int32_t order, std::size_t fields) {
    const std::size_t n = 40;
    std::vector<double> x(n), y(n * fields);
    std::uniform_real_distribution<double> data(-1.0, 1.0);
    for (std::size_t i = 0; i < n; ++i) x[i] = -2.0 + 0.25 * static_cast<double>(i);
    for (double& v : y) v = data(rng);
    const std::size_t shape[] = {n, fields};
    const std::ptrdiff_t strides[] = {static_cast<std::ptrdiff_t>(fields), 1};
    const ArrayView xv{x.data(), {shape, 1}, {strides + 1, 1}, true};
    const ArrayView yv{y.data(), {shape, fields > 1 ? 2u : 1u}, {strides + (fields > 1 ? 0 : 1), fields > 1 ? 2u : 1u},
                       true};
    auto f = Interpolant1D::create(xv, yv, kernel, "detect", "poly", order, {1, fields > 1 ? 1u : 0u, false});
    if (!f) return;  // an order the kernel does not have
    // Points beyond both ends for the modes that take them.
    for (const RangeMode mode : {RangeMode::raise, RangeMode::nan, RangeMode::clip})
        for (std::size_t count : {0u, 1u, 7u, 8u, 9u, 333u}) {
            const double reach = mode == RangeMode::raise ? 0.0 : 1.0;
            const std::vector<double> raw =
                make_points(rng, x.front() - reach, x.back() + reach, 0.25, 2 * count + 1);
            for (std::ptrdiff_t stride : {1, 2, -1}) {
                const double* start = stride < 0 ? raw.data() + count - 1 : raw.data();
                const StridedValues points{start, count, stride};
                std::vector<double> reference(count * fields);
                const auto variants = supported_evaluators();
                const OutsideRange expected = variants[0].evaluate_1d(*f, points, mode, reference.data());
                check(expected.point == OutsideRange::none, "portable evaluation refused a point in range");
                fold(reference);
                for (const Evaluators& variant : variants.subspan(1)) {
                    std::vector<double> got(count * fields);
                    const OutsideRange outside = variant.evaluate_1d(*f, points, mode, got.data());
                    check(outside.point == OutsideRange::none && same_bits(got, reference),
                          "%s 1-D %s order %d fields %zu mode %d count %zu stride %td", variant.name, kernel, order,
                          fields, static_cast<int>(mode), count, stride);
                }
            }
        }
    // The first point outside the range is the one reported.
    std::vector<double> p = make_points(rng, x.front(), x.back(), 0.25, 50);
    p[21] = x.back() + 1.0;
    p[37] = x.front() - 1.0;
    std::vector<double> out(p.size() * fields);
    for (const Evaluators& variant : supported_evaluators()) {
        const OutsideRange outside = variant.evaluate_1d(*f, {p.data(), p.size(), 1}, RangeMode::raise, out.data());
        check(outside.point == 21, "%s 1-D first point outside the range", variant.name);
    }
}

void compare_nd(std::mt19937_64& rng, const char* kernel, const std::vector<std::int32_t>& orders,
                std::size_t fields) {
    const std::size_t dims = orders.size();
    const std::size_t n[] = {9, 7, 6, 5};
    std::vector<std::vector<double>> knots(dims);
    std::vector<std::size_t> shape(dims);
    std::size_t total = fields;
    for (std::size_t a = 0; a < dims; ++a) {
        shape[a] = n[a];
        total *= n[a];
        for (std::size_t i = 0; i < n[a]; ++i) knots[a].push_back(1.0 + 0.5 * static_cast<double>(i));
    }
    if (fields > 1) shape.push_back(fields);
    std::vector<double> values(total);
    std::uniform_real_distribution<double> data(-1.0, 1.0);
    for (double& v : values) v = data(rng);
    std::vector<std::ptrdiff_t> strides(shape.size(), 1);
    for (std::size_t a = shape.size() - 1; a > 0; --a)
        strides[a - 1] = strides[a] * static_cast<std::ptrdiff_t>(shape[a]);
    const std::ptrdiff_t unit[] = {1};
    std::vector<ArrayView> knot_views;
    for (std::size_t a = 0; a < dims; ++a) knot_views.push_back({knots[a].data(), {&shape[a], 1}, unit, true});
    std::vector<BoundaryNames> bcs(dims, {"detect", "poly"});
    auto f = InterpolantND::create(knot_views, {values.data(), shape, strides, true}, kernel, bcs, orders,
                                   {1, fields > 1 ? 1u : 0u, false});
    if (!f) {
        std::printf("%s\n", f.error().message.c_str());
        return;
    }
    const auto order = [&](std::size_t a) { return a < dims ? orders[a] : 0; };

    // Many points in four dimensions cost much (W^4 terms each) and add nothing
    // that 20, two whole blocks of every width and a partial one, do not.
    const std::size_t many = dims < 4 ? 200 : 20;
    for (const RangeMode mode : {RangeMode::raise, RangeMode::nan, RangeMode::clip})
    for (std::size_t count : {std::size_t{1}, std::size_t{8}, std::size_t{13}, many}) {
        // Column-major points: coordinate a of point p at a * count + p.
        const double reach = mode == RangeMode::raise ? 0.0 : 0.7;
        std::vector<double> p;
        for (std::size_t a = 0; a < dims; ++a) {
            const auto column = make_points(rng, knots[a].front() - reach, knots[a].back() + reach, 0.5, count);
            p.insert(p.end(), column.begin(), column.end());
        }
        const std::size_t point_shape[] = {count, dims};
        const std::ptrdiff_t point_strides[] = {1, static_cast<std::ptrdiff_t>(count)};
        const ArrayView points{p.data(), point_shape, point_strides, false};
        const auto variants = supported_evaluators();
        std::vector<double> reference(count * fields);
        check(variants[0].evaluate_nd(*f, points, mode, reference.data()).point == OutsideRange::none,
              "portable N-D evaluation refused a point in range");
        fold(reference);
        for (const Evaluators& variant : variants.subspan(1)) {
            std::vector<double> got(count * fields);
            const OutsideRange outside = variant.evaluate_nd(*f, points, mode, got.data());
            check(outside.point == OutsideRange::none && same_bits(got, reference),
                  "%s %zu-D %s orders %d %d %d %d fields %zu mode %d count %zu", variant.name, dims, kernel,
                  order(0), order(1), order(2), order(3), fields, static_cast<int>(mode), count);
        }
        if (count == 13 && mode == RangeMode::raise) {
            p[(dims - 1) * count + 9] = 1e9;  // point 9 leaves the last axis
            for (const Evaluators& variant : variants) {
                const OutsideRange outside = variant.evaluate_nd(*f, points, mode, reference.data());
                check(outside.point == 9 && outside.axis == dims - 1, "%s N-D first point outside the range",
                      variant.name);
            }
        }
    }
}

// The evaluations the engine adds: periodic axes (coordinates far outside,
// wrapped), grid products, and gradients and Hessians together.
void compare_engine_paths(std::mt19937_64& rng, const char* kernel, std::size_t dims, bool periodic) {
    const std::size_t n[] = {9, 8, 7};
    std::vector<std::vector<double>> knots(dims);
    std::vector<std::size_t> shape(dims);
    std::size_t total = 1;
    for (std::size_t a = 0; a < dims; ++a) {
        shape[a] = n[a];
        total *= n[a];
        for (std::size_t i = 0; i < n[a]; ++i) knots[a].push_back(0.25 * static_cast<double>(i));
    }
    std::vector<double> values(total);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    for (double& v : values) v = uniform(rng);
    std::vector<std::ptrdiff_t> strides(dims, 1);
    for (std::size_t a = dims - 1; a > 0; --a) strides[a - 1] = strides[a] * static_cast<std::ptrdiff_t>(shape[a]);
    const std::ptrdiff_t unit[] = {1};
    std::vector<ArrayView> knot_views;
    for (std::size_t a = 0; a < dims; ++a) knot_views.push_back({knots[a].data(), {&shape[a], 1}, unit, true});
    std::vector<BoundaryNames> bcs(dims, {"detect", "poly"});
    if (periodic) bcs[0] = {"periodic", "periodic"};
    const ArrayView data{values.data(), shape, strides, true};
    const std::int32_t top = static_cast<std::int32_t>(*max_derivative(kernel));
    const auto variants = supported_evaluators();

    auto value = InterpolantND::create(knot_views, data, kernel, bcs, std::vector<std::int32_t>(dims, 0),
                                       {1, 0, true});
    if (!value) return;

    const std::size_t count = 77;
    std::vector<double> p(count * dims);
    std::uniform_real_distribution<double> wide(-5.0, 7.0);
    for (double& x : p) x = wide(rng);
    const std::size_t point_shape[] = {count, dims};
    const std::ptrdiff_t point_strides[] = {static_cast<std::ptrdiff_t>(dims), 1};
    const ArrayView points{p.data(), point_shape, point_strides, true};
    const auto same_everywhere = [&](std::size_t size, auto evaluate, const char* what) {
        std::vector<double> reference(size);
        evaluate(variants[0], reference.data());
        for (const Evaluators& variant : variants.subspan(1)) {
            std::vector<double> got(size);
            evaluate(variant, got.data());
            check(same_bits(got, reference), "%s %s %s %zu-D periodic %d", variant.name, what, kernel, dims,
                  periodic);
        }
    };
    same_everywhere(count, [&](const Evaluators& v, double* out) { v.evaluate_nd(*value, points, RangeMode::nan, out); },
                    "wrapped points");

    std::vector<std::vector<double>> vectors(dims);
    std::vector<StridedValues> product;
    std::size_t size = 1;
    for (std::size_t a = 0; a < dims; ++a) {
        for (std::size_t k = 0; k < 5 + a; ++k)
            vectors[a].push_back(knots[a].front() + (knots[a].back() - knots[a].front()) * (k * 0.37 - 0.3 * (k % 2)));
        for (double& x : vectors[a]) x = std::clamp(x, knots[a].front(), knots[a].back());
        product.push_back({vectors[a].data(), vectors[a].size(), 1});
        size *= vectors[a].size();
    }
    same_everywhere(size, [&](const Evaluators& v, double* out) {
        check(static_cast<bool>(v.grid_product(*value, nullptr, product, 2, out)), "%s grid product refused", v.name);
    }, "grid product");

    // The components of the gradient (degree 1) or of the Hessian (b <= c).
    for (unsigned degree : {1u, 2u}) {
        if (top < static_cast<std::int32_t>(degree)) continue;
        std::vector<InterpolantND> outputs;
        for (std::size_t b = 0; b < dims; ++b)
            for (std::size_t c = degree == 1 ? dims - 1 : b; c < dims; ++c) {
                std::vector<std::int32_t> orders(dims, 0);
                ++orders[b];
                if (degree == 2) ++orders[c];
                auto f = InterpolantND::create(knot_views, data, kernel, bcs, orders, {1, 0, true});
                outputs.push_back(std::move(*f));
            }
        std::vector<const InterpolantND*> chosen;
        for (const InterpolantND& f : outputs) chosen.push_back(&f);
        same_everywhere(count * chosen.size(), [&](const Evaluators& v, double* out) {
            v.evaluate_derivatives(chosen, degree, points, RangeMode::clip, out);
        }, degree == 1 ? "gradient" : "Hessian");
    }
}

}  // namespace

int main() {
    std::mt19937_64 rng(20261206);
    std::printf("variants:");
    for (const Evaluators& variant : supported_evaluators()) std::printf(" %s", variant.name);
    std::printf("\n");
    for (const char* kernel : KERNELS) {
        const std::int32_t max_d = static_cast<std::int32_t>(*max_derivative(kernel));
        const std::int32_t max_i = static_cast<std::int32_t>(*max_integral(kernel));
        for (std::int32_t order = -max_i; order <= max_d; ++order)
            for (std::size_t fields : {1u, 2u, 3u, 4u, 6u}) compare_1d(rng, kernel, order, fields);
        const std::int32_t low = -std::min(max_i, 2);
        for (const auto& orders : std::vector<std::vector<std::int32_t>>{
                 {0}, {max_d}, {-max_i}, {0, 0}, {max_d, low}, {low, 0}, {-1, -1}, {0, 0, 0}, {low, max_d, -1},
                 {-1, -1, -1}, {0, max_d, 0, 0}, {0, 0, low, 0}})
            for (std::size_t fields : {1u, 2u, 3u, 4u, 6u}) compare_nd(rng, kernel, orders, fields);
        if (!is_nearest(kernel))
            for (std::size_t dims : {2u, 3u})
                for (bool periodic : {false, true}) compare_engine_paths(rng, kernel, dims, periodic);
    }
    std::printf("portable results digest %016llx\n", static_cast<unsigned long long>(digest));
    std::printf("%d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
