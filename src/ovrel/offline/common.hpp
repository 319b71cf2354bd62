#pragma once

// The plumbing every offline detector shares: the run statistics and their checked counters,
// dynamic-programme targets and backtracking, the runtime controls (cancellation, time and
// cost-evaluation budgets), penalty resolution, the texts of notes and warnings, and the end of a
// detect call (finish_run).

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/diagnostics.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/missing.hpp"
#include "ovrel/core/stopping.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/costs/model.hpp"

namespace ovrel::offline {

using core::MonotonicInstant;

// ---------------------------------------------------------------------------------------------
// Work counters.

// The ResourceLimit "{name} counter overflow". Out of line, so that the counters' checks, which
// the kernels make per candidate, stay small enough to inline.
[[gnu::cold, gnu::noinline]] Status counter_overflow(std::string_view name);

// Adds 1; at UINT64_MAX the counter is left unchanged and the call fails with ResourceLimit
// "{name} counter overflow".
[[nodiscard]] inline Status checked_counter_increment(std::uint64_t& counter,
                                                      std::string_view name) {
  if (counter == UINT64_MAX) [[unlikely]]
    return counter_overflow(name);
  ++counter;
  return {};
}

// a + 1 saturating at SIZE_MAX (change counts of the dynamic programmes).
constexpr std::size_t saturating_increment(std::size_t a) noexcept {
  return a == SIZE_MAX ? a : a + 1;
}

// The run statistics of one detect call, lent to every kernel run of that call. The counters grow
// only through the checked helpers; `soft_budget_exceeded` is set when a budget check answered
// "exceeded" under SoftDegrade and is never cleared.
struct RunStats {
  std::uint64_t cost_evals = 0;
  // Candidates scored: (start, target) pairs for PELT and FPOP, (start, end) endpoint pairs for
  // Dynp, splits (of a segment or an interval) for BinSeg and WBS.
  std::uint64_t candidates_considered = 0;
  std::uint64_t candidates_pruned = 0;     // PELT and FPOP
  std::uint64_t intervals_considered = 0;  // WBS: intervals whose full cost was evaluated
  bool soft_budget_exceeded = false;

  friend bool operator==(const RunStats&, const RunStats&) = default;
};

// ---------------------------------------------------------------------------------------------
// Targets and backtracking.

// The configured cadence of cancellation and time-budget checks, 0 read as 1.
constexpr std::size_t normalized_cancel_check_every(std::size_t every) noexcept {
  return every == 0 ? 1 : every;
}

// The effective candidate positions in order, followed by n unless already last: every end
// position of a possible segment, ascending, ending with n.
std::vector<std::size_t> build_targets(const core::ValidatedConstraints& validated, std::size_t n);

struct ReconstructedBreakpoints {
  std::vector<std::size_t> breakpoints;  // ascending, ends with n, never holds 0
  std::size_t change_count = 0;          // breakpoints.size() - 1

  friend bool operator==(const ReconstructedBreakpoints&,
                         const ReconstructedBreakpoints&) = default;
};

// Walks the predecessor table back from n (prev[t]: start of the last segment of the best
// segmentation of [0, t); kNone: never reached). Requires n >= 1 and a table of at least n + 1
// entries; a broken chain is InvalidInput ("invalid DP backtrack state: ...").
Result<ReconstructedBreakpoints> reconstruct_breakpoints(std::size_t n,
                                                         std::span<const std::size_t> prev);

// ---------------------------------------------------------------------------------------------
// Runtime controls.

// The per-call runtime check: cancellation, then the time budget. An exceeded budget under
// SoftDegrade sets the flag and lets the run go on; HardFail and Cancelled come back as errors.
// Out of line: the hot loops that call it now and then keep their registers.
[[nodiscard]] Status check_runtime_controls_now(const core::ExecutionContext& ctx,
                                                MonotonicInstant started_at, RunStats& stats);

// The periodic runtime check: check_runtime_controls_now on iterations that are multiples of
// `every`; a period of 0 (never passed by the detectors, which read 0 as 1) selects iteration 0
// only.
[[nodiscard]] inline Status check_runtime_controls_if_due(const core::ExecutionContext& ctx,
                                                          std::uint64_t iteration,
                                                          std::uint64_t every,
                                                          MonotonicInstant started_at,
                                                          RunStats& stats) {
  if (every == 0 ? iteration != 0 : iteration % every != 0) return {};
  return check_runtime_controls_now(ctx, started_at, stats);
}

// For the innermost loops: tells which values of an iteration counter that grows by one per step
// are multiples of the period, as check_runtime_controls_if_due decides, without a division per
// step. Due steps then call check_runtime_controls_now.
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

// Counting segment-cost evaluations against the cost-evaluation budget, as a detector's innermost
// loop does it: below `fast_until()` an evaluation is a plain increment (the count can neither
// overflow nor pass the limit); from there on `count_slow` does the checked increment and asks the
// context, whose answer can then differ from "within budget". The count of evaluations is also
// the work count of the context's interrupt poll: single evaluations below `count_until()` need
// neither the budget nor the poll, and `count_slow` polls when due. Batches of evaluations that
// stop below `fast_until()` poll after the batch (the context's poll_interrupt).
class CostEvalBudget {
 public:
  explicit CostEvalBudget(const core::ExecutionContext& ctx);

  std::uint64_t fast_until() const noexcept { return limit_; }
  std::uint64_t count_until() const noexcept { return count_until_; }

  // Raises cost_evals by one ("cost_evals" counter overflow at UINT64_MAX), then applies the budget
  // to the new count: an error under HardFail, the flag under SoftDegrade.
  [[nodiscard]] Status count(std::uint64_t& cost_evals, bool& soft_budget_exceeded) const {
    if (cost_evals < count_until_) [[likely]] {
      ++cost_evals;
      return {};
    }
    return count_slow(cost_evals, soft_budget_exceeded);
  }
  [[nodiscard]] Status count_slow(std::uint64_t& cost_evals, bool& soft_budget_exceeded) const;

 private:
  const core::ExecutionContext* ctx_;
  std::uint64_t limit_;  // UINT64_MAX without a budget
  // min(limit_, the poll's due count); limit_ without a poll. Moved on by count_slow.
  mutable std::uint64_t count_until_;
};

// Adds `amount` to a work counter; on overflow the counter is left at UINT64_MAX and the call fails
// with "{name} counter overflow", as the same number of single increments would.
[[nodiscard]] inline Status checked_counter_add(std::uint64_t& counter, std::uint64_t amount,
                                                std::string_view name) {
  if (__builtin_add_overflow(counter, amount, &counter)) [[unlikely]] {
    counter = UINT64_MAX;
    return counter_overflow(name);
  }
  return {};
}

// Whole milliseconds since `started_at` (seconds * 1000 + nanoseconds / 1e6), saturating.
std::uint64_t elapsed_runtime_ms(MonotonicInstant started_at);

// (done / total) in single precision, total read as at least 1.
inline float progress_fraction(std::size_t done, std::size_t total) noexcept {
  return static_cast<float>(done) / static_cast<float>(total == 0 ? 1 : total);
}

// Counts one segment-cost evaluation, applies the cost-evaluation budget with the new count and
// refuses a non-finite cost (NumericalIssue "non-finite segment cost at [{}, {}): {}"). The
// caller guarantees 0 <= start < end <= n.
template <costs::CostModel C>
[[nodiscard]] inline Result<double> evaluate_segment_cost(const C& model,
                                                          const typename C::Cache& cache,
                                                          std::size_t start, std::size_t end,
                                                          const CostEvalBudget& budget,
                                                          RunStats& stats) {
  OVREL_TRY(budget.count(stats.cost_evals, stats.soft_budget_exceeded));
  const double cost = model.segment_cost(cache, start, end);
  if (!std::isfinite(cost)) [[unlikely]] {
    if (core::evaluation_interrupted()) return core::cancelled();
    return core::numerical_issue(
        core::cat("non-finite segment cost at [", start, ", ", end, "): ", cost));
  }
  return cost;
}

// ---------------------------------------------------------------------------------------------
// Penalties.

// A beta the dynamic programmes accept: finite and > 0 (a positive subnormal passes).
constexpr bool is_valid_beta(double beta) noexcept { return std::isfinite(beta) && beta > 0.0; }

inline constexpr std::string_view kSourceConfig = "config";
inline constexpr std::string_view kSourceConfigOverride = "config_override";
inline constexpr std::string_view kSourceModelDefault = "model_default";

// The params_per_segment value that selects the cost model's own count for BIC and AIC in PELT,
// FPOP and WBS. Their configurations read a count that is not given as this value, so the notes
// show the same figure and label either way.
inline constexpr std::size_t kModelOwnParams = 2;

struct ResolvedPenalty {
  core::Penalty penalty;
  std::string_view params_source;  // kSourceConfig, kSourceConfigOverride or kSourceModelDefault
  double beta = 0.0;
  std::size_t params_per_segment = 0;  // the figure shown in notes
};

namespace detail {
// The shared part of the resolution once the effective parameter count is known (BIC/AIC) or the
// penalty is Manual: the beta and its check.
Result<ResolvedPenalty> finish_resolution(const core::Penalty& penalty, std::size_t n,
                                          std::size_t effective_params,
                                          std::string_view params_source,
                                          std::size_t reported_params);
Result<ResolvedPenalty> resolve_with_default(const core::Penalty& penalty, std::size_t n,
                                             std::size_t d, std::size_t params_per_segment,
                                             std::optional<std::size_t> model_default,
                                             std::size_t model_default_one_dim,
                                             std::string_view model_name);
}  // namespace detail

// Turns a penalty into its beta. Manual: its value ("config"). BIC/AIC with params_per_segment 2:
// the model's own count for d dimensions ("model_default", reported as the model's count for one
// dimension); with any other value: d * params_per_segment ("config_override").
template <costs::CostModel C>
Result<ResolvedPenalty> resolve_penalty_beta(const C& model, const core::Penalty& penalty,
                                             std::size_t n, std::size_t d,
                                             std::size_t params_per_segment) {
  std::optional<std::size_t> model_default;
  std::size_t one_dim = 0;
  if (penalty.kind != core::PenaltyKind::Manual && params_per_segment == kModelOwnParams) {
    model_default = model.penalty_effective_params(d);
    one_dim = model.penalty_effective_params(1).value_or(params_per_segment);
  }
  return detail::resolve_with_default(penalty, n, d, params_per_segment, model_default, one_dim,
                                      C::name());
}

// ---------------------------------------------------------------------------------------------
// Texts of notes and warnings.

inline constexpr std::string_view kSoftBudgetWarning =
    "budget exceeded under SoftDegrade mode; run continued without algorithm fallback";

// The warning of a penalised PELT or FPOP result whose change count reached the cap (>= 1): the
// programme caps every prefix, so the result need not be the best one with at most `cap` changes.
std::string capped_result_warning(std::size_t cap);
// "constraints.max_depth={} is ignored by {detector}".
std::string max_depth_ignored_warning(std::size_t max_depth, std::string_view detector);
// "stopping=KnownK({}), selected_beta={}, search_iterations={}".
std::string known_k_note(std::size_t k, double selected_beta, std::uint64_t search_iterations);
// "stopping=Penalized({}), beta={}, params_per_segment={} ({})".
std::string penalized_note(const ResolvedPenalty& resolved);
// "stopping=PenaltyPath(len={}), primary_index=0".
std::string penalty_path_note(std::size_t len);
// "penalty_path[{}]: penalty={}, beta={}, params_per_segment={} ({}), change_count={},
// objective={}".
std::string penalty_path_entry_note(std::size_t index, const ResolvedPenalty& resolved,
                                    std::size_t change_count, double objective);
// "final_objective={}, change_count={}".
std::string final_objective_note(double objective, std::size_t change_count);

// ---------------------------------------------------------------------------------------------
// Segments a cost model cannot score.

// The fewest points a segment of `cost_model` (its name()) on d dimensions needs to have a
// non-degenerate estimate: d + 1 for "normal_full_cov" (fewer rows give a singular covariance,
// whose ridged log-determinant rewards every split), 2 for "normal_mean_var" (one point has no
// variance), 1 for every other model.
std::size_t model_min_segment_len(std::string_view cost_model, std::size_t d) noexcept;

// Raises constraints.min_segment_len to model_min_segment_len, but never above n (a series
// shorter than that floor stays one segment instead of becoming infeasible), and returns the note
// "min_segment_len raised from {} to {}: {} needs at least {} points per segment" when it did.
// A min_segment_len of 0 is left for validation to refuse. A run whose segments already met the
// floor finds the same segmentation.
std::optional<std::string> raise_min_segment_len_for_model(core::Constraints& constraints,
                                                           std::string_view cost_model,
                                                           std::size_t n, std::size_t d);

// ---------------------------------------------------------------------------------------------
// The start and the end of a detect call.

template <costs::CostModel C>
struct RunStart {
  core::ValidatedConstraints constraints;
  typename C::Cache cache;
  MonotonicInstant started_at;
};

// What every detect call does once its configuration is valid, in this order: the constraints
// against n, the model's data checks, the refusal of missing values, the model's cache; then the
// run clock starts.
template <costs::CostModel C>
Result<RunStart<C>> start_run(const C& model, const core::TimeSeriesView& x,
                              const core::ExecutionContext& ctx) {
  OVREL_TRY_ASSIGN(core::ValidatedConstraints constraints,
                   core::validate_constraints(ctx.constraints, x.n()));
  OVREL_TRY(model.validate(x));
  OVREL_TRY(core::check_missing_compatibility(x.missing(), core::MissingSupport::Reject));
  OVREL_TRY_ASSIGN(typename C::Cache cache, model.precompute(x, constraints.cache_policy));
  return RunStart<C>{.constraints = std::move(constraints),
                     .cache = std::move(cache),
                     .started_at = std::chrono::steady_clock::now()};
}

// One counter of a run, recorded as the metric "offline.{algorithm}.{name}".
struct RunMetric {
  std::string_view name;
  std::uint64_t value = 0;
};

// The end of every detect call, in this order: the soft-budget warning when a budget was
// exceeded, the metrics then "offline.{algorithm}.runtime_ms", the final progress 1.0, and the
// diagnostics (shape, run time, notes, warnings, names and mode). The caller adds what only it
// knows (seed, pruning counters) and builds the result.
core::Diagnostics finish_run(const core::ExecutionContext& ctx, MonotonicInstant started_at,
                             const RunStats& stats, std::string_view algorithm,
                             std::string_view cost_model, std::size_t n, std::size_t d,
                             std::initializer_list<RunMetric> metrics,
                             std::vector<std::string> notes, std::vector<std::string> warnings);

}  // namespace ovrel::offline
