#pragma once

// The limits of an offline run and the candidate split positions derived from them for a series
// length n. `Constraints` is what a caller writes; `ValidatedConstraints` is what a detector uses.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ovrel/core/error.hpp"

namespace ovrel::core {

enum class CachePolicyKind : std::uint8_t { Full, Budgeted, Approximate };

// How a cost model may plan its cache: Full, Budgeted { max_bytes } or
// Approximate { max_bytes, error_tolerance } (which every cost model refuses).
struct CachePolicy {
  CachePolicyKind kind = CachePolicyKind::Full;
  std::size_t max_bytes = 0;     // Budgeted and Approximate
  double error_tolerance = 0.0;  // Approximate

  static constexpr CachePolicy full() noexcept { return {}; }
  static constexpr CachePolicy budgeted(std::size_t max_bytes) noexcept {
    return {CachePolicyKind::Budgeted, max_bytes, 0.0};
  }
  static constexpr CachePolicy approximate(std::size_t max_bytes, double error_tolerance) noexcept {
    return {CachePolicyKind::Approximate, max_bytes, error_tolerance};
  }

  friend bool operator==(const CachePolicy& a, const CachePolicy& b) noexcept {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
      case CachePolicyKind::Full:
        return true;
      case CachePolicyKind::Budgeted:
        return a.max_bytes == b.max_bytes;
      case CachePolicyKind::Approximate:
        return a.max_bytes == b.max_bytes && a.error_tolerance == b.error_tolerance;
    }
    return false;
  }
};

enum class DegradationStepKind : std::uint8_t {
  DisableUncertaintyBands,
  IncreaseJump,
  SwitchCachePolicy,
};

// One step of a degradation plan; carried and copied, never checked or interpreted here.
struct DegradationStep {
  DegradationStepKind kind = DegradationStepKind::DisableUncertaintyBands;
  std::size_t factor = 0;    // IncreaseJump
  std::size_t max_jump = 0;  // IncreaseJump
  CachePolicy cache_policy;  // SwitchCachePolicy

  static constexpr DegradationStep disable_uncertainty_bands() noexcept { return {}; }
  static constexpr DegradationStep increase_jump(std::size_t factor,
                                                 std::size_t max_jump) noexcept {
    return {DegradationStepKind::IncreaseJump, factor, max_jump, {}};
  }
  static constexpr DegradationStep switch_cache_policy(CachePolicy policy) noexcept {
    return {DegradationStepKind::SwitchCachePolicy, 0, 0, policy};
  }

  friend bool operator==(const DegradationStep& a, const DegradationStep& b) noexcept {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
      case DegradationStepKind::DisableUncertaintyBands:
        return true;
      case DegradationStepKind::IncreaseJump:
        return a.factor == b.factor && a.max_jump == b.max_jump;
      case DegradationStepKind::SwitchCachePolicy:
        return a.cache_policy == b.cache_policy;
    }
    return false;
  }
};

// The caller's limits; a default-constructed value is "no constraints given".
struct Constraints {
  std::size_t min_segment_len = 2;
  std::size_t jump = 1;
  std::optional<std::size_t> max_change_points;
  std::optional<std::size_t> max_depth;
  std::optional<std::vector<std::size_t>> candidate_splits;
  std::optional<std::uint64_t> time_budget_ms;
  std::optional<std::uint64_t> max_cost_evals;
  std::optional<std::uint64_t> memory_budget_bytes;
  std::optional<std::uint64_t> max_cache_bytes;
  CachePolicy cache_policy;
  std::vector<DegradationStep> degradation_plan;
  bool allow_algorithm_fallback = false;

  friend bool operator==(const Constraints&, const Constraints&) = default;
};

// The constraints checked against a series length, with the positions where a change may be
// placed: strictly increasing, each s with min_segment_len <= s <= n - min_segment_len and a
// multiple of jump (and one of the explicit splits when those were given). May be empty.
struct ValidatedConstraints {
  std::size_t min_segment_len = 2;
  std::size_t jump = 1;
  std::optional<std::size_t> max_change_points;
  std::optional<std::size_t> max_depth;
  std::optional<std::uint64_t> time_budget_ms;
  std::optional<std::uint64_t> max_cost_evals;
  std::optional<std::uint64_t> memory_budget_bytes;
  std::optional<std::uint64_t> max_cache_bytes;
  CachePolicy cache_policy;
  std::vector<DegradationStep> degradation_plan;
  bool allow_algorithm_fallback = false;
  std::size_t n = 0;
  std::vector<std::size_t> effective_candidates;

  friend bool operator==(const ValidatedConstraints&, const ValidatedConstraints&) = default;
};

// The checks that do not depend on n, in their fixed order.
Status validate_constraints_config(const Constraints& constraints);
// Each split must satisfy 0 < split < n and be above the one before it.
Status validate_candidate_splits_sorted_unique_in_range(std::span<const std::size_t> splits,
                                                        std::size_t n);
// n >= 1, the configuration checks, the explicit splits against n, then the effective candidates.
Result<ValidatedConstraints> validate_constraints(const Constraints& constraints, std::size_t n);

}  // namespace ovrel::core
