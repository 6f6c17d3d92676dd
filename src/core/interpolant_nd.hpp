// N-dimensional tensor-product interpolation on a uniform grid.
//
// The data, extended by ghosts along every axis, are a row-major array of
// coefficients.  A point gets W weights per axis, exactly as in one dimension,
// and its value is the contraction of the W^N stencil with them, axis 0
// outermost.  An antiderivative along a set of integral axes expands into one
// term per subset of them: the empty subset is the stencil contraction, every
// other subset a `Region` whose precomputed tails carry the part of the
// integral left of the stencil along its axes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "array.hpp"
#include "coefficients.hpp"
#include "dispatch.hpp"
#include "interpolant.hpp"
#include "integral.hpp"
#include "padded_rows.hpp"
#include "result.hpp"

namespace quorvel {

struct GridAxis {
    double spacing = 0.0;
    double first_knot = 0.0;  // the data range, both ends inclusive
    double last_knot = 0.0;
    double origin = 0.0;      // coordinate of extended index 0
    double period = 0.0;      // n * spacing on a periodic axis, else 0
    std::size_t extended_len = 0;
    std::size_t stride = 0;   // row-major, in elements
    PaddedRows column_rows;   // empty for antiderivatives and "a0"
    std::optional<IntegralAxis> integral;
};

// One non-empty subset of the integral axes with its tails: block_len terms
// per coefficient (per field of a grid position: the terms of field c of
// position e start at (e * channels + c) * block_len), row-major over the
// region axes' tail counts.
struct Region {
    std::vector<char> in_region;  // per axis
    std::vector<std::size_t> region_axes;
    Buffer tails;
    std::size_t block_len = 0;
};

// Tails of all integral-axis subsets, in binary counting order of their masks,
// made on up to `threads` threads; refused when they would need more than
// 2 GiB.  Each grid position holds `channels` values side by side (shape and
// strides count positions); each gets its own tails.
Result<std::vector<Region>> build_regions(std::span<const double> coefficients,
                                          std::span<const IntegralAxis* const> integrals,
                                          std::span<const std::size_t> shape, std::span<const std::size_t> strides,
                                          std::size_t threads = 1, std::size_t channels = 1);

struct InterpolantND {
    // Row-major, shared by the interpolants of every order built from the
    // same data (with_orders).
    std::shared_ptr<const Buffer> coefficients;
    std::vector<GridAxis> grid;
    std::vector<Region> regions;
    std::size_t half_width = 0;
    std::size_t columns = 0;  // W
    double scale = 1.0;
    bool nearest = false;     // "a0"
    std::string_view kernel;  // the catalogue's own name, which lives as long as the program
    std::size_t channels = 1; // values (fields) per grid position, side by side

    // `options` asks for what the engine adds (threads, fields, periodic
    // axes); the defaults build the core's interpolant.
    static Result<InterpolantND> create(std::span<const ArrayView> knots, const ArrayView& values,
                                        std::string_view kernel, std::span<const BoundaryNames> bcs,
                                        std::span<const std::int32_t> derivatives, const BuildOptions& options = {});

    // The interpolant of the same data, knots and boundary conditions at
    // other derivative orders, sharing the extended coefficients; refused as
    // `create` refuses the orders.
    Result<InterpolantND> with_orders(std::span<const std::int32_t> derivatives, std::size_t threads = 1) const;

    Result<NdBuffer> evaluate(const ArrayView& points) const;

    // The refusals of `evaluate`: points with the wrong number of
    // coordinates or a width without an evaluator, and the coordinate found
    // outside the data range.
    Status check_points(const ArrayView& points) const;
    Error outside(const ArrayView& points, OutsideRange found) const;
    Error outside(double coordinate, std::size_t axis) const;
};

}  // namespace quorvel
