#include "dispatch.hpp"

#include "variants.hpp"

namespace quorvel {

#define QUORVEL_DECLARE_ARCH(arch)                                                        \
    namespace arch {                                                                      \
    OutsideRange evaluate_1d(const Interpolant1D& f, StridedValues points, RangeMode mode, double* out);  \
    OutsideRange evaluate_nd(const InterpolantND& f, const ArrayView& points, RangeMode mode, double* out); \
    Status grid_product(const InterpolantND& f, const ExtendedSlabs* slabs,                                  \
                        std::span<const StridedValues> coordinates, std::size_t threads, double* out);        \
    OutsideRange evaluate_derivatives(std::span<const InterpolantND* const> outputs, unsigned degree,        \
                                      const ArrayView& points, RangeMode mode, double* out);                  \
    }
QUORVEL_FOR_EACH_VARIANT(QUORVEL_DECLARE_ARCH)
#undef QUORVEL_DECLARE_ARCH

namespace {

// Whether this processor runs a variant: has every feature that the
// variant's flags in meson.build enable, and an operating system that saves
// the registers they widen (__builtin_cpu_supports checks both, in GCC and
// Clang alike).  A build without the variant leaves its test unused.
bool runs_generic() { return true; }
#if defined(__GNUC__) && defined(__x86_64__)
[[maybe_unused]] bool runs_avx2() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }
[[maybe_unused]] bool runs_avx512() {
    return runs_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
}
#endif
#if defined(__aarch64__)
[[maybe_unused]] bool runs_neon() { return true; }  // every aarch64 processor has it
#endif

std::size_t count_runnable() {
#if defined(__GNUC__) && defined(__x86_64__)
    __builtin_cpu_init();
#endif
    std::size_t count = 0;
#define QUORVEL_COUNT(arch) \
    if (!runs_##arch()) return count; \
    ++count;
    QUORVEL_FOR_EACH_VARIANT(QUORVEL_COUNT)
#undef QUORVEL_COUNT
    return count;
}

}  // namespace

std::size_t runnable_variants() {
    static const std::size_t count = count_runnable();  // thread-safe, once per process
    return count;
}

std::span<const Evaluators> supported_evaluators() {
#define QUORVEL_ENTRY(arch) \
    {#arch, arch::evaluate_1d, arch::evaluate_nd, arch::grid_product, arch::evaluate_derivatives},
    static const Evaluators all[] = {QUORVEL_FOR_EACH_VARIANT(QUORVEL_ENTRY)};
#undef QUORVEL_ENTRY
    return {all, runnable_variants()};
}

const Evaluators& evaluators() { return supported_evaluators().back(); }

}  // namespace quorvel
