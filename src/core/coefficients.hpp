// Boundary extension: the data extended by ghost values beyond every end, so
// that every point of the data range finds a full stencil around it.
//
// A line of n values becomes n + 2g entries, entry e belonging to data
// position e - g (g = half width - 1 ghosts per end):
//
//     g2 g1 | y0 y1 ... y(n-1) | g1 g2        (g = 2)
//
// Each ghost is a fixed integer combination of the values nearest its end,
// chosen per end by the boundary condition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "array.hpp"
#include "kernels.hpp"
#include "result.hpp"

namespace quorvel {

// How the ghosts of one end are made.
enum class Boundary : std::uint8_t {
    Poly,       // the kernel's polynomial extrapolation
    Linear,     // the straight line through the two end values
    Quadratic,  // the parabola through the three end values
    Detect,     // Poly while the end values look polynomial, else Linear
    // The data repeat, the first value coming back one step after the last:
    //     y(n-2) y(n-1) | y0 y1 ... y(n-1) | y0 y1 y2      (g = 2)
    // one more ghost after the data than before them, so that the cell from
    // the last knot to the end of the period has its stencil too.  Both ends
    // of an axis, and only where the caller accepts it.
    Periodic,
};

// Conditions of one axis: left governs index 0, right the highest index.
struct BoundaryPair {
    Boundary left;
    Boundary right;
};

// The (left, right) condition names of one axis, as the caller gave them.
using BoundaryNames = std::pair<std::string_view, std::string_view>;

// "poly", "linear", "quadratic" or "detect", compared exactly.
Result<Boundary> parse_boundary(std::string_view name);

// Every pair in order, each left name before its right name; "periodic" (at
// both ends of an axis) only when `periodic` allows it.
Result<std::vector<BoundaryPair>> parse_boundary_pairs(std::span<const BoundaryNames> names, bool periodic = false);

// The ghosts after the data along an axis of g ghosts before them.
inline std::size_t ghosts_after(BoundaryPair pair, std::size_t g) {
    return pair.right == Boundary::Periodic ? g + 1 : g;
}

// The matrix that makes the ghosts of one end.  `values` holds the k centred
// values nearest the end; the i-th counted inward is values[start + i * step].
const GhostMatrix& choose_matrix(const GhostMatrix& poly, Boundary condition, bool too_few, const double* values,
                                 std::size_t k, std::size_t start, std::ptrdiff_t step);

// W / 2 for a kernel of W columns, 1 for "a0"; "unknown kernel ..." otherwise.
Result<std::size_t> stencil_half_width(std::string_view kernel);

// Writes the 2g ghosts of one line in place.  The line has n + 2g entries
// line[e * stride], the data at e = g ... g + n - 1.
Status fill_ghosts(double* line, std::ptrdiff_t stride, std::size_t n, std::size_t g, const GhostMatrix& poly,
                   Boundary left, Boundary right);

// The values extended to n + 2g entries.
Result<Buffer> extended_coefficients(std::span<const double> values, std::string_view kernel, Boundary left,
                                     Boundary right);

// The extended shape of data of `data_shape`, after every check the extension
// makes (kernel, pair count, size, axes too short for their conditions);
// nothing is allocated.  The last `field_axes` axes carry fields (values of
// several quantities at each grid point) and get no ghosts.
Result<std::vector<std::size_t>> extended_shape(std::span<const std::size_t> data_shape, std::string_view kernel,
                                                std::span<const BoundaryPair> bcs, std::size_t field_axes = 0);

// The array extended by g ghosts beyond both ends of every axis but the last
// `field_axes`, row-major, made on up to `threads` threads.  Each field is
// extended exactly as it would be alone.
Result<NdBuffer> extended_coefficients_nd(const ArrayView& values, std::string_view kernel,
                                          std::span<const BoundaryPair> bcs, std::size_t field_axes,
                                          std::size_t threads = 1);

// The extended array of `values` (as extended_coefficients_nd makes it) one
// slab at a time, a slab being every entry at one extended index of axis 0:
// for a single pass over data too large to be worth copying whole.  It reads
// the values where they lie, so they must outlive it unchanged.
class ExtendedSlabs {
public:
    // Refuses what extended_coefficients_nd refuses; the data need at least
    // two axes besides the field axes.
    static Result<ExtendedSlabs> create(const ArrayView& values, std::string_view kernel,
                                        std::span<const BoundaryPair> bcs, std::size_t field_axes);

    std::size_t count() const { return count_; }  // extended length of axis 0
    std::size_t size() const { return size_; }    // entries of one slab

    // Slab e < count(), row-major, into out[0 .. size()).
    Status write(std::size_t e, double* out) const;

private:
    const double* data_ = nullptr;
    std::vector<std::size_t> data_shape_;
    std::vector<std::ptrdiff_t> data_strides_;
    std::vector<std::size_t> slab_shape_;  // the extended shape but axis 0
    std::vector<BoundaryPair> bcs_;
    std::size_t field_axes_ = 0;
    std::size_t g_ = 0;
    const GhostMatrix* poly_ = nullptr;
    std::size_t count_ = 0;
    std::size_t size_ = 0;
    Buffer ends_;               // data slabs nearest both ends of axis 0 with their ghosts along it
    std::size_t end_rows_ = 0;  // data slabs in ends_
};

// The module functions: names parsed first, then the internal routines.
Result<NdBuffer> extended_coefficients(const ArrayView& values, std::string_view kernel,
                                       std::string_view bc_left, std::string_view bc_right);
Result<NdBuffer> extended_coefficients_nd(const ArrayView& values, std::string_view kernel,
                                          std::span<const BoundaryNames> bcs);

}  // namespace quorvel
