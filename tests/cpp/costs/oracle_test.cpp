// Every segment cost of small random series against a direct two-pass computation of the model's
// formula, over all layouts, both value types and every repro mode.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "costs/series_samples.hpp"
#include "ovrel/costs/l1.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/normal.hpp"

namespace ovrel::costs {
namespace {

using Real = long double;

// Column j of rows [start, end).
std::vector<Real> column(const std::vector<double>& rows, std::size_t d, std::size_t j,
                         std::size_t start, std::size_t end) {
  std::vector<Real> out;
  for (std::size_t t = start; t < end; ++t) out.push_back(rows[t * d + j]);
  return out;
}

Real mean_of(const std::vector<Real>& v) {
  Real s = 0;
  for (Real x : v) s += x;
  return s / static_cast<Real>(v.size());
}

Real direct_l2(const std::vector<double>& rows, std::size_t d, std::size_t start, std::size_t end) {
  Real total = 0;
  for (std::size_t j = 0; j < d; ++j) {
    const auto v = column(rows, d, j, start, end);
    const Real mu = mean_of(v);
    for (Real x : v) total += (x - mu) * (x - mu);
  }
  return total;
}

Real direct_l1(const std::vector<double>& rows, std::size_t d, std::size_t start, std::size_t end) {
  Real total = 0;
  for (std::size_t j = 0; j < d; ++j) {
    auto v = column(rows, d, j, start, end);
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size();
    const Real med = m % 2 == 1 ? v[m / 2] : (v[m / 2 - 1] + v[m / 2]) / 2;
    for (Real x : v) total += std::fabs(x - med);
  }
  return total;
}

Real direct_normal(const std::vector<double>& rows, std::size_t d, std::size_t start,
                   std::size_t end) {
  const Real m = static_cast<Real>(end - start);
  Real total = 0;
  for (std::size_t j = 0; j < d; ++j) {
    const auto v = column(rows, d, j, start, end);
    const Real mu = mean_of(v);
    Real ss = 0;
    for (Real x : v) ss += (x - mu) * (x - mu);
    const Real var = std::max<Real>(ss / m, kVarianceFloor);
    total += m * std::log(var);
  }
  return total;
}

// m * logdet(C + ridge * I) with the model's ridge rule; the first factorisation attempt succeeds
// on these series, so the regularised log-determinant is exactly this quantity up to rounding.
Real direct_full_cov(const std::vector<double>& rows, std::size_t d, std::size_t start,
                     std::size_t end) {
  if (d == 1) return direct_normal(rows, d, start, end);
  const Real m = static_cast<Real>(end - start);
  std::vector<Real> means(d);
  for (std::size_t j = 0; j < d; ++j) means[j] = mean_of(column(rows, d, j, start, end));
  std::vector<Real> c(d * d, 0);
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t k = 0; k < d; ++k) {
      Real s = 0;
      for (std::size_t t = start; t < end; ++t) {
        s += (rows[t * d + i] - means[i]) * (rows[t * d + k] - means[k]);
      }
      c[i * d + k] = s / m;
    }
  }
  Real trace = 0;
  for (std::size_t i = 0; i < d; ++i) trace += std::max<Real>(c[i * d + i], kVarianceFloor);
  const Real df = static_cast<Real>(d);
  const Real a = std::max<Real>(trace / df, kVarianceFloor);
  Real ridge = std::max<Real>(a * 1e-6L, kVarianceFloor);
  if (m < df) ridge = ((df - m) / df + 1) * ridge;
  for (std::size_t i = 0; i < d; ++i) c[i * d + i] += ridge;
  // Cholesky in long double.
  Real logdet = 0;
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      Real s = c[i * d + j];
      for (std::size_t k = 0; k < j; ++k) s -= c[i * d + k] * c[j * d + k];
      if (i == j) {
        c[i * d + i] = std::sqrt(s);
        logdet += 2 * std::log(c[i * d + i]);
      } else {
        c[i * d + j] = s / c[j * d + j];
      }
    }
  }
  return m * logdet;
}

template <CostModel C, class Direct>
void check_all_segments(const C& model, Direct direct, const std::vector<double>& rows,
                        std::size_t n, std::size_t d, Layout layout, Width width, double tol,
                        std::size_t min_len = 1) {
  const OwnedSeries s(rows, n, d, layout, width);
  const auto oracle = [&](std::size_t a, std::size_t b) {
    return static_cast<double>(direct(rows, d, a, b));
  };
  expect_oracle(model, s, oracle, tol, false, min_len);
}

using Params = std::tuple<Layout, Width, core::ReproMode, std::size_t>;

class OracleTest : public ::testing::TestWithParam<Params> {
 protected:
  Layout layout() const { return std::get<0>(GetParam()); }
  Width kind() const { return std::get<1>(GetParam()); }
  core::ReproMode mode() const { return std::get<2>(GetParam()); }
  std::size_t d() const { return std::get<3>(GetParam()); }
  static constexpr std::size_t kN = 13;
  std::vector<double> rows() const { return samples::uniform_rows(kN, d(), 1000 + 7 * d()); }
};

TEST_P(OracleTest, L2MeanMatchesTwoPassSum) {
  check_all_segments(CostL2Mean{mode()}, direct_l2, rows(), kN, d(), layout(), kind(), 1e-12);
}

TEST_P(OracleTest, L1MedianMatchesSortedMedian) {
  check_all_segments(CostL1Median{mode()}, direct_l1, rows(), kN, d(), layout(), kind(), 1e-13);
}

TEST_P(OracleTest, NormalMeanVarMatchesTwoPassVariance) {
  check_all_segments(CostNormalMeanVar{mode()}, direct_normal, rows(), kN, d(), layout(), kind(),
                     1e-11);
}

// Segments of at most d rows have a singular covariance whose regularised log-determinant
// amplifies the rounding of the prefix sums; the edge-case tests cover them on exact data.
TEST_P(OracleTest, NormalFullCovMatchesRidgedLogDeterminant) {
  check_all_segments(CostNormalFullCov{mode()}, direct_full_cov, rows(), kN, d(), layout(), kind(),
                     1e-10, d() == 1 ? 1 : d() + 1);
}

std::string param_name(const ::testing::TestParamInfo<Params>& info) {
  const char* kinds[] = {"f32", "f64"};
  const char* modes[] = {"Strict", "Balanced", "Fast"};
  return std::string(samples::layout_name(std::get<0>(info.param))) + "_" +
         kinds[static_cast<int>(std::get<1>(info.param))] + "_" +
         modes[static_cast<int>(std::get<2>(info.param))] + "_d" +
         std::to_string(std::get<3>(info.param));
}

INSTANTIATE_TEST_SUITE_P(
    AllLayouts, OracleTest,
    ::testing::Combine(::testing::Values(Layout::C, Layout::F, Layout::Strided),
                       ::testing::Values(Width::F32, Width::F64),
                       ::testing::Values(core::ReproMode::Strict, core::ReproMode::Balanced,
                                         core::ReproMode::Fast),
                       ::testing::Values(std::size_t{1}, std::size_t{2}, std::size_t{4})),
    param_name);

// Data far from zero: prefix sums of raw values would cancel away the variance; the costs must
// still match the two-pass computation.
class LargeOffsetTest
    : public ::testing::TestWithParam<std::tuple<Layout, core::ReproMode, std::size_t>> {};

TEST_P(LargeOffsetTest, CostsMatchTwoPassComputation) {
  const auto [layout, mode, d] = GetParam();
  constexpr std::size_t kN = 40;
  std::vector<double> rows =
      samples::uniform_rows(kN, d, 77 + static_cast<std::uint32_t>(d), 0.0, 1.0);
  for (double& v : rows) v += 1e8;
  const Width kind = Width::F64;
  check_all_segments(CostL2Mean{mode}, direct_l2, rows, kN, d, layout, kind, 1e-9);
  check_all_segments(CostNormalMeanVar{mode}, direct_normal, rows, kN, d, layout, kind, 1e-9);
  check_all_segments(CostNormalFullCov{mode}, direct_full_cov, rows, kN, d, layout, kind, 1e-8,
                     d == 1 ? 1 : d + 1);
  check_all_segments(CostL1Median{mode}, direct_l1, rows, kN, d, layout, kind, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    AllLayouts, LargeOffsetTest,
    ::testing::Combine(::testing::Values(Layout::C, Layout::F, Layout::Strided),
                       ::testing::Values(core::ReproMode::Strict, core::ReproMode::Balanced),
                       ::testing::Values(std::size_t{1}, std::size_t{3})));

}  // namespace
}  // namespace ovrel::costs
