#pragma once

// Rank cost: every dimension is replaced once by the mid-ranks of its values over the whole
// series, and a segment costs the squared deviation of those ranks from their segment mean,
// added over dimensions. Distribution-free: an outlier moves only its own rank.

#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/missing.hpp"
#include "ovrel/core/repro.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/costs/model.hpp"

namespace ovrel::costs {

struct RankCache {
  // Prefix sums of the ranks and of their squares, d blocks of n + 1 entries each; entry (t, j)
  // at j * (n + 1) + t.
  std::vector<double> prefix_sum;
  std::vector<double> prefix_sum_sq;
  std::size_t n = 0;
  std::size_t d = 0;
};

// 1-based mid-ranks of `values` in IEEE 754 total order (so -0.0 ranks below +0.0 and only equal
// bit patterns tie); a tie group at sorted positions [i, j) gets ((i + 1) + j) / 2.
std::vector<double> mid_ranks(std::span<const double> values);

class CostRank {
 public:
  using Cache = RankCache;

  core::ReproMode repro_mode = core::ReproMode::Balanced;

  static constexpr std::string_view name() { return "rank"; }
  static constexpr core::MissingSupport missing_support() { return core::MissingSupport::Reject; }

  core::Status validate(const core::TimeSeriesView& x) const;
  core::Result<RankCache> precompute(const core::TimeSeriesView& x,
                                     const core::CachePolicy& policy) const;
  // 2 * d; empty on overflow.
  std::optional<std::size_t> penalty_effective_params(std::size_t d) const;

  double segment_cost(const RankCache& cache, std::size_t start, std::size_t end) const {
    check_segment(start, end, cache.n);
    const double m = static_cast<double>(end - start);
    const std::size_t stride = cache.n + 1;
    const double* s1_table = cache.prefix_sum.data();
    const double* s2_table = cache.prefix_sum_sq.data();
    double total = 0.0;
    for (std::size_t j = 0, base = 0; j < cache.d; ++j, base += stride) {
      const double s1 = range_sum(s1_table, base, start, end);
      const double s2 = range_sum(s2_table, base, start, end);
      double c = s2 - (s1 * s1) / m;
      // Rounding below zero is clamped per dimension; NaN is kept for the detector to refuse.
      if (c < 0.0) c = 0.0;
      total = total + c;
    }
    if (total > 0.0 || std::isnan(total)) return total;
    return 0.0;
  }
};

}  // namespace ovrel::costs
