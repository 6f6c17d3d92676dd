#include "array.hpp"

#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

#if defined(__unix__)
#include <sys/mman.h>
#endif

namespace quorvel {
namespace {

// Asks the system to back a large buffer with huge pages where it offers
// them only on request: the first touch of each page of a fresh allocation
// otherwise costs as much as copying the data into it.  Purely advisory.
void prefer_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
    constexpr std::size_t page = 4096;
    if (bytes < (std::size_t{1} << 22)) return;
    const auto address = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (address + page - 1) / page * page;
    madvise(reinterpret_cast<void*>(first), address + bytes - first, MADV_HUGEPAGE);
#endif
}

// Results of at least LARGE_RESULT values take fresh pages from the system
// (smaller ones come from memory the allocator reuses); those of at most
// KEPT_VALUES are kept when freed, up to KEPT_RESULTS of them and
// KEPT_VALUES in all, so that little stays held after the last call.
constexpr std::size_t LARGE_RESULT = (std::size_t{4} << 20) / sizeof(double);
constexpr std::size_t KEPT_VALUES = (std::size_t{256} << 20) / sizeof(double);
constexpr std::size_t KEPT_RESULTS = 4;

// The storage of freed results, the oldest dropped first.  Results are
// freed by whatever thread drops their array, so a lock guards it.
class KeptResults {
public:
    double* take(std::size_t size) {
        const std::lock_guard lock(mutex_);
        for (auto kept = kept_.begin(); kept != kept_.end(); ++kept)
            if (kept->size == size) {
                double* data = kept->data;
                held_ -= size;
                kept_.erase(kept);
                return data;
            }
        return nullptr;
    }

    void keep(double* data, std::size_t size) {
        std::vector<double*> dropped;
        {
            const std::lock_guard lock(mutex_);
            while (!kept_.empty() && (kept_.size() == KEPT_RESULTS || held_ + size > KEPT_VALUES)) {
                dropped.push_back(kept_.front().data);
                held_ -= kept_.front().size;
                kept_.erase(kept_.begin());
            }
            kept_.push_back({data, size});
            held_ += size;
        }
        for (double* storage : dropped) std::free(storage);
    }

private:
    struct Kept {
        double* data;
        std::size_t size;
    };
    std::mutex mutex_;
    std::vector<Kept> kept_;
    std::size_t held_ = 0;
};

// Never destroyed: arrays may free results while the process exits.
KeptResults& kept_results() {
    static KeptResults* const kept = new KeptResults;
    return *kept;
}

bool worth_keeping(std::size_t size) { return size >= LARGE_RESULT && size <= KEPT_VALUES; }

}  // namespace

Buffer Buffer::for_result(std::size_t size) {
    const bool keep = worth_keeping(size);
    Buffer buffer;
    double* kept = keep ? kept_results().take(size) : nullptr;
    if (kept != nullptr) {
        buffer.data_ = kept;
        buffer.size_ = size;
    } else {
        buffer = Buffer(size);
    }
    buffer.kept_when_freed_ = keep;
    return buffer;
}

void Buffer::free_result(void* data, std::size_t size) {
    if (data != nullptr && worth_keeping(size)) kept_results().keep(static_cast<double*>(data), size);
    else std::free(data);
}

Buffer::Buffer(std::size_t size) : size_(size) {
    if (size == 0) return;
    if (size > (static_cast<std::size_t>(-1) - alignment) / sizeof(double) - slack) throw std::bad_alloc();
    const std::size_t bytes = ((size + slack) * sizeof(double) + alignment - 1) / alignment * alignment;
    data_ = static_cast<double*>(std::aligned_alloc(alignment, bytes));
    if (data_ == nullptr) throw std::bad_alloc();
    std::fill_n(data_ + size, slack, 0.0);
    prefer_huge_pages(data_, bytes);
}

}  // namespace quorvel
