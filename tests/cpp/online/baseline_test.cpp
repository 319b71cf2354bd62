#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "online_test_support.hpp"

namespace ovrel::online {
namespace {

using testing::fails_with;
using testing::step;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();
constexpr auto kBad = ErrorKind::InvalidInput;

TEST(Cusum, WorkedExample) {
  auto d = CusumDetector::create({}).value();
  struct Row {
    double x, score, p;
    bool alert;
    std::uint64_t since;
  };
  const Row rows[] = {{3, 3, 0.375, false, 1}, {3, 6, 0.75, false, 2}, {3, 9, 1, true, 0},
                      {-20, 0, 0, false, 1},   {-5, 0, 0, false, 2},   {9, 9, 1, true, 0}};
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const auto r = step(d, rows[i].x).value();
    EXPECT_EQ(d.state().score, rows[i].score);
    EXPECT_EQ(r.p_change, rows[i].p);
    EXPECT_EQ(r.alert, rows[i].alert);
    EXPECT_EQ(r.run_length_mode, rows[i].since);
    EXPECT_EQ(r.run_length_mean, double(rows[i].since));
    EXPECT_EQ(r.t, i);
  }
  // The reason of the third step.
  auto again = CusumDetector::create({}).value();
  step(again, 3.0).value();
  step(again, 3.0).value();
  EXPECT_EQ(step(again, 3.0)->alert_reason, "cusum p_change 1.000000 >= threshold 1.000000");
}

TEST(Cusum, DriftAndTargetEnterInOrder) {
  CusumConfig c;
  c.drift = 0.5;
  c.target_mean = 2.0;
  c.threshold = 4.0;
  auto d = CusumDetector::create(c).value();
  EXPECT_EQ(step(d, 4.0)->p_change, 0.375);  // (4 - 2) - 0.5 = 1.5
  EXPECT_EQ(step(d, 1.0)->p_change, 0.0);    // 1.5 + (-1 - 0.5) = 0
}

TEST(PageHinkley, ConstantStreamFallsByDelta) {
  PageHinkleyConfig c;
  c.delta = 0.25;
  c.initial_mean = 100.0;
  auto d = PageHinkleyDetector::create(c).value();
  for (int i = 1; i <= 4; ++i) {
    const auto r = step(d, 2.0).value();
    EXPECT_EQ(d.state().running_mean, 2.0);
    EXPECT_EQ(d.state().cumulative_sum, -0.25 * i);
    EXPECT_EQ(d.state().cumulative_min, -0.25 * i);
    EXPECT_EQ(r.p_change, 0.0);
  }
}

TEST(PageHinkley, ScoreOfALevelShift) {
  PageHinkleyConfig c;
  c.delta = 0.0;
  c.threshold = 2.0;
  auto d = PageHinkleyDetector::create(c).value();
  // mean 0, 0, then 2/3 and 1.5: sums 0, 0, 4/3, 4/3 + 4.5.
  step(d, 0.0).value();
  step(d, 0.0).value();
  EXPECT_NEAR(step(d, 2.0)->p_change, (2.0 - 2.0 / 3) / 2.0, 1e-15);
  const auto r = step(d, 4.0).value();
  EXPECT_EQ(r.p_change, 1.0);
  EXPECT_TRUE(r.alert);
  EXPECT_EQ(r.alert_reason, "page_hinkley p_change 1.000000 >= threshold 1.000000");
}

// Everything wrong at first; each check is mended in turn to reach the next.
TEST(Baseline, ConfigurationChecksInOrder) {
  CusumConfig c{
      -1, 0, kNaN, {2, 0, 0, 0}, LateDataPolicy::reorder_by_timestamp(0, 1, OverflowPolicy::Error)};
  const auto cusum = [&](const char* m) {
    EXPECT_TRUE(fails_with(CusumDetector::create(c), kBad, m));
  };
  cusum("CUSUM drift must be finite and >= 0; got -1");
  c.drift = 0;
  cusum("CUSUM threshold must be finite and > 0; got 0");
  c.threshold = 1;
  cusum("CUSUM target_mean must be finite; got NaN");
  c.target_mean = 0;
  cusum("alert policy threshold must be finite and in [0,1]; got 2");
  c.alert_policy.threshold = 1;
  cusum("ReorderByTimestamp.max_delay_ns must be > 0; got 0");
  PageHinkleyConfig p{kInf, -1, -kInf, {}, {}};
  const auto ph = [&](const char* m) {
    EXPECT_TRUE(fails_with(PageHinkleyDetector::create(p), kBad, m));
  };
  ph("Page-Hinkley delta must be finite and >= 0; got inf");
  p.delta = 0;
  ph("Page-Hinkley threshold must be finite and > 0; got -1");
  p.threshold = 1;
  ph("Page-Hinkley initial_mean must be finite; got -inf");
}

TEST(Baseline, StateChecksInOrder) {
  CusumState c = CusumState::initial({});
  c.score = -1.0;
  c.steps_since_alert = 1;
  EXPECT_TRUE(fails_with(c.validate(), kBad, "CUSUM state.score must be finite and >= 0; got -1"));
  c.score = 0.5;
  EXPECT_TRUE(fails_with(c.validate(), kBad, "CUSUM state.steps_since_alert=1 cannot exceed t=0"));
  c.steps_since_alert = 0;
  c.alert_gate.last_alert_t = 0;
  c.pending_events = {{kNaN, 1, 0}};
  EXPECT_TRUE(fails_with(c.validate(), kBad, "alert gate last_alert_t=0 must be < t=0"));
  c.alert_gate.last_alert_t.reset();
  EXPECT_TRUE(fails_with(c.validate(), kBad, "CUSUM pending_events requires watermark_ns"));
  c.watermark_ns = 5;
  EXPECT_TRUE(
      fails_with(c.validate(), kBad, "CUSUM pending event contains non-finite observation"));

  PageHinkleyState p = PageHinkleyState::initial({});
  p.n = 1;
  p.running_mean = kNaN;
  EXPECT_TRUE(fails_with(p.validate(), kBad,
                         "Page-Hinkley state.n=1 must equal t=0 for incremental updates"));
  p.n = 0;
  EXPECT_TRUE(fails_with(p.validate(), kBad, "Page-Hinkley state.running_mean must be finite"));
  p.running_mean = 0;
  p.cumulative_sum = kInf;
  EXPECT_TRUE(fails_with(p.validate(), kBad, "Page-Hinkley state.cumulative_sum must be finite"));
  p.cumulative_sum = -1;
  p.cumulative_min = kNaN;
  EXPECT_TRUE(fails_with(p.validate(), kBad, "Page-Hinkley state.cumulative_min must be finite"));
  p.cumulative_min = 0.5;
  EXPECT_TRUE(fails_with(p.validate(), kBad,
                         "Page-Hinkley state.cumulative_min=0.5 cannot exceed cumulative_sum=-1"));
  p.cumulative_min = -1;
  p.steps_since_alert = 3;
  EXPECT_TRUE(
      fails_with(p.validate(), kBad, "Page-Hinkley state.steps_since_alert=3 cannot exceed t=0"));
  p.steps_since_alert = 0;
  p.pending_events = {{kInf, 1, 0}};
  EXPECT_TRUE(fails_with(p.validate(), kBad, "Page-Hinkley pending_events requires watermark_ns"));
  p.watermark_ns = 0;
  EXPECT_TRUE(
      fails_with(p.validate(), kBad, "Page-Hinkley pending event contains non-finite observation"));
}

// Each fault alone, in states that are otherwise sound.
TEST(Baseline, StateFaultsAloneAreFound) {
  for (double score : {-1.0, kNaN, kInf}) {
    CusumState c = CusumState::initial({});
    c.score = score;
    EXPECT_FALSE(c.validate()) << score;
  }
  const auto ph = [](auto mutate) {
    PageHinkleyState p = PageHinkleyState::initial({});
    p.t = p.n = p.steps_since_alert = 2;
    p.cumulative_sum = 1.0;
    mutate(p);
    return p.validate().has_value();
  };
  EXPECT_TRUE(ph([](auto&) {}));
  EXPECT_FALSE(ph([](auto& p) { p.n = 3; }));
  EXPECT_FALSE(ph([](auto& p) { p.running_mean = -kInf; }));
  EXPECT_FALSE(ph([](auto& p) { p.cumulative_sum = kInf; }));
  EXPECT_FALSE(ph([](auto& p) { p.cumulative_min = kNaN; }));
  EXPECT_FALSE(ph([](auto& p) { p.cumulative_min = 1.5; }));
  EXPECT_FALSE(ph([](auto& p) { p.steps_since_alert = 3; }));
  EXPECT_FALSE(ph([](auto& p) { p.alert_gate.policy.hysteresis = kNaN; }));
  EXPECT_FALSE(ph([](auto& p) { p.alert_gate.last_alert_t = 2; }));
}

TEST(Baseline, NonFiniteStatisticsLeaveTheStateAlone) {
  auto c = CusumDetector::create({}).value();
  ASSERT_TRUE(step(c, kMax));
  const CusumState cs = c.save_state();
  EXPECT_TRUE(fails_with(step(c, kMax), ErrorKind::NumericalIssue,
                         "CUSUM score became non-finite during update"));
  EXPECT_EQ(c.save_state(), cs);

  auto p = PageHinkleyDetector::create({}).value();
  ASSERT_TRUE(step(p, -kMax));
  const PageHinkleyState ps = p.save_state();
  EXPECT_TRUE(fails_with(step(p, kMax), ErrorKind::NumericalIssue,
                         "Page-Hinkley running mean became non-finite during update"));
  EXPECT_EQ(p.save_state(), ps);
}

TEST(Baseline, InputChecksComeBeforeCancellation) {
  core::ExecutionContext cancelled(testing::no_constraints());
  core::CancelToken token;
  token.cancel();
  cancelled.cancel = &token;
  auto c = CusumDetector::create({}).value();
  const double two[2] = {1, 2};
  EXPECT_TRUE(fails_with(c.update(two, std::nullopt, cancelled), kBad,
                         "CUSUM currently supports univariate updates only; got d=2 (expected 1)"));
  auto p = PageHinkleyDetector::create({}).value();
  EXPECT_TRUE(fails_with(step(p, kNaN, std::nullopt, cancelled), kBad,
                         "Page-Hinkley observation must be finite for update"));
  EXPECT_EQ(step(p, 1.0, std::nullopt, cancelled).error().kind(), ErrorKind::Cancelled);
}

TEST(Baseline, LatencyIsSampledEvery256Results) {
  auto d = PageHinkleyDetector::create({}).value();
  for (int i = 1; i < 256; ++i) EXPECT_EQ(step(d, 0.5)->processing_latency_us, 1u);
  EXPECT_GE(step(d, 0.5)->processing_latency_us.value(), 1u);
}

TEST(Baseline, LoadedStateBringsItsPolicyAndIsCheckedOnTheNextUpdate) {
  auto d = CusumDetector::create({}).value();
  CusumState s = d.save_state();
  s.steps_since_alert = 4;
  s.alert_gate.policy = AlertPolicy{0.25, 0.0, 0, 0};
  d.load_state(s);
  EXPECT_TRUE(fails_with(step(d, 1.0), kBad, "CUSUM state.steps_since_alert=4 cannot exceed t=0"));
  d.reset();
  EXPECT_EQ(d.state().alert_gate.policy.threshold, 0.25);
  EXPECT_TRUE(step(d, 3.0)->alert);  // p_change 0.375 >= 0.25
}

}  // namespace
}  // namespace ovrel::online
