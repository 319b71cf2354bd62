#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "bocpd_oracle.hpp"
#include "online_test_support.hpp"

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

TEST(LnGamma, AgreesWithTheLibraryAndHandlesTheEdges) {
  for (double x : {0.0, -0.0, -1.5, kInf}) EXPECT_TRUE(std::isnan(ln_gamma(x))) << x;
  for (double x : {1e-3, 0.25, 0.4999, 0.5, 1.0, 1.5, 2.0, 3.7, 10.0, 123.25, 1e5}) {
    EXPECT_NEAR(ln_gamma(x), std::lgamma(x), 1e-12 * std::fmax(1.0, std::fabs(std::lgamma(x))))
        << x;
  }
}

// Each model's predictive after every prefix of a stream, against the direct formulas; with the
// detector's per-count cache (hit and miss) the Gaussian keeps every bit.
TEST(Predictive, MatchesTheDirectFormulasAndTheCacheKeepsTheBits) {
  const ObservationModel models[] = {GaussianNig{0.5, 2.0, 1.5, 0.75}, PoissonGamma{2.0, 0.5},
                                     BernoulliBeta{0.5, 3.0}};
  const std::vector<double> data[] = {
      {0.3, -1.2, 2.5, 0.0, 4.25, 1.0}, {3, 0, 7, 2, 2, 11}, {1, 1, 0, 1, 0, 0, 1}};
  const std::vector<double> xs[] = {{-3.0, 0.0, 0.7, 5.0}, {0, 1, 4, 30}, {0, 1}};
  for (int m = 0; m < 3; ++m) {
    ObservationStats stats = zero_stats(models[m]);
    std::vector<double> seen;
    GaussianCountTerms cache;
    for (double v : data[m]) {
      for (double x : xs[m]) {
        const double got = log_predictive(models[m], stats, x).value();
        EXPECT_NEAR(got, testing::predictive_oracle(models[m], seen, x),
                    1e-11 * std::fmax(1.0, std::fabs(got)))
            << m << " n=" << seen.size() << " x=" << x;
        for (int pass = 0; pass < 2; ++pass) {
          EXPECT_EQ(
              std::bit_cast<std::uint64_t>(log_predictive(models[m], stats, x, &cache).value()),
              std::bit_cast<std::uint64_t>(got));
        }
      }
      stats = update_stats(models[m], stats, v).value();
      seen.push_back(v);
    }
  }
  // Past the cache's size limit too.
  GaussianCountTerms cache;
  for (std::uint64_t n : {300ull, 70000ull}) {
    const GaussianStats s{n, 0.3 * double(n), 2.0 * double(n)};
    EXPECT_EQ(log_predictive(models[0], s, 0.1, &cache).value(),
              log_predictive(models[0], s, 0.1).value());
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
  EXPECT_EQ(count(std::nextafter(18446744073709551616.0, 0.0)), 18446744073709549568u);
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

// Unpruned and unbounded (max_run_length above the stream length), and bounded with folding:
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
// At threshold 0 the list keeps the prefix up to the last maximum.
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
}

}  // namespace
}  // namespace ovrel::online
