#include "ovrel/costs/rank.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "costs/series_samples.hpp"
#include "ovrel/costs/model.hpp"

namespace ovrel::costs {
namespace {

static_assert(CostModel<CostRank>);

bool total_less(double a, double b) {
  if (a != b) return a < b;
  return std::signbit(a) && !std::signbit(b);  // -0.0 below +0.0
}

// Mid-rank by counting: values below, plus the mean position among the equal ones.
std::vector<double> counted_ranks(const std::vector<double>& v) {
  std::vector<double> out(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    double below = 0;
    double equal = 0;
    for (double w : v) {
      if (total_less(w, v[i])) below += 1;
      if (std::bit_cast<std::uint64_t>(w) == std::bit_cast<std::uint64_t>(v[i])) equal += 1;
    }
    out[i] = below + (equal + 1) / 2;
  }
  return out;
}

// Squared deviation of the ranks from their segment mean, two-pass, summed over dimensions.
double direct_cost(const OwnedSeries& s, std::size_t start, std::size_t end) {
  long double total = 0;
  for (std::size_t j = 0; j < s.d(); ++j) {
    const std::vector<double> r = counted_ranks(s.column(j));
    long double mean = 0;
    for (std::size_t t = start; t < end; ++t) mean += r[t];
    mean /= static_cast<long double>(end - start);
    for (std::size_t t = start; t < end; ++t) total += (r[t] - mean) * (r[t] - mean);
  }
  return static_cast<double>(total);
}

class RankFormulaTest : public ::testing::TestWithParam<GridCase> {};

TEST_P(RankFormulaTest, EverySegmentMatchesTheDirectFormula) {
  const GridCase c = GetParam();
  const std::size_t n = 40;
  const std::size_t d = 3;
  std::vector<double> rows = samples::random_rows(n, d, 31);
  // Ties in every dimension, including across -0.0 and +0.0.
  for (std::size_t t : {4u, 9u, 30u}) rows[t * d] = 0.75;
  rows[11 * d + 1] = -0.0;
  rows[12 * d + 1] = 0.0;
  rows[13 * d + 1] = -0.0;
  for (std::size_t t = 0; t < n; t += 5) rows[t * d + 2] = 1.0;
  const OwnedSeries s(rows, n, d, c.layout, c.width);
  expect_oracle(
      CostRank{c.mode}, s, [&](auto a, auto b) { return direct_cost(s, a, b); }, 1e-9 / n, true);
}

INSTANTIATE_TEST_SUITE_P(Grid, RankFormulaTest, ::testing::ValuesIn(samples::full_grid()),
                         samples::grid_case_name);

TEST(MidRanks, TiesShareTheirMeanPosition) {
  EXPECT_EQ(mid_ranks(std::vector<double>{5, 3, 5, 1}), (std::vector<double>{3.5, 2, 3.5, 1}));
  EXPECT_EQ(mid_ranks(std::vector<double>{0.0, -0.0, 0.0, -1.0}),
            (std::vector<double>{3.5, 2, 3.5, 1}));
  EXPECT_EQ(mid_ranks(std::vector<double>{2, 2, 2}), (std::vector<double>{2, 2, 2}));
  EXPECT_TRUE(mid_ranks(std::vector<double>{}).empty());
}

TEST(RankCost, ConstantAndIncreasingDimensions) {
  const std::size_t n = 12;
  std::vector<double> rows(n * 2);
  for (std::size_t t = 0; t < n; ++t) {
    rows[2 * t] = 4.0;
    rows[2 * t + 1] = static_cast<double>(t) * 0.5 - 1.0;
  }
  const OwnedSeries s(rows, n, 2, Layout::C, Width::F64);
  const CostRank model{};
  const auto cache = model.precompute(s.view(), core::CachePolicy::full());
  ASSERT_TRUE(cache);
  for (std::size_t t = 1; t <= n; ++t) {
    EXPECT_EQ(cache->prefix_sum[t], static_cast<double>(t) * (n + 1) / 2.0);
  }
  for (std::size_t start = 0; start < n; ++start) {
    for (std::size_t end = start + 1; end <= n; ++end) {
      const double m = static_cast<double>(end - start);
      EXPECT_NEAR(model.segment_cost(*cache, start, end), m * (m * m - 1) / 12, 1e-9);
    }
  }
}

TEST(RankCost, StrictlyIncreasingTransformLeavesTheCacheUnchanged) {
  const std::size_t n = 30;
  const std::vector<double> rows = samples::random_rows(n, 2, 8);
  std::vector<double> transformed(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) transformed[i] = std::exp(rows[i]) * 3.0 + 1e6;
  const OwnedSeries a(rows, n, 2, Layout::C, Width::F64);
  const OwnedSeries b(transformed, n, 2, Layout::F, Width::F64);
  const CostRank model{};
  const auto ca = model.precompute(a.view(), core::CachePolicy::full());
  const auto cb = model.precompute(b.view(), core::CachePolicy::full());
  ASSERT_TRUE(ca && cb);
  EXPECT_EQ(ca->prefix_sum, cb->prefix_sum);
  EXPECT_EQ(ca->prefix_sum_sq, cb->prefix_sum_sq);
}

TEST(RankCost, SingleRowCostsZero) {
  const OwnedSeries s(samples::random_rows(20, 1, 4), 20, 1, Layout::C, Width::F64);
  const CostRank model{};
  const auto cache = model.precompute(s.view(), core::CachePolicy::full());
  ASSERT_TRUE(cache);
  for (std::size_t t = 0; t < 20; ++t) {
    const double c = model.segment_cost(*cache, t, t + 1);
    EXPECT_EQ(c, 0.0);
    EXPECT_FALSE(std::signbit(c));
  }
}

}  // namespace
}  // namespace ovrel::costs
