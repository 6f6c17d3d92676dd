#include "array.hpp"

#include <cstdint>
#include <new>

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

}  // namespace

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
