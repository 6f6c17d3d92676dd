#include "point_order.hpp"

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace quorvel {
namespace {

// Grids whose coefficients take less than this are read fast enough in any
// order (measured: sorting costs more than it saves up to about 2 MiB).
constexpr std::size_t CACHE_BYTES = std::size_t{4} << 20;
// Stencils of at least this many rows (3-D "a3" reads 16, 2-D "b5" 10) miss
// often enough to pay for the sort beyond CACHE_BYTES; fewer rows need a
// larger grid (min_grid_bytes).
constexpr std::size_t MANY_ROWS = 8;
// The last-level cache where the system does not report it.
constexpr std::size_t USUAL_LAST_LEVEL_CACHE = std::size_t{8} << 20;
// Below this many points the sort costs more than the misses it saves.
constexpr std::size_t MIN_POINTS = 4096;
// Buckets hold this many points on average, and the grid's part under one
// bucket takes about BUCKET_BYTES (up to some ten cells a side in 3-D; sides
// are powers of two), so that the points of a bucket find their stencils in
// the caches nearest the core; there are never more than MAX_BUCKETS, so that
// the sort writes to few enough places at once for its writes to stay in the
// cache.  (Measured on a core with 32 KiB of first-level cache: 8 KiB, with
// the longer blocks that more buckets allow, took 2-D "a3" at 2048^2 from 49
// to 27 ns a point and 3-D "a3" at 128^3 from 42 to 34 against 32 KiB; 4 and
// 16 KiB did no better.)
constexpr std::size_t POINTS_PER_BUCKET = 8;
constexpr std::size_t BUCKET_BYTES = std::size_t{8} << 10;
constexpr std::size_t MAX_BUCKETS = std::size_t{1} << 15;

// Points put in cache order together: a few hundred per bucket, within
// these bounds (measured: fewer per bucket read the grid from memory again,
// more put back results spread over more memory than the caches hold).
constexpr std::size_t POINTS_PER_BLOCK_BUCKET = 256;
constexpr std::size_t MIN_BLOCK = std::size_t{1} << 18, MAX_BLOCK = std::size_t{1} << 20;

// Buckets of 2^shift cells along every axis, numbered row-major.  A bucket
// need only be roughly right, so the cell is found by a multiplication.
class Buckets {
public:
    Buckets(std::span<const CellAxis> axes, std::size_t target) {
        for (const CellAxis& cells : axes)
            axes_.push_back({cells.origin + cells.lo * cells.spacing, 1.0 / cells.spacing, cells.hi - cells.lo});
        for (;; ++shift_) {
            count_ = 1;
            for (std::size_t a = axes_.size(); a-- > 0;) {
                axes_[a].stride = static_cast<std::uint32_t>(count_);  // at most MAX_BUCKETS in the end
                count_ *= (static_cast<std::size_t>(axes_[a].cells) >> shift_) + 1;
            }
            if (count_ <= target || shift_ == 63) return;
        }
    }

    std::size_t count() const { return count_; }

    std::uint32_t key(const PointRows& points, std::size_t i) const {
        std::uint32_t key = 0;
        for (std::size_t a = 0; a < axes_.size(); ++a) key += axes_[a].part(*points.at(i, a), shift_);
        return key;
    }

    // The keys of all points, axis by axis.
    void keys(const PointRows& points, std::uint32_t* out) const {
        std::fill_n(out, points.count, 0);
        for (std::size_t a = 0; a < axes_.size(); ++a) {
            const Axis axis = axes_[a];
            const double* x = points.at(0, a);
            for (std::size_t i = 0; i < points.count; ++i, x += points.point_stride) out[i] += axis.part(*x, shift_);
        }
    }

private:
    struct Axis {
        double first, scale;  // the lowest cell's start, 1 / spacing
        double cells;         // the highest cell, counted from the lowest
        std::uint32_t stride = 0;

        // The axis' part of the key of coordinate x: its cell, clamped
        // before the conversion (a NaN goes to the lowest).
        std::uint32_t part(double x, unsigned shift) const {
            const double u = (x - first) * scale;
            const double clamped = u >= 0.0 ? (u <= cells ? u : cells) : 0.0;
            return static_cast<std::uint32_t>(static_cast<std::int64_t>(clamped) >> shift) * stride;
        }
    };
    std::vector<Axis> axes_;
    unsigned shift_ = 0;
    std::size_t count_ = 1;
};

// Whether consecutive points mostly share a bucket already: a few runs of
// neighbours, spread over the points, are checked.
bool coherent(const Buckets& buckets, const PointRows& points) {
    constexpr std::size_t runs = 8, run_length = 33;
    std::size_t pairs = 0, shared = 0;
    for (std::size_t r = 0; r < runs; ++r) {
        const std::size_t first = (points.count - run_length) / runs * r;
        std::uint32_t previous = buckets.key(points, first);
        for (std::size_t i = first + 1; i < first + run_length; ++i, ++pairs) {
            const std::uint32_t key = buckets.key(points, i);
            shared += key == previous;
            previous = key;
        }
    }
    return 4 * shared >= pairs;
}

// The size of the last-level cache: the largest that Linux lists for the
// first CPU (in KiB), or USUAL_LAST_LEVEL_CACHE where it lists none.
std::size_t last_level_cache() {
    std::size_t largest = 0;
    for (int index = 0; index < 8; ++index) {
        std::ifstream size("/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index) + "/size");
        std::size_t kib = 0;
        if (!(size >> kib)) break;
        largest = std::max(largest, std::min<std::size_t>(kib, std::size_t{1} << 30) << 10);
    }
    return largest > 0 ? largest : USUAL_LAST_LEVEL_CACHE;
}

// The smallest grid worth reading in cache order.  A point misses on each of
// its stencil's rows; with fewer than MANY_ROWS rows (2-D kernels of up to 6
// columns, 3-D "a1") the misses of random points overlap well enough while
// the grid stays in the last-level cache, and the sort pays only beyond half
// of it (measured with 32 MiB: 2-D "a3" at 6 and 8 MiB took 40% and 20% more
// time in cache order, at 16 and 24 MiB 25% and 40% less; "a4" at 8 MiB 10%
// more; with 8 MiB, 2-D "a3" at 6 MiB a third less).
std::size_t min_grid_bytes(std::size_t rows) {
    if (rows >= MANY_ROWS) return CACHE_BYTES;
    static const std::size_t half_cache = last_level_cache() / 2;
    return std::max(CACHE_BYTES, half_cache);
}

}  // namespace

std::size_t cache_order_block(std::size_t grid_bytes) {
    return std::clamp(grid_bytes / BUCKET_BYTES * POINTS_PER_BLOCK_BUCKET, MIN_BLOCK, MAX_BLOCK);
}

bool cache_order(std::span<const CellAxis> axes, GridReads grid, const PointRows& points, OrderedPoints& ordered) {
    if (grid.bytes < min_grid_bytes(grid.rows) || points.count < MIN_POINTS || points.count > UINT32_MAX)
        return false;
    const std::size_t most = std::clamp<std::size_t>(grid.bytes / BUCKET_BYTES, 1, MAX_BUCKETS);
    const Buckets buckets(axes, std::clamp<std::size_t>(points.count / POINTS_PER_BUCKET, 1, most));
    if (coherent(buckets, points)) return false;

    // Counting sort: the points of bucket b go to rows [start[b], start[b + 1]).
    const std::size_t dims = axes.size();
    std::vector<std::uint32_t>& keys = ordered.keys;
    std::vector<std::uint32_t>& start = ordered.starts;
    keys.resize(points.count);
    start.assign(buckets.count() + 1, 0);
    buckets.keys(points, keys.data());
    for (std::size_t i = 0; i < points.count; ++i) ++start[keys[i] + 1];
    for (std::size_t b = 0; b < buckets.count(); ++b) start[b + 1] += start[b];
    ordered.order.resize(points.count);
    ordered.coordinates.resize(points.count * dims);
    for (std::size_t i = 0; i < points.count; ++i) {
        const std::uint32_t row = start[keys[i]]++;
        ordered.order[row] = static_cast<std::uint32_t>(i);
        for (std::size_t a = 0; a < dims; ++a) ordered.coordinates[row * dims + a] = *points.at(i, a);
    }
    return true;
}

}  // namespace quorvel
