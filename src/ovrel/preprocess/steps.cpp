#include "ovrel/preprocess/steps.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "ovrel/core/text.hpp"

namespace ovrel::preprocess {

using core::cat;

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kStlIterations = 2;

// Key whose integer order is the IEEE total order of doubles (-0 before +0, NaNs at the ends).
std::int64_t total_order_key(double x) {
  const auto bits = std::bit_cast<std::int64_t>(x);
  return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

// Values equal in the total order are bit-identical, so an unstable sort yields exactly the
// sequence a stable one would.
void sort_total_order(std::vector<double>& values) {
  std::sort(values.begin(), values.end(),
            [](double a, double b) { return total_order_key(a) < total_order_key(b); });
}

// Halfway between two values without overflowing when both are huge: the plain (a + b) / 2 is kept
// whenever the sum is finite, so results elsewhere are the usual ones bit for bit.
double midpoint(double a, double b) {
  const double sum = a + b;
  if (std::isfinite(sum)) return sum / 2.0;
  return a / 2.0 + b / 2.0;
}

void collect_valid(std::span<const double> values, std::size_t n, std::size_t d, std::size_t j,
                   std::vector<double>& out) {
  out.clear();
  for (std::size_t t = 0; t < n; ++t) {
    const double v = values[t * d + j];
    if (!std::isnan(v)) out.push_back(v);
  }
}

Status detrend_linear(std::span<double> values, std::size_t n, std::size_t d, std::size_t j) {
  std::size_t m = 0;
  double sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
  for (std::size_t t = 0; t < n; ++t) {
    const double y = values[t * d + j];
    if (std::isnan(y)) continue;
    const double x = static_cast<double>(t);
    ++m;
    sx += x;
    sy += y;
    sxx += x * x;
    sxy += x * y;
  }
  if (m == 0) return {};
  if (m == 1) {
    return core::invalid_input(
        cat("detrend linear requires at least 2 valid samples for dimension ", j));
  }
  const double mf = static_cast<double>(m);
  const double denom = sxx * mf - sx * sx;
  if (!std::isfinite(denom) || std::fabs(denom) <= kEpsilon) {
    return core::invalid_input(cat("detrend linear is ill-conditioned for dimension ", j));
  }
  const double slope = (sxy * mf - sx * sy) / denom;
  const double intercept = (sy - sx * slope) / mf;
  for (std::size_t t = 0; t < n; ++t) {
    double& y = values[t * d + j];
    if (std::isnan(y)) continue;
    y = y - (intercept + slope * static_cast<double>(t));
  }
  return {};
}

Status detrend_polynomial(std::span<double> values, std::size_t n, std::size_t d, std::size_t j,
                          std::size_t degree) {
  // Validation bounds the degree to 1..=3, so the normal equations are at most 4 by 4.
  constexpr std::size_t kMaxCoefficients = 4;
  const std::size_t p = degree + 1;
  if (p > kMaxCoefficients) throw InternalError("polynomial detrend degree above 3");

  std::array<std::array<double, kMaxCoefficients>, kMaxCoefficients> a{};
  std::array<double, kMaxCoefficients> b{};
  std::array<double, 2 * kMaxCoefficients - 1> powers{};
  std::size_t m = 0;
  for (std::size_t t = 0; t < n; ++t) {
    const double y = values[t * d + j];
    if (std::isnan(y)) continue;
    const double x = static_cast<double>(t);
    ++m;
    powers[0] = 1.0;
    for (std::size_t e = 1; e <= 2 * degree; ++e) powers[e] = powers[e - 1] * x;
    for (std::size_t r = 0; r < p; ++r) {
      for (std::size_t c = 0; c < p; ++c) a[r][c] += powers[r + c];
      b[r] += y * powers[r];
    }
  }
  if (m == 0) return {};
  if (m < p) {
    return core::invalid_input(cat("detrend polynomial degree ", degree, " requires at least ", p,
                                   " valid samples for dimension ", j));
  }

  // Gauss-Jordan elimination with partial pivoting.
  for (std::size_t c = 0; c < p; ++c) {
    std::size_t pivot_row = c;
    double pivot_abs = std::fabs(a[c][c]);
    for (std::size_t r = c + 1; r < p; ++r) {
      const double candidate = std::fabs(a[r][c]);
      if (candidate > pivot_abs) {
        pivot_abs = candidate;
        pivot_row = r;
      }
    }
    if (std::isinf(pivot_abs) || pivot_abs <= kEpsilon) {
      return core::invalid_input(
          cat("detrend polynomial degree ", degree, " is ill-conditioned for dimension ", j));
    }
    std::swap(a[c], a[pivot_row]);
    std::swap(b[c], b[pivot_row]);
    const double pivot = a[c][c];
    for (std::size_t k = c; k < p; ++k) a[c][k] /= pivot;
    b[c] /= pivot;
    for (std::size_t i = 0; i < p; ++i) {
      if (i == c) continue;
      const double f = a[i][c];
      if (f == 0.0) continue;
      for (std::size_t k = c; k < p; ++k) a[i][k] -= a[c][k] * f;
      b[i] -= f * b[c];
    }
  }

  for (std::size_t t = 0; t < n; ++t) {
    double& y = values[t * d + j];
    if (std::isnan(y)) continue;
    const double x = static_cast<double>(t);
    double fitted = 0.0;
    double power = 1.0;
    for (std::size_t i = 0; i < p; ++i) {
      fitted += b[i] * power;
      power *= x;
    }
    y = y - fitted;
  }
  return {};
}

void stl_like_dimension(std::span<double> values, std::size_t n, std::size_t d, std::size_t j,
                        std::size_t period, std::size_t window) {
  std::vector<double> col(n);
  for (std::size_t t = 0; t < n; ++t) col[t] = values[t * d + j];
  std::vector<double> trend = centered_moving_average_ignore_nan(col, window);
  std::vector<double> work = col;
  std::vector<double> seasonal(period);
  std::vector<std::size_t> counts(period);

  for (std::size_t iteration = 0; iteration < kStlIterations; ++iteration) {
    std::fill(seasonal.begin(), seasonal.end(), 0.0);
    std::fill(counts.begin(), counts.end(), 0);
    for (std::size_t t = 0, q = 0; t < n; ++t) {
      const double detrended = col[t] - trend[t];
      if (!std::isnan(detrended)) {
        seasonal[q] += detrended;
        ++counts[q];
      }
      if (++q == period) q = 0;
    }
    double seasonal_sum = 0.0;
    for (std::size_t q = 0; q < period; ++q) {
      if (counts[q] > 0) seasonal[q] /= static_cast<double>(counts[q]);
      seasonal_sum += seasonal[q];
    }
    const double seasonal_mean = seasonal_sum / static_cast<double>(period);
    for (double& s : seasonal) s -= seasonal_mean;
    for (std::size_t t = 0, q = 0; t < n; ++t) {
      work[t] = std::isnan(col[t]) ? kNaN : col[t] - seasonal[q];
      if (++q == period) q = 0;
    }
    // The trend of the last round feeds nothing.
    if (iteration + 1 < kStlIterations) trend = centered_moving_average_ignore_nan(work, window);
  }
  for (std::size_t t = 0; t < n; ++t) values[t * d + j] = work[t];
}

std::size_t quantile_index(double q, std::size_t m) {
  if (q <= 0.0) return 0;
  if (q >= 1.0) return m - 1;
  const double rank = std::ceil(q * static_cast<double>(m));
  if (rank >= static_cast<double>(m)) return m - 1;
  const auto r = static_cast<std::size_t>(rank);
  return r == 0 ? 0 : r - 1;
}

}  // namespace

std::vector<double> centered_moving_average_ignore_nan(std::span<const double> values,
                                                       std::size_t window) {
  const std::size_t n = values.size();
  const std::size_t half = window / 2;
  std::vector<double> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t lo = i >= half ? i - half : 0;
    const std::size_t hi = half >= n - 1 - i ? n - 1 : i + half;
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t k = lo; k <= hi; ++k) {
      if (std::isnan(values[k])) continue;
      sum += values[k];
      ++count;
    }
    out[i] = count == 0 ? kNaN : sum / static_cast<double>(count);
  }
  return out;
}

std::optional<double> median_of_slice(std::span<const double> values) {
  if (values.empty()) return std::nullopt;
  std::vector<double> sorted(values.begin(), values.end());
  sort_total_order(sorted);
  const std::size_t mid = sorted.size() / 2;
  if (sorted.size() % 2 == 1) return sorted[mid];
  return midpoint(sorted[mid - 1], sorted[mid]);
}

std::size_t stl_like_trend_window(std::size_t period, std::size_t n) {
  std::size_t window = SIZE_MAX;
  if (period <= (SIZE_MAX - 1) / 2) window = 2 * period + 1;
  if (window > n) window = n % 2 == 1 ? n : (n == 0 ? 0 : n - 1);
  return std::max<std::size_t>(window, 3);
}

Result<StepReport> detrend(std::span<double> values, std::size_t n, std::size_t d,
                           const DetrendMethod& method) {
  for (std::size_t j = 0; j < d; ++j) {
    if (method.kind == DetrendMethod::Kind::Linear) {
      OVREL_TRY(detrend_linear(values, n, d, j));
    } else {
      OVREL_TRY(detrend_polynomial(values, n, d, j, method.degree));
    }
  }
  return StepReport{"detrend", {cat("method=", method.text())}};
}

Result<StepReport> deseasonalize(std::span<double> values, std::size_t n, std::size_t d,
                                 const DeseasonalizeMethod& method) {
  const std::size_t period = method.period;
  if (method.kind == DeseasonalizeMethod::Kind::Differencing) {
    if (period >= n) {
      return core::invalid_input(
          cat("deseasonalize differencing requires period < n, got period=", period, ", n=", n));
    }
    // Walking rows downwards, row t - period still holds its value from before the step.
    for (std::size_t t = n; t-- > period;) {
      for (std::size_t j = 0; j < d; ++j) values[t * d + j] -= values[(t - period) * d + j];
    }
    return StepReport{
        "deseasonalize",
        {cat("differencing period=", period, "; warmup prefix [0, ", period, ") left unchanged")}};
  }
  if (period >= n) {
    return core::invalid_input(
        cat("deseasonalize stl_like requires period < n, got period=", period, ", n=", n));
  }
  const std::size_t window = stl_like_trend_window(period, n);
  for (std::size_t j = 0; j < d; ++j) stl_like_dimension(values, n, d, j, period, window);
  return StepReport{"deseasonalize",
                    {cat("method=stl_like, period=", period, ", trend_window=", window,
                         ", iterations=", kStlIterations)}};
}

StepReport winsorize(std::span<double> values, std::size_t n, std::size_t d,
                     const WinsorizeConfig& config) {
  std::vector<double> sorted;
  for (std::size_t j = 0; j < d; ++j) {
    collect_valid(values, n, d, j, sorted);
    if (sorted.empty()) continue;
    sort_total_order(sorted);
    const double lo = sorted[quantile_index(config.lower_quantile, sorted.size())];
    const double hi = sorted[quantile_index(config.upper_quantile, sorted.size())];
    for (std::size_t t = 0; t < n; ++t) {
      double& v = values[t * d + j];
      if (std::isnan(v)) continue;
      if (v < lo) v = lo;
      if (v > hi) v = hi;
    }
  }
  return StepReport{
      "winsorize",
      {cat("lower_quantile=", config.lower_quantile, ", upper_quantile=", config.upper_quantile)}};
}

Result<StepReport> robust_scale(std::span<double> values, std::size_t n, std::size_t d,
                                const RobustScaleConfig& config) {
  std::vector<double> valid;
  for (std::size_t j = 0; j < d; ++j) {
    collect_valid(values, n, d, j, valid);
    if (valid.empty()) continue;
    const std::optional<double> median = median_of_slice(valid);
    if (!median) {
      return core::invalid_input(cat("robust scaling could not compute median for dimension ", j));
    }
    for (double& v : valid) v = std::fabs(v - *median);
    const std::optional<double> mad = median_of_slice(valid);
    if (!mad) {
      return core::invalid_input(cat("robust scaling could not compute MAD for dimension ", j));
    }
    // fmax takes mad_epsilon when the product is NaN.
    const double scale = std::fmax(config.normal_consistency * *mad, config.mad_epsilon);
    if (!std::isfinite(scale) || !(scale > 0.0)) {
      return core::invalid_input(
          cat("robust scaling produced invalid scale for dimension ", j, ": ", scale));
    }
    for (std::size_t t = 0; t < n; ++t) {
      double& v = values[t * d + j];
      if (std::isnan(v)) continue;
      v = (v - *median) / scale;
    }
  }
  return StepReport{"robust_scale",
                    {cat("mad_epsilon=", config.mad_epsilon,
                         ", normal_consistency=", config.normal_consistency)}};
}

}  // namespace ovrel::preprocess
