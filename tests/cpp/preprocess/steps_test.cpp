#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "ovrel/core/error.hpp"
#include "ovrel/preprocess/steps.hpp"
#include "preprocess/same_values.hpp"

namespace ovrel::preprocess {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();

// Row-major n-by-d noise around a trend, with some NaNs sprinkled in.
std::vector<double> noisy_series(std::size_t n, std::size_t d, unsigned seed, double nan_rate) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> v(n * d);
  for (std::size_t i = 0; i < n * d; ++i) {
    const double x = static_cast<double>(i / d);
    v[i] = unit(rng) < nan_rate ? kNaN
                                : 5.0 * static_cast<double>(i % d) + 0.3 * x - 0.01 * x * x +
                                      std::sin(x) + noise(rng);
  }
  return v;
}

std::vector<double> column(const std::vector<double>& v, std::size_t n, std::size_t d,
                           std::size_t j) {
  std::vector<double> col(n);
  for (std::size_t t = 0; t < n; ++t) col[t] = v[t * d + j];
  return col;
}

// The oracles' own helpers: the sorted non-NaN values, their median, and `f` applied to every
// non-NaN value in place.
std::vector<double> sorted_valid(const std::vector<double>& col) {
  std::vector<double> out;
  for (double x : col) {
    if (!std::isnan(x)) out.push_back(x);
  }
  std::sort(out.begin(), out.end());
  return out;
}

double median(std::vector<double> s) {
  std::sort(s.begin(), s.end());
  const std::size_t k = s.size();
  return k % 2 ? s[k / 2] : (s[k / 2 - 1] + s[k / 2]) / 2.0;
}

template <class F>
std::vector<double> map_valid(std::vector<double> col, F f) {
  for (double& x : col) {
    if (!std::isnan(x)) x = f(x);
  }
  return col;
}

void expect_error(const OvrelError& error, const std::string& message) {
  EXPECT_EQ(error, OvrelError::invalid_input(message));
}

// ---------------------------------------------------------------- detrend

// Linear, then polynomial degrees 1 to 3.
class DetrendTest : public ::testing::TestWithParam<std::size_t> {};

DetrendMethod method_of(std::size_t degree) {
  return degree == 0 ? DetrendMethod::linear() : DetrendMethod::polynomial(degree);
}

// The least-squares residuals are orthogonal to every power t^0..t^k of the valid rows.
TEST_P(DetrendTest, ResidualsSatisfyTheNormalEquations) {
  const std::size_t degree = std::max<std::size_t>(GetParam(), 1);
  const std::size_t n = 60, d = 2;
  std::vector<double> v = noisy_series(n, d, 11 + static_cast<unsigned>(GetParam()), 0.15);
  const std::vector<double> input = v;
  auto report = detrend(v, n, d, method_of(GetParam()));
  ASSERT_TRUE(report.has_value()) << report.error().display();
  const std::string text =
      GetParam() == 0 ? "Linear" : "Polynomial { degree: " + std::to_string(degree) + " }";
  EXPECT_EQ(*report, (StepReport{"detrend", {"method=" + text}}));
  for (std::size_t j = 0; j < d; ++j) {
    for (std::size_t power = 0; power <= degree; ++power) {
      long double dot = 0, norm = 0;
      for (std::size_t t = 0; t < n; ++t) {
        EXPECT_EQ(std::isnan(v[t * d + j]), std::isnan(input[t * d + j])) << t;
        if (std::isnan(input[t * d + j])) continue;
        const long double tp = std::pow(static_cast<long double>(t), power);
        dot += tp * v[t * d + j];
        norm += tp * tp;
      }
      EXPECT_NEAR(static_cast<double>(dot / std::sqrt(norm)), 0.0, 1e-7)
          << "degree=" << degree << " j=" << j << " power=" << power;
    }
  }
}

TEST_P(DetrendTest, ExactlyDeterminedFitLeavesZeros) {
  const std::size_t degree = std::max<std::size_t>(GetParam(), 1);
  std::vector<double> v = {2.5, kNaN, -1.0, 4.0, 0.5};
  std::size_t kept = 0;
  for (double& x : v) {
    if (!std::isnan(x) && kept++ > degree) x = kNaN;  // keep exactly degree + 1 samples
  }
  auto r = detrend(v, v.size(), 1, method_of(GetParam()));
  ASSERT_TRUE(r.has_value()) << r.error().display();
  for (double x : v) EXPECT_TRUE(std::isnan(x) || std::fabs(x) < 1e-9) << x;
}

INSTANTIATE_TEST_SUITE_P(Degrees, DetrendTest, ::testing::Values(0, 1, 2, 3));

// Refusals; a period too long leaves the input as it was.
TEST(StepRefusalTest, TooFewSamplesOrTooLongAPeriod) {
  const std::vector<double> input = {1.0, kNaN, 2.0, 5.0, 4.0, kNaN};
  std::vector<double> v = input;
  // Dimension 0 is fine, dimension 1 has one valid sample.
  expect_error(detrend(v, 3, 2, DetrendMethod::linear()).error(),
               "detrend linear requires at least 2 valid samples for dimension 1");
  v = input;
  expect_error(detrend(v, 3, 2, DetrendMethod::polynomial(3)).error(),
               "detrend polynomial degree 3 requires at least 4 valid samples for dimension 0");
  expect_error(deseasonalize(v, 3, 2, DeseasonalizeMethod::differencing(3)).error(),
               "deseasonalize differencing requires period < n, got period=3, n=3");
  expect_error(deseasonalize(v, 3, 2, DeseasonalizeMethod::stl_like(4)).error(),
               "deseasonalize stl_like requires period < n, got period=4, n=3");
  EXPECT_TRUE(SameValues(v, input));
}

// ---------------------------------------------------------------- deseasonalize

TEST(DifferencingTest, MatchesDirectLagDifference) {
  const std::size_t n = 40, d = 3, p = 7;
  std::vector<double> v = noisy_series(n, d, 5, 0.1);
  const std::vector<double> x = v;
  auto r = deseasonalize(v, n, d, DeseasonalizeMethod::differencing(p));
  ASSERT_TRUE(r.has_value());
  std::vector<double> want = x;
  for (std::size_t t = p; t < n; ++t) {
    for (std::size_t j = 0; j < d; ++j) want[t * d + j] = x[t * d + j] - x[(t - p) * d + j];
  }
  EXPECT_TRUE(SameValues(v, want));
  EXPECT_EQ(r->details,
            std::vector<std::string>{"differencing period=7; warmup prefix [0, 7) left unchanged"});
}

std::vector<double> naive_moving_average(const std::vector<double>& x, std::size_t w) {
  const long n = static_cast<long>(x.size()), h = static_cast<long>(w / 2);
  std::vector<double> out;
  for (long i = 0; i < n; ++i) {
    double sum = 0.0;
    double count = 0.0;
    for (long k = std::max(0L, i - h); k <= std::min(n - 1, i + h); ++k) {
      sum += std::isnan(x[k]) ? 0.0 : x[k];  // the sum starts at +0, so adding +0 is a no-op
      count += std::isnan(x[k]) ? 0.0 : 1.0;
    }
    out.push_back(count > 0 ? sum / count : kNaN);
  }
  return out;
}

TEST(MovingAverageTest, IgnoresNaNAndClipsAtTheEnds) {
  EXPECT_TRUE(SameValues(centered_moving_average_ignore_nan(std::vector{kNaN, kNaN, 3.0}, 3),
                         {kNaN, 3.0, 3.0}));
  const std::vector<double> x = noisy_series(50, 1, 9, 0.2);
  for (std::size_t w : {1, 3, 5, 49, 51, 101}) {
    EXPECT_TRUE(SameValues(centered_moving_average_ignore_nan(x, w), naive_moving_average(x, w)))
        << "w=" << w;
  }
}

TEST(StlLikeTest, TrendWindow) {
  // {period, n, window}
  for (auto [p, n, w] : std::vector<std::array<std::size_t, 3>>{{2, 4, 3},
                                                                {2, 100, 5},
                                                                {3, 6, 5},
                                                                {3, 7, 7},
                                                                {7, 100, 15},
                                                                {2, 3, 3},
                                                                {SIZE_MAX / 2 + 1, 10, 9}}) {
    EXPECT_EQ(stl_like_trend_window(p, n), w) << p << " " << n;
  }
}

// Worked by hand: column 0 is (1, NaN, 1, 3), column 1 is (1, 3, 1, 3); period 2, trend window 3.
// Column 0, first pass: trend (1, 1, 2, 2), detrended (0, NaN, -1, 1), seasonal (-0.5, 1) centred
// to (-0.75, 0.75); second pass: trend of (1.75, NaN, 1.75, 2.25) is (1.75, 1.75, 2, 2), seasonal
// (-0.875, 1) centred to (-0.9375, 0.9375). Column 1 ends with seasonal (-35/36, 35/36).
TEST(StlLikeTest, WorkedExample) {
  std::vector<double> v = {1.0, 1.0, kNaN, 3.0, 1.0, 1.0, 3.0, 3.0};
  auto r = deseasonalize(v, 4, 2, DeseasonalizeMethod::stl_like(2));
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(*r, (StepReport{"deseasonalize",
                            {"method=stl_like, period=2, trend_window=3, iterations=2"}}));
  EXPECT_TRUE(SameValues(column(v, 4, 2, 0), {1.9375, kNaN, 1.9375, 2.0625}));
  const std::vector<double> want = {71.0 / 36, 73.0 / 36, 71.0 / 36, 73.0 / 36};
  for (std::size_t t = 0; t < 4; ++t) EXPECT_NEAR(v[2 * t + 1], want[t], 1e-15) << t;
}

// ---------------------------------------------------------------- winsorize

// lo and hi are the order statistics of rank ceil(q*m) (1-based), q clipped to [0, 1].
TEST(WinsorizeTest, MatchesOrderStatisticClamp) {
  const std::size_t n = 37, d = 2;
  for (auto [lower, upper] : std::vector<std::pair<double, double>>{
           {0.0, 1.0}, {0.1, 0.9}, {0.25, 0.75}, {0.01, 0.02}, {0.5, 1.0}}) {
    std::vector<double> v = noisy_series(n, d, 4, 0.2);
    const std::vector<double> input = v;
    winsorize(v, n, d, WinsorizeConfig{lower, upper});
    for (std::size_t j = 0; j < d; ++j) {
      const std::vector<double> sorted = sorted_valid(column(input, n, d, j));
      const auto rank = [&](double q) {
        const double m = static_cast<double>(sorted.size());
        return sorted[static_cast<std::size_t>(std::clamp(std::ceil(q * m), 1.0, m)) - 1];
      };
      const double lo = rank(lower), hi = rank(upper);
      const std::vector<double> want = map_valid(
          column(input, n, d, j), [&](double x) { return std::min(std::max(x, lo), hi); });
      EXPECT_TRUE(SameValues(column(v, n, d, j), want)) << lower << " " << upper << " j=" << j;
    }
  }
  std::vector<double> one = {1.0};
  EXPECT_EQ(winsorize(one, 1, 1, WinsorizeConfig{0.05, 0.95}),
            (StepReport{"winsorize", {"lower_quantile=0.05, upper_quantile=0.95"}}));
}

// ---------------------------------------------------------------- robust scale

TEST(RobustScaleTest, MatchesMedianAndMadComputedDirectly) {
  for (std::size_t n : {1, 2, 7, 40}) {
    const std::size_t d = 2;
    std::vector<double> v = noisy_series(n, d, 8 + static_cast<unsigned>(n), n > 2 ? 0.2 : 0.0);
    const std::vector<double> input = v;
    auto r = robust_scale(v, n, d, RobustScaleConfig{1e-9, 1.4826});
    ASSERT_TRUE(r.has_value()) << r.error().display();
    EXPECT_EQ(*r,
              (StepReport{"robust_scale", {"mad_epsilon=0.000000001, normal_consistency=1.4826"}}));
    for (std::size_t j = 0; j < d; ++j) {
      const std::vector<double> valid = sorted_valid(column(input, n, d, j));
      const double med = median(valid);
      std::vector<double> dev;
      for (double x : valid) dev.push_back(std::fabs(x - med));
      const double scale = std::max(1.4826 * median(dev), 1e-9);
      const std::vector<double> want =
          map_valid(column(input, n, d, j), [&](double x) { return (x - med) / scale; });
      EXPECT_TRUE(SameValues(column(v, n, d, j), want)) << "n=" << n << " j=" << j;
    }
  }
}

TEST(RobustScaleTest, OverflowingScaleIsRefused) {
  std::vector<double> v = {0.0, -1.5e308, 0.0, 0.0, 0.0, 1.5e308};
  expect_error(robust_scale(v, 3, 2, RobustScaleConfig{1e-9, 1.4826}).error(),
               "robust scaling produced invalid scale for dimension 1: inf");
}

// The midpoint of the two middle values must not overflow when both are huge.
TEST(MedianTest, EvenCountOfHugeValuesStaysFinite) {
  EXPECT_EQ(median_of_slice(std::vector{kMax, kMax}), kMax);
  EXPECT_EQ(median_of_slice(std::vector{-kMax, -kMax}), -kMax);
  EXPECT_DOUBLE_EQ(*median_of_slice(std::vector{1.6e308, 1e308}), 1.3e308);
  EXPECT_EQ(median_of_slice(std::vector{3.0, 1.0, 2.0, 10.0}), 2.5);
  EXPECT_EQ(median_of_slice(std::vector<double>{}), std::nullopt);

  // Both values huge: the scaled result is the usual +-1/1.4826 rather than a refusal.
  std::vector<double> v = {1e308, 1.6e308};
  auto r = robust_scale(v, 2, 1, RobustScaleConfig{1e-9, 1.4826});
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_NEAR(v[0], -1.0 / 1.4826, 1e-12);
  EXPECT_NEAR(v[1], 1.0 / 1.4826, 1e-12);
}

// -0 sorts before +0: the middle of {-0, +0, 1} is +0, that of {-1, -0, +0} is -0.
TEST(MedianTest, SortsInTotalOrder) {
  EXPECT_TRUE(SameValues(std::vector{*median_of_slice(std::vector{0.0, 1.0, -0.0})}, {0.0}));
  EXPECT_TRUE(SameValues(std::vector{*median_of_slice(std::vector{0.0, -0.0, -1.0})}, {-0.0}));
}

}  // namespace
}  // namespace ovrel::preprocess
