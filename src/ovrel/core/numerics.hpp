#pragma once

// Shared numeric routines: a stable log of a sum of exponentials and the prefix-sum builders the
// cost models make their caches from. None of them fails or checks its input for finiteness; the
// order of operations is fixed (the engine is built without floating-point contraction).

#include <span>
#include <vector>

namespace ovrel::core {

// ln(e^a + e^b) without overflow: +inf if either is +inf (even with a NaN), else NaN if either is
// NaN, else the other argument when one is -inf, else max + log1p(exp(min - max)).
double log_add_exp(double a, double b) noexcept;

// Running sums of m values: m + 1 entries, entry 0 is 0.0 and entry i + 1 covers x[0..i], so the
// sum over [i, j) is entry j minus entry i.
std::vector<double> prefix_sums(std::span<const double> x);
// The same with Neumaier compensation: each entry is the running sum plus its compensation, which
// is never folded back into the running sum.
std::vector<double> prefix_sums_kahan(std::span<const double> x);
// Running sums of squares, each square rounded to double before it is added.
std::vector<double> prefix_sum_squares(std::span<const double> x);
// The same with Neumaier compensation.
std::vector<double> prefix_sum_squares_kahan(std::span<const double> x);

// The same four builders writing into a caller's block of exactly x.size() + 1 entries (a cost
// model's per-dimension block of its flat prefix table); another size throws InternalError.
void prefix_sums_into(std::span<const double> x, std::span<double> out);
void prefix_sums_kahan_into(std::span<const double> x, std::span<double> out);
void prefix_sum_squares_into(std::span<const double> x, std::span<double> out);
void prefix_sum_squares_kahan_into(std::span<const double> x, std::span<double> out);

}  // namespace ovrel::core
