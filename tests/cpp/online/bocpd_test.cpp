#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "bocpd_oracle.hpp"
#include "online_test_support.hpp"
#include "ovrel/core/text.hpp"

namespace ovrel::online {
namespace {

using testing::fails_with;
using testing::step;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

BocpdDetector make(const ObservationModel& model, std::optional<double> threshold,
                   std::uint64_t max_run_length = 2000, HazardSpec hazard = ConstantHazard{0.005}) {
  BocpdConfig c;
  c.observation = model;
  c.log_prob_threshold = threshold;
  c.max_run_length = max_run_length;
  c.hazard = hazard;
  return BocpdDetector::create(c).value();
}

// Streams with a change in the middle, one per model.
struct Stream {
  const char* name;
  ObservationModel model;
  std::vector<double> x;
};

std::vector<Stream> streams() {
  std::vector<double> g, p, b;
  for (int i = 0; i < 24; ++i) {
    g.push_back(i < 12 ? 0.1 * (i % 5) - 0.2 : 3.0 + 0.15 * (i % 3));
    p.push_back(i < 12 ? double(i % 3) : double(6 + i % 4));
    b.push_back(i < 12 ? double(i % 4 == 0) : double(i % 5 != 0));
  }
  return {{"gaussian", GaussianNig{0.2, 0.5, 2.0, 1.5}, g},
          {"poisson", PoissonGamma{2.0, 1.0}, p},
          {"bernoulli", BernoulliBeta{1.0, 1.0}, b}};
}

TEST(Bocpd, FirstStepOfTheDefaultDetector) {
  auto d = BocpdDetector::create({}).value();
  const auto r = step(d, 0.7).value();
  EXPECT_EQ(r.t, 0u);
  EXPECT_NEAR(r.p_change, 0.005, 1e-15);
  EXPECT_EQ(r.run_length_mode, 1u);
  EXPECT_NEAR(r.run_length_mean, 0.995, 1e-15);
  EXPECT_FALSE(r.alert);
  EXPECT_EQ(r.alert_reason, std::nullopt);
  EXPECT_TRUE(r.processing_latency_us.has_value());
  EXPECT_EQ(d.state().log_run_probs.size(), 2u);
}

// Unpruned and unbounded (max_run_length above the stream length), and bounded at 5 with folding:
// the whole distribution against the linear-space recursion.
TEST(Bocpd, RunLengthDistributionMatchesTheDirectRecursion) {
  for (const Stream& s : streams()) {
    for (std::size_t bound : {std::size_t{100}, std::size_t{5}, std::size_t{1}}) {
      auto d = make(s.model, std::nullopt, bound, GeometricHazard::create(8.0).value());
      testing::RunLengthOracle oracle{s.model, 0.125, bound};
      for (std::size_t t = 0; t < s.x.size(); ++t) {
        const auto r = step(d, s.x[t]).value();
        oracle.step(s.x[t]);
        const auto& lp = d.state().log_run_probs;
        ASSERT_EQ(lp.size(), oracle.prob.size()) << s.name << " t=" << t;
        ASSERT_LE(lp.size(), bound + 1);
        double mean = 0.0;
        for (std::size_t i = 0; i < lp.size(); ++i) {
          EXPECT_NEAR(std::exp(lp[i]), oracle.prob[i], 1e-10) << s.name << " t=" << t << " r=" << i;
          mean += double(i) * oracle.prob[i];
        }
        EXPECT_NEAR(r.p_change, oracle.prob[0], 1e-10);
        EXPECT_NEAR(r.run_length_mean, mean, 1e-8);
        EXPECT_EQ(r.t, t);
      }
    }
  }
}

// Pruning drops runs whose log probability lies more than |threshold| below the best: the mass
// lost per step is at most N * e^threshold, so p_change stays within steps * N * e^threshold.
TEST(Bocpd, PrunedDistributionStaysWithinTheThresholdOfTheFullOne) {
  bool pruned = false;
  for (const Stream& s : streams()) {
    for (double th : {-35.0, -6.0}) {
      auto d = make(s.model, th);
      testing::RunLengthOracle oracle{s.model, 0.005, 2000};
      for (std::size_t t = 0; t < s.x.size(); ++t) {
        const auto r = step(d, s.x[t]).value();
        oracle.step(s.x[t]);
        pruned = pruned || d.state().log_run_probs.size() < oracle.prob.size();
        const double bound = double((t + 1) * oracle.prob.size()) * std::exp(th) + 1e-10;
        EXPECT_NEAR(r.p_change, oracle.prob[0], bound) << s.name << " th=" << th << " t=" << t;
      }
    }
  }
  EXPECT_TRUE(pruned);
}

TEST(Bocpd, ThresholdZeroKeepsThePrefixUpToTheLastMaximum) {
  auto d = make(GaussianNig{}, 0.0);
  for (double x : {0.0, 0.1, -0.1, 5.0, 5.1, 4.9, 5.0}) {
    const auto r = step(d, x).value();
    EXPECT_EQ(d.state().log_run_probs.size(), std::max<std::uint64_t>(r.run_length_mode, 0) + 1);
  }
}

TEST(Bocpd, WithoutThresholdTheListStopsAtTheBound) {
  auto d = make(GaussianNig{}, std::nullopt, 3);
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(step(d, 0.5));
  EXPECT_EQ(d.state().log_run_probs.size(), 4u);
  // A loaded list longer than the bound is folded back to it by the next step.
  auto s = d.save_state();
  s.log_run_probs.assign(9, std::log(1.0 / 9));
  s.run_stats.assign(9, GaussianStats{2, 1.0, 0.5});
  d.load_state(s);
  ASSERT_TRUE(step(d, 0.5));
  EXPECT_EQ(d.state().log_run_probs.size(), 4u);
}

TEST(Bocpd, SummaryOfALogDistribution) {
  const double l = std::log(0.25);
  const std::vector<double> lp{std::log(0.1), -kInf, l, std::log(0.05), std::log(0.35), l};
  const RunSummary s = step_summary_from_log_probs(lp, 9).value();
  EXPECT_EQ(s.t, 9u);
  EXPECT_EQ(s.run_length_mode, 4u);
  const std::vector<double> tie{std::log(0.1), -kInf, l, std::log(0.2), std::log(0.2), l};
  EXPECT_EQ(step_summary_from_log_probs(tie, 0).value().run_length_mode, 5u);
  EXPECT_NEAR(s.p_change, 0.1, 1e-16);
  EXPECT_NEAR(s.run_length_mean, 2 * 0.25 + 3 * 0.05 + 4 * 0.35 + 5 * 0.25, 1e-14);
  EXPECT_EQ(step_summary_from_log_probs(std::vector<double>{0.5}, 0).value().p_change, 1.0);
  EXPECT_TRUE(fails_with(step_summary_from_log_probs({}, 0), ErrorKind::NumericalIssue,
                         "BOCPD step summary requires at least one run-length state"));
  EXPECT_TRUE(fails_with(step_summary_from_log_probs(std::vector<double>{kNaN}, 0),
                         ErrorKind::NumericalIssue,
                         "BOCPD p_change became non-finite after normalization"));
}

TEST(Bocpd, NormalizationRefusesWhatHasNoFiniteSum) {
  const std::string msg = "BOCPD normalization failed (non-finite log_sum_exp)";
  for (std::vector<double> v :
       std::vector<std::vector<double>>{{}, {-kInf, -kInf}, {0.0, kNaN}, {kInf, 0.0}}) {
    EXPECT_TRUE(fails_with(normalize_log_probs(v), ErrorKind::NumericalIssue, msg));
  }
  std::vector<double> v{std::log(3.0), std::log(1.0), -kInf};
  ASSERT_TRUE(normalize_log_probs(v));
  EXPECT_NEAR(std::exp(v[0]), 0.75, 1e-15);
  EXPECT_EQ(v[2], -kInf);
}

// Everything wrong at first; each check is mended in turn to reach the next.
TEST(Bocpd, ConfigurationChecksInOrder) {
  BocpdConfig c;
  c.observation = PoissonGamma{0.0, 1.0};
  c.max_run_length = 0;
  c.log_prob_threshold = -kInf;
  c.alert_policy.threshold = 2.0;
  c.late_data_policy = LateDataPolicy::buffer_within_window(0, 0, OverflowPolicy::Error);
  const auto expect = [&](const char* message) {
    EXPECT_TRUE(fails_with(BocpdDetector::create(c), ErrorKind::InvalidInput, message));
  };
  expect("poisson prior alpha must be finite and > 0");
  c.observation = PoissonGamma{};
  expect("max_run_length must be >= 1 for bounded BOCPD state");
  c.max_run_length = 1;
  expect("log_prob_threshold must be finite and <= 0");
  c.log_prob_threshold = 0.5;
  expect("log_prob_threshold must be finite and <= 0");
  c.log_prob_threshold = -0.0;
  expect("alert policy threshold must be finite and in [0,1]; got 2");
  c.alert_policy.threshold = 1.0;
  expect("BufferWithinWindow.max_delay_ns must be > 0; got 0");
  c.late_data_policy = LateDataPolicy::reject();
  c.hazard = ConstantHazard{7.0};  // the hazard is not tested here
  EXPECT_TRUE(BocpdDetector::create(c));
}

TEST(Bocpd, StateChecksInOrder) {
  BocpdState s = BocpdState::initial({});
  s.log_run_probs.clear();
  s.alert_gate.last_alert_t = 0;
  EXPECT_TRUE(fails_with(s.validate(), ErrorKind::InvalidInput,
                         "bocpd state requires at least one run-length probability"));
  s.log_run_probs = {0.0, -1.0};
  EXPECT_TRUE(fails_with(s.validate(), ErrorKind::InvalidInput,
                         "bocpd state length mismatch: log_run_probs=2, run_stats=1"));
  s.log_run_probs = {0.0};
  s.pending_events = {{kInf, 0, 0}};
  EXPECT_TRUE(
      fails_with(s.validate(), ErrorKind::InvalidInput, "alert gate last_alert_t=0 must be < t=0"));
  s.alert_gate.last_alert_t.reset();
  EXPECT_TRUE(fails_with(s.validate(), ErrorKind::InvalidInput,
                         "bocpd pending event contains non-finite observation"));
}

// Every refused update leaves the state as it was.
TEST(Bocpd, FailedUpdatesLeaveTheState) {
  core::Constraints limits;
  limits.max_cost_evals = 3;
  const core::ExecutionContext budget(limits);
  core::ExecutionContext cancelled(testing::no_constraints());
  core::CancelToken token;
  token.cancel();
  cancelled.cancel = &token;

  auto d = make(PoissonGamma{}, -35.0);
  for (double x : {1.0, 2.0, 0.0}) ASSERT_TRUE(step(d, x, std::nullopt, budget));
  const BocpdState before = d.save_state();
  const double two[2] = {1.0, 2.0};
  EXPECT_TRUE(fails_with(d.update(two, std::nullopt, testing::plain_ctx()), ErrorKind::InvalidInput,
                         "BOCPD currently supports univariate updates only; got d=2 (expected 1)"));
  EXPECT_TRUE(fails_with(step(d, kNaN), ErrorKind::InvalidInput,
                         "BOCPD observation must be finite for update"));
  EXPECT_TRUE(fails_with(step(d, 2.5), ErrorKind::InvalidInput,
                         "poisson observation must be an integer-valued count; got 2.5"));
  EXPECT_EQ(step(d, 1.0, std::nullopt, cancelled).error().kind(), ErrorKind::Cancelled);
  EXPECT_EQ(step(d, 1.0, std::nullopt, budget).error().kind(), ErrorKind::ResourceLimit);
  EXPECT_EQ(d.save_state(), before);

  // Statistics of another model, accepted by load_state, fail the next step.
  auto g = make(GaussianNig{}, -35.0);
  BocpdState foreign = g.save_state();
  foreign.run_stats = {PoissonStats{}};
  g.load_state(foreign);
  EXPECT_TRUE(fails_with(step(g, 1.0), ErrorKind::NumericalIssue,
                         "observation stats variant mismatch with configured model"));
  EXPECT_EQ(g.save_state(), foreign);
}

TEST(Bocpd, AlertReasonAndLoadedPolicy) {
  auto d = make(GaussianNig{}, -35.0, 2000, ConstantHazard{0.2});
  std::optional<core::OnlineStepResult> alerted;
  for (int i = 0; i < 40 && !alerted; ++i) {
    auto r = step(d, i < 20 ? 0.0 : 8.0).value();
    if (r.alert) alerted = r;
  }
  ASSERT_TRUE(alerted);
  EXPECT_EQ(alerted->alert_reason,
            "bocpd p_change " + core::fixed(alerted->p_change, 6) + " >= threshold 0.500000");

  BocpdState s = d.save_state();
  s.alert_gate.policy = AlertPolicy{0.9, 0.1, 2, 3};
  d.load_state(s);
  EXPECT_EQ(d.config().alert_policy, s.alert_gate.policy);
  d.reset();
  EXPECT_EQ(d.state(), BocpdState::initial(d.config()));
  EXPECT_EQ(d.state().alert_gate.policy, (AlertPolicy{0.9, 0.1, 2, 3}));
}

}  // namespace
}  // namespace ovrel::online
