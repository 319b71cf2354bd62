// The checks of the online layer in the order they run, against tests/data/online_checks.txt:
// everything wrong at first, each fault mended in turn to reach the next check. Then the CUSUM and
// Page-Hinkley detectors and the alert gate they share with BOCPD: worked examples.

#include <cmath>
#include <functional>
#include <initializer_list>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "online_test_support.hpp"
#include "ovrel/checkpoint/state_wire.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/online/alert_policy.hpp"
#include "ovrel/online/bocpd_model.hpp"

namespace ovrel::online {
namespace {

using testing::expect_outcomes;
using testing::outcome;
using testing::policy_of;
using testing::step;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();

AlertPolicy alert_policy_of(const std::vector<double>& v) {
  return {v.at(0), v.at(1), std::uint64_t(v.at(2)), std::uint64_t(v.at(3))};
}

// The rows of tests/data/online_checks.txt that give an input: each the outcome of one check.
TEST(Checks, OfEachInput) {
  std::size_t count = 0;
  for (const auto& row : test_support::data_rows("online_checks.txt")) {
    if (row.size() < 3) continue;
    const std::string& g = row[0];
    std::vector<double> v = testing::numbers_of(row[1]), p = v;
    p.resize(6);
    // A prior of the numbers, or the default model for an observation.
    const bool prior = g.ends_with("_prior");
    const ObservationModel model =
        g.starts_with("gaussian")
            ? ObservationModel(prior ? GaussianNig{p[0], p[1], p[2], p[3]} : GaussianNig{})
        : g.starts_with("poisson")
            ? ObservationModel(prior ? PoissonGamma{p[0], p[1]} : PoissonGamma{})
            : ObservationModel(prior ? BernoulliBeta{p[0], p[1]} : BernoulliBeta{});
    const AlertGateState gate{alert_policy_of(p), true, std::uint64_t(p[4])};
    const std::string got = g == "alert_policy"       ? outcome(gate.policy.validate())
                            : g == "alert_gate"       ? outcome(gate.validate(std::uint64_t(p[5])))
                            : g == "late_policy"      ? outcome(policy_of(row[1]).validate())
                            : g == "constant_hazard"  ? outcome(ConstantHazard::create(p[0]))
                            : g == "geometric_hazard" ? outcome(GeometricHazard::create(p[0]))
                            : prior                   ? outcome(validate_prior(model))
                            : g == "step_summary"     ? outcome(step_summary_from_log_probs(v, 0))
                            : g == "normalization"    ? outcome(normalize_log_probs(v))
                                                      : outcome(check_observation(model, p[0]));
    if (g.ends_with("_observation")) {  // the three entry points refuse a value alike
      EXPECT_EQ(outcome(log_predictive(model, zero_stats(model), p[0])), got);
      EXPECT_EQ(outcome(update_stats(model, zero_stats(model), p[0])), got);
    }
    EXPECT_EQ(got, row[2]) << g << " | " << row[1];
    ++count;
  }
  EXPECT_EQ(count, 49u);
  EXPECT_EQ(hazard_rate(HazardSpec{}), 0.005);  // the default; the oracle tests cover the rest
  expect_outcomes("stats_of_another_model",
                  {outcome(log_predictive(GaussianNig{}, PoissonStats{}, 1.0)),
                   outcome(update_stats(BernoulliBeta{}, GaussianStats{}, 1.0))});
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
                   [&] {
                     cs.pending_events = {{1.0, 1, 0}};
                   }});
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
                   [&] {
                     ps.pending_events = {{0.0, 1, 0}};
                   }});
}

TEST(AlertGate, AlertsAtTheExpectedSteps) {
  const auto rows = test_support::data_rows("online_alert_gate.txt");
  ASSERT_EQ(rows.size(), 8u);
  for (const auto& row : rows) {
    AlertGateState gate = AlertGateState::fresh(alert_policy_of(testing::numbers_of(row.at(0))));
    const std::vector<double> p = testing::numbers_of(row.at(1));
    std::vector<std::uint64_t> got;
    for (std::size_t t = 0; t < p.size(); ++t) {
      if (gate.maybe_emit(t, p[t])) got.push_back(t);
    }
    EXPECT_EQ(got, testing::numbers_of<std::uint64_t>(row.at(2)))
        << row.at(0) << " | " << row.at(1);
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

// The worked examples of tests/data/online_baseline_steps.txt.
TEST(Baseline, WorkedExamples) {
  std::variant<CusumDetector, PageHinkleyDetector> d = CusumDetector::create({}).value();
  std::string current;
  std::uint64_t t = 0;
  const auto rows = test_support::data_rows("online_baseline_steps.txt");
  ASSERT_EQ(rows.size(), 16u);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.at(0) + " | " + row.at(1));
    if (row[0] != current) {
      current = row[0];
      t = 0;
      const std::vector<double> v =
          testing::numbers_of(current.substr(std::min(current.find(' '), current.size())));
      const auto config = [&](auto c) {  // the defaults, or all four numbers
        if (!v.empty()) c = {v[0], v[1], v[2], {v.at(3), 0, 0, 0}, {}};
        return c;
      };
      if (current.starts_with("cusum")) {
        d = CusumDetector::create(config(CusumConfig{})).value();
      } else {
        d = PageHinkleyDetector::create(config(PageHinkleyConfig{})).value();
      }
    }
    std::visit(
        [&](auto& detector) {
          const auto r = step(detector, testing::numbers_of(row.at(1)).at(0)).value();
          EXPECT_EQ(r.t, t++);
          EXPECT_EQ(core::plain(r.p_change), row.at(2));
          EXPECT_EQ(r.run_length_mode, std::stoull(row.at(3)));
          EXPECT_EQ(r.run_length_mean, double(r.run_length_mode));
          EXPECT_EQ(r.alert, r.alert_reason.has_value());
          EXPECT_EQ(r.alert_reason.value_or("-"), row.at(4));
          EXPECT_NE(checkpoint::state_to_json(detector.state()).value().find(row.at(5)),
                    std::string::npos)
              << checkpoint::state_to_json(detector.state()).value();
        },
        d);
  }
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
  EXPECT_EQ(c.save_state(), cs);
  EXPECT_EQ(p.save_state(), ps);
  // A loaded state is checked on the next update.
  CusumState loaded = cs;
  loaded.steps_since_alert = 4;
  c.load_state(loaded);
  got.push_back(outcome(step(c, 1.0)));
  testing::expect_outcomes("baseline_update", got);
}

TEST(Baseline, LatencyIsSampledEvery256Results) {
  auto d = PageHinkleyDetector::create({}).value();
  for (int i = 1; i < 256; ++i) EXPECT_EQ(step(d, 0.5)->processing_latency_us, 1u);
  EXPECT_GE(step(d, 0.5)->processing_latency_us.value(), 1u);
}

template <class K>
class EveryDetector : public ::testing::Test {};
TYPED_TEST_SUITE(EveryDetector, testing::DetectorKinds);

// A loaded state brings its alert policy, which a reset keeps and the next step applies.
TYPED_TEST(EveryDetector, ALoadedStateBringsItsAlertPolicy) {
  auto d = TypeParam::make();
  auto s = d.save_state();
  s.alert_gate.policy = AlertPolicy{0.0, 0.0, 0, 0};
  d.load_state(s);
  EXPECT_EQ(d.config().alert_policy, s.alert_gate.policy);
  d.reset();
  EXPECT_EQ(d.state(), decltype(s)::initial(d.config()));
  EXPECT_EQ(d.state().alert_gate.policy, s.alert_gate.policy);
  const auto r = step(d, 0.0).value();
  EXPECT_TRUE(r.alert);  // p_change >= 0 at the first step
  EXPECT_EQ(r.alert_reason, core::cat(TypeParam::kReason, " p_change ", core::fixed(r.p_change, 6),
                                      " >= threshold 0.000000"));
}

}  // namespace
}  // namespace ovrel::online
