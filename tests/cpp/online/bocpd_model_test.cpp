#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "bocpd_oracle.hpp"
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
                    [&](const auto& d, double x) { return testing::gaussian_oracle(g, d, x); });
  const PoissonGamma p{2.0, 0.5};
  expect_predictive(p, {3, 0, 7, 2, 2, 11}, {0, 1, 4, 30},
                    [&](const auto& d, double x) { return testing::poisson_oracle(p, d, x); });
  const BernoulliBeta b{0.5, 3.0};
  expect_predictive(b, {1, 1, 0, 1, 0, 0, 1}, {0, 1},
                    [&](const auto& d, double x) { return testing::bernoulli_oracle(b, d, x); });
}

// The detector's per-count cache must not change a single bit, on a hit or a miss, nor past its
// size limit.
TEST(Predictive, CountTermsCacheKeepsTheBits) {
  const GaussianNig g{0.5, 2.0, 1.5, 0.75};
  GaussianCountTerms cache;
  for (int pass = 0; pass < 2; ++pass) {
    for (std::uint64_t n : {0ull, 1ull, 2ull, 7ull, 300ull, 70000ull}) {
      const GaussianStats s{n, 0.3 * double(n), 2.0 * double(n)};
      for (double x : {-4.0, 0.1, 2.5}) {
        const double plain = log_predictive(g, s, x).value();
        EXPECT_EQ(std::bit_cast<std::uint64_t>(log_predictive(g, s, x, &cache).value()),
                  std::bit_cast<std::uint64_t>(plain))
            << n << " " << x;
      }
    }
  }
}

TEST(Predictive, DefaultGaussianPriorAtZeroIsMinusLnFour) {
  const double lp = log_predictive(GaussianNig{}, GaussianStats{}, 0.0).value();
  EXPECT_NEAR(lp, -std::log(4.0), 4e-15);
}

TEST(Predictive, NegativeSpreadFromRoundingCountsAsZero) {
  // Mean at mu0, so the spread alone makes beta: a spread of -2 would leave beta at 0.
  const GaussianNig g{1.0, 1.0, 1.0, 1.0};
  const double exact = log_predictive(g, GaussianStats{2, 2.0, 2.0}, 0.5).value();
  const double below = log_predictive(g, GaussianStats{2, 2.0, 0.0}, 0.5).value();
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
