#include "ovrel/offline/common.hpp"

#include <algorithm>
#include <chrono>

namespace ovrel::offline {

Status counter_overflow(std::string_view name) {
  return core::resource_limit(core::cat(name, " counter overflow"));
}

std::vector<std::size_t> build_targets(const core::ValidatedConstraints& validated, std::size_t n) {
  std::vector<std::size_t> targets;
  targets.reserve(validated.effective_candidates.size() + 1);
  targets.assign(validated.effective_candidates.begin(), validated.effective_candidates.end());
  if (targets.empty() || targets.back() != n) targets.push_back(n);
  return targets;
}

Result<ReconstructedBreakpoints> reconstruct_breakpoints(std::size_t n,
                                                         std::span<const std::size_t> prev) {
  if (n == 0) {
    return core::invalid_input("invalid DP backtrack state: requires n >= 1; got n=0");
  }
  if (prev.size() <= n) {
    return core::invalid_input(core::cat("invalid DP backtrack state: predecessor table has ",
                                         prev.size(), " entries; expected n + 1 = ", n + 1));
  }
  std::vector<std::size_t> path{n};
  std::size_t t = n;
  std::size_t hops = 0;
  while (true) {
    // Every step strictly lowers t, so this guard only trips on a corrupted walk.
    if (hops > n) return core::invalid_input("invalid DP backtrack state: cycle detected");
    ++hops;
    const std::size_t p = prev[t];
    if (p == kNone) {
      return core::invalid_input(
          core::cat("invalid DP backtrack state: missing predecessor at t=", t));
    }
    if (p >= t) {
      return core::invalid_input(
          core::cat("invalid DP backtrack state: predecessor tau=", p, " is not < t=", t));
    }
    if (p == 0) break;
    path.push_back(p);
    t = p;
  }
  std::reverse(path.begin(), path.end());
  const std::size_t change_count = path.size() - 1;
  return ReconstructedBreakpoints{std::move(path), change_count};
}

Status check_runtime_controls_now(const core::ExecutionContext& ctx, MonotonicInstant started_at,
                                  RunStats& stats) {
  OVREL_TRY(ctx.check_cancelled());
  OVREL_TRY_ASSIGN(const bool exceeded, ctx.check_time_budget(started_at));
  if (exceeded) stats.soft_budget_exceeded = true;
  return {};
}

CostEvalBudget::CostEvalBudget(const core::ExecutionContext& ctx)
    : ctx_(&ctx),
      limit_(ctx.constraints.max_cost_evals.value_or(UINT64_MAX)),
      count_until_(ctx.interrupt == nullptr ? limit_ : std::min(limit_, ctx.interrupt->due_at())) {}

Status CostEvalBudget::count_slow(std::uint64_t& cost_evals, bool& soft_budget_exceeded) const {
  if (ctx_->interrupt != nullptr) {
    OVREL_TRY(ctx_->poll_interrupt(cost_evals));
    count_until_ = std::min(limit_, ctx_->interrupt->due_at());
    if (cost_evals < limit_) {
      ++cost_evals;
      return {};
    }
  }
  OVREL_TRY(checked_counter_increment(cost_evals, "cost_evals"));
  OVREL_TRY_ASSIGN(const bool exceeded, ctx_->check_cost_eval_budget(cost_evals));
  if (exceeded) soft_budget_exceeded = true;
  return {};
}

std::uint64_t elapsed_runtime_ms(MonotonicInstant started_at) {
  const auto elapsed = std::chrono::steady_clock::now() - started_at;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
  if (ns <= 0) return 0;
  // Whole seconds times 1000 plus the sub-second part; cannot overflow from a 64-bit count of
  // nanoseconds, but saturate anyway as the rule says.
  const auto total = static_cast<std::uint64_t>(ns);
  const std::uint64_t secs = total / 1'000'000'000ULL;
  const std::uint64_t sub = total % 1'000'000'000ULL;
  std::uint64_t ms = 0;
  if (__builtin_mul_overflow(secs, std::uint64_t{1000}, &ms) ||
      __builtin_add_overflow(ms, sub / 1'000'000ULL, &ms)) {
    return UINT64_MAX;
  }
  return ms;
}

namespace detail {

Result<ResolvedPenalty> finish_resolution(const core::Penalty& penalty, std::size_t n,
                                          std::size_t effective_params,
                                          std::string_view params_source,
                                          std::size_t reported_params) {
  double beta = penalty.value;
  if (penalty.kind != core::PenaltyKind::Manual) {
    OVREL_TRY_ASSIGN(beta, core::penalty_value_from_effective_params(penalty, n, effective_params));
  }
  if (!is_valid_beta(beta)) {
    return core::invalid_input(
        core::cat("resolved penalty must be finite and > 0.0; got beta=", beta));
  }
  return ResolvedPenalty{.penalty = penalty,
                         .params_source = params_source,
                         .beta = beta,
                         .params_per_segment = reported_params};
}

Result<ResolvedPenalty> resolve_with_default(const core::Penalty& penalty, std::size_t n,
                                             std::size_t d, std::size_t params_per_segment,
                                             std::optional<std::size_t> model_default,
                                             std::size_t model_default_one_dim,
                                             std::string_view model_name) {
  constexpr std::string_view kZeroParams = "resolved params_per_segment must be >= 1; got 0";
  if (penalty.kind == core::PenaltyKind::Manual) {
    if (params_per_segment == 0) return core::invalid_input(std::string(kZeroParams));
    return finish_resolution(penalty, n, 0, kSourceConfig, params_per_segment);
  }
  if (params_per_segment == kModelOwnParams) {
    if (!model_default) {
      return core::invalid_input(
          core::cat("model_default effective-params overflow for d=", d, ", model=", model_name));
    }
    return finish_resolution(penalty, n, *model_default, kSourceModelDefault,
                             model_default_one_dim);
  }
  if (params_per_segment == 0) return core::invalid_input(std::string(kZeroParams));
  std::size_t effective = 0;
  if (__builtin_mul_overflow(d, params_per_segment, &effective)) {
    return core::invalid_input(
        core::cat("effective params overflow: d * params_per_segment exceeds usize (d=", d,
                  ", params_per_segment=", params_per_segment, ")"));
  }
  return finish_resolution(penalty, n, effective, kSourceConfigOverride, params_per_segment);
}

}  // namespace detail

std::string capped_result_warning(std::size_t cap) {
  return core::cat("change count reached constraints.max_change_points=", cap,
                   ": the cap applies to every prefix of the series, so this may not be the "
                   "optimal segmentation with at most ",
                   cap, " changes; to find it, run detect_offline(..., detector=\"dynp\", ",
                   "stopping={\"n_bkps\": k}) (or known-k stopping) for each k up to ", cap,
                   " and keep the smallest cost + k x penalty");
}

std::string max_depth_ignored_warning(std::size_t max_depth, std::string_view detector) {
  return core::cat("constraints.max_depth=", max_depth, " is ignored by ", detector);
}

std::string known_k_note(std::size_t k, double selected_beta, std::uint64_t search_iterations) {
  return core::cat("stopping=KnownK(", k, "), selected_beta=", selected_beta,
                   ", search_iterations=", search_iterations);
}

std::string penalized_note(const ResolvedPenalty& resolved) {
  return core::cat("stopping=Penalized(", core::debug(resolved.penalty), "), beta=", resolved.beta,
                   ", params_per_segment=", resolved.params_per_segment, " (",
                   resolved.params_source, ")");
}

std::string penalty_path_note(std::size_t len) {
  return core::cat("stopping=PenaltyPath(len=", len, "), primary_index=0");
}

std::string penalty_path_entry_note(std::size_t index, const ResolvedPenalty& resolved,
                                    std::size_t change_count, double objective) {
  return core::cat("penalty_path[", index, "]: penalty=", core::debug(resolved.penalty),
                   ", beta=", resolved.beta, ", params_per_segment=", resolved.params_per_segment,
                   " (", resolved.params_source, "), change_count=", change_count,
                   ", objective=", objective);
}

std::string final_objective_note(double objective, std::size_t change_count) {
  return core::cat("final_objective=", objective, ", change_count=", change_count);
}

core::Diagnostics finish_run(const core::ExecutionContext& ctx, MonotonicInstant started_at,
                             const RunStats& stats, std::string_view algorithm,
                             std::string_view cost_model, std::size_t n, std::size_t d,
                             std::initializer_list<RunMetric> metrics,
                             std::vector<std::string> notes, std::vector<std::string> warnings) {
  if (stats.soft_budget_exceeded) warnings.emplace_back(kSoftBudgetWarning);
  const std::uint64_t runtime_ms = elapsed_runtime_ms(started_at);
  for (const RunMetric& metric : metrics) {
    ctx.record_scalar(core::cat("offline.", algorithm, ".", metric.name),
                      static_cast<double>(metric.value));
  }
  ctx.record_scalar(core::cat("offline.", algorithm, ".runtime_ms"),
                    static_cast<double>(runtime_ms));
  ctx.report_progress(1.0F);

  core::Diagnostics diagnostics;
  diagnostics.n = n;
  diagnostics.d = d;
  diagnostics.runtime_ms = runtime_ms;
  diagnostics.notes = std::move(notes);
  diagnostics.warnings = std::move(warnings);
  diagnostics.algorithm = std::string(algorithm);
  diagnostics.cost_model = std::string(cost_model);
  diagnostics.repro_mode = ctx.repro_mode;
  return diagnostics;
}

std::size_t model_min_segment_len(std::string_view cost_model, std::size_t d) noexcept {
  if (cost_model == "normal_full_cov") return d == SIZE_MAX ? SIZE_MAX : d + 1;
  if (cost_model == "normal_mean_var") return 2;
  return 1;
}

std::optional<std::string> raise_min_segment_len_for_model(core::Constraints& constraints,
                                                           std::string_view cost_model,
                                                           std::size_t n, std::size_t d) {
  const std::size_t floor = model_min_segment_len(cost_model, d);
  const std::size_t from = constraints.min_segment_len;
  const std::size_t to = std::min(floor, n);
  if (from == 0 || from >= to) return std::nullopt;
  constraints.min_segment_len = to;
  return core::cat("min_segment_len raised from ", from, " to ", to, ": ", cost_model,
                   " needs at least ", floor, " points per segment");
}

}  // namespace ovrel::offline
