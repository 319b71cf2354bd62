#pragma once

// Gaussian likelihood costs: per-dimension mean and variance (`CostNormalMeanVar`), and full mean
// vector and covariance matrix (`CostNormalFullCov`), which also sees changes in correlation.

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "ovrel/core/lanes.hpp"
#include "ovrel/costs/model.hpp"

namespace ovrel::costs {

// ---------------------------------------------------------------------------------------------
// Mean and variance per dimension.

// Prefix sums of the values and of their squares, d blocks of n + 1 entries, built from columns
// shifted by their first value (costs are shift-invariant; the sums stay accurate).
struct NormalCache {
  std::vector<double> prefix_sum;
  std::vector<double> prefix_sum_sq;
  std::size_t n = 0;
  std::size_t d = 0;
};

// The variance guard shared by both normal models: NaN (and -inf) come only from overflowing
// sums and stay NaN, so the detector refuses the cost; anything at or below the floor becomes
// the floor; +inf becomes the largest finite value.
inline double guard_variance(double var) noexcept {
  if (var > kVarianceFloor) {
    return var == std::numeric_limits<double>::infinity() ? kLargestFinite : var;
  }
  if (std::isnan(var) || var == -std::numeric_limits<double>::infinity()) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  return kVarianceFloor;
}

struct CostNormalMeanVar {
  using Cache = NormalCache;

  core::ReproMode repro_mode = core::kDefaultReproMode;

  static constexpr std::string_view kTypeName = "CostNormalMeanVar";
  static constexpr std::string_view kCacheName = "NormalCache";

  static constexpr std::string_view name() { return "normal_mean_var"; }
  static constexpr core::MissingSupport missing_support() { return core::MissingSupport::Reject; }

  core::Status validate(const core::TimeSeriesView& x) const;
  core::Result<NormalCache> precompute(const core::TimeSeriesView& x,
                                       const core::CachePolicy& policy) const;

  // Sum over dimensions of m * ln(variance), the variance guarded; not clamped (negative when the
  // variances are below 1).
  double segment_cost(const NormalCache& cache, std::size_t start, std::size_t end) const {
    check_segment(start, end, cache.n);
    const double m = static_cast<double>(end - start);
    const double* s = cache.prefix_sum.data();
    const double* q = cache.prefix_sum_sq.data();
    const std::size_t stride = cache.n + 1;
    double total = 0.0;
    for (std::size_t j = 0, b = 0; j < cache.d; ++j, b += stride) {
      const double s1 = range_sum(s, b, start, end);
      const double s2 = range_sum(q, b, start, end);
      const double mean = s1 / m;
      const double var = guard_variance(s2 / m - mean * mean);
      total = total + std::log(var) * m;
    }
    return total;
  }

  // Costs of [start + i, end) for i in [0, count), written to out[i]: the same values as
  // segment_cost, the variances of several starts computed at once, dimension by dimension.
  void segment_costs_to_end(const NormalCache& cache, std::size_t start, std::size_t count,
                            std::size_t end, double* out) const {
    if (count == 0) return;
    check_segment(start, end, cache.n);
    check_segment(start + count - 1, end, cache.n);
    normal_costs_to_end(cache.prefix_sum.data(), cache.prefix_sum_sq.data(), cache.n + 1, cache.d,
                        start, count, end, out);
  }

  // The batch of the dynamic programmes at target `end`: for the strictly ascending starts
  // starts[0..count), out[k] = cost of [starts[k], end) + F[starts[k]], each plus beta a
  // candidate objective. Returns the first smallest candidate (its position in `starts`), the
  // largest score and whether every candidate was finite: the same operations, in the same order,
  // as segment_cost and the two additions.
  core::RunMinimum segment_scores_at(const NormalCache& cache, const std::size_t* starts,
                                     std::size_t count, std::size_t end, const double* F,
                                     double beta, double* out) const {
    if (count == 0) return {};
    check_segment(starts[0], end, cache.n);
    check_segment(starts[count - 1], end, cache.n);
    return normal_scores_at(cache.prefix_sum.data(), cache.prefix_sum_sq.data(), cache.n + 1,
                            cache.d, starts, count, end, F, beta, out);
  }

  // The batch bodies over d blocks of `stride` prefix entries; out of line, compiled once per
  // instruction-set level.
  static core::RunMinimum normal_scores_at(const double* s, const double* q, std::size_t stride,
                                           std::size_t d, const std::size_t* starts,
                                           std::size_t count, std::size_t end, const double* F,
                                           double beta, double* out);
  static void normal_costs_to_end(const double* s, const double* q, std::size_t stride,
                                  std::size_t d, std::size_t start, std::size_t count,
                                  std::size_t end, double* out);

  std::optional<std::size_t> penalty_effective_params(std::size_t d) const;
};

static_assert(CostModel<CostNormalMeanVar>);

// ---------------------------------------------------------------------------------------------
// Full covariance.

// Prefix sums of the values (d blocks of n + 1) and of the products x_i * x_k for every pair
// i <= k in row-major order of the upper triangle (P = d(d+1)/2 blocks of n + 1; pair (i, k) is
// block i*d - i(i-1)/2 + (k - i)). Built from columns shifted by their first value.
struct NormalFullCovCache {
  std::vector<double> prefix_sum;
  std::vector<double> prefix_cross;
  std::size_t n = 0;
  std::size_t d = 0;
};

inline constexpr double kFullCovRelativeRidge = 1e-6;
inline constexpr double kFullCovRidgeGrowth = 10.0;
inline constexpr int kFullCovAttempts = 8;

// The regularised log-determinant of the d x d row-major `matrix` with a starting ridge: Cholesky
// factorisation of the scaled matrix plus a growing diagonal jitter, up to 8 attempts, with the
// log-determinant of lambda * I as the fallback. Overwrites both `matrix` and `scratch` (each at
// least d*d entries).
double regularized_logdet_with_scratch(std::span<double> matrix, std::span<double> scratch,
                                       std::size_t d, double ridge) noexcept;

struct CostNormalFullCov {
  using Cache = NormalFullCovCache;

  core::ReproMode repro_mode = core::kDefaultReproMode;

  static constexpr std::string_view kTypeName = "CostNormalFullCov";
  static constexpr std::string_view kCacheName = "NormalFullCovCache";

  static constexpr std::string_view name() { return "normal_full_cov"; }
  static constexpr core::MissingSupport missing_support() { return core::MissingSupport::Reject; }

  core::Status validate(const core::TimeSeriesView& x) const;
  core::Result<NormalFullCovCache> precompute(const core::TimeSeriesView& x,
                                              const core::CachePolicy& policy) const;

  // m * the regularised log-determinant of the segment's maximum-likelihood covariance. d = 1 is
  // the mean-variance formula; d >= 2 assembles the matrix in this thread's workspace.
  double segment_cost(const NormalFullCovCache& cache, std::size_t start, std::size_t end) const {
    check_segment(start, end, cache.n);
    if (cache.d == 1) {
      const double m = static_cast<double>(end - start);
      const double mean = range_sum(cache.prefix_sum.data(), 0, start, end) / m;
      const double cross = range_sum(cache.prefix_cross.data(), 0, start, end) / m;
      return std::log(guard_variance(cross - mean * mean)) * m;
    }
    return multivariate_cost(cache, start, end);
  }

  // d + d(d+1)/2 + 1, absent on overflow.
  std::optional<std::size_t> penalty_effective_params(std::size_t d) const;

  // The d >= 2 cost; out of line (its O(d^3) factorisation dominates any call overhead).
  static double multivariate_cost(const NormalFullCovCache& cache, std::size_t start,
                                  std::size_t end);
};

static_assert(CostModel<CostNormalFullCov>);

}  // namespace ovrel::costs
