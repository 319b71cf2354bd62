#include "ovrel/offline/dynp.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

#include "ovrel/core/text.hpp"

namespace ovrel::offline {

Status DynpConfig::validate() const { return core::validate_stopping(stopping); }

namespace dynp {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// One checked step of the size estimate: "{label} overflow" when it does not fit.
Result<std::uint64_t> checked_step_add(std::uint64_t a, std::uint64_t b, std::string_view label) {
  std::uint64_t out = 0;
  if (__builtin_add_overflow(a, b, &out))
    return core::resource_limit(core::cat(label, " overflow"));
  return out;
}
Result<std::uint64_t> checked_step_mul(std::uint64_t a, std::uint64_t b, std::string_view label) {
  std::uint64_t out = 0;
  if (__builtin_mul_overflow(a, b, &out))
    return core::resource_limit(core::cat(label, " overflow"));
  return out;
}

}  // namespace

std::vector<std::size_t> build_endpoints(const core::ValidatedConstraints& validated,
                                         std::size_t n) {
  std::vector<std::size_t> endpoints;
  endpoints.reserve(validated.effective_candidates.size() + 2);
  endpoints.push_back(0);
  endpoints.insert(endpoints.end(), validated.effective_candidates.begin(),
                   validated.effective_candidates.end());
  if (endpoints.back() != n) endpoints.push_back(n);
  return endpoints;
}

std::size_t max_change_points_to_search(const core::ValidatedConstraints& validated) {
  const std::size_t available = validated.effective_candidates.size();
  if (validated.max_change_points) return std::min(*validated.max_change_points, available);
  return available;
}

Result<std::uint64_t> estimate_dynp_sweep_state_bytes(std::uint64_t endpoint_count,
                                                      std::uint64_t max_segments) {
  const std::uint64_t m = endpoint_count;
  OVREL_TRY_ASSIGN(const std::uint64_t rows,
                   checked_step_add(max_segments, 1, "dynp backpointer row count"));
  OVREL_TRY_ASSIGN(const std::uint64_t cells,
                   checked_step_mul(rows, m, "dynp backpointer cell count"));
  OVREL_TRY_ASSIGN(const std::uint64_t backpointer_bytes,
                   checked_step_mul(cells, 8, "dynp backpointer bytes"));
  OVREL_TRY_ASSIGN(const std::uint64_t objective_bytes,
                   checked_step_mul(rows, 8, "dynp objective bytes"));
  OVREL_TRY_ASSIGN(const std::uint64_t dp_entries, checked_step_mul(m, 2, "dynp dp entry count"));
  OVREL_TRY_ASSIGN(const std::uint64_t dp_bytes, checked_step_mul(dp_entries, 8, "dynp dp bytes"));
  OVREL_TRY_ASSIGN(std::uint64_t total,
                   checked_step_add(backpointer_bytes, objective_bytes, "dynp state bytes"));
  OVREL_TRY_ASSIGN(total, checked_step_add(total, dp_bytes, "dynp state bytes"));
  // The endpoint list: m is at most n + 1, whose 8-byte words already exist as the series, so
  // m * 8 cannot overflow where the steps above did not.
  OVREL_TRY_ASSIGN(total, checked_step_add(total, m * 8, "dynp state bytes"));
  return total;
}

Status enforce_memory_budget(const core::ValidatedConstraints& validated, std::uint64_t required) {
  if (validated.memory_budget_bytes && required > *validated.memory_budget_bytes) {
    return core::resource_limit(core::cat(
        "constraints.memory_budget_bytes exceeded for dynp state: required_bytes=", required,
        ", limit_bytes=", *validated.memory_budget_bytes,
        "; increase constraints.memory_budget_bytes, reduce constraints.max_change_points, or "
        "increase constraints.jump"));
  }
  return {};
}

Result<std::vector<std::size_t>> reconstruct_breakpoints_for_segment_count(
    const DynpSweepResult& sweep, std::size_t segment_count, std::size_t n) {
  if (segment_count == 0 || segment_count >= sweep.row_count) {
    return core::invalid_input(
        core::cat("invalid segment_count=", segment_count, " for backtracking"));
  }
  if (sweep.endpoints.empty() || sweep.endpoints.back() != n) {
    return core::invalid_input(
        core::cat("invalid dynp endpoint state: expected terminal endpoint n=", n));
  }
  if (segment_count == 1) return std::vector<std::size_t>{n};

  std::vector<std::size_t> splits;
  splits.reserve(segment_count - 1);
  std::size_t j = sweep.endpoints.size() - 1;
  for (std::size_t c = segment_count; c >= 2; --c) {
    const std::size_t i = sweep.backpointer(c, j);
    if (i == kNone) {
      return core::invalid_input(
          core::cat("backtracking failed at segment_count=", c, ", endpoint=", sweep.endpoints[j]));
    }
    const std::size_t split = sweep.endpoints[i];
    if (split == 0 || split >= n) {
      return core::invalid_input(core::cat("invalid split during backtracking at split=", split));
    }
    splits.push_back(split);
    j = i;
  }
  std::reverse(splits.begin(), splits.end());
  splits.push_back(n);
  return splits;
}

Result<PenalizedSelection> select_penalized_kernel(const DynpSweepResult& sweep, std::size_t n,
                                                   std::string_view label, double beta) {
  if (!is_valid_beta(beta)) {
    return core::invalid_input(core::cat(label, " requires finite beta > 0.0; got ", beta));
  }
  std::size_t best_k = kNone;
  double best_value = kInf;
  double best_objective = kInf;
  for (std::size_t s = 1; s < sweep.objective.size(); ++s) {
    const double objective = sweep.objective[s];
    if (!std::isfinite(objective)) continue;
    const std::size_t k = s - 1;
    const double value = beta * static_cast<double>(k) + objective;
    if (!std::isfinite(value)) {
      return core::numerical_issue(core::cat(label, " produced non-finite objective for k=", k,
                                             ": objective=", objective, ", beta=", beta));
    }
    if (value < best_value) {
      best_k = k;
      best_value = value;
      best_objective = objective;
    }
  }
  if (best_k == kNone) {
    return core::invalid_input(
        core::cat(label, " found no feasible segmentation under current constraints"));
  }
  auto breakpoints = reconstruct_breakpoints_for_segment_count(sweep, best_k + 1, n);
  if (!breakpoints) {
    return core::invalid_input(
        core::cat(label, " backtracking failed: ", breakpoints.error().display()));
  }
  return PenalizedSelection{.breakpoints = std::move(*breakpoints),
                            .objective = best_objective,
                            .change_count = best_k,
                            .penalized_objective = best_value};
}

Result<SweepTables> allocate_sweep_tables(std::size_t rows, std::size_t m, std::uint64_t required) {
  // Without a memory budget the estimate is the only limit, and a long series with a large
  // max_change_points asks for tens of gigabytes: a refusal by the system must come back as an
  // error, not end the process.
  try {
    SweepTables tables;
    tables.backpointers.assign(rows * m, kNone);
    tables.objective.assign(rows, kInf);
    tables.previous.assign(m, kInf);
    tables.current.assign(m, kInf);
    return tables;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return core::resource_limit(
      core::cat("dynp state allocation failed: required_bytes=", required,
                "; reduce constraints.max_change_points, or increase constraints.jump"));
}

std::string penalty_path_entry_note(std::size_t index, const ResolvedPenalty& resolved,
                                    const PenalizedSelection& selection) {
  return core::cat("penalty_path[", index, "]: penalty=", core::debug(resolved.penalty),
                   ", beta=", resolved.beta, ", params_per_segment=", resolved.params_per_segment,
                   " (model_default), change_count=", selection.change_count,
                   ", objective=", selection.objective,
                   ", penalized_objective=", selection.penalized_objective);
}

}  // namespace dynp
}  // namespace ovrel::offline
