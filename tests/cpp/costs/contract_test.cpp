// The contract every cost model keeps, checked once over the eight models with a row per model
// for what differs, and the shared helpers behind it: planning, validation, reading, prefix
// tables.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "costs/series_samples.hpp"
#include "ovrel/costs/ar.hpp"
#include "ovrel/costs/cosine.hpp"
#include "ovrel/costs/l1.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/model.hpp"
#include "ovrel/costs/nig.hpp"
#include "ovrel/costs/normal.hpp"
#include "ovrel/costs/rank.hpp"
#include "test_data.hpp"

namespace ovrel::costs {
namespace {

using U = std::uint64_t;
constexpr std::size_t kMax = SIZE_MAX;

// What differs between the models: texts, the effective parameter count at d = 3 and the first d
// whose count overflows, and the planned cache bytes (prefix tables of `per_entry` bytes for each
// of the (n + 1) * d entries, unless the row says otherwise).
struct Row {
  std::string type;
  std::string name;
  std::size_t params_at_3;
  std::size_t first_overflowing_d;
  U per_entry;
  U (*planned)(U n, U d) = nullptr;
};

template <class C>
const Row kRow;
template <>
const Row kRow<CostL2Mean>{"CostL2Mean", "l2_mean", 6, kMax / 2 + 1, 16};
template <>
const Row kRow<CostL1Median>{"CostL1Median", "l1_median", 6,
                             kMax / 2 + 1,   0,           [](U n, U d) { return n * d * 8; }};
template <>
const Row kRow<CostNormalMeanVar>{"CostNormalMeanVar", "normal_mean_var", 9, kMax / 3 + 1, 16};
// d + d(d + 1)/2 + 1: d(d + 1) overflows first, at d = 2^32.
template <>
const Row kRow<CostNormalFullCov>{
    "CostNormalFullCov", "normal_full_cov", 10, U{1} << 32, 0, [](U n, U d) {
      return ((n + 1) * d * (d + 3) / 2) * 8;
    }};
template <>
const Row kRow<CostAR>{"CostAR", "ar", 9, kMax / 3 + 1, 24};
template <>
const Row kRow<CostNIGMarginal>{"CostNIGMarginal", "nig_marginal", 9, kMax / 3 + 1, 24};
template <>
const Row kRow<CostCosine>{"CostCosine", "cosine", 4, kMax, 8};
template <>
const Row kRow<CostRank>{"CostRank", "rank", 6, kMax / 2 + 1, 16};

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

// The bytes the built tables hold, whichever of them the model's cache has.
template <class Cache>
std::size_t table_bytes(const Cache& c) {
  std::size_t entries = 0;
  if constexpr (requires { c.prefix_sum; }) entries += c.prefix_sum.size();
  if constexpr (requires { c.prefix_sum_sq; }) entries += c.prefix_sum_sq.size();
  if constexpr (requires { c.prefix_cross; }) entries += c.prefix_cross.size();
  if constexpr (requires { c.prefix_lag_product; }) entries += c.prefix_lag_product.size();
  if constexpr (requires { c.prefix_count; }) entries += c.prefix_count.size();
  if constexpr (requires { c.prefix_unit_sum; }) entries += c.prefix_unit_sum.size();
  if constexpr (requires { c.values; }) entries += c.values.size();
  return entries * 8;
}

template <class C>
std::vector<double> all_costs(const C& model, const core::TimeSeriesView& view) {
  const auto cache = model.precompute(view, core::CachePolicy::full()).value();
  std::vector<double> out;
  for (std::size_t s = 0; s < view.n(); ++s) {
    for (std::size_t e = s + 1; e <= view.n(); ++e) out.push_back(model.segment_cost(cache, s, e));
  }
  return out;
}

template <class C>
class CostContract : public ::testing::Test {};

using Models = ::testing::Types<CostL2Mean, CostL1Median, CostNormalMeanVar, CostNormalFullCov,
                                CostAR, CostNIGMarginal, CostCosine, CostRank>;
TYPED_TEST_SUITE(CostContract, Models);

TYPED_TEST(CostContract, NameAndParameterCount) {
  const Row& r = kRow<TypeParam>;
  const TypeParam model = with_mode<TypeParam>(core::kDefaultReproMode);
  EXPECT_EQ(TypeParam::name(), r.name);
  EXPECT_EQ(TypeParam::missing_support(), core::MissingSupport::Reject);
  EXPECT_EQ(model.penalty_effective_params(3), r.params_at_3);
  EXPECT_TRUE(model.penalty_effective_params(r.first_overflowing_d - 1).has_value());
  EXPECT_EQ(model.penalty_effective_params(r.first_overflowing_d), std::nullopt);
}

// The exact planned size passes a budget, one byte less is refused with the model's text, an
// approximate policy is refused whatever its limit, and the tables hold what was planned.
TYPED_TEST(CostContract, CachePlanningAndTableSizes) {
  const Row& r = kRow<TypeParam>;
  const TypeParam model = with_mode<TypeParam>(core::kDefaultReproMode);
  const std::size_t n = 17;
  for (std::size_t d : {1u, 2u, 3u}) {
    SCOPED_TRACE(d);
    OwnedSeries s(samples::uniform_rows(n, d, 5), n, d, Layout::C, Width::F64);
    const U bytes = r.planned ? r.planned(n, d) : (n + 1) * d * r.per_entry;
    const auto cache = model.precompute(s.view(), core::CachePolicy::budgeted(bytes));
    ASSERT_TRUE(cache);
    EXPECT_EQ(table_bytes(*cache), bytes);
    EXPECT_EQ(cache->n, n);
    EXPECT_EQ(cache->d, d);
    expect_error(model.precompute(s.view(), core::CachePolicy::budgeted(bytes - 1)),
                 core::ErrorKind::ResourceLimit,
                 r.type + " cache requires " + std::to_string(bytes) + " bytes, exceeds budget " +
                     std::to_string(bytes - 1) + " bytes");
    expect_error(model.precompute(s.view(), core::CachePolicy::approximate(1ULL << 40, 0.5)),
                 core::ErrorKind::NotSupported,
                 r.type + " does not support CachePolicy::Approximate");
  }
}

TYPED_TEST(CostContract, ValidationAndReadFailures) {
  const Row& r = kRow<TypeParam>;
  const TypeParam model = with_mode<TypeParam>(core::kDefaultReproMode);
  const OwnedSeries missing(std::vector<double>{1.0, std::nan(""), 3.0, std::nan("")}, 4, 1,
                            Layout::C, Width::F64, core::MissingPolicy::Ignore);
  expect_error(model.validate(missing.view()), core::ErrorKind::InvalidInput,
               r.type + " does not support missing values: effective_missing_count=2");
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
  std::vector<double> ints = samples::uniform_rows(12, 3, 3, -20.0, 20.0);
  for (double& v : ints) v = std::round(v);
  const OwnedSeries small(ints, 12, 3, Layout::C, Width::F64);
  const auto strict = all_costs(with_mode<TypeParam>(core::ReproMode::Strict), small.view());
  for (core::ReproMode mode : {core::ReproMode::Balanced, core::ReproMode::Fast}) {
    EXPECT_EQ(all_costs(with_mode<TypeParam>(mode), small.view()), strict)
        << core::repro_mode_name(mode);
  }
}

// The batch form the detectors use between changes gives every segment_cost bit for bit, on
// every path (d = 1 is vectorised, d > 1 loops over dimensions).
TYPED_TEST(CostContract, BatchCostsEqualSingleCosts) {
  const TypeParam model = with_mode<TypeParam>(core::kDefaultReproMode);
  if constexpr (requires(double* out) { model.segment_costs_to_end({}, 0, 1, 1, out); }) {
    samples::expect_batch_equals_single(model, {1u, 2u, 3u}, 0.1);
  }
}

// ---------------------------------------------------------------------------------------------
// The shared helpers.

TEST(CachePlanningTest, ApproximateIsReportedBeforeAnOverflowingSize) {
  expect_error(plan_cache(core::CachePolicy::approximate(1, 0.1), std::nullopt, "CostL2Mean",
                          "L2Cache", SIZE_MAX, 1),
               core::ErrorKind::NotSupported,
               "CostL2Mean does not support CachePolicy::Approximate");
  for (const auto policy : {core::CachePolicy::full(), core::CachePolicy::budgeted(100)}) {
    expect_error(plan_cache(policy, prefix_table_bytes(SIZE_MAX, 1, 16), "CostL2Mean", "L2Cache",
                            SIZE_MAX, 1),
                 core::ErrorKind::ResourceLimit,
                 "cache size overflow while planning L2Cache for n=18446744073709551615, d=1");
  }
  EXPECT_EQ(cache_overflow_err(3, 4).message(),
            "cache size overflow while planning ARCache for n=3, d=4");
}

TEST(CachePlanningTest, PlannedSizesOverflowAtEveryStep) {
  EXPECT_EQ(prefix_table_bytes(SIZE_MAX, 1, 8), std::nullopt);             // n + 1
  EXPECT_EQ(prefix_table_bytes(1ULL << 32, 1ULL << 32, 8), std::nullopt);  // (n + 1) * d
  EXPECT_EQ(prefix_table_bytes((1ULL << 60) - 1, 1, 16), std::nullopt);    // * 16
  EXPECT_EQ(prefix_table_bytes((1ULL << 59) - 1, 1, 16), (1ULL << 59) * 16);
  EXPECT_EQ(value_copy_bytes(1ULL << 61, 1, 8), std::nullopt);
  EXPECT_EQ(value_copy_bytes((1ULL << 61) - 1, 1, 8), ((1ULL << 61) - 1) * 8);
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
// Strict keeps them. The same for the squares of 1e8, 1, 1, and for the tables a model builds.
TEST(PrefixTableTest, StrictSumsAndSumsOfSquaresAreCompensated) {
  const double big = 1e16;
  const std::vector<double> strict = {0.0, big, big, big + 2};
  const std::vector<double> plain = {0.0, big, big, big};
  const auto sums = [](std::vector<double> column, core::ReproMode mode, bool squares) {
    std::vector<double> out = {-1.0};  // appended after what is there
    if (squares) {
      append_prefix_sum_squares(column, mode, out);
    } else {
      append_prefix_sums(column, mode, out);
    }
    return std::vector<double>(out.begin() + 1, out.end());
  };
  EXPECT_EQ(sums({big, 1.0, 1.0}, core::ReproMode::Strict, false), strict);
  EXPECT_EQ(sums({big, 1.0, 1.0}, core::ReproMode::Balanced, false), plain);
  EXPECT_EQ(sums({1e8, 1.0, 1.0}, core::ReproMode::Strict, true), strict);
  EXPECT_EQ(sums({1e8, 1.0, 1.0}, core::ReproMode::Balanced, true), plain);

  // A leading 0 leaves the shift out of it.
  const OwnedSeries s(std::vector<double>{0.0, 1e8, 1.0, 1.0}, 4, 1, Layout::C, Width::F64);
  const auto cache =
      CostL2Mean{core::ReproMode::Strict}.precompute(s.view(), core::CachePolicy::full()).value();
  EXPECT_EQ(cache.prefix_sum_sq, (std::vector<double>{0.0, 0.0, big, big, big + 2}));
}

}  // namespace
}  // namespace ovrel::costs
