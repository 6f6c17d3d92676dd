#include "coefficients.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <mutex>
#include <optional>

#include "compensated.hpp"
#include "parallel.hpp"
#include "text.hpp"

namespace quorvel {
namespace {

// Values inspected per end of a line of n data values when the kernel's
// polynomial matrix has m columns: the m + 3 nearest (at least g + 1), or
// all n when there are fewer.
std::size_t inspected_count(std::size_t m, std::size_t g, std::size_t n) {
    return std::min(std::max(m + 3, g + 1), n);
}

// The failure of an end whose chosen matrix needs more values than it has.
Status require_values(const GhostMatrix& chosen, std::size_t k) {
    if (chosen.cols > k)
        return value_error(
            text::format("boundary condition needs {} values along the line, got {}", chosen.cols, k));
    return Ok{};
}

// Scratch room for the values inspected at one end; every catalogue kernel
// fits in the fixed part, anything larger goes to the heap.
class EndValues {
public:
    EndValues(const EndValues&) = delete;
    EndValues& operator=(const EndValues&) = delete;
    explicit EndValues(std::size_t k) {
        if (k > fixed_) {
            heap_.resize(2 * k);
            values_ = heap_.data();
        }
        centred_ = values_ + std::max(k, fixed_);
    }
    double* values() { return values_; }
    double* centred() { return centred_; }

private:
    static constexpr std::size_t fixed_ = 16;
    double fixed_storage_[2 * fixed_];
    std::vector<double> heap_;
    double* values_ = fixed_storage_;
    double* centred_ = nullptr;
};

// Subtracts the mean of the k values (summed in index order from -0.0) from
// each of them.
void centre(const double* values, std::size_t k, double* centred) {
    double sum = -0.0;
    for (std::size_t i = 0; i < k; ++i) sum += values[i];
    const double mean = sum / static_cast<double>(k);
    for (std::size_t i = 0; i < k; ++i) centred[i] = values[i] - mean;
}

// Ghosts r = 1 ... g of one end: ghost r is the compensated dot product of
// row r of `matrix` with y_0 ... y_(cols-1), y_i = y[i * step], written to
// line[r * out_step].  Each ghost runs the Dot2 scheme (CompensatedSum) over
// the columns in increasing order; ghosts are done in blocks that advance
// together column by column, which keeps every ghost's own operation order and
// lets independent ghosts overlap.
QUORVEL_FMA_CLONES void write_ghosts(const GhostMatrix& matrix, const double* y, std::ptrdiff_t step, std::size_t g,
                                 double* line, std::ptrdiff_t out_step) {
    constexpr std::size_t block = 8;
    for (std::size_t first = 0; first < g; first += block) {
        const std::size_t count = std::min(block, g - first);
        CompensatedSum ghosts[block];
        for (std::size_t i = 0; i < matrix.cols; ++i) {
            const double b = y[static_cast<std::ptrdiff_t>(i) * step];
            for (std::size_t r = 0; r < count; ++r) ghosts[r].add_product(matrix.at(first + r, i), b);
        }
        for (std::size_t r = 0; r < count; ++r)
            line[static_cast<std::ptrdiff_t>(first + r + 1) * out_step] = ghosts[r].rounded();
    }
}

// c_j = ((m + 1 - j) * -c_(j-1)) / j from c_0 = 1, in doubles: (-1)^j times
// (m choose j), exactly.
constexpr void difference_coefficients(std::size_t m, double* coef) {
    coef[0] = 1.0;
    for (std::size_t j = 1; j <= m; ++j)
        coef[j] = (static_cast<double>(m + 1 - j) * -coef[j - 1]) / static_cast<double>(j);
}

// The same coefficients worked out once, for every m a ghost matrix can have
// in practice.
constexpr std::size_t DIFFERENCE_ROWS = 16;
constexpr auto DIFFERENCE_COEFFICIENTS = [] {
    std::array<std::array<double, DIFFERENCE_ROWS>, DIFFERENCE_ROWS> rows{};
    for (std::size_t m = 0; m < DIFFERENCE_ROWS; ++m) difference_coefficients(m, rows[m].data());
    return rows;
}();

// The "detect" test on z_i = values[start + i * step], i = 0 ... s - 1: true
// when every m-th difference of them stays within their spread plus the
// rounding that such a difference can carry (the coefficients' magnitudes sum
// to 2^m).  NaN values are left out of the spread; a NaN difference passes.
QUORVEL_FMA_CLONES bool differences_within_spread(const double* values, std::size_t start, std::ptrdiff_t step,
                                              std::size_t s, std::size_t m) {
    const auto z = [&](std::size_t i) {
        return values[static_cast<std::ptrdiff_t>(start) + static_cast<std::ptrdiff_t>(i) * step];
    };

    double zmin = std::numeric_limits<double>::infinity();
    double zmax = -std::numeric_limits<double>::infinity();
    double amax = 0.0;
    for (std::size_t i = 0; i < s; ++i) {
        const double v = z(i);
        if (std::isnan(v)) continue;
        if (v < zmin) zmin = v;
        if (v > zmax) zmax = v;
        if (std::fabs(v) > amax) amax = std::fabs(v);
    }

    std::vector<double> computed;
    const double* coef = m < DIFFERENCE_ROWS ? DIFFERENCE_COEFFICIENTS[m].data() : nullptr;
    if (coef == nullptr) {
        computed.resize(m + 1);
        difference_coefficients(m, computed.data());
        coef = computed.data();
    }

    const double epsilon = 0x1p-52;  // spacing of doubles at 1
    const double power = static_cast<double>(std::uint64_t{1} << std::min<std::size_t>(m, 30));
    const double threshold = (amax * epsilon) * power + (zmax - zmin);

    // The m-th forward difference of z_i ... z_(i+m), fused from +0.
    for (std::size_t i = 0; i + m < s; ++i) {
        double d = 0.0;
        for (std::size_t j = 0; j <= m; ++j) d = std::fma(coef[j], z(i + m - j), d);
        if (std::fabs(d) > threshold) return false;
    }
    return true;
}

// Whether an end of a line of n values fails, with the message fill_ghosts
// gives.  This never depends on the values: "detect" is the only choice made
// from them, and only when at least m + 1 values are inspected, which is
// enough for either of its candidates (m columns, or the two of the line).
Status check_end(const GhostMatrix& poly, Boundary condition, std::size_t n, std::size_t g) {
    const std::size_t m = poly.cols;
    const std::size_t k = inspected_count(m, g, n);
    const bool too_few = n < m;
    if (condition == Boundary::Detect && !too_few && k >= m + 1) return Ok{};
    return require_values(choose_matrix(poly, condition, too_few, nullptr, k, 0, 1), k);
}

Status check_line(const GhostMatrix& poly, BoundaryPair pair, std::size_t n, std::size_t g) {
    if (auto ok = check_end(poly, pair.left, n, g); !ok) return ok;
    return check_end(poly, pair.right, n, g);
}

// One axis of an index box: `count` positions, `a` and `b` the element
// strides of two arrays walked together.
struct BoxAxis {
    std::size_t count;
    std::ptrdiff_t a;
    std::ptrdiff_t b;
};

// Calls visit(offset_a, offset_b) for every position of the box, the last
// axis fastest.  An empty list of axes is one position.
template <class Visit>
void for_each_position(std::span<const BoxAxis> axes, std::ptrdiff_t a, std::ptrdiff_t b, Visit&& visit) {
    for (const BoxAxis& axis : axes)
        if (axis.count == 0) return;
    if (axes.empty()) {
        visit(a, b);
        return;
    }
    const std::size_t last = axes.size() - 1;
    const BoxAxis inner = axes[last];
    std::vector<std::size_t> index(last, 0);
    for (;;) {
        std::ptrdiff_t ia = a, ib = b;
        for (std::size_t e = 0; e < inner.count; ++e, ia += inner.a, ib += inner.b) visit(ia, ib);
        std::size_t axis = last;
        for (;;) {
            if (axis == 0) return;
            --axis;
            a += axes[axis].a;
            b += axes[axis].b;
            if (++index[axis] < axes[axis].count) break;
            const auto extent = static_cast<std::ptrdiff_t>(axes[axis].count);
            a -= extent * axes[axis].a;
            b -= extent * axes[axis].b;
            index[axis] = 0;
        }
    }
}

// for_each_position on `threads` threads, each taking a contiguous range of
// the first axis' positions.  The visits must be independent of each other.
template <class Visit>
void for_each_position_parallel(std::span<const BoxAxis> axes, std::ptrdiff_t a, std::ptrdiff_t b,
                                std::size_t threads, Visit&& visit) {
    if (axes.empty() || threads <= 1) {
        for_each_position(axes, a, b, visit);
        return;
    }
    run_chunks(axes[0].count, std::min(threads, axes[0].count), [&](std::size_t, std::size_t begin, std::size_t end) {
        std::vector<BoxAxis> part(axes.begin(), axes.end());
        part[0].count = end - begin;
        const auto skip = static_cast<std::ptrdiff_t>(begin);
        for_each_position(part, a + skip * axes[0].a, b + skip * axes[0].b, visit);
    });
}

// The ghosts of a periodic line of n values: entry e takes the value at data
// position (e - g) mod n.
void wrap_ghosts(double* line, std::ptrdiff_t stride, std::size_t n, std::size_t g) {
    const auto at = [&](std::size_t e) -> double& { return line[static_cast<std::ptrdiff_t>(e) * stride]; };
    for (std::size_t r = 1; r <= g; ++r) at(g - r) = at(g + (n - r % n) % n);
    for (std::size_t r = 0; r <= g; ++r) at(g + n + r) = at(g + r % n);
}

// a * b, or false when the product would exceed the largest signed 64-bit size.
bool multiply_within_limit(std::size_t a, std::size_t b, std::size_t& product) {
    constexpr std::size_t limit = static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
    if (a != 0 && b > limit / a) return false;
    product = a * b;
    return true;
}

}  // namespace

Result<Boundary> parse_boundary(std::string_view name) {
    if (name == "poly") return Boundary::Poly;
    if (name == "linear") return Boundary::Linear;
    if (name == "quadratic") return Boundary::Quadratic;
    if (name == "detect") return Boundary::Detect;
    return value_error(text::format("unknown boundary condition {} (expected poly, linear, quadratic or detect)",
                                    text::quoted(name)));
}

Result<std::vector<BoundaryPair>> parse_boundary_pairs(std::span<const BoundaryNames> names, bool periodic) {
    std::vector<BoundaryPair> pairs;
    pairs.reserve(names.size());
    for (const auto& [left_name, right_name] : names) {
        if (periodic && (left_name == "periodic" || right_name == "periodic")) {
            if (left_name != right_name)
                return value_error(text::format("axis {}: a periodic axis is periodic at both ends, got {} and {}",
                                                pairs.size(), text::quoted(left_name), text::quoted(right_name)));
            pairs.push_back({Boundary::Periodic, Boundary::Periodic});
            continue;
        }
        auto left = parse_boundary(left_name);
        if (!left) return left.error();
        auto right = parse_boundary(right_name);
        if (!right) return right.error();
        pairs.push_back({*left, *right});
    }
    return pairs;
}

const GhostMatrix& choose_matrix(const GhostMatrix& poly, Boundary condition, bool too_few, const double* values,
                                 std::size_t k, std::size_t start, std::ptrdiff_t step) {
    if (too_few) return condition == Boundary::Quadratic ? QUADRATIC_GHOST_MATRIX : LINEAR_GHOST_MATRIX;
    switch (condition) {
        case Boundary::Poly: return poly;
        case Boundary::Linear: return LINEAR_GHOST_MATRIX;
        case Boundary::Quadratic: return QUADRATIC_GHOST_MATRIX;
        case Boundary::Detect: break;
        case Boundary::Periodic: return poly;  // never asked: periodic axes wrap their data
    }

    // "detect": keep the polynomial extrapolation while the values nearest
    // the end look polynomial, otherwise extrapolate linearly.
    const std::size_t m = poly.cols;
    if (k < m + 1) return LINEAR_GHOST_MATRIX;  // not even one m-th difference
    return differences_within_spread(values, start, step, std::min(m + 3, k), m) ? poly : LINEAR_GHOST_MATRIX;
}

Result<std::size_t> stencil_half_width(std::string_view kernel) {
    if (is_nearest(kernel)) return std::size_t{1};
    const auto table = column_table(kernel, 0);
    if (!table) return value_error(text::format("unknown kernel {}", text::quoted(kernel)));
    return table->ncols / 2;
}

Status fill_ghosts(double* line, std::ptrdiff_t stride, std::size_t n, std::size_t g, const GhostMatrix& poly,
                   Boundary left, Boundary right) {
    const std::size_t m = poly.cols;
    const std::size_t k = inspected_count(m, g, n);
    const bool too_few = n < m;
    const auto at = [&](std::size_t e) -> double& { return line[static_cast<std::ptrdiff_t>(e) * stride]; };
    EndValues scratch(k);
    double* y = scratch.values();
    double* z = scratch.centred();

    // Left end: y_i is entry g + i.  The centred values only serve the
    // "detect" test, so other conditions skip them.
    for (std::size_t i = 0; i < k; ++i) y[i] = at(g + i);
    if (left == Boundary::Detect) centre(y, k, z);
    const GhostMatrix& left_matrix = choose_matrix(poly, left, too_few, z, k, 0, 1);
    if (auto ok = require_values(left_matrix, k); !ok) return ok;
    if (left_matrix.rows < g) return panic("ghost matrix with fewer rows than ghosts");
    write_ghosts(left_matrix, y, 1, g, &at(g), -stride);

    // Right end: the k last data entries in increasing position, so that
    // y_i, counted inward from the end, is copy number k - 1 - i.
    for (std::size_t j = 0; j < k; ++j) y[j] = at(n + g - k + j);
    if (right == Boundary::Detect) centre(y, k, z);
    const GhostMatrix& right_matrix = choose_matrix(poly, right, too_few, z, k, k - 1, -1);
    if (auto ok = require_values(right_matrix, k); !ok) return ok;
    if (right_matrix.rows < g) return panic("ghost matrix with fewer rows than ghosts");
    write_ghosts(right_matrix, y + (k - 1), -1, g, &at(n + g - 1), stride);
    return Ok{};
}

Result<Buffer> extended_coefficients(std::span<const double> values, std::string_view kernel, Boundary left,
                                     Boundary right) {
    const auto half_width = stencil_half_width(kernel);
    if (!half_width) return half_width.error();
    const std::size_t g = *half_width - 1;
    const std::size_t n = values.size();

    // Every entry is written below (data here, ghosts by fill_ghosts), so
    // the storage starts uninitialised.
    Buffer out(n + 2 * g);
    if (n > 0) std::memcpy(out.data() + g, values.data(), n * sizeof(double));
    if (g == 0) return out;

    const GhostMatrix* poly = poly_ghost_matrix(kernel);
    if (poly == nullptr)
        return value_error(text::format("no polynomial ghost matrix for kernel {}", text::quoted(kernel)));
    if (auto ok = fill_ghosts(out.data(), 1, n, g, *poly, left, right); !ok) return ok.error();
    return out;
}

// The extension runs one pass per axis j in increasing order, each computing
// the ghosts of axis j on every line along j.  Two facts keep it to the lines
// that matter while giving exactly the values and the message of running
// every line of every pass:
//
// - An entry that is a ghost along several axes is last written by the pass
//   along the highest of them, which reads only data positions along that
//   axis.  So the pass along j need only visit lines whose indices on the
//   axes above j lie in the data range (on the axes below j, the full
//   extended range): every entry is then written exactly once, by the pass
//   of its highest ghost axis, and read only after it is written, so the
//   storage needs no zero fill.
// - Whether a line fails depends only on n_j and the conditions of axis j,
//   never on the values, and every pass has at least one line.  So checking
//   each axis in order, left end before right, before anything is allocated
//   reports the same message the full passes would, zero-length axes
//   included.
Result<std::vector<std::size_t>> extended_shape(std::span<const std::size_t> data_shape, std::string_view kernel,
                                                std::span<const BoundaryPair> bcs, std::size_t field_axes) {
    const auto half_width = stencil_half_width(kernel);
    if (!half_width) return half_width.error();
    const std::size_t g = *half_width - 1;
    const std::size_t d = data_shape.size() - field_axes;
    if (bcs.size() != d)
        return value_error(
            text::format("{} boundary condition pairs given for {}-dimensional data", bcs.size(), d));

    // The product of the non-zero extended lengths must stay within the
    // signed 64-bit sizes that arrays are indexed by.
    std::vector<std::size_t> shape(data_shape.size());
    std::size_t nonzero_product = 1;
    for (std::size_t j = 0; j < data_shape.size(); ++j) {
        const std::size_t n = data_shape[j];
        const std::size_t ghosts = j < d ? g + ghosts_after(bcs[j], g) : 0;
        if (n > static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max()) - ghosts ||
            !multiply_within_limit(nonzero_product, std::max<std::size_t>(n + ghosts, 1), nonzero_product))
            return panic("the extended array would hold more than 2^63 - 1 elements");
        shape[j] = n + ghosts;
    }

    if (g > 0) {
        const GhostMatrix* poly = poly_ghost_matrix(kernel);
        if (poly == nullptr)
            return value_error(text::format("no polynomial ghost matrix for kernel {}", text::quoted(kernel)));
        for (std::size_t j = 0; j < d; ++j)
            if (bcs[j].left != Boundary::Periodic)
                if (auto ok = check_line(*poly, bcs[j], data_shape[j], g); !ok) return ok.error();
    }
    return shape;
}

namespace {

// Row-major element strides of an array of `shape`.
std::vector<std::ptrdiff_t> row_major_strides(std::span<const std::size_t> shape) {
    std::vector<std::ptrdiff_t> strides(shape.size());
    std::size_t step = 1;
    for (std::size_t j = shape.size(); j-- > 0;) {
        strides[j] = static_cast<std::ptrdiff_t>(step);
        step *= shape[j];
    }
    return strides;
}

// Copies `values` to `out`, whose element strides are `out_strides`, one row
// of the last axis at a time, on up to `threads` threads.
void copy_rows(const ArrayView& values, double* out, std::span<const std::ptrdiff_t> out_strides,
               std::size_t threads) {
    const std::size_t d = values.ndim();
    if (d == 0) {
        out[0] = values.data[0];
        return;
    }
    std::vector<BoxAxis> rows;
    for (std::size_t j = 0; j + 1 < d; ++j) rows.push_back({values.shape[j], values.strides[j], out_strides[j]});
    const std::size_t row_length = values.shape[d - 1];
    const std::ptrdiff_t row_stride = values.strides[d - 1];
    for_each_position_parallel(rows, 0, 0, threads, [&](std::ptrdiff_t from, std::ptrdiff_t to) {
        const double* src = values.data + from;
        double* dst = out + to;
        if (row_stride == 1) {
            std::memcpy(dst, src, row_length * sizeof(double));
        } else {
            for (std::size_t i = 0; i < row_length; ++i) dst[i] = src[static_cast<std::ptrdiff_t>(i) * row_stride];
        }
    });
}

// Writes `values` extended to `shape` (checked by extended_shape) into
// `result`, row-major: the data into the interior, then the ghosts.
Status extend_into(const ArrayView& values, std::span<const std::size_t> shape, std::size_t g,
                   const GhostMatrix* poly, std::span<const BoundaryPair> bcs, std::size_t field_axes,
                   std::size_t threads, double* result) {
    const std::size_t d = shape.size();
    const std::size_t interpolated = d - field_axes;
    const std::vector<std::ptrdiff_t> out_strides = row_major_strides(shape);
    std::ptrdiff_t interior = 0;
    for (std::size_t j = 0; j < interpolated; ++j) interior += static_cast<std::ptrdiff_t>(g) * out_strides[j];
    copy_rows(values, result + interior, out_strides, threads);

    // The passes: along axis j, the lines over the full extended range of the
    // axes below j and the data range of the axes above it (every position
    // of the field axes, which have no ghosts), the last axis fastest so that
    // consecutive lines lie side by side in memory.
    std::vector<BoxAxis> lines;
    for (std::size_t j = 0; j < interpolated; ++j) {
        if (g == 0 && bcs[j].left != Boundary::Periodic) continue;  // nothing to extend
        lines.clear();
        std::ptrdiff_t first = 0;
        for (std::size_t i = 0; i < d; ++i) {
            if (i == j) continue;
            if (i < j) {
                lines.push_back({shape[i], out_strides[i], 0});
            } else {
                lines.push_back({values.shape[i], out_strides[i], 0});
                if (i < interpolated) first += static_cast<std::ptrdiff_t>(g) * out_strides[i];
            }
        }
        // Every line was checked above, so only a broken invariant can fail
        // here; a failure one thread meets is reported (the first, on one).
        std::mutex guard;
        std::optional<Error> failure;
        for_each_position_parallel(lines, first, 0, threads, [&](std::ptrdiff_t line, std::ptrdiff_t) {
            if (bcs[j].left == Boundary::Periodic) return wrap_ghosts(result + line, out_strides[j], values.shape[j], g);
            Status status = fill_ghosts(result + line, out_strides[j], values.shape[j], g, *poly, bcs[j].left,
                                        bcs[j].right);
            if (status) return;
            const std::lock_guard<std::mutex> locked(guard);
            if (!failure) failure = std::move(status.error());
        });
        if (failure) return std::move(*failure);
    }
    return Ok{};
}

}  // namespace

Result<NdBuffer> extended_coefficients_nd(const ArrayView& values, std::string_view kernel,
                                          std::span<const BoundaryPair> bcs, std::size_t field_axes,
                                          std::size_t threads) {
    auto shape = extended_shape(values.shape, kernel, bcs, field_axes);
    if (!shape) return shape.error();
    const std::size_t g = *stencil_half_width(kernel) - 1;
    std::size_t total = 1;
    for (std::size_t len : *shape) total *= len;
    NdBuffer out{Buffer(total), std::move(*shape)};
    if (total == 0) return out;
    const GhostMatrix* poly = g > 0 ? poly_ghost_matrix(kernel) : nullptr;
    if (auto ok = extend_into(values, out.shape, g, poly, bcs, field_axes, threads, out.values.data()); !ok)
        return ok.error();
    return out;
}

// A slab of the extended array is the extension, along the other axes, of one
// slab of data along axis 0: inside the data range a slab of the values
// themselves, beyond it one of the ghosts that the pass along axis 0 makes.
// Those ghosts read only the values nearest each end of the axis, so they are
// made once, from those values alone.
Result<ExtendedSlabs> ExtendedSlabs::create(const ArrayView& values, std::string_view kernel,
                                            std::span<const BoundaryPair> bcs, std::size_t field_axes) {
    auto shape = extended_shape(values.shape, kernel, bcs, field_axes);
    if (!shape) return shape.error();
    if (values.ndim() < field_axes + 2) return panic("slabs of data with fewer than two axes");
    ExtendedSlabs slabs;
    slabs.data_ = values.data;
    slabs.data_shape_.assign(values.shape.begin(), values.shape.end());
    slabs.data_strides_.assign(values.strides.begin(), values.strides.end());
    slabs.slab_shape_.assign(shape->begin() + 1, shape->end());
    slabs.bcs_.assign(bcs.begin(), bcs.end());
    slabs.field_axes_ = field_axes;
    slabs.g_ = *stencil_half_width(kernel) - 1;
    slabs.poly_ = slabs.g_ > 0 ? poly_ghost_matrix(kernel) : nullptr;
    slabs.count_ = (*shape)[0];
    slabs.size_ = 1;
    for (std::size_t len : slabs.slab_shape_) slabs.size_ *= len;
    if (slabs.g_ == 0 || bcs[0].left == Boundary::Periodic) return slabs;

    // The values nearest the ends of axis 0, the first k and the last k (all
    // when there are no more), extended along axis 0 alone: an end's ghosts
    // read its k nearest values, whatever lies between the ends.
    const std::size_t n = values.shape[0];
    const std::size_t k = inspected_count(slabs.poly_->cols, slabs.g_, n);
    slabs.end_rows_ = std::min(n, 2 * k);
    std::vector<std::size_t> ends_shape(values.shape.begin(), values.shape.end());
    ends_shape[0] = slabs.end_rows_;
    const std::vector<std::ptrdiff_t> ends_strides = row_major_strides(ends_shape);
    Buffer ends(slabs.end_rows_ * static_cast<std::size_t>(ends_strides[0]));
    const auto copy_part = [&](std::size_t from, std::size_t to, std::size_t count) {
        std::vector<std::size_t> part_shape = ends_shape;
        part_shape[0] = count;
        const ArrayView part{values.data + static_cast<std::ptrdiff_t>(from) * values.strides[0], part_shape,
                             values.strides, false};
        if (count > 0) copy_rows(part, ends.data() + to * static_cast<std::size_t>(ends_strides[0]), ends_strides, 1);
    };
    const std::size_t first_part = std::min(n, k);
    copy_part(0, 0, first_part);
    copy_part(n - (slabs.end_rows_ - first_part), first_part, slabs.end_rows_ - first_part);
    const ArrayView ends_view{ends.data(), ends_shape, ends_strides, true};
    auto extended = extended_coefficients_nd(ends_view, kernel, bcs.first(1), values.ndim() - 1);
    if (!extended) return extended.error();
    slabs.ends_ = std::move(extended->values);
    return slabs;
}

Status ExtendedSlabs::write(std::size_t e, double* out) const {
    const std::size_t n = data_shape_[0];
    const double* slab = nullptr;
    std::span<const std::ptrdiff_t> strides{data_strides_.begin() + 1, data_strides_.end()};
    std::vector<std::ptrdiff_t> ends_strides;
    if (bcs_[0].left == Boundary::Periodic || (e >= g_ && e < g_ + n)) {
        // Periodic ghosts repeat the data: entry e holds position (e - g) mod n.
        const std::size_t position = (e + n - g_ % n) % n;
        slab = data_ + static_cast<std::ptrdiff_t>(position) * data_strides_[0];
    } else {
        const std::size_t row = e < g_ ? e : e - n + end_rows_;
        std::span<const std::size_t> rest{data_shape_.begin() + 1, data_shape_.end()};
        ends_strides = row_major_strides(rest);
        strides = ends_strides;
        std::size_t size = 1;
        for (std::size_t len : rest) size *= len;
        slab = ends_.data() + row * size;
    }
    const ArrayView view{slab, {data_shape_.begin() + 1, data_shape_.end()}, strides, false};
    return extend_into(view, slab_shape_, g_, poly_, std::span(bcs_).subspan(1), field_axes_, 1, out);
}

Result<NdBuffer> extended_coefficients(const ArrayView& values, std::string_view kernel, std::string_view bc_left,
                                       std::string_view bc_right) {
    const auto left = parse_boundary(bc_left);
    if (!left) return left.error();
    const auto right = parse_boundary(bc_right);
    if (!right) return right.error();
    if (auto ok = require_contiguous(values); !ok) return ok.error();
    const std::size_t n = values.size();
    auto extended = extended_coefficients(std::span<const double>(n > 0 ? values.data : nullptr, n), kernel,
                                          *left, *right);
    if (!extended) return extended.error();
    const std::size_t length = extended->size();
    return NdBuffer{std::move(*extended), {length}};
}

Result<NdBuffer> extended_coefficients_nd(const ArrayView& values, std::string_view kernel,
                                          std::span<const BoundaryNames> bcs) {
    const auto pairs = parse_boundary_pairs(bcs);
    if (!pairs) return pairs.error();
    return extended_coefficients_nd(values, kernel, *pairs, 0);
}

}  // namespace quorvel
