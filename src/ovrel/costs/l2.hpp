#pragma once

// Least-squares cost around the segment mean, summed over dimensions: finds changes in the mean.

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "ovrel/core/lanes.hpp"
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
    if (cache.d == 1) {
      // The common univariate case without the dimension loop; the same operations in the same
      // order (0 + x differs from x only for -0, which the clamp below maps to 0 either way).
      const double s1 = s[end] - s[start];
      const double total = (q[end] - q[start]) - (s1 * s1) / m;
      if (total > 0.0) return total;
      return std::isfinite(total) ? 0.0 : total;
    }
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

  // Costs of [start + i, end) for i in [0, count), written to out[i]: the same values as
  // segment_cost, computed for several starts at once (dimension by dimension when d > 1).
  void segment_costs_to_end(const L2Cache& cache, std::size_t start, std::size_t count,
                            std::size_t end, double* out) const {
    if (count == 0) return;
    check_segment(start, end, cache.n);
    check_segment(start + count - 1, end, cache.n);
    l2_costs_to_end(cache.prefix_sum.data(), cache.prefix_sum_sq.data(), cache.n + 1, cache.d,
                    start, count, end, out);
  }

  // The batch of the dynamic programmes at target `end`: for the strictly ascending starts
  // starts[0..count), out[k] = cost of [starts[k], end) + F[starts[k]] (the best objective of the
  // prefix ending at the start), and each plus beta a candidate objective. Returns the first
  // smallest candidate (its position in `starts`), the largest score and whether every candidate
  // was finite: the same operations, in the same order, as segment_cost and the two additions.
  core::RunMinimum segment_scores_at(const L2Cache& cache, const std::size_t* starts,
                                     std::size_t count, std::size_t end, const double* F,
                                     double beta, double* out) const {
    if (count == 0) return {};
    check_segment(starts[0], end, cache.n);
    check_segment(starts[count - 1], end, cache.n);
    return l2_scores_at(cache.prefix_sum.data(), cache.prefix_sum_sq.data(), cache.n + 1, cache.d,
                        starts, count, end, F, beta, out);
  }

  // The batch bodies over d blocks of `stride` prefix entries; out of line, compiled once per
  // instruction-set level.
  static core::RunMinimum l2_scores_at(const double* s, const double* q, std::size_t stride,
                                       std::size_t d, const std::size_t* starts, std::size_t count,
                                       std::size_t end, const double* F, double beta, double* out);
  static void l2_costs_to_end(const double* s, const double* q, std::size_t stride, std::size_t d,
                              std::size_t start, std::size_t count, std::size_t end, double* out);

  std::optional<std::size_t> penalty_effective_params(std::size_t d) const;
};

static_assert(CostModel<CostL2Mean>);

}  // namespace ovrel::costs
