#include "ovrel/costs/ar.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "costs/series_samples.hpp"
#include "ovrel/costs/model.hpp"

namespace ovrel::costs {
namespace {

using LD = long double;

static_assert(CostModel<CostAR>);

constexpr double kFloor = 2.220446049250313e-10;

// Order 1: least squares of x[t] on x[t-1] with intercept over the m - 1 pairs, by two-pass
// centred sums in long double.
double direct_ar1(const OwnedSeries& s, std::size_t start, std::size_t end) {
  const std::size_t m = end - start;
  if (m <= 2) return 0.0;
  const LD m1 = static_cast<LD>(m - 1);
  LD total = 0;
  for (std::size_t j = 0; j < s.d(); ++j) {
    LD xbar = 0, ybar = 0;
    for (std::size_t t = start + 1; t < end; ++t) {
      xbar += s.at(t - 1, j);
      ybar += s.at(t, j);
    }
    xbar /= m1;
    ybar /= m1;
    LD sxx = 0, syy = 0, sxy = 0;
    for (std::size_t t = start + 1; t < end; ++t) {
      const LD dx = s.at(t - 1, j) - xbar;
      const LD dy = s.at(t, j) - ybar;
      sxx += dx * dx;
      syy += dy * dy;
      sxy += dx * dy;
    }
    const LD res = sxx > 0 ? syy - sxy * sxy / sxx : syy;
    total += std::log(std::fmax(res / m1, static_cast<LD>(kFloor))) * m1;
  }
  return static_cast<double>(total);
}

// Order p > 1: the Yule-Walker equations of the segment's autocovariances (each lag over the same
// m - p products) solved by Gaussian elimination, then the residual variance of that predictor.
// Empty when the Toeplitz matrix of r[0..p] is not positive definite (the recursion would clamp a
// reflection coefficient there, which this oracle does not model).
std::optional<double> direct_yule_walker(const OwnedSeries& s, std::size_t p, std::size_t start,
                                         std::size_t end) {
  const std::size_t m = end - start;
  if (m <= p + 1) return 0.0;
  LD total = 0;
  for (std::size_t j = 0; j < s.d(); ++j) {
    std::vector<LD> x(m);
    LD mean = 0;
    for (std::size_t t = 0; t < m; ++t) mean += (x[t] = s.at(start + t, j));
    mean /= m;
    std::vector<LD> r(p + 1, 0);
    for (std::size_t k = 0; k <= p; ++k) {
      for (std::size_t t = p; t < m; ++t) r[k] += (x[t] - mean) * (x[t - k] - mean);
      r[k] /= static_cast<LD>(m - p);
    }
    // Positive definiteness of the (p + 1) x (p + 1) Toeplitz matrix, by Cholesky.
    std::vector<std::vector<LD>> l(p + 1, std::vector<LD>(p + 1, 0));
    for (std::size_t a = 0; a <= p; ++a) {
      for (std::size_t b = 0; b <= a; ++b) {
        LD v = r[a > b ? a - b : b - a];
        for (std::size_t k = 0; k < b; ++k) v -= l[a][k] * l[b][k];
        if (a == b) {
          if (!(v > 1e-9L * r[0])) return std::nullopt;
          l[a][a] = std::sqrt(v);
        } else {
          l[a][b] = v / l[b][b];
        }
      }
    }
    // Solve R a = r[1..p], R[i][k] = r[|i - k|], by elimination with partial pivoting.
    std::vector<std::vector<LD>> aug(p, std::vector<LD>(p + 1));
    for (std::size_t i = 0; i < p; ++i) {
      for (std::size_t k = 0; k < p; ++k) aug[i][k] = r[i > k ? i - k : k - i];
      aug[i][p] = r[i + 1];
    }
    for (std::size_t c = 0; c < p; ++c) {
      std::size_t piv = c;
      for (std::size_t i = c + 1; i < p; ++i) {
        if (std::fabs(aug[i][c]) > std::fabs(aug[piv][c])) piv = i;
      }
      std::swap(aug[c], aug[piv]);
      for (std::size_t i = 0; i < p; ++i) {
        if (i == c) continue;
        const LD f = aug[i][c] / aug[c][c];
        for (std::size_t k = c; k <= p; ++k) aug[i][k] -= f * aug[c][k];
      }
    }
    std::vector<LD> a(p);
    LD sa = 0;
    for (std::size_t i = 0; i < p; ++i) sa += (a[i] = aug[i][p] / aug[i][i]);
    const LD c = mean * (1 - sa);
    LD rss = 0;
    for (std::size_t t = p; t < m; ++t) {
      LD pred = c;
      for (std::size_t i = 0; i < p; ++i) pred += a[i] * x[t - 1 - i];
      rss += (x[t] - pred) * (x[t] - pred);
    }
    const LD fitted = static_cast<LD>(m - p);
    total += std::log(std::fmax(rss / fitted, static_cast<LD>(kFloor))) * fitted;
  }
  return static_cast<double>(total);
}

// An AR(1)-like random series: x[t] = 0.6 x[t-1] + noise.
std::vector<double> ar_rows(std::size_t n, std::size_t d, std::uint64_t seed, double offset) {
  std::vector<double> noise = samples::random_rows(n, d, seed);
  std::vector<double> out(n * d);
  for (std::size_t j = 0; j < d; ++j) {
    double prev = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
      prev = 0.6 * prev + noise[t * d + j];
      out[t * d + j] = offset + prev;
    }
  }
  return out;
}

ARCache build(const CostAR& model, const OwnedSeries& s) {
  auto cache = model.precompute(s.view(), core::CachePolicy::full());
  if (!cache) throw std::runtime_error(cache.error().message());
  return std::move(*cache);
}

class ARFormulaTest : public ::testing::TestWithParam<GridCase> {};

// The tolerances are the old absolute ones scaled by m: costs here are of the order of m.
TEST_P(ARFormulaTest, OrderOneMatchesTwoPassLeastSquares) {
  const GridCase c = GetParam();
  const OwnedSeries s(ar_rows(40, 2, 41, 3.0), 40, 2, c.layout, c.width);
  expect_oracle(
      CostAR{1, c.mode}, s, [&](auto a, auto b) { return direct_ar1(s, a, b); }, 1e-9);
}

TEST_P(ARFormulaTest, HigherOrdersMatchTheYuleWalkerSolution) {
  const GridCase c = GetParam();
  const OwnedSeries s(ar_rows(40, 2, 43, -1.0), 40, 2, c.layout, c.width);
  for (std::size_t p : {2u, 3u}) {
    const auto oracle = [&](auto a, auto b) { return direct_yule_walker(s, p, a, b); };
    EXPECT_GT(expect_oracle(CostAR{p, c.mode}, s, oracle, 1e-8), 700u) << p;
  }
}

INSTANTIATE_TEST_SUITE_P(Grid, ARFormulaTest, ::testing::ValuesIn(samples::full_grid()),
                         samples::grid_case_name);

TEST(ARCost, OrderOneKeepsItsPrecisionUnderALargeOffset) {
  // 1e8 plus unit noise: unshifted prefix sums of squares (about 1e16 per entry) would leave
  // the centred sums with errors of the order of the variance itself.
  const std::size_t n = 400;
  const OwnedSeries s(ar_rows(n, 1, 47, 1e8), n, 1, Layout::C, Width::F64);
  for (core::ReproMode mode : {core::ReproMode::Strict, core::ReproMode::Balanced}) {
    const CostAR model{1, mode};
    const ARCache cache = build(model, s);
    for (std::size_t start : {0u, 13u, 150u, 390u}) {
      for (std::size_t end : {start + 3, start + 10, n}) {
        if (end > n) continue;
        EXPECT_NEAR(model.segment_cost(cache, start, end), direct_ar1(s, start, end),
                    1e-6 * static_cast<double>(end - start))
            << ovrel::core::repro_mode_name(mode) << " [" << start << ", " << end << ")";
      }
    }
  }
}

TEST(ARCost, ShortSegmentsCostZero) {
  const OwnedSeries s(samples::random_rows(10, 2, 1), 10, 2, Layout::C, Width::F64);
  for (std::size_t p : {1u, 2u, 4u}) {
    const CostAR model{p};
    const ARCache cache = build(model, s);
    for (std::size_t m = 1; m <= p + 1; ++m) EXPECT_EQ(model.segment_cost(cache, 3, 3 + m), 0.0);
    EXPECT_NE(model.segment_cost(cache, 3, 3 + p + 2), 0.0);
  }
  const CostAR huge{std::numeric_limits<std::size_t>::max()};
  const auto cache = huge.precompute(s.view(), core::CachePolicy::full());
  ASSERT_TRUE(cache);
  EXPECT_EQ(huge.segment_cost(*cache, 0, 10), 0.0);
}

TEST(ARCost, ConstantAndNoiselessSegmentsReachTheVarianceFloor) {
  std::vector<double> rows(12, 2.5);
  double v = 1.0;
  for (std::size_t t = 0; t < 12; ++t, v *= 0.5) rows.push_back(v);
  const OwnedSeries s(rows, 24, 1, Layout::C, Width::F64);
  const ARCache c1 = build(CostAR{1}, s);
  const ARCache c2 = build(CostAR{2}, s);
  EXPECT_EQ(CostAR{1}.segment_cost(c1, 0, 12), std::log(kFloor) * 11.0);
  EXPECT_EQ(CostAR{2}.segment_cost(c2, 0, 12), std::log(kFloor) * 10.0);
  // x[t] = 0.5 x[t-1]: an exact fit.
  EXPECT_EQ(CostAR{1}.segment_cost(c1, 12, 24), std::log(kFloor) * 11.0);
}

TEST(ARCost, AlternatingSignsClampTheReflectionAndStayFinite) {
  std::vector<double> rows;
  for (std::size_t t = 0; t < 16; ++t) rows.push_back(t % 2 == 0 ? 1.0 : -1.0);
  const OwnedSeries s(rows, 16, 1, Layout::C, Width::F64);
  const ARCache cache = build(CostAR{2}, s);
  const double cost = CostAR{2}.segment_cost(cache, 0, 16);
  EXPECT_TRUE(std::isfinite(cost));
  EXPECT_LT(cost, 0.0);
}

TEST(ARCost, OverflowGivesNaNInsteadOfAPerfectFit) {
  // Sums that overflow leave no usable statistics; the detector must see NaN rather than the
  // variance floor of a perfect fit.
  const OwnedSeries s(std::vector<double>{1.0, 1.5e308, 1.5e308, 1.5e308, 1.5e308}, 5, 1, Layout::C,
                      Width::F64);
  for (core::ReproMode mode : {core::ReproMode::Strict, core::ReproMode::Balanced}) {
    for (std::size_t p : {1u, 2u}) {
      const CostAR model{p, mode};
      const ARCache cache = build(model, s);
      EXPECT_TRUE(std::isnan(model.segment_cost(cache, 0, 5))) << p;
    }
  }
  // An overflowing square sum with a finite sum is capped, as documented: a large finite cost.
  const OwnedSeries capped(std::vector<double>{0.0, 1e160, -1e160, 0.0, 5.0}, 5, 1, Layout::C,
                           Width::F64);
  const CostAR model{1};
  const ARCache cache = build(model, capped);
  EXPECT_EQ(model.segment_cost(cache, 0, 5), std::log(std::numeric_limits<double>::max()) * 4.0);
}

// What the contract suite does not see: the order check, the cache of higher orders, and the
// parameter count of large orders.
TEST(ARCost, OrderRules) {
  const std::size_t n = 13;
  const std::size_t d = 3;
  const OwnedSeries s(samples::random_rows(n, d, 12), n, d, Layout::F, Width::F32);
  const std::string no_order = "CostAR requires order >= 1; got order=0";
  expect_error(CostAR{0}.validate(s.view()), core::ErrorKind::InvalidInput, no_order);
  expect_error(CostAR{0}.precompute(s.view(), core::CachePolicy::approximate(8, 0.1)),
               core::ErrorKind::InvalidInput, no_order);
  EXPECT_TRUE(CostAR{3}.precompute(s.view(), core::CachePolicy::budgeted(n * d * 8)));
  expect_error(CostAR{3}.precompute(s.view(), core::CachePolicy::budgeted(n * d * 8 - 1)),
               core::ErrorKind::ResourceLimit,
               "CostAR cache requires 312 bytes, exceeds budget 311 bytes");
  const ARCache three = build(CostAR{3}, s);
  ASSERT_TRUE(three.series.has_value());
  EXPECT_EQ(three.series->size(), n * d);
  EXPECT_TRUE(three.prefix_sum.empty() && three.prefix_sum_sq.empty() &&
              three.prefix_lag_product.empty());
  EXPECT_EQ((*three.series)[2 * n + 5], s.at(5, 2));
  const OwnedSeries strided(std::vector<double>{1.0, 2.0, 3.0, 4.0}, 2, 2,
                            core::MemoryLayout::strided(-1, 1));
  expect_error(CostAR{2}.precompute(strided.view(), core::CachePolicy::full()),
               core::ErrorKind::InvalidInput, "strided index negative at t=1, dim=0: idx=-1");
  EXPECT_EQ(CostAR{3}.penalty_effective_params(2), 10u);
  EXPECT_EQ(CostAR{SIZE_MAX - 1}.penalty_effective_params(1), SIZE_MAX);
  EXPECT_EQ(CostAR{SIZE_MAX}.penalty_effective_params(2), std::nullopt);
}

}  // namespace
}  // namespace ovrel::costs
