#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/table_test.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/numerics.hpp"

namespace ovrel::core {
namespace {

using test_support::kInf;
using test_support::kNaN;
constexpr auto same = test_support::same_bits;

// ---------------------------------------------------------------------------------------------
// log_add_exp

OVREL_ROW_SUITE(LogAddExpTest, "core_log_add_exp.txt", 10);

TEST_P(LogAddExpTest, CasesInOrderAndSymmetric) {
  const auto& r = GetParam();
  const auto x = test_support::numbers<double>(r.at(1) + " " + r.at(2) + " " + r.at(3));
  EXPECT_TRUE(same(log_add_exp(x[0], x[1]), x[2])) << log_add_exp(x[0], x[1]);
  EXPECT_TRUE(same(log_add_exp(x[1], x[0]), x[2])) << log_add_exp(x[1], x[0]);
}

TEST(LogAddExpTest, MatchesTheDirectFormulaWhereItIsRepresentable) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> dist(-30.0, 30.0);
  for (int i = 0; i < 1000; ++i) {
    const double a = dist(rng);
    const double b = dist(rng);
    const double direct = std::log(std::exp(a) + std::exp(b));
    EXPECT_NEAR(log_add_exp(a, b), direct, 4e-15 * std::fmax(1.0, std::fabs(direct)));
  }
}

// ---------------------------------------------------------------------------------------------
// Prefix sums

struct BuilderCase {
  const char* name;
  decltype(&prefix_sums) build;
  decltype(&prefix_sums_into) into;
  bool squares;
};

const BuilderCase kBuilders[] = {
    {"Plain", prefix_sums, prefix_sums_into, false},
    {"Compensated", prefix_sums_kahan, prefix_sums_kahan_into, false},
    {"Squares", prefix_sum_squares, prefix_sum_squares_into, true},
    {"SquaresCompensated", prefix_sum_squares_kahan, prefix_sum_squares_kahan_into, true},
};

class PrefixBuilderTest : public ::testing::TestWithParam<BuilderCase> {};

TEST_P(PrefixBuilderTest, SmallIntegersEmptyInputAndNaN) {
  const std::vector<double> empty = GetParam().build({});
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_TRUE(same(empty[0], 0.0));
  const std::vector<double> expected =
      GetParam().squares ? std::vector<double>{0, 1, 5, 14} : std::vector<double>{0, 1, 3, 6};
  EXPECT_EQ(GetParam().build(std::vector<double>{1.0, 2.0, 3.0}), expected);
  // NaN poisons every later entry.
  const std::vector<double> out =
      GetParam().build(std::vector<double>{1.0, 2.0, kNaN, 4.0, -1e300});
  ASSERT_EQ(out.size(), 6u);
  EXPECT_FALSE(std::isnan(out[2]));
  for (std::size_t i = 3; i < out.size(); ++i) EXPECT_TRUE(std::isnan(out[i])) << i;
}

TEST_P(PrefixBuilderTest, IntoMatchesTheOwnedListAndChecksItsBlock) {
  const std::vector<double> x = {1e16, 1.0, -1e16, 0.1, 3.0, -2.5};
  std::vector<double> block(x.size() + 1, 99.0);
  GetParam().into(x, block);
  const std::vector<double> owned = GetParam().build(x);
  for (std::size_t i = 0; i < block.size(); ++i) EXPECT_TRUE(same(block[i], owned[i])) << i;
  std::vector<double> wrong(x.size());
  EXPECT_THROW(GetParam().into(x, wrong), InternalError);
}

INSTANTIATE_TEST_SUITE_P(Builders, PrefixBuilderTest, ::testing::ValuesIn(kBuilders),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PrefixSumsTest, OverflowingSquareIsInfinitePlainButNaNCompensated) {
  const std::vector<double> x = {1.0, 2e154, 1.0};
  const std::vector<double> plain = prefix_sum_squares(x);
  const std::vector<double> compensated = prefix_sum_squares_kahan(x);
  EXPECT_EQ(plain[1], 1.0);
  EXPECT_EQ(compensated[1], 1.0);
  for (std::size_t i : {2, 3}) {
    EXPECT_EQ(plain[i], kInf);
    EXPECT_TRUE(std::isnan(compensated[i]));
  }
}

// Oracle: large multiples of 2^40 mixed with small integers (the squares builders share the
// compensated sum, with their own term). Every partial sum is an integer
// below 2^57, so the exact prefix sums are known in 64-bit integers. Each addition error of
// the compensated builder is exact and small, so its compensation stays exact and every entry must
// be the exact sum rounded once; the plain builder must match the rounded left-to-right sums.
TEST(PrefixSumsTest, CompensatedEntriesAreTheExactSumsRoundedOnce) {
  std::mt19937_64 rng(2024);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<double> x(1 + rng() % 60);
    for (double& v : x) {
      const std::int64_t small = static_cast<std::int64_t>(rng() % 2001) - 1000;
      const std::int64_t large = (static_cast<std::int64_t>(rng() % 2001) - 1000) << 40;
      v = static_cast<double>(rng() % 2 == 0 ? small : large);
    }
    const std::vector<double> compensated = prefix_sums_kahan(x);
    const std::vector<double> plain = prefix_sums(x);
    std::int64_t exact = 0;
    double running = 0.0;
    EXPECT_EQ(compensated[0], 0.0);
    for (std::size_t i = 0; i < x.size(); ++i) {
      exact += static_cast<std::int64_t>(x[i]);
      running = running + x[i];
      EXPECT_EQ(compensated[i + 1], static_cast<double>(exact)) << "trial " << trial << " i " << i;
      EXPECT_TRUE(same(plain[i + 1], running));
    }
  }
}

}  // namespace
}  // namespace ovrel::core
