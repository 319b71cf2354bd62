#pragma once

// Autoregressive cost: each dimension of a segment is fitted by an AR(p) model with intercept and
// the segment costs the number of fitted points times the log residual variance, added over
// dimensions. It detects changes in dynamics rather than in level. Order 1 is a closed-form least
// squares fit from prefix sums (O(d) per segment); higher orders keep the series and fit each
// segment by Levinson-Durbin on its sample autocovariances (O(d * (m * p + p^2))).

#include <cmath>
#include <cstddef>
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

struct ARCache {
  // Order 1: d blocks of n + 1 prefix sums each (entry (t, j) at j * (n + 1) + t) of the values,
  // their squares and the lag products x[t] * x[t-1] (zero for t = 0), all taken of the column
  // shifted by its first value. Empty for higher orders.
  std::vector<double> prefix_sum;
  std::vector<double> prefix_sum_sq;
  std::vector<double> prefix_lag_product;
  // Higher orders: the values, d blocks of n (entry (t, j) at j * n + t). Absent for order 1.
  std::optional<std::vector<double>> series;
  std::size_t n = 0;
  std::size_t d = 0;
};

// "cache size overflow while planning ARCache for n={}, d={}" (ResourceLimit).
core::OvrelError cache_overflow_err(std::size_t n, std::size_t d);

class CostAR {
 public:
  using Cache = ARCache;

  std::size_t order = 1;
  core::ReproMode repro_mode = core::ReproMode::Balanced;

  static constexpr std::string_view name() { return "ar"; }
  static constexpr core::MissingSupport missing_support() { return core::MissingSupport::Reject; }

  core::Status validate(const core::TimeSeriesView& x) const;
  core::Result<ARCache> precompute(const core::TimeSeriesView& x,
                                   const core::CachePolicy& policy) const;
  // d * (order + 2), order + 2 saturating; empty when the product overflows.
  std::optional<std::size_t> penalty_effective_params(std::size_t d) const;

  double segment_cost(const ARCache& cache, std::size_t start, std::size_t end) const {
    check_segment(start, end, cache.n);
    const std::size_t m = end - start;
    const std::size_t p_plus_1 =
        order == std::numeric_limits<std::size_t>::max() ? order : order + 1;
    if (m <= p_plus_1) return 0.0;
    if (order != 1) return high_order_cost(cache, start, end);

    // 32 times the double epsilon: lagged values whose centred square sum is below this share
    // of their magnitude are treated as constant, and no slope is fitted.
    constexpr double kRelTol = 7.105427357601002e-15;
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const double m1 = static_cast<double>(m - 1);
    const std::size_t stride = cache.n + 1;
    const double* s1_table = cache.prefix_sum.data();
    const double* s2_table = cache.prefix_sum_sq.data();
    const double* c_table = cache.prefix_lag_product.data();
    double total = 0.0;
    for (std::size_t j = 0, base = 0; j < cache.d; ++j, base += stride) {
      const double sy = range_sum(s1_table, base, start + 1, end);
      const double syy = range_sum(s2_table, base, start + 1, end);
      const double sx = range_sum(s1_table, base, start, end - 1);
      const double sxx0 = range_sum(s2_table, base, start, end - 1);
      const double q = (sx * sx) / m1;
      const double sxx = sxx0 - q;
      double syy_c = syy - (sy * sy) / m1;
      if (syy_c < 0.0) syy_c = 0.0;
      const double tol = std::fmax(std::fmax(std::fabs(sxx0), std::fabs(q)), 1.0) * kRelTol;
      double res = syy_c;
      if (sxx > tol) {
        const double sxy = range_sum(c_table, base, start + 1, end) - (sy * sx) / m1;
        res = syy_c - (sxy * sxy) / sxx;
        if (res < 0.0) res = 0.0;
      } else if (std::isnan(sxx)) {
        res = sxx;
      }
      // Rounding below the floor is floored and an infinite variance capped; NaN (overflowed
      // sums) is kept so that the detector refuses the cost instead of taking it as a fit.
      double var = res / m1;
      if (var <= kVarianceFloor) {
        var = kVarianceFloor;
      } else if (var == kInf) {
        var = kLargestFinite;
      }
      total = total + std::log(var) * m1;
    }
    return total;
  }

 private:
  double high_order_cost(const ARCache& cache, std::size_t start, std::size_t end) const;
};

}  // namespace ovrel::costs
