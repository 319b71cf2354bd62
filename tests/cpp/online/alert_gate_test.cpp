#include <cmath>
#include <limits>
#include <vector>

#include "online_test_support.hpp"
#include "ovrel/online/alert_policy.hpp"

namespace ovrel::online {
namespace {

using testing::fails_with;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct GateCase {
  const char* name;
  AlertPolicy policy;
  std::vector<double> p;  // p_change at steps 0, 1, ...
  std::vector<int> alerts;
};

class GateSequence : public ::testing::TestWithParam<GateCase> {};

TEST_P(GateSequence, AlertsAtTheExpectedSteps) {
  const GateCase& c = GetParam();
  AlertGateState gate = AlertGateState::fresh(c.policy);
  std::vector<int> got;
  for (std::size_t t = 0; t < c.p.size(); ++t) {
    if (gate.maybe_emit(t, c.p[t])) got.push_back(static_cast<int>(t));
  }
  EXPECT_EQ(got, c.alerts);
}

INSTANTIATE_TEST_SUITE_P(
    Gate, GateSequence,
    ::testing::Values(
        GateCase{"one_alert_per_run_above", {0.5, 0.0, 0, 0}, {0.6, 0.7, 0.5, 0.4, 0.9}, {0, 4}},
        GateCase{"threshold_zero_fires_once", {0.0, 0.0, 0, 0}, {0.0, 0.0, 1.0, 0.0}, {0}},
        GateCase{"threshold_one_needs_one", {1.0, 0.0, 0, 0}, {0.999, 1.0, 0.5, 1.0}, {1, 3}},
        GateCase{"hysteresis_equal_threshold", {0.5, 0.5, 0, 0}, {0.9, 0.0, 0.9}, {0}},
        GateCase{"hysteresis_band", {0.5, 0.2, 0, 0}, {0.9, 0.35, 0.9, 0.2, 0.9}, {0, 4}},
        GateCase{"min_run_length", {0.5, 0.0, 0, 5}, {0.9, 0.9, 0.9, 0.9, 0.9, 0.9}, {4}},
        GateCase{"cooldown",
                 {0.5, 0.0, 3, 0},
                 {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0.9, 0.1, 0.9, 0.9},
                 {10, 13}},
        GateCase{"nan_never_alerts", {0.5, 0.0, 0, 0}, {kNaN, kNaN, kNaN}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AlertGate, NanLeavesTheArmedFlagAlone) {
  AlertGateState gate = AlertGateState::fresh({});
  ASSERT_TRUE(gate.maybe_emit(0, 0.9));
  EXPECT_FALSE(gate.maybe_emit(1, kNaN));
  EXPECT_FALSE(gate.armed);
}

TEST(AlertGate, LastAlertAheadOfTheStepCountsAsNoElapsedTime) {
  AlertGateState gate{{0.5, 0.0, 1, 0}, true, 50};
  EXPECT_FALSE(gate.maybe_emit(10, 0.9));
  gate.policy.cooldown_steps = 0;
  EXPECT_TRUE(gate.maybe_emit(10, 0.9));
  EXPECT_EQ(gate.last_alert_t, 10u);
}

TEST(AlertGate, MinRunLengthSaturatesAtTheLastStep) {
  AlertGateState gate{{0.5, 0.0, 0, UINT64_MAX}, true, std::nullopt};
  EXPECT_TRUE(gate.maybe_emit(UINT64_MAX, 0.9));
}

TEST(AlertGate, ValidationOrderAndMessages) {
  const auto bad = ErrorKind::InvalidInput;
  EXPECT_TRUE(fails_with((AlertPolicy{kNaN, 0.0, 0, 0}).validate(), bad,
                         "alert policy threshold must be finite and in [0,1]; got NaN"));
  EXPECT_TRUE(fails_with((AlertPolicy{1.5, -1.0, 0, 0}).validate(), bad,
                         "alert policy threshold must be finite and in [0,1]; got 1.5"));
  EXPECT_TRUE(fails_with(
      (AlertPolicy{0.5, 0.75, 0, 0}).validate(), bad,
      "alert policy hysteresis must be finite and in [0, threshold]; got 0.75 with threshold 0.5"));
  EXPECT_TRUE(fails_with(
      (AlertPolicy{0.5, -0.0625, 0, 0}).validate(), bad,
      "alert policy hysteresis must be finite and in [0, threshold]; got -0.0625 with threshold "
      "0.5"));
  EXPECT_TRUE((AlertPolicy{1.0, 1.0, 7, 7}).validate().has_value());
  const AlertGateState gate{{}, false, 7};
  EXPECT_TRUE(fails_with(gate.validate(7), bad, "alert gate last_alert_t=7 must be < t=7"));
  EXPECT_TRUE(gate.validate(8).has_value());
  const AlertGateState both_bad{{2.0, 0.0, 0, 0}, true, 9};
  EXPECT_TRUE(fails_with(both_bad.validate(1), bad,
                         "alert policy threshold must be finite and in [0,1]; got 2"));
}

}  // namespace
}  // namespace ovrel::online
