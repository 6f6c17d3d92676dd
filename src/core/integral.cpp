#include "integral.hpp"

#include <algorithm>
#include <vector>

#include "parallel.hpp"
#include "text.hpp"

namespace quorvel {
namespace {

// binom(n, r) as a running product: times (n - m), then over (m + 1).
double binomial(std::size_t n, std::size_t r) {
    double b = 1.0;
    for (std::size_t m = 0; m < r; ++m) {
        b *= static_cast<double>(n - m);
        b /= static_cast<double>(m + 1);
    }
    return b;
}

double power(double base, std::size_t exponent) {
    double p = 1.0;
    for (std::size_t i = 0; i < exponent; ++i) p *= base;
    return p;
}

// Adds (hw' - c - tau)^(k-1) / (2 (k-1)!) to every column c, which turns the
// centred antiderivatives into one-sided ones (zero left of the support).
std::vector<double> complete_one_sided(const ColumnTable& table, std::size_t k) {
    std::vector<double> coefs(table.coefficients, table.coefficients + table.count);
    const std::size_t ncols = table.ncols;
    const std::size_t rows = table.rows();
    const double half = static_cast<double>(ncols / 2);
    const double denominator = 2.0 * factorial(k - 1);
    for (std::size_t c = 0; c < ncols; ++c)
        for (std::size_t j = 0; j < k; ++j) {
            double b = binomial(k - 1, j);
            if (j % 2 == 1) b = -b;
            const double term = b * power(half - static_cast<double>(c), k - 1 - j) / denominator;
            double& coefficient = coefs[(rows - 1 - j) * ncols + c];  // of tau^j
            coefficient = coefficient + term;
        }
    return coefs;
}

}  // namespace

Result<IntegralAxis> IntegralAxis::create(std::string_view kernel, std::uint32_t k) {
    IntegralAxis axis;
    axis.tail_count = k;
    axis.nearest = is_nearest(kernel);
    if (axis.nearest) {
        axis.half_width = 1;
    } else {
        const auto order0 = column_table(kernel, 0);
        if (!order0) return value_error(text::format("unknown kernel {}", text::quoted(kernel)));
        axis.half_width = order0->ncols / 2;
    }
    axis.anchoring = anchoring_table(kernel, k);
    if (axis.anchoring == nullptr)
        return value_error(
            text::format("no anchoring table for kernel {}, integral order {}", text::quoted(kernel), k));
    if (axis.nearest) return axis;
    const auto table = column_table(kernel, -static_cast<std::int32_t>(k));
    if (!table) return value_error(text::format("no table for kernel {}, order -{}", text::quoted(kernel), k));
    axis.centered_rows = pad_values({table->coefficients, table->count}, table->ncols);
    axis.anchored_rows = pad_values(complete_one_sided(*table, k), table->ncols);
    return axis;
}

Buffer extend_tails(const IntegralAxis& axis, std::span<const double> data, std::size_t inner,
                    std::size_t axis_len, std::size_t stride, std::size_t threads) {
    const std::size_t k = axis.tail_count;
    const std::size_t hw = axis.half_width;
    const AnchoringTable& anchoring = *axis.anchoring;

    // Share of a coefficient wholly right of the first knot: (t + hw)^(k-1) / (k-1)!.
    std::vector<double> right_share(k);
    for (std::size_t j = 0; j < k; ++j)
        right_share[j] = binomial(k - 1, j) * power(static_cast<double>(hw), k - 1 - j) / factorial(k - 1);
    // shift[r][c] = binom(c, r): moves a polynomial p(t) to p(t + 1).
    std::vector<double> shift(k * k, 0.0);
    for (std::size_t r = 0; r < k; ++r)
        for (std::size_t c = r; c < k; ++c) shift[r * k + c] = binomial(c, r);

    // Element e = (o * axis_len + i) * stride + r sits at position i; the
    // values of all elements at one position of one outer block form a run
    // of stride * inner values, and their predecessors the run before it.
    // Each value q of a run, in each block o, is one independent line along
    // the axis: the lines, numbered o * run + q, are shared out in contiguous
    // ranges.
    Buffer out(k * data.size());
    if (data.empty()) return out;
    const std::size_t run = stride * inner;
    const std::size_t lines = data.size() / axis_len;
    const auto accumulate = [&](std::size_t o, std::size_t q_begin, std::size_t q_end) {
        for (std::size_t i = 0; i < axis_len; ++i) {
            const double* share = i < anchoring.rows ? anchoring.tail_polynomials + i * k : right_share.data();
            const std::size_t first = (o * axis_len + i) * run;
            const double* values = data.data() + first;
            double* tails = out.data() + first * k;
            if (i == 0) {
                for (std::size_t q = q_begin; q < q_end; ++q)
                    for (std::size_t j = 0; j < k; ++j) tails[q * k + j] = values[q] * share[j];
                continue;
            }
            // Own share plus the previous tail moved one cell to the right.
            const double* previous = tails - run * k;
            for (std::size_t q = q_begin; q < q_end; ++q)
                for (std::size_t j = 0; j < k; ++j) {
                    double sum = values[q] * share[j];
                    for (std::size_t c = j; c < k; ++c) sum = sum + shift[j * k + c] * previous[q * k + c];
                    tails[q * k + j] = sum;
                }
        }
    };
    run_chunks(lines, std::clamp<std::size_t>(threads, 1, lines),
               [&](std::size_t, std::size_t begin, std::size_t end) {
                   for (std::size_t line = begin; line < end;) {
                       const std::size_t o = line / run, q = line % run;
                       const std::size_t q_end = std::min(run, q + (end - line));
                       accumulate(o, q, q_end);
                       line += q_end - q;
                   }
               });
    return out;
}

}  // namespace quorvel
