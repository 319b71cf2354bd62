#include "ovrel/costs/l2.hpp"

#include "ovrel/core/lanes.hpp"

// Lane helpers are inlined: no vector crosses a call, so GCC's ABI note does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace ovrel::costs {

core::Status CostL2Mean::validate(const core::TimeSeriesView& x) const {
  return validate_shared(kTypeName, x);
}

core::Result<L2Cache> CostL2Mean::precompute(const core::TimeSeriesView& x,
                                             const core::CachePolicy& policy) const {
  L2Cache cache;
  OVREL_TRY(build_shifted_moment_tables(x, policy, repro_mode, kTypeName, kCacheName,
                                        cache.prefix_sum, cache.prefix_sum_sq));
  cache.n = x.n();
  cache.d = x.d();
  return cache;
}

namespace {

using core::kLanes;
using core::LaneF64;
using core::LaneI64;

// Finite totals at or below 0 become +0; positive and non-finite totals pass.
[[gnu::always_inline]] inline double clamp_total(double total) noexcept {
  if (total > 0.0) return total;
  return std::isfinite(total) ? 0.0 : total;
}
[[gnu::always_inline]] inline LaneF64 clamp_total(const LaneF64& total) noexcept {
  const LaneF64 inf = core::splat(std::numeric_limits<double>::infinity());
  const LaneI64 zero_it = (total <= 0.0) & (total > -inf);
  return zero_it ? core::splat(0.0) : total;
}

}  // namespace

OVREL_MULTIVERSION
void CostL2Mean::l2_costs_to_end(const double* s, const double* q, std::size_t stride,
                                 std::size_t d, std::size_t start, std::size_t count,
                                 std::size_t end, double* out) {
  // Lengths are integers below 2^53: the lane lengths m0 - i are exact.
  const double m0 = static_cast<double>(end - start);
  const std::size_t whole = count - count % kLanes;
  if (d == 1) {
    // As segment_cost's univariate form: no 0 + x ahead of the first dimension.
    const double s_end = s[end];
    const double q_end = q[end];
    const double* sp = s + start;
    const double* qp = q + start;
    LaneF64 m = core::splat(m0) - LaneF64{0.0, 1.0, 2.0, 3.0};
    for (std::size_t i = 0; i < whole; i += kLanes, m -= 4.0) {
      const LaneF64 s1 = s_end - core::load_lanes(sp + i);
      const LaneF64 total = (q_end - core::load_lanes(qp + i)) - (s1 * s1) / m;
      core::store_lanes(out + i, clamp_total(total));
    }
    for (std::size_t i = whole; i < count; ++i) {
      const double mi = m0 - static_cast<double>(i);
      const double s1 = s_end - sp[i];
      out[i] = clamp_total((q_end - qp[i]) - (s1 * s1) / mi);
    }
    return;
  }
  // Dimension by dimension, each start's total gathers its terms in the order of segment_cost.
  for (std::size_t i = 0; i < count; ++i) out[i] = 0.0;
  for (std::size_t j = 0, b = 0; j < d; ++j, b += stride) {
    const double s_end = s[b + end];
    const double q_end = q[b + end];
    const double* sp = s + b + start;
    const double* qp = q + b + start;
    LaneF64 m = core::splat(m0) - LaneF64{0.0, 1.0, 2.0, 3.0};
    for (std::size_t i = 0; i < whole; i += kLanes, m -= 4.0) {
      const LaneF64 s1 = s_end - core::load_lanes(sp + i);
      const LaneF64 s2 = q_end - core::load_lanes(qp + i);
      core::store_lanes(out + i, core::load_lanes(out + i) + (s2 - (s1 * s1) / m));
    }
    for (std::size_t i = whole; i < count; ++i) {
      const double mi = m0 - static_cast<double>(i);
      const double s1 = s_end - sp[i];
      const double s2 = q_end - qp[i];
      out[i] = out[i] + (s2 - (s1 * s1) / mi);
    }
  }
  for (std::size_t i = 0; i < whole; i += kLanes) {
    core::store_lanes(out + i, clamp_total(core::load_lanes(out + i)));
  }
  for (std::size_t i = whole; i < count; ++i) out[i] = clamp_total(out[i]);
}

std::optional<std::size_t> CostL2Mean::penalty_effective_params(std::size_t d) const {
  std::size_t out = 0;
  if (__builtin_mul_overflow(d, std::size_t{2}, &out)) return std::nullopt;
  return out;
}

}  // namespace ovrel::costs
