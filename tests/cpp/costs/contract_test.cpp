// The contract every cost model keeps, checked once over the eight models with a row per model
// (tests/data/costs_models.txt) for what differs, and the shared helpers behind it: planning,
// reading, prefix tables.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "core/table_test.hpp"
#include "costs/series_samples.hpp"
#include "ovrel/costs/ar.hpp"
#include "ovrel/costs/cosine.hpp"
#include "ovrel/costs/l1.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/model.hpp"
#include "ovrel/costs/nig.hpp"
#include "ovrel/costs/normal.hpp"
#include "ovrel/costs/rank.hpp"

namespace ovrel::costs {
namespace {

// The row of model C, found by its name.
template <class C>
std::vector<std::string> row_of() {
  for (const auto& r : test_support::data_rows("costs_models.txt")) {
    if (r.at(0) == C::name() && r.size() == 5) return r;
  }
  throw std::runtime_error("no row for " + std::string(C::name()));
}

template <class C>
C with_mode(core::ReproMode mode) {
  if constexpr (std::is_same_v<C, CostAR>) {
    return CostAR{1, mode};
  } else if constexpr (std::is_same_v<C, CostNIGMarginal>) {
    return CostNIGMarginal{NIGPrior{}, mode};
  } else {
    return C{mode};
  }
}

template <class C>
class CostContract : public ::testing::Test {};

using Models = ::testing::Types<CostL2Mean, CostL1Median, CostNormalMeanVar, CostNormalFullCov,
                                CostAR, CostNIGMarginal, CostCosine, CostRank>;
TYPED_TEST_SUITE(CostContract, Models);

TYPED_TEST(CostContract, NameAndParameterCount) {
  const auto r = row_of<TypeParam>();
  const TypeParam model = with_mode<TypeParam>(core::kDefaultReproMode);
  EXPECT_EQ(TypeParam::missing_support(), core::MissingSupport::Reject);
  EXPECT_EQ(model.penalty_effective_params(3), std::stoull(r[2]));
  EXPECT_TRUE(model.penalty_effective_params(std::stoull(r[3]) - 1).has_value());
  EXPECT_EQ(model.penalty_effective_params(std::stoull(r[3])), std::nullopt);
}

// The exact planned size passes a budget, one byte less is refused with the model's text, an
// approximate policy is refused whatever its limit.
TYPED_TEST(CostContract, CachePlanning) {
  const auto r = row_of<TypeParam>();
  const TypeParam model = with_mode<TypeParam>(core::kDefaultReproMode);
  const std::vector<double> bytes = test_support::numbers<double>(r[4]);
  for (std::size_t d : {1u, 2u, 3u}) {
    OwnedSeries s(uniform_rows(17, d, 5), 17, d);
    const auto b = static_cast<std::uint64_t>(bytes.at(d - 1));
    EXPECT_TRUE(model.precompute(s.view(), core::CachePolicy::budgeted(b)).has_value()) << d;
    expect_error(model.precompute(s.view(), core::CachePolicy::budgeted(b - 1)),
                 core::ErrorKind::ResourceLimit,
                 r[1] + " cache requires " + std::to_string(b) + " bytes, exceeds budget " +
                     std::to_string(b - 1) + " bytes");
    expect_error(model.precompute(s.view(), core::CachePolicy::approximate(1ULL << 40, 0.5)),
                 core::ErrorKind::NotSupported,
                 r[1] + " does not support CachePolicy::Approximate");
  }
}

TYPED_TEST(CostContract, ValidationAndReadFailures) {
  const TypeParam model = with_mode<TypeParam>(core::kDefaultReproMode);
  const OwnedSeries missing(std::vector<double>{1.0, std::nan(""), 3.0, std::nan("")}, 4, 1,
                            Layout::C, Width::F64, core::MissingPolicy::Ignore);
  expect_error(
      model.validate(missing.view()), core::ErrorKind::InvalidInput,
      row_of<TypeParam>()[1] + " does not support missing values: effective_missing_count=2");
  const OwnedSeries strided(std::vector<double>{1.0, 2.0, 3.0, 4.0}, 2, 2,
                            core::MemoryLayout::strided(-1, 1));
  const std::string negative = "strided index negative at t=1, dim=0: idx=-1";
  expect_error(model.precompute(strided.view(), core::CachePolicy::full()),
               core::ErrorKind::InvalidInput, negative);
  // The cosine model's validation reads every value (for finiteness), so it reports them too.
  if constexpr (std::is_same_v<TypeParam, CostCosine>) {
    expect_error(model.validate(strided.view()), core::ErrorKind::InvalidInput, negative);
  }
}

// Small integers give the same costs, bit for bit, in every repro mode (the oracle grid checks
// every layout and width against each model's formula).
TYPED_TEST(CostContract, ModesAgreeOnSmallIntegers) {
  // Unit rows of integers are not integers: the cosine model's modes may differ in the last bit.
  if constexpr (std::is_same_v<TypeParam, CostCosine>) return;
  std::vector<double> ints = uniform_rows(12, 3, 3, -20.0, 20.0);
  for (double& v : ints) v = std::round(v);
  const OwnedSeries small(ints, 12, 3);
  const auto costs = [&](core::ReproMode mode) {
    const TypeParam model = with_mode<TypeParam>(mode);
    const auto cache = model.precompute(small.view(), core::CachePolicy::full()).value();
    std::vector<double> out;
    for (std::size_t s = 0; s < 12; ++s) {
      for (std::size_t e = s + 1; e <= 12; ++e) out.push_back(model.segment_cost(cache, s, e));
    }
    return out;
  };
  for (core::ReproMode mode : {core::ReproMode::Balanced, core::ReproMode::Fast}) {
    EXPECT_EQ(costs(mode), costs(core::ReproMode::Strict)) << core::repro_mode_name(mode);
  }
}

// The batch form the detectors use between changes gives every segment_cost bit for bit, on
// every path (d = 1 is vectorised, d > 1 loops over dimensions).
TYPED_TEST(CostContract, BatchCostsEqualSingleCosts) {
  const TypeParam model = with_mode<TypeParam>(core::kDefaultReproMode);
  if constexpr (requires(double* out) { model.segment_costs_to_end({}, 0, 1, 1, out); }) {
    for (double constant : {0.1, 2.5}) expect_batch_equals_single(model, {1u, 2u, 3u}, constant);
  }
}

// ---------------------------------------------------------------------------------------------
// The shared helpers.

TEST(CachePlanningTest, ApproximateIsReportedBeforeAnOverflowingSize) {
  const auto plan = [](core::CachePolicy policy) {
    return plan_cache(policy, prefix_table_bytes(SIZE_MAX, 1, 16), "CostL2Mean", "L2Cache",
                      SIZE_MAX, 1);
  };
  expect_error(plan(core::CachePolicy::approximate(1, 0.1)), core::ErrorKind::NotSupported,
               "CostL2Mean does not support CachePolicy::Approximate");
  for (const auto policy : {core::CachePolicy::full(), core::CachePolicy::budgeted(100)}) {
    expect_error(plan(policy), core::ErrorKind::ResourceLimit,
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
  EXPECT_EQ(cache_overflow_err(3, 4).message(),
            "cache size overflow while planning ARCache for n=3, d=4");
}

TEST(ReadingTest, StridedIndexChecksInOrder) {
  const auto rows = test_support::data_rows("costs_strided_index.txt");
  ASSERT_EQ(rows.size(), 7u);
  for (const auto& r : rows) {
    const auto got =
        strided_linear_index(std::stoull(r.at(0)), std::stoull(r.at(1)), std::stoll(r.at(2)),
                             std::stoll(r.at(3)), std::stoull(r.at(4)));
    if (r.at(5).find(' ') == std::string::npos) {
      EXPECT_EQ(got.value(), std::stoull(r[5]));
    } else {
      expect_error(got, core::ErrorKind::InvalidInput, r[5]);
    }
  }
}

TEST(ReadingTest, ReadsReportTheFirstFailingElementInRowOrder) {
  // Element (0, 1) is at 0 + 5 = 5, beyond the 4 stored values; (1, 0) would be fine.
  const OwnedSeries s(std::vector<double>{1.0, 2.0, 3.0, 4.0}, 2, 2,
                      core::MemoryLayout::strided(1, 5));
  std::vector<double> out(4);
  expect_error(read_row_major(s.view(), out), core::ErrorKind::InvalidInput,
               "strided index out of bounds at t=0, dim=1: idx=5, len=4");
  expect_error(read_value(s.view(), 1, 1), core::ErrorKind::InvalidInput,
               "strided index out of bounds at t=1, dim=1: idx=6, len=4");
  EXPECT_EQ(read_value(s.view(), 1, 0).value(), 2.0);
}

// 1e16 + 1 + 1: the plain sum loses both ones (the spacing at 1e16 is 2), the compensated sum of
// Strict keeps them; the same for the squares of 1e8, 1, 1, in the tables a model builds (a
// leading 0 leaves the shift out of it).
TEST(PrefixTableTest, StrictSumsAndSumsOfSquaresAreCompensated) {
  const double big = 1e16;
  const OwnedSeries s(std::vector<double>{0.0, 1e8, 1.0, 1.0}, 4, 1);
  for (const auto mode : {core::ReproMode::Strict, core::ReproMode::Balanced}) {
    const double last = mode == core::ReproMode::Strict ? big + 2 : big;
    const std::vector<double> want = {0.0, 0.0, big, big, last};
    std::vector<double> sums = {0.0}, squares = {0.0};  // appended after what is there
    append_prefix_sums(std::vector{big, 1.0, 1.0}, mode, sums);
    append_prefix_sum_squares(std::vector{1e8, 1.0, 1.0}, mode, squares);
    EXPECT_EQ(sums, want);
    EXPECT_EQ(squares, want);
    EXPECT_EQ(CostL2Mean{mode}.precompute(s.view(), core::CachePolicy::full())->prefix_sum_sq,
              want);
  }
}

}  // namespace
}  // namespace ovrel::costs
