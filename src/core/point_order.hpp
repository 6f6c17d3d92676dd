// A cache-aware order of evaluation.
//
// Random points on a grid larger than the cache wait on memory for nearly
// every stencil row they read.  Taken bucket by bucket (blocks of cells, the
// buckets in row-major order), neighbouring points read the same rows while
// they are still in the cache.  A counting sort by bucket costs O(points) and
// a point's value does not depend on when it is computed, so the results are
// unchanged, bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "array.hpp"

namespace quorvel {

// Where coordinates fall along one axis: cell = floor((x - origin) / spacing)
// clamped to [lo, hi], as the evaluators locate them.
struct CellAxis {
    double origin, spacing, lo, hi;
};

// Coordinate `a` of point i is points[i * point_stride + a * axis_stride].
struct PointRows {
    const double* points;
    std::ptrdiff_t point_stride;
    std::ptrdiff_t axis_stride;
    std::size_t count;

    const double* at(std::size_t i, std::size_t a) const {
        return points + static_cast<std::ptrdiff_t>(i) * point_stride + static_cast<std::ptrdiff_t>(a) * axis_stride;
    }
};

// The points put in bucket order: `coordinates` holds them row-major, dims
// values each, and `order[i]` is the index in the given points of row i.
struct OrderedPoints {
    std::unique_ptr<std::uint32_t[]> order;
    Buffer coordinates;

    bool empty() const { return order == nullptr; }
};

// `points` on a grid of `axes` whose coefficients take `grid_bytes`, in the
// order in which to evaluate them; empty when that order would not pay: a
// grid the cache holds, few points, or points that already come in an order
// that reads the grid coherently (scan lines, say).
OrderedPoints cache_order(std::span<const CellAxis> axes, std::size_t grid_bytes, const PointRows& points);

}  // namespace quorvel
