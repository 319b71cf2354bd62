#include "ovrel/costs/normal.hpp"

#include <algorithm>

#include "ovrel/core/interrupt.hpp"
#include "ovrel/core/lanes.hpp"
#include "ovrel/core/text.hpp"

// Lane helpers are inlined: no vector crosses a call, so GCC's ABI note does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace ovrel::costs {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// NaN becomes 0, +inf the largest finite value, -inf its negative.
inline double sanitize(double v) noexcept {
  if (std::isnan(v)) return 0.0;
  if (v == kInf) return kLargestFinite;
  if (v == -kInf) return -kLargestFinite;
  return v;
}

// The per-thread scratch of the full-covariance cost: the covariance matrix C followed by the
// scratch matrix S, grown (never shrunk) to 2*d*d entries. Held exclusively during one cost.
struct FullCovWorkspace {
  std::vector<double> buffer;
  bool held = false;
};

thread_local FullCovWorkspace full_cov_workspace;

class WorkspaceHold {
 public:
  explicit WorkspaceHold(std::size_t entries) : ws_(full_cov_workspace) {
    if (ws_.held) throw InternalError("full-cov workspace is already held by this thread");
    ws_.held = true;
    if (ws_.buffer.size() < entries) ws_.buffer.resize(entries, 0.0);
  }
  ~WorkspaceHold() { ws_.held = false; }
  WorkspaceHold(const WorkspaceHold&) = delete;
  WorkspaceHold& operator=(const WorkspaceHold&) = delete;
  double* data() { return ws_.buffer.data(); }

 private:
  FullCovWorkspace& ws_;
};

std::optional<std::size_t> checked_product(std::size_t a, std::size_t b) {
  std::size_t out = 0;
  if (__builtin_mul_overflow(a, b, &out)) return std::nullopt;
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CostNormalMeanVar

core::Status CostNormalMeanVar::validate(const core::TimeSeriesView& x) const {
  return validate_shared(kTypeName, x);
}

core::Result<NormalCache> CostNormalMeanVar::precompute(const core::TimeSeriesView& x,
                                                        const core::CachePolicy& policy) const {
  NormalCache cache;
  OVREL_TRY(build_shifted_moment_tables(x, policy, repro_mode, kTypeName, kCacheName,
                                        cache.prefix_sum, cache.prefix_sum_sq));
  cache.n = x.n();
  cache.d = x.d();
  return cache;
}

namespace {

// guard_variance in every lane.
[[gnu::always_inline]] inline core::LaneF64 guard_variance_lanes(
    const core::LaneF64& var) noexcept {
  const core::LaneF64 inf = core::splat(kInf);
  const core::LaneF64 above = var == inf ? core::splat(kLargestFinite) : var;
  const core::LaneF64 below = (var != var) | (var == -inf)
                                  ? core::splat(std::numeric_limits<double>::quiet_NaN())
                                  : core::splat(kVarianceFloor);
  return var > kVarianceFloor ? above : below;
}

}  // namespace

OVREL_MULTIVERSION
void CostNormalMeanVar::normal_costs_to_end(const double* s, const double* q, std::size_t stride,
                                            std::size_t d, std::size_t start, std::size_t count,
                                            std::size_t end, double* out) {
  // Lengths are integers below 2^53: the lane lengths m0 - i are exact.
  const double m0 = static_cast<double>(end - start);
  // The guarded variances of one block of starts and one dimension; the logarithms stay scalar
  // (the library's own log, as segment_cost calls it).
  constexpr std::size_t kBlock = 64;
  double var[kBlock];
  for (std::size_t i = 0; i < count; ++i) out[i] = 0.0;
  for (std::size_t i0 = 0; i0 < count; i0 += kBlock) {
    const std::size_t len = count - i0 < kBlock ? count - i0 : kBlock;
    const std::size_t whole = len - len % core::kLanes;
    for (std::size_t j = 0, b = 0; j < d; ++j, b += stride) {
      const double s_end = s[b + end];
      const double q_end = q[b + end];
      const double* sp = s + b + start + i0;
      const double* qp = q + b + start + i0;
      const double mb = m0 - static_cast<double>(i0);
      core::LaneF64 m = core::splat(mb) - core::LaneF64{0.0, 1.0, 2.0, 3.0};
      for (std::size_t i = 0; i < whole; i += core::kLanes, m -= 4.0) {
        const core::LaneF64 s1 = s_end - core::load_lanes(sp + i);
        const core::LaneF64 s2 = q_end - core::load_lanes(qp + i);
        const core::LaneF64 mean = s1 / m;
        core::store_lanes(var + i, guard_variance_lanes(s2 / m - mean * mean));
      }
      for (std::size_t i = whole; i < len; ++i) {
        const double mi = mb - static_cast<double>(i);
        const double mean = (s_end - sp[i]) / mi;
        var[i] = guard_variance((q_end - qp[i]) / mi - mean * mean);
      }
      double* o = out + i0;
      for (std::size_t i = 0; i < len; ++i) {
        o[i] = o[i] + std::log(var[i]) * (mb - static_cast<double>(i));
      }
    }
  }
}

OVREL_MULTIVERSION
core::RunMinimum CostNormalMeanVar::normal_scores_at(const double* s, const double* q,
                                                     std::size_t stride, std::size_t d,
                                                     const std::size_t* starts, std::size_t count,
                                                     std::size_t end, const double* F, double beta,
                                                     double* out) {
  using core::kLanes;
  using core::LaneF64;
  core::FirstMinLanes lanes;
  core::RunMinimum rest;  // the candidates outside whole vectors
  const LaneF64 b = core::splat(beta);
  // Per block of starts: the guarded variances in lanes, their logarithms one by one (the
  // library's own log, as segment_cost calls it), then m * log, the score and the candidate in
  // lanes again.
  constexpr std::size_t kBlock = 64;
  double buf[kBlock];
  for (std::size_t k = 0; k < count;) {
    const std::size_t r = core::consecutive_run_end(starts, k, count);
    const std::size_t start = starts[k];
    const double m0 = static_cast<double>(end - start);
    if (d > 1) normal_costs_to_end(s, q, stride, d, start, r - k, end, out + k);
    for (std::size_t i0 = 0; i0 < r - k; i0 += kBlock) {
      const std::size_t len = std::min(r - k - i0, kBlock);
      const std::size_t whole = len - len % kLanes;
      const double mb = m0 - static_cast<double>(i0);
      const double* f = F + start + i0;
      double* o = out + k + i0;
      const LaneF64 m_first = core::splat(mb) - LaneF64{0.0, 1.0, 2.0, 3.0};
      if (d == 1) {
        const double s_end = s[end];
        const double q_end = q[end];
        const double* sp = s + start + i0;
        const double* qp = q + start + i0;
        LaneF64 m = m_first;
        for (std::size_t i = 0; i < whole; i += kLanes, m -= 4.0) {
          const LaneF64 s1 = s_end - core::load_lanes(sp + i);
          const LaneF64 s2 = q_end - core::load_lanes(qp + i);
          const LaneF64 mean = s1 / m;
          core::store_lanes(buf + i, guard_variance_lanes(s2 / m - mean * mean));
        }
        for (std::size_t i = whole; i < len; ++i) {
          const double mi = mb - static_cast<double>(i);
          const double mean = (s_end - sp[i]) / mi;
          buf[i] = guard_variance((q_end - qp[i]) / mi - mean * mean);
        }
        for (std::size_t i = 0; i < len; ++i) buf[i] = std::log(buf[i]);
        m = m_first;
        for (std::size_t i = 0; i < whole; i += kLanes, m -= 4.0) {
          const LaneF64 s0 = (0.0 + core::load_lanes(buf + i) * m) + core::load_lanes(f + i);
          core::store_lanes(o + i, s0);
          lanes.add(s0, s0 + b);
        }
        for (std::size_t i = whole; i < len; ++i) {
          const double s0 = (0.0 + buf[i] * (mb - static_cast<double>(i))) + f[i];
          o[i] = s0;
          core::add_candidate(rest, s0, s0 + beta);
        }
      } else {
        core::add_objectives(o, f, len, beta, lanes, rest);
      }
    }
    k = r;
  }
  core::RunMinimum best = lanes.finish();
  best.merge(rest);
  core::first_at(best, out, count, beta);
  return best;
}

std::optional<std::size_t> CostNormalMeanVar::penalty_effective_params(std::size_t d) const {
  return checked_product(d, 3);
}

// ---------------------------------------------------------------------------------------------
// CostNormalFullCov

namespace {

PlannedBytes full_cov_bytes(std::size_t n, std::size_t d) {
  const PlannedBytes rows = checked_add(n, 1);
  const PlannedBytes pairs_twice = checked_mul(d, checked_add(d, 1));
  const PlannedBytes pairs = pairs_twice ? PlannedBytes(*pairs_twice / 2) : std::nullopt;
  const PlannedBytes sums = checked_mul(rows, d);
  const PlannedBytes cross = checked_mul(rows, pairs);
  return checked_mul(checked_add(sums, cross), 8);
}

}  // namespace

core::Status CostNormalFullCov::validate(const core::TimeSeriesView& x) const {
  return validate_shared(kTypeName, x);
}

core::Result<NormalFullCovCache> CostNormalFullCov::precompute(
    const core::TimeSeriesView& x, const core::CachePolicy& policy) const {
  const std::size_t n = x.n();
  const std::size_t d = x.d();
  OVREL_TRY(plan_cache(policy, full_cov_bytes(n, d), kTypeName, kCacheName, n, d));
  const std::size_t pairs = d * (d + 1) / 2;

  // The whole series, column by column (entry j*n + t), each column shifted by its first value.
  std::vector<double> columns(n * d);
  for (std::size_t j = 0; j < d; ++j) {
    const std::span<double> column(columns.data() + j * n, n);
    OVREL_TRY(read_column(x, j, column));
    shift_column(column);
  }

  NormalFullCovCache cache;
  cache.prefix_sum.reserve((n + 1) * d);
  cache.prefix_cross.reserve((n + 1) * pairs);
  for (std::size_t j = 0; j < d; ++j) {
    append_prefix_sums(std::span<const double>(columns.data() + j * n, n), repro_mode,
                       cache.prefix_sum);
  }
  std::vector<double> products(n);
  for (std::size_t i = 0; i < d; ++i) {
    const double* xi = columns.data() + i * n;
    for (std::size_t k = i; k < d; ++k) {
      const double* xk = columns.data() + k * n;
      for (std::size_t t = 0; t < n; ++t) products[t] = xi[t] * xk[t];
      append_prefix_sums(products, repro_mode, cache.prefix_cross);
    }
  }
  cache.n = n;
  cache.d = d;
  return cache;
}

std::optional<std::size_t> CostNormalFullCov::penalty_effective_params(std::size_t d) const {
  std::size_t d1 = 0;
  std::size_t prod = 0;
  std::size_t sum = 0;
  std::size_t out = 0;
  if (__builtin_add_overflow(d, std::size_t{1}, &d1) || __builtin_mul_overflow(d, d1, &prod) ||
      __builtin_add_overflow(d, prod / 2, &sum) ||
      __builtin_add_overflow(sum, std::size_t{1}, &out)) {
    return std::nullopt;
  }
  return out;
}

double CostNormalFullCov::multivariate_cost(const NormalFullCovCache& cache, std::size_t start,
                                            std::size_t end) {
  const std::size_t n1 = cache.n + 1;
  const std::size_t d = cache.d;
  const double m = static_cast<double>(end - start);
  const double* ps = cache.prefix_sum.data();
  const double* pc = cache.prefix_cross.data();

  // The planned cache size bounds d far below the point where 2*d*d could overflow.
  WorkspaceHold hold(2 * d * d);
  double* c_mat = hold.data();
  double* s_mat = c_mat + d * d;

  // The means go into the scratch matrix, which the log-determinant overwrites only later.
  double* mean = s_mat;
  for (std::size_t i = 0; i < d; ++i) mean[i] = range_sum(ps, i * n1, start, end) / m;

  double trace = 0.0;
  std::size_t pair = 0;
  for (std::size_t i = 0; i < d; ++i) {
    const double mean_i = mean[i];
    for (std::size_t k = i; k < d; ++k, ++pair) {
      const double mean_k = mean[k];
      const double cross = range_sum(pc, pair * n1, start, end) / m;
      const double raw = cross - mean_i * mean_k;
      // NaN only arises from sums that overflowed: no covariance is known, so no cost either.
      if (std::isnan(raw)) return std::numeric_limits<double>::quiet_NaN();
      const double c = sanitize(raw);
      c_mat[i * d + k] = c;
      c_mat[k * d + i] = c;
      if (k == i) trace = trace + std::fmax(c, kVarianceFloor);
    }
  }

  const double df = static_cast<double>(d);
  double a = trace / df;
  if (std::isnan(a) || a <= kVarianceFloor) {
    a = kVarianceFloor;
  } else if (a == kInf) {
    a = kLargestFinite;
  }
  double ridge = std::fmax(a * kFullCovRelativeRidge, kVarianceFloor);
  if (m < df) ridge = ((df - m) / df + 1.0) * ridge;
  if (!std::isfinite(ridge)) ridge = kLargestFinite;

  const double logdet = regularized_logdet_with_scratch(std::span<double>(c_mat, d * d),
                                                        std::span<double>(s_mat, d * d), d, ridge);
  return logdet * m;
}

double regularized_logdet_with_scratch(std::span<double> matrix, std::span<double> scratch,
                                       std::size_t d, double ridge) noexcept {
  double* a_mat = matrix.data();
  double* s_mat = scratch.data();
  const std::size_t dd = d * d;
  const double df = static_cast<double>(d);

  double lambda = std::fmax(ridge, kVarianceFloor);

  double s = lambda;
  for (std::size_t p = 0; p < dd; ++p) {
    if (std::isfinite(a_mat[p])) s = std::fmax(s, std::fabs(a_mat[p]));
  }
  if (!std::isfinite(s) || s == 0.0) s = 1.0;
  const double inv_s = 1.0 / s;
  for (std::size_t p = 0; p < dd; ++p) s_mat[p] = sanitize(a_mat[p] * inv_s);

  // A large factorisation may be asked to stop: once before it starts, when its whole work is
  // worth a look, and then between rows. Its value is then meaningless (NaN).
  core::EvaluationPoll poll;
  if (poll.add(dd / 6 * d)) return std::numeric_limits<double>::quiet_NaN();
  for (int attempt = 1; attempt <= kFullCovAttempts; ++attempt) {
    std::copy(s_mat, s_mat + dd, a_mat);
    const double jitter = std::fmax(lambda * inv_s, kVarianceFloor);
    for (std::size_t i = 0; i < d; ++i) a_mat[i * d + i] = sanitize(a_mat[i * d + i] + jitter);

    bool ok = true;
    for (std::size_t i = 0; i < d && ok; ++i) {
      if (poll.add(i * i / 2 + 1)) return std::numeric_limits<double>::quiet_NaN();
      double* row_i = a_mat + i * d;
      for (std::size_t j = 0; j <= i; ++j) {
        const double* row_j = a_mat + j * d;
        double sum = row_i[j];
        for (std::size_t k = 0; k < j; ++k) sum = sum - row_i[k] * row_j[k];
        if (j == i) {
          if (!(std::isfinite(sum) && sum > kVarianceFloor)) {
            ok = false;
            break;
          }
          row_i[i] = std::sqrt(sum);
        } else {
          const double pivot = row_j[j];
          if (!(std::isfinite(pivot) && pivot > kVarianceFloor)) {
            ok = false;
            break;
          }
          const double q = sum / pivot;
          if (!std::isfinite(q)) {
            ok = false;
            break;
          }
          row_i[j] = q;
        }
      }
    }
    if (ok) {
      double ld = 0.0;
      for (std::size_t i = 0; i < d; ++i) {
        const double diag = a_mat[i * d + i];
        if (!(std::isfinite(diag) && diag > 0.0)) {
          ok = false;
          break;
        }
        ld = ld + (std::log(diag) + std::log(diag));
      }
      if (ok && std::isfinite(ld)) return std::log(s) * df + ld;
    }
    lambda = lambda * kFullCovRidgeGrowth;
  }

  if (std::isnan(lambda) || lambda <= kVarianceFloor) return std::log(kVarianceFloor) * df;
  if (lambda == kInf) lambda = kLargestFinite;
  return std::log(lambda) * df;
}

}  // namespace ovrel::costs
