// Plain views of caller-owned float64 arrays and the owned buffers the core
// hands back.  Strides count elements, not bytes; the binding layer only
// builds views of aligned data, so every element is a properly aligned double.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <span>
#include <utility>
#include <vector>

#include "result.hpp"

namespace quorvel {

// Read-only view of an array with any number of axes and any strides.
struct ArrayView {
    const double* data = nullptr;
    std::span<const std::size_t> shape;
    std::span<const std::ptrdiff_t> strides;
    bool contiguous = true;  // row- or column-major contiguous and aligned

    std::size_t ndim() const { return shape.size(); }
    std::size_t size() const {
        std::size_t n = 1;
        for (std::size_t len : shape) n *= len;
        return n;
    }
};

// Arrays that the core reads as one block must be contiguous (row- or
// column-major) and aligned; an empty array always passes.
inline Status require_contiguous(const ArrayView& view) {
    if (view.size() > 0 && !view.contiguous)
        return type_error("The given array is not contiguous or is misaligned.");
    return Ok{};
}

// Read-only strided run of values: element i is data[i * stride].
struct StridedValues {
    const double* data = nullptr;
    std::size_t size = 0;
    std::ptrdiff_t stride = 1;

    double operator[](std::size_t i) const {
        return data[static_cast<std::ptrdiff_t>(i) * stride];
    }
};

// Owned, 64-byte aligned, uninitialised storage for `size` doubles.  It can
// give up its storage (`release`), which is how results pass to NumPy arrays
// without a copy; the storage is then freed with `Buffer::free`.
class Buffer {
public:
    static constexpr std::size_t alignment = 64;
    // Zeros after the last element, so that a vector load of the fields of
    // the last grid position may run past them.
    static constexpr std::size_t slack = 3;

    Buffer() = default;
    // Throws std::bad_alloc when the memory cannot be obtained.
    explicit Buffer(std::size_t size);
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          kept_when_freed_(std::exchange(other.kept_when_freed_, false)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(kept_when_freed_, other.kept_when_freed_);
        return *this;
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { free(data_); }

    static void free(void* data) { std::free(data); }

    // Storage for a result that passes to an array: a large one may be that
    // of a result freed before with `free_result`, which spares the system
    // clearing fresh pages for it (which took a third as long as evaluating
    // 10^7 points into them).
    static Buffer for_result(std::size_t size);
    // Whether the storage, once released, is to be freed with `free_result`.
    bool kept_when_freed() const { return kept_when_freed_; }
    // Frees the released storage of a result of `size` values, or keeps it
    // for the next result of that size (a few, of bounded size in all).
    static void free_result(void* data, std::size_t size);

    double* data() { return data_; }
    const double* data() const { return data_; }
    std::size_t size() const { return size_; }
    double& operator[](std::size_t i) { return data_[i]; }
    double operator[](std::size_t i) const { return data_[i]; }
    std::span<double> span() { return {data_, size_}; }
    std::span<const double> span() const { return {data_, size_}; }

    // Gives up ownership; the caller frees the storage with Buffer::free.
    double* release() {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    double* data_ = nullptr;
    std::size_t size_ = 0;
    bool kept_when_freed_ = false;
};

// An owned array with its shape, row-major.
struct NdBuffer {
    Buffer values;
    std::vector<std::size_t> shape;
};

}  // namespace quorvel
