#include "point_order.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

namespace quorvel {
namespace {

// Grids whose coefficients take less than this are read fast enough in any
// order, as are those of less than SECOND_LEVEL_MULTIPLE times the
// second-level cache where that is more: the more of the grid that cache
// holds, the less random points wait on memory (measured, 3-D "a3", 10^5 to
// 10^6 points: with 512 KiB of it per core, sorting costs more than it saves
// up to about 2 MiB; with 1 MiB, up to about 9 MiB, and grids of 4.3 and 7
// MiB took 23-27 ns a point in the given order against 29-33 sorted).
constexpr std::size_t CACHE_BYTES = std::size_t{4} << 20;
constexpr std::size_t SECOND_LEVEL_MULTIPLE = 8;
// Stencils of at least this many rows (3-D "a3" reads 16, 2-D "b5" 10) miss
// often enough to pay for the sort beyond those; fewer rows need a larger
// grid (min_grid_bytes).
constexpr std::size_t MANY_ROWS = 8;
// The caches where the system does not report them.
constexpr std::size_t USUAL_SECOND_LEVEL_CACHE = std::size_t{512} << 10;
constexpr std::size_t USUAL_LAST_LEVEL_CACHE = std::size_t{8} << 20;
// Below this many points the sort costs more than the misses it saves.
constexpr std::size_t MIN_POINTS = 4096;
// Buckets take about BUCKET_BYTES of the grid each, so that the points of a
// bucket find their stencils in the caches nearest the core, and hold at
// least POINTS_PER_BUCKET points on average, so that reading a bucket's part
// of the grid pays; never more than MAX_BUCKETS, so that the sort writes to
// few enough places at once for its writes to stay in the cache.  (Measured
// on a core with 32 KiB of first-level cache, 10^6 points: 4 KiB took 3-D
// "a3" at 128^3 from 35 to 29 ns a point against 8 KiB, which gave buckets of
// 32 KiB there, and 2-D "a3" at 4096^2 from 33 to 27; 64 and 256 points a
// bucket, fewer and larger buckets, did no better, and took 10^5 points at
// 128^3 to 57 and 54 ns against 59-61 with 16.)
constexpr std::size_t BUCKET_BYTES = std::size_t{4} << 10;
constexpr std::size_t POINTS_PER_BUCKET = 16;
constexpr std::size_t MAX_BUCKETS = std::size_t{1} << 15;

// Buckets of a power of two of cells along each axis, numbered row-major,
// made longer along the last axes first (their stencil rows run along the
// last axis, so a bucket long along it reads fewer cache lines).  A bucket
// need only be roughly right, so it is found by a multiplication.
class Buckets {
public:
    Buckets(std::span<const CellAxis> axes, std::size_t target) {
        std::vector<unsigned> shifts(axes.size(), 0);
        const auto highest = [&](std::size_t a) {  // the highest bucket along axis a
            return static_cast<std::size_t>(axes[a].hi - axes[a].lo) >> shifts[a];
        };
        for (;;) {
            count_ = 1;
            std::size_t widen = axes.size();  // the axis to make buckets longer along next
            for (std::size_t a = axes.size(); a-- > 0;) {
                count_ *= highest(a) + 1;
                if (highest(a) > 0 && (widen == axes.size() || shifts[a] < shifts[widen])) widen = a;
            }
            if (count_ <= target || widen == axes.size()) break;
            ++shifts[widen];
        }
        axes_.resize(axes.size());
        for (std::size_t a = axes.size(), stride = 1; a-- > 0; stride *= highest(a) + 1) {
            const CellAxis& cells = axes[a];
            const double scale = std::ldexp(1.0 / cells.spacing, -static_cast<int>(shifts[a]));
            axes_[a] = {cells.origin + cells.lo * cells.spacing, scale, static_cast<double>(highest(a)),
                        static_cast<std::uint32_t>(stride)};  // at most MAX_BUCKETS
        }
    }

    std::size_t count() const { return count_; }

    // The bucket of the point whose coordinates are x[0], x[axis_stride], ...;
    // Dims > 0 is the count of axes, fixed at compile time.
    template <std::size_t Dims = 0>
    std::uint32_t key(const double* x, std::ptrdiff_t axis_stride) const {
        const std::size_t dims = Dims > 0 ? Dims : axes_.size();
        std::uint32_t key = 0;
        for (std::size_t a = 0; a < dims; ++a) key += axes_[a].part(x[static_cast<std::ptrdiff_t>(a) * axis_stride]);
        return key;
    }

private:
    struct Axis {
        double first, scale;  // the lowest cell's start, 1 / a bucket's length
        double highest;       // the highest bucket
        std::uint32_t stride;

        // The axis' part of the key of coordinate x: its bucket, clamped
        // before the conversion (a NaN goes to the lowest).
        std::uint32_t part(double x) const {
            const double u = (x - first) * scale;
            const double positive = u > 0.0 ? u : 0.0;
            return static_cast<std::uint32_t>(positive < highest ? positive : highest) * stride;
        }
    };
    std::vector<Axis> axes_;
    std::size_t count_ = 1;
};

// Whether consecutive points mostly share a bucket already: a few runs of
// neighbours, spread over the points, are checked.
bool coherent(const Buckets& buckets, const PointRows& points) {
    constexpr std::size_t runs = 8, run_length = 33;
    std::size_t pairs = 0, shared = 0;
    for (std::size_t r = 0; r < runs; ++r) {
        const std::size_t first = (points.count - run_length) / runs * r;
        std::uint32_t previous = buckets.key(points.at(first, 0), points.axis_stride);
        for (std::size_t i = first + 1; i < first + run_length; ++i, ++pairs) {
            const std::uint32_t key = buckets.key(points.at(i, 0), points.axis_stride);
            shared += key == previous;
            previous = key;
        }
    }
    return 4 * shared >= pairs;
}

// Asks for the cache line at `address` ahead of a write to it.
inline void prefetch_for_write([[maybe_unused]] const void* address) {
#if defined(__GNUC__)
    __builtin_prefetch(address, 1);
#endif
}

// Counting sort of `points` into `ordered`: the points of bucket b go to
// rows [start[b], start[b + 1]), in their given order.  Dims > 0 is the count
// of axes, fixed at compile time so that a point is read and copied by a few
// loads and stores.
template <std::size_t Dims = 0>
void sort_by_bucket(const Buckets& buckets, const PointRows& points, OrderedPoints& ordered, std::size_t axes = Dims) {
    const std::size_t dims = Dims > 0 ? Dims : axes;
    std::uint32_t* const keys = ordered.keys.reserve(points.count);
    std::uint32_t* const order = ordered.order.reserve(points.count);
    double* const coordinates = ordered.coordinates.reserve(points.count * dims);
    std::vector<std::uint32_t>& start = ordered.starts;
    start.assign(buckets.count() + 1, 0);
    // Keys first, then their counts: apart, the keys are computed in vectors
    // (measured in a model of 3-D "a3" at 128^3: 4.4 to 1.6 ns a point).
    for (std::size_t i = 0; i < points.count; ++i) keys[i] = buckets.key<Dims>(points.at(i, 0), points.axis_stride);
    for (std::size_t i = 0; i < points.count; ++i) ++start[keys[i] + 1];
    for (std::size_t b = 0; b < buckets.count(); ++b) start[b + 1] += start[b];
    // Each bucket's next rows are fetched a little ahead: the writes go to as
    // many places as there are buckets, too many for the hardware to follow
    // (measured: 10 to 6 ns a point for this loop, 3-D "a3" at 128^3).
    const std::size_t last = points.count - 1;
    for (std::size_t i = 0; i < points.count; ++i) {
        const std::uint32_t row = start[keys[i]]++;
        prefetch_for_write(coordinates + std::min<std::size_t>(row + 4, last) * dims);
        prefetch_for_write(order + std::min<std::size_t>(row + 16, last));
        order[row] = static_cast<std::uint32_t>(i);
        for (std::size_t a = 0; a < dims; ++a) coordinates[row * dims + a] = *points.at(i, a);
    }
}

struct CacheSizes {
    std::size_t second_level = 0, last_level = 0;
};

// The caches that Linux lists for the first CPU: the largest of the second
// level and the largest of all, or the usual sizes where it lists none.
CacheSizes listed_caches() {
    CacheSizes caches;
    for (int index = 0; index < 8; ++index) {
        const std::string cache = "/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index);
        std::ifstream size(cache + "/size"), level(cache + "/level");
        std::size_t kib = 0;
        int depth = 0;
        if (!(size >> kib) || !(level >> depth)) break;
        const std::size_t bytes = std::min<std::size_t>(kib, std::size_t{1} << 30) << 10;
        if (depth == 2) caches.second_level = std::max(caches.second_level, bytes);
        caches.last_level = std::max(caches.last_level, bytes);
    }
    if (caches.second_level == 0) caches.second_level = USUAL_SECOND_LEVEL_CACHE;
    if (caches.last_level == 0) caches.last_level = USUAL_LAST_LEVEL_CACHE;
    return caches;
}

// The smallest grid worth reading in cache order.  A point misses on each of
// its stencil's rows; with fewer than MANY_ROWS rows (2-D kernels of up to 6
// columns, 3-D "a1") the misses of random points overlap well enough while
// the grid stays in the last-level cache, and the sort pays only beyond half
// of it (measured with 32 MiB: 2-D "a3" at 6 and 8 MiB took 40% and 20% more
// time in cache order, at 16 and 24 MiB 25% and 40% less; "a4" at 8 MiB 10%
// more; with 8 MiB, 2-D "a3" at 6 MiB a third less).
std::size_t min_grid_bytes(std::size_t rows) {
    static const CacheSizes caches = listed_caches();
    const std::size_t least = std::max(CACHE_BYTES, SECOND_LEVEL_MULTIPLE * caches.second_level);
    return rows >= MANY_ROWS ? least : std::max(least, caches.last_level / 2);
}

}  // namespace

bool cache_order(std::span<const CellAxis> axes, GridReads grid, const PointRows& points, OrderedPoints& ordered) {
    if (grid.bytes < min_grid_bytes(grid.rows) || points.count < MIN_POINTS || points.count > UINT32_MAX)
        return false;
    const std::size_t most = std::clamp<std::size_t>(grid.bytes / BUCKET_BYTES, 1, MAX_BUCKETS);
    const Buckets buckets(axes, std::clamp<std::size_t>(points.count / POINTS_PER_BUCKET, 1, most));
    if (coherent(buckets, points)) return false;

    switch (axes.size()) {
        case 2: sort_by_bucket<2>(buckets, points, ordered); break;
        case 3: sort_by_bucket<3>(buckets, points, ordered); break;
        default: sort_by_bucket(buckets, points, ordered, axes.size()); break;
    }
    return true;
}

}  // namespace quorvel
