#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/table_test.hpp"
#include "ovrel/core/constraints.hpp"
#include "ovrel/core/error.hpp"

namespace ovrel::core {
namespace {

using test_support::kNaN;
using test_support::outcome_is;

// ---------------------------------------------------------------------------------------------
// The checks in their order, with their exact messages, from tests/data/core_constraints.txt.

std::uint64_t number(const std::string& word) {
  if (word == "max") return UINT64_MAX;
  if (word == "max-1") return UINT64_MAX - 1;
  return std::stoull(word);
}

std::vector<std::size_t> numbers(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::size_t> out;
  for (std::string word; in >> word;) out.push_back(number(word));
  return out;
}

// Applies "key=value; key=value" to default constraints.
Constraints edited(const std::string& edits) {
  Constraints c;
  std::istringstream in(edits);
  for (std::string edit; std::getline(in >> std::ws, edit, ';');) {
    const std::size_t eq = edit.find('=');
    const std::string key = edit.substr(0, eq), value = edit.substr(eq + 1);
    std::istringstream words(value);
    std::string kind, bytes, tolerance;
    words >> kind >> bytes >> tolerance;
    if (key == "min_segment_len") c.min_segment_len = number(value);
    if (key == "jump") c.jump = number(value);
    if (key == "max_change_points") c.max_change_points = number(value);
    if (key == "max_depth") c.max_depth = number(value);
    if (key == "time_budget_ms") c.time_budget_ms = number(value);
    if (key == "max_cost_evals") c.max_cost_evals = number(value);
    if (key == "memory_budget_bytes") c.memory_budget_bytes = number(value);
    if (key == "max_cache_bytes") c.max_cache_bytes = number(value);
    if (key == "splits") c.candidate_splits = numbers(value);
    if (key == "fallback") c.allow_algorithm_fallback = value == "1";
    if (key == "cache") {
      c.cache_policy =
          kind == "budgeted"
              ? CachePolicy::budgeted(number(bytes))
              : CachePolicy::approximate(number(bytes), std::strtod(tolerance.c_str(), nullptr));
    }
    if (key == "plan" && value == "zero") {  // limits no check looks at
      c.degradation_plan = {
          DegradationStep::increase_jump(0, 0),
          DegradationStep::switch_cache_policy(CachePolicy::approximate(0, kNaN))};
    }
    if (key == "plan" && value == "steps") {
      c.degradation_plan = {DegradationStep::disable_uncertainty_bands(),
                            DegradationStep::increase_jump(2, 16),
                            DegradationStep::switch_cache_policy(CachePolicy::full())};
    }
  }
  return c;
}

using Row = std::vector<std::string>;

OVREL_ROW_SUITE(ConstraintsTableTest, "core_constraints.txt", 49);

TEST_P(ConstraintsTableTest, FirstFailingCheckDecides) {
  const Row& r = GetParam();
  ASSERT_EQ(r.size(), 4u);
  const Constraints c = edited(r[2]);
  const std::string& want = r[3];
  const auto expect_status = [&](const Status& status) { outcome_is(status, want == "ok", want); };
  if (r[1] == "config") {
    expect_status(validate_constraints_config(c));
    // validate_constraints runs the same checks after its own n test.
    const auto validated = validate_constraints(c, 1000);
    if (want != "ok") expect_status(validated ? Status() : std::unexpected(validated.error()));
  } else if (r[1].starts_with("splits n=")) {
    expect_status(validate_candidate_splits_sorted_unique_in_range(c.candidate_splits.value(),
                                                                   number(r[1].substr(9))));
  } else {
    const std::size_t n = number(r[1].substr(2));
    auto v = validate_constraints(c, n);
    if (!outcome_is(v, want.starts_with("candidates"), want)) return;
    // Every field is copied except the splits, which become the effective candidates.
    EXPECT_EQ(*v, ValidatedConstraints(c.min_segment_len, c.jump, c.max_change_points, c.max_depth,
                                       c.time_budget_ms, c.max_cost_evals, c.memory_budget_bytes,
                                       c.max_cache_bytes, c.cache_policy, c.degradation_plan,
                                       c.allow_algorithm_fallback, n, numbers(want.substr(10))));
  }
}

// Oracle: every position 0 < s < n by the definition, against the grid walk and the explicit
// filter, over many small shapes.
TEST(ConstraintsValidateTest, CandidatesMatchTheDefinitionExhaustively) {
  std::mt19937_64 rng(11);
  for (std::size_t k = 0; k < 2 * 40 * 9 * 12; ++k) {  // n in 1..40, jump 1..9, msl 1..12
    const std::size_t n = 1 + k / 216 % 40, jump = 1 + k / 24 % 9, msl = 1 + k / 2 % 12;
    const bool explicit_splits = k % 2 == 1;
    Constraints c;
    c.jump = jump;
    c.min_segment_len = msl;
    std::vector<std::size_t> splits, expected;
    for (std::size_t s = 1; s < n; ++s) {
      const bool chosen = !explicit_splits || rng() % 2 == 0;
      if (explicit_splits && chosen) splits.push_back(s);
      if (chosen && s % jump == 0 && s >= msl && n - s >= msl) expected.push_back(s);
    }
    if (explicit_splits) c.candidate_splits = splits;
    auto v = validate_constraints(c, n);
    ASSERT_TRUE(v.has_value());
    ASSERT_EQ(v->effective_candidates, expected)
        << "n=" << n << " jump=" << jump << " msl=" << msl << " explicit=" << explicit_splits;
  }
}

}  // namespace
}  // namespace ovrel::core
