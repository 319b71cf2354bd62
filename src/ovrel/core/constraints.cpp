#include "ovrel/core/constraints.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "ovrel/core/text.hpp"

namespace ovrel::core {
namespace {

Status positive_when_present(const std::optional<std::uint64_t>& value, const char* name) {
  if (value.has_value() && *value == 0) {
    return invalid_input(cat("constraints.", name, " must be > 0 when provided; got 0"));
  }
  return {};
}

bool admissible(std::size_t s, std::size_t n, std::size_t min_segment_len) noexcept {
  return s >= min_segment_len && s < n && n - s >= min_segment_len;
}

}  // namespace

Status validate_constraints_config(const Constraints& c) {
  if (c.min_segment_len == 0) {
    return invalid_input("constraints.min_segment_len must be >= 1; got 0");
  }
  if (c.jump == 0) return invalid_input("constraints.jump must be >= 1; got 0");
  OVREL_TRY(positive_when_present(c.time_budget_ms, "time_budget_ms"));
  OVREL_TRY(positive_when_present(c.max_cost_evals, "max_cost_evals"));
  OVREL_TRY(positive_when_present(c.memory_budget_bytes, "memory_budget_bytes"));
  OVREL_TRY(positive_when_present(c.max_cache_bytes, "max_cache_bytes"));
  const CachePolicy& policy = c.cache_policy;
  if (policy.kind == CachePolicyKind::Budgeted && policy.max_bytes == 0) {
    return invalid_input("constraints.cache_policy.Budgeted.max_bytes must be > 0; got 0");
  }
  if (policy.kind == CachePolicyKind::Approximate) {
    if (policy.max_bytes == 0) {
      return invalid_input("constraints.cache_policy.Approximate.max_bytes must be > 0; got 0");
    }
    if (!(std::isfinite(policy.error_tolerance) && policy.error_tolerance > 0.0)) {
      return invalid_input(
          cat("constraints.cache_policy.Approximate.error_tolerance must be finite and > 0.0; got ",
              policy.error_tolerance));
    }
  }
  if (c.memory_budget_bytes.has_value() && c.max_cache_bytes.has_value() &&
      *c.max_cache_bytes > *c.memory_budget_bytes) {
    return invalid_input(
        cat("constraints.max_cache_bytes must be <= "
            "constraints.memory_budget_bytes; got max_cache_bytes=",
            *c.max_cache_bytes, ", memory_budget_bytes=", *c.memory_budget_bytes));
  }
  if (c.candidate_splits.has_value() && !c.candidate_splits->empty()) {
    std::size_t largest = 0;
    for (std::size_t s : *c.candidate_splits) largest = s > largest ? s : largest;
    if (largest == std::numeric_limits<std::size_t>::max()) {
      return invalid_input("constraints.candidate_splits overflow");
    }
    OVREL_TRY(validate_candidate_splits_sorted_unique_in_range(*c.candidate_splits, largest + 1));
  }
  return {};
}

Status validate_candidate_splits_sorted_unique_in_range(std::span<const std::size_t> splits,
                                                        std::size_t n) {
  for (std::size_t i = 0; i < splits.size(); ++i) {
    const std::size_t s = splits[i];
    if (s == 0 || s >= n) {
      return invalid_input(cat("constraints.candidate_splits[", i,
                               "] must satisfy 0 < split < n; got split=", s, ", n=", n));
    }
    if (i >= 1 && s <= splits[i - 1]) {
      return invalid_input(
          cat("constraints.candidate_splits must be strictly increasing and unique: index ", i,
              " has ", s, ", previous ", splits[i - 1]));
    }
  }
  return {};
}

Result<ValidatedConstraints> validate_constraints(const Constraints& c, std::size_t n) {
  if (n == 0) return invalid_input("constraints validation requires n >= 1; got n=0");
  OVREL_TRY(validate_constraints_config(c));
  if (c.candidate_splits.has_value()) {
    OVREL_TRY(validate_candidate_splits_sorted_unique_in_range(*c.candidate_splits, n));
  }

  std::vector<std::size_t> candidates;
  if (c.candidate_splits.has_value()) {
    for (std::size_t s : *c.candidate_splits) {
      if (s % c.jump == 0 && admissible(s, n, c.min_segment_len)) candidates.push_back(s);
    }
  } else if (c.min_segment_len <= n / 2) {
    // The grid jump, 2*jump, ... below n, restricted to [min_segment_len, n - min_segment_len]:
    // only the multiples of jump inside that range survive the length filter, so the walk starts
    // and ends there (and k * jump <= n - min_segment_len cannot overflow).
    const std::size_t lo = c.min_segment_len;
    const std::size_t hi = n - c.min_segment_len;
    const std::size_t first = lo / c.jump + (lo % c.jump != 0 ? 1 : 0);
    const std::size_t last = hi / c.jump;
    if (first <= last) {
      candidates.reserve(last - first + 1);
      for (std::size_t k = first; k <= last; ++k) candidates.push_back(k * c.jump);
    }
  }

  ValidatedConstraints v;
  v.min_segment_len = c.min_segment_len;
  v.jump = c.jump;
  v.max_change_points = c.max_change_points;
  v.max_depth = c.max_depth;
  v.time_budget_ms = c.time_budget_ms;
  v.max_cost_evals = c.max_cost_evals;
  v.memory_budget_bytes = c.memory_budget_bytes;
  v.max_cache_bytes = c.max_cache_bytes;
  v.cache_policy = c.cache_policy;
  v.degradation_plan = c.degradation_plan;
  v.allow_algorithm_fallback = c.allow_algorithm_fallback;
  v.n = n;
  v.effective_candidates = std::move(candidates);
  return v;
}

}  // namespace ovrel::core
