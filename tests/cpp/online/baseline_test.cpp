// The CUSUM and Page-Hinkley detectors and the alert gate they share with BOCPD: worked examples.

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "online_test_support.hpp"
#include "ovrel/online/alert_policy.hpp"

namespace ovrel::online {
namespace {

using testing::outcome;
using testing::step;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();

struct GateCase {
  const char* name;
  AlertPolicy policy;
  std::vector<double> p;  // p_change at steps 0, 1, ...
  std::vector<int> alerts;
};

TEST(AlertGate, AlertsAtTheExpectedSteps) {
  const std::vector<double> cooldown{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0.9, 0.1, 0.9, 0.9};
  const GateCase cases[] = {
      {"one alert per run above", {0.5, 0.0, 0, 0}, {0.6, 0.7, 0.5, 0.4, 0.9}, {0, 4}},
      {"threshold zero fires once", {0.0, 0.0, 0, 0}, {0.0, 0.0, 1.0, 0.0}, {0}},
      {"threshold one needs one", {1.0, 0.0, 0, 0}, {0.999, 1.0, 0.5, 1.0}, {1, 3}},
      {"hysteresis equal threshold", {0.5, 0.5, 0, 0}, {0.9, 0.0, 0.9}, {0}},
      {"hysteresis band", {0.5, 0.2, 0, 0}, {0.9, 0.35, 0.9, 0.2, 0.9}, {0, 4}},
      {"min run length", {0.5, 0.0, 0, 5}, {0.9, 0.9, 0.9, 0.9, 0.9, 0.9}, {4}},
      {"cooldown", {0.5, 0.0, 3, 0}, cooldown, {10, 13}},
      {"NaN never alerts nor re-arms", {0.5, 0.0, 0, 0}, {0.9, kNaN, 0.9}, {0}}};
  for (const GateCase& c : cases) {
    AlertGateState gate = AlertGateState::fresh(c.policy);
    std::vector<int> got;
    for (std::size_t t = 0; t < c.p.size(); ++t) {
      if (gate.maybe_emit(t, c.p[t])) got.push_back(static_cast<int>(t));
    }
    EXPECT_EQ(got, c.alerts) << c.name;
  }
  // A last alert ahead of the step counts as no elapsed time; the run length saturates.
  AlertGateState gate{{0.5, 0.0, 1, 0}, true, 50};
  EXPECT_FALSE(gate.maybe_emit(10, 0.9));
  gate.policy.cooldown_steps = 0;
  EXPECT_TRUE(gate.maybe_emit(10, 0.9));
  EXPECT_EQ(gate.last_alert_t, 10u);
  AlertGateState last{{0.5, 0.0, 0, UINT64_MAX}, true, std::nullopt};
  EXPECT_TRUE(last.maybe_emit(UINT64_MAX, 0.9));
}

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
    const std::string reason = "cusum p_change 1.000000 >= threshold 1.000000";
    EXPECT_EQ(r.alert_reason, r.alert ? std::optional(reason) : std::nullopt);
  }
  CusumConfig c;
  c.drift = 0.5;
  c.target_mean = 2.0;
  c.threshold = 4.0;
  auto shifted = CusumDetector::create(c).value();
  EXPECT_EQ(step(shifted, 4.0)->p_change, 0.375);  // (4 - 2) - 0.5 = 1.5
  EXPECT_EQ(step(shifted, 1.0)->p_change, 0.0);    // 1.5 + (-1 - 0.5) = 0
}

TEST(PageHinkley, WorkedExamples) {
  PageHinkleyConfig c;
  c.delta = 0.25;
  c.initial_mean = 100.0;
  auto d = PageHinkleyDetector::create(c).value();
  for (int i = 1; i <= 4; ++i) {  // a constant stream falls by delta
    const auto r = step(d, 2.0).value();
    EXPECT_EQ(d.state().running_mean, 2.0);
    EXPECT_EQ(d.state().cumulative_sum, -0.25 * i);
    EXPECT_EQ(d.state().cumulative_min, -0.25 * i);
    EXPECT_EQ(r.p_change, 0.0);
  }
  c.delta = 0.0;
  c.threshold = 2.0;
  auto shift = PageHinkleyDetector::create(c).value();
  // mean 0, 0, then 2/3 and 1.5: sums 0, 0, 4/3, 4/3 + 4.5.
  step(shift, 0.0).value();
  step(shift, 0.0).value();
  EXPECT_NEAR(step(shift, 2.0)->p_change, (2.0 - 2.0 / 3) / 2.0, 1e-15);
  const auto r = step(shift, 4.0).value();
  EXPECT_EQ(r.p_change, 1.0);
  EXPECT_TRUE(r.alert);
  EXPECT_EQ(r.alert_reason, "page_hinkley p_change 1.000000 >= threshold 1.000000");
}

// Input checks come before cancellation; a statistic that would become non-finite leaves the
// state as it was.
TEST(Baseline, RefusedUpdates) {
  core::ExecutionContext cancelled(testing::no_constraints());
  core::CancelToken token;
  token.cancel();
  cancelled.cancel = &token;
  auto c = CusumDetector::create({}).value();
  auto p = PageHinkleyDetector::create({}).value();
  const double two[2] = {1, 2};
  std::vector<std::string> got{outcome(c.update(two, std::nullopt, cancelled)),
                               outcome(step(p, kNaN, std::nullopt, cancelled)),
                               outcome(step(p, 1.0, std::nullopt, cancelled))};
  ASSERT_TRUE(step(c, kMax));
  ASSERT_TRUE(step(p, -kMax));
  const CusumState cs = c.save_state();
  const PageHinkleyState ps = p.save_state();
  got.push_back(outcome(step(c, kMax)));
  got.push_back(outcome(step(p, kMax)));
  testing::expect_outcomes("baseline_update", got);
  EXPECT_EQ(c.save_state(), cs);
  EXPECT_EQ(p.save_state(), ps);
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
  EXPECT_EQ(outcome(step(d, 1.0)),
            "invalid input: CUSUM state.steps_since_alert=4 cannot exceed t=0");
  d.reset();
  EXPECT_EQ(d.state().alert_gate.policy.threshold, 0.25);
  EXPECT_TRUE(step(d, 3.0)->alert);  // p_change 0.375 >= 0.25
}

}  // namespace
}  // namespace ovrel::online
