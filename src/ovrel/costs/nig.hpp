#pragma once

// Normal-inverse-gamma marginal cost: the negative log marginal likelihood of a segment under a
// normal model with unknown mean and variance and a conjugate normal-inverse-gamma prior shared
// by every dimension (dimensions independent, costs added).
//
// The cost is not sub-additive: splitting a segment can raise the total, so pruning rules that
// assume cost(a, c) >= cost(a, b) + cost(b, c) do not hold for it.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/missing.hpp"
#include "ovrel/core/repro.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/costs/model.hpp"

namespace ovrel::costs {

struct NIGPrior {
  double mu0 = 0.0;     // prior mean of the segment mean; finite
  double kappa0 = 1.0;  // pseudo-count attached to mu0; finite and > 0
  double alpha0 = 1.0;  // inverse-gamma shape; finite and > 0
  double beta0 = 1.0;   // inverse-gamma scale; finite and > 0

  // Checks mu0, kappa0, alpha0, beta0 in that order; the first failure is returned.
  core::Status validate() const;

  friend bool operator==(const NIGPrior&, const NIGPrior&) = default;
};

struct NIGCache {
  // Blocks of n + 1 entries per dimension; entry (t, j) at j * (n + 1) + t.
  std::vector<std::uint64_t> prefix_count;
  std::vector<double> prefix_sum;
  std::vector<double> prefix_sum_sq;
  NIGPrior prior;
  std::size_t n = 0;
  std::size_t d = 0;
  // Terms of every segment cost that depend on the prior only, computed once by precompute:
  // alpha0 * ln(beta0), ln(kappa0) and ln Gamma(alpha0).
  double alpha0_ln_beta0 = 0.0;
  double ln_kappa0 = 0.0;
  double ln_gamma_alpha0 = 0.0;
};

// ln Gamma(x) for x > 0: Lanczos (g = 7, nine coefficients), with reflection below 0.5 and
// -ln(x) below 1e-8. The evaluation order is fixed so that costs are reproducible bit for bit.
inline double ln_gamma(double x) {
  if (x < 1e-8) return -std::log(x);
  if (x < 0.5) {
    return (1.1447298858494002 - std::log(std::fabs(std::sin(x * 3.141592653589793)))) -
           ln_gamma(1.0 - x);
  }
  static constexpr double kC[9] = {
      0.9999999999998099,   676.5203681218851,     -1259.1392167224028,
      771.3234287776531,    -176.6150291621406,    12.507343278686905,
      -0.13857109526572012, 9.984369578019572e-06, 1.5056327351493116e-07};
  const double y = x - 1.0;
  double acc = kC[0] + kC[1] / (y + 1.0);
  for (int i = 2; i <= 8; ++i) acc += kC[i] / (y + static_cast<double>(i));
  const double t = (y + 7.0) + 0.5;
  return (((y + 0.5) * std::log(t) + 0.9189385332046727) - t) + std::log(acc);
}

class CostNIGMarginal {
 public:
  using Cache = NIGCache;

  NIGPrior prior;
  core::ReproMode repro_mode = core::ReproMode::Balanced;

  static constexpr std::string_view name() { return "nig_marginal"; }
  static constexpr core::MissingSupport missing_support() { return core::MissingSupport::Reject; }

  core::Status validate(const core::TimeSeriesView& x) const;
  core::Result<NIGCache> precompute(const core::TimeSeriesView& x,
                                    const core::CachePolicy& policy) const;
  // 3 * d; empty on overflow.
  std::optional<std::size_t> penalty_effective_params(std::size_t d) const;

  double segment_cost(const NIGCache& cache, std::size_t start, std::size_t end) const {
    check_segment(start, end, cache.n);
    constexpr double kSmallestNormal = 2.2250738585072014e-308;
    constexpr double kMinusLn2Pi = -1.8378770664093453;
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const NIGPrior& p = cache.prior;
    const std::size_t stride = cache.n + 1;
    // Every count block holds 0, 1, ..., n (no value is missing), so the count difference is
    // end - start in every dimension: m and every term that depends only on m are the same for
    // all dimensions and are computed once, without reading the count table.
    const double m = static_cast<double>(end - start);
    const double a = cache.alpha0_ln_beta0;
    const double lk = cache.ln_kappa0;
    const double h = m * 0.5;
    const double alpha_n = p.alpha0 + h;
    const double a_gamma = a + (ln_gamma(alpha_n) - cache.ln_gamma_alpha0);
    const double kappa_term = (lk - std::log(p.kappa0 + m)) * 0.5;
    const double pi_term = h * kMinusLn2Pi;
    const double kappa_m = p.kappa0 * m;
    const double kappa_n2 = (p.kappa0 + m) + (p.kappa0 + m);

    const double* s1_table = cache.prefix_sum.data();
    const double* s2_table = cache.prefix_sum_sq.data();
    double total = 0.0;
    for (std::size_t j = 0, base = 0; j < cache.d; ++j, base += stride) {
      const double s1 = range_sum(s1_table, base, start, end);
      const double s2 = range_sum(s2_table, base, start, end);
      const double mean = s1 / m;
      double ss = s2 - (s1 * s1) / m;
      // Rounding below zero is clamped and an overflowing square sum is capped; NaN (the sums
      // themselves overflowed) is kept so that the detector refuses the cost.
      if (ss <= 0.0) {
        ss = 0.0;
      } else if (ss == kInf) {
        ss = kLargestFinite;
      }
      const double dev = mean - p.mu0;
      const double shrink = (dev * (kappa_m * dev)) / kappa_n2;
      double beta_n = shrink + (p.beta0 + ss * 0.5);
      if (beta_n <= kSmallestNormal) {
        beta_n = kSmallestNormal;
      } else if (beta_n == kInf) {
        beta_n = kLargestFinite;
      }
      const double core_term = a_gamma - alpha_n * std::log(beta_n);
      const double logml = (kappa_term + core_term) + pi_term;
      total += logml;
    }
    return -total;
  }
};

}  // namespace ovrel::costs
