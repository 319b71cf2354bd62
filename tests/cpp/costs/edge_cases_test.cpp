// Edge cases of each model's formula, its guards and clamps, overflowing data, the rules only one
// model has, and the full-covariance model's per-thread workspace.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "costs/series_samples.hpp"
#include "ovrel/costs/ar.hpp"
#include "ovrel/costs/cosine.hpp"
#include "ovrel/costs/l1.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/nig.hpp"
#include "ovrel/costs/normal.hpp"
#include "ovrel/costs/rank.hpp"
#include "test_data.hpp"

namespace ovrel::costs {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

template <CostModel C>
typename C::Cache cache_of(const C& model, const std::vector<double>& rows, std::size_t n,
                           std::size_t d) {
  OwnedSeries series(rows, n, d, Layout::C, Width::F64);
  return model.precompute(series.view(), core::CachePolicy::full()).value();
}

// The numbers of a space-separated text, as strtod reads them (nan, inf, subnormals).
std::vector<double> numbers(const std::string& text) {
  std::vector<double> out;
  std::istringstream in(text);
  for (std::string v; in >> v;) out.push_back(std::strtod(v.c_str(), nullptr));
  return out;
}

// A hand-made one-row cache whose per-dimension sums are given directly.
L2Cache l2_cache(const std::vector<double>& s1, const std::vector<double>& s2) {
  L2Cache c;
  c.n = 1;
  c.d = s1.size();
  for (std::size_t j = 0; j < c.d; ++j) {
    c.prefix_sum.insert(c.prefix_sum.end(), {0.0, s1[j]});
    c.prefix_sum_sq.insert(c.prefix_sum_sq.end(), {0.0, s2[j]});
  }
  return c;
}

// ---------------------------------------------------------------------------------------------
// L2 mean.

TEST(L2MeanTest, OnlyTheTotalIsClamped) {
  const CostL2Mean model;
  // Dimension terms -1 and +3: the negative term still counts.
  EXPECT_EQ(model.segment_cost(l2_cache({1.0, 1.0}, {0.0, 4.0}), 0, 1), 2.0);
  // A negative total (rounding) and -0 become +0, on the univariate and the general path.
  for (const L2Cache& c : {l2_cache({1.0}, {0.5}), l2_cache({1.0, 1.0}, {0.5, 0.5})}) {
    const double negative = model.segment_cost(c, 0, 1);
    EXPECT_EQ(negative, 0.0);
    EXPECT_FALSE(std::signbit(negative));
  }
  EXPECT_FALSE(std::signbit(model.segment_cost(l2_cache({0.0}, {-0.0}), 0, 1)));
  // Non-finite totals are not passed off as zero.
  EXPECT_TRUE(std::isnan(model.segment_cost(l2_cache({1.0}, {kNaN}), 0, 1)));
  EXPECT_TRUE(std::isnan(model.segment_cost(l2_cache({kInf}, {kInf}), 0, 1)));
  EXPECT_EQ(model.segment_cost(l2_cache({1e200}, {1.0}), 0, 1), -kInf);
}

// The batch form must keep the clamps and the non-finite totals of segment_cost, bit for bit (the
// contract suite compares them on real series), and check its whole range before reading.
TEST(L2MeanTest, BatchKeepsClampsNonFiniteTotalsAndThePrecondition) {
  const CostL2Mean model;
  for (const L2Cache& c : {l2_cache({1.0}, {kNaN}), l2_cache({1e200}, {1.0}),
                           l2_cache({1.0}, {1.0}), l2_cache({0.0}, {-0.0})}) {
    double out = 0.0;
    model.segment_costs_to_end(c, 0, 1, 1, &out);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(out),
              std::bit_cast<std::uint64_t>(model.segment_cost(c, 0, 1)));
  }
  const auto cache = cache_of(model, {1.0, 2.0, 3.0}, 3, 1);
  std::vector<double> out(4);
  EXPECT_THROW(model.segment_costs_to_end(cache, 0, 4, 4, out.data()), InternalError);
  EXPECT_THROW(model.segment_costs_to_end(cache, 1, 3, 3, out.data()), InternalError);
  EXPECT_THROW(model.segment_costs_to_end(cache, 3, 1, 3, out.data()), InternalError);
  model.segment_costs_to_end(cache, 0, 0, 9, out.data());  // nothing asked, nothing checked
}

TEST(BatchCostTest, EqualsSingleCosts) {
  samples::expect_batch_equals_single(CostL2Mean{}, {1u, 3u}, 2.5);
  samples::expect_batch_equals_single(CostNormalMeanVar{}, {1u, 3u}, 2.5);
}

// ---------------------------------------------------------------------------------------------
// Normal mean-variance.

NormalCache normal_cache(double s1, double s2) { return NormalCache{{0.0, s1}, {0.0, s2}, 1, 1}; }

TEST(NormalMeanVarTest, VarianceGuard) {
  const CostNormalMeanVar model;
  // Exactly the floor stays the floor; slightly negative (rounding) becomes the floor.
  EXPECT_EQ(model.segment_cost(normal_cache(0.0, kVarianceFloor), 0, 1), std::log(kVarianceFloor));
  EXPECT_EQ(model.segment_cost(normal_cache(1.0, 1.0 - 1e-16), 0, 1), std::log(kVarianceFloor));
  // +inf becomes the largest finite value.
  EXPECT_EQ(model.segment_cost(normal_cache(1.0, kInf), 0, 1), std::log(kLargestFinite));
  // NaN comes only from overflowing sums and is passed on.
  EXPECT_TRUE(std::isnan(model.segment_cost(normal_cache(kInf, kInf), 0, 1)));
  EXPECT_TRUE(std::isnan(model.segment_cost(normal_cache(1.0, kNaN), 0, 1)));
}

// ---------------------------------------------------------------------------------------------
// Normal full covariance.

TEST(NormalFullCovTest, FallbackAfterEightFailedFactorisations) {
  // Scaled to [[0, 1], [1, 0]]: indefinite until the jitter exceeds 1, which a ridge at the floor
  // never reaches in eight attempts.
  std::vector<double> matrix = {0.0, 1e6, 1e6, 0.0};
  std::vector<double> scratch(4);
  double lambda = kVarianceFloor;
  for (int i = 0; i < 8; ++i) lambda = lambda * 10.0;
  EXPECT_EQ(regularized_logdet_with_scratch(matrix, scratch, 2, kVarianceFloor),
            std::log(lambda) * 2.0);
}

TEST(NormalFullCovTest, WorkspaceReuseMatchesAFreshThread) {
  const std::vector<double> small = samples::uniform_rows(8, 2, 31);
  const std::vector<double> large = samples::uniform_rows(8, 5, 32);
  const CostNormalFullCov model;
  const auto cost_of = [&](const std::vector<double>& rows, std::size_t d, std::size_t start) {
    return model.segment_cost(cache_of(model, rows, 8, d), start, 7);
  };
  double fresh = 0.0;
  std::thread([&] { fresh = cost_of(small, 2, 1); }).join();
  double reused = 0.0;
  std::thread([&] {
    (void)cost_of(large, 5, 0);
    reused = cost_of(small, 2, 1);
  }).join();
  EXPECT_EQ(reused, fresh);
  EXPECT_EQ(cost_of(small, 2, 1), fresh);
}

// ---------------------------------------------------------------------------------------------
// Autoregressive.

// What the contract suite does not see: the order check, the cache of higher orders, and the
// parameter count of large orders.
TEST(ARCost, OrderRules) {
  const OwnedSeries s(samples::random_rows(13, 3, 12), 13, 3, Layout::F, Width::F32);
  const std::string no_order = "CostAR requires order >= 1; got order=0";
  expect_error(CostAR{0}.validate(s.view()), core::ErrorKind::InvalidInput, no_order);
  expect_error(CostAR{0}.precompute(s.view(), core::CachePolicy::approximate(8, 0.1)),
               core::ErrorKind::InvalidInput, no_order);
  expect_error(CostAR{3}.precompute(s.view(), core::CachePolicy::budgeted(311)),
               core::ErrorKind::ResourceLimit,
               "CostAR cache requires 312 bytes, exceeds budget 311 bytes");
  EXPECT_TRUE(CostAR{3}.precompute(s.view(), core::CachePolicy::budgeted(312)).has_value());
  EXPECT_EQ(CostAR{3}.penalty_effective_params(2), 10u);
  EXPECT_EQ(CostAR{SIZE_MAX - 1}.penalty_effective_params(1), SIZE_MAX);
  EXPECT_EQ(CostAR{SIZE_MAX}.penalty_effective_params(2), std::nullopt);
}

// ---------------------------------------------------------------------------------------------
// Normal-inverse-gamma marginal.

TEST(NIGCost, LnGammaAgreesWithTheLibraryAcrossItsBranches) {
  // Below 1e-8 the value is -ln(x), which leaves out the Euler-gamma term of about 0.58 x.
  for (double x : {1e-12, 5e-9}) EXPECT_EQ(ln_gamma(x), -std::log(x));
  for (double x : {1e-8, 1e-4, 0.1, 0.4999, 0.5, 0.75, 1.0, 1.5, 2.0, 3.7, 55.5, 171.0, 1e4}) {
    const double want = static_cast<double>(std::lgamma(static_cast<long double>(x)));
    EXPECT_NEAR(ln_gamma(x), want, 1e-12 * (1.0 + std::fabs(want))) << x;
  }
}

// The prior's fields are checked in order, by the prior and by the model.
TEST(NIGCost, PriorValidation) {
  const auto rows = test_support::data_rows("costs_nig_prior.txt");
  ASSERT_EQ(rows.size(), 8u);
  const OwnedSeries s(std::vector<double>{1.0, 2.0}, 2, 1, Layout::C, Width::F64);
  for (const auto& r : rows) {
    const std::vector<double> f = numbers(r.at(0) + " " + r.at(1) + " " + r.at(2) + " " + r.at(3));
    const NIGPrior prior{f[0], f[1], f[2], f[3]};
    if (r.at(4) == "ok") {
      EXPECT_TRUE(prior.validate().has_value()) << r[4];
      continue;
    }
    expect_error(prior.validate(), core::ErrorKind::InvalidInput, r[4]);
    expect_error(CostNIGMarginal{prior}.validate(s.view()), core::ErrorKind::InvalidInput, r[4]);
  }
}

// ---------------------------------------------------------------------------------------------
// Cosine and rank.

TEST(SegmentPreconditionTest, ViolationsStopBeforeReading) {
  const auto cache = cache_of(CostL2Mean{}, {1.0, 2.0, 3.0}, 3, 1);
  for (const auto& [start, end, message] :
       {std::tuple{2u, 2u, "segment_cost requires start < end; got start=2, end=2"},
        std::tuple{0u, 4u, "segment_cost end out of bounds: end=4, n=3"}}) {
    try {
      (void)CostL2Mean{}.segment_cost(cache, start, end);
      ADD_FAILURE() << "no internal error: " << message;
    } catch (const InternalError& e) {
      EXPECT_STREQ(e.what(), message);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Segment costs of hand-made series, one data row each.

double named_cost(const std::string& name, core::ReproMode mode, const std::vector<double>& rows,
                  std::size_t d, std::size_t start, std::size_t end) {
  const auto cost_in = [&](const auto& model) {
    return model.segment_cost(cache_of(model, rows, rows.size() / d, d), start, end);
  };
  if (name == "l2") return cost_in(CostL2Mean{mode});
  if (name == "normal") return cost_in(CostNormalMeanVar{mode});
  if (name == "full_cov") return cost_in(CostNormalFullCov{mode});
  if (name.starts_with("nig")) {  // "nig", or "nig mu0 kappa0 alpha0 beta0"
    const std::vector<double> p = numbers(name.substr(3));
    return cost_in(
        CostNIGMarginal{p.empty() ? NIGPrior{} : NIGPrior{p[0], p[1], p[2], p[3]}, mode});
  }
  if (name == "cosine") return cost_in(CostCosine{mode});
  if (name.starts_with("ar")) return cost_in(CostAR{std::stoull(name.substr(2)), mode});
  ADD_FAILURE() << "unknown model " << name;
  return 0.0;
}

TEST(EdgeCaseTable, HandMadeSeries) {
  const auto rows = test_support::data_rows("costs_edge_cases.txt");
  ASSERT_EQ(rows.size(), 33u);
  for (const auto& r : rows) {
    const auto mode = r.at(1) == "strict" ? core::ReproMode::Strict : core::ReproMode::Balanced;
    std::istringstream segments(r.at(4));
    for (std::size_t start, end; segments >> start && segments.ignore() >> end;) {
      const double got = named_cost(r[0], mode, numbers(r.at(3)), std::stoull(r.at(2)), start, end);
      const std::string& want = r.at(5);
      SCOPED_TRACE(r[0] + " " + r[1] + " " + r[3] + " [" + std::to_string(start) + ", " +
                   std::to_string(end) + ")");
      if (want == "nan") {
        EXPECT_TRUE(std::isnan(got)) << got;
      } else if (want == "nonfinite") {
        EXPECT_FALSE(std::isfinite(got)) << got;
      } else if (want == "+0") {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got), 0u) << got;
      } else if (want.starts_with("~")) {
        double near = 0.0, tolerance = 1e-12;
        std::istringstream(want.substr(1)) >> near >> tolerance;
        EXPECT_NEAR(got, near, tolerance);
      } else {
        EXPECT_EQ(got, std::strtod(want.c_str(), nullptr));
      }
    }
  }
}

}  // namespace
}  // namespace ovrel::costs
