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
    // Storage for at least `count` values, left unset: the sort writes each
    // before it is read (clearing them first took 3-D "a3" at 128^3 from 30.5
    // to 32 ns a point).
    template <class T>
    class Rows {
    public:
        T* reserve(std::size_t count) {
            if (count > size_) {
                data_.reset();
                data_.reset(new T[count]);
                size_ = count;
            }
            return data_.get();
        }
        const T* data() const { return data_.get(); }

    private:
        std::unique_ptr<T[]> data_;
        std::size_t size_ = 0;
    };

    Rows<std::uint32_t> order;
    Rows<double> coordinates;
    // the sort's own
    Rows<std::uint32_t> keys;
    std::vector<std::uint32_t> starts;
};

// What evaluating points reads of a grid: its coefficients take `bytes`, and
// each point's stencil is `rows` runs of neighbouring columns along the last
// axis (W^(ndim - 1) for W columns per axis).
struct GridReads {
    std::size_t bytes = 0, rows = 1;
};

// How many points to put in cache order together: enough for the buckets to
// be small and still hold some hundreds each, few enough for the results, put
// back in the given order, to stay near the caches (measured on 4 x 10^6
// points: blocks of 2^21 and 2^22 took 3-D "a3" at 128^3 from 33 to 38 and 47
// ns a point).
constexpr std::size_t CACHE_ORDER_BLOCK = std::size_t{1} << 20;

// Whether to evaluate `points`, on a grid of `axes` read as `grid` says, in
// cache order, and if so that order, put in `ordered`.  Not when it would not
// pay: a grid the caches hold well enough for its stencils, few points, or
// points that already come in an order that reads the grid coherently (scan
// lines, say).
bool cache_order(std::span<const CellAxis> axes, GridReads grid, const PointRows& points, OrderedPoints& ordered);

}  // namespace quorvel
