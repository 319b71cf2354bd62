#include "ovrel/costs/cosine.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "costs/series_samples.hpp"
#include "ovrel/costs/model.hpp"

namespace ovrel::costs {
namespace {

static_assert(CostModel<CostCosine>);

// m minus the length of the sum of the unit rows, in long double.
double direct_cost(const OwnedSeries& s, std::size_t start, std::size_t end) {
  using LD = long double;
  std::vector<LD> sum(s.d(), 0);
  for (std::size_t t = start; t < end; ++t) {
    LD sq = 0;
    for (std::size_t j = 0; j < s.d(); ++j) sq += static_cast<LD>(s.at(t, j)) * s.at(t, j);
    if (sq == 0) continue;
    for (std::size_t j = 0; j < s.d(); ++j) sum[j] += s.at(t, j) / std::sqrt(sq);
  }
  LD len = 0;
  for (LD v : sum) len += v * v;
  return static_cast<double>(static_cast<LD>(end - start) - std::sqrt(len));
}

double cost_of(const CostCosine& model, const OwnedSeries& s, std::size_t start, std::size_t end) {
  const auto cache = model.precompute(s.view(), core::CachePolicy::full());
  if (!cache) throw std::runtime_error(cache.error().message());
  return model.segment_cost(*cache, start, end);
}

class CosineFormulaTest : public ::testing::TestWithParam<GridCase> {};

TEST_P(CosineFormulaTest, EverySegmentMatchesTheDirectFormula) {
  const GridCase c = GetParam();
  const std::size_t n = 40;
  for (std::size_t d : {1u, 3u}) {
    std::vector<double> rows = samples::random_rows(n, d, 21 + d, 0.3);
    for (std::size_t j = 0; j < d; ++j) rows[7 * d + j] = 0.0;  // a zero row
    const OwnedSeries s(rows, n, d, c.layout, c.width);
    const CostCosine model{c.mode};
    ASSERT_TRUE(model.validate(s.view()).has_value());
    const auto cache = model.precompute(s.view(), core::CachePolicy::full());
    ASSERT_TRUE(cache.has_value());
    for (std::size_t start = 0; start < n; ++start) {
      for (std::size_t end = start + 1; end <= n; ++end) {
        const double got = model.segment_cost(*cache, start, end);
        EXPECT_NEAR(got, std::fmax(direct_cost(s, start, end), 0.0), 1e-12 * (end - start))
            << "d=" << d << " [" << start << ", " << end << ")";
        EXPECT_GE(got, 0.0);
        EXPECT_FALSE(std::signbit(got));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Grid, CosineFormulaTest, ::testing::ValuesIn(samples::full_grid()),
                         samples::grid_case_name);

TEST(CosineCost, DirectionsNotMagnitudesCount) {
  // Positive multiples of (1, 2): 0; opposite rows: 2; a zero row adds 1.
  const OwnedSeries s(std::vector<double>{1, 2, 3, 6, 0.5, 1, -1, -2, 0, 0}, 5, 2, Layout::C,
                      Width::F64);
  const CostCosine model{};
  EXPECT_NEAR(cost_of(model, s, 0, 3), 0.0, 1e-15);
  EXPECT_NEAR(cost_of(model, s, 2, 4), 2.0, 1e-15);
  EXPECT_NEAR(cost_of(model, s, 0, 5), 5.0 - 2.0, 1e-15);
  EXPECT_NEAR(cost_of(model, s, 3, 5), 1.0, 1e-15);
}

TEST(CosineCost, OneDimensionCountsSigns) {
  // p = 3 positive, q = 1 negative, z = 1 zero: m - |p - q| = 5 - 2.
  const OwnedSeries s(std::vector<double>{2.5, -0.1, 0.0, 7.0, 1e-300}, 5, 1, Layout::C,
                      Width::F64);
  EXPECT_NEAR(cost_of(CostCosine{}, s, 0, 5), 3.0, 1e-15);
}

TEST(CosineCost, ExtremeMagnitudesNormaliseWithoutOverflow) {
  // (1e308, 1e308) has overflowing squares but a finite length; (1.5e308, 1.5e308) has an
  // infinite length and contributes the zero vector; (1e-310, 1e-310) has a length whose
  // inverse overflows and still becomes a unit row.
  const OwnedSeries s(std::vector<double>{1e308, 1e308, 1.0, 1.0, 1.5e308, 1.5e308, 1e-310, 1e-310},
                      4, 2, Layout::C, Width::F64);
  const CostCosine model{};
  EXPECT_NEAR(cost_of(model, s, 0, 2), 0.0, 1e-15);
  EXPECT_NEAR(cost_of(model, s, 2, 3), 1.0, 1e-15);
  EXPECT_NEAR(cost_of(model, s, 1, 3), 1.0, 1e-15);
  EXPECT_NEAR(cost_of(model, s, 3, 4), 0.0, 1e-12);
  EXPECT_NEAR(cost_of(model, s, 0, 4), 1.0, 1e-12);
}

TEST(CosineCost, StrictUsesKahanOnTheRunningSums) {
  // Many small unit contributions after a large run: both modes agree with the direct sum.
  const std::size_t n = 2000;
  std::vector<double> rows(n * 2);
  for (std::size_t t = 0; t < n; ++t) {
    rows[2 * t] = std::cos(0.001 * t);
    rows[2 * t + 1] = std::sin(0.001 * t);
  }
  const OwnedSeries s(rows, n, 2, Layout::C, Width::F64);
  for (core::ReproMode mode : {core::ReproMode::Strict, core::ReproMode::Balanced}) {
    EXPECT_NEAR(cost_of(CostCosine{mode}, s, 1500, 2000), direct_cost(s, 1500, 2000), 1e-9);
  }
}

TEST(CosineCost, ValidateRefusesMissingValuesAndReadFailures) {
  const OwnedSeries missing(std::vector<double>{1.0, std::nan(""), 3.0, 4.0}, 4, 1, Layout::C,
                            Width::F64, std::vector<std::uint8_t>{0, 0, 0, 1},
                            core::MissingPolicy::Ignore);
  expect_error(CostCosine{}.validate(missing.view()), core::ErrorKind::InvalidInput,
               "CostCosine does not support missing values: effective_missing_count=2");
  const OwnedSeries strided(std::vector<double>{1.0, 2.0, 3.0, 4.0}, 2, 2,
                            core::MemoryLayout::strided(-1, 1));
  const std::string negative = "strided index negative at t=1, dim=0: idx=-1";
  expect_error(CostCosine{}.validate(strided.view()), core::ErrorKind::InvalidInput, negative);
  expect_error(CostCosine{}.precompute(strided.view(), core::CachePolicy::full()),
               core::ErrorKind::InvalidInput, negative);
}

TEST(CosineCost, CachePlanningAndSize) {
  const std::size_t n = 9;
  const std::size_t d = 4;
  const OwnedSeries s(samples::random_rows(n, d, 2), n, d, Layout::F, Width::F32);
  const CostCosine model{};
  samples::expect_cache_planning(model, s.view(), (n + 1) * d * 8, "CostCosine");
  const auto cache = model.precompute(s.view(), core::CachePolicy::full());
  ASSERT_TRUE(cache);
  EXPECT_EQ(cache->prefix_unit_sum.size() * 8, (n + 1) * d * 8);
  for (std::size_t j = 0; j < d; ++j) EXPECT_EQ(cache->prefix_unit_sum[j * (n + 1)], 0.0);
}

TEST(CosineCost, InterfaceFacts) {
  EXPECT_EQ(CostCosine::name(), "cosine");
  EXPECT_EQ(CostCosine::missing_support(), core::MissingSupport::Reject);
  EXPECT_EQ(CostCosine{}.penalty_effective_params(4), 5u);
  EXPECT_EQ(CostCosine{}.penalty_effective_params(SIZE_MAX), std::nullopt);
}

}  // namespace
}  // namespace ovrel::costs
