#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "online_test_support.hpp"
#include "ovrel/online/bocpd_model.hpp"

namespace ovrel::online {
namespace {

using testing::fails_with;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Hazard, ConstructorsCheckTheirRange) {
  EXPECT_EQ(ConstantHazard::create(0.005).value().p_change, 0.005);
  for (const auto& [v, text] : {std::pair{0.0, "0"}, {1.0, "1"}, {kNaN, "NaN"}, {-0.5, "-0.5"}}) {
    EXPECT_TRUE(fails_with(
        ConstantHazard::create(v), ErrorKind::InvalidInput,
        std::string("constant hazard p_change must be finite and in (0,1); got ") + text));
  }
  EXPECT_TRUE(fails_with(GeometricHazard::create(1.0), ErrorKind::InvalidInput,
                         "geometric hazard mean_run_length must be finite and > 1; got 1"));
  EXPECT_TRUE(fails_with(GeometricHazard::create(kInf), ErrorKind::InvalidInput,
                         "geometric hazard mean_run_length must be finite and > 1; got inf"));
  const GeometricHazard g = GeometricHazard::create(200.0).value();
  EXPECT_EQ(g.hazard_rate, 0.005);
  EXPECT_EQ(hazard_rate(HazardSpec(g)), 0.005);
  EXPECT_EQ(hazard_rate(HazardSpec{}), 0.005);
}

TEST(LnGamma, AgreesWithTheLibraryAndHandlesTheEdges) {
  EXPECT_NEAR(ln_gamma(1.0), 0.0, 1e-15);
  EXPECT_NEAR(ln_gamma(2.0), 0.0, 1e-15);
  EXPECT_TRUE(std::isnan(ln_gamma(0.0)));
  EXPECT_TRUE(std::isnan(ln_gamma(-0.0)));
  EXPECT_TRUE(std::isnan(ln_gamma(-1.5)));
  EXPECT_TRUE(std::isnan(ln_gamma(kInf)));
  for (double x : {1e-3, 0.25, 0.4999, 0.5, 1.5, 3.7, 10.0, 123.25, 1e5}) {
    EXPECT_NEAR(ln_gamma(x), std::lgamma(x), 1e-12 * std::fmax(1.0, std::fabs(std::lgamma(x))))
        << x;
  }
}

// Direct transcriptions of the three predictives from a run's raw data (two-pass spread,
// library log-gamma), written apart from the engine.
double gaussian_oracle(const GaussianNig& m, const std::vector<double>& data, double x) {
  const double n = static_cast<double>(data.size());
  const double mean = data.empty() ? 0.0 : std::accumulate(data.begin(), data.end(), 0.0) / n;
  double ss = 0.0;
  for (double v : data) ss += (v - mean) * (v - mean);
  const double kn = m.kappa0 + n;
  const double mun = (m.kappa0 * m.mu0 + n * mean) / kn;
  const double an = m.alpha0 + n / 2;
  const double bn = m.beta0 + ss / 2 + m.kappa0 * n * (mean - m.mu0) * (mean - m.mu0) / (2 * kn);
  const double nu = 2 * an;
  const double s2 = bn * (kn + 1) / (an * kn);
  return std::lgamma((nu + 1) / 2) - std::lgamma(nu / 2) - 0.5 * std::log(nu * M_PI * s2) -
         (nu + 1) / 2 * std::log1p((x - mun) * (x - mun) / (nu * s2));
}

double poisson_oracle(const PoissonGamma& m, const std::vector<double>& data, double k) {
  const double a = m.alpha + std::accumulate(data.begin(), data.end(), 0.0);
  const double b = m.beta + static_cast<double>(data.size());
  return std::lgamma(a + k) - std::lgamma(a) - std::lgamma(k + 1) + a * std::log(b / (b + 1)) -
         k * std::log(b + 1);
}

double bernoulli_oracle(const BernoulliBeta& m, const std::vector<double>& data, double x) {
  const double ones = std::accumulate(data.begin(), data.end(), 0.0);
  const double a = m.alpha + ones;
  const double b = m.beta + (static_cast<double>(data.size()) - ones);
  return std::log(x == 1.0 ? a / (a + b) : b / (a + b));
}

template <class F>
void expect_predictive(const ObservationModel& model, const std::vector<double>& data,
                       const std::vector<double>& xs, F oracle) {
  ObservationStats stats = zero_stats(model);
  std::vector<double> seen;
  for (double v : data) {
    for (double x : xs) {
      const double got = log_predictive(model, stats, x).value();
      EXPECT_NEAR(got, oracle(seen, x), 1e-11 * std::fmax(1.0, std::fabs(got)))
          << "n=" << seen.size() << " x=" << x;
    }
    stats = update_stats(model, stats, v).value();
    seen.push_back(v);
  }
}

TEST(Predictive, MatchesDirectFormulas) {
  const GaussianNig g{0.5, 2.0, 1.5, 0.75};
  expect_predictive(g, {0.3, -1.2, 2.5, 0.0, 4.25, 1.0}, {-3.0, 0.0, 0.7, 5.0},
                    [&](const auto& d, double x) { return gaussian_oracle(g, d, x); });
  const PoissonGamma p{2.0, 0.5};
  expect_predictive(p, {3, 0, 7, 2, 2, 11}, {0, 1, 4, 30},
                    [&](const auto& d, double x) { return poisson_oracle(p, d, x); });
  const BernoulliBeta b{0.5, 3.0};
  expect_predictive(b, {1, 1, 0, 1, 0, 0, 1}, {0, 1},
                    [&](const auto& d, double x) { return bernoulli_oracle(b, d, x); });
}

TEST(Predictive, DefaultGaussianPriorAtZeroIsMinusLnFour) {
  const double lp = log_predictive(GaussianNig{}, GaussianStats{}, 0.0).value();
  EXPECT_NEAR(lp, -std::log(4.0), 4e-15);
}

TEST(Predictive, NegativeSpreadFromRoundingCountsAsZero) {
  const GaussianNig g;
  const double exact = log_predictive(g, GaussianStats{3, 3.0, 3.0}, 0.5).value();
  const double below = log_predictive(g, GaussianStats{3, 3.0, 3.0 - 4e-16}, 0.5).value();
  EXPECT_EQ(below, exact);
}

TEST(Predictive, MoreOnesThanCountsUsesNoFailures) {
  const BernoulliBeta b;
  EXPECT_EQ(log_predictive(b, BernoulliStats{2, 5}, 0.0).value(),
            log_predictive(b, BernoulliStats{5, 5}, 0.0).value());
}

TEST(Predictive, StatsOfAnotherModelAreANumericalIssue) {
  const std::string msg = "observation stats variant mismatch with configured model";
  EXPECT_TRUE(fails_with(log_predictive(GaussianNig{}, PoissonStats{}, 1.0),
                         ErrorKind::NumericalIssue, msg));
  EXPECT_TRUE(fails_with(update_stats(BernoulliBeta{}, GaussianStats{}, 1.0),
                         ErrorKind::NumericalIssue, msg));
}

TEST(Observation, CountsAndOutcomes) {
  const PoissonGamma p;
  auto count = [&](double x) {
    return std::get<PoissonStats>(update_stats(p, PoissonStats{}, x).value()).sum;
  };
  EXPECT_EQ(count(2.0 + 5e-10), 2u);
  EXPECT_EQ(count(-0.0), 0u);
  EXPECT_EQ(count(std::nextafter(18446744073709551616.0, 0.0)), 18446744073709549568u);
  const BernoulliBeta b;
  auto ones = [&](double x) {
    return std::get<BernoulliStats>(update_stats(b, BernoulliStats{}, x).value()).ones;
  };
  EXPECT_EQ(ones(1e-13), 0u);
  EXPECT_EQ(ones(1.0 - 5e-13), 1u);
  // The count saturates instead of wrapping.
  const auto big = update_stats(p, PoissonStats{UINT64_MAX, UINT64_MAX - 1}, 5.0).value();
  EXPECT_EQ(big, ObservationStats(PoissonStats{UINT64_MAX, UINT64_MAX}));
}

TEST(Observation, RefusedValuesAndTheirMessages) {
  struct Case {
    ObservationModel model;
    double x;
    const char* message;
  };
  const Case cases[] = {
      {GaussianNig{}, kInf, "gaussian observation must be finite"},
      {PoissonGamma{}, -1.0, "poisson observation must be finite and >= 0; got -1"},
      {PoissonGamma{}, kNaN, "poisson observation must be finite and >= 0; got NaN"},
      {PoissonGamma{}, 2.01, "poisson observation must be an integer-valued count; got 2.01"},
      {PoissonGamma{}, 18446744073709551616.0,
       "poisson observation exceeds u64 range; got 18446744073709552000"},
      {BernoulliBeta{}, 0.5, "bernoulli observation must be exactly 0 or 1; got 0.5"},
      {BernoulliBeta{}, kNaN, "bernoulli observation must be exactly 0 or 1; got NaN"},
  };
  for (const Case& c : cases) {
    const auto stats = zero_stats(c.model);
    EXPECT_TRUE(
        fails_with(log_predictive(c.model, stats, c.x), ErrorKind::InvalidInput, c.message));
    EXPECT_TRUE(fails_with(update_stats(c.model, stats, c.x), ErrorKind::InvalidInput, c.message));
    EXPECT_TRUE(fails_with(check_observation(c.model, c.x), ErrorKind::InvalidInput, c.message));
  }
}

TEST(Prior, RulesInFieldOrder) {
  struct Case {
    ObservationModel model;
    const char* message;
  };
  const double sub = std::numeric_limits<double>::denorm_min();
  const Case cases[] = {
      {GaussianNig{kNaN, 0.0, 0.0, 0.0}, "gaussian prior mu0 must be finite"},
      {GaussianNig{0.0, 0.0, 0.0, 0.0}, "gaussian prior kappa0 must be finite and > 0"},
      {GaussianNig{0.0, sub, kInf, 0.0}, "gaussian prior alpha0 must be finite and > 0"},
      {GaussianNig{0.0, 1.0, 1.0, -1.0}, "gaussian prior beta0 must be finite and > 0"},
      {PoissonGamma{0.0, 0.0}, "poisson prior alpha must be finite and > 0"},
      {PoissonGamma{1.0, kNaN}, "poisson prior beta must be finite and > 0"},
      {BernoulliBeta{-1.0, 0.0}, "bernoulli prior alpha must be finite and > 0"},
      {BernoulliBeta{1.0, 0.0}, "bernoulli prior beta must be finite and > 0"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(fails_with(validate_prior(c.model), ErrorKind::InvalidInput, c.message));
  }
  EXPECT_TRUE(validate_prior(GaussianNig{0.0, sub, sub, sub}));
}

}  // namespace
}  // namespace ovrel::online
