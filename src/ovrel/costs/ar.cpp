#include "ovrel/costs/ar.hpp"

#include <cmath>

#include "ovrel/core/text.hpp"

namespace ovrel::costs {

namespace {

constexpr std::string_view kType = "CostAR";
constexpr double kRelTol = 7.105427357601002e-15;
constexpr double kMaxReflection = 0.999999999999;
constexpr double kMinErrShrink = 1e-12;

core::Status check_order(std::size_t order) {
  if (order == 0) return core::invalid_input("CostAR requires order >= 1; got order=0");
  return {};
}

// Scratch of the higher-order fit, grown only, so that repeated segment costs do not allocate.
struct LevinsonScratch {
  std::vector<double> r;
  std::vector<double> a;
  std::vector<double> next;
};

LevinsonScratch& levinson_scratch(std::size_t p) {
  thread_local LevinsonScratch scratch;
  if (scratch.r.size() < p + 1) {
    scratch.r.resize(p + 1);
    scratch.a.resize(p);
    scratch.next.resize(p);
  }
  return scratch;
}

// ln(var) * weight, with var floored, +inf capped and NaN kept.
double weighted_log_variance(double rss, double weight) {
  double var = rss / weight;
  if (var <= kVarianceFloor) {
    var = kVarianceFloor;
  } else if (var == std::numeric_limits<double>::infinity()) {
    var = kLargestFinite;
  }
  return std::log(var) * weight;
}

}  // namespace

core::OvrelError cache_overflow_err(std::size_t n, std::size_t d) {
  return core::OvrelError::resource_limit(
      core::cat("cache size overflow while planning ARCache for n=", n, ", d=", d));
}

core::Status CostAR::validate(const core::TimeSeriesView& x) const {
  OVREL_TRY(check_order(order));
  return validate_shared(kType, x);
}

core::Result<ARCache> CostAR::precompute(const core::TimeSeriesView& x,
                                         const core::CachePolicy& policy) const {
  OVREL_TRY(check_order(order));
  const std::size_t n = x.n();
  const std::size_t d = x.d();
  const PlannedBytes required =
      order == 1 ? prefix_table_bytes(n, d, 24) : value_copy_bytes(n, d, 8);
  OVREL_TRY(plan_cache(policy, required, kType, "ARCache", n, d));

  ARCache cache;
  std::vector<double> column(n);
  if (order == 1) {
    const std::size_t entries = (n + 1) * d;
    cache.prefix_sum.reserve(entries);
    cache.prefix_sum_sq.reserve(entries);
    cache.prefix_lag_product.reserve(entries);
    std::vector<double> lag(n);
    for (std::size_t j = 0; j < d; ++j) {
      OVREL_TRY(read_column(x, j, column));
      // The order-1 fit is shift-invariant; shifting keeps the centred sums of a series with a
      // large offset from cancelling to noise.
      shift_column(column);
      append_prefix_sums(column, repro_mode, cache.prefix_sum);
      append_prefix_sum_squares(column, repro_mode, cache.prefix_sum_sq);
      lag[0] = 0.0;
      for (std::size_t t = 1; t < n; ++t) lag[t] = column[t] * column[t - 1];
      append_prefix_sums(lag, repro_mode, cache.prefix_lag_product);
    }
  } else {
    std::vector<double> series;
    series.reserve(n * d);
    for (std::size_t j = 0; j < d; ++j) {
      OVREL_TRY(read_column(x, j, column));
      series.insert(series.end(), column.begin(), column.end());
    }
    cache.series = std::move(series);
  }
  cache.n = n;
  cache.d = d;
  return cache;
}

std::optional<std::size_t> CostAR::penalty_effective_params(std::size_t d) const {
  std::size_t per_dim = 0;
  if (__builtin_add_overflow(order, std::size_t{2}, &per_dim)) {
    per_dim = std::numeric_limits<std::size_t>::max();
  }
  std::size_t out = 0;
  if (__builtin_mul_overflow(d, per_dim, &out)) return std::nullopt;
  return out;
}

double CostAR::high_order_cost(const ARCache& cache, std::size_t start, std::size_t end) const {
  if (!cache.series) throw InternalError("CostAR cache missing per-dimension series for order>1");
  const std::size_t p = order;
  const std::size_t m = end - start;
  const double md = static_cast<double>(m);
  const double fitted = static_cast<double>(m - p);
  LevinsonScratch& scratch = levinson_scratch(p);
  double* r = scratch.r.data();
  double* a = scratch.a.data();
  double* next = scratch.next.data();

  double total = 0.0;
  for (std::size_t j = 0; j < cache.d; ++j) {
    const double* x = cache.series->data() + j * cache.n + start;

    double sum = -0.0;
    for (std::size_t t = 0; t < m; ++t) sum = sum + x[t];
    const double mean = sum / md;
    // An overflowed segment sum leaves nothing to fit; NaN makes the detector refuse the cost
    // instead of taking the capped variance of an infinite mean as a fit.
    if (!std::isfinite(mean)) return std::numeric_limits<double>::quiet_NaN();

    for (std::size_t k = 0; k <= p; ++k) {
      double acc = 0.0;
      for (std::size_t t = p; t < m; ++t) acc = acc + (x[t] - mean) * (x[t - k] - mean);
      r[k] = acc / fitted;
    }

    // Levinson-Durbin; a[i - 1] is the coefficient of lag i. A NaN variance (overflowed sums)
    // is kept and makes the cost NaN instead of passing as an unfitted segment.
    for (std::size_t i = 0; i < p; ++i) a[i] = 0.0;
    double err = r[0] < 0.0 ? 0.0 : r[0];
    if (std::isnan(err)) return err;
    const double tol = std::fmax(err, 1.0) * kRelTol;
    if (err > tol) {
      for (std::size_t i = 1;; ++i) {
        double acc = r[i];
        for (std::size_t q = 0; q + 2 <= i; ++q) acc = acc - a[q] * r[i - 1 - q];
        double k = acc / err;
        if (!std::isfinite(k)) break;
        if (std::fabs(k) >= 1.0) k = (k > 0.0 ? 1.0 : -1.0) * kMaxReflection;
        for (std::size_t q = 0; q + 2 <= i; ++q) next[q] = a[q] - k * a[i - 2 - q];
        for (std::size_t q = 0; q + 2 <= i; ++q) a[q] = next[q];
        a[i - 1] = k;
        if (i == p) break;
        err = err * std::fmax(1.0 - k * k, kMinErrShrink);
        if (!(err > tol)) break;
      }
    }

    double sa = -0.0;
    for (std::size_t i = 0; i < p; ++i) sa = sa + a[i];
    const double c = mean * (1.0 - sa);
    double rss = 0.0;
    for (std::size_t t = p; t < m; ++t) {
      double pred = c;
      for (std::size_t i = 0; i < p; ++i) pred = pred + a[i] * x[t - 1 - i];
      const double e = x[t] - pred;
      rss = rss + e * e;
    }
    total = total + weighted_log_variance(rss, fitted);
  }
  return total;
}

}  // namespace ovrel::costs
