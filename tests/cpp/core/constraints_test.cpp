#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/error.hpp"

namespace ovrel::core {
namespace {

constexpr std::size_t kSizeMax = std::numeric_limits<std::size_t>::max();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using Edit = std::function<void(Constraints&)>;

// ---------------------------------------------------------------------------------------------
// Configuration checks (independent of n), in their order.

struct ConfigCase {
  const char* name;
  Edit edit;
  std::string error;  // empty: passes
};

class ConfigTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigTest, FirstFailingRuleIsReported) {
  Constraints c;
  GetParam().edit(c);
  const Status status = validate_constraints_config(c);
  if (GetParam().error.empty()) {
    EXPECT_TRUE(status.has_value()) << status.error().display();
    return;
  }
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error(), OvrelError::invalid_input(GetParam().error));
  // validate_constraints runs the same checks after its own n test.
  auto validated = validate_constraints(c, 1000);
  ASSERT_FALSE(validated.has_value());
  EXPECT_EQ(validated.error(), status.error());
}

const std::string kTolerance =
    "constraints.cache_policy.Approximate.error_tolerance must be finite and > 0.0; got ";

INSTANTIATE_TEST_SUITE_P(
    Rules, ConfigTest,
    ::testing::Values(
        ConfigCase{"Defaults", [](Constraints&) {}, ""},
        ConfigCase{"MinSegmentLenZero",
                   [](Constraints& c) {
                     c.min_segment_len = 0;
                     c.jump = 0;
                   },
                   "constraints.min_segment_len must be >= 1; got 0"},
        ConfigCase{"JumpZero",
                   [](Constraints& c) {
                     c.jump = 0;
                     c.time_budget_ms = 0;
                   },
                   "constraints.jump must be >= 1; got 0"},
        ConfigCase{"TimeBudgetBeforeCachePolicy",
                   [](Constraints& c) {
                     c.time_budget_ms = 0;
                     c.cache_policy = CachePolicy::budgeted(0);
                   },
                   "constraints.time_budget_ms must be > 0 when provided; got 0"},
        ConfigCase{"MaxCostEvalsZero",
                   [](Constraints& c) {
                     c.max_cost_evals = 0;
                     c.memory_budget_bytes = 0;
                   },
                   "constraints.max_cost_evals must be > 0 when provided; got 0"},
        ConfigCase{"MemoryBudgetZero",
                   [](Constraints& c) {
                     c.memory_budget_bytes = 0;
                     c.max_cache_bytes = 0;
                   },
                   "constraints.memory_budget_bytes must be > 0 when provided; got 0"},
        ConfigCase{"MaxCacheBytesZero", [](Constraints& c) { c.max_cache_bytes = 0; },
                   "constraints.max_cache_bytes must be > 0 when provided; got 0"},
        ConfigCase{"BudgetedZero",
                   [](Constraints& c) {
                     c.cache_policy = CachePolicy::budgeted(0);
                     c.candidate_splits = std::vector<std::size_t>{0};
                   },
                   "constraints.cache_policy.Budgeted.max_bytes must be > 0; got 0"},
        ConfigCase{"ApproximateZeroBytesBeforeTolerance",
                   [](Constraints& c) { c.cache_policy = CachePolicy::approximate(0, kNaN); },
                   "constraints.cache_policy.Approximate.max_bytes must be > 0; got 0"},
        ConfigCase{"ToleranceZero",
                   [](Constraints& c) { c.cache_policy = CachePolicy::approximate(8, 0.0); },
                   kTolerance + "0"},
        ConfigCase{"ToleranceNegativeZero",
                   [](Constraints& c) { c.cache_policy = CachePolicy::approximate(8, -0.0); },
                   kTolerance + "-0"},
        ConfigCase{"ToleranceNegative",
                   [](Constraints& c) { c.cache_policy = CachePolicy::approximate(8, -0.5); },
                   kTolerance + "-0.5"},
        ConfigCase{"ToleranceNaN",
                   [](Constraints& c) { c.cache_policy = CachePolicy::approximate(8, kNaN); },
                   kTolerance + "NaN"},
        ConfigCase{"ToleranceInf",
                   [](Constraints& c) { c.cache_policy = CachePolicy::approximate(8, kInf); },
                   kTolerance + "inf"},
        ConfigCase{"ToleranceMinusInf",
                   [](Constraints& c) { c.cache_policy = CachePolicy::approximate(8, -kInf); },
                   kTolerance + "-inf"},
        ConfigCase{"ToleranceTiny",
                   [](Constraints& c) { c.cache_policy = CachePolicy::approximate(8, 1e-7); }, ""},
        ConfigCase{"CacheAboveMemory",
                   [](Constraints& c) {
                     c.memory_budget_bytes = 100;
                     c.max_cache_bytes = 101;
                     c.candidate_splits = std::vector<std::size_t>{5, 3};
                   },
                   "constraints.max_cache_bytes must be <= constraints.memory_budget_bytes; got "
                   "max_cache_bytes=101, memory_budget_bytes=100"},
        ConfigCase{"CacheEqualMemory",
                   [](Constraints& c) {
                     c.memory_budget_bytes = 100;
                     c.max_cache_bytes = 100;
                   },
                   ""},
        ConfigCase{
            "CacheWithoutMemory",
            [](Constraints& c) { c.max_cache_bytes = std::numeric_limits<std::uint64_t>::max(); },
            ""},
        ConfigCase{"ZeroSplitNamesLargestPlusOne",
                   [](Constraints& c) {
                     c.candidate_splits = std::vector<std::size_t>{0, 5};
                   },
                   "constraints.candidate_splits[0] must satisfy 0 < split < n; got split=0, n=6"},
        ConfigCase{"SplitsDescending",
                   [](Constraints& c) {
                     c.candidate_splits = std::vector<std::size_t>{5, 3};
                   },
                   "constraints.candidate_splits must be strictly increasing and unique: index 1 "
                   "has 3, previous 5"},
        ConfigCase{"SplitsRepeated",
                   [](Constraints& c) {
                     c.candidate_splits = std::vector<std::size_t>{4, 4};
                   },
                   "constraints.candidate_splits must be strictly increasing and unique: index 1 "
                   "has 4, previous 4"},
        ConfigCase{"SplitAtUsizeMaxBeforeOrder",
                   [](Constraints& c) {
                     c.candidate_splits = std::vector<std::size_t>{7, 3, kSizeMax, 0};
                   },
                   "constraints.candidate_splits overflow"},
        ConfigCase{"SplitsLargeButOrdered",
                   [](Constraints& c) {
                     c.candidate_splits = std::vector<std::size_t>{3, kSizeMax - 1};
                   },
                   ""},
        ConfigCase{"EmptySplits",
                   [](Constraints& c) { c.candidate_splits = std::vector<std::size_t>{}; }, ""},
        ConfigCase{"UncheckedLimitsZero",
                   [](Constraints& c) {
                     c.max_change_points = 0;
                     c.max_depth = 0;
                     c.degradation_plan = {
                         DegradationStep::increase_jump(0, 0),
                         DegradationStep::switch_cache_policy(CachePolicy::approximate(0, kNaN))};
                     c.allow_algorithm_fallback = true;
                   },
                   ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Splits against a bound: range before order, element by element.

struct SplitsCase {
  const char* name;
  std::vector<std::size_t> splits;
  std::size_t n;
  std::string error;
};

class SplitsRangeTest : public ::testing::TestWithParam<SplitsCase> {};

TEST_P(SplitsRangeTest, RangeThenOrder) {
  const Status status =
      validate_candidate_splits_sorted_unique_in_range(GetParam().splits, GetParam().n);
  if (GetParam().error.empty()) {
    EXPECT_TRUE(status.has_value()) << status.error().display();
  } else {
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error(), OvrelError::invalid_input(GetParam().error));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, SplitsRangeTest,
    ::testing::Values(
        SplitsCase{"Empty", {}, 0, ""}, SplitsCase{"Inside", {1, 2, 9}, 10, ""},
        SplitsCase{"AtBound",
                   {1, 10},
                   10,
                   "constraints.candidate_splits[1] must satisfy 0 < split < n; got split=10, "
                   "n=10"},
        SplitsCase{"RangeBeforeOrder",
                   {5, 12},
                   10,
                   "constraints.candidate_splits[1] must satisfy 0 < split < n; got split=12, "
                   "n=10"},
        SplitsCase{"OrderOfEarlierElementFirst",
                   {5, 3, 20},
                   10,
                   "constraints.candidate_splits must be strictly increasing and unique: index 1 "
                   "has 3, previous 5"},
        SplitsCase{"ZeroAfterOthers",
                   {2, 0},
                   10,
                   "constraints.candidate_splits[1] must satisfy 0 < split < n; got split=0, "
                   "n=10"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// validate_constraints: n, splits against n, effective candidates.

struct ValidateCase {
  const char* name;
  Edit edit;
  std::size_t n;
  std::vector<std::size_t> candidates;
  std::string error;
};

class ConstraintsValidateTest : public ::testing::TestWithParam<ValidateCase> {};

TEST_P(ConstraintsValidateTest, CandidatesOrError) {
  Constraints c;
  GetParam().edit(c);
  auto v = validate_constraints(c, GetParam().n);
  if (!GetParam().error.empty()) {
    ASSERT_FALSE(v.has_value());
    EXPECT_EQ(v.error(), OvrelError::invalid_input(GetParam().error));
    return;
  }
  ASSERT_TRUE(v.has_value()) << v.error().display();
  EXPECT_EQ(v->effective_candidates, GetParam().candidates);
  EXPECT_EQ(v->n, GetParam().n);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConstraintsValidateTest,
    ::testing::Values(
        ValidateCase{"NZeroBeforeEverything",
                     [](Constraints& c) { c.min_segment_len = 0; },
                     0,
                     {},
                     "constraints validation requires n >= 1; got n=0"},
        ValidateCase{"DefaultsN1", [](Constraints&) {}, 1, {}, ""},
        ValidateCase{"DefaultsN2", [](Constraints&) {}, 2, {}, ""},
        ValidateCase{"DefaultsN3", [](Constraints&) {}, 3, {}, ""},
        ValidateCase{"DefaultsN4", [](Constraints&) {}, 4, {2}, ""},
        ValidateCase{"DefaultsN5", [](Constraints&) {}, 5, {2, 3}, ""},
        ValidateCase{"GridJump3", [](Constraints& c) { c.jump = 3; }, 10, {3, 6}, ""},
        ValidateCase{"ExplicitFilteredByJump",
                     [](Constraints& c) {
                       c.jump = 3;
                       c.candidate_splits = std::vector<std::size_t>{2, 3, 6, 8};
                     },
                     10,
                     {3, 6},
                     ""},
        ValidateCase{"ExplicitFilteredByLength",
                     [](Constraints& c) {
                       c.candidate_splits = std::vector<std::size_t>{1, 4, 9};
                     },
                     10,
                     {4},
                     ""},
        ValidateCase{"ExplicitJump4",
                     [](Constraints& c) {
                       c.jump = 4;
                       c.candidate_splits = std::vector<std::size_t>{3, 4, 8};
                     },
                     12,
                     {4, 8},
                     ""},
        ValidateCase{"EmptyExplicitIgnoresGrid",
                     [](Constraints& c) { c.candidate_splits = std::vector<std::size_t>{}; },
                     10,
                     {},
                     ""},
        ValidateCase{"ExplicitBeyondN",
                     [](Constraints& c) {
                       c.candidate_splits = std::vector<std::size_t>{3, 12};
                     },
                     10,
                     {},
                     "constraints.candidate_splits[1] must satisfy 0 < split < n; got split=12, "
                     "n=10"},
        ValidateCase{"ExplicitEqualN",
                     [](Constraints& c) {
                       c.candidate_splits = std::vector<std::size_t>{3, 10};
                     },
                     10,
                     {},
                     "constraints.candidate_splits[1] must satisfy 0 < split < n; got split=10, "
                     "n=10"},
        ValidateCase{
            "MinSegmentLenOne", [](Constraints& c) { c.min_segment_len = 1; }, 4, {1, 2, 3}, ""},
        ValidateCase{"JumpAboveN", [](Constraints& c) { c.jump = 50; }, 10, {}, ""},
        ValidateCase{
            "HugeMinSegmentLen", [](Constraints& c) { c.min_segment_len = kSizeMax; }, 10, {}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConstraintsValidateTest, CopiesEveryFieldExceptTheSplits) {
  Constraints c;
  c.min_segment_len = 3;
  c.jump = 2;
  c.max_change_points = 0;
  c.max_depth = 7;
  c.candidate_splits = std::vector<std::size_t>{4, 6};
  c.time_budget_ms = 5;
  c.max_cost_evals = 6;
  c.memory_budget_bytes = 1000;
  c.max_cache_bytes = 999;
  c.cache_policy = CachePolicy::budgeted(64);
  c.degradation_plan = {DegradationStep::disable_uncertainty_bands(),
                        DegradationStep::increase_jump(2, 16),
                        DegradationStep::switch_cache_policy(CachePolicy::full())};
  c.allow_algorithm_fallback = true;
  const Constraints before = c;
  auto v = validate_constraints(c, 12);
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(c, before);
  EXPECT_EQ(v->min_segment_len, 3u);
  EXPECT_EQ(v->jump, 2u);
  EXPECT_EQ(v->max_change_points, std::optional<std::size_t>(0));
  EXPECT_EQ(v->max_depth, std::optional<std::size_t>(7));
  EXPECT_EQ(v->time_budget_ms, std::optional<std::uint64_t>(5));
  EXPECT_EQ(v->max_cost_evals, std::optional<std::uint64_t>(6));
  EXPECT_EQ(v->memory_budget_bytes, std::optional<std::uint64_t>(1000));
  EXPECT_EQ(v->max_cache_bytes, std::optional<std::uint64_t>(999));
  EXPECT_EQ(v->cache_policy, CachePolicy::budgeted(64));
  EXPECT_EQ(v->degradation_plan, c.degradation_plan);
  EXPECT_TRUE(v->allow_algorithm_fallback);
  EXPECT_EQ(v->n, 12u);
  EXPECT_EQ(v->effective_candidates, (std::vector<std::size_t>{4, 6}));
}

// Oracle: every position 0 < s < n by the definition, against the grid walk and the explicit
// filter, over many small shapes.
TEST(ConstraintsValidateTest, CandidatesMatchTheDefinitionExhaustively) {
  std::mt19937_64 rng(11);
  for (std::size_t n = 1; n <= 40; ++n) {
    for (std::size_t jump = 1; jump <= 9; ++jump) {
      for (std::size_t msl = 1; msl <= 12; ++msl) {
        for (bool explicit_splits : {false, true}) {
          Constraints c;
          c.jump = jump;
          c.min_segment_len = msl;
          std::vector<bool> chosen(n, !explicit_splits);
          if (explicit_splits) {
            std::vector<std::size_t> splits;
            for (std::size_t s = 1; s < n; ++s) {
              if (rng() % 2 == 0) {
                splits.push_back(s);
                chosen[s] = true;
              }
            }
            c.candidate_splits = splits;
          }
          std::vector<std::size_t> expected;
          for (std::size_t s = 1; s < n; ++s) {
            if (chosen[s] && s % jump == 0 && s >= msl && n - s >= msl) expected.push_back(s);
          }
          auto v = validate_constraints(c, n);
          ASSERT_TRUE(v.has_value());
          ASSERT_EQ(v->effective_candidates, expected)
              << "n=" << n << " jump=" << jump << " msl=" << msl << " explicit=" << explicit_splits;
        }
      }
    }
  }
}

TEST(CachePolicyTest, EqualityByVariant) {
  EXPECT_EQ(CachePolicy::full(), CachePolicy{});
  EXPECT_EQ(CachePolicy::budgeted(5), CachePolicy::budgeted(5));
  EXPECT_NE(CachePolicy::budgeted(5), CachePolicy::approximate(5, 1.0));
  EXPECT_NE(CachePolicy::approximate(5, 1.0), CachePolicy::approximate(5, 2.0));
  EXPECT_EQ(DegradationStep::increase_jump(2, 8), DegradationStep::increase_jump(2, 8));
  EXPECT_NE(DegradationStep::increase_jump(2, 8), DegradationStep::increase_jump(2, 9));
}

}  // namespace
}  // namespace ovrel::core
