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

OVREL_MULTIVERSION
core::RunMinimum CostL2Mean::l2_scores_at(const double* s, const double* q, std::size_t stride,
                                          std::size_t d, const std::size_t* starts,
                                          std::size_t count, std::size_t end, const double* F,
                                          double beta, double* out) {
  core::FirstMinLanes lanes;
  core::RunMinimum rest;  // the candidates outside whole vectors
  const LaneF64 b = core::splat(beta);
  const double s_end = s[end];
  const double q_end = q[end];
  // Runs of consecutive starts, each in one pass per start: its cost, its score and its candidate.
  for (std::size_t k = 0; k < count;) {
    const std::size_t r = core::consecutive_run_end(starts, k, count);
    const std::size_t start = starts[k];
    const std::size_t len = r - k;
    const double m0 = static_cast<double>(end - start);
    const double* f = F + start;
    double* o = out + k;
    if (d == 1) {
      // A total at or below 0 becomes total - total: +0 when finite, as in segment_cost, and NaN
      // for -inf (segment_cost keeps -inf); either way the candidate is not finite and the caller
      // scores the target again on its exact scalar path. One instruction fewer than the clamp.
      const double* sp = s + start;
      const double* qp = q + start;
      LaneF64 m = core::splat(m0) - LaneF64{0.0, 1.0, 2.0, 3.0};
      std::size_t i = 0;
      auto lane_step = [&](std::size_t at, const LaneF64& seg_len) {
        const LaneF64 s1 = s_end - core::load_lanes(sp + at);
        const LaneF64 total = (q_end - core::load_lanes(qp + at)) - (s1 * s1) / seg_len;
        const LaneF64 s0 = (total > 0.0 ? total : total - total) + core::load_lanes(f + at);
        core::store_lanes(o + at, s0);
        lanes.add(s0, s0 + b);
      };
      // Two vectors a step: the loop's own instructions are shared.
      for (; i + 2 * kLanes <= len; i += 2 * kLanes, m -= 8.0) {
        lane_step(i, m);
        lane_step(i + kLanes, m - 4.0);
      }
      for (; i + kLanes <= len; i += kLanes, m -= 4.0) lane_step(i, m);
      for (; i < len; ++i) {
        const double mi = m0 - static_cast<double>(i);
        const double s1 = s_end - sp[i];
        const double s0 = clamp_total((q_end - qp[i]) - (s1 * s1) / mi) + f[i];
        o[i] = s0;
        core::add_candidate(rest, s0, s0 + beta);
      }
    } else {
      l2_costs_to_end(s, q, stride, d, start, len, end, o);
      core::add_objectives(o, f, len, beta, lanes, rest);
    }
    k = r;
  }
  core::RunMinimum best = lanes.finish();
  best.merge(rest);
  core::first_at(best, out, count, beta);
  return best;
}

std::optional<std::size_t> CostL2Mean::penalty_effective_params(std::size_t d) const {
  std::size_t out = 0;
  if (__builtin_mul_overflow(d, std::size_t{2}, &out)) return std::nullopt;
  return out;
}

}  // namespace ovrel::costs
