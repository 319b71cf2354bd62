// Edge cases of each model's formula, its guards and clamps, overflowing data, and the
// full-covariance model's per-thread workspace.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

#include "costs/series_samples.hpp"
#include "ovrel/costs/l1.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/normal.hpp"

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

template <CostModel C>
double cost_of(const C& model, const std::vector<double>& rows, std::size_t n, std::size_t d,
               std::size_t start, std::size_t end) {
  return model.segment_cost(cache_of(model, rows, n, d), start, end);
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

TEST(L2MeanTest, SingleRowsAndConstantSegmentsCostPositiveZero) {
  const std::vector<double> rows = {0.1, 0.1, 0.1, 0.1, 7.3, -2.2};
  const CostL2Mean model;
  const auto cache = cache_of(model, rows, 6, 1);
  for (std::size_t t = 0; t < 6; ++t) {
    const double c = model.segment_cost(cache, t, t + 1);
    EXPECT_EQ(c, 0.0);
    EXPECT_FALSE(std::signbit(c));
  }
  const double constant = model.segment_cost(cache, 0, 4);
  EXPECT_EQ(constant, 0.0);
  EXPECT_FALSE(std::signbit(constant));
}

TEST(L2MeanTest, ConstantDimensionAddsNothing) {
  const std::vector<double> one = {1.0, 4.0, 2.5, 8.0};
  std::vector<double> two;
  for (double v : one) two.insert(two.end(), {v, 3.0});
  const CostL2Mean model;
  EXPECT_EQ(cost_of(model, two, 4, 2, 0, 4), cost_of(model, one, 4, 1, 0, 4));
  EXPECT_EQ(cost_of(model, one, 4, 1, 0, 4), 27.1875);
}

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
}

TEST(L2MeanTest, NonFiniteTotalsAreNotPassedOffAsZero) {
  const CostL2Mean model;
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

// The batch forms (several starts in vector lanes, dimension by dimension) against segment_cost,
// bit for bit, over lane remainders, offset starts, constant runs (variance floor) and squares
// near and beyond the top of the range.
template <CostModel C>
void expect_batch_equals_single(const C& model) {
  for (std::size_t d : {1u, 3u}) {
    std::vector<double> rows = samples::uniform_rows(40, d, 11, -1e3, 1e3);
    rows[7] = 1e155;
    for (std::size_t i = 20 * d; i < 26 * d; ++i) rows[i] = 2.5;
    if (d == 3) rows[34 * d + 2] = 1e160;
    OwnedSeries series(rows, 40, d, Layout::C, Width::F64);
    const auto cache = model.precompute(series.view(), core::CachePolicy::full()).value();
    for (std::size_t end = 1; end <= 40; ++end) {
      for (std::size_t first : {std::size_t{0}, std::size_t{3}, std::size_t{21}}) {
        if (first >= end) continue;
        std::vector<double> out(end - first);
        model.segment_costs_to_end(cache, first, end - first, end, out.data());
        for (std::size_t start = first; start < end; ++start) {
          const double single = model.segment_cost(cache, start, end);
          ASSERT_EQ(std::bit_cast<std::uint64_t>(out[start - first]),
                    std::bit_cast<std::uint64_t>(single))
              << C::name() << " d=" << d << " [" << start << ", " << end << ")";
        }
      }
    }
  }
}

TEST(BatchCostTest, EqualsSingleCosts) {
  expect_batch_equals_single(CostL2Mean{});
  expect_batch_equals_single(CostNormalMeanVar{});
}

// ---------------------------------------------------------------------------------------------
// Overflowing data: costs of segments touching squares beyond the f64 range must not look valid.

class OverflowTest : public ::testing::TestWithParam<core::ReproMode> {};

TEST_P(OverflowTest, SegmentsWithOverflowedSumsAreNonFinite) {
  const core::ReproMode mode = GetParam();
  const std::vector<double> one = {0.0, 1e160, 0.0, 1e160};
  const std::vector<double> two = {0.0, 0.0, 1e160, 1.0, 0.0, 2.0, 1e160, 3.0};
  const auto l2 = cache_of(CostL2Mean{mode}, one, 4, 1);
  const auto normal = cache_of(CostNormalMeanVar{mode}, one, 4, 1);
  const auto full1 = cache_of(CostNormalFullCov{mode}, one, 4, 1);
  const auto full2 = cache_of(CostNormalFullCov{mode}, two, 4, 2);
  EXPECT_EQ(CostL2Mean{mode}.segment_cost(l2, 0, 1), 0.0);
  for (std::size_t start = 0; start < 4; ++start) {
    for (std::size_t end = std::max<std::size_t>(start + 1, 2); end <= 4; ++end) {
      SCOPED_TRACE(::testing::Message() << "[" << start << ", " << end << ")");
      EXPECT_FALSE(std::isfinite(CostL2Mean{mode}.segment_cost(l2, start, end)));
      EXPECT_FALSE(std::isfinite(CostNormalMeanVar{mode}.segment_cost(normal, start, end)));
      EXPECT_FALSE(std::isfinite(CostNormalFullCov{mode}.segment_cost(full1, start, end)));
      EXPECT_FALSE(std::isfinite(CostNormalFullCov{mode}.segment_cost(full2, start, end)));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, OverflowTest,
                         ::testing::Values(core::ReproMode::Strict, core::ReproMode::Balanced));

// ---------------------------------------------------------------------------------------------
// L1 median.

TEST(L1MedianTest, WorkedExamples) {
  const CostL1Median model;
  EXPECT_EQ(cost_of(model, {1.0, 2.0, 10.0}, 3, 1, 0, 3), 9.0);
  EXPECT_EQ(cost_of(model, {1.0, 2.0, 3.0, 100.0}, 4, 1, 0, 4), 100.0);
  EXPECT_EQ(cost_of(model, {100.0, 3.0, 1.0, 2.0}, 4, 1, 0, 4), 100.0);
  EXPECT_EQ(cost_of(model, {2.5, -4.0}, 2, 1, 0, 2), 6.5);
  EXPECT_EQ(cost_of(model, {2.5, -4.0}, 2, 1, 1, 2), 0.0);
  // Two dimensions add: (1, 2, 10) and (5, 5, 6).
  EXPECT_EQ(cost_of(model, {1.0, 5.0, 2.0, 5.0, 10.0, 6.0}, 3, 2, 0, 3), 10.0);
}

TEST(L1MedianTest, SelectionLeavesTheCacheUntouched) {
  const CostL1Median model;
  const std::vector<double> rows = {9.0, 1.0, 5.0, 3.0, 7.0};
  const auto cache = cache_of(model, rows, 5, 1);
  EXPECT_EQ(model.segment_cost(cache, 0, 5), 12.0);
  EXPECT_EQ(cache.values, rows);
}

// ---------------------------------------------------------------------------------------------
// Normal mean-variance.

NormalCache normal_cache(double s1, double s2) { return NormalCache{{0.0, s1}, {0.0, s2}, 1, 1}; }

TEST(NormalMeanVarTest, ZeroVarianceCostsTheFloor) {
  const CostNormalMeanVar model;
  const std::vector<double> rows = {3.0, 1.0, 3.0, 1.0, 3.0, 1.0, 3.0, 1.0};
  const auto cache = cache_of(model, rows, 4, 2);
  EXPECT_EQ(model.segment_cost(cache, 1, 2), 2.0 * std::log(kVarianceFloor));
  EXPECT_EQ(model.segment_cost(cache, 0, 4), 4.0 * std::log(kVarianceFloor) * 2.0);
}

TEST(NormalMeanVarTest, TwoDimensionsAddTheirLogVariances) {
  // Dimension 0: 0, 2 (variance 1); dimension 1: 0, 6 (variance 9).
  const CostNormalMeanVar model;
  EXPECT_EQ(cost_of(model, {0.0, 0.0, 2.0, 6.0}, 2, 2, 0, 2),
            2.0 * std::log(1.0) + std::log(9.0) * 2.0);
}

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

TEST(NormalFullCovTest, OneDimensionIsTheMeanVarianceFormula) {
  const std::vector<double> rows = samples::uniform_rows(9, 1, 4);
  const auto full = cache_of(CostNormalFullCov{}, rows, 9, 1);
  const auto normal = cache_of(CostNormalMeanVar{}, rows, 9, 1);
  for (std::size_t s = 0; s < 9; ++s) {
    for (std::size_t e = s + 1; e <= 9; ++e) {
      EXPECT_EQ(CostNormalFullCov{}.segment_cost(full, s, e),
                CostNormalMeanVar{}.segment_cost(normal, s, e));
    }
  }
}

TEST(NormalFullCovTest, OneRowOfSmallIntegers) {
  for (std::size_t d : {2u, 3u, 5u}) {
    std::vector<double> rows;
    for (std::size_t t = 0; t < 3; ++t) {
      for (std::size_t j = 0; j < d; ++j) rows.push_back(static_cast<double>((t * 7 + j) % 5));
    }
    const double df = static_cast<double>(d);
    const double lambda = ((df - 1.0) / df + 1.0) * kVarianceFloor;
    EXPECT_EQ(cost_of(CostNormalFullCov{}, rows, 3, d, 1, 2), std::log(lambda) * df) << d;
  }
}

TEST(NormalFullCovTest, IdenticalDimensionsUseTheRelativeRidge) {
  // Both dimensions 0, 2, 0, 2: variance v = 1, covariance all ones (singular).
  const std::vector<double> rows = {0.0, 0.0, 2.0, 2.0, 0.0, 0.0, 2.0, 2.0};
  const double v = 1.0;
  const double want = 4.0 * (2.0 * std::log(v) + std::log((1.0 + 1e-6) * (1.0 + 1e-6) - 1.0));
  EXPECT_NEAR(cost_of(CostNormalFullCov{}, rows, 4, 2, 0, 4), want, 1e-8);
}

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

TEST(NormalFullCovTest, LogDeterminantOfAWellConditionedMatrix) {
  std::vector<double> matrix = {4.0, 2.0, 2.0, 3.0};  // determinant 8
  std::vector<double> scratch(4);
  EXPECT_NEAR(regularized_logdet_with_scratch(matrix, scratch, 2, 0.0), std::log(8.0), 1e-9);
}

TEST(NormalFullCovTest, WorkspaceReuseMatchesAFreshThread) {
  const std::vector<double> small = samples::uniform_rows(8, 2, 31);
  const std::vector<double> large = samples::uniform_rows(8, 5, 32);
  const CostNormalFullCov model;
  double fresh = 0.0;
  std::thread([&] { fresh = cost_of(model, small, 8, 2, 1, 7); }).join();
  double reused = 0.0;
  std::thread([&] {
    (void)cost_of(model, large, 8, 5, 0, 8);
    reused = cost_of(model, small, 8, 2, 1, 7);
  }).join();
  EXPECT_EQ(reused, fresh);
  EXPECT_EQ(cost_of(model, small, 8, 2, 1, 7), fresh);
}

// ---------------------------------------------------------------------------------------------

TEST(SegmentPreconditionTest, ViolationsStopBeforeReading) {
  const auto cache = cache_of(CostL2Mean{}, {1.0, 2.0, 3.0}, 3, 1);
  try {
    (void)CostL2Mean{}.segment_cost(cache, 2, 2);
    FAIL() << "no internal error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "segment_cost requires start < end; got start=2, end=2");
  }
  try {
    (void)CostL2Mean{}.segment_cost(cache, 0, 4);
    FAIL() << "no internal error";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "segment_cost end out of bounds: end=4, n=3");
  }
}

}  // namespace
}  // namespace ovrel::costs
