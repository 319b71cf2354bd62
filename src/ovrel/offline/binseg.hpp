#pragma once

// Greedy binary segmentation. The whole series is the first segment; the best split of every
// pending segment waits on a frontier, and the detector repeatedly accepts the best waiting split
// and queues its two halves, until a known number of splits has been accepted or no waiting split
// gains more than the penalty.
//
// The detector is a template over the cost model; its definitions live in binseg_impl.hpp and are
// instantiated for the pairs listed in offline/instantiations.cmake.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "ovrel/core/error.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/results.hpp"
#include "ovrel/core/stopping.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/costs/model.hpp"
#include "ovrel/offline/common.hpp"

namespace ovrel::offline {

// A pending segment of the BinSeg and WBS frontiers, with the best split found for it when it was
// queued. The gain is always finite and may be zero or negative.
struct FrontierItem {
  std::size_t start = 0;
  std::size_t end = 0;
  std::size_t depth = 0;
  std::size_t split = 0;
  double gain = 0.0;

  friend bool operator==(const FrontierItem&, const FrontierItem&) = default;
};

struct BinSegConfig {
  // KnownK or Penalized; PenaltyPath passes validate but detect refuses it.
  core::Stopping stopping;
  // Parameters per segment and dimension for BIC and AIC; not given: the cost model's own count
  // ("model_default_auto"). Any value is accepted; a given 0 also reads as not given.
  std::optional<std::size_t> params_per_segment = std::nullopt;
  // Period of the cancellation and time-budget checks, in iterations; 0 is read as 1.
  std::size_t cancel_check_every = 1000;

  std::size_t normalized_cancel_check_every() const noexcept {
    return offline::normalized_cancel_check_every(cancel_check_every);
  }
  // The count the penalty resolution reads: 0 when none is given.
  std::size_t params_or_not_given() const noexcept { return params_per_segment.value_or(0); }
  // Only the stopping rule is checked.
  Status validate() const;
};

// The binary-segmentation detector: a configuration and a cost model, read-only during detect.
template <costs::CostModel C>
struct BinSeg {
  BinSegConfig config;
  C cost_model;

  Result<core::OfflineChangePointResult> detect(const core::TimeSeriesView& x,
                                                const core::ExecutionContext& ctx) const;
};

namespace binseg {

// BinSeg labels a model's own count "model_default_auto" (WBS and PELT say "model_default").
inline constexpr std::string_view kSourceModelDefaultAuto = "model_default_auto";

// (first, end): the candidates at indices first..end-1 are exactly those c with lo <= c <= hi;
// none when no candidate lies in that range.
std::optional<std::pair<std::size_t, std::size_t>> candidate_window(
    std::span<const std::size_t> candidates, std::size_t lo, std::size_t hi);

// Inserts split in order; a split already present is refused ("internal {detector} state is
// inconsistent") and the list left unchanged.
Status insert_split_once(std::vector<std::size_t>& splits, std::size_t split,
                         std::string_view detector);

// The accepted splits (ascending, unique, below n) followed by n.
std::vector<std::size_t> build_result_breakpoints(std::size_t n, std::vector<std::size_t> splits);

// A search that split nothing still answers the whole series as one segment, which is infeasible
// when the series is shorter than the minimum: InvalidInput "{detector} found no feasible
// segmentation under current constraints: min_segment_len={} exceeds n={}".
Status refuse_series_below_minimum(std::string_view detector, std::size_t min_segment_len,
                                   std::size_t n);

// Largest gain; ties to the smaller split, then the smaller start. None for an empty frontier.
std::optional<std::size_t> pick_best_frontier_index(std::span<const FrontierItem> items);

// The run-wide state the BinSeg and WBS scans share: the context, clock and period of the runtime
// checks, the iteration counter they follow (one per scored split and per stopping pass), and
// the statistics.
struct ScanRun {
  const core::ExecutionContext& ctx;
  MonotonicInstant started_at;
  std::uint64_t every;
  std::uint64_t& iteration;
  RunStats& stats;
};

// The per-dimension figure reported for a model's own count: its count for one dimension (2 for
// the mean, median, rank and cosine models, 3 for the normal models and the normal-inverse-gamma
// marginal, order + 2 for the autoregressive model).
template <costs::CostModel C>
std::size_t model_default_params_figure(const C& model) {
  return model.penalty_effective_params(1).value_or(SIZE_MAX);
}

// params_per_segment 0 means not given: BIC and AIC then use the model's own count, labelled
// "model_default_auto"; otherwise d * params_per_segment, "config_override". A Manual penalty is
// labelled "config" when a count is given and "model_default_auto" when not.
template <costs::CostModel C>
Result<ResolvedPenalty> resolve_penalty_beta(const C& model, const core::Penalty& penalty,
                                             std::size_t n, std::size_t d,
                                             std::size_t params_per_segment);

// Examines [start, end) at the given depth and queues at most one item with its best split.
template <costs::CostModel C>
Status add_segment_to_frontier(std::vector<FrontierItem>& frontier, const C& model,
                               const typename C::Cache& cache,
                               std::span<const std::size_t> candidates, std::size_t start,
                               std::size_t end, std::size_t depth,
                               const core::ValidatedConstraints& constraints, const ScanRun& run);

}  // namespace binseg
}  // namespace ovrel::offline
