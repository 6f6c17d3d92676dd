// The arithmetic every evaluator is written in.  A lane type V holds the
// values of one point (double) or of several points side by side in a SIMD
// register (f64x2: 2 with NEON, f64x4: 4 with AVX2, f64x8: 8 with AVX-512).
// Evaluators are templates over V, so a point gets exactly the same
// operations, and so exactly the same bits, whichever lane type carries it.
//
// Stencil positions are carried as doubles holding integers (exact below
// 2^53) and turned into element indices only to gather.
//
// Everything here and in the evaluator templates has internal linkage: each
// translation unit compiles its own copy for its own instruction set, and the
// linker can never hand a copy built for a wider instruction set to code that
// runs without it.
//
// The one-point code is plain C++; the SIMD sections need GCC or Clang (their
// vector types take operators) and are compiled where the translation unit's
// flags enable them.  LaneType<N>::type is the lane type of N lanes, where
// compiled.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#if defined(__GNUC__) && defined(__AVX2__) && defined(__FMA__)
#define QUORVEL_LANES_AVX2
#include <immintrin.h>
#if defined(__AVX512F__) && defined(__AVX512DQ__)
#define QUORVEL_LANES_AVX512
#endif
#elif defined(__GNUC__) && defined(__aarch64__) && defined(__ARM_NEON)
#define QUORVEL_LANES_NEON
#include <arm_neon.h>
#endif

// QUORVEL_HOT for the small helpers of the hot loops: the compiler's own
// choice varies with the size of the functions around them, and a call there
// costs a spill of every register that holds a lane.  QUORVEL_NOINLINE keeps
// a rare path out of them.
#if defined(__GNUC__)
#define QUORVEL_HOT inline __attribute__((always_inline))
#define QUORVEL_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define QUORVEL_HOT __forceinline
#define QUORVEL_NOINLINE __declspec(noinline)
#else
#define QUORVEL_HOT inline
#define QUORVEL_NOINLINE
#endif

namespace quorvel {
namespace {

// ---------------------------------------------------------------------------
// One point: plain doubles.

template <class V>
constexpr std::size_t lane_count = 1;

template <std::size_t N>
struct LaneType;
template <>
struct LaneType<1> {
    using type = double;
};

template <class V>
inline V splat(double x);
template <>
inline double splat<double>(double x) {
    return x;
}

inline double fused(double a, double b, double c) { return std::fma(a, b, c); }

// The fields of one point side by side: FieldLanes<V>::type holds up to its
// lane count of them (one here).  load_field_lanes reads a whole vector,
// whatever lies beyond a group's last field included (buffers of coefficients
// leave room for it); store_field_lanes writes the first n lanes only.
template <class V>
struct FieldLanes {
    using type = double;
};
template <class FV>
inline FV load_field_lanes(const double* p);
template <>
inline double load_field_lanes<double>(const double* p) {
    return *p;
}
inline void store_field_lanes(double* p, double v, std::size_t) { *p = v; }

// floor(u) clamped to [lo, hi], as a double.  Converting floor(u) to an
// integer with saturation (NaN to 0) before the clamp gives the same index
// (lo >= 0), so the clamp is done on doubles and a NaN lands on lo.
inline double cell_index(double u, double lo, double hi) {
    const double c = std::floor(u);
    // + 0.0 turns a floor of -0.0 into the 0 that the integer conversion gives.
    return (c >= lo ? (c <= hi ? c : hi) : lo) + 0.0;
}

inline std::ptrdiff_t to_index(double position) { return static_cast<std::ptrdiff_t>(position); }
inline double gather(const double* base, std::ptrdiff_t index) { return base[index]; }

// rows[q] = base[index + q] for q < count: the `count` consecutive values
// each lane reads from its own index, one vector per column.
QUORVEL_HOT void load_columns(const double* base, std::ptrdiff_t index, std::size_t count, double* rows) {
    for (std::size_t q = 0; q < count; ++q) rows[q] = base[index + q];
}

// The W consecutive values each lane's stencil covers, one vector per column.
template <std::size_t W>
QUORVEL_HOT void stencil_rows(const double* base, std::ptrdiff_t index, double (&rows)[W]) {
    load_columns(base, index, W, rows);
}

// out[l * stride] = lane l of v.
inline void store_lanes(double v, double* out, std::ptrdiff_t) { *out = v; }

// base[position], or NaN where the position is NaN (nothing is read there).
inline double gather_or_nan(const double* base, double position) {
    return std::isnan(position) ? position : base[static_cast<std::ptrdiff_t>(position)];
}

// Lanes from p[0], p[stride], p[2 stride], ...
template <class V>
inline V load(const double* p, std::ptrdiff_t stride);
template <>
inline double load<double>(const double* p, std::ptrdiff_t) {
    return *p;
}
inline void store(double* out, double v) { *out = v; }

inline bool any_outside(double x, double lo, double hi) { return x < lo || x > hi; }
// x moved into [lo, hi]; NaN stays NaN.
inline double clamp_to(double x, double lo, double hi) { return x < lo ? lo : x > hi ? hi : x; }
// NaN where x lies outside [lo, hi].
inline double nan_outside(double x, double lo, double hi) {
    return x < lo || x > hi ? std::numeric_limits<double>::quiet_NaN() : x;
}
// x moved by whole periods into [first, first + period): the remainders of x
// and of first by the period are exact, so only their difference and the
// final sum round, whatever the size of x.  An infinite x gives NaN.
inline double wrap_periodic(double x, double first, double period) {
    if (!std::isfinite(x)) return std::numeric_limits<double>::quiet_NaN();
    double r = std::fmod(x, period) - std::fmod(first, period);  // in (-2 period, 2 period)
    if (r < 0.0) r += period;
    if (r < 0.0) r += period;
    if (r >= period) r -= period;
    return first + r;
}
inline bool all_at_least(double x, double bound) { return x >= bound; }
inline double at_least(double x, double bound) { return x >= bound ? x : bound; }
inline double at_most(double x, double bound) { return x <= bound ? x : bound; }
// Lane by lane: x >= bound (or x == value) ? then : otherwise.
inline double if_at_least(double x, double bound, double then, double otherwise) {
    return x >= bound ? then : otherwise;
}
inline double if_equal(double x, double value, double then, double otherwise) { return x == value ? then : otherwise; }

// x < c ? below : x >= c ? above : x (so NaN gives itself).
inline double pick_by_half(double x, double below, double above) { return x < 0.5 ? below : x >= 0.5 ? above : x; }
// x > c ? above : otherwise (NaN included).
inline double if_above_half(double x, double above, double otherwise) { return x > 0.5 ? above : otherwise; }

#ifdef QUORVEL_LANES_AVX2
// ---------------------------------------------------------------------------
// Four points: AVX2 with FMA.

// The same vector as __m256d, declared without its aliasing attribute so that
// it can be a template argument.
typedef double f64x4 __attribute__((vector_size(32)));

template <>
constexpr std::size_t lane_count<f64x4> = 4;
template <>
struct LaneType<4> {
    using type = f64x4;
};

template <>
inline f64x4 splat<f64x4>(double x) {
    return _mm256_set1_pd(x);
}

inline f64x4 fused(f64x4 a, f64x4 b, f64x4 c) { return _mm256_fmadd_pd(a, b, c); }

template <>
struct FieldLanes<f64x4> {
    using type = f64x4;
};
template <>
inline f64x4 load_field_lanes<f64x4>(const double* p) {
    return _mm256_loadu_pd(p);
}
inline void store_field_lanes(double* p, f64x4 v, std::size_t n) {
    if (n == 4) return _mm256_storeu_pd(p, v);
    const __m128d low = _mm256_castpd256_pd128(v);
    if (n == 1) return _mm_store_sd(p, low);
    _mm_storeu_pd(p, low);
    if (n == 3) _mm_store_sd(p + 2, _mm256_extractf128_pd(v, 1));
}

inline f64x4 cell_index(f64x4 u, double lo, double hi) {
    const f64x4 c = _mm256_round_pd(u, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    // max returns its second operand when the first is NaN.
    return _mm256_min_pd(_mm256_max_pd(c, _mm256_set1_pd(lo)), _mm256_set1_pd(hi));
}

// Integers 0 <= x < 2^51: x + 2^52 holds x in its low mantissa bits.
inline __m256i to_index(f64x4 position) {
    const f64x4 magic = _mm256_set1_pd(0x1p52);
    return _mm256_sub_epi64(_mm256_castpd_si256(_mm256_add_pd(position, magic)), _mm256_castpd_si256(magic));
}

inline f64x4 gather(const double* base, __m256i index) { return _mm256_i64gather_pd(base, index, 8); }

// Each lane's run loaded two columns at a time, lanes 0 and 2 (1 and 3) in
// one register, and transposed by one unpack per column: cheaper than one
// gather per column (but for an odd count's last one), and than transposing
// 4 x 4 blocks, whose lane-crossing shuffles all compete for one port.
QUORVEL_HOT void load_columns(const double* base, __m256i index, std::size_t count, f64x4* rows) {
    alignas(32) std::int64_t at[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(at), index);
    const double* p[4] = {base + at[0], base + at[1], base + at[2], base + at[3]};
    std::size_t j = 0;
    for (; j + 2 <= count; j += 2) {
        const __m256d z0 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(p[0] + j)), _mm_loadu_pd(p[2] + j), 1);
        const __m256d z1 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(p[1] + j)), _mm_loadu_pd(p[3] + j), 1);
        rows[j] = _mm256_unpacklo_pd(z0, z1);
        rows[j + 1] = _mm256_unpackhi_pd(z0, z1);
    }
    if (j < count) rows[j] = gather(base + j, index);
}

template <std::size_t W>
QUORVEL_HOT void stencil_rows(const double* base, __m256i index, f64x4 (&rows)[W]) {
    if constexpr (W == 2) {  // two gathers beat four loads and the shuffles
        rows[0] = gather(base, index);
        rows[1] = gather(base + 1, index);
    } else {
        load_columns(base, index, W, rows);
    }
}

inline void store_lanes(f64x4 v, double* out, std::ptrdiff_t stride) {
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, v);
    for (std::ptrdiff_t l = 0; l < 4; ++l) out[l * stride] = lanes[l];
}
inline f64x4 gather_or_nan(const double* base, f64x4 position) {
    const f64x4 ordered = _mm256_cmp_pd(position, position, _CMP_ORD_Q);
    return _mm256_mask_i64gather_pd(position, base, to_index(position), ordered, 8);
}

// Strided lanes (the coordinates of N-dimensional points) by four loads: a
// gather is microcoded on some cores and took a quarter of a 3-D evaluation.
template <>
inline f64x4 load<f64x4>(const double* p, std::ptrdiff_t stride) {
    if (stride == 1) return _mm256_loadu_pd(p);
    return _mm256_setr_pd(p[0], p[stride], p[2 * stride], p[3 * stride]);
}
inline void store(double* out, f64x4 v) { _mm256_storeu_pd(out, v); }

inline bool any_outside(f64x4 x, double lo, double hi) {
    const f64x4 below = _mm256_cmp_pd(x, _mm256_set1_pd(lo), _CMP_LT_OQ);
    const f64x4 above = _mm256_cmp_pd(x, _mm256_set1_pd(hi), _CMP_GT_OQ);
    return _mm256_movemask_pd(_mm256_or_pd(below, above)) != 0;
}
inline f64x4 clamp_to(f64x4 x, double lo, double hi) {
    const f64x4 low = _mm256_set1_pd(lo), high = _mm256_set1_pd(hi);
    const f64x4 raised = _mm256_blendv_pd(x, low, _mm256_cmp_pd(x, low, _CMP_LT_OQ));
    return _mm256_blendv_pd(raised, high, _mm256_cmp_pd(x, high, _CMP_GT_OQ));
}
inline f64x4 nan_outside(f64x4 x, double lo, double hi) {
    const f64x4 outside = _mm256_or_pd(_mm256_cmp_pd(x, _mm256_set1_pd(lo), _CMP_LT_OQ),
                                       _mm256_cmp_pd(x, _mm256_set1_pd(hi), _CMP_GT_OQ));
    return _mm256_blendv_pd(x, _mm256_set1_pd(std::numeric_limits<double>::quiet_NaN()), outside);
}
inline bool all_at_least(f64x4 x, double bound) {
    return _mm256_movemask_pd(_mm256_cmp_pd(x, _mm256_set1_pd(bound), _CMP_GE_OQ)) == 0xF;
}
inline f64x4 at_least(f64x4 x, double bound) { return _mm256_max_pd(x, _mm256_set1_pd(bound)); }
inline f64x4 at_most(f64x4 x, double bound) { return _mm256_min_pd(x, _mm256_set1_pd(bound)); }
inline f64x4 if_at_least(f64x4 x, double bound, f64x4 then, f64x4 otherwise) {
    return _mm256_blendv_pd(otherwise, then, _mm256_cmp_pd(x, _mm256_set1_pd(bound), _CMP_GE_OQ));
}
inline f64x4 if_equal(f64x4 x, double value, f64x4 then, f64x4 otherwise) {
    return _mm256_blendv_pd(otherwise, then, _mm256_cmp_pd(x, _mm256_set1_pd(value), _CMP_EQ_OQ));
}

inline f64x4 pick_by_half(f64x4 x, f64x4 below, f64x4 above) {
    const f64x4 half = _mm256_set1_pd(0.5);
    const f64x4 r = _mm256_blendv_pd(x, above, _mm256_cmp_pd(x, half, _CMP_GE_OQ));
    return _mm256_blendv_pd(r, below, _mm256_cmp_pd(x, half, _CMP_LT_OQ));
}
inline f64x4 if_above_half(f64x4 x, f64x4 above, f64x4 otherwise) {
    return _mm256_blendv_pd(otherwise, above, _mm256_cmp_pd(x, _mm256_set1_pd(0.5), _CMP_GT_OQ));
}
#endif

#ifdef QUORVEL_LANES_AVX512
// ---------------------------------------------------------------------------
// Eight points: AVX-512.

typedef double f64x8 __attribute__((vector_size(64)));  // __m512d, as f64x4

template <>
constexpr std::size_t lane_count<f64x8> = 8;
template <>
struct LaneType<8> {
    using type = f64x8;
};

template <>
inline f64x8 splat<f64x8>(double x) {
    return _mm512_set1_pd(x);
}

inline f64x8 fused(f64x8 a, f64x8 b, f64x8 c) { return _mm512_fmadd_pd(a, b, c); }

// A point's fields four to a vector: they rarely fill eight.
template <>
struct FieldLanes<f64x8> {
    using type = f64x4;
};

inline f64x8 cell_index(f64x8 u, double lo, double hi) {
    const f64x8 c = _mm512_roundscale_pd(u, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    return _mm512_min_pd(_mm512_max_pd(c, _mm512_set1_pd(lo)), _mm512_set1_pd(hi));
}

inline __m512i to_index(f64x8 position) { return _mm512_cvttpd_epi64(position); }

inline f64x8 gather(const double* base, __m512i index) { return _mm512_i64gather_pd(index, base, 8); }

// Each lane's run loaded whole and transposed: cheaper than one gather per
// column, but for a single one.
QUORVEL_HOT void load_columns(const double* base, __m512i index, std::size_t count, f64x8* rows) {
    alignas(64) std::int64_t at[8];
    _mm512_store_si512(at, index);
    const double* p[8];
    for (int l = 0; l < 8; ++l) p[l] = base + at[l];
    const __m512i even_pairs = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
    const __m512i odd_pairs = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
    std::size_t j = 0;
    for (; j + 8 <= count; j += 8) {
        __m512d r[8], u[8];
        for (int l = 0; l < 8; ++l) r[l] = _mm512_loadu_pd(p[l] + j);
        for (int q = 0; q < 8; q += 4) {
            const __m512d t0 = _mm512_unpacklo_pd(r[q], r[q + 1]), t1 = _mm512_unpackhi_pd(r[q], r[q + 1]);
            const __m512d t2 = _mm512_unpacklo_pd(r[q + 2], r[q + 3]), t3 = _mm512_unpackhi_pd(r[q + 2], r[q + 3]);
            u[q] = _mm512_permutex2var_pd(t0, even_pairs, t2);      // columns 0 and 4
            u[q + 1] = _mm512_permutex2var_pd(t1, even_pairs, t3);  // 1 and 5
            u[q + 2] = _mm512_permutex2var_pd(t0, odd_pairs, t2);   // 2 and 6
            u[q + 3] = _mm512_permutex2var_pd(t1, odd_pairs, t3);   // 3 and 7
        }
        for (int c = 0; c < 4; ++c) {
            rows[j + c] = _mm512_shuffle_f64x2(u[c], u[c + 4], 0x44);
            rows[j + c + 4] = _mm512_shuffle_f64x2(u[c], u[c + 4], 0xEE);
        }
    }
    if (j + 4 <= count) {
        __m512d z[4];
        for (int l = 0; l < 4; ++l)
            z[l] = _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(p[l] + j)), _mm256_loadu_pd(p[l + 4] + j), 1);
        const __m512d t0 = _mm512_unpacklo_pd(z[0], z[1]), t1 = _mm512_unpackhi_pd(z[0], z[1]);
        const __m512d t2 = _mm512_unpacklo_pd(z[2], z[3]), t3 = _mm512_unpackhi_pd(z[2], z[3]);
        rows[j] = _mm512_permutex2var_pd(t0, even_pairs, t2);
        rows[j + 1] = _mm512_permutex2var_pd(t1, even_pairs, t3);
        rows[j + 2] = _mm512_permutex2var_pd(t0, odd_pairs, t2);
        rows[j + 3] = _mm512_permutex2var_pd(t1, odd_pairs, t3);
        j += 4;
    }
    if (j + 2 <= count) {
        __m512d z[2];
        for (int h = 0; h < 2; ++h) {  // the quarter to insert into is an immediate operand
            const double* const* q = p + 4 * h;
            z[h] = _mm512_castpd128_pd512(_mm_loadu_pd(q[0] + j));
            z[h] = _mm512_insertf64x2(z[h], _mm_loadu_pd(q[1] + j), 1);
            z[h] = _mm512_insertf64x2(z[h], _mm_loadu_pd(q[2] + j), 2);
            z[h] = _mm512_insertf64x2(z[h], _mm_loadu_pd(q[3] + j), 3);
        }
        rows[j] = _mm512_permutex2var_pd(z[0], _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14), z[1]);
        rows[j + 1] = _mm512_permutex2var_pd(z[0], _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15), z[1]);
        j += 2;
    }
    if (j < count) rows[j] = gather(base + j, index);
}

template <std::size_t W>
QUORVEL_HOT void stencil_rows(const double* base, __m512i index, f64x8 (&rows)[W]) {
    if constexpr (W == 2) {  // two gathers beat eight loads and the shuffles
        rows[0] = gather(base, index);
        rows[1] = gather(base + 1, index);
    } else {
        load_columns(base, index, W, rows);
    }
}

inline void store_lanes(f64x8 v, double* out, std::ptrdiff_t stride) {
    alignas(64) double lanes[8];
    _mm512_store_pd(lanes, v);
    for (std::ptrdiff_t l = 0; l < 8; ++l) out[l * stride] = lanes[l];
}

inline f64x8 gather_or_nan(const double* base, f64x8 position) {
    const __mmask8 ordered = _mm512_cmp_pd_mask(position, position, _CMP_ORD_Q);
    return _mm512_mask_i64gather_pd(position, ordered, to_index(position), base, 8);
}

// Strided lanes by plain loads, as for four lanes: through a stream of points
// beyond the caches, eight loads took 4.5 ns and a gather 19 on an AMD Zen 4
// (memory is fetched ahead for loads, not for gathers), and 2-D evaluation
// ran at half speed.
template <>
inline f64x8 load<f64x8>(const double* p, std::ptrdiff_t s) {
    if (s == 1) return _mm512_loadu_pd(p);
    const __m256d low = _mm256_setr_pd(p[0], p[s], p[2 * s], p[3 * s]);
    const __m256d high = _mm256_setr_pd(p[4 * s], p[5 * s], p[6 * s], p[7 * s]);
    return _mm512_insertf64x4(_mm512_castpd256_pd512(low), high, 1);
}
inline void store(double* out, f64x8 v) { _mm512_storeu_pd(out, v); }

inline bool any_outside(f64x8 x, double lo, double hi) {
    return (_mm512_cmp_pd_mask(x, _mm512_set1_pd(lo), _CMP_LT_OQ) |
            _mm512_cmp_pd_mask(x, _mm512_set1_pd(hi), _CMP_GT_OQ)) != 0;
}
inline f64x8 clamp_to(f64x8 x, double lo, double hi) {
    const f64x8 low = _mm512_set1_pd(lo), high = _mm512_set1_pd(hi);
    const f64x8 raised = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(x, low, _CMP_LT_OQ), x, low);
    return _mm512_mask_blend_pd(_mm512_cmp_pd_mask(x, high, _CMP_GT_OQ), raised, high);
}
inline f64x8 nan_outside(f64x8 x, double lo, double hi) {
    const __mmask8 outside = _mm512_cmp_pd_mask(x, _mm512_set1_pd(lo), _CMP_LT_OQ) |
                             _mm512_cmp_pd_mask(x, _mm512_set1_pd(hi), _CMP_GT_OQ);
    return _mm512_mask_blend_pd(outside, x, _mm512_set1_pd(std::numeric_limits<double>::quiet_NaN()));
}
inline bool all_at_least(f64x8 x, double bound) {
    return _mm512_cmp_pd_mask(x, _mm512_set1_pd(bound), _CMP_GE_OQ) == 0xFF;
}
inline f64x8 at_least(f64x8 x, double bound) { return _mm512_max_pd(x, _mm512_set1_pd(bound)); }
inline f64x8 at_most(f64x8 x, double bound) { return _mm512_min_pd(x, _mm512_set1_pd(bound)); }
inline f64x8 if_at_least(f64x8 x, double bound, f64x8 then, f64x8 otherwise) {
    return _mm512_mask_blend_pd(_mm512_cmp_pd_mask(x, _mm512_set1_pd(bound), _CMP_GE_OQ), otherwise, then);
}
inline f64x8 if_equal(f64x8 x, double value, f64x8 then, f64x8 otherwise) {
    return _mm512_mask_blend_pd(_mm512_cmp_pd_mask(x, _mm512_set1_pd(value), _CMP_EQ_OQ), otherwise, then);
}

inline f64x8 pick_by_half(f64x8 x, f64x8 below, f64x8 above) {
    const f64x8 half = _mm512_set1_pd(0.5);
    const f64x8 r = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(x, half, _CMP_GE_OQ), x, above);
    return _mm512_mask_blend_pd(_mm512_cmp_pd_mask(x, half, _CMP_LT_OQ), r, below);
}
inline f64x8 if_above_half(f64x8 x, f64x8 above, f64x8 otherwise) {
    return _mm512_mask_blend_pd(_mm512_cmp_pd_mask(x, _mm512_set1_pd(0.5), _CMP_GT_OQ), otherwise, above);
}
#endif

#ifdef QUORVEL_LANES_NEON
// ---------------------------------------------------------------------------
// Two points: NEON on aarch64, where fused multiply-add is in the base
// instruction set.

using f64x2 = float64x2_t;

template <>
constexpr std::size_t lane_count<f64x2> = 2;
template <>
struct LaneType<2> {
    using type = f64x2;
};

template <>
inline f64x2 splat<f64x2>(double x) {
    return vdupq_n_f64(x);
}

inline f64x2 fused(f64x2 a, f64x2 b, f64x2 c) { return vfmaq_f64(c, a, b); }

template <>
struct FieldLanes<f64x2> {
    using type = f64x2;
};
template <>
inline f64x2 load_field_lanes<f64x2>(const double* p) {
    return vld1q_f64(p);
}
inline void store_field_lanes(double* p, f64x2 v, std::size_t n) {
    if (n == 2) vst1q_f64(p, v);
    else vst1q_lane_f64(p, v, 0);
}

// The lanes (a, b).
inline f64x2 two_lanes(double a, double b) { return vcombine_f64(vdup_n_f64(a), vdup_n_f64(b)); }

inline f64x2 cell_index(f64x2 u, double lo, double hi) {
    // maxnm gives the number when one operand is NaN, and +0 for -0 and +0.
    return vminnmq_f64(vmaxnmq_f64(vrndmq_f64(u), vdupq_n_f64(lo)), vdupq_n_f64(hi));
}

// Positions are integers below 2^53: the conversion is exact.
inline int64x2_t to_index(f64x2 position) { return vcvtq_s64_f64(position); }

inline f64x2 gather(const double* base, int64x2_t index) {
    return two_lanes(base[vgetq_lane_s64(index, 0)], base[vgetq_lane_s64(index, 1)]);
}

// Each lane's run loaded two columns at a time and transposed.
QUORVEL_HOT void load_columns(const double* base, int64x2_t index, std::size_t count, f64x2* rows) {
    const double* p0 = base + vgetq_lane_s64(index, 0);
    const double* p1 = base + vgetq_lane_s64(index, 1);
    std::size_t j = 0;
    for (; j + 2 <= count; j += 2) {
        const f64x2 r0 = vld1q_f64(p0 + j), r1 = vld1q_f64(p1 + j);
        rows[j] = vzip1q_f64(r0, r1);
        rows[j + 1] = vzip2q_f64(r0, r1);
    }
    if (j < count) rows[j] = two_lanes(p0[j], p1[j]);
}

template <std::size_t W>
QUORVEL_HOT void stencil_rows(const double* base, int64x2_t index, f64x2 (&rows)[W]) {
    load_columns(base, index, W, rows);
}

inline void store_lanes(f64x2 v, double* out, std::ptrdiff_t stride) {
    out[0] = vgetq_lane_f64(v, 0);
    out[stride] = vgetq_lane_f64(v, 1);
}
inline f64x2 gather_or_nan(const double* base, f64x2 position) {
    return two_lanes(gather_or_nan(base, vgetq_lane_f64(position, 0)), gather_or_nan(base, vgetq_lane_f64(position, 1)));
}

template <>
inline f64x2 load<f64x2>(const double* p, std::ptrdiff_t stride) {
    return stride == 1 ? vld1q_f64(p) : two_lanes(p[0], p[stride]);
}
inline void store(double* out, f64x2 v) { vst1q_f64(out, v); }

// Whether any (every) lane of a comparison's mask is set.
inline bool any_lane(uint64x2_t mask) { return vmaxvq_u32(vreinterpretq_u32_u64(mask)) != 0; }
inline bool every_lane(uint64x2_t mask) { return vminvq_u32(vreinterpretq_u32_u64(mask)) != 0; }

inline bool any_outside(f64x2 x, double lo, double hi) {
    return any_lane(vorrq_u64(vcltq_f64(x, vdupq_n_f64(lo)), vcgtq_f64(x, vdupq_n_f64(hi))));
}
inline f64x2 clamp_to(f64x2 x, double lo, double hi) {
    const f64x2 low = vdupq_n_f64(lo), high = vdupq_n_f64(hi);
    return vbslq_f64(vcgtq_f64(x, high), high, vbslq_f64(vcltq_f64(x, low), low, x));
}
inline f64x2 nan_outside(f64x2 x, double lo, double hi) {
    const uint64x2_t outside = vorrq_u64(vcltq_f64(x, vdupq_n_f64(lo)), vcgtq_f64(x, vdupq_n_f64(hi)));
    return vbslq_f64(outside, vdupq_n_f64(std::numeric_limits<double>::quiet_NaN()), x);
}
inline bool all_at_least(f64x2 x, double bound) { return every_lane(vcgeq_f64(x, vdupq_n_f64(bound))); }
// As the one-point versions, NaN giving the bound; only a zero's sign may
// differ, and these results only ever become indices.
inline f64x2 at_least(f64x2 x, double bound) { return vmaxnmq_f64(x, vdupq_n_f64(bound)); }
inline f64x2 at_most(f64x2 x, double bound) { return vminnmq_f64(x, vdupq_n_f64(bound)); }
inline f64x2 if_at_least(f64x2 x, double bound, f64x2 then, f64x2 otherwise) {
    return vbslq_f64(vcgeq_f64(x, vdupq_n_f64(bound)), then, otherwise);
}
inline f64x2 if_equal(f64x2 x, double value, f64x2 then, f64x2 otherwise) {
    return vbslq_f64(vceqq_f64(x, vdupq_n_f64(value)), then, otherwise);
}

inline f64x2 pick_by_half(f64x2 x, f64x2 below, f64x2 above) {
    const f64x2 half = vdupq_n_f64(0.5);
    return vbslq_f64(vcltq_f64(x, half), below, vbslq_f64(vcgeq_f64(x, half), above, x));
}
inline f64x2 if_above_half(f64x2 x, f64x2 above, f64x2 otherwise) {
    return vbslq_f64(vcgtq_f64(x, vdupq_n_f64(0.5)), above, otherwise);
}
#endif

}  // namespace
}  // namespace quorvel
