#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "core/table_test.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/preprocess/pipeline.hpp"
#include "ovrel/preprocess/steps.hpp"
#include "preprocess/same_values.hpp"

namespace ovrel::preprocess {
namespace {

using core::MemoryLayout;
using core::MissingPolicy;
using core::TimeIndex;
using core::TimeSeriesView;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TimeSeriesView view_of(std::span<const double> values, std::size_t n, std::size_t d,
                       MemoryLayout layout = MemoryLayout::c_contiguous(),
                       std::optional<std::span<const std::uint8_t>> mask = std::nullopt,
                       TimeIndex time = TimeIndex::none()) {
  auto v = TimeSeriesView::from_f64(values, n, d, layout, mask, time, MissingPolicy::Ignore);
  if (!v) throw std::runtime_error(v.error().display());
  return *v;
}

PreprocessPipeline pipeline_of(PreprocessConfig config) {
  auto p = PreprocessPipeline::create(std::move(config));
  if (!p) throw std::runtime_error(p.error().display());
  return *p;
}

// Rows of preprocess_layouts.txt: one series in every layout and both element types.
OVREL_ROW_SUITE(FlattenLayoutTest, "preprocess_layouts.txt", 9);

TEST_P(FlattenLayoutTest, RowMajorCopy) {
  const auto& r = GetParam();
  ASSERT_EQ(r.size(), 5u);
  const std::vector<double> wide = test_support::numbers<double>(r[3]);
  const std::vector<float> narrow = test_support::numbers<float>(r[3]);
  const core::ValueBuffer buffer =
      r[2] == "f32" ? core::ValueBuffer::of_f32(narrow) : core::ValueBuffer::of_f64(wide);
  auto view = TimeSeriesView::create(buffer, 3, 2, test_support::layout_of(r[1]), std::nullopt,
                                     TimeIndex::uniform(-5, 2), MissingPolicy::Error);
  ASSERT_TRUE(view.has_value()) << view.error().display();
  auto out = pipeline_of({}).apply(*view);
  if (!test_support::outcome_is(out, r[4] == "ok", r[4])) return;
  EXPECT_TRUE(SameValues(out->values, std::vector{1.0, 2.0, 3.0, 4.0, 5.0, 6.0}));
  EXPECT_EQ(out->time, (OwnedTimeIndex{core::TimeIndexKind::Uniform, -5, 2, {}}));
  EXPECT_EQ(out->missing_mask, std::vector<std::uint8_t>(6, 0));
  EXPECT_TRUE(out->reports.empty());
  EXPECT_EQ(std::tuple(out->n, out->d, out->missing), std::tuple(3u, 2u, MissingPolicy::Error));
}

TEST(PipelineApplyTest, MissingValuesFromNaNAndMaskFollowTheSourcePosition) {
  // F layout: element (t, j) at t + 3j. Position 1 is (1, 0) masked, position 5 is (2, 1) NaN.
  const std::vector<double> x = {1.0, 2.0, 3.0, 4.0, 5.0, kNaN};
  const std::vector<std::uint8_t> mask = {0, 1, 0, 0, 0, 0};
  auto out = pipeline_of({}).apply(view_of(x, 3, 2, MemoryLayout::f_contiguous(), mask));
  ASSERT_TRUE(out.has_value());
  EXPECT_TRUE(SameValues(out->values, std::vector{1.0, 4.0, kNaN, 5.0, 3.0, kNaN}));
  EXPECT_EQ(out->missing_mask, (std::vector<std::uint8_t>{0, 0, 1, 0, 0, 1}));
  EXPECT_EQ(x[1], 2.0);  // the input is untouched
}

TEST(PipelineApplyTest, StepsRunInChainOrderWithTheirReports) {
  const std::size_t n = 48, d = 2;
  std::vector<double> x(n * d);
  for (std::size_t i = 0; i < x.size(); ++i) {
    x[i] = std::sin(0.7 * static_cast<double>(i)) * 3.0 + 0.05 * static_cast<double>(i * i % 17);
  }
  x[7] = kNaN;
  const std::vector<double> input = x;
  const PreprocessConfig config{DetrendMethod::polynomial(2), DeseasonalizeMethod::stl_like(6),
                                WinsorizeConfig{0.05, 0.95}, RobustScaleConfig{1e-9, 1.4826}};
  auto out = pipeline_of(config).apply(view_of(x, n, d));
  ASSERT_TRUE(out.has_value()) << out.error().display();

  std::vector<double> want = input;
  const std::vector<StepReport> reports = {
      // braced: evaluated in this order
      *detrend(want, n, d, *config.detrend), *deseasonalize(want, n, d, *config.deseasonalize),
      winsorize(want, n, d, *config.winsorize), *robust_scale(want, n, d, *config.robust_scale)};
  EXPECT_TRUE(SameValues(out->values, want));
  EXPECT_EQ(out->reports, reports);
  EXPECT_TRUE(SameValues(x, input));
}

TEST(PipelineApplyTest, AllMissingDimensionPassesEveryStep) {
  const std::vector<double> x = {1.0, kNaN, 4.0, kNaN, 2.0, kNaN, 8.0, kNaN, 3.0, kNaN};
  for (const DetrendMethod& detrend : {DetrendMethod::linear(), DetrendMethod::polynomial(3)}) {
    const PreprocessConfig config{detrend, DeseasonalizeMethod::stl_like(2),
                                  WinsorizeConfig{0.0, 1.0}, RobustScaleConfig{1.0, 1.0}};
    auto out = pipeline_of(config).apply(view_of(x, 5, 2));
    ASSERT_TRUE(out.has_value()) << out.error().display();
    EXPECT_EQ(out->reports.size(), 4u);
    for (std::size_t t = 0; t < 5; ++t) EXPECT_TRUE(std::isnan(out->values[2 * t + 1]));
  }
}

// What validation refuses, creation refuses; a step's refusal is the pipeline's.
TEST(PipelineApplyTest, RefusalsAreReturned) {
  EXPECT_EQ(PreprocessPipeline::create({DetrendMethod::polynomial(4), {}, {}, {}}).error(),
            OvrelError::invalid_input("DetrendMethod::Polynomial degree must be in 1..=3, got 4"));
  const std::vector<double> x = {1.0, 2.0, 3.0};
  EXPECT_EQ(pipeline_of({{}, DeseasonalizeMethod::differencing(5), {}, {}})
                .apply(view_of(x, 3, 1))
                .error(),
            OvrelError::invalid_input(
                "deseasonalize differencing requires period < n, got period=5, n=3"));
}

// The view borrows the output's values, mask (only when it marks something) and time stamps,
// which the output copied from its input.
TEST(AsViewTest, BorrowsTheOutput) {
  const std::vector<double> x = {1.0, 2.0, 3.0, 4.0};
  for (const std::vector<std::uint8_t>& mask : {std::vector<std::uint8_t>(4, 0), {0, 0, 1, 0}}) {
    std::vector<std::int64_t> stamps = {3, 1};
    auto out = pipeline_of({}).apply(
        view_of(x, 2, 2, MemoryLayout::f_contiguous(), mask, TimeIndex::explicit_times(stamps)));
    ASSERT_TRUE(out.has_value());
    stamps[0] = 99;
    auto v = out->as_view();
    ASSERT_TRUE(v.has_value()) << v.error().display();
    EXPECT_EQ(v->layout(), MemoryLayout::c_contiguous());
    EXPECT_EQ(v->values().as_f64().data(), out->values.data());
    EXPECT_EQ(v->missing(), MissingPolicy::Ignore);
    EXPECT_EQ(v->n_missing(), mask[2]);
    EXPECT_EQ(v->missing_mask() ? v->missing_mask()->data() : nullptr,
              mask[2] == 1 ? out->missing_mask.data() : nullptr);
    ASSERT_EQ(v->time().kind, core::TimeIndexKind::Explicit);
    EXPECT_EQ(v->time().times.data(), out->time.times.data());
    EXPECT_EQ(out->time.times, (std::vector<std::int64_t>{3, 1}));
  }
}

TEST(AsViewTest, NaNProducedByAStepIsRefusedUnderPolicyError) {
  // Differencing makes rows 1 and 2 NaN from the NaN at row 1; only row 1 is in the mask.
  const std::vector<double> x = {1.0, kNaN, 6.0};
  PreprocessConfig config;
  config.deseasonalize = DeseasonalizeMethod::differencing(1);
  auto out = pipeline_of(config).apply(view_of(x, 3, 1));
  ASSERT_TRUE(out.has_value());
  EXPECT_TRUE(SameValues(out->values, std::vector{1.0, kNaN, kNaN}));

  out->missing = MissingPolicy::Error;
  auto v = out->as_view();
  ASSERT_FALSE(v.has_value());
  EXPECT_EQ(v.error(),
            OvrelError::invalid_input("missing data encountered with MissingPolicy::Error: "
                                      "effective_missing_count=2, mask_missing_count=1, "
                                      "nan_missing_count=2, first_missing_index=1"));
}

}  // namespace
}  // namespace ovrel::preprocess
