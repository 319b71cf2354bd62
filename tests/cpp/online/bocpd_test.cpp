#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "bocpd_oracle.hpp"
#include "online_test_support.hpp"
#include "ovrel/checkpoint/state_wire.hpp"
#include "ovrel/core/numerics.hpp"

namespace ovrel::online {
namespace {

using testing::outcome;
using testing::step;

constexpr double kInf = std::numeric_limits<double>::infinity();

BocpdDetector make(const ObservationModel& model, std::optional<double> threshold,
                   std::uint64_t max_run_length = 2000, HazardSpec hazard = ConstantHazard{0.005}) {
  return BocpdDetector::create(
             {hazard, threshold, model, LateDataPolicy::reject(), max_run_length, {}})
      .value();
}

TEST(LnGamma, AgreesWithTheLibraryAndHandlesTheEdges) {
  for (double x : {0.0, -0.0, -1.5, kInf}) EXPECT_TRUE(std::isnan(ln_gamma(x))) << x;
  for (double x : {1e-3, 0.25, 0.4999, 0.5, 1.0, 1.5, 2.0, 3.7, 10.0, 123.25, 1e5}) {
    EXPECT_NEAR(ln_gamma(x), std::lgamma(x), 1e-12 * std::fmax(1.0, std::fabs(std::lgamma(x))))
        << x;
  }
}

// Each model's predictive after every prefix of a stream, against the direct formulas.
TEST(Predictive, MatchesTheDirectFormulas) {
  const ObservationModel models[] = {GaussianNig{0.5, 2.0, 1.5, 0.75}, PoissonGamma{2.0, 0.5},
                                     BernoulliBeta{0.5, 3.0}};
  const std::vector<double> data[] = {
      {0.3, -1.2, 2.5, 0.0, 4.25, 1.0}, {3, 0, 7, 2, 2, 11}, {1, 1, 0, 1, 0, 0, 1}};
  const std::vector<double> xs[] = {{-3.0, 0.0, 0.7, 5.0}, {0, 1, 4, 30}, {0, 1}};
  for (int m = 0; m < 3; ++m) {
    ObservationStats stats = zero_stats(models[m]);
    std::vector<double> seen;
    for (double v : data[m]) {
      for (double x : xs[m]) {
        const double got = log_predictive(models[m], stats, x).value();
        EXPECT_NEAR(got, testing::predictive_oracle(models[m], seen, x),
                    1e-11 * std::fmax(1.0, std::fabs(got)))
            << m << " n=" << seen.size() << " x=" << x;
      }
      stats = update_stats(models[m], stats, v).value();
      seen.push_back(v);
    }
  }
}

TEST(Predictive, WorkedValuesAndEdges) {
  EXPECT_NEAR(log_predictive(GaussianNig{}, GaussianStats{}, 0.0).value(), -std::log(4.0), 4e-15);
  // Mean at mu0, so the spread alone makes beta: a spread of -2 from rounding counts as zero.
  const GaussianNig g{1.0, 1.0, 1.0, 1.0};
  EXPECT_EQ(log_predictive(g, GaussianStats{2, 2.0, 0.0}, 0.5).value(),
            log_predictive(g, GaussianStats{2, 2.0, 2.0}, 0.5).value());
  // More ones than counts means no failures.
  EXPECT_EQ(log_predictive(BernoulliBeta{}, BernoulliStats{2, 5}, 0.0).value(),
            log_predictive(BernoulliBeta{}, BernoulliStats{5, 5}, 0.0).value());
  const auto count = [](double x) {
    return std::get<PoissonStats>(update_stats(PoissonGamma{}, PoissonStats{}, x).value()).sum;
  };
  EXPECT_EQ(count(2.0 + 5e-10), 2u);
  EXPECT_EQ(count(-0.0), 0u);
  // Above 2^53 a double does not hold every count.
  EXPECT_EQ(count(9007199254740992.0), 9007199254740992u);
  const auto ones = [](double x) {
    return std::get<BernoulliStats>(update_stats(BernoulliBeta{}, BernoulliStats{}, x).value())
        .ones;
  };
  EXPECT_EQ(ones(1e-13), 0u);
  EXPECT_EQ(ones(1.0 - 5e-13), 1u);
  // The count saturates instead of wrapping.
  EXPECT_EQ(update_stats(PoissonGamma{}, PoissonStats{UINT64_MAX, UINT64_MAX - 1}, 5.0).value(),
            ObservationStats(PoissonStats{UINT64_MAX, UINT64_MAX}));
}

// At threshold 0 the list keeps the prefix up to the last maximum.
TEST(Bocpd, PruningAtThresholdZeroKeepsThePrefixUpToTheLastMaximum) {
  auto d = make(GaussianNig{}, 0.0);
  for (double x : {0.0, 0.1, -0.1, 5.0, 5.1, 4.9, 5.0}) {
    const auto r = step(d, x).value();
    EXPECT_EQ(d.state().log_run_probs.size(), r.run_length_mode + 1);
  }
}

TEST(Bocpd, ALoadedListLongerThanTheBoundIsFoldedBackToIt) {
  auto d = make(GaussianNig{}, std::nullopt, 3);
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
  EXPECT_NEAR(s.run_length_mean, 2 * 0.25 + 3 * 0.05 + 4 * 0.35 + 5 * 0.25, 1e-14);
  const std::vector<double> tie{std::log(0.1), -kInf, l, std::log(0.2), std::log(0.2), l};
  EXPECT_EQ(step_summary_from_log_probs(tie, 0).value().run_length_mode, 5u);
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
  testing::expect_outcomes("bocpd_update",
                           {outcome(d.update(two, std::nullopt, testing::plain_ctx())),
                            outcome(step(d, std::numeric_limits<double>::quiet_NaN())),
                            outcome(step(d, 2.5)), outcome(step(d, 1.0, std::nullopt, cancelled)),
                            outcome(step(d, 1.0, std::nullopt, budget))});
  EXPECT_EQ(d.save_state(), before);

  // Statistics of another model, accepted by load_state, fail the next step.
  auto g = make(GaussianNig{}, -35.0);
  BocpdState foreign = g.save_state();
  foreign.run_stats = {PoissonStats{}};
  g.load_state(foreign);
  EXPECT_EQ(outcome(step(g, 1.0)),
            "numerical issue: observation stats variant mismatch with configured model");
  EXPECT_EQ(g.save_state(), foreign);

  // A NaN or +infinity log probability (a state loaded unchecked) fails the normalisation.
  for (double bad : {std::numeric_limits<double>::quiet_NaN(), kInf}) {
    BocpdState odd = make(GaussianNig{}, -35.0).save_state();
    odd.log_run_probs = {-1.0, bad, -2.0};
    odd.run_stats.assign(3, GaussianStats{2, 1.0, 1.0});
    g.load_state(odd);
    EXPECT_EQ(outcome(step(g, 1.0)),
              "numerical issue: BOCPD normalization failed (non-finite log_sum_exp)");
    EXPECT_EQ(checkpoint::state_to_bincode(g.save_state()), checkpoint::state_to_bincode(odd));
  }
}

// One step of the recursion as it reads, on the generic model functions and core::log_add_exp.
BocpdState reference_step(const BocpdConfig& c, BocpdState s, double x) {
  const ObservationStats prior = zero_stats(c.observation);
  const std::size_t len = s.log_run_probs.size();
  const std::uint64_t bound = c.max_run_length == UINT64_MAX ? UINT64_MAX : c.max_run_length + 1;
  const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(bound, len + 1));
  std::vector<double> lp(n, -kInf);
  std::vector<ObservationStats> st(n, prior);
  const double pred0 = log_predictive(c.observation, prior, x).value();
  const double h = hazard_rate(c.hazard);
  double cp = -kInf;
  for (std::size_t r = 0; r < len; ++r) {
    const double pred = log_predictive(c.observation, s.run_stats[r], x).value();
    cp = core::log_add_exp(cp, pred0 + (s.log_run_probs[r] + std::log(h)));
    const double g = pred + (s.log_run_probs[r] + std::log(1.0 - h));
    if (r + 1 >= n) {
      cp = core::log_add_exp(cp, g);
    } else {
      lp[r + 1] = g;
      st[r + 1] = update_stats(c.observation, s.run_stats[r], x).value();
    }
  }
  lp[0] = cp;
  st[0] = update_stats(c.observation, prior, x).value();
  if (c.log_prob_threshold) {
    double m = -kInf;
    for (double v : lp) m = std::fmax(m, v);
    std::size_t keep = 1;
    for (std::size_t i = 1; i < n; ++i) {
      if (!(lp[i] < *c.log_prob_threshold + m)) keep = i + 1;
    }
    lp.resize(keep);
    st.resize(keep);
  }
  EXPECT_TRUE(normalize_log_probs(lp));
  s.t += 1;
  s.log_run_probs = lp;
  s.run_stats = st;
  return s;
}

// The detector's step keeps every bit of the plain recursion: the distribution, the statistics and
// the summary, for each model, bounded and unbounded, pruned and not (the unpruned tail falls
// thousands below the best), and from loaded states whose counts are past the per-count table,
// zero inside the list or saturated.
TEST(Bocpd, StepKeepsEveryBitOfThePlainRecursion) {
  EXPECT_EQ(hazard_rate(GeometricHazard::create(8.0).value()), 0.125);
  EXPECT_EQ(hazard_rate(ConstantHazard{0.005}), 0.005);
  std::vector<double> g, p, b;
  for (int i = 0; i < 500; ++i) {
    const double wobble = 0.37 * ((i * 7) % 11) - 1.8;
    g.push_back(i < 150 ? wobble : i < 330 ? 9.0 + wobble : -4.0 + 0.01 * wobble);
    p.push_back(i < 150 ? double((i * 5) % 4) : i < 330 ? double(40 + (i * 3) % 9) : 7.0);
    b.push_back(i < 150 ? double(i % 9 == 0) : i < 330 ? double(i % 6 != 0) : double(i % 2));
  }
  struct Case {
    ObservationModel model;
    const std::vector<double>* x;
  };
  const Case cases[] = {{GaussianNig{}, &g},
                        {GaussianNig{0.3, 0.7, 0.6, 2.5}, &g},
                        {PoissonGamma{}, &p},
                        {PoissonGamma{0.3, 1.7}, &p},
                        {BernoulliBeta{0.4, 2.2}, &b}};
  const auto check = [](BocpdDetector& d, const std::vector<double>& xs, const char* what) {
    for (std::size_t t = 0; t < xs.size(); ++t) {
      BocpdState want = reference_step(d.config(), d.state(), xs[t]);
      const auto r = step(d, xs[t]).value();
      want.alert_gate = d.state().alert_gate;
      ASSERT_EQ(checkpoint::state_to_bincode(d.state()), checkpoint::state_to_bincode(want))
          << what << " t=" << t;
      const RunSummary s = step_summary_from_log_probs(want.log_run_probs, want.t - 1).value();
      ASSERT_EQ(std::bit_cast<std::uint64_t>(r.p_change), std::bit_cast<std::uint64_t>(s.p_change));
      ASSERT_EQ(std::bit_cast<std::uint64_t>(r.run_length_mean),
                std::bit_cast<std::uint64_t>(s.run_length_mean))
          << what << " t=" << t;
      ASSERT_EQ(r.run_length_mode, s.run_length_mode);
    }
  };
  for (const Case& c : cases) {
    for (std::uint64_t bound :
         {std::uint64_t{1}, std::uint64_t{3}, std::uint64_t{400}, UINT64_MAX}) {
      for (std::optional<double> th : {std::optional<double>(-35.0), std::optional<double>()}) {
        auto d = make(c.model, th, bound, GeometricHazard::create(60.0).value());
        check(d, *c.x, "stream");
      }
    }
  }

  auto gd = make(GaussianNig{0.3, 0.7, 0.6, 2.5}, std::nullopt, 50);
  BocpdState s = gd.save_state();
  s.log_run_probs = {-3.0, -0.5, -kInf, -2.0, -900.0, -1.5};
  s.run_stats = {GaussianStats{0, 0.0, 0.0},          GaussianStats{70000, 7e3, 9e4},
                 GaussianStats{UINT64_MAX, 1.0, 2.0}, GaussianStats{0, 0.0, 0.0},
                 GaussianStats{65536, -3.0, 1e5},     GaussianStats{65535, 2.0, 7e4}};
  gd.load_state(s);
  check(gd, {0.5, -0.25, 1.0, 3.0}, "loaded gaussian");
  auto pd = make(PoissonGamma{0.3, 1.7}, std::nullopt, 50);
  s = pd.save_state();
  s.log_run_probs = {-3.0, -0.5, -2.0, -1.5};
  s.run_stats = {PoissonStats{0, 0}, PoissonStats{70000, 123456}, PoissonStats{3, UINT64_MAX},
                 PoissonStats{UINT64_MAX, 9}};
  pd.load_state(s);
  check(pd, {2.0, 0.0, 5.0}, "loaded poisson");
}

// Counts above 2^53 are refused (two of 2^63 left probabilities summing to 2), before any change.
TEST(Bocpd, PoissonCountsAboveTwoToThe53AreRefused) {
  auto d = make(PoissonGamma{}, -35.0);
  ASSERT_TRUE(step(d, 3.0));
  const BocpdState before = d.save_state();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(outcome(step(d, 0x1p63)),
              "invalid input: poisson observation must be an integer-valued count; got "
              "9223372036854776000");
  }
  EXPECT_EQ(d.save_state(), before);
  // The model's three entry points and a late value alike; 2^53 itself is exact.
  const std::string refused =
      "invalid input: poisson observation must be an integer-valued count; got 9007199254740994";
  const ObservationModel model = PoissonGamma{};
  EXPECT_EQ(outcome(check_observation(model, 0x1p53 + 2)), refused);
  EXPECT_EQ(outcome(log_predictive(model, PoissonStats{}, 0x1p53 + 2)), refused);
  EXPECT_EQ(outcome(update_stats(model, PoissonStats{}, 0x1p53 + 2)), refused);
  EXPECT_EQ(outcome(check_observation(model, 0x1p64)),
            "invalid input: poisson observation exceeds u64 range; got 18446744073709552000");
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(step(d, 0x1p53));
  double total = 0.0;
  for (double v : d.state().log_run_probs) total += std::exp(v);
  EXPECT_NEAR(total, 1.0, 1e-12);
}

}  // namespace
}  // namespace ovrel::online
