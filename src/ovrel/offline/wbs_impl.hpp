#pragma once

// Template definitions of wild binary segmentation. Included by the per-model instantiation units
// (generated from offline/instantiations.cmake) and by tests that run the operations over their own
// cost models.

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/diagnostics.hpp"
#include "ovrel/core/missing.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/offline/binseg_impl.hpp"
#include "ovrel/offline/wbs.hpp"

namespace ovrel::offline {
namespace wbs {

// Flattened: the counted cost evaluation is too large for the inliner on its own, and a call
// per evaluation (its result returned through memory) costs as much as the L2 cost itself.
template <costs::CostModel C>
[[gnu::flatten]] Status add_segment_to_frontier(
    std::vector<FrontierItem>& frontier, const C& model, const typename C::Cache& cache,
    std::span<const Interval> sorted_intervals, std::span<const std::size_t> candidates,
    std::size_t m, std::optional<std::size_t> max_depth, std::size_t start, std::size_t end,
    std::size_t depth, const core::ExecutionContext& ctx, std::uint64_t every, Instant started_at,
    RunStats& stats, std::uint64_t& iteration) {
  if (end <= start) return {};
  if (max_depth && depth >= *max_depth) return {};
  std::size_t twice_m = 0;
  if (__builtin_mul_overflow(std::size_t{2}, m, &twice_m)) twice_m = SIZE_MAX;
  if (end - start < twice_m) return {};

  const CostEvalBudget budget(ctx);
  binseg::CheckCadence cadence(iteration, every);
  bool found = false;
  std::size_t best_split = 0;
  std::size_t best_start = 0;
  double best_gain = 0.0;
  // Intervals with a >= start form a suffix of the sorted list; those with a >= end cannot fit.
  auto it = std::lower_bound(sorted_intervals.begin(), sorted_intervals.end(), Interval{start, 0});
  for (; it != sorted_intervals.end() && it->start < end; ++it) {
    const Interval interval = *it;
    if (interval.end > end) continue;
    OVREL_TRY_ASSIGN(const auto window, split_window_for_interval(interval, candidates, m));
    if (!window) continue;
    OVREL_TRY_ASSIGN(const double full, evaluate_segment_cost(model, cache, interval.start,
                                                              interval.end, budget, stats));
    OVREL_TRY(checked_counter_increment(stats.intervals_considered, "intervals_considered"));
    double local_gain = -HUGE_VAL;
    std::size_t local_split = kNone;
    for (std::size_t i = window->first; i < window->second; ++i) {
      const std::size_t c = candidates[i];
      OVREL_TRY(checked_counter_increment(iteration, "iteration"));
      if (cadence.due(iteration)) {
        OVREL_TRY(check_runtime_controls(iteration, every, ctx, started_at, stats));
      }
      OVREL_TRY(checked_counter_increment(stats.candidates_considered, "candidates_considered"));
      OVREL_TRY_ASSIGN(const double left,
                       evaluate_segment_cost(model, cache, interval.start, c, budget, stats));
      OVREL_TRY_ASSIGN(const double right,
                       evaluate_segment_cost(model, cache, c, interval.end, budget, stats));
      const double gain = (full - left) - right;
      if (!std::isfinite(gain)) [[unlikely]] {
        return core::numerical_issue(core::cat(
            "non-finite gain at interval=[", interval.start, ", ", interval.end, "), split=", c,
            ": full_cost=", full, ", left_cost=", left, ", right_cost=", right, ", gain=", gain));
      }
      if (gain > local_gain || (gain == local_gain && c < local_split)) {
        local_gain = gain;
        local_split = c;
      }
    }
    if (!found || local_gain > best_gain || (local_gain == best_gain && local_split < best_split) ||
        (local_gain == best_gain && local_split == best_split && interval.start < best_start)) {
      found = true;
      best_gain = local_gain;
      best_split = local_split;
      best_start = interval.start;
    }
  }
  if (found) frontier.push_back(FrontierItem{start, end, depth, best_split, best_gain});
  return {};
}

}  // namespace wbs

template <costs::CostModel C>
Result<core::OfflineChangePointResult> Wbs<C>::detect(const core::TimeSeriesView& x,
                                                      const core::ExecutionContext& ctx) const {
  using wbs::add_segment_to_frontier;
  using wbs::build_result_breakpoints;
  using wbs::generate_intervals;
  using wbs::Instant;
  using wbs::Interval;
  using wbs::resolve_num_intervals;
  using wbs::RunStats;
  OVREL_TRY(config.validate());
  const std::size_t n = x.n();
  OVREL_TRY_ASSIGN(const core::ValidatedConstraints constraints,
                   core::validate_constraints(ctx.constraints, n));
  OVREL_TRY(cost_model.validate(x));
  OVREL_TRY(core::check_missing_compatibility(x.missing(), core::MissingSupport::Reject));
  OVREL_TRY_ASSIGN(const typename C::Cache cache,
                   cost_model.precompute(x, constraints.cache_policy));

  const Instant started_at = std::chrono::steady_clock::now();
  const std::uint64_t every = config.normalized_cancel_check_every();
  RunStats stats;
  std::uint64_t iteration = 0;
  std::vector<std::string> notes;
  std::vector<std::string> warnings;
  const std::span<const std::size_t> candidates = constraints.effective_candidates;
  const std::size_t m = constraints.min_segment_len;

  OVREL_TRY_ASSIGN(const std::size_t count, resolve_num_intervals(config.num_intervals, n));
  OVREL_TRY_ASSIGN(
      std::vector<Interval> intervals,
      generate_intervals(config.interval_strategy, count, config.seed, n, m, candidates));
  notes.push_back(core::cat("interval_strategy=", debug_text(config.interval_strategy),
                            ", requested_intervals=", count,
                            ", effective_intervals=", intervals.size()));
  if (intervals.empty()) notes.emplace_back("no feasible WBS intervals under current constraints");
  // Segments scan their intervals in (start, end) order; sorting once gives every segment that
  // order without a copy per segment.
  std::sort(intervals.begin(), intervals.end());

  std::vector<FrontierItem> frontier;
  const auto offer = [&](std::size_t start, std::size_t end, std::size_t depth) {
    return add_segment_to_frontier(frontier, cost_model, cache, intervals, candidates, m,
                                   constraints.max_depth, start, end, depth, ctx, every, started_at,
                                   stats, iteration);
  };
  OVREL_TRY(offer(0, n, 0));

  std::vector<std::size_t> accepted;
  OVREL_TRY(binseg::run_frontier_stopping(
      "WBS", config.stopping, constraints, frontier, accepted, notes, iteration, every, ctx,
      started_at, stats,
      [&](const core::Penalty& penalty) {
        return resolve_penalty_beta(cost_model, penalty, n, x.d(), config.params_per_segment);
      },
      [&](std::size_t index, std::uint64_t* processed) {
        return binseg::accept_frontier_item(frontier, index, accepted, "WBS", processed, offer);
      }));

  if (stats.soft_budget_exceeded) warnings.emplace_back(kSoftBudgetWarning);
  const std::uint64_t runtime_ms = elapsed_runtime_ms(started_at);
  ctx.record_scalar("offline.wbs.cost_evals", static_cast<double>(stats.cost_evals));
  ctx.record_scalar("offline.wbs.candidates_considered",
                    static_cast<double>(stats.candidates_considered));
  ctx.record_scalar("offline.wbs.intervals_considered",
                    static_cast<double>(stats.intervals_considered));
  ctx.record_scalar("offline.wbs.runtime_ms", static_cast<double>(runtime_ms));
  ctx.report_progress(1.0F);
  notes.push_back(core::cat("final_change_count=", accepted.size(),
                            ", cost_evals=", stats.cost_evals,
                            ", candidates_considered=", stats.candidates_considered,
                            ", intervals_considered=", stats.intervals_considered,
                            ", used_parallel=", stats.used_parallel));

  core::Diagnostics diagnostics;
  diagnostics.n = n;
  diagnostics.d = x.d();
  diagnostics.runtime_ms = runtime_ms;
  diagnostics.seed = config.seed;
  diagnostics.notes = std::move(notes);
  diagnostics.warnings = std::move(warnings);
  diagnostics.algorithm = "wbs";
  diagnostics.cost_model = std::string(C::name());
  diagnostics.repro_mode = ctx.repro_mode;
  return core::OfflineChangePointResult::create(n, build_result_breakpoints(n, std::move(accepted)),
                                                std::move(diagnostics));
}

}  // namespace ovrel::offline

// The explicit instantiation of one (WBS, cost model) pair, at global scope; the generated units
// of offline/instantiations.cmake expand it.
#define OVREL_INSTANTIATE_WBS(C) template struct ::ovrel::offline::Wbs<C>;
