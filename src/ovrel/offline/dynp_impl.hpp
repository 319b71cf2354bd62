#pragma once

// Definitions of the segment-neighbourhood templates. Included by the per-model instantiation
// units (generated from offline/instantiations.cmake) and by tests that run the sweep over their
// own cost models.

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "ovrel/core/text.hpp"
#include "ovrel/offline/common.hpp"
#include "ovrel/offline/dynp.hpp"

namespace ovrel::offline {
namespace dynp {

// The figure printed beside "(model_default)": 3 for the normal models and the
// normal-inverse-gamma marginal, order + 2 (saturating) for the autoregressive model, else 2.
template <costs::CostModel C>
std::size_t model_params_figure(const C& model) {
  constexpr std::string_view name = C::name();
  if constexpr (name == "ar") {
    const std::size_t order = model.order;
    return order > SIZE_MAX - 2 ? SIZE_MAX : order + 2;
  } else if constexpr (name == "normal_mean_var" || name == "normal_full_cov" ||
                       name == "nig_marginal") {
    return 3;
  } else {
    return 2;
  }
}

template <costs::CostModel C>
Result<ResolvedPenalty> resolve_penalty_beta(const C& model, const core::Penalty& penalty,
                                             std::size_t n, std::size_t d) {
  std::size_t effective = 0;
  if (penalty.kind != core::PenaltyKind::Manual) {
    const std::optional<std::size_t> count = model.penalty_effective_params(d);
    if (!count) {
      return core::invalid_input(
          core::cat("model_default effective-params overflow for d=", d, ", model=", C::name()));
    }
    effective = *count;
  }
  return detail::finish_resolution(penalty, n, effective, kSourceModelDefault,
                                   model_params_figure(model));
}

template <costs::CostModel C>
Result<DynpSweepResult> run_dynp_sweep(const C& model, const typename C::Cache& cache,
                                       std::size_t n, const core::ValidatedConstraints& validated,
                                       std::size_t max_k, std::uint64_t cancel_check_every,
                                       const core::ExecutionContext& ctx, MonotonicInstant started,
                                       RunStats& stats) {
  const std::size_t candidate_count = validated.effective_candidates.size();
  if (max_k > candidate_count) {
    return core::invalid_input(core::cat(
        "max_k=", max_k, " exceeds available candidate split positions=", candidate_count));
  }
  std::vector<std::size_t> endpoints = build_endpoints(validated, n);
  const std::size_t m = endpoints.size();
  const std::size_t segment_counts = max_k + 1;  // max_k <= candidate count < SIZE_MAX
  OVREL_TRY_ASSIGN(const std::uint64_t required,
                   estimate_dynp_sweep_state_bytes(m, segment_counts));
  OVREL_TRY(enforce_memory_budget(validated, required));
  const std::size_t rows = segment_counts + 1;
  OVREL_TRY_ASSIGN(SweepTables tables, allocate_sweep_tables(rows, m, required));
  std::vector<double>& previous = tables.previous;
  std::vector<double>& current = tables.current;
  previous[0] = 0.0;  // zero segments end at endpoint 0 at no cost

  const std::size_t min_len = validated.min_segment_len;
  const CostEvalBudget budget(ctx);
  std::uint64_t iteration = 0;
  CheckCadence cadence(iteration, cancel_check_every);
  auto tick = [&]() -> Status {
    OVREL_TRY(checked_counter_increment(iteration, "iteration"));
    if (!cadence.due(iteration)) [[likely]] {
      return {};
    }
    return check_runtime_controls_now(ctx, started, stats);
  };

  const double inf = std::numeric_limits<double>::infinity();
  std::size_t* const backpointers = tables.backpointers.data();
  for (std::size_t s = 1; s <= segment_counts; ++s) {
    std::fill(current.begin(), current.end(), inf);
    std::size_t* const row = backpointers + s * m;
    for (std::size_t j = 1; j < m; ++j) {
      OVREL_TRY(tick());
      if (j < s) continue;  // s segments need s endpoints after endpoint 0
      const std::size_t end = endpoints[j];
      double best = inf;
      std::size_t best_index = kNone;
      for (std::size_t i = 0; i < j; ++i) {
        OVREL_TRY(tick());
        const std::size_t start = endpoints[i];
        const std::size_t length = end > start ? end - start : 0;
        if (length < min_len) continue;
        const double prefix = previous[i];
        if (!std::isfinite(prefix)) continue;
        OVREL_TRY(checked_counter_increment(stats.candidates_considered, "candidates_considered"));
        OVREL_TRY_ASSIGN(const double cost,
                         evaluate_segment_cost(model, cache, start, end, budget, stats));
        const double total = cost + prefix;
        if (!std::isfinite(total)) [[unlikely]] {
          return core::numerical_issue(core::cat("non-finite dynp objective at segment_count=", s,
                                                 ", start=", start, ", end=", end));
        }
        // Starts ascend, so an equal total keeps the earlier start.
        if (total < best) {
          best = total;
          best_index = i;
        }
      }
      if (best_index != kNone) {
        current[j] = best;
        row[j] = best_index;
      }
    }
    tables.objective[s] = current[m - 1];
    ctx.report_progress(progress_fraction(s, segment_counts));
    std::swap(previous, current);
  }

  DynpSweepResult result;
  result.endpoints = std::move(endpoints);
  result.backpointers = std::move(tables.backpointers);
  result.row_count = rows;
  result.objective = std::move(tables.objective);
  return result;
}

template <costs::CostModel C>
Result<KnownKSelection> run_dynp_known_k(const C& model, const typename C::Cache& cache,
                                         std::size_t n, const core::ValidatedConstraints& validated,
                                         std::size_t k, std::uint64_t cancel_check_every,
                                         const core::ExecutionContext& ctx,
                                         MonotonicInstant started, RunStats& stats) {
  if (validated.max_change_points && *validated.max_change_points < k) {
    return core::invalid_input(core::cat(
        "KnownK=", k, " exceeds constraints.max_change_points=", *validated.max_change_points));
  }
  const std::size_t candidate_count = validated.effective_candidates.size();
  if (candidate_count < k) {
    return core::invalid_input(core::cat("KnownK exact solution unreachable: requested k=", k,
                                         ", but only ", candidate_count,
                                         " candidate split positions are available under "
                                         "constraints"));
  }
  OVREL_TRY_ASSIGN(
      const DynpSweepResult sweep,
      run_dynp_sweep(model, cache, n, validated, k, cancel_check_every, ctx, started, stats));
  if (k == std::numeric_limits<std::size_t>::max()) {
    return core::resource_limit("segment_count overflow");
  }
  const double objective = sweep.objective[k + 1];
  if (!std::isfinite(objective)) {
    return core::invalid_input(core::cat("KnownK exact solution unreachable: requested k=", k,
                                         " under current constraints"));
  }
  auto breakpoints = reconstruct_breakpoints_for_segment_count(sweep, k + 1, n);
  if (!breakpoints) {
    return core::invalid_input(
        core::cat("KnownK exact solution unreachable: ", breakpoints.error().display()));
  }
  return KnownKSelection{
      .breakpoints = std::move(*breakpoints), .objective = objective, .change_count = k};
}

template <costs::CostModel C>
Result<PenalizedSelection> run_dynp_penalized(
    const C& model, const typename C::Cache& cache, const core::TimeSeriesView& x,
    const core::ValidatedConstraints& validated, std::uint64_t cancel_check_every,
    const core::ExecutionContext& ctx, MonotonicInstant started, RunStats& stats, double beta) {
  const std::size_t max_k = max_change_points_to_search(validated);
  OVREL_TRY_ASSIGN(const DynpSweepResult sweep,
                   run_dynp_sweep(model, cache, x.n(), validated, max_k, cancel_check_every, ctx,
                                  started, stats));
  return select_penalized_kernel(sweep, x.n(), "Penalized selection", beta);
}

template <costs::CostModel C>
Result<std::vector<PenalizedSelection>> run_dynp_penalty_path(
    const C& model, const typename C::Cache& cache, const core::TimeSeriesView& x,
    const core::ValidatedConstraints& validated, std::span<const double> betas,
    std::uint64_t cancel_check_every, const core::ExecutionContext& ctx, MonotonicInstant started,
    RunStats& stats) {
  if (betas.empty()) {
    return core::invalid_input("run_dynp_penalty_path requires at least one beta");
  }
  for (std::size_t i = 0; i < betas.size(); ++i) {
    if (!is_valid_beta(betas[i])) {
      return core::invalid_input(
          core::cat("run_dynp_penalty_path beta[", i, "] must be finite and > 0; got ", betas[i]));
    }
  }
  const std::size_t max_k = max_change_points_to_search(validated);
  OVREL_TRY_ASSIGN(const DynpSweepResult sweep,
                   run_dynp_sweep(model, cache, x.n(), validated, max_k, cancel_check_every, ctx,
                                  started, stats));
  std::vector<PenalizedSelection> selections;
  selections.reserve(betas.size());
  for (std::size_t i = 0; i < betas.size(); ++i) {
    const std::string label = core::cat("PenaltyPath[", i, "]");
    OVREL_TRY_ASSIGN(PenalizedSelection selection,
                     select_penalized_kernel(sweep, x.n(), label, betas[i]));
    selections.push_back(std::move(selection));
  }
  return selections;
}

}  // namespace dynp

template <costs::CostModel C>
Result<core::OfflineChangePointResult> Dynp<C>::detect(const core::TimeSeriesView& x,
                                                       const core::ExecutionContext& ctx) const {
  OVREL_TRY(config.validate());
  const std::size_t n = x.n();
  const std::size_t d = x.d();
  OVREL_TRY_ASSIGN(const RunStart<C> start, start_run(cost_model, x, ctx));
  const core::ValidatedConstraints& validated = start.constraints;
  const typename C::Cache& cache = start.cache;
  const MonotonicInstant started = start.started_at;
  const std::uint64_t every = config.normalized_cancel_check_every();
  RunStats stats;
  std::vector<std::string> notes;
  std::vector<std::string> warnings;
  if (validated.max_depth) {
    warnings.push_back(max_depth_ignored_warning(*validated.max_depth, "Dynp"));
  }

  std::vector<std::size_t> breakpoints;
  double objective = 0.0;
  std::size_t change_count = 0;
  const core::Stopping& stopping = config.stopping;
  switch (stopping.kind) {
    case core::StoppingKind::KnownK: {
      notes.push_back(core::cat("stopping=KnownK(", stopping.k, ")"));
      OVREL_TRY_ASSIGN(dynp::KnownKSelection answer,
                       dynp::run_dynp_known_k(cost_model, cache, n, validated, stopping.k, every,
                                              ctx, started, stats));
      breakpoints = std::move(answer.breakpoints);
      objective = answer.objective;
      change_count = answer.change_count;
      break;
    }
    case core::StoppingKind::Penalized: {
      OVREL_TRY_ASSIGN(const dynp::ResolvedPenalty resolved,
                       dynp::resolve_penalty_beta(cost_model, stopping.penalty, n, d));
      notes.push_back(penalized_note(resolved));
      OVREL_TRY_ASSIGN(dynp::PenalizedSelection selection,
                       dynp::run_dynp_penalized(cost_model, cache, x, validated, every, ctx,
                                                started, stats, resolved.beta));
      notes.push_back(core::cat("selected_penalized_objective=", selection.penalized_objective));
      breakpoints = std::move(selection.breakpoints);
      objective = selection.objective;
      change_count = selection.change_count;
      break;
    }
    case core::StoppingKind::PenaltyPath: {
      std::vector<dynp::ResolvedPenalty> resolved;
      std::vector<double> betas;
      resolved.reserve(stopping.penalties.size());
      betas.reserve(stopping.penalties.size());
      for (const core::Penalty& penalty : stopping.penalties) {
        OVREL_TRY_ASSIGN(dynp::ResolvedPenalty entry,
                         dynp::resolve_penalty_beta(cost_model, penalty, n, d));
        betas.push_back(entry.beta);
        resolved.push_back(entry);
      }
      notes.push_back(penalty_path_note(resolved.size()));
      OVREL_TRY_ASSIGN(std::vector<dynp::PenalizedSelection> selections,
                       dynp::run_dynp_penalty_path(cost_model, cache, x, validated, betas, every,
                                                   ctx, started, stats));
      for (std::size_t i = 0; i < selections.size(); ++i) {
        notes.push_back(dynp::penalty_path_entry_note(i, resolved[i], selections[i]));
      }
      breakpoints = std::move(selections[0].breakpoints);
      objective = selections[0].objective;
      change_count = selections[0].change_count;
      break;
    }
  }

  notes.push_back(final_objective_note(objective, change_count));
  notes.push_back(core::cat("cost_evals=", stats.cost_evals,
                            ", candidates_considered=", stats.candidates_considered));
  core::Diagnostics diagnostics = finish_run(
      ctx, started, stats, "dynp", C::name(), n, d,
      {{"cost_evals", stats.cost_evals}, {"candidates_considered", stats.candidates_considered}},
      std::move(notes), std::move(warnings));
  return core::OfflineChangePointResult::create(n, std::move(breakpoints), std::move(diagnostics));
}

}  // namespace ovrel::offline

// The explicit instantiation of one (Dynp, cost model) pair, at global scope; the generated units
// of offline/instantiations.cmake expand it.
#define OVREL_INSTANTIATE_DYNP(C)                                                         \
  static_assert(::ovrel::core::OfflineDetector<::ovrel::offline::Dynp<C>>);               \
  template struct ::ovrel::offline::Dynp<C>;                                              \
  template ::ovrel::Result<::ovrel::offline::ResolvedPenalty>                             \
  ovrel::offline::dynp::resolve_penalty_beta<C>(const C&, const ::ovrel::core::Penalty&,  \
                                                std::size_t, std::size_t);                \
  template ::ovrel::Result<::ovrel::offline::dynp::DynpSweepResult>                       \
  ovrel::offline::dynp::run_dynp_sweep<C>(                                                \
      const C&, const C::Cache&, std::size_t, const ::ovrel::core::ValidatedConstraints&, \
      std::size_t, std::uint64_t, const ::ovrel::core::ExecutionContext&,                 \
      ::ovrel::core::MonotonicInstant, ::ovrel::offline::RunStats&);                      \
  template ::ovrel::Result<::ovrel::offline::dynp::KnownKSelection>                       \
  ovrel::offline::dynp::run_dynp_known_k<C>(                                              \
      const C&, const C::Cache&, std::size_t, const ::ovrel::core::ValidatedConstraints&, \
      std::size_t, std::uint64_t, const ::ovrel::core::ExecutionContext&,                 \
      ::ovrel::core::MonotonicInstant, ::ovrel::offline::RunStats&);                      \
  template ::ovrel::Result<::ovrel::offline::dynp::PenalizedSelection>                    \
  ovrel::offline::dynp::run_dynp_penalized<C>(                                            \
      const C&, const C::Cache&, const ::ovrel::core::TimeSeriesView&,                    \
      const ::ovrel::core::ValidatedConstraints&, std::uint64_t,                          \
      const ::ovrel::core::ExecutionContext&, ::ovrel::core::MonotonicInstant,            \
      ::ovrel::offline::RunStats&, double);                                               \
  template ::ovrel::Result<std::vector<::ovrel::offline::dynp::PenalizedSelection>>       \
  ovrel::offline::dynp::run_dynp_penalty_path<C>(                                         \
      const C&, const C::Cache&, const ::ovrel::core::TimeSeriesView&,                    \
      const ::ovrel::core::ValidatedConstraints&, std::span<const double>, std::uint64_t, \
      const ::ovrel::core::ExecutionContext&, ::ovrel::core::MonotonicInstant,            \
      ::ovrel::offline::RunStats&);
