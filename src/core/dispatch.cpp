#include "dispatch.hpp"

#include <iterator>

namespace quorvel {

#define QUORVEL_DECLARE_ARCH(arch)                                                        \
    namespace arch {                                                                      \
    OutsideRange evaluate_1d(const Interpolant1D& f, StridedValues points, RangeMode mode, double* out);  \
    OutsideRange evaluate_nd(const InterpolantND& f, const ArrayView& points, RangeMode mode, double* out); \
    void grid_product(const InterpolantND& f, std::span<const StridedValues> coordinates, std::size_t threads, \
                      double* out);                                                                          \
    OutsideRange evaluate_derivatives(std::span<const InterpolantND* const> outputs, unsigned degree,        \
                                      const ArrayView& points, RangeMode mode, double* out);                  \
    }

QUORVEL_DECLARE_ARCH(generic)
#ifdef QUORVEL_X86_VARIANTS
QUORVEL_DECLARE_ARCH(avx2)
QUORVEL_DECLARE_ARCH(avx512)
#endif
#undef QUORVEL_DECLARE_ARCH

namespace {

std::span<const Evaluators> detect() {
    static const Evaluators all[] = {
        {"generic", generic::evaluate_1d, generic::evaluate_nd, generic::grid_product, generic::evaluate_derivatives},
#ifdef QUORVEL_X86_VARIANTS
        {"avx2", avx2::evaluate_1d, avx2::evaluate_nd, avx2::grid_product, avx2::evaluate_derivatives},
        {"avx512", avx512::evaluate_1d, avx512::evaluate_nd, avx512::grid_product, avx512::evaluate_derivatives},
#endif
    };
    std::size_t count = 1;
#ifdef QUORVEL_X86_VARIANTS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("x86-64-v3")) ++count;
    if (count == 2 && __builtin_cpu_supports("x86-64-v4")) ++count;
#endif
    return {all, count};
}

}  // namespace

std::span<const Evaluators> supported_evaluators() {
    static const std::span<const Evaluators> supported = detect();  // thread-safe, once per process
    return supported;
}

const Evaluators& evaluators() { return supported_evaluators().back(); }

}  // namespace quorvel
