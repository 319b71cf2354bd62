#pragma once

// Least-absolute-deviations cost around the segment median, summed over dimensions: finds changes
// in location while resisting outliers. Its cache is a copy of the series; every segment cost
// selects its median anew.

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "ovrel/costs/model.hpp"

namespace ovrel::costs {

// The series in row-major order: entry t*d + j is row t, dimension j (float values widened).
struct L1MedianCache {
  std::vector<double> values;
  std::size_t n = 0;
  std::size_t d = 0;
};

struct CostL1Median {
  using Cache = L1MedianCache;

  core::ReproMode repro_mode = core::kDefaultReproMode;

  static constexpr std::string_view kTypeName = "CostL1Median";
  static constexpr std::string_view kCacheName = "L1MedianCache";

  static constexpr std::string_view name() { return "l1_median"; }
  static constexpr core::MissingSupport missing_support() { return core::MissingSupport::Reject; }

  core::Status validate(const core::TimeSeriesView& x) const;
  core::Result<L1MedianCache> precompute(const core::TimeSeriesView& x,
                                         const core::CachePolicy& policy) const;

  // O(m*d): one scratch list of m values per call, the median found by selection.
  double segment_cost(const L1MedianCache& cache, std::size_t start, std::size_t end) const {
    check_segment(start, end, cache.n);
    return l1_segment_cost(cache, start, end, repro_mode == core::ReproMode::Strict);
  }

  std::optional<std::size_t> penalty_effective_params(std::size_t d) const;

  // The cost body; out of line because its selection dominates any call overhead.
  static double l1_segment_cost(const L1MedianCache& cache, std::size_t start, std::size_t end,
                                bool compensated);
};

static_assert(CostModel<CostL1Median>);

}  // namespace ovrel::costs
