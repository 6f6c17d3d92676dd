// Compensated arithmetic: sums of products carried as an unevaluated pair
// (sum, error), as accurate as if they were computed in twice the working
// precision and rounded once at the end.
#pragma once

#include <cmath>

// std::fma is a library call unless the compiler may assume the instruction.
// The routines that run it per value get a second copy built for processors
// that have it, picked at load time (a GNU indirect function, which GCC and
// Clang build alike on glibc); both copies round identically, as fma is
// exact-then-rounded either way and nothing else is fused.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__GLIBC__)
#define QUORVEL_FMA_CLONES __attribute__((target_clones("fma", "default")))
#else
#define QUORVEL_FMA_CLONES
#endif

namespace quorvel {

// What the rounded sum s = a + b lost: (a + b) - s, exactly (TwoSum).
inline double sum_error(double a, double b, double s) {
    const double b_part = s - a;
    return (b - b_part) + (a - (s - b_part));
}

// What the rounded product p = a * b lost: a * b - p, exactly.
inline double product_error(double a, double b, double p) { return std::fma(a, b, -p); }

// The Dot2 scheme (Ogita, Rump and Oishi): each product split into its
// rounded value and its error, each addition into its rounded sum and its
// error, the errors gathered in `error`.  The order of the operations is
// fixed, so the result is too.
struct CompensatedSum {
    double sum = 0.0;
    double error = 0.0;

    void add_product(double a, double b) {
        const double p = a * b;
        const double s = sum + p;
        error = error + (product_error(a, b, p) + sum_error(sum, p, s));
        sum = s;
    }

    // a times the unevaluated sum x.
    void add_product(double a, const CompensatedSum& x) {
        add_product(a, x.sum);
        error = error + a * x.error;
    }

    double rounded() const { return sum + error; }
};

}  // namespace quorvel
