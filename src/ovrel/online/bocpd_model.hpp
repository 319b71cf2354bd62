#pragma once

// The model ingredients of Bayesian online change-point detection: the hazard (prior probability
// of a change at each step), the conjugate observation models with their per-run sufficient
// statistics, and the log-gamma they use. Pure computation on plain values.

#include <cmath>
#include <cstdint>
#include <variant>
#include <vector>

#include "ovrel/core/error.hpp"

namespace ovrel::online {

struct ConstantHazard {
  double p_change = 0.005;  // 0 < p_change < 1

  static Result<ConstantHazard> create(double p_change);
  friend bool operator==(const ConstantHazard&, const ConstantHazard&) = default;
};

struct GeometricHazard {
  double mean_run_length = 200.0;  // > 1
  double hazard_rate = 0.005;      // 1 / mean_run_length

  static Result<GeometricHazard> create(double mean_run_length);
  friend bool operator==(const GeometricHazard&, const GeometricHazard&) = default;
};

// Constant (index 0) or Geometric (index 1); the default is Constant with p_change 0.005. Only
// the two create functions test a hazard.
using HazardSpec = std::variant<ConstantHazard, GeometricHazard>;

// The per-step hazard h (it does not depend on the run length).
double hazard_rate(const HazardSpec& hazard) noexcept;

// Priors of the three observation models.
struct GaussianNig {
  double mu0 = 0.0;
  double kappa0 = 1.0;
  double alpha0 = 1.0;
  double beta0 = 1.0;
  friend bool operator==(const GaussianNig&, const GaussianNig&) = default;
};

struct PoissonGamma {
  double alpha = 1.0;
  double beta = 1.0;
  friend bool operator==(const PoissonGamma&, const PoissonGamma&) = default;
};

struct BernoulliBeta {
  double alpha = 1.0;
  double beta = 1.0;
  friend bool operator==(const BernoulliBeta&, const BernoulliBeta&) = default;
};

// GaussianNig (0), PoissonGamma (1), BernoulliBeta (2); the default is GaussianNig {0, 1, 1, 1}.
using ObservationModel = std::variant<GaussianNig, PoissonGamma, BernoulliBeta>;

// The sufficient statistics of one run; the variant index matches the model's (and is the wire
// tag: 0 Gaussian, 1 Poisson, 2 Bernoulli).
struct GaussianStats {
  std::uint64_t n = 0;
  double sum = 0.0;
  double sum_sq = 0.0;
  friend bool operator==(const GaussianStats&, const GaussianStats&) = default;
};

struct PoissonStats {
  std::uint64_t n = 0;
  std::uint64_t sum = 0;
  friend bool operator==(const PoissonStats&, const PoissonStats&) = default;
};

struct BernoulliStats {
  std::uint64_t n = 0;
  std::uint64_t ones = 0;
  friend bool operator==(const BernoulliStats&, const BernoulliStats&) = default;
};

using ObservationStats = std::variant<GaussianStats, PoissonStats, BernoulliStats>;

// Counts saturate at UINT64_MAX rather than wrap.
inline std::uint64_t saturating_inc(std::uint64_t n) noexcept {
  return n == UINT64_MAX ? n : n + 1;
}
inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t s = 0;
  return __builtin_add_overflow(a, b, &s) ? UINT64_MAX : s;
}

// A run's statistics extended by one observation the model accepted (x, the count k, or whether
// the outcome is one): update_stats and the detector's step share them.
inline GaussianStats extended(const GaussianStats& s, double x) noexcept {
  return {saturating_inc(s.n), s.sum + x, s.sum_sq + x * x};
}
inline PoissonStats extended(const PoissonStats& s, std::uint64_t k) noexcept {
  return {saturating_inc(s.n), saturating_add(s.sum, k)};
}
inline BernoulliStats extended(const BernoulliStats& s, bool one) noexcept {
  return {saturating_inc(s.n), one ? saturating_inc(s.ones) : s.ones};
}

// The prior rules, in field order (invalid input).
Status validate_prior(const ObservationModel& model);

// The model's statistics variant with every field 0: an empty run.
ObservationStats zero_stats(const ObservationModel& model) noexcept;

// Whether the model accepts x as an observation (finite real, count, 0 or 1); the model's own
// invalid-input message otherwise.
Status check_observation(const ObservationModel& model, double x);

// check_observation, then the predictive of an empty run, which every step computes whatever the
// state: a value failing it could never be applied (a buffered one would stop every later update),
// so it is refused with the step's own error.
Status check_replayable(const ObservationModel& model, double x);

// The statistics of the run extended by x. Refuses a statistics variant that is not the model's
// (numerical issue) and an observation the model does not accept (invalid input).
Result<ObservationStats> update_stats(const ObservationModel& model, const ObservationStats& stats,
                                      double x);

// Natural log of the predictive density (Gaussian) or probability (Poisson, Bernoulli) of x given
// the run's statistics.
Result<double> log_predictive(const ObservationModel& model, const ObservationStats& stats,
                              double x);

// The step loop of the detector evaluates every run's predictive at each step. These are the same
// expressions on plain values, split into the parts that depend only on a run's count (kept in a
// table, computed once per count) and the rest. Each fast form either gives the bits that
// log_predictive gives or declines (returns false) and leaves the case to log_predictive, which
// then reports the error or, where only the fast form declined, gives the value.

// Count-only terms of the Gaussian predictive for n >= 1.
struct GaussianCountRow {
  double nf;             // n as double
  double kappa_n;        // kappa0 + nf
  double kappa_n_plus1;  // kappa_n + 1
  double kappa_alpha;    // kappa_n * alpha_n
  double two_kappa;      // kappa_n + kappa_n
  double kappa0_nf;      // kappa0 * nf
  double nu;             // alpha_n + alpha_n
  double a;              // (nu + 1) / 2
  double lg_diff;        // ln_gamma(a) - ln_gamma(nu / 2)
  double log_nu_pi;      // ln(nu) + ln(pi)
  bool ok;               // the count-only checks passed
};

// Count-only terms of the Poisson predictive.
struct PoissonCountRow {
  double log_inv_b1;  // ln(1 / (b + 1)), b = beta + n
  double log_b_b1;    // ln(b / (b + 1))
  bool ok;            // b finite and > 0
};

// One row per count from 0 up to the largest count asked for, below a limit (counts above it only
// come from a loaded state and take the generic path). Rows depend on the prior alone, so a table
// must only ever serve one prior.
template <class Row>
class CountTable {
 public:
  static constexpr std::uint64_t kLimit = std::uint64_t{1} << 16;

  // The rows built so far (a step loop reads them through a local copy of the pointer).
  const Row* data() const noexcept { return rows_.data(); }
  std::size_t size() const noexcept { return rows_.size(); }

  // The row of count n, or nullptr when n is past the limit or its count-only checks failed.
  // Kept out of line: the step loop only calls it for a count it has no row for yet.
  template <class Make>
  [[gnu::noinline]] const Row* get(std::uint64_t n, Make&& make) {
    if (n >= rows_.size()) {
      if (n >= kLimit) return nullptr;
      const std::size_t from = rows_.size();
      rows_.resize(static_cast<std::size_t>(n) + 1);
      for (std::size_t i = from; i <= n; ++i) rows_[i] = make(static_cast<std::uint64_t>(i));
    }
    const Row& row = rows_[static_cast<std::size_t>(n)];
    return row.ok ? &row : nullptr;
  }

 private:
  std::vector<Row> rows_;
};

// ln_gamma of arguments alpha + s for integer s, kept by s below a limit. Each entry keeps its
// argument, and a value is only reused for the same argument bit for bit (alpha + s is not always
// exact), so the table gives exactly ln_gamma(arg) whatever it has seen.
class LnGammaBySum {
 public:
  static constexpr std::uint64_t kLimit = std::uint64_t{1} << 16;
  struct Entry {
    double arg;
    double value;
  };

  // The entries so far (a step loop reads them through a local copy of the pointer).
  const Entry* data() const noexcept { return entries_.data(); }
  std::size_t size() const noexcept { return entries_.size(); }

  // ln_gamma(arg), kept as the entry of s when s is below the limit. A reader looks entry s up
  // first and calls this when its argument differs.
  double fill(std::uint64_t s, double arg);

 private:
  std::vector<Entry> entries_;
};

GaussianCountRow gaussian_count_row(const GaussianNig& m, std::uint64_t n);
PoissonCountRow poisson_count_row(const PoissonGamma& m, std::uint64_t n);

// Accepts positive subnormals; refuses zero, NaN and infinities.
inline bool finite_positive(double v) noexcept { return std::isfinite(v) && v > 0.0; }

// The Gaussian predictive of a run with count row.nf >= 1.
inline bool gaussian_log_predictive_fast(const GaussianNig& m, double kappa0_mu0,
                                         const GaussianCountRow& row, const GaussianStats& s,
                                         double x, double& out) noexcept {
  const double mean = s.sum / row.nf;
  double ss = s.sum_sq - mean * (mean * row.nf);
  // Rounding can leave the spread slightly negative.
  if (ss <= 0.0) ss = 0.0;
  const double dev = mean - m.mu0;
  const double shrink = row.kappa0_nf * (dev * dev) / row.two_kappa;
  const double half_ss = ss * 0.5;
  const double beta_n = shrink + (half_ss + m.beta0);
  if (!finite_positive(beta_n)) return false;
  const double scale2 = beta_n * row.kappa_n_plus1 / row.kappa_alpha;
  if (!finite_positive(scale2)) return false;
  const double mu_n = (s.sum + kappa0_mu0) / row.kappa_n;
  const double d = x - mu_n;
  const double z = d * d / (row.nu * scale2);
  const double lp =
      row.lg_diff - (row.log_nu_pi + std::log(scale2)) * 0.5 - row.a * std::log(z + 1.0);
  if (!std::isfinite(lp)) return false;
  out = lp;
  return true;
}

// The Poisson predictive of count k (kf = k as double, lg_k1 = ln_gamma(k + 1)) given a = alpha +
// sum, its ln_gamma(a) and ln_gamma(a + kf).
inline bool poisson_log_predictive_fast(const PoissonCountRow& row, double a, double kf,
                                        double lg_a, double lg_a_k, double lg_k1,
                                        double& out) noexcept {
  const double lp = row.log_inv_b1 * kf + (a * row.log_b_b1 + (lg_a_k - lg_a - lg_k1));
  if (!std::isfinite(lp)) return false;
  out = lp;
  return true;
}

// The Bernoulli predictive of outcome `one`.
inline bool bernoulli_log_predictive_fast(const BernoulliBeta& m, const BernoulliStats& s, bool one,
                                          double& out) noexcept {
  const std::uint64_t zeros = s.ones > s.n ? 0 : s.n - s.ones;
  const double a = m.alpha + static_cast<double>(s.ones);
  const double b = m.beta + static_cast<double>(zeros);
  if (!finite_positive(a) || !finite_positive(b)) return false;
  const double p = one ? a / (a + b) : b / (a + b);
  if (!finite_positive(p)) return false;
  out = std::log(p);
  return true;
}

// The observation as the model reads it: the count of a Poisson model, the outcome of a Bernoulli
// one (the model's invalid-input message otherwise).
Result<std::uint64_t> poisson_observation(double x);
Result<bool> bernoulli_observation(double x);

// Lanczos (g = 7, nine coefficients) with reflection below 0.5; NaN for x <= 0 or non-finite x.
// The engine's own, so results are the same on every platform.
double ln_gamma(double x) noexcept;

}  // namespace ovrel::online
