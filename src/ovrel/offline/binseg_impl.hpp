#pragma once

// Template definitions of binary segmentation. Included by the per-model instantiation units
// (generated from offline/instantiations.cmake) and by tests that run the operations over their own
// cost models.

#include <cmath>
#include <string>
#include <utility>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/diagnostics.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/offline/binseg.hpp"

namespace ovrel::offline {
namespace binseg {

template <costs::CostModel C>
Result<ResolvedPenalty> resolve_penalty_beta(const C& model, const core::Penalty& penalty,
                                             std::size_t n, std::size_t d,
                                             std::size_t params_per_segment) {
  const std::size_t p = params_per_segment;
  ResolvedPenalty out;
  out.penalty = penalty;
  if (penalty.kind == core::PenaltyKind::Manual) {
    // The label follows the configuration alone; a manual beta needs no parameter count.
    out.params_source = p != 0 ? kSourceConfig : kSourceModelDefaultAuto;
    out.beta = penalty.value;
  } else {
    std::size_t effective = 0;
    if (p != 0) {
      out.params_source = kSourceConfigOverride;
      if (__builtin_mul_overflow(d, p, &effective)) {
        return core::invalid_input(
            core::cat("effective params overflow: d * params_per_segment exceeds usize (d=", d,
                      ", params_per_segment=", p, ")"));
      }
    } else {
      out.params_source = kSourceModelDefaultAuto;
      const std::optional<std::size_t> count = model.penalty_effective_params(d);
      if (!count) {
        return core::invalid_input(
            core::cat("model_default effective-params overflow for d=", d, ", model=", C::name()));
      }
      effective = *count;
    }
    OVREL_TRY_ASSIGN(out.beta, core::penalty_value_from_effective_params(penalty, n, effective));
  }
  if (!is_valid_beta(out.beta)) {
    return core::invalid_input(
        core::cat("resolved penalty must be finite and > 0.0; got beta=", out.beta));
  }
  out.params_per_segment = p != 0 ? p : model_default_params_figure(model);
  return out;
}

// Takes frontier[index]: removed by moving the last item into its place, its split recorded
// (refused when already there), the processed count raised when given, its halves offered left
// first through offer(start, end, depth).
template <class Offer>
Status accept_frontier_item(std::vector<FrontierItem>& frontier, std::size_t index,
                            std::vector<std::size_t>& accepted, std::string_view detector,
                            std::uint64_t* processed, Offer&& offer) {
  const FrontierItem item = frontier[index];
  frontier[index] = frontier.back();
  frontier.pop_back();
  OVREL_TRY(insert_split_once(accepted, item.split, detector));
  if (processed != nullptr) {
    OVREL_TRY(checked_counter_increment(*processed, "processed_frontier_items"));
  }
  if (item.depth == SIZE_MAX) return core::resource_limit("segment depth overflow");
  OVREL_TRY(offer(item.start, item.split, item.depth + 1));
  return offer(item.split, item.end, item.depth + 1);
}

// The stopping rules of BinSeg and WBS over a frontier whose root is already offered. KnownK
// accepts exactly k best items (refused when the frontier runs dry first); Penalized accepts the
// best item while its gain beats the resolved beta and the change cap allows. PenaltyPath is
// refused. accept(index, processed) is accept_frontier_item over the detector's own segments.
template <class Resolve, class Accept>
Status run_frontier_stopping(std::string_view detector, const core::Stopping& stopping,
                             const core::ValidatedConstraints& constraints,
                             std::vector<FrontierItem>& frontier,
                             const std::vector<std::size_t>& accepted,
                             std::vector<std::string>& notes, const ScanRun& run, Resolve&& resolve,
                             Accept&& accept) {
  const core::ExecutionContext& ctx = run.ctx;
  const auto check = [&]() -> Status {
    OVREL_TRY(checked_counter_increment(run.iteration, "iteration"));
    return check_runtime_controls_if_due(ctx, run.iteration, run.every, run.started_at, run.stats);
  };
  switch (stopping.kind) {
    case core::StoppingKind::PenaltyPath:
      return core::not_supported(core::cat(detector,
                                           " penalty sweep is deferred for this issue; got "
                                           "PenaltyPath of length ",
                                           stopping.penalties.size()));
    case core::StoppingKind::KnownK: {
      const std::size_t k = stopping.k;
      if (constraints.max_change_points && k > *constraints.max_change_points) {
        return core::invalid_input(
            core::cat("KnownK=", k,
                      " exceeds constraints.max_change_points=", *constraints.max_change_points));
      }
      for (std::size_t pass = 1; pass <= k; ++pass) {
        OVREL_TRY(check());
        const std::optional<std::size_t> best = pick_best_frontier_index(frontier);
        if (!best) {
          return core::invalid_input(core::cat("KnownK exact solution unreachable: requested k=", k,
                                               ", accepted=", accepted.size(),
                                               " before frontier exhaustion"));
        }
        OVREL_TRY(accept(*best, nullptr));
        ctx.report_progress(static_cast<float>(accepted.size()) / static_cast<float>(k));
      }
      notes.push_back(core::cat("stopping=KnownK(", k, "), accepted_splits=", accepted.size()));
      return {};
    }
    case core::StoppingKind::Penalized: {
      OVREL_TRY_ASSIGN(const ResolvedPenalty resolved, resolve(stopping.penalty));
      notes.push_back(penalized_note(resolved));
      std::uint64_t processed = 0;
      for (;;) {
        OVREL_TRY(check());
        if (constraints.max_change_points && accepted.size() >= *constraints.max_change_points) {
          break;
        }
        const std::optional<std::size_t> best = pick_best_frontier_index(frontier);
        if (!best) break;
        if (frontier[*best].gain <= resolved.beta) break;
        OVREL_TRY(accept(*best, &processed));
        ctx.report_progress(static_cast<float>(processed) /
                            static_cast<float>(processed + frontier.size() + 1));
      }
      return {};
    }
  }
  return {};
}

// The best split of [start, end) among candidates[first, last); split is kNone when the range
// is empty.
struct BestSplit {
  double gain = -HUGE_VAL;
  std::size_t split = kNone;
};

// The split scan of BinSeg (over a segment) and WBS (over an interval inside it), given the cost
// `full` of [start, end): per candidate split, the iteration count with the periodic runtime
// check, the considered count and the costs of both halves. The largest gain wins, ties to the
// smaller split; a non-finite gain is NumericalIssue naming the range ("segment" or "interval").
template <costs::CostModel C>
[[nodiscard]] inline Result<BestSplit> scan_splits(
    const C& model, const typename C::Cache& cache, std::span<const std::size_t> candidates,
    std::size_t first, std::size_t last, std::size_t start, std::size_t end, double full,
    std::string_view range, const CostEvalBudget& budget, CheckCadence& cadence,
    const core::ExecutionContext& ctx, MonotonicInstant started_at, std::uint64_t& iteration,
    RunStats& stats) {
  BestSplit best;
  for (std::size_t i = first; i < last; ++i) {
    const std::size_t s = candidates[i];
    OVREL_TRY(checked_counter_increment(iteration, "iteration"));
    if (cadence.due(iteration)) {
      OVREL_TRY(check_runtime_controls_now(ctx, started_at, stats));
    }
    OVREL_TRY(checked_counter_increment(stats.candidates_considered, "candidates_considered"));
    OVREL_TRY_ASSIGN(const double left,
                     evaluate_segment_cost(model, cache, start, s, budget, stats));
    OVREL_TRY_ASSIGN(const double right,
                     evaluate_segment_cost(model, cache, s, end, budget, stats));
    const double gain = (full - left) - right;
    if (!std::isfinite(gain)) [[unlikely]] {
      return core::numerical_issue(core::cat(
          "non-finite gain at ", range, "=[", start, ", ", end, "), split=", s,
          ": full_cost=", full, ", left_cost=", left, ", right_cost=", right, ", gain=", gain));
    }
    if (gain > best.gain || (gain == best.gain && s < best.split)) {
      best.gain = gain;
      best.split = s;
    }
  }
  return best;
}

// Flattened: the counted cost evaluation is too large for the inliner on its own, and a call
// per evaluation (its result returned through memory) costs as much as the L2 cost itself.
template <costs::CostModel C>
[[gnu::flatten]] Status add_segment_to_frontier(
    std::vector<FrontierItem>& frontier, const C& model, const typename C::Cache& cache,
    std::span<const std::size_t> candidates, std::size_t start, std::size_t end, std::size_t depth,
    const core::ValidatedConstraints& constraints, const ScanRun& run) {
  const std::size_t m = constraints.min_segment_len;
  if (end <= start) return {};
  if (constraints.max_depth && depth >= *constraints.max_depth) return {};
  std::size_t twice_m = 0;
  if (__builtin_mul_overflow(std::size_t{2}, m, &twice_m)) twice_m = SIZE_MAX;
  if (end - start < twice_m) return {};
  std::size_t lo = 0;
  if (__builtin_add_overflow(start, m, &lo)) {
    return core::resource_limit("segment lower bound overflow");
  }
  const std::size_t hi = m > end ? 0 : end - m;
  const auto window = candidate_window(candidates, lo, hi);
  if (!window) return {};

  const CostEvalBudget budget(run.ctx);
  CheckCadence cadence(run.iteration, run.every);
  OVREL_TRY_ASSIGN(const double full,
                   evaluate_segment_cost(model, cache, start, end, budget, run.stats));
  OVREL_TRY_ASSIGN(
      const BestSplit best,
      scan_splits(model, cache, candidates, window->first, window->second, start, end, full,
                  "segment", budget, cadence, run.ctx, run.started_at, run.iteration, run.stats));
  if (best.split == kNone) return {};
  frontier.push_back(FrontierItem{
      .start = start, .end = end, .depth = depth, .split = best.split, .gain = best.gain});
  return {};
}

}  // namespace binseg

template <costs::CostModel C>
Result<core::OfflineChangePointResult> BinSeg<C>::detect(const core::TimeSeriesView& x,
                                                         const core::ExecutionContext& ctx) const {
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
  std::vector<std::string> warnings{
      "BinSeg may mask closely spaced weaker changes; consider WBS for robust recovery"};
  std::vector<FrontierItem> frontier;
  const std::span<const std::size_t> candidates = constraints.effective_candidates;
  const auto offer = [&](std::size_t start, std::size_t end, std::size_t depth) {
    return binseg::add_segment_to_frontier(frontier, cost_model, cache, candidates, start, end,
                                           depth, constraints, run);
  };

  // The root is examined before the stopping rule is looked at, so its errors (budgets,
  // cancellation, a non-finite gain) come first.
  OVREL_TRY(offer(0, n, 0));
  std::vector<std::size_t> accepted;
  OVREL_TRY(binseg::run_frontier_stopping(
      "BinSeg", config.stopping, constraints, frontier, accepted, notes, run,
      [&](const core::Penalty& penalty) {
        return binseg::resolve_penalty_beta(cost_model, penalty, n, x.d(),
                                            config.params_or_not_given());
      },
      [&](std::size_t index, std::uint64_t* processed) {
        return binseg::accept_frontier_item(frontier, index, accepted, "BinSeg", processed, offer);
      }));

  OVREL_TRY(binseg::refuse_series_below_minimum("BinSeg", constraints.min_segment_len, n));
  notes.push_back(core::cat("final_change_count=", accepted.size(),
                            ", cost_evals=", stats.cost_evals,
                            ", candidates_considered=", stats.candidates_considered));
  core::Diagnostics diagnostics = finish_run(
      ctx, started_at, stats, "binseg", C::name(), n, x.d(),
      {{"cost_evals", stats.cost_evals}, {"candidates_considered", stats.candidates_considered}},
      std::move(notes), std::move(warnings));
  return core::OfflineChangePointResult::create(
      n, binseg::build_result_breakpoints(n, std::move(accepted)), std::move(diagnostics));
}

}  // namespace ovrel::offline

// The explicit instantiation of one (BinSeg, cost model) pair, at global scope; the generated
// units of offline/instantiations.cmake expand it.
#define OVREL_INSTANTIATE_BINSEG(C) template struct ::ovrel::offline::BinSeg<C>;
