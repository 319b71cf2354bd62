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
#include "ovrel/core/text.hpp"
#include "ovrel/offline/binseg_impl.hpp"
#include "ovrel/offline/wbs.hpp"

namespace ovrel::offline {
namespace wbs {

// Flattened: the counted cost evaluation is too large for the inliner on its own, and a call
// per evaluation (its result returned through memory) costs as much as the L2 cost itself.
template <costs::CostModel C>
[[gnu::flatten]] Status add_segment_to_frontier(std::vector<FrontierItem>& frontier, const C& model,
                                                const typename C::Cache& cache,
                                                std::span<const Interval> sorted_intervals,
                                                std::span<const std::size_t> candidates,
                                                std::size_t m, std::optional<std::size_t> max_depth,
                                                std::size_t start, std::size_t end,
                                                std::size_t depth, const binseg::ScanRun& run) {
  if (end <= start) return {};
  if (max_depth && depth >= *max_depth) return {};
  std::size_t twice_m = 0;
  if (__builtin_mul_overflow(std::size_t{2}, m, &twice_m)) twice_m = SIZE_MAX;
  if (end - start < twice_m) return {};

  const CostEvalBudget budget(run.ctx);
  CheckCadence cadence(run.iteration, run.every);
  bool found = false;
  binseg::BestSplit best;
  std::size_t best_start = 0;
  // Intervals with a >= start form a suffix of the sorted list; those with a >= end cannot fit.
  auto it = std::lower_bound(sorted_intervals.begin(), sorted_intervals.end(), Interval{start, 0});
  for (; it != sorted_intervals.end() && it->start < end; ++it) {
    const Interval interval = *it;
    if (interval.end > end) continue;
    OVREL_TRY_ASSIGN(const auto window, split_window_for_interval(interval, candidates, m));
    if (!window) continue;
    OVREL_TRY_ASSIGN(const double full, evaluate_segment_cost(model, cache, interval.start,
                                                              interval.end, budget, run.stats));
    OVREL_TRY(checked_counter_increment(run.stats.intervals_considered, "intervals_considered"));
    OVREL_TRY_ASSIGN(
        const binseg::BestSplit local,
        binseg::scan_splits(model, cache, candidates, window->first, window->second, interval.start,
                            interval.end, full, "interval", budget, cadence, run.ctx,
                            run.started_at, run.iteration, run.stats));
    // Across intervals: largest gain, then smaller split, then smaller interval start.
    if (!found || local.gain > best.gain || (local.gain == best.gain && local.split < best.split) ||
        (local.gain == best.gain && local.split == best.split && interval.start < best_start)) {
      found = true;
      best = local;
      best_start = interval.start;
    }
  }
  if (found)
    frontier.push_back(FrontierItem{
        .start = start, .end = end, .depth = depth, .split = best.split, .gain = best.gain});
  return {};
}

}  // namespace wbs

template <costs::CostModel C>
Result<core::OfflineChangePointResult> Wbs<C>::detect(const core::TimeSeriesView& x,
                                                      const core::ExecutionContext& ctx) const {
  using wbs::Interval;
  OVREL_TRY(config.validate());
  const std::size_t n = x.n();
  OVREL_TRY_ASSIGN(const RunStart<C> run_start, start_run(cost_model, x, ctx));
  const core::ValidatedConstraints& constraints = run_start.constraints;
  const typename C::Cache& cache = run_start.cache;
  const MonotonicInstant started_at = run_start.started_at;
  RunStats stats;
  std::uint64_t iteration = 0;
  const binseg::ScanRun run{.ctx = ctx,
                            .started_at = started_at,
                            .every = config.normalized_cancel_check_every(),
                            .iteration = iteration,
                            .stats = stats};
  std::vector<std::string> notes;
  const std::span<const std::size_t> candidates = constraints.effective_candidates;
  const std::size_t m = constraints.min_segment_len;

  OVREL_TRY_ASSIGN(const std::size_t count, wbs::resolve_num_intervals(config.num_intervals, n));
  wbs::DrawControl draw_control;
  draw_control.memory_budget_bytes = constraints.memory_budget_bytes;
  // A count far above what the series holds can draw for long: the run stays stoppable.
  draw_control.poll = [&]() -> Status {
    OVREL_TRY(ctx.check_cancelled());
    if (ctx.interrupt != nullptr && ctx.interrupt->poll_within()) return core::cancelled();
    OVREL_TRY_ASSIGN(const bool over_budget, ctx.check_time_budget(started_at));
    if (over_budget) stats.soft_budget_exceeded = true;
    return {};
  };
  OVREL_TRY_ASSIGN(std::vector<Interval> intervals,
                   wbs::generate_intervals(config.interval_strategy, count, config.seed, n, m,
                                           candidates, draw_control));
  notes.push_back(core::cat("interval_strategy=", debug_text(config.interval_strategy),
                            ", requested_intervals=", count,
                            ", effective_intervals=", intervals.size()));
  if (intervals.empty()) notes.emplace_back("no feasible WBS intervals under current constraints");
  // Segments scan their intervals in (start, end) order; sorting once gives every segment that
  // order without a copy per segment.
  std::sort(intervals.begin(), intervals.end());

  std::vector<FrontierItem> frontier;
  const auto offer = [&](std::size_t start, std::size_t end, std::size_t depth) {
    return wbs::add_segment_to_frontier(frontier, cost_model, cache, intervals, candidates, m,
                                        constraints.max_depth, start, end, depth, run);
  };
  OVREL_TRY(offer(0, n, 0));

  std::vector<std::size_t> accepted;
  OVREL_TRY(binseg::run_frontier_stopping(
      "WBS", config.stopping, constraints, frontier, accepted, notes, run,
      [&](const core::Penalty& penalty) {
        return wbs::resolve_penalty_beta(cost_model, penalty, n, x.d(),
                                         config.params_or_model_own());
      },
      [&](std::size_t index, std::uint64_t* processed) {
        return binseg::accept_frontier_item(frontier, index, accepted, "WBS", processed, offer);
      }));

  OVREL_TRY(binseg::refuse_series_below_minimum("WBS", constraints.min_segment_len, n));
  // The search runs on one thread.
  notes.push_back(
      core::cat("final_change_count=", accepted.size(), ", cost_evals=", stats.cost_evals,
                ", candidates_considered=", stats.candidates_considered,
                ", intervals_considered=", stats.intervals_considered, ", used_parallel=false"));
  core::Diagnostics diagnostics =
      finish_run(ctx, started_at, stats, "wbs", C::name(), n, x.d(),
                 {{"cost_evals", stats.cost_evals},
                  {"candidates_considered", stats.candidates_considered},
                  {"intervals_considered", stats.intervals_considered}},
                 std::move(notes), {});
  diagnostics.seed = config.seed;
  return core::OfflineChangePointResult::create(
      n, binseg::build_result_breakpoints(n, std::move(accepted)), std::move(diagnostics));
}

}  // namespace ovrel::offline

// The explicit instantiation of one (WBS, cost model) pair, at global scope; the generated units
// of offline/instantiations.cmake expand it.
#define OVREL_INSTANTIATE_WBS(C) template struct ::ovrel::offline::Wbs<C>;
