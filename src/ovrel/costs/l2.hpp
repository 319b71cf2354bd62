#pragma once

// Least-squares cost around the segment mean, summed over dimensions: finds changes in the mean.

#include <cmath>
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "ovrel/costs/model.hpp"

namespace ovrel::costs {

// Prefix sums of the values and of their squares: d blocks of n + 1 entries each. The values are
// taken relative to their column's first value (see `shift_column`), which leaves every cost
// unchanged and keeps the sums accurate for series far from zero.
struct L2Cache {
  std::vector<double> prefix_sum;
  std::vector<double> prefix_sum_sq;
  std::size_t n = 0;
  std::size_t d = 0;
};

struct CostL2Mean {
  using Cache = L2Cache;

  core::ReproMode repro_mode = core::kDefaultReproMode;

  static constexpr std::string_view kTypeName = "CostL2Mean";
  static constexpr std::string_view kCacheName = "L2Cache";

  static constexpr std::string_view name() { return "l2_mean"; }
  static constexpr core::MissingSupport missing_support() { return core::MissingSupport::Reject; }

  core::Status validate(const core::TimeSeriesView& x) const;
  core::Result<L2Cache> precompute(const core::TimeSeriesView& x,
                                   const core::CachePolicy& policy) const;

  // Sum over dimensions of S2 - S1^2 / m. A finite negative total (rounding) or -0 becomes +0; a
  // non-finite total (overflowing data) is returned as it is, for the detector to refuse.
  double segment_cost(const L2Cache& cache, std::size_t start, std::size_t end) const {
    check_segment(start, end, cache.n);
    const double m = static_cast<double>(end - start);
    const double* s = cache.prefix_sum.data();
    const double* q = cache.prefix_sum_sq.data();
    const std::size_t stride = cache.n + 1;
    double total = 0.0;
    for (std::size_t j = 0, b = 0; j < cache.d; ++j, b += stride) {
      const double s1 = range_sum(s, b, start, end);
      const double s2 = range_sum(q, b, start, end);
      total = total + (s2 - (s1 * s1) / m);
    }
    if (total > 0.0) return total;
    return std::isfinite(total) ? 0.0 : total;
  }

  std::optional<std::size_t> penalty_effective_params(std::size_t d) const;
};

static_assert(CostModel<CostL2Mean>);

}  // namespace ovrel::costs
