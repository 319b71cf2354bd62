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
  for (std::size_t d : {1u, 3u}) {
    std::vector<double> rows = samples::random_rows(40, d, 21 + d, 0.3);
    for (std::size_t j = 0; j < d; ++j) rows[7 * d + j] = 0.0;  // a zero row
    const OwnedSeries s(rows, 40, d, c.layout, c.width);
    const auto oracle = [&](auto a, auto b) { return std::fmax(direct_cost(s, a, b), 0.0); };
    expect_oracle(CostCosine{c.mode}, s, oracle, 1e-12, true);
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

// Validation reads every value (for finiteness), so it reports read failures too.
TEST(CosineCost, ValidateReportsReadFailures) {
  const OwnedSeries strided(std::vector<double>{1.0, 2.0, 3.0, 4.0}, 2, 2,
                            core::MemoryLayout::strided(-1, 1));
  expect_error(CostCosine{}.validate(strided.view()), core::ErrorKind::InvalidInput,
               "strided index negative at t=1, dim=0: idx=-1");
}

}  // namespace
}  // namespace ovrel::costs
