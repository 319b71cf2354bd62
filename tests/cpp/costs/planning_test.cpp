// Validation, cache planning and value reading: the exact messages and kinds each model reports.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "costs/series_samples.hpp"
#include "ovrel/costs/l1.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/model.hpp"
#include "ovrel/costs/normal.hpp"

namespace ovrel::costs {
namespace {

std::uint64_t full_cov_bytes(std::uint64_t n, std::uint64_t d) {
  return ((n + 1) * d + (n + 1) * d * (d + 1) / 2) * 8;
}

// Runs the planning checks of model C on a small series for every policy that matters.
template <CostModel C>
void check_planning(std::size_t n, std::size_t d, std::uint64_t expected_bytes) {
  SCOPED_TRACE(std::string(C::kTypeName));
  const std::vector<double> rows = samples::uniform_rows(n, d, 5);
  OwnedSeries series(rows, n, d, Layout::C, Width::F64);
  const C model{};

  EXPECT_TRUE(model.precompute(series.view(), core::CachePolicy::full()));
  EXPECT_TRUE(model.precompute(series.view(), core::CachePolicy::budgeted(expected_bytes)));

  const auto short_one =
      model.precompute(series.view(), core::CachePolicy::budgeted(expected_bytes - 1));
  ASSERT_FALSE(short_one);
  EXPECT_EQ(short_one.error().kind(), ErrorKind::ResourceLimit);
  EXPECT_EQ(short_one.error().message(),
            std::string(C::kTypeName) + " cache requires " + std::to_string(expected_bytes) +
                " bytes, exceeds budget " + std::to_string(expected_bytes - 1) + " bytes");

  // Refused even when the cache would fit any budget.
  const auto approx =
      model.precompute(series.view(), core::CachePolicy::approximate(1ULL << 40, 0.5));
  ASSERT_FALSE(approx);
  EXPECT_EQ(approx.error().kind(), ErrorKind::NotSupported);
  EXPECT_EQ(approx.error().message(),
            std::string(C::kTypeName) + " does not support CachePolicy::Approximate");
}

TEST(CachePlanningTest, BudgetsAtTheExactSizePassAndOneByteShortFails) {
  for (std::size_t d : {1u, 2u, 5u}) {
    const std::size_t n = 17;
    check_planning<CostL2Mean>(n, d, (n + 1) * d * 16);
    check_planning<CostL1Median>(n, d, n * d * 8);
    check_planning<CostNormalMeanVar>(n, d, (n + 1) * d * 16);
    check_planning<CostNormalFullCov>(n, d, full_cov_bytes(n, d));
  }
}

TEST(CachePlanningTest, CacheTablesHaveThePlannedSize) {
  const std::size_t n = 9;
  const std::size_t d = 3;
  OwnedSeries series(samples::uniform_rows(n, d, 6), n, d, Layout::C, Width::F64);
  const auto l2 = CostL2Mean{}.precompute(series.view(), core::CachePolicy::full()).value();
  EXPECT_EQ((l2.prefix_sum.size() + l2.prefix_sum_sq.size()) * 8, (n + 1) * d * 16);
  const auto l1 = CostL1Median{}.precompute(series.view(), core::CachePolicy::full()).value();
  EXPECT_EQ(l1.values.size() * 8, n * d * 8);
  const auto nm = CostNormalMeanVar{}.precompute(series.view(), core::CachePolicy::full()).value();
  EXPECT_EQ((nm.prefix_sum.size() + nm.prefix_sum_sq.size()) * 8, (n + 1) * d * 16);
  const auto fc = CostNormalFullCov{}.precompute(series.view(), core::CachePolicy::full()).value();
  EXPECT_EQ((fc.prefix_sum.size() + fc.prefix_cross.size()) * 8, full_cov_bytes(n, d));
}

TEST(CachePlanningTest, ApproximateIsReportedBeforeAnOverflowingSize) {
  const auto approx = plan_cache(core::CachePolicy::approximate(1, 0.1), std::nullopt, "CostL2Mean",
                                 "L2Cache", SIZE_MAX, 1);
  ASSERT_FALSE(approx);
  EXPECT_EQ(approx.error().kind(), ErrorKind::NotSupported);
  EXPECT_EQ(approx.error().message(), "CostL2Mean does not support CachePolicy::Approximate");

  for (const auto policy : {core::CachePolicy::full(), core::CachePolicy::budgeted(100)}) {
    const auto overflow = plan_cache(policy, prefix_table_bytes(SIZE_MAX, 1, 16), "CostL2Mean",
                                     "L2Cache", SIZE_MAX, 1);
    ASSERT_FALSE(overflow);
    EXPECT_EQ(overflow.error().kind(), ErrorKind::ResourceLimit);
    EXPECT_EQ(overflow.error().message(),
              "cache size overflow while planning L2Cache for n=18446744073709551615, d=1");
  }
}

TEST(CachePlanningTest, PlannedSizesOverflowAtEveryStep) {
  EXPECT_EQ(prefix_table_bytes(SIZE_MAX, 1, 8), std::nullopt);             // n + 1
  EXPECT_EQ(prefix_table_bytes(1ULL << 32, 1ULL << 32, 8), std::nullopt);  // (n + 1) * d
  EXPECT_EQ(prefix_table_bytes((1ULL << 60) - 1, 1, 16), std::nullopt);    // * 16
  EXPECT_EQ(prefix_table_bytes((1ULL << 59) - 1, 1, 16), (1ULL << 59) * 16);
  EXPECT_EQ(value_copy_bytes(1ULL << 61, 1, 8), std::nullopt);
  EXPECT_EQ(value_copy_bytes((1ULL << 61) - 1, 1, 8), ((1ULL << 61) - 1) * 8);
}

TEST(ValidationTest, MissingValuesAreRefusedWithTheirCount) {
  const std::vector<double> values = {1.0, std::nan(""), 3.0, std::nan("")};
  auto view =
      core::TimeSeriesView::from_f64(values, 4, 1, core::MemoryLayout::c_contiguous(), std::nullopt,
                                     core::TimeIndex::none(), core::MissingPolicy::Ignore)
          .value();
  const auto expect = [&](core::Status status, const std::string& type) {
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().kind(), ErrorKind::InvalidInput);
    EXPECT_EQ(status.error().message(),
              type + " does not support missing values: effective_missing_count=2");
  };
  expect(CostL2Mean{}.validate(view), "CostL2Mean");
  expect(CostL1Median{}.validate(view), "CostL1Median");
  expect(CostNormalMeanVar{}.validate(view), "CostNormalMeanVar");
  expect(CostNormalFullCov{}.validate(view), "CostNormalFullCov");
}

TEST(ModelFactsTest, NamesSupportAndEffectiveParameters) {
  EXPECT_EQ(CostL2Mean::name(), "l2_mean");
  EXPECT_EQ(CostL1Median::name(), "l1_median");
  EXPECT_EQ(CostNormalMeanVar::name(), "normal_mean_var");
  EXPECT_EQ(CostNormalFullCov::name(), "normal_full_cov");
  EXPECT_EQ(CostL2Mean::missing_support(), core::MissingSupport::Reject);
  EXPECT_EQ(CostL1Median::missing_support(), core::MissingSupport::Reject);
  EXPECT_EQ(CostNormalMeanVar::missing_support(), core::MissingSupport::Reject);
  EXPECT_EQ(CostNormalFullCov::missing_support(), core::MissingSupport::Reject);

  constexpr std::size_t kMax = SIZE_MAX;
  EXPECT_EQ(CostL2Mean{}.penalty_effective_params(3), 6u);
  EXPECT_EQ(CostL2Mean{}.penalty_effective_params(kMax / 2), kMax - 1);
  EXPECT_EQ(CostL2Mean{}.penalty_effective_params(kMax / 2 + 1), std::nullopt);
  EXPECT_EQ(CostL1Median{}.penalty_effective_params(4), 8u);
  EXPECT_EQ(CostL1Median{}.penalty_effective_params(kMax / 2 + 1), std::nullopt);
  EXPECT_EQ(CostNormalMeanVar{}.penalty_effective_params(2), 6u);
  EXPECT_EQ(CostNormalMeanVar{}.penalty_effective_params(kMax / 3 + 1), std::nullopt);
  const CostNormalFullCov full;
  EXPECT_EQ(full.penalty_effective_params(1), 3u);
  EXPECT_EQ(full.penalty_effective_params(2), 6u);
  EXPECT_EQ(full.penalty_effective_params(3), 10u);
  EXPECT_EQ(full.penalty_effective_params(kMax), std::nullopt);        // d + 1
  EXPECT_EQ(full.penalty_effective_params(1ULL << 32), std::nullopt);  // d * (d + 1)
  // d = 2^32 - 1: d(d+1)/2 = 2^63 - 2^31 fits, and the whole sum does too.
  const std::size_t d = (1ULL << 32) - 1;
  EXPECT_EQ(full.penalty_effective_params(d), d + d * (d + 1) / 2 + 1);
}

// ---------------------------------------------------------------------------------------------
// Reading values.

struct StridedCase {
  std::size_t t;
  std::size_t dim;
  std::int64_t row_stride;
  std::int64_t col_stride;
  std::size_t len;
  std::string message;  // empty: success with the position below
  std::size_t position;
};

class StridedIndexTest : public ::testing::TestWithParam<StridedCase> {};

TEST_P(StridedIndexTest, ChecksInOrder) {
  const StridedCase& c = GetParam();
  const auto got = strided_linear_index(c.t, c.dim, c.row_stride, c.col_stride, c.len);
  if (c.message.empty()) {
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, c.position);
  } else {
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().kind(), ErrorKind::InvalidInput);
    EXPECT_EQ(got.error().message(), c.message);
  }
}

constexpr std::size_t kBig = (1ULL << 63);

INSTANTIATE_TEST_SUITE_P(
    Texts, StridedIndexTest,
    ::testing::Values(
        StridedCase{2, 1, 3, 1, 10, "", 7},
        StridedCase{kBig, kBig, 1, 1, 10,
                    "strided index overflow: t=9223372036854775808 does not fit into isize", 0},
        StridedCase{1, kBig, 1, 1, 10,
                    "strided index overflow: dim=9223372036854775808 does not fit into isize", 0},
        StridedCase{1ULL << 62, 0, 4, 1, 10,
                    "strided index overflow at t=4611686018427387904, dim=0, row_stride=4, "
                    "col_stride=1",
                    0},
        StridedCase{1, 1, INT64_MAX, 1, 10,
                    "strided index overflow at t=1, dim=1, row_stride=9223372036854775807, "
                    "col_stride=1",
                    0},
        StridedCase{1, 0, -1, 1, 3, "strided index negative at t=1, dim=0: idx=-1", 0},
        StridedCase{2, 1, 3, 2, 8, "strided index out of bounds at t=2, dim=1: idx=8, len=8", 0}));

TEST(ReadingTest, NegativeStrideFailsPrecomputeAtRowOne) {
  const std::vector<double> values = {1.0, 2.0, 3.0};
  auto view =
      core::TimeSeriesView::from_f64(values, 3, 1, core::MemoryLayout::strided(-1, 1), std::nullopt,
                                     core::TimeIndex::none(), core::MissingPolicy::Error)
          .value();
  const std::string want = "strided index negative at t=1, dim=0: idx=-1";
  const auto policy = core::CachePolicy::full();
  const auto check = [&](const auto& result) {
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ErrorKind::InvalidInput);
    EXPECT_EQ(result.error().message(), want);
  };
  check(CostL2Mean{}.precompute(view, policy));
  check(CostL1Median{}.precompute(view, policy));
  check(CostNormalMeanVar{}.precompute(view, policy));
  check(CostNormalFullCov{}.precompute(view, policy));
}

TEST(ReadingTest, RowMajorReadReportsTheFirstFailingElementInRowOrder) {
  // Element (0, 1) is at 0 + 5 = 5, beyond the 4 stored values; (1, 0) would be fine.
  const std::vector<double> values = {1.0, 2.0, 3.0, 4.0};
  auto view =
      core::TimeSeriesView::from_f64(values, 2, 2, core::MemoryLayout::strided(1, 5), std::nullopt,
                                     core::TimeIndex::none(), core::MissingPolicy::Error)
          .value();
  std::vector<double> out(4);
  const auto status = read_row_major(view, out);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().message(), "strided index out of bounds at t=0, dim=1: idx=5, len=4");
}

TEST(ReadingTest, EveryLayoutAndValueTypeReadsTheSameValues) {
  const std::size_t n = 6;
  const std::size_t d = 3;
  const std::vector<double> rows = samples::uniform_rows(n, d, 11);
  for (Layout layout : {Layout::C, Layout::F, Layout::Strided}) {
    for (Width kind : {Width::F32, Width::F64}) {
      OwnedSeries series(rows, n, d, layout, kind);
      std::vector<double> row_major(n * d);
      ASSERT_TRUE(read_row_major(series.view(), row_major));
      EXPECT_EQ(row_major, rows);
      for (std::size_t j = 0; j < d; ++j) {
        std::vector<double> col(n);
        ASSERT_TRUE(read_column(series.view(), j, col));
        for (std::size_t t = 0; t < n; ++t) {
          EXPECT_EQ(col[t], rows[t * d + j]);
          EXPECT_EQ(read_value(series.view(), t, j).value(), rows[t * d + j]);
        }
      }
    }
  }
}

TEST(ShiftTest, SubtractsTheFirstValueAndLeavesZeroStartsAlone) {
  std::vector<double> a = {5.0, 7.0, 4.0};
  EXPECT_EQ(shift_column(a), 5.0);
  EXPECT_EQ(a, (std::vector<double>{0.0, 2.0, -1.0}));
  std::vector<double> b = {0.0, 1.5, -2.0};
  EXPECT_EQ(shift_column(b), 0.0);
  EXPECT_EQ(b, (std::vector<double>{0.0, 1.5, -2.0}));
  std::vector<double> empty;
  EXPECT_EQ(shift_column(empty), 0.0);
}

}  // namespace
}  // namespace ovrel::costs
