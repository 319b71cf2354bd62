#pragma once

// Wild binary segmentation: a binary segmentation whose candidate splits are scored inside many
// sub-intervals of the series, drawn once per run (wbs_intervals.hpp), rather than only inside
// whole segments. A split that a stronger neighbouring change would mask in the whole segment
// still stands out inside a short interval around it.
//
// The detector is a template over the cost model; its definitions live in wbs_impl.hpp and are
// instantiated for the pairs listed in offline/instantiations.cmake.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "ovrel/core/error.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/results.hpp"
#include "ovrel/core/stopping.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/costs/model.hpp"
#include "ovrel/offline/binseg.hpp"
#include "ovrel/offline/wbs_intervals.hpp"

namespace ovrel::offline {

struct WbsConfig {
  // Absent: adaptive, max(ceil(5 * sqrt(n)), 100).
  std::optional<std::size_t> num_intervals = std::nullopt;
  WbsIntervalStrategy interval_strategy = WbsIntervalStrategy::Random;
  std::uint64_t seed = 0;
  // KnownK or Penalized; PenaltyPath passes validate but detect refuses it.
  core::Stopping stopping;
  // Parameters per segment and dimension for BIC and AIC. Not given, or 2 (kModelOwnParams): the
  // cost model's own count; any other v means d * v; 0 is refused.
  std::optional<std::size_t> params_per_segment = std::nullopt;
  // Iterations between runtime checks; 0 is read as 1.
  std::size_t cancel_check_every = 1000;

  std::size_t normalized_cancel_check_every() const noexcept {
    return offline::normalized_cancel_check_every(cancel_check_every);
  }
  // The count the penalty resolution reads: kModelOwnParams when none is given.
  std::size_t params_or_model_own() const noexcept {
    return params_per_segment.value_or(kModelOwnParams);
  }
  // The stopping rule, then params_per_segment >= 1 when given, then num_intervals >= 1 when
  // given.
  Status validate() const;
};

template <costs::CostModel C>
struct Wbs {
  WbsConfig config;
  C cost_model;

  Result<core::OfflineChangePointResult> detect(const core::TimeSeriesView& x,
                                                const core::ExecutionContext& ctx) const;
};

namespace wbs {

// The number of intervals to request: the configured count, or max(ceil(5 * sqrt(n)), 100).
Result<std::size_t> resolve_num_intervals(std::optional<std::size_t> num_intervals, std::size_t n);

// WBS resolves its penalty as PELT does: params_per_segment 2 (kModelOwnParams) selects the
// model's own count ("model_default").
using offline::resolve_penalty_beta;

// The intervals must be sorted by (start, end): those inside [start, end) are then scanned in
// that order without a per-segment copy.
template <costs::CostModel C>
Status add_segment_to_frontier(std::vector<FrontierItem>& frontier, const C& model,
                               const typename C::Cache& cache,
                               std::span<const Interval> sorted_intervals,
                               std::span<const std::size_t> candidates, std::size_t m,
                               std::optional<std::size_t> max_depth, std::size_t start,
                               std::size_t end, std::size_t depth, const binseg::ScanRun& run);

}  // namespace wbs
}  // namespace ovrel::offline
