#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/table_test.hpp"
#include "ovrel/core/detectors.hpp"
#include "ovrel/core/text.hpp"

namespace ovrel::core {
namespace {

// A univariate stand-in for the streaming detectors: it refuses non-finite values as they do and
// remembers every applied observation with its time stamp. It does not look at cancellation
// itself, so the batch's own checks are what the tests see.
struct FakeDetector {
  using State = std::vector<std::pair<double, std::optional<std::int64_t>>>;
  State state;

  Result<OnlineStepResult> update(std::span<const double> x, std::optional<std::int64_t> t_ns,
                                  const ExecutionContext&) {
    if (!std::isfinite(x[0])) return invalid_input("FAKE observation must be finite for update");
    state.emplace_back(x[0], t_ns);
    OnlineStepResult r;
    r.t = state.size() - 1;
    r.run_length_mean = x[0];
    return r;
  }
  void reset() { state.clear(); }
  State save_state() const { return state; }
  void load_state(const State& s) { state = s; }
};

static_assert(OnlineDetector<FakeDetector>);

TimeSeriesView view_f64(std::span<const double> values, TimeIndex time = TimeIndex::none(),
                        MemoryLayout layout = MemoryLayout::c_contiguous(),
                        std::optional<std::span<const std::uint8_t>> mask = std::nullopt) {
  return TimeSeriesView::from_f64(values, values.size(), 1, layout, mask, time,
                                  mask ? MissingPolicy::Ignore : MissingPolicy::Error)
      .value();
}

// A fresh detector and context over four steps; the tests refuse or cut the batch part way.
class UpdateManyTest : public ::testing::Test {
 protected:
  const std::vector<double> v{1, 2, 3, 4};
  const Constraints constraints;
  ExecutionContext ctx{constraints};
  FakeDetector det;
};

// The batch is the detector's own updates, one per step, with the step's time stamp.
TEST_F(UpdateManyTest, BatchEqualsSingleUpdates) {
  const std::vector<std::int64_t> times{30, 10, 20, 5};
  using Stamps = std::vector<std::optional<std::int64_t>>;
  const std::pair<TimeIndex, Stamps> cases[] = {
      {TimeIndex::none(), Stamps(4)},
      {TimeIndex::uniform(10, 5), {10, 15, 20, 25}},
      {TimeIndex::explicit_times(times), {30, 10, 20, 5}}};
  for (const auto& [time, stamps] : cases) {
    FakeDetector batch, single;
    auto records = update_many(batch, view_f64(v, time), ctx);
    ASSERT_TRUE(records.has_value()) << records.error().display();
    ASSERT_EQ(records->size(), v.size());
    for (std::size_t t = 0; t < v.size(); ++t)
      EXPECT_EQ(single.update(std::span(&v[t], 1), stamps[t], ctx).value(), (*records)[t]);
    EXPECT_EQ(batch.state, single.state);
  }
}

TEST_F(UpdateManyTest, PresetCancellationEndsBeforeStepZero) {
  CancelToken token;
  token.cancel();
  ctx.cancel = &token;
  EXPECT_EQ(update_many(det, view_f64(v), ctx).error(), OvrelError::cancelled());
  EXPECT_TRUE(det.state.empty());
}

TEST_F(UpdateManyTest, AnInterruptStopsBeforeTheStepItWasAskedAt) {
  test_support::ScriptedHook hook;
  hook.stop_at = 3;
  InterruptPoll poll(hook, {std::chrono::nanoseconds(0), std::chrono::nanoseconds(0)});
  ctx.interrupt = &poll;
  std::vector<OnlineStepResult> kept;
  auto keep = [&kept](OnlineStepResult&& r) { kept.push_back(std::move(r)); };
  EXPECT_EQ(update_each(det, view_f64(v), ctx, keep).error(), OvrelError::cancelled());
  EXPECT_EQ(det.state, (FakeDetector::State{{1, std::nullopt}, {2, std::nullopt}}));
  EXPECT_EQ(kept.size(), 2u);
}

// A failed step ends the batch with its error and no records; the steps before it stay applied,
// and update_each has handed on exactly their records.
TEST_F(UpdateManyTest, AFailedStepKeepsTheStepsBefore) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const std::vector<std::uint8_t> mask{0, 1, 0, 0};
  const struct {
    TimeSeriesView view;
    std::string message;
    FakeDetector::State applied;
  } cases[] = {
      {view_f64(v, TimeIndex::uniform(max - 2, 1)),
       cat("uniform timestamp overflow: t0_ns=", max - 2, ", delta=3"),
       {{1, max - 2}, {2, max - 1}, {3, max}}},
      {view_f64(v, TimeIndex::none(), MemoryLayout::strided(2, 1)),
       "strided index out of bounds at t=2, j=0: idx=4, len=4",
       {{1, std::nullopt}, {3, std::nullopt}}},
      // A value the mask declares missing must not reach the detector as a real observation.
      {view_f64(v, TimeIndex::none(), MemoryLayout::c_contiguous(), mask),
       "FAKE observation must be finite for update",
       {{1, std::nullopt}}}};
  for (const auto& c : cases) {
    FakeDetector fresh, each;
    EXPECT_EQ(update_many(fresh, c.view, ctx).error(), OvrelError::invalid_input(c.message));
    EXPECT_EQ(fresh.state, c.applied);
    std::vector<double> seen;
    auto keep = [&seen](OnlineStepResult&& r) { seen.push_back(r.run_length_mean); };
    EXPECT_EQ(update_each(each, c.view, ctx, keep).error(), OvrelError::invalid_input(c.message));
    ASSERT_EQ(seen.size(), c.applied.size());
    for (std::size_t t = 0; t < seen.size(); ++t) EXPECT_EQ(seen[t], c.applied[t].first);
  }
}

OVREL_ROW_SUITE(UniformTimestampTest, "core_uniform_timestamps.txt", 7);

TEST_P(UniformTimestampTest, CheckedArithmetic) {
  const auto& r = GetParam();
  ASSERT_EQ(r.size(), 5u);
  auto stamp = uniform_timestamp(std::stoull(r[1]), std::stoll(r[2]), std::stoll(r[3]));
  EXPECT_EQ(stamp ? std::to_string(*stamp) : stamp.error().message(), r[4]);
  EXPECT_TRUE(stamp || stamp.error().kind() == ErrorKind::InvalidInput);
}

}  // namespace
}  // namespace ovrel::core
