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
#include <span>
#include <vector>

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
// One is reused from block to block of points, so that the sort writes to
// memory the caches already hold rather than to fresh pages.
struct OrderedPoints {
    std::vector<std::uint32_t> order;
    std::vector<double> coordinates;
    std::vector<std::uint32_t> keys, starts;  // the sort's own
};

// What evaluating points reads of a grid: its coefficients take `bytes`, and
// each point's stencil is `rows` runs of neighbouring columns along the last
// axis (W^(ndim - 1) for W columns per axis).
struct GridReads {
    std::size_t bytes = 0, rows = 1;
};

// How many points to put in cache order together, on a grid whose
// coefficients take `grid_bytes`: enough for each bucket to get some hundreds,
// which read its rows again while they are in cache, and few enough for the
// results, put back in the given order, to stay near the caches too.
std::size_t cache_order_block(std::size_t grid_bytes);

// Whether to evaluate `points`, on a grid of `axes` read as `grid` says, in
// cache order, and if so that order, put in `ordered`.  Not when it would not
// pay: a grid the caches hold well enough for its stencils, few points, or
// points that already come in an order that reads the grid coherently (scan
// lines, say).
bool cache_order(std::span<const CellAxis> axes, GridReads grid, const PointRows& points, OrderedPoints& ordered);

}  // namespace quorvel
