#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "core/table_test.hpp"
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
  EXPECT_FALSE(ctx.check_cancelled_every(0, 1000).has_value());
  EXPECT_TRUE(ctx.check_cancelled_every(999, 1000).has_value());
  EXPECT_FALSE(ctx.check_cancelled_every(2000, 1000).has_value());
  EXPECT_FALSE(ctx.check_cancelled_every(5, 0).has_value());
}

OVREL_ROW_SUITE(BudgetTest, "core_budgets.txt", 13);

TEST_P(BudgetTest, UsedAgainstLimit) {
  const auto& r = GetParam();
  ASSERT_EQ(r.size(), 6u);
  Constraints constraints;
  if (r[2] != "none")
    (r[1] == "time" ? constraints.time_budget_ms : constraints.max_cost_evals) = std::stoull(r[2]);
  const BudgetMode mode = r[3] == "HardFail" ? BudgetMode::HardFail : BudgetMode::SoftDegrade;
  ExecutionContext ctx(constraints, ReproMode::Balanced, mode);
  const std::uint64_t used = std::stoull(r[4]);
  auto result = r[1] == "time" ? ctx.check_elapsed_ms(used) : ctx.check_cost_eval_budget(used);
  EXPECT_EQ(result, r[5] == "within" || r[5] == "exceeded"
                        ? Result<bool>(r[5] == "exceeded")
                        : Result<bool>(std::unexpected(OvrelError::resource_limit(r[5]))));
}

TEST(ExecutionContextTest, TimeBudgetReadsTheMonotonicClock) {
  Constraints constraints;
  constraints.time_budget_ms = 100;
  ExecutionContext hard(constraints);
  const auto now = std::chrono::steady_clock::now();
  EXPECT_EQ(hard.check_time_budget(now), Result<bool>(false));
  // The message is the budget table's; here only that the elapsed time is read.
  EXPECT_EQ(hard.check_time_budget(now - std::chrono::seconds(5)).error().kind(),
            ErrorKind::ResourceLimit);
  EXPECT_EQ(ExecutionContext(Constraints{}).check_time_budget(MonotonicInstant{}),
            Result<bool>(false));
}

TEST(InterruptPollTest, CheapWorkDoublesTheStrideAndAsksOnlyWhenTheIntervalPassed) {
  test_support::ScriptedHook hook;
  InterruptPoll poll(hook, {std::chrono::hours(1), std::chrono::hours(1)});
  const Constraints constraints;
  ExecutionContext ctx(constraints);
  ctx.interrupt = &poll;
  std::vector<std::uint64_t> strides;
  std::uint64_t work = 0;
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(ctx.poll_interrupt(work).has_value());
    strides.push_back(poll.due_at() - work);
    ASSERT_TRUE(ctx.poll_interrupt(poll.due_at() - 1).has_value());  // not yet due: unchanged
    work = poll.due_at();
  }
  EXPECT_EQ(strides, (std::vector<std::uint64_t>{2, 4, 8, 16, 32, 64}));
  EXPECT_EQ(hook.asked, 0u);
  EXPECT_EQ(poll.asks(), 0u);
}

TEST(InterruptPollTest, SlowWorkShrinksTheStrideAtOnce) {
  test_support::ScriptedHook hook;
  InterruptPoll poll(hook, {std::chrono::milliseconds(1), std::chrono::hours(1)});
  std::uint64_t work = 0;
  while (poll.due_at() - work < 1024) {
    work = poll.due_at();
    ASSERT_TRUE(poll.poll(work).has_value());
  }
  const std::uint64_t before = poll.due_at() - work;
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  work = poll.due_at();
  ASSERT_TRUE(poll.poll(work).has_value());
  // The stretch took at least 40 read intervals: the stride falls to a fortieth or less.
  EXPECT_LE(poll.due_at() - work, before / 40 + 1);
}

TEST(InterruptPollTest, AStopEndsEveryLaterPollWithoutAskingAgain) {
  test_support::ScriptedHook hook;
  hook.stop_at = 3;
  InterruptPoll poll(hook, {std::chrono::nanoseconds(0), std::chrono::nanoseconds(0)});
  EXPECT_TRUE(poll.poll(0).has_value());
  EXPECT_EQ(poll.due_at(), 1u);  // no time to spread the work over: one unit per read
  EXPECT_TRUE(poll.poll(1).has_value());
  EXPECT_EQ(poll.poll(2).error(), OvrelError::cancelled());
  EXPECT_EQ(poll.due_at(), 0u);
  EXPECT_EQ(poll.poll(3).error(), OvrelError::cancelled());
  EXPECT_EQ(hook.asked, 3u);
  EXPECT_EQ(poll.asks(), 3u);
}

}  // namespace
}  // namespace ovrel::core
