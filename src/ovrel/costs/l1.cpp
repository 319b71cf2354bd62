#include "ovrel/costs/l1.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

namespace ovrel::costs {

core::Status CostL1Median::validate(const core::TimeSeriesView& x) const {
  return validate_shared(kTypeName, x);
}

core::Result<L1MedianCache> CostL1Median::precompute(const core::TimeSeriesView& x,
                                                     const core::CachePolicy& policy) const {
  const std::size_t n = x.n();
  const std::size_t d = x.d();
  OVREL_TRY(plan_cache(policy, value_copy_bytes(n, d, 8), kTypeName, kCacheName, n, d));
  L1MedianCache cache;
  cache.values.resize(n * d);
  OVREL_TRY(read_row_major(x, cache.values));
  cache.n = n;
  cache.d = d;
  return cache;
}

namespace {

// This thread's selection buffer, grown (never shrunk, never filled) to the longest segment seen:
// a run's many cost calls share it instead of allocating and zeroing a list each.
struct L1Scratch {
  std::unique_ptr<double[]> values;
  std::size_t len = 0;

  double* at_least(std::size_t m) {
    if (m > len) {
      values.reset(new double[m]);
      len = m;
    }
    return values.get();
  }
};

thread_local L1Scratch l1_scratch;

}  // namespace

double CostL1Median::l1_segment_cost(const L1MedianCache& cache, std::size_t start, std::size_t end,
                                     bool compensated) {
  const std::size_t m = end - start;
  const std::size_t d = cache.d;
  const double* values = cache.values.data();
  double* const first = l1_scratch.at_least(m);
  double* const last = first + m;
  const std::size_t h = m / 2;
  double total = 0.0;
  for (std::size_t j = 0; j < d; ++j) {
    for (std::size_t t = start, k = 0; t < end; ++t, ++k) first[k] = values[t * d + j];
    // Values are finite, so the ordinary order agrees with the total order up to the sign of
    // zero, which cannot change any absolute deviation.
    std::nth_element(first, first + h, last);
    double median = first[h];
    if (m % 2 == 0) {
      const double hi = median;
      const double lo = *std::max_element(first, first + h);
      median = lo + (hi - lo) * 0.5;
    }
    double sum = 0.0;
    if (compensated) {
      double c = 0.0;
      for (const double* p = first; p != last; ++p) {
        const double y = std::fabs(*p - median) - c;
        const double s = sum + y;
        c = (s - sum) - y;
        sum = s;
      }
    } else {
      for (const double* p = first; p != last; ++p) sum += std::fabs(*p - median);
    }
    total = total + sum;
  }
  return total;
}

std::optional<std::size_t> CostL1Median::penalty_effective_params(std::size_t d) const {
  std::size_t out = 0;
  if (__builtin_mul_overflow(d, std::size_t{2}, &out)) return std::nullopt;
  return out;
}

}  // namespace ovrel::costs
