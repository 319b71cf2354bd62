#pragma once

// The optimal-partitioning kernels shared by PELT (any cost model) and FPOP (L2 only): one
// penalised run, the known-number-of-changes search and the single-pass penalty path. The two
// detectors differ only in the texts of their messages, which the `Flavour` supplies.
//
// Include this header only in the translation units that instantiate the kernels (one per cost
// model); everyone else uses the declarations of pelt.hpp and fpop.hpp.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/diagnostics.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/lanes.hpp"
#include "ovrel/core/results.hpp"
#include "ovrel/core/stopping.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/costs/model.hpp"
#include "ovrel/offline/common.hpp"
#include "ovrel/offline/kernel_types.hpp"
#include "ovrel/offline/start_scores.hpp"

namespace ovrel::offline::detail {

// The end positions a run visits, ascending: the constraints' candidate positions, then n unless
// already last. Read in place: no copy of the (often n-long) candidate list.
struct TargetList {
  std::span<const std::size_t> candidates;
  std::size_t n = 0;

  TargetList(const core::ValidatedConstraints& validated, std::size_t series_len)
      : candidates(validated.effective_candidates), n(series_len) {}
  std::size_t size() const noexcept {
    return candidates.size() + (candidates.empty() || candidates.back() != n ? 1 : 0);
  }
  std::size_t operator[](std::size_t i) const noexcept {
    return i < candidates.size() ? candidates[i] : n;
  }
};

// The parts of the validated constraints a dynamic-programme run reads.
struct KernelPlan {
  std::size_t n = 0;
  TargetList targets;
  std::size_t min_segment_len = 1;
  std::optional<std::size_t> max_change_points;
};

// An n-long array whose entries are always written before they are read: allocated without a fill,
// so a run touches only the pages its live starts reach. Grown only.
template <class T>
class ScratchArray {
 public:
  void ensure(std::size_t len) {
    if (len > len_) {
      data_.reset(new T[len]);
      len_ = len;
    }
  }
  T* data() noexcept { return data_.get(); }
  const T* data() const noexcept { return data_.get(); }
  T& operator[](std::size_t i) noexcept { return data_[i]; }

 private:
  std::unique_ptr<T[]> data_;
  std::size_t len_ = 0;
};

struct DominatedStart {
  std::size_t tau;
  std::size_t until;  // dominated_until of tau
};

// Per-penalty dynamic-programme state: flat arrays allocated once per run, never inside the target
// loop. `active` holds the live starts in ascending order from position `head` on (live()) and is
// compacted in place, toward its end or its beginning, whichever moves less; `scored[k]`
// is the score without penalty of active[k] at the current target (NaN when unscored);
// `dominated_until[k]` is the first later target at which the dominated start active[k] may leave
// (kNone while it is not dominated); it moves with its start when the list is compacted, and
// `dominated` lists those starts with their targets (in no order), so that the pruning pass finds
// the ones whose wait ends without a scan.
// `count` (changes of the best segmentation of [0, t)) is kept only when a cap on the number of
// changes reads it; otherwise it is empty. `examine` serves a single-penalty run; the penalties of
// a path share one (see PathStates).
struct DpState {
  std::vector<double> F;
  std::vector<std::size_t> prev;
  std::vector<std::size_t> count;
  ScratchArray<std::size_t> active;
  std::size_t head = 0;
  std::size_t active_len = 0;
  ScratchArray<double> scored;
  ScratchArray<std::size_t> dominated_until;  // only when pruning
  std::vector<DominatedStart> dominated;      // only when pruning
  std::vector<std::size_t> examine;           // the pruning pass's positions, reused

  void reset(std::size_t n, double beta, bool prune, bool capped) {
    F.assign(n + 1, std::numeric_limits<double>::infinity());
    prev.assign(n + 1, kNone);
    if (capped) {
      count.assign(n + 1, kNone);
      count[0] = 0;
    } else {
      count.clear();
    }
    active.ensure(n + 1);
    scored.ensure(n + 1);
    dominated.clear();
    if (prune) {
      dominated_until.ensure(n + 1);
      dominated_until[0] = kNone;
    }
    F[0] = -beta;
    prev[0] = 0;
    active[0] = 0;
    head = 0;
    active_len = 1;
  }
  // The live starts and their dominance marks, position k of the list at [k].
  std::size_t* live() noexcept { return active.data() + head; }
  std::size_t* live_until() noexcept { return dominated_until.data() + head; }

  // Allocates, unfilled, every table a run over n points writes, at the most it can hold, so that
  // reset() and the run allocate nothing more: n + 1 entries each (no list outgrows the n + 1
  // positions). The dominated list fills only when min_segment_len defers a removal (`defers`).
  // Throws std::bad_alloc or std::length_error when the system refuses.
  void allocate(std::size_t n, bool prune, bool capped, bool defers) {
    F.reserve(n + 1);
    prev.reserve(n + 1);
    if (capped) count.reserve(n + 1);
    active.ensure(n + 1);
    scored.ensure(n + 1);
    if (prune) {
      dominated_until.ensure(n + 1);
      if (defers) dominated.reserve(n + 1);
    }
  }
};

// The change count of a segmentation whose last segment starts at tau.
inline std::size_t start_change_count(const std::size_t* count, std::size_t tau) noexcept {
  return tau == 0 ? 0 : saturating_increment(count[tau]);
}
inline std::size_t start_change_count(const DpState& s, std::size_t tau) noexcept {
  return start_change_count(s.count.data(), tau);
}

// Removes the starts the inequality dominates at target t (score without penalty not below F[t])
// from `s.active`, appends t, and counts every removal.
//
// A dominated tau can only be replaced by t at targets that t itself can start, that is at or
// after t + min_segment_len, and only if t's change count does not exceed tau's when the number of
// changes is capped. Removal is therefore deferred until the next target reaches
// t + min_segment_len; with min_segment_len 1, or targets that far apart, a start leaves at the
// target that dominates it.
//
// Only two kinds of start can change: one whose score reaches F[t] (found by a lane scan of the
// scores, unless `max_score`, their bound or +inf, is below F[t]) and one already dominated whose
// wait ends (found through `s.dominated`). Every other
// start stays where it is unless an earlier one leaves, and the list is compacted from the first
// removal.
template <class OnPruned>
[[nodiscard]] inline Status prune_and_extend(DpState& s, std::vector<std::size_t>& examine,
                                             const KernelPlan& plan, std::size_t t,
                                             std::size_t next_target, bool prune, double max_score,
                                             OnPruned&& on_pruned) {
  if (prune) {
    const double ft = s.F[t];
    const bool capped = plan.max_change_points.has_value();
    const std::size_t t_count = capped ? saturating_increment(s.count[t]) : 0;
    const std::size_t t_free_from =
        t > SIZE_MAX - plan.min_segment_len ? SIZE_MAX : t + plan.min_segment_len;
    std::size_t* active = s.live();
    const double* scored = s.scored.data();
    std::size_t* until = s.live_until();
    // The length in a local: the stores into `active` could otherwise alias it.
    const std::size_t len = s.active_len;
    examine.clear();
    // The scores were bounded when they were made: below ft, none reaches it.
    if (!(max_score < ft)) {
      for (std::size_t k = first_score_reaching(scored, 0, len, ft); k < len;
           k = first_score_reaching(scored, k + 1, len, ft)) {
        examine.push_back(k);
      }
    }
    // Dominated starts whose wait ends at the next target, placed by bisection (active ascends);
    // exactly these leave the dominated list. The others keep their place in the active list.
    std::vector<DominatedStart>& dominated = s.dominated;
    const std::size_t hits = examine.size();
    // The list holds the starts in the order they were dominated, ascending within a target: the
    // walk from the last one found is then linear, and a bisection places a start that is not.
    std::size_t k = 0;
    std::size_t last_tau = 0;
    for (const DominatedStart& d : dominated) {
      if (d.until > next_target) continue;
      if (d.tau < last_tau) k = 0;
      const std::size_t step_limit = std::min(len, k + 16);
      while (k < step_limit && active[k] < d.tau) ++k;
      if (k == step_limit && k < len && active[k] < d.tau) {
        k = static_cast<std::size_t>(std::lower_bound(active + k, active + len, d.tau) - active);
      }
      examine.push_back(k);
      last_tau = d.tau;
    }
    if (examine.size() > hits) {
      std::erase_if(dominated, [&](const DominatedStart& d) { return d.until <= next_target; });
      const auto mid = examine.begin() + static_cast<std::ptrdiff_t>(hits);
      if (!std::is_sorted(mid, examine.end())) std::sort(mid, examine.end());
      if (hits > 0) {
        std::inplace_merge(examine.begin(), mid, examine.end());
        examine.erase(std::unique(examine.begin(), examine.end()), examine.end());
      }
    }
    // The examined starts that stay are marked with kNone in `examine`.
    std::size_t removed = 0;
    for (std::size_t& k : examine) {
      const std::size_t tau = active[k];
      const bool was_dominated = until[k] != kNone;
      bool remove = was_dominated && until[k] <= next_target;
      if (!remove && scored[k] >= ft && (!capped || t_count <= start_change_count(s, tau))) {
        until[k] = std::min(until[k], t_free_from);
        remove = until[k] <= next_target;
      }
      if (remove) {
        OVREL_TRY(on_pruned());
        ++removed;
      } else {
        if (!was_dominated && until[k] != kNone) dominated.push_back({tau, until[k]});
        k = kNone;
      }
    }
    if (removed > 0) {
      std::erase(examine, kNone);
      if (examine.back() + 1 - removed < len - examine.front()) {
        // Fewer starts ahead of the last removal: they move up, and the list begins later.
        for (std::size_t j = removed, shift = 0; j-- > 0;) {
          ++shift;
          const std::size_t lo = j > 0 ? examine[j - 1] + 1 : 0;
          const std::size_t hi = examine[j];
          std::copy_backward(active + lo, active + hi, active + hi + shift);
          std::copy_backward(until + lo, until + hi, until + hi + shift);
        }
        s.head += removed;
        // Back to the front once the list has moved past its own length: a run then touches
        // only the pages of twice its longest list, and each start is moved back at most once
        // for every start that left before it.
        if (s.head >= len - removed) {
          std::copy(s.live(), s.live() + (len - removed), s.active.data());
          std::copy(s.live_until(), s.live_until() + (len - removed), s.dominated_until.data());
          s.head = 0;
        }
      } else {
        for (std::size_t j = 0; j < removed; ++j) {
          const std::size_t lo = examine[j] + 1;
          const std::size_t hi = j + 1 < removed ? examine[j + 1] : len;
          std::copy(active + lo, active + hi, active + lo - (j + 1));
          std::copy(until + lo, until + hi, until + lo - (j + 1));
        }
      }
      s.active_len = len - removed;
    }
  }
  if (t < plan.n) {
    if (prune) s.live_until()[s.active_len] = kNone;
    s.live()[s.active_len++] = t;
  }
  return {};
}

// The segment costs already evaluated at the current target of a penalty path, shared by its
// penalties: stamp[tau] == current marks cost[tau] as the cost of [tau, t).
struct TargetMemo {
  double* cost;
  std::size_t* stamp;
  std::size_t current;
};

struct TargetBest {
  double objective = std::numeric_limits<double>::infinity();
  std::size_t tau = kNone;
  std::size_t change_count = kNone;
  std::uint64_t scored = 0;  // candidates scored (cost evaluated or taken from the memo)
  // No score without penalty is above it: +inf when not tracked.
  double max_score = std::numeric_limits<double>::infinity();
};

// The common case of score_target without branches on feasibility, budget or failure: no memo, no
// cap, and a budget that this target cannot cross. Returns false, having changed nothing the
// general loop reads, when the target is not of that kind or a candidate is not finite: the
// general loop then scores it again from the same state and reports exactly what failed.
template <costs::CostModel C>
[[nodiscard]] inline bool score_target_fast(const C& model, const typename C::Cache& cache,
                                            const KernelPlan& plan, DpState& s, std::size_t t,
                                            double beta, const CostEvalBudget& budget,
                                            RunStats& stats, TargetBest& best) {
  const std::uint64_t evals = stats.cost_evals;
  const std::uint64_t fast_until = budget.fast_until();
  if (plan.max_change_points.has_value() || evals > fast_until) return false;
  const std::size_t* active = s.live();
  const std::size_t msl = plan.min_segment_len;
  const std::size_t len = s.active_len;
  // Starts ascend, so the feasible ones are a prefix.
  std::size_t feasible = len;
  while (feasible > 0 && (active[feasible - 1] >= t || t - active[feasible - 1] < msl)) {
    --feasible;
  }
  if (fast_until - evals < feasible) return false;
  // No store here aliases the cache's tables, so their entries at t stay in registers.
  double* __restrict scored = s.scored.data();
  const double* F = s.F.data();
  core::RunMinimum found;
  if constexpr (requires { model.segment_scores_at(cache, active, t, t, F, beta, scored); }) {
    found = model.segment_scores_at(cache, active, feasible, t, F, beta, scored);
  } else {
    if constexpr (requires { model.segment_costs_to_end(cache, t, t, t, scored); }) {
      std::size_t k = 0;
      while (k < feasible) {
        const std::size_t tau0 = active[k];
        std::size_t r = k + 1;
        while (r < feasible && active[r] == tau0 + (r - k)) ++r;
        model.segment_costs_to_end(cache, tau0, r - k, t, scored + k);
        k = r;
      }
    } else {
      for (std::size_t k = 0; k < feasible; ++k) {
        scored[k] = model.segment_cost(cache, active[k], t);
      }
    }
    const StartScores added = add_start_scores(scored, F, active, feasible, beta);
    found = {added.objective, added.index, added.all_finite,
             std::numeric_limits<double>::infinity()};
  }
  if (!found.all_finite) return false;
  for (std::size_t k = feasible; k < len; ++k) scored[k] = std::numeric_limits<double>::quiet_NaN();
  stats.cost_evals = evals + feasible;
  best.objective = found.objective;
  best.tau = found.index == SIZE_MAX ? kNone : active[found.index];
  best.scored = feasible;
  best.max_score = found.max_score;
  best.change_count = kNone;  // read only under a cap, which never takes this path
  return true;
}

// Scores every feasible active start at target t, one at a time: its score without penalty goes
// to `s.scored[k]` (NaN when it was not scored) and the best penalised objective, smallest start
// first among equals, to `best`. Evaluations are counted in stats.cost_evals as they happen; the
// scored candidates are counted by the caller from `best.scored`, except on failure, where the
// candidates scored so far (the failing one included once its cost is known) are added to
// stats.candidates_considered here. `path_idx` is kNone for a single-penalty run, whose messages
// do not carry it.
template <costs::CostModel C>
[[nodiscard]] inline Status score_target_general(const C& model, const typename C::Cache& cache,
                                                 const KernelPlan& plan, DpState& s, std::size_t t,
                                                 double beta, const CostEvalBudget& budget,
                                                 RunStats& stats, TargetMemo* memo,
                                                 std::size_t path_idx, TargetBest& best) {
  const std::size_t* active = s.live();
  double* scored = s.scored.data();
  const double* F = s.F.data();
  const std::size_t* count = s.count.data();
  const std::size_t msl = plan.min_segment_len;
  const bool capped = plan.max_change_points.has_value();
  const std::size_t cap = capped ? *plan.max_change_points : 0;
  std::uint64_t count_until = budget.count_until();
  // Counters and the running best live in locals while the loop runs: the compiler cannot keep a
  // counter that may alias the size_t arrays (or the cache's sizes) in a register.
  std::uint64_t evals = stats.cost_evals;
  std::uint64_t n_scored = 0;
  double best_objective = std::numeric_limits<double>::infinity();
  std::size_t best_tau = kNone;
  auto fail = [&](std::uint64_t counted, core::OvrelError e) -> Status {
    stats.cost_evals = evals;
    std::uint64_t& considered = stats.candidates_considered;
    considered = __builtin_add_overflow(considered, counted, &considered) ? UINT64_MAX : considered;
    return std::unexpected(std::move(e));
  };
  const std::size_t len = s.active_len;
  for (std::size_t k = 0; k < len; ++k) {
    const std::size_t tau = active[k];
    scored[k] = std::numeric_limits<double>::quiet_NaN();
    if (tau >= t || t - tau < msl) continue;
    const double f = F[tau];
    if (!std::isfinite(f)) continue;
    if (capped && start_change_count(count, tau) > cap) continue;
    double cost;
    if (memo != nullptr && memo->stamp[tau] == memo->current) {
      cost = memo->cost[tau];
    } else {
      if (evals < count_until) [[likely]] {
        ++evals;
      } else {
        Status st = budget.count_slow(evals, stats.soft_budget_exceeded);
        if (!st) return fail(n_scored, std::move(st).error());
        count_until = budget.count_until();
      }
      cost = model.segment_cost(cache, tau, t);
      if (memo != nullptr) {
        memo->cost[tau] = cost;
        memo->stamp[tau] = memo->current;
      }
    }
    const double s0 = cost + f;
    const double cand = s0 + beta;
    // A non-finite cost or score makes the candidate objective non-finite: one test in the loop,
    // the diagnosis on the way out.
    if (!std::isfinite(cand)) [[unlikely]] {
      if (!std::isfinite(cost)) {
        if (core::evaluation_interrupted()) return fail(n_scored, core::OvrelError::cancelled());
        return fail(n_scored, core::OvrelError::numerical_issue(core::cat(
                                  "non-finite segment cost at [", tau, ", ", t, "): ", cost)));
      }
      const std::string where =
          path_idx == kNone ? core::cat("at t=", t, ", tau=", tau, ": ")
                            : core::cat("at t=", t, ", tau=", tau, ", path_idx=", path_idx, ": ");
      if (!std::isfinite(s0)) {
        return fail(n_scored + 1, core::OvrelError::numerical_issue(core::cat(
                                      "non-finite score without penalty ", where, "F(tau)=", f,
                                      ", segment_cost=", cost, ", score_no_penalty=", s0)));
      }
      return fail(n_scored + 1, core::OvrelError::numerical_issue(core::cat(
                                    "non-finite objective ", where, "F(tau)=", f, ", segment_cost=",
                                    cost, ", beta=", beta, ", candidate=", cand)));
    }
    ++n_scored;
    scored[k] = s0;
    // Starts ascend, so a later start never wins a tie.
    if (cand < best_objective) {
      best_objective = cand;
      best_tau = tau;
    }
  }
  stats.cost_evals = evals;
  best.objective = best_objective;
  best.tau = best_tau;
  best.scored = n_scored;
  best.max_score = std::numeric_limits<double>::infinity();
  best.change_count = !capped || best_tau == kNone ? kNone : start_change_count(count, best_tau);
  return {};
}

// Scores every feasible active start at target t (see score_target_general for what it records),
// through the branch-free batch when the target allows it.
template <costs::CostModel C>
[[nodiscard]] inline Status score_target(const C& model, const typename C::Cache& cache,
                                         const KernelPlan& plan, DpState& s, std::size_t t,
                                         double beta, const CostEvalBudget& budget, RunStats& stats,
                                         TargetMemo* memo, std::size_t path_idx, TargetBest& best) {
  if (memo == nullptr && score_target_fast(model, cache, plan, s, t, beta, budget, stats, best)) {
    return {};
  }
  return score_target_general(model, cache, plan, s, t, beta, budget, stats, memo, path_idx, best);
}

template <class Flavour, costs::CostModel C>
Result<KernelResult> run_penalized(const C& model, const typename C::Cache& cache,
                                   const KernelPlan& plan, double beta, bool prune,
                                   std::size_t cancel_check_every,
                                   const core::ExecutionContext& ctx, MonotonicInstant started_at,
                                   RunStats& stats, DpState& s) {
  if (!is_valid_beta(beta)) {
    return core::invalid_input(
        core::cat(Flavour::kPenalizedName, " requires finite beta > 0; got ", beta));
  }
  const std::size_t n = plan.n;
  s.reset(n, beta, prune, plan.max_change_points.has_value());
  const CostEvalBudget budget(ctx);
  const std::size_t T = plan.targets.size();
  KernelResult out;

  for (std::size_t i = 0; i < T; ++i) {
    const std::size_t t = plan.targets[i];
    OVREL_TRY(check_runtime_controls_if_due(ctx, i, cancel_check_every, started_at, stats));
    TargetBest best;
    OVREL_TRY(score_target(model, cache, plan, s, t, beta, budget, stats, nullptr, kNone, best));
    OVREL_TRY(ctx.poll_interrupt(stats.cost_evals));
    OVREL_TRY(checked_counter_add(out.run_cost_evals, best.scored, "run_cost_evals"));
    OVREL_TRY(
        checked_counter_add(stats.candidates_considered, best.scored, "candidates_considered"));
    OVREL_TRY(checked_counter_add(out.run_candidates_considered, best.scored,
                                  "run_candidates_considered"));
    if (best.tau == kNone) {
      return core::invalid_input(
          core::cat("no feasible segmentation under constraints at t=", t,
                    "; check min_segment_len, candidate_splits/jump, and max_change_points"));
    }
    s.F[t] = best.objective;
    s.prev[t] = best.tau;
    if (!s.count.empty()) s.count[t] = best.change_count;
    const std::size_t next_target = i + 1 < T ? plan.targets[i + 1] : kNone;
    OVREL_TRY(prune_and_extend(
        s, s.examine, plan, t, next_target, prune, best.max_score, [&]() -> Status {
          OVREL_TRY(checked_counter_increment(stats.candidates_pruned, "candidates_pruned"));
          return checked_counter_increment(out.run_candidates_pruned, "run_candidates_pruned");
        }));
    ctx.report_progress(progress_fraction(i + 1, T));
  }

  OVREL_TRY_ASSIGN(auto rebuilt, reconstruct_breakpoints(n, s.prev));
  out.breakpoints = std::move(rebuilt.breakpoints);
  out.change_count = rebuilt.change_count;
  out.objective = s.F[n];
  return out;
}

// The smallest penalty of the known-k search: the double-precision machine epsilon.
inline constexpr double kKnownKStartBeta = 2.220446049250313e-16;
inline constexpr int kKnownKMaxBisections = 64;

// The penalized entry point of PELT and FPOP: run_penalized over the constraints' targets with a
// fresh state (an invalid beta is refused there before any work).
template <class Flavour, costs::CostModel C>
Result<KernelResult> run_penalized_entry(const C& model, const typename C::Cache& cache,
                                         std::size_t n,
                                         const core::ValidatedConstraints& constraints, double beta,
                                         bool prune, std::size_t cancel_check_every,
                                         const core::ExecutionContext& ctx,
                                         MonotonicInstant started_at, RunStats& stats) {
  const KernelPlan plan{n, TargetList(constraints, n), constraints.min_segment_len,
                        constraints.max_change_points};
  DpState state;
  return run_penalized<Flavour>(model, cache, plan, beta, prune, cancel_check_every, ctx,
                                started_at, stats, state);
}

template <class Flavour, costs::CostModel C>
Result<KnownKSearchResult> run_known_k(const C& model, const typename C::Cache& cache,
                                       std::size_t n, const core::ValidatedConstraints& validated,
                                       std::size_t k, std::size_t cancel_check_every,
                                       const core::ExecutionContext& ctx,
                                       MonotonicInstant started_at, RunStats& stats) {
  if (validated.max_change_points && *validated.max_change_points < k) {
    return core::invalid_input(core::cat(
        "KnownK=", k, " exceeds constraints.max_change_points=", *validated.max_change_points));
  }
  // Probes ignore the cap: a small penalty may give more changes than it allows, and the accepted
  // probe has exactly k, which was checked against it above.
  const KernelPlan plan{n, TargetList(validated, n), validated.min_segment_len, std::nullopt};
  DpState state;
  std::uint64_t iterations = 0;
  auto probe = [&](double beta) -> Result<KernelResult> {
    OVREL_TRY_ASSIGN(
        auto r, (run_penalized<Flavour>(model, cache, plan, beta, false, cancel_check_every, ctx,
                                        started_at, stats, state)));
    OVREL_TRY(checked_counter_increment(iterations, "known_k_iterations"));
    return r;
  };
  auto accept = [&](KernelResult r, double beta) {
    return KnownKSearchResult{std::move(r), beta, iterations};
  };

  double lo_beta = kKnownKStartBeta;
  OVREL_TRY_ASSIGN(KernelResult lo, probe(lo_beta));
  if (lo.change_count == k) return accept(std::move(lo), lo_beta);
  if (lo.change_count < k) {
    return core::invalid_input(core::cat("KnownK exact solution unreachable: requested k=", k,
                                         ", but smallest tested penalty beta=", lo_beta,
                                         " produced only ", lo.change_count, " changes"));
  }
  double hi_beta = lo_beta;
  std::size_t hi_count = lo.change_count;
  KernelResult hi;  // the high end's result is never read back: only its count matters
  // Double until the count falls to k or below. The bracket is in absolute units, so a series on a
  // large scale needs many doublings; the search goes on while the penalty stays finite.
  std::uint64_t doublings = 0;
  while (hi_count > k) {
    const double next = hi_beta * 2.0;
    if (!std::isfinite(next)) {
      return core::invalid_input(
          core::cat("KnownK exact solution unreachable: failed to bracket requested k=", k,
                    " within ", doublings, " penalty doublings"));
    }
    hi_beta = next;
    ++doublings;
    OVREL_TRY_ASSIGN(hi, probe(hi_beta));
    hi_count = hi.change_count;
    if (hi_count == k) return accept(std::move(hi), hi_beta);
  }
  std::size_t lo_count = lo.change_count;
  auto bracket_error = [&]() {
    return core::invalid_input(core::cat("KnownK exact solution unreachable: requested k=", k,
                                         ", bracketed counts were low_beta=", lo_beta, " -> ",
                                         lo_count, " changes and high_beta=", hi_beta, " -> ",
                                         hi_count, " changes"));
  };
  for (int b = 0; b < kKnownKMaxBisections; ++b) {
    const double mid = lo_beta + (hi_beta - lo_beta) * 0.5;
    if (!(lo_beta < mid && mid < hi_beta)) return bracket_error();
    OVREL_TRY_ASSIGN(KernelResult r, probe(mid));
    if (r.change_count == k) return accept(std::move(r), mid);
    if (r.change_count > k) {
      lo_beta = mid;
      lo_count = r.change_count;
    } else {
      hi_beta = mid;
      hi_count = r.change_count;
    }
  }
  return bracket_error();
}

// The tables a penalty path allocates before its first target and holds to its last. Removals
// are deferred, and dominated starts wait in a list, only when pruning under min_segment_len > 1.
struct PathShape {
  std::size_t n = 0;
  std::size_t penalties = 0;
  bool prune = false;
  bool capped = false;
  bool defers = false;

  PathShape(std::size_t series_len, std::size_t penalty_count, bool pruned,
            const core::ValidatedConstraints& validated)
      : n(series_len),
        penalties(penalty_count),
        prune(pruned),
        capped(validated.max_change_points.has_value()),
        defers(pruned && validated.min_segment_len > 1) {}

  // 8-byte entries per point (n + 1 points) of one penalty's state: objective, predecessor, live
  // starts and their scores; the change counts under a cap; when pruning, the dominance marks and,
  // when removals are deferred, the dominated list of (start, target) pairs.
  std::uint64_t words_per_penalty() const noexcept {
    return 4 + (capped ? 1 : 0) + (prune ? 1 : 0) + (defers ? 2 : 0);
  }
  // Entries per point shared by the penalties: the cost memo of the current target (cost and
  // stamp), and when pruning the pruning pass's positions, which hold each live start at most once
  // as scored at or above the target's objective and once more as a dominated start whose wait
  // ends.
  std::uint64_t shared_words() const noexcept { return 2 + (prune ? (defers ? 2 : 1) : 0); }

  // Every byte of the above and the penalties' state and result records, saturating at UINT64_MAX.
  std::uint64_t required_bytes() const noexcept {
    auto mul = [](std::uint64_t a, std::uint64_t b) {
      std::uint64_t out = 0;
      return __builtin_mul_overflow(a, b, &out) ? UINT64_MAX : out;
    };
    auto add = [](std::uint64_t a, std::uint64_t b) {
      std::uint64_t out = 0;
      return __builtin_add_overflow(a, b, &out) ? UINT64_MAX : out;
    };
    const std::uint64_t point_bytes = mul(add(n, 1), 8);
    const std::uint64_t per_penalty =
        add(mul(point_bytes, words_per_penalty()), sizeof(DpState) + sizeof(KernelResult));
    return add(mul(per_penalty, penalties), mul(point_bytes, shared_words()));
  }
};

// A penalty path's states, results and shared scratch, all allocated before the first target.
struct PathStates {
  std::vector<DpState> states;
  std::vector<KernelResult> results;  // run_cost_evals holds run_candidates_scored
  // The cost memo of the current target: memo_stamp[tau] == i + 1 marks memo_cost[tau] as the cost
  // of [tau, targets[i]).
  std::vector<double> memo_cost;
  std::vector<std::size_t> memo_stamp;
  std::vector<std::size_t> examine;
};

// ResourceLimit before anything is allocated when the budget is below the estimate; otherwise the
// whole allocation at once, whose refusal by the system comes back as an error naming the bytes
// rather than as a bare MemoryError part way through the states.
inline Result<PathStates> allocate_path_states(const PathShape& shape,
                                               const core::ValidatedConstraints& validated) {
  const std::uint64_t required = shape.required_bytes();
  if (validated.memory_budget_bytes && required > *validated.memory_budget_bytes) {
    return core::resource_limit(core::cat(
        "constraints.memory_budget_bytes exceeded for penalty path states: required_bytes=",
        required, ", limit_bytes=", *validated.memory_budget_bytes,
        "; increase constraints.memory_budget_bytes, or use fewer penalties"));
  }
  try {
    PathStates out;
    out.states.resize(shape.penalties);
    out.results.resize(shape.penalties);
    for (DpState& s : out.states) s.allocate(shape.n, shape.prune, shape.capped, shape.defers);
    out.memo_cost.assign(shape.n + 1, 0.0);
    out.memo_stamp.assign(shape.n + 1, 0);
    if (shape.prune) out.examine.reserve((shape.defers ? 2 : 1) * (shape.n + 1));
    return out;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return core::out_of_memory(core::cat(
      "penalty path state allocation failed: required_bytes=", required, "; use fewer penalties"));
}

template <class Flavour, costs::CostModel C>
Result<std::vector<KernelResult>> run_path(const C& model, const typename C::Cache& cache,
                                           std::size_t n,
                                           const core::ValidatedConstraints& validated,
                                           std::span<const double> betas, bool prune,
                                           std::size_t cancel_check_every,
                                           const core::ExecutionContext& ctx,
                                           MonotonicInstant started_at, RunStats& stats) {
  if (betas.empty()) {
    return core::invalid_input(core::cat(Flavour::kPathName, " requires at least one beta"));
  }
  for (std::size_t j = 0; j < betas.size(); ++j) {
    if (!is_valid_beta(betas[j])) {
      return core::invalid_input(
          core::cat(Flavour::kPathName, " beta[", j, "] must be finite and > 0; got ", betas[j]));
    }
  }
  const KernelPlan plan{n, TargetList(validated, n), validated.min_segment_len,
                        validated.max_change_points};
  const TargetList& targets = plan.targets;
  const std::size_t B = betas.size();
  OVREL_TRY_ASSIGN(PathStates path,
                   allocate_path_states(PathShape(n, B, prune, validated), validated));
  std::vector<DpState>& states = path.states;
  std::vector<KernelResult>& results = path.results;
  for (std::size_t j = 0; j < B; ++j) {
    states[j].reset(n, betas[j], prune, plan.max_change_points.has_value());
  }
  const CostEvalBudget budget(ctx);
  const std::size_t T = targets.size();
  std::uint64_t runtime_control_iteration = 0;

  for (std::size_t i = 0; i < T; ++i) {
    const std::size_t t = targets[i];
    TargetMemo memo{path.memo_cost.data(), path.memo_stamp.data(), i + 1};
    const std::size_t next_target = i + 1 < T ? targets[i + 1] : kNone;
    for (std::size_t j = 0; j < B; ++j) {
      DpState& s = states[j];
      KernelResult& out = results[j];
      const double beta = betas[j];
      OVREL_TRY(checked_counter_increment(runtime_control_iteration, "runtime_control_iteration"));
      // The counter starts at 1, so a period of 0 never checks.
      OVREL_TRY(check_runtime_controls_if_due(ctx, runtime_control_iteration, cancel_check_every,
                                              started_at, stats));
      TargetBest best;
      OVREL_TRY(score_target(model, cache, plan, s, t, beta, budget, stats, &memo, j, best));
      OVREL_TRY(ctx.poll_interrupt(stats.cost_evals));
      OVREL_TRY(checked_counter_add(out.run_cost_evals, best.scored, "run_candidates_scored"));
      OVREL_TRY(
          checked_counter_add(stats.candidates_considered, best.scored, "candidates_considered"));
      OVREL_TRY(checked_counter_add(out.run_candidates_considered, best.scored,
                                    "run_candidates_considered"));
      if (best.tau == kNone) {
        return core::invalid_input(
            core::cat("no feasible segmentation under constraints at t=", t, " for penalty_path[",
                      j, "] (beta=", beta,
                      "); check min_segment_len, candidate_splits/jump, and max_change_points"));
      }
      s.F[t] = best.objective;
      s.prev[t] = best.tau;
      if (!s.count.empty()) s.count[t] = best.change_count;
      OVREL_TRY(prune_and_extend(
          s, path.examine, plan, t, next_target, prune, best.max_score, [&]() -> Status {
            OVREL_TRY(checked_counter_increment(stats.candidates_pruned, "candidates_pruned"));
            return checked_counter_increment(out.run_candidates_pruned, "run_candidates_pruned");
          }));
    }
    ctx.report_progress(progress_fraction(i + 1, T));
  }

  // Each penalty's state is given back as its breakpoints are built (all but its predecessors
  // before, those after), so the results never need memory beyond what the states held.
  path.memo_cost = {};
  path.memo_stamp = {};
  path.examine = {};
  for (std::size_t j = 0; j < B; ++j) {
    const double objective = states[j].F[n];
    const std::vector<std::size_t> prev = std::move(states[j].prev);
    states[j] = DpState{};
    OVREL_TRY_ASSIGN(auto rebuilt, reconstruct_breakpoints(n, prev));
    results[j].breakpoints = std::move(rebuilt.breakpoints);
    results[j].change_count = rebuilt.change_count;
    results[j].objective = objective;
  }
  return std::move(results);
}

// The frame of a PELT or FPOP detect call once the detector's configuration has been checked:
// constraints, the model's data checks and cache, the run clock, the stopping rule's kernel, then
// notes, warnings, metrics, progress and the result.
template <class Flavour, costs::CostModel C>
Result<core::OfflineChangePointResult> detect_optimal_partitioning(
    const C& model, const core::Stopping& stopping, std::size_t params_per_segment,
    std::size_t cancel_check_every, bool prune, const core::TimeSeriesView& x,
    const core::ExecutionContext& ctx) {
  const std::size_t n = x.n();
  OVREL_TRY_ASSIGN(const RunStart<C> start, start_run(model, x, ctx));
  const core::ValidatedConstraints& validated = start.constraints;
  const typename C::Cache& cache = start.cache;
  const MonotonicInstant started_at = start.started_at;
  const std::size_t every = normalized_cancel_check_every(cancel_check_every);
  RunStats stats;
  std::vector<std::string> notes;
  std::vector<std::string> warnings;
  if constexpr (!Flavour::kFirstNote.empty()) notes.emplace_back(Flavour::kFirstNote);
  if (validated.max_depth) {
    warnings.push_back(max_depth_ignored_warning(*validated.max_depth, Flavour::kDisplayName));
  }

  KernelResult primary;
  std::string_view counter_label = "run_cost_evals";
  switch (stopping.kind) {
    case core::StoppingKind::KnownK: {
      OVREL_TRY_ASSIGN(KnownKSearchResult found,
                       (run_known_k<Flavour>(model, cache, n, validated, stopping.k, every, ctx,
                                             started_at, stats)));
      notes.push_back(known_k_note(stopping.k, found.selected_beta, found.search_iterations));
      primary = std::move(found.result);
      break;
    }
    case core::StoppingKind::Penalized: {
      OVREL_TRY_ASSIGN(const ResolvedPenalty resolved,
                       resolve_penalty_beta(model, stopping.penalty, n, x.d(), params_per_segment));
      notes.push_back(penalized_note(resolved));
      const KernelPlan plan{n, TargetList(validated, n), validated.min_segment_len,
                            validated.max_change_points};
      DpState state;
      OVREL_TRY_ASSIGN(primary, (run_penalized<Flavour>(model, cache, plan, resolved.beta, prune,
                                                        every, ctx, started_at, stats, state)));
      break;
    }
    case core::StoppingKind::PenaltyPath: {
      std::vector<ResolvedPenalty> resolved;
      std::vector<double> betas;
      resolved.reserve(stopping.penalties.size());
      betas.reserve(stopping.penalties.size());
      for (const core::Penalty& penalty : stopping.penalties) {
        OVREL_TRY_ASSIGN(ResolvedPenalty r,
                         resolve_penalty_beta(model, penalty, n, x.d(), params_per_segment));
        betas.push_back(r.beta);
        resolved.push_back(r);
      }
      notes.push_back(penalty_path_note(stopping.penalties.size()));
      OVREL_TRY_ASSIGN(std::vector<KernelResult> results,
                       (run_path<Flavour>(model, cache, n, validated, betas, prune, every, ctx,
                                          started_at, stats)));
      for (std::size_t i = 0; i < resolved.size() && i < results.size(); ++i) {
        notes.push_back(
            penalty_path_entry_note(i, resolved[i], results[i].change_count, results[i].objective));
      }
      primary = std::move(results.at(0));
      counter_label = "run_candidates_scored";
      break;
    }
  }

  // Known-k probes ignore the cap and k is checked against it: only penalised results are capped.
  if (stopping.kind != core::StoppingKind::KnownK && validated.max_change_points &&
      *validated.max_change_points > 0 && primary.change_count >= *validated.max_change_points) {
    warnings.push_back(capped_result_warning(*validated.max_change_points));
  }
  notes.push_back(final_objective_note(primary.objective, primary.change_count));
  notes.push_back(core::cat(counter_label, "=", primary.run_cost_evals));
  notes.push_back(core::cat("run_candidates_considered=", primary.run_candidates_considered,
                            ", run_candidates_pruned=", primary.run_candidates_pruned));
  core::Diagnostics diagnostics =
      finish_run(ctx, started_at, stats, Flavour::kAlgorithm, C::name(), n, x.d(),
                 {{"cost_evals", stats.cost_evals},
                  {"candidates_considered", stats.candidates_considered},
                  {"candidates_pruned", stats.candidates_pruned}},
                 std::move(notes), std::move(warnings));
  diagnostics.pruning_stats =
      core::PruningStats{stats.candidates_considered, stats.candidates_pruned};
  return core::OfflineChangePointResult::create(n, std::move(primary.breakpoints),
                                                std::move(diagnostics));
}

}  // namespace ovrel::offline::detail
