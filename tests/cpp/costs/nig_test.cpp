#include "ovrel/costs/nig.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "costs/series_samples.hpp"
#include "ovrel/costs/model.hpp"

namespace ovrel::costs {
namespace {

static_assert(CostModel<CostNIGMarginal>);

// The closed form of the negative log marginal likelihood, summed over dimensions, with a
// two-pass variance in long double.
double direct_cost(const OwnedSeries& s, const NIGPrior& p, std::size_t start, std::size_t end) {
  using LD = long double;
  const LD m = static_cast<LD>(end - start);
  LD total = 0;
  for (std::size_t j = 0; j < s.d(); ++j) {
    LD sum = 0;
    for (std::size_t t = start; t < end; ++t) sum += s.at(t, j);
    const LD mean = sum / m;
    LD ss = 0;
    for (std::size_t t = start; t < end; ++t) ss += (s.at(t, j) - mean) * (s.at(t, j) - mean);
    const LD beta_n =
        p.beta0 + ss / 2 + p.kappa0 * m * (mean - p.mu0) * (mean - p.mu0) / (2 * (p.kappa0 + m));
    const LD alpha_n = p.alpha0 + m / 2;
    total += p.alpha0 * std::log(static_cast<LD>(p.beta0)) - alpha_n * std::log(beta_n) +
             std::lgamma(alpha_n) - std::lgamma(static_cast<LD>(p.alpha0)) +
             (std::log(static_cast<LD>(p.kappa0)) - std::log(p.kappa0 + m)) / 2 -
             m / 2 * std::log(2 * std::numbers::pi_v<LD>);
  }
  return static_cast<double>(-total);
}

class NIGFormulaTest : public ::testing::TestWithParam<GridCase> {};

TEST_P(NIGFormulaTest, EverySegmentMatchesTheClosedForm) {
  const GridCase c = GetParam();
  const OwnedSeries s(samples::random_rows(30, 3, 11, 2.0, 1.5), 30, 3, c.layout, c.width);
  for (const NIGPrior prior : {NIGPrior{0.0, 1.0, 1.0, 1.0}, NIGPrior{2.5, 0.01, 3.0, 0.2},
                               NIGPrior{-1.0, 40.0, 0.3, 7.0}}) {
    const auto oracle = [&](auto a, auto b) { return direct_cost(s, prior, a, b); };
    expect_oracle(CostNIGMarginal{prior, c.mode}, s, oracle, 1e-10 / 30);
  }
}

INSTANTIATE_TEST_SUITE_P(Grid, NIGFormulaTest, ::testing::ValuesIn(samples::full_grid()),
                         samples::grid_case_name);

TEST(NIGCost, MultivariateCostIsTheSumOfPerDimensionCosts) {
  const std::size_t n = 12;
  const std::vector<double> rows = samples::random_rows(n, 2, 9);
  const OwnedSeries both(rows, n, 2, Layout::C, Width::F64);
  std::vector<double> first(n), second(n);
  for (std::size_t t = 0; t < n; ++t) {
    first[t] = rows[2 * t];
    second[t] = rows[2 * t + 1];
  }
  const OwnedSeries a(first, n, 1, Layout::C, Width::F64);
  const OwnedSeries b(second, n, 1, Layout::C, Width::F64);
  const CostNIGMarginal model{};
  const auto cb = model.precompute(both.view(), core::CachePolicy::full());
  const auto c0 = model.precompute(a.view(), core::CachePolicy::full());
  const auto c1 = model.precompute(b.view(), core::CachePolicy::full());
  ASSERT_TRUE(cb && c0 && c1);
  for (std::size_t end = 1; end <= n; ++end) {
    // -(0 + l0 + l1) with l0 and l1 the per-dimension log-likelihoods, in dimension order.
    const double l0 = -model.segment_cost(*c0, 0, end);
    const double l1 = -model.segment_cost(*c1, 0, end);
    const double want = -((0.0 + l0) + l1);
    EXPECT_EQ(model.segment_cost(*cb, 0, end), want);
  }
}

TEST(NIGCost, SingleValueAndConstantSegmentsAreFinite) {
  const OwnedSeries s(std::vector<double>{3.25, 3.25, 3.25, 3.25, 0.1}, 5, 1, Layout::C,
                      Width::F64);
  const NIGPrior prior{0.0, 1.0, 2.0, 1.0};
  const CostNIGMarginal model{prior};
  const auto cache = model.precompute(s.view(), core::CachePolicy::full());
  ASSERT_TRUE(cache);
  EXPECT_TRUE(std::isfinite(model.segment_cost(*cache, 4, 5)));
  // Identical values: ss = 0, so beta_n is beta0 plus the shrinkage term only.
  EXPECT_NEAR(model.segment_cost(*cache, 0, 4), direct_cost(s, prior, 0, 4), 1e-12);
}

TEST(NIGCost, OverflowingSquaresOfABalancedSegmentAreCapped) {
  // The squares overflow to +inf while the sum is 0: ss is capped at the largest finite value.
  const OwnedSeries s(std::vector<double>{1e160, -1e160}, 2, 1, Layout::C, Width::F64);
  const CostNIGMarginal model{};
  const auto cache = model.precompute(s.view(), core::CachePolicy::full());
  ASSERT_TRUE(cache);
  const double cost = model.segment_cost(*cache, 0, 2);
  ASSERT_TRUE(std::isfinite(cost));
  const double max = std::numeric_limits<double>::max();
  const double beta_n = 0.0 + (1.0 + max * 0.5);
  const double alpha_n = 2.0;
  const double want = -(
      ((0.0 - std::log(3.0)) * 0.5 +
       ((1.0 * std::log(1.0) + (ln_gamma(alpha_n) - ln_gamma(1.0))) - alpha_n * std::log(beta_n))) +
      1.0 * -1.8378770664093453);
  EXPECT_EQ(cost, want);
}

TEST(NIGCost, OverflowingSumsGiveNaNInsteadOfAValidCost) {
  // The sum overflows (mean = inf), or a square overflows so that the prefix of squares is +inf
  // (NaN under compensation) from there on: the statistics are lost, and the detector must see
  // NaN rather than a finite cost.
  const OwnedSeries big(std::vector<double>{1e308, 1e308, 1.0}, 3, 1, Layout::C, Width::F64);
  const OwnedSeries after(std::vector<double>{1e200, 1.0, 2.0, 3.0}, 4, 1, Layout::C, Width::F64);
  for (core::ReproMode mode : {core::ReproMode::Strict, core::ReproMode::Balanced}) {
    const CostNIGMarginal model{NIGPrior{}, mode};
    const auto c1 = model.precompute(big.view(), core::CachePolicy::full());
    const auto c2 = model.precompute(after.view(), core::CachePolicy::full());
    ASSERT_TRUE(c1 && c2);
    EXPECT_TRUE(std::isnan(model.segment_cost(*c1, 0, 2)));
    EXPECT_TRUE(std::isnan(model.segment_cost(*c2, 1, 4)));
    EXPECT_TRUE(std::isnan(model.segment_cost(*c2, 0, 1)));
  }
}

TEST(NIGCost, SubnormalBetaIsRaisedToTheSmallestNormal) {
  const NIGPrior prior{2.0, 1.0, 1.5, 1e-310};
  ASSERT_TRUE(prior.validate().has_value());
  const OwnedSeries s(std::vector<double>{2.0, 2.0, 2.0}, 3, 1, Layout::C, Width::F64);
  const CostNIGMarginal model{prior};
  const auto cache = model.precompute(s.view(), core::CachePolicy::full());
  ASSERT_TRUE(cache);
  const double m = 3.0;
  const double alpha_n = 1.5 + m * 0.5;
  const double core_term = (1.5 * std::log(1e-310) + (ln_gamma(alpha_n) - ln_gamma(1.5))) -
                           alpha_n * std::log(2.2250738585072014e-308);
  const double want =
      -(((std::log(1.0) - std::log(1.0 + m)) * 0.5 + core_term) + (m * 0.5) * -1.8378770664093453);
  EXPECT_EQ(model.segment_cost(*cache, 0, 3), want);
}

TEST(LnGamma, AgreesWithTheLibraryAcrossItsBranches) {
  // Below 1e-8 the value is -ln(x), which leaves out the Euler-gamma term of about 0.58 x.
  for (double x : {1e-12, 5e-9}) EXPECT_EQ(ln_gamma(x), -std::log(x));
  for (double x :
       {1e-8, 1e-4, 0.1, 0.3, 0.4999, 0.5, 0.75, 1.0, 1.5, 2.0, 3.7, 10.0, 55.5, 171.0, 1e4}) {
    const double want = static_cast<double>(std::lgamma(static_cast<long double>(x)));
    EXPECT_NEAR(ln_gamma(x), want, 1e-12 * (1.0 + std::fabs(want))) << x;
  }
  EXPECT_NEAR(ln_gamma(1.0), 0.0, 1e-15);
  EXPECT_NEAR(ln_gamma(2.0), 0.0, 1e-15);
  EXPECT_NEAR(ln_gamma(0.5), std::log(std::numbers::pi) / 2, 1e-15);
}

struct PriorCase {
  NIGPrior prior;
  std::string message;
};

class NIGPriorValidation : public ::testing::TestWithParam<PriorCase> {};

TEST_P(NIGPriorValidation, RefusesTheFirstBadField) {
  const PriorCase& c = GetParam();
  expect_error(c.prior.validate(), core::ErrorKind::InvalidInput, c.message);
  const OwnedSeries s(std::vector<double>{1.0, 2.0}, 2, 1, Layout::C, Width::F64);
  expect_error(CostNIGMarginal{c.prior}.validate(s.view()), core::ErrorKind::InvalidInput,
               c.message);
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Fields, NIGPriorValidation,
    ::testing::Values(
        PriorCase{{-kInf, 1, 1, 1}, "NIG prior mu0 must be finite; got -inf"},
        PriorCase{{kNaN, -1, 1, 1}, "NIG prior mu0 must be finite; got NaN"},
        PriorCase{{0, -0.0, 1, 1}, "NIG prior kappa0 must be finite and > 0; got -0"},
        PriorCase{{0, 0.0, 1, 1}, "NIG prior kappa0 must be finite and > 0; got 0"},
        PriorCase{{0, kInf, 1, 1}, "NIG prior kappa0 must be finite and > 0; got inf"},
        PriorCase{{0, 1, -2.5, 0}, "NIG prior alpha0 must be finite and > 0; got -2.5"},
        PriorCase{{0, 1, 1, kNaN}, "NIG prior beta0 must be finite and > 0; got NaN"}));

TEST(NIGPriorValidationEdge, PositiveSubnormalsPass) {
  EXPECT_TRUE((NIGPrior{0.0, 5e-324, 5e-324, 5e-324}.validate().has_value()));
}

}  // namespace
}  // namespace ovrel::costs
