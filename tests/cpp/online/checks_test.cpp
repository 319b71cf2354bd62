// The checks of the online layer in the order they run, against tests/data/online_checks.txt:
// everything wrong at first, each fault mended in turn to reach the next check.

#include <cmath>
#include <functional>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "online_test_support.hpp"
#include "ovrel/online/alert_policy.hpp"
#include "ovrel/online/bocpd_model.hpp"

namespace ovrel::online {
namespace {

using testing::expect_outcomes;
using testing::outcome;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The outcomes of one check over a list of inputs.
template <class T, class F>
std::vector<std::string> outcomes(std::initializer_list<T> inputs, F check) {
  std::vector<std::string> got;
  for (const T& input : inputs) got.push_back(outcome(check(input)));
  return got;
}

TEST(Checks, PoliciesHazardsAndPriors) {
  expect_outcomes("alert_policy", outcomes({AlertPolicy{kNaN, 0.0, 0, 0},
                                            {1.5, -1.0, 0, 0},
                                            {0.5, 0.75, 0, 0},
                                            {0.5, -0.0625, 0, 0},
                                            {1.0, 1.0, 7, 7}},
                                           [](const AlertPolicy& p) { return p.validate(); }));
  const AlertGateState gate{{2.0, 0.0, 0, 0}, true, 7};
  const AlertGateState sound_policy{{}, true, 7};
  expect_outcomes("alert_gate", {outcome(gate.validate(1)), outcome(sound_policy.validate(7)),
                                 outcome(sound_policy.validate(8))});
  const auto e = OverflowPolicy::Error;
  expect_outcomes("late_policy",
                  outcomes({LateDataPolicy::reject(), LateDataPolicy::buffer_within_window(0, 0, e),
                            LateDataPolicy::reorder_by_timestamp(-5, 1, e),
                            LateDataPolicy::reorder_by_timestamp(1, 0, e)},
                           [](const LateDataPolicy& p) { return p.validate(); }));
  expect_outcomes("constant_hazard",
                  outcomes({0.0, 1.0, kNaN, -0.5, 0.005}, ConstantHazard::create));
  expect_outcomes("geometric_hazard", outcomes({1.0, kInf, 200.0}, GeometricHazard::create));
  EXPECT_EQ(hazard_rate(HazardSpec{}), 0.005);  // the default; the oracle tests cover the rest

  const double sub = std::numeric_limits<double>::denorm_min();
  expect_outcomes("gaussian_prior", outcomes<ObservationModel>(
                                        {GaussianNig{kNaN, 0, 0, 0}, GaussianNig{0, 0, 0, 0},
                                         GaussianNig{0, sub, kInf, 0}, GaussianNig{0, 1, 1, -1},
                                         GaussianNig{0, sub, sub, sub}},
                                        validate_prior));
  expect_outcomes(
      "poisson_prior",
      outcomes<ObservationModel>({PoissonGamma{0, 0}, PoissonGamma{1, kNaN}, PoissonGamma{1, sub}},
                                 validate_prior));
  expect_outcomes(
      "bernoulli_prior",
      outcomes<ObservationModel>({BernoulliBeta{-1, 0}, BernoulliBeta{1, 0}, BernoulliBeta{sub, 1}},
                                 validate_prior));
}

// The three entry points refuse a value alike.
TEST(Checks, ObservationsOfEachModel) {
  const auto run = [](const std::string& group, const ObservationModel& m, std::vector<double> xs) {
    std::vector<std::string> got;
    for (double x : xs) {
      const auto stats = zero_stats(m);
      got.push_back(outcome(check_observation(m, x)));
      EXPECT_EQ(outcome(log_predictive(m, stats, x)), got.back());
      EXPECT_EQ(outcome(update_stats(m, stats, x)), got.back());
    }
    expect_outcomes(group, got);
  };
  run("gaussian_observation", GaussianNig{}, {kInf, -3.5});
  run("poisson_observation", PoissonGamma{}, {-1.0, kNaN, 2.01, 18446744073709551616.0, 7.0});
  run("bernoulli_observation", BernoulliBeta{}, {0.5, kNaN, 1.0});
  expect_outcomes("stats_of_another_model",
                  {outcome(log_predictive(GaussianNig{}, PoissonStats{}, 1.0)),
                   outcome(update_stats(BernoulliBeta{}, GaussianStats{}, 1.0))});
}

TEST(Checks, SummaryAndNormalization) {
  expect_outcomes("step_summary",
                  {outcome(step_summary_from_log_probs({}, 0)),
                   outcome(step_summary_from_log_probs(std::vector<double>{kNaN}, 0)),
                   outcome(step_summary_from_log_probs(std::vector<double>{0.5}, 0))});
  expect_outcomes(
      "normalization",
      outcomes<std::vector<double>>({{}, {-kInf, -kInf}, {0.0, kNaN}, {kInf, 0.0}, {0.0, -kInf}},
                                    [](std::vector<double> v) { return normalize_log_probs(v); }));
}

// The check's outcome, then again after each change in turn.
template <class Check>
void expect_in_order(const std::string& group, Check check,
                     std::initializer_list<std::function<void()>> changes) {
  std::vector<std::string> got{outcome(check())};
  for (const auto& change : changes) {
    change();
    got.push_back(outcome(check()));
  }
  expect_outcomes(group, got);
}

TEST(Checks, BocpdConfigurationAndState) {
  BocpdConfig c;
  c.observation = PoissonGamma{0.0, 1.0};
  c.max_run_length = 0;
  c.log_prob_threshold = -kInf;
  c.alert_policy.threshold = 2.0;
  c.late_data_policy = LateDataPolicy::buffer_within_window(0, 0, OverflowPolicy::Error);
  c.hazard = ConstantHazard{7.0};  // not checked here
  expect_in_order("bocpd_config", [&] { return BocpdDetector::create(c); },
                  {[&] { c.observation = PoissonGamma{}; }, [&] { c.max_run_length = 1; },
                   [&] { c.log_prob_threshold = 0.5; }, [&] { c.log_prob_threshold = -0.0; },
                   [&] { c.alert_policy.threshold = 1.0; },
                   [&] { c.late_data_policy = LateDataPolicy::reject(); }});
  BocpdState s = BocpdState::initial({});
  s.log_run_probs.clear();
  s.alert_gate.last_alert_t = 0;
  s.pending_events = {{kInf, 0, 0}};
  expect_in_order("bocpd_state", [&] { return s.validate(); },
                  {[&] {
                     s.log_run_probs = {0.0, -1.0};
                   },
                   [&] { s.log_run_probs = {0.0}; }, [&] { s.alert_gate.last_alert_t.reset(); },
                   [&] { s.pending_events.clear(); }});
}

TEST(Checks, BaselineConfigurationsAndStates) {
  CusumConfig c{
      -1, 0, kNaN, {2, 0, 0, 0}, LateDataPolicy::reorder_by_timestamp(0, 1, OverflowPolicy::Error)};
  expect_in_order("cusum_config", [&] { return CusumDetector::create(c); },
                  {[&] { c.drift = 0; }, [&] { c.threshold = 1; }, [&] { c.target_mean = 0; },
                   [&] { c.alert_policy.threshold = 1; },
                   [&] { c.late_data_policy = LateDataPolicy::reject(); }});
  PageHinkleyConfig p{kInf, -1, -kInf, {}, {}};
  expect_in_order("page_hinkley_config", [&] { return PageHinkleyDetector::create(p); },
                  {[&] { p.delta = 0; }, [&] { p.threshold = 1; }, [&] { p.initial_mean = 0; }});

  CusumState cs = CusumState::initial({});
  cs.score = -1.0;
  cs.steps_since_alert = 1;
  cs.alert_gate.last_alert_t = 0;
  cs.pending_events = {{kNaN, 1, 0}};
  expect_in_order("cusum_state", [&] { return cs.validate(); },
                  {[&] { cs.score = 0.5; }, [&] { cs.steps_since_alert = 0; },
                   [&] { cs.alert_gate.last_alert_t.reset(); }, [&] { cs.watermark_ns = 5; },
                   [&] { cs.pending_events[0].x = 1.0; }});
  PageHinkleyState ps = PageHinkleyState::initial({});
  ps.n = 1;
  ps.running_mean = kNaN;
  ps.cumulative_sum = kInf;
  ps.cumulative_min = kNaN;
  ps.steps_since_alert = 3;
  ps.pending_events = {{kInf, 1, 0}};
  expect_in_order("page_hinkley_state", [&] { return ps.validate(); },
                  {[&] { ps.n = 0; }, [&] { ps.running_mean = 0; }, [&] { ps.cumulative_sum = -1; },
                   [&] { ps.cumulative_min = 0.5; }, [&] { ps.cumulative_min = -1; },
                   [&] { ps.steps_since_alert = 0; }, [&] { ps.watermark_ns = 0; },
                   [&] { ps.pending_events[0].x = 0; }});
}

}  // namespace
}  // namespace ovrel::online
