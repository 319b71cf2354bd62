#pragma once

// Template definitions of binary segmentation. Included by the per-model instantiation units
// (generated from offline/instantiations.cmake) and by tests that run the operations over their own
// cost models.

#include <cmath>
#include <string>
#include <utility>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/diagnostics.hpp"
#include "ovrel/core/missing.hpp"
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

template <costs::CostModel C>
Result<double> evaluate_segment_cost(const C& model, const typename C::Cache& cache,
                                     std::size_t start, std::size_t end,
                                     const core::ExecutionContext& ctx, RunStats& stats) {
  return offline::evaluate_segment_cost(model, cache, start, end, ctx, stats);
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
template <class Stats, class Resolve, class Accept>
Status run_frontier_stopping(std::string_view detector, const core::Stopping& stopping,
                             const core::ValidatedConstraints& constraints,
                             std::vector<FrontierItem>& frontier,
                             const std::vector<std::size_t>& accepted,
                             std::vector<std::string>& notes, std::uint64_t& iteration,
                             std::uint64_t every, const core::ExecutionContext& ctx,
                             Instant started_at, Stats& stats, Resolve&& resolve, Accept&& accept) {
  const auto check = [&]() -> Status {
    OVREL_TRY(checked_counter_increment(iteration, "iteration"));
    return check_periodic_controls(iteration, every, ctx, started_at, stats.soft_budget_exceeded);
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

// Flattened: the counted cost evaluation is too large for the inliner on its own, and a call
// per evaluation (its result returned through memory) costs as much as the L2 cost itself.
template <costs::CostModel C>
[[gnu::flatten]] Status add_segment_to_frontier(
    std::vector<FrontierItem>& frontier, const C& model, const typename C::Cache& cache,
    std::span<const std::size_t> candidates, std::size_t start, std::size_t end, std::size_t depth,
    const core::ValidatedConstraints& constraints, const core::ExecutionContext& ctx,
    std::uint64_t every, Instant started_at, RunStats& stats, std::uint64_t& iteration) {
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

  const CostEvalBudget budget(ctx);
  binseg::CheckCadence cadence(iteration, every);
  OVREL_TRY_ASSIGN(const double full,
                   offline::evaluate_segment_cost(model, cache, start, end, budget, stats));
  double best_gain = -HUGE_VAL;
  std::size_t best_split = kNone;
  for (std::size_t i = window->first; i < window->second; ++i) {
    const std::size_t s = candidates[i];
    OVREL_TRY(checked_counter_increment(iteration, "iteration"));
    if (cadence.due(iteration)) {
      OVREL_TRY(check_runtime_controls(iteration, every, ctx, started_at, stats));
    }
    OVREL_TRY(checked_counter_increment(stats.candidates_considered, "candidates_considered"));
    OVREL_TRY_ASSIGN(const double left,
                     offline::evaluate_segment_cost(model, cache, start, s, budget, stats));
    OVREL_TRY_ASSIGN(const double right,
                     offline::evaluate_segment_cost(model, cache, s, end, budget, stats));
    const double gain = (full - left) - right;
    if (!std::isfinite(gain)) [[unlikely]] {
      return core::numerical_issue(core::cat(
          "non-finite gain at segment=[", start, ", ", end, "), split=", s, ": full_cost=", full,
          ", left_cost=", left, ", right_cost=", right, ", gain=", gain));
    }
    if (gain > best_gain || (gain == best_gain && s < best_split)) {
      best_gain = gain;
      best_split = s;
    }
  }
  if (best_split == kNone) return {};
  frontier.push_back(FrontierItem{start, end, depth, best_split, best_gain});
  return {};
}

}  // namespace binseg

template <costs::CostModel C>
Result<core::OfflineChangePointResult> BinSeg<C>::detect(const core::TimeSeriesView& x,
                                                         const core::ExecutionContext& ctx) const {
  using binseg::accept_frontier_item;
  using binseg::add_segment_to_frontier;
  using binseg::build_result_breakpoints;
  using binseg::Instant;
  using binseg::resolve_penalty_beta;
  using binseg::run_frontier_stopping;
  using binseg::RunStats;
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
  std::vector<std::string> warnings{
      "BinSeg may mask closely spaced weaker changes; consider WBS for robust recovery"};
  std::vector<FrontierItem> frontier;
  const std::span<const std::size_t> candidates = constraints.effective_candidates;

  // The root is examined before the stopping rule is looked at, so its errors (budgets,
  // cancellation, a non-finite gain) come first.
  OVREL_TRY(add_segment_to_frontier(frontier, cost_model, cache, candidates, 0, n, 0, constraints,
                                    ctx, every, started_at, stats, iteration));
  std::vector<std::size_t> accepted;
  OVREL_TRY(run_frontier_stopping(
      "BinSeg", config.stopping, constraints, frontier, accepted, notes, iteration, every, ctx,
      started_at, stats,
      [&](const core::Penalty& penalty) {
        return resolve_penalty_beta(cost_model, penalty, n, x.d(), config.params_per_segment);
      },
      [&](std::size_t index, std::uint64_t* processed) {
        return accept_frontier_item(frontier, index, accepted, "BinSeg", processed,
                                    [&](std::size_t start, std::size_t end, std::size_t depth) {
                                      return add_segment_to_frontier(frontier, cost_model, cache,
                                                                     candidates, start, end, depth,
                                                                     constraints, ctx, every,
                                                                     started_at, stats, iteration);
                                    });
      }));

  if (stats.soft_budget_exceeded) warnings.emplace_back(kSoftBudgetWarning);
  const std::uint64_t runtime_ms = elapsed_runtime_ms(started_at);
  ctx.record_scalar("offline.binseg.cost_evals", static_cast<double>(stats.cost_evals));
  ctx.record_scalar("offline.binseg.candidates_considered",
                    static_cast<double>(stats.candidates_considered));
  ctx.record_scalar("offline.binseg.runtime_ms", static_cast<double>(runtime_ms));
  ctx.report_progress(1.0F);
  notes.push_back(core::cat("final_change_count=", accepted.size(),
                            ", cost_evals=", stats.cost_evals,
                            ", candidates_considered=", stats.candidates_considered));

  core::Diagnostics diagnostics;
  diagnostics.n = n;
  diagnostics.d = x.d();
  diagnostics.runtime_ms = runtime_ms;
  diagnostics.notes = std::move(notes);
  diagnostics.warnings = std::move(warnings);
  diagnostics.algorithm = "binseg";
  diagnostics.cost_model = std::string(C::name());
  diagnostics.repro_mode = ctx.repro_mode;
  return core::OfflineChangePointResult::create(n, build_result_breakpoints(n, std::move(accepted)),
                                                std::move(diagnostics));
}

}  // namespace ovrel::offline

// The explicit instantiation of one (BinSeg, cost model) pair, at global scope; the generated
// units of offline/instantiations.cmake expand it.
#define OVREL_INSTANTIATE_BINSEG(C) template struct ::ovrel::offline::BinSeg<C>;
