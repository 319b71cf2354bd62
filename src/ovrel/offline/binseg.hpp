#pragma once

// Greedy binary segmentation. The whole series is the first segment; the best split of every
// pending segment waits on a frontier, and the detector repeatedly accepts the best waiting split
// and queues its two halves, until a known number of splits has been accepted or no waiting split
// gains more than the penalty.
//
// The detector is a template over the cost model; its definitions live in binseg_impl.hpp and are
// instantiated for the pairs listed in offline/instantiations.cmake.

#include <chrono>
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
  // Parameters per segment and dimension for BIC and AIC; 0 means not given (the cost model's
  // own count applies). Any value is accepted.
  std::size_t params_per_segment = 0;
  // Period of the cancellation and time-budget checks, in iterations; 0 is read as 1.
  std::size_t cancel_check_every = 1000;

  std::size_t normalized_cancel_check_every() const noexcept {
    return offline::normalized_cancel_check_every(cancel_check_every);
  }
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

using Instant = core::MonotonicInstant;

// The work of one detect call.
struct RunStats {
  std::uint64_t cost_evals = 0;
  std::uint64_t candidates_considered = 0;
  // Set when a budget check answered "exceeded" under SoftDegrade; never cleared.
  bool soft_budget_exceeded = false;
};

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
inline Status insert_sorted_unique(std::vector<std::size_t>& splits, std::size_t split) {
  return insert_split_once(splits, split, "BinSeg");
}

// On iterations that are multiples of every: cancellation, then the time budget.
Status check_periodic_controls(std::uint64_t iteration, std::uint64_t every,
                               const core::ExecutionContext& ctx, Instant started_at,
                               bool& soft_budget_exceeded);
inline Status check_runtime_controls(std::uint64_t iteration, std::uint64_t every,
                                     const core::ExecutionContext& ctx, Instant started_at,
                                     RunStats& stats) {
  return check_periodic_controls(iteration, every, ctx, started_at, stats.soft_budget_exceeded);
}

// Tells, for an iteration counter that grows by one per step, which steps are multiples of the
// period, without a division per step (the candidate loops run it billions of times).
class CheckCadence {
 public:
  CheckCadence(std::uint64_t iteration, std::uint64_t every) noexcept : every_(every) {
    // The first multiple above iteration; 0 when none remains below 2^64 (the counter never
    // returns to 0 once advanced).
    const std::uint64_t base = every == 0 ? 0 : iteration / every;
    if (every == 0 || __builtin_mul_overflow(base + 1, every, &next_)) next_ = 0;
  }
  bool due(std::uint64_t iteration) noexcept {
    if (iteration != next_) [[likely]] {
      return false;
    }
    if (__builtin_add_overflow(next_, every_, &next_)) next_ = 0;
    return true;
  }

 private:
  std::uint64_t every_;
  std::uint64_t next_ = 0;
};

// The accepted splits (ascending, unique, below n) followed by n.
std::vector<std::size_t> build_result_breakpoints(std::size_t n, std::vector<std::size_t> splits);

// Largest gain; ties to the smaller split, then the smaller start. None for an empty frontier.
std::optional<std::size_t> pick_best_frontier_index(std::span<const FrontierItem> items);

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

template <costs::CostModel C>
Result<double> evaluate_segment_cost(const C& model, const typename C::Cache& cache,
                                     std::size_t start, std::size_t end,
                                     const core::ExecutionContext& ctx, RunStats& stats);

// Examines [start, end) at the given depth and queues at most one item with its best split.
template <costs::CostModel C>
Status add_segment_to_frontier(std::vector<FrontierItem>& frontier, const C& model,
                               const typename C::Cache& cache,
                               std::span<const std::size_t> candidates, std::size_t start,
                               std::size_t end, std::size_t depth,
                               const core::ValidatedConstraints& constraints,
                               const core::ExecutionContext& ctx, std::uint64_t every,
                               Instant started_at, RunStats& stats, std::uint64_t& iteration);

}  // namespace binseg
}  // namespace ovrel::offline
