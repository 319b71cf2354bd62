// The preprocessing steps against direct computations of what they do, on noisy series with missing
// values; then the chain as a whole: its configuration checks, what it makes of small hand-made
// series in every layout (tables under tests/data), and the view it hands on.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "core/table_test.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/preprocess/pipeline.hpp"
#include "ovrel/preprocess/steps.hpp"

namespace ovrel::preprocess {
namespace {

using core::MemoryLayout;
using core::MissingPolicy;
using core::TimeIndex;
using core::TimeSeriesView;
using test_support::kNaN;
using test_support::numbers;

bool same(std::span<const double> got, const std::vector<double>& want) {
  return std::ranges::equal(got, want, test_support::same_bits);
}

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

// The sorted non-NaN values, and their median.
std::vector<double> sorted_valid(std::vector<double> col) {
  std::erase_if(col, [](double x) { return std::isnan(x); });
  std::sort(col.begin(), col.end());
  return col;
}

double median(const std::vector<double>& s) {
  const std::vector<double> v = sorted_valid(s);
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2.0;
}

// After `step` on a copy of `input`, each column is `f(column)` of the input's non-NaN values.
template <class Step, class F>
void expect_columns(const std::vector<double>& input, std::size_t n, std::size_t d, Step step,
                    F f) {
  std::vector<double> v = input;
  step(v);
  for (std::size_t j = 0; j < d; ++j) {
    std::vector<double> got, want;
    for (std::size_t t = 0; t < n; ++t)
      got.push_back(v[t * d + j]), want.push_back(input[t * d + j]);
    const auto map = f(want);
    for (double& x : want) x = std::isnan(x) ? x : map(x);
    EXPECT_TRUE(same(got, want)) << "j=" << j;
  }
}

// The least-squares residuals are orthogonal to every power t^0..t^k of the valid rows.
// Degree 0 stands for the linear method.
class DetrendTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(DetrendTest, ResidualsSatisfyTheNormalEquations) {
  const std::size_t n = 60, d = 2, degree = std::max<std::size_t>(GetParam(), 1);
  std::vector<double> v = noisy_series(n, d, 11 + static_cast<unsigned>(GetParam()), 0.15);
  const std::vector<double> input = v;
  const auto method = GetParam() ? DetrendMethod::polynomial(degree) : DetrendMethod::linear();
  ASSERT_TRUE(detrend(v, n, d, method).has_value());
  for (std::size_t j = 0; j < d; ++j) {
    for (std::size_t power = 0; power <= degree; ++power) {
      long double dot = 0, norm = 0;
      for (std::size_t t = 0; t < n; ++t) {
        if (std::isnan(input[t * d + j])) continue;
        const long double tp = std::pow(static_cast<long double>(t), power);
        dot += tp * v[t * d + j];
        norm += tp * tp;
      }
      EXPECT_NEAR(static_cast<double>(dot / std::sqrt(norm)), 0.0, 1e-7) << j << " " << power;
    }
  }
  EXPECT_TRUE(std::ranges::equal(
      v, input, [](double a, double b) { return std::isnan(a) == std::isnan(b); }));
}

INSTANTIATE_TEST_SUITE_P(Degrees, DetrendTest, ::testing::Range<std::size_t>(0, 4));

TEST(MovingAverageTest, IgnoresNaNAndClipsAtTheEnds) {
  const std::vector<double> x = noisy_series(50, 1, 9, 0.2);
  for (std::size_t w : {1, 3, 5, 49, 51, 101}) {
    const long n = 50, h = static_cast<long>(w / 2);
    std::vector<double> want;
    for (long i = 0; i < n; ++i) {
      const auto first = x.begin() + std::max(0L, i - h), last = x.begin() + std::min(n, i + h + 1);
      const auto count = std::count_if(first, last, [](double v) { return !std::isnan(v); });
      double sum = 0.0;  // in the order of the series, from +0
      for (auto it = first; it != last; ++it) sum += std::isnan(*it) ? 0.0 : *it;
      want.push_back(count == 0 ? kNaN : sum / static_cast<double>(count));
    }
    EXPECT_TRUE(same(centered_moving_average_ignore_nan(x, w), want)) << "w=" << w;
  }
}

TEST(StlLikeTest, TrendWindow) {
  using Row = std::array<std::size_t, 3>;  // {period, n, window}
  for (auto [p, n, w] : {Row{2, 4, 3}, Row{2, 100, 5}, Row{3, 6, 5}, Row{3, 7, 7}, Row{7, 100, 15},
                         Row{2, 3, 3}, Row{SIZE_MAX / 2 + 1, 10, 9}}) {
    EXPECT_EQ(stl_like_trend_window(p, n), w) << p << " " << n;
  }
}

// lo and hi are the order statistics of rank ceil(q*m) (1-based), q clipped to [0, 1].
TEST(WinsorizeTest, MatchesOrderStatisticClamp) {
  const std::size_t n = 37, d = 2;
  for (auto [lower, upper] : std::vector<std::pair<double, double>>{
           {0.0, 1.0}, {0.1, 0.9}, {0.25, 0.75}, {0.01, 0.02}, {0.5, 1.0}}) {
    SCOPED_TRACE(std::to_string(lower) + " " + std::to_string(upper));
    const auto step = [&](std::vector<double>& v) { winsorize(v, n, d, {lower, upper}); };
    expect_columns(noisy_series(n, d, 4, 0.2), n, d, step, [&](const std::vector<double>& col) {
      const std::vector<double> sorted = sorted_valid(col);
      const auto rank = [&](double q) {
        const double m = static_cast<double>(sorted.size());
        return sorted[static_cast<std::size_t>(std::clamp(std::ceil(q * m), 1.0, m)) - 1];
      };
      return
          [lo = rank(lower), hi = rank(upper)](double x) { return std::min(std::max(x, lo), hi); };
    });
  }
}

TEST(RobustScaleTest, MatchesMedianAndMadComputedDirectly) {
  for (std::size_t n : {1, 2, 7, 40}) {
    SCOPED_TRACE(n);
    const std::vector<double> input =
        noisy_series(n, 2, 8 + static_cast<unsigned>(n), n > 2 ? 0.2 : 0.0);
    const auto step = [&](std::vector<double>& v) {
      ASSERT_TRUE(robust_scale(v, n, 2, {1e-9, 1.4826}));
    };
    expect_columns(input, n, 2, step, [](const std::vector<double>& col) {
      const double med = median(col);
      std::vector<double> dev;
      for (double x : sorted_valid(col)) dev.push_back(std::fabs(x - med));
      const double scale = std::max(1.4826 * median(dev), 1e-9);
      return [med, scale](double x) { return (x - med) / scale; };
    });
  }
}

// The midpoint of the two middle values must not overflow when both are huge; -0 sorts before
// +0: the middle of {-0, +0, 1} is +0, that of {-1, -0, +0} is -0.
TEST(MedianTest, HugeValuesAndSignedZeros) {
  EXPECT_DOUBLE_EQ(*median_of_slice(std::vector{1.6e308, 1e308}), 1.3e308);
  EXPECT_EQ(median_of_slice(std::vector<double>{}), std::nullopt);
  EXPECT_TRUE(test_support::same_bits(*median_of_slice(std::vector{0.0, 1.0, -0.0}), 0.0));
  EXPECT_TRUE(test_support::same_bits(*median_of_slice(std::vector{0.0, -0.0, -1.0}), -0.0));
}

TimeSeriesView view_of(std::span<const double> values, std::size_t n, std::size_t d,
                       MemoryLayout layout = MemoryLayout::c_contiguous(),
                       std::optional<std::span<const std::uint8_t>> mask = std::nullopt,
                       TimeIndex time = TimeIndex::none()) {
  return TimeSeriesView::from_f64(values, n, d, layout, mask, time, MissingPolicy::Ignore).value();
}

PreprocessPipeline pipeline_of(PreprocessConfig config) {
  return PreprocessPipeline::create(std::move(config)).value();
}

// The steps of a table row, fields 1 to 4: detrend, deseasonalize, winsorize, robust_scale.
PreprocessConfig config_of(const std::vector<std::string>& r) {
  PreprocessConfig config;
  const auto number = [](const std::string& t) { return std::stoull(t.substr(t.find(' '))); };
  if (r.at(1) == "linear") config.detrend = DetrendMethod::linear();
  if (r[1].starts_with("polynomial")) config.detrend = DetrendMethod::polynomial(number(r[1]));
  if (r.at(2).starts_with("diff"))
    config.deseasonalize = DeseasonalizeMethod::differencing(number(r[2]));
  if (r[2].starts_with("stl")) config.deseasonalize = DeseasonalizeMethod::stl_like(number(r[2]));
  const auto w = numbers<double>(r.at(3)), s = numbers<double>(r.at(4));
  if (r[3] != "-") config.winsorize = WinsorizeConfig{w.at(0), w.at(1)};
  if (r[4] != "-") config.robust_scale = RobustScaleConfig{s.at(0), s.at(1)};
  return config;
}

OVREL_ROW_SUITE(ConfigValidationTest, "preprocess_config.txt", 32);

TEST_P(ConfigValidationTest, FirstFailingCheckDecides) {
  const auto& r = GetParam();
  ASSERT_EQ(r.size(), 6u);
  const PreprocessConfig config = config_of(r);
  test_support::outcome_is(config.validate(), r[5] == "ok", r[5]);
  // What validation refuses, creation refuses.
  EXPECT_EQ(PreprocessPipeline::create(config).has_value(), r[5] == "ok");
}

OVREL_ROW_SUITE(ApplyTest, "preprocess_apply.txt", 24);

TEST_P(ApplyTest, OutputAndReports) {
  const auto& r = GetParam();
  ASSERT_EQ(r.size(), 10u);
  const std::string layout = r[5].ends_with(" f32") ? r[5].substr(0, r[5].size() - 4) : r[5];
  const std::vector<double> x = numbers<double>(r[7]);
  const std::vector<float> narrow = numbers<float>(r[7]);
  const std::size_t d = std::stoull(r[6]), n = x.size() / d;
  const auto policy = r[7].contains("nan") ? MissingPolicy::Ignore : MissingPolicy::Error;
  auto view = TimeSeriesView::create(
      layout == r[5] ? core::ValueBuffer::of_f64(x) : core::ValueBuffer::of_f32(narrow), n, d,
      test_support::layout_of(layout), std::nullopt, TimeIndex::uniform(-5, 2), policy);
  ASSERT_TRUE(view.has_value()) << view.error().display();
  auto out = pipeline_of(config_of(r)).apply(*view);
  if (!test_support::outcome_is(out, r[8] != "refused", r[9])) return;
  std::string details;
  for (const StepReport& report : out->reports) {
    details += (details.empty() ? "" : " / ") + report.details.at(0);
  }
  EXPECT_EQ(details.empty() ? "-" : details, r[9]);
  EXPECT_EQ(std::tuple(out->n, out->d, out->missing), std::tuple(n, d, policy));
  EXPECT_EQ(out->time, (OwnedTimeIndex{core::TimeIndexKind::Uniform, -5, 2, {}}));
  const double tolerance = r[8].starts_with("~") ? std::strtod(r[8].c_str() + 1, nullptr) : 0.0;
  const std::vector<double> want =
      numbers<double>(r[8].substr(r[8].starts_with("~") ? r[8].find(' ') : 0));
  ASSERT_EQ(want.size(), out->values.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(out->missing_mask[i], std::isnan(x[i]));  // the input's own, unchanged by steps
    const double got = out->values[i];
    EXPECT_TRUE(tolerance > 0 && !std::isnan(want[i]) ? std::fabs(got - want[i]) <= tolerance
                                                      : test_support::same_bits(got, want[i]))
        << i << ": " << got;
  }
}

TEST(PipelineApplyTest, StepsRunInChainOrder) {
  const std::size_t n = 48, d = 2;
  const std::vector<double> x = noisy_series(n, d, 3, 0.05);
  const PreprocessConfig config{DetrendMethod::polynomial(2), DeseasonalizeMethod::stl_like(6),
                                WinsorizeConfig{0.05, 0.95}, RobustScaleConfig{1e-9, 1.4826}};
  auto out = pipeline_of(config).apply(view_of(x, n, d));
  ASSERT_TRUE(out.has_value()) << out.error().display();
  std::vector<double> want = x;
  const std::vector<StepReport> reports = {
      // braced: evaluated in this order
      *detrend(want, n, d, *config.detrend), *deseasonalize(want, n, d, *config.deseasonalize),
      winsorize(want, n, d, *config.winsorize), *robust_scale(want, n, d, *config.robust_scale)};
  EXPECT_TRUE(same(out->values, want));
  EXPECT_EQ(out->reports, reports);
}

// The output holds masked values as NaN, row-major; its view borrows the output's values, mask
// (only when it marks something) and time stamps, which the output copied from its input.
TEST(AsViewTest, MaskedValuesAndTheBorrowedOutput) {
  const std::vector<double> x = {1.0, 2.0, 3.0, 4.0, 5.0, 6.0};  // F layout: (t, j) at t + 3j
  for (const std::vector<std::uint8_t>& mask :
       {std::vector<std::uint8_t>(6, 0), {0, 1, 0, 0, 0, 0}}) {
    std::vector<std::int64_t> stamps = {3, 1, 2};
    auto out = pipeline_of({}).apply(
        view_of(x, 3, 2, MemoryLayout::f_contiguous(), mask, TimeIndex::explicit_times(stamps)));
    ASSERT_TRUE(out.has_value());
    stamps[0] = 99;
    EXPECT_TRUE(same(out->values, {1.0, 4.0, mask[1] ? kNaN : 2.0, 5.0, 3.0, 6.0}));
    EXPECT_EQ(out->missing_mask, (std::vector<std::uint8_t>{0, 0, mask[1], 0, 0, 0}));
    auto v = out->as_view();
    ASSERT_TRUE(v.has_value()) << v.error().display();
    EXPECT_EQ(v->layout(), MemoryLayout::c_contiguous());
    EXPECT_EQ(v->values().as_f64().data(), out->values.data());
    EXPECT_EQ(v->missing(), MissingPolicy::Ignore);
    EXPECT_EQ(v->n_missing(), mask[1]);
    EXPECT_EQ(v->missing_mask() ? v->missing_mask()->data() : nullptr,
              mask[1] == 1 ? out->missing_mask.data() : nullptr);
    ASSERT_EQ(v->time().kind, core::TimeIndexKind::Explicit);
    EXPECT_EQ(v->time().times.data(), out->time.times.data());
    EXPECT_EQ(out->time.times, (std::vector<std::int64_t>{3, 1, 2}));
  }
}

TEST(AsViewTest, NaNProducedByAStepIsRefusedUnderPolicyError) {
  // Differencing makes rows 1 and 2 NaN from the NaN at row 1; only row 1 is in the mask.
  const std::vector<double> x = {1.0, kNaN, 6.0};
  auto out =
      pipeline_of({{}, DeseasonalizeMethod::differencing(1), {}, {}}).apply(view_of(x, 3, 1));
  ASSERT_TRUE(out.has_value());
  out->missing = MissingPolicy::Error;
  EXPECT_EQ(out->as_view().error(),
            OvrelError::invalid_input("missing data encountered with MissingPolicy::Error: "
                                      "effective_missing_count=2, mask_missing_count=1, "
                                      "nan_missing_count=2, first_missing_index=1"));
}

}  // namespace
}  // namespace ovrel::preprocess
