// Every segment cost of small random series against a direct computation of each model's formula
// in long double, written apart from the engine, over every layout, value width and repro mode.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <numeric>
#include <optional>
#include <tuple>
#include <vector>

#include "costs/series_samples.hpp"
#include "ovrel/costs/ar.hpp"
#include "ovrel/costs/cosine.hpp"
#include "ovrel/costs/l1.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/nig.hpp"
#include "ovrel/costs/normal.hpp"
#include "ovrel/costs/rank.hpp"

namespace ovrel::costs {
namespace {

using LD = long double;

std::vector<LD> column(const OwnedSeries& s, std::size_t j, std::size_t start, std::size_t end) {
  std::vector<LD> out;
  for (std::size_t t = start; t < end; ++t) out.push_back(s.at(t, j));
  return out;
}

LD mean_of(const std::vector<LD>& v) {
  return std::accumulate(v.begin(), v.end(), LD{0}) / static_cast<LD>(v.size());
}

LD squared_deviations(const std::vector<LD>& v) {
  const LD mu = mean_of(v);
  LD ss = 0;
  for (LD x : v) ss += (x - mu) * (x - mu);
  return ss;
}

// Factors the d x d row-major matrix in place (its Cholesky factor below the diagonal) and returns
// the log of its determinant; empty when a pivot is not above `floor`.
std::optional<LD> cholesky_logdet(std::vector<LD>& a, std::size_t d, LD floor) {
  LD logdet = 0;
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      LD v = a[i * d + j];
      for (std::size_t k = 0; k < j; ++k) v -= a[i * d + k] * a[j * d + k];
      if (i == j && !(v > floor)) return std::nullopt;
      a[i * d + j] = i == j ? std::sqrt(v) : v / a[j * d + j];
    }
    logdet += 2 * std::log(a[i * d + i]);
  }
  return logdet;
}

// The sum over dimensions j of f(the segment's values of j, j).
template <class F>
double per_column(const OwnedSeries& s, std::size_t start, std::size_t end, F f) {
  LD total = 0;
  for (std::size_t j = 0; j < s.d(); ++j) total += f(column(s, j, start, end), j);
  return static_cast<double>(total);
}

double direct_l2(const OwnedSeries& s, std::size_t start, std::size_t end) {
  return per_column(s, start, end, [](const auto& x, auto) { return squared_deviations(x); });
}

double direct_l1(const OwnedSeries& s, std::size_t start, std::size_t end) {
  return per_column(s, start, end, [](std::vector<LD> v, auto) {
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size();
    const LD med = m % 2 == 1 ? v[m / 2] : (v[m / 2 - 1] + v[m / 2]) / 2;
    LD total = 0;
    for (LD x : v) total += std::fabs(x - med);
    return total;
  });
}

// ln of the residual variance (at least the floor), times the rows fitted.
LD weighted_log_variance(LD rss, std::size_t fitted) {
  const LD m = static_cast<LD>(fitted);
  return m * std::log(std::max<LD>(rss / m, kVarianceFloor));
}

double direct_normal(const OwnedSeries& s, std::size_t start, std::size_t end) {
  return per_column(s, start, end, [](const auto& x, auto) {
    return weighted_log_variance(squared_deviations(x), x.size());
  });
}

// m * logdet(C + ridge * I) with the model's ridge rule; the first factorisation attempt succeeds
// on these series, so the regularised log-determinant is exactly this quantity up to rounding.
std::optional<double> direct_full_cov(const OwnedSeries& s, std::size_t start, std::size_t end) {
  const std::size_t d = s.d();
  if (d == 1) return direct_normal(s, start, end);
  const LD m = static_cast<LD>(end - start), df = static_cast<LD>(d);
  std::vector<LD> means(d), c(d * d, 0);
  for (std::size_t j = 0; j < d; ++j) means[j] = mean_of(column(s, j, start, end));
  for (std::size_t i = 0; i < d * d; ++i) {
    for (std::size_t t = start; t < end; ++t) {
      c[i] += (s.at(t, i / d) - means[i / d]) * (s.at(t, i % d) - means[i % d]) / m;
    }
  }
  LD trace = 0;
  for (std::size_t i = 0; i < d; ++i) trace += std::max<LD>(c[i * d + i], kVarianceFloor);
  LD ridge = std::max<LD>(std::max<LD>(trace / df, kVarianceFloor) * 1e-6L, kVarianceFloor);
  if (m < df) ridge = ((df - m) / df + 1) * ridge;
  for (std::size_t i = 0; i < d; ++i) c[i * d + i] += ridge;
  const std::optional<LD> logdet = cholesky_logdet(c, d, 0);
  if (!logdet) return std::nullopt;
  return static_cast<double>(m * *logdet);
}

// Order 1: least squares of x[t] on x[t-1] with intercept over the m - 1 pairs, two-pass.
double direct_ar1(const OwnedSeries& s, std::size_t start, std::size_t end) {
  if (end - start <= 2) return 0.0;
  return per_column(s, start, end, [](const std::vector<LD>& x, auto) {
    const std::vector<LD> before(x.begin(), x.end() - 1), after(x.begin() + 1, x.end());
    const LD xbar = mean_of(before), ybar = mean_of(after);
    LD sxx = 0, syy = 0, sxy = 0;
    for (std::size_t t = 0; t < before.size(); ++t) {
      sxx += (before[t] - xbar) * (before[t] - xbar);
      syy += (after[t] - ybar) * (after[t] - ybar);
      sxy += (before[t] - xbar) * (after[t] - ybar);
    }
    return weighted_log_variance(sxx > 0 ? syy - sxy * sxy / sxx : syy, before.size());
  });
}

// Order p > 1: the Yule-Walker equations of the segment's autocovariances (each lag over the same
// m - p products) solved by Cholesky, then the residual variance of that predictor.
// Empty when the Toeplitz matrix of r[0..p] is not positive definite (the recursion would clamp a
// reflection coefficient there, which this oracle does not model).
auto direct_yule_walker(std::size_t p) {
  return [p](const OwnedSeries& s, std::size_t start, std::size_t end) -> std::optional<double> {
    const std::size_t m = end - start;
    if (m <= p + 1) return 0.0;
    const double total = per_column(s, start, end, [&](const std::vector<LD>& x, auto) {
      const LD mean = mean_of(x);
      std::vector<LD> r(p + 1, 0);
      for (std::size_t k = 0; k <= p; ++k) {
        for (std::size_t t = p; t < m; ++t) r[k] += (x[t] - mean) * (x[t - k] - mean);
        r[k] /= static_cast<LD>(m - p);
      }
      // The Toeplitz matrix of r[0..p] must be positive definite; the Cholesky factor of its
      // leading p x p block then solves R a = r[1..p], R[i][k] = r[|i - k|].
      const std::size_t q = p + 1;
      std::vector<LD> l(q * q);
      for (std::size_t i = 0; i < q * q; ++i)
        l[i] = r[i / q > i % q ? i / q - i % q : i % q - i / q];
      if (!cholesky_logdet(l, q, 1e-9L * r[0])) return std::numeric_limits<LD>::quiet_NaN();
      std::vector<LD> a(p);
      for (std::size_t i = 0; i < p; ++i) {
        LD v = r[i + 1];
        for (std::size_t k = 0; k < i; ++k) v -= l[i * q + k] * a[k];
        a[i] = v / l[i * q + i];
      }
      LD sa = 0;
      for (std::size_t i = p; i-- > 0;) {
        for (std::size_t k = i + 1; k < p; ++k) a[i] -= l[k * q + i] * a[k];
        sa += (a[i] /= l[i * q + i]);
      }
      LD rss = 0;
      for (std::size_t t = p; t < m; ++t) {
        LD pred = mean * (1 - sa);
        for (std::size_t i = 0; i < p; ++i) pred += a[i] * x[t - 1 - i];
        rss += (x[t] - pred) * (x[t] - pred);
      }
      return weighted_log_variance(rss, m - p);
    });
    return std::isnan(total) ? std::nullopt : std::optional(total);
  };
}

// The closed form of the negative log marginal likelihood, summed over dimensions.
auto direct_nig(const NIGPrior& p) {
  return [p](const OwnedSeries& s, std::size_t start, std::size_t end) {
    const LD m = static_cast<LD>(end - start);
    return -per_column(s, start, end, [&](const std::vector<LD>& v, auto) {
      const LD mean = mean_of(v);
      const LD beta_n = p.beta0 + squared_deviations(v) / 2 +
                        p.kappa0 * m * (mean - p.mu0) * (mean - p.mu0) / (2 * (p.kappa0 + m));
      const LD alpha_n = p.alpha0 + m / 2;
      return p.alpha0 * std::log(static_cast<LD>(p.beta0)) - alpha_n * std::log(beta_n) +
             std::lgamma(alpha_n) - std::lgamma(static_cast<LD>(p.alpha0)) +
             (std::log(static_cast<LD>(p.kappa0)) - std::log(p.kappa0 + m)) / 2 -
             m / 2 * std::log(2 * std::numbers::pi_v<LD>);
    });
  };
}

// m minus the length of the sum of the unit rows (zero rows add nothing), clamped at 0.
double direct_cosine(const OwnedSeries& s, std::size_t start, std::size_t end) {
  std::vector<LD> sum(s.d(), 0);
  for (std::size_t t = start; t < end; ++t) {
    LD sq = 0;
    for (std::size_t j = 0; j < s.d(); ++j) sq += static_cast<LD>(s.at(t, j)) * s.at(t, j);
    for (std::size_t j = 0; j < s.d() && sq > 0; ++j) sum[j] += s.at(t, j) / std::sqrt(sq);
  }
  LD len = 0;
  for (LD v : sum) len += v * v;
  return std::fmax(static_cast<double>(static_cast<LD>(end - start) - std::sqrt(len)), 0.0);
}

// Squared deviation of the mid-ranks (counted over the whole series, -0 below +0) from their
// segment mean.
double direct_rank(const OwnedSeries& s, std::size_t start, std::size_t end) {
  return per_column(s, start, end, [&](const std::vector<LD>& x, std::size_t j) {
    std::vector<LD> ranks;
    for (LD v : x) {
      LD lower = 0, equal = 0;
      for (std::size_t t = 0; t < s.n(); ++t) {
        const double w = s.at(t, j);
        lower += w < v || (w == v && std::signbit(w) && !std::signbit(v));
        equal += w == v && std::signbit(w) == std::signbit(v);
      }
      ranks.push_back(lower + (equal + 1) / 2);
    }
    return squared_deviations(ranks);
  });
}

using Grid = std::tuple<Layout, Width, core::ReproMode>;
class CostOracle : public ::testing::TestWithParam<Grid> {};

using ::testing::Values;
INSTANTIATE_TEST_SUITE_P(Grid, CostOracle,
                         ::testing::Combine(Values(Layout::C, Layout::F, Layout::Strided),
                                            Values(Width::F32, Width::F64),
                                            Values(core::ReproMode::Strict,
                                                   core::ReproMode::Balanced)));

// Uniform values with a zero row and ties in every dimension, including across -0 and +0; again
// far from zero, where prefix sums of raw values would cancel away the variance (a float holds
// no digits below 1e8 there).
TEST_P(CostOracle, EveryModelButHigherOrderAR) {
  const auto [layout, width, mode] = GetParam();
  for (const double offset : {0.0, 1e8}) {
    const auto tol = [&](double near, double far) { return offset == 0.0 ? near : far; };
    for (std::size_t d : {1u, 2u, 4u}) {
      std::vector<double> rows = uniform_rows(20, d, 1000 + 7 * d);
      for (std::size_t i = 0; i < d; ++i) {
        rows[7 * d + i] = 0.0;
        rows[(4 + i) * d + i] = rows[(9 + i) * d + i] = rows[(17 - i) * d + i] = 0.75;
        rows[(11 + i) * d + i] = -0.0;
        rows[(13 + i) * d + i] = 0.0;
      }
      for (double& v : rows) v += offset;
      const OwnedSeries s(rows, 20, d, layout, offset == 0.0 ? width : Width::F64);
      expect_oracle(CostL2Mean{mode}, s, direct_l2, tol(1e-12, 1e-9));
      expect_oracle(CostL1Median{mode}, s, direct_l1, tol(1e-13, 1e-9));
      expect_oracle(CostNormalMeanVar{mode}, s, direct_normal, tol(1e-11, 1e-9));
      expect_oracle(CostAR{1, mode}, s, direct_ar1, tol(1e-9, 1e-7));
      expect_oracle(CostCosine{mode}, s, direct_cosine, 1e-12, true);
      expect_oracle(CostRank{mode}, s, direct_rank, 1e-9 / 20, true);
      for (const NIGPrior prior : {NIGPrior{0.0, 1.0, 1.0, 1.0}, NIGPrior{2.5, 0.01, 3.0, 0.2},
                                   NIGPrior{-1.0, 40.0, 0.3, 7.0}}) {
        expect_oracle(CostNIGMarginal{prior, mode}, s, direct_nig(prior), tol(1e-10, 1e-9) / 20);
      }
      // Segments of at most d rows have a singular covariance whose regularised log-determinant
      // amplifies the rounding of the prefix sums; the edge-case tests cover them on exact data.
      expect_oracle(CostNormalFullCov{mode}, s, direct_full_cov, tol(1e-10, 1e-8), false,
                    d == 1 ? 1 : d + 1);
    }
  }
}

TEST_P(CostOracle, HigherOrderAutoRegressive) {
  const auto [layout, width, mode] = GetParam();
  std::vector<double> rows = uniform_rows(40, 2, 43, -2.0, 2.0);  // x[t] = 0.6 x[t-1] + noise - 1
  for (std::size_t i = 2; i < rows.size(); ++i) rows[i] += 0.6 * rows[i - 2];
  for (double& v : rows) v = static_cast<float>(v - 1.0);
  const OwnedSeries s(rows, 40, 2, layout, width);
  for (std::size_t p : {2u, 3u}) {
    EXPECT_GT(expect_oracle(CostAR{p, mode}, s, direct_yule_walker(p), 1e-8), 700u) << p;
  }
}

}  // namespace
}  // namespace ovrel::costs
