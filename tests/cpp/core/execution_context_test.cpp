#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "ovrel/core/execution_context.hpp"

namespace ovrel::core {
namespace {

struct RecordingProgress : ProgressSink {
  std::vector<float> seen;
  void report_progress(float fraction) override { seen.push_back(fraction); }
};

TEST(ExecutionContextTest, ProgressIsClampedAndNonFiniteIgnored) {
  const Constraints constraints;
  ExecutionContext ctx(constraints);
  const float inf = std::numeric_limits<float>::infinity();
  for (float f : {std::nanf(""), inf, -inf, -0.5f, 1.5f, 0.25f}) ctx.report_progress(f);  // no sink
  RecordingProgress sink;
  ctx.progress = &sink;
  for (float f : {std::nanf(""), inf, -inf, -0.5f, 1.5f, 0.25f}) ctx.report_progress(f);
  EXPECT_EQ(sink.seen, (std::vector<float>{0.0f, 1.0f, 0.25f}));
}

TEST(ExecutionContextTest, CancellationIsReadOnSelectedIterations) {
  const Constraints constraints;
  ExecutionContext ctx(constraints);
  EXPECT_TRUE(ctx.check_cancelled().has_value());
  EXPECT_TRUE(ctx.check_cancelled_every(0, 1).has_value());
  CancelToken token;
  const CancelToken holder = token;  // the canceller's copy shares the flag
  ctx.cancel = &token;
  EXPECT_TRUE(ctx.check_cancelled().has_value());
  holder.cancel();
  EXPECT_EQ(ctx.check_cancelled().error(), OvrelError::cancelled());
  EXPECT_EQ(ctx.check_cancelled().error().display(), "cancelled");
  EXPECT_FALSE(ctx.check_cancelled_every(0, 1000).has_value());
  EXPECT_TRUE(ctx.check_cancelled_every(999, 1000).has_value());
  EXPECT_FALSE(ctx.check_cancelled_every(2000, 1000).has_value());
  EXPECT_FALSE(ctx.check_cancelled_every(5, 0).has_value());
}

// Both budgets against their limits (time_budget_ms 100, max_cost_evals 10).
struct BudgetCase {
  const char* name;
  bool time;  // time budget, else cost-evaluation budget
  BudgetMode mode;
  std::uint64_t value;
  bool exceeded;      // the answer when no error
  const char* error;  // ResourceLimit message, or nullptr
};

class BudgetTest : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(BudgetTest, UsedAgainstLimit) {
  const BudgetCase& c = GetParam();
  Constraints constraints;
  constraints.time_budget_ms = 100;
  constraints.max_cost_evals = 10;
  ExecutionContext ctx(constraints, ReproMode::Balanced, c.mode);
  auto r = c.time ? ctx.check_elapsed_ms(c.value) : ctx.check_cost_eval_budget(c.value);
  if (c.error == nullptr) {
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, c.exceeded);
  } else {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), OvrelError::resource_limit(c.error));
  }
}

INSTANTIATE_TEST_SUITE_P(
    ExecutionContext, BudgetTest,
    ::testing::Values(
        BudgetCase{"TimeAtLimitHard", true, BudgetMode::HardFail, 100, false, nullptr},
        BudgetCase{"TimeOverLimitHard", true, BudgetMode::HardFail, 101, false,
                   "constraints.time_budget_ms exceeded: elapsed_ms=101, limit_ms=100, "
                   "budget_mode=HardFail"},
        BudgetCase{"TimeAtLimitSoft", true, BudgetMode::SoftDegrade, 100, false, nullptr},
        BudgetCase{"TimeOverLimitSoft", true, BudgetMode::SoftDegrade, 101, true, nullptr},
        BudgetCase{"CostAtLimitHard", false, BudgetMode::HardFail, 10, false, nullptr},
        BudgetCase{"CostOverLimitHard", false, BudgetMode::HardFail, 11, false,
                   "constraints.max_cost_evals exceeded: used=11, limit=10, budget_mode=HardFail"},
        BudgetCase{"CostAtLimitSoft", false, BudgetMode::SoftDegrade, 10, false, nullptr},
        BudgetCase{"CostOverLimitSoft", false, BudgetMode::SoftDegrade, 11, true, nullptr},
        BudgetCase{"CostMaxHard", false, BudgetMode::HardFail, UINT64_MAX, false,
                   "constraints.max_cost_evals exceeded: used=18446744073709551615, limit=10, "
                   "budget_mode=HardFail"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExecutionContextTest, WithoutBudgetsNothingIsExceeded) {
  const Constraints constraints;
  for (BudgetMode mode : {BudgetMode::HardFail, BudgetMode::SoftDegrade}) {
    ExecutionContext ctx(constraints, ReproMode::Fast, mode);
    EXPECT_EQ(ctx.check_cost_eval_budget(UINT64_MAX), Result<bool>(false));
    EXPECT_EQ(ctx.check_elapsed_ms(UINT64_MAX), Result<bool>(false));
    EXPECT_EQ(ctx.check_time_budget(MonotonicInstant{}), Result<bool>(false));
  }
}

TEST(ExecutionContextTest, TimeBudgetReadsTheMonotonicClock) {
  Constraints constraints;
  constraints.time_budget_ms = 100;
  ExecutionContext hard(constraints);
  const auto now = std::chrono::steady_clock::now();
  EXPECT_EQ(hard.check_time_budget(now), Result<bool>(false));
  auto r = hard.check_time_budget(now - std::chrono::seconds(5));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::ResourceLimit);
  const std::string& m = r.error().message();
  EXPECT_EQ(m.rfind("constraints.time_budget_ms exceeded: elapsed_ms=", 0), 0u);
  EXPECT_TRUE(m.ends_with(", limit_ms=100, budget_mode=HardFail"));
  ExecutionContext soft(constraints, ReproMode::Balanced, BudgetMode::SoftDegrade);
  EXPECT_EQ(soft.check_time_budget(now - std::chrono::seconds(5)), Result<bool>(true));
}

}  // namespace
}  // namespace ovrel::core
