#include "ovrel/online/bocpd_model.hpp"

#include <cmath>
#include <limits>

#include "ovrel/core/text.hpp"

namespace ovrel::online {
namespace {

using core::cat;

constexpr double kLnPi = 1.1447298858494002;
constexpr double kPi = 3.141592653589793;
constexpr double kHalfLnTwoPi = 0.9189385332046727;
constexpr double kTwoPow64 = 18446744073709551616.0;
// Above 2^53 a double no longer holds every integer: such a count is not exact, and sums of them
// lose the mass the posterior needs (two counts of 2^63 left probabilities summing to 2).
constexpr double kTwoPow53 = 9007199254740992.0;

}  // namespace

Result<std::uint64_t> poisson_observation(double x) {
  if (!std::isfinite(x) || x < 0.0) {
    return core::invalid_input(cat("poisson observation must be finite and >= 0; got ", x));
  }
  const double k = std::round(x);
  if (std::fabs(k - x) > 1e-9) {
    return core::invalid_input(cat("poisson observation must be an integer-valued count; got ", x));
  }
  // Refused before the cast, which would be undefined from 2^64 on.
  if (k >= kTwoPow64) {
    return core::invalid_input(cat("poisson observation exceeds u64 range; got ", x));
  }
  if (k > kTwoPow53) {
    return core::invalid_input(cat("poisson observation must be an integer-valued count; got ", x));
  }
  return static_cast<std::uint64_t>(k);
}

Result<bool> bernoulli_observation(double x) {
  if (std::fabs(x) <= 1e-12) return false;
  if (std::fabs(x - 1.0) <= 1e-12) return true;
  return core::invalid_input(cat("bernoulli observation must be exactly 0 or 1; got ", x));
}

namespace {

Status gaussian_check(double x) {
  if (!std::isfinite(x)) return core::invalid_input("gaussian observation must be finite");
  return {};
}

Status check_variant(const ObservationModel& model, const ObservationStats& stats) {
  if (model.index() != stats.index()) {
    return core::numerical_issue("observation stats variant mismatch with configured model");
  }
  return {};
}

Result<double> gaussian_predictive(const GaussianNig& m, const GaussianStats& s, double x) {
  OVREL_TRY(gaussian_check(x));
  const double nf = static_cast<double>(s.n);
  const double kappa_n = m.kappa0 + nf;
  if (!finite_positive(kappa_n)) {
    return core::numerical_issue("gaussian posterior kappa became non-finite or non-positive");
  }
  double alpha_n = m.alpha0;
  double half_ss = 0.0;
  double shrink = 0.0;
  if (s.n > 0) {
    const double mean = s.sum / nf;
    double ss = s.sum_sq - mean * (mean * nf);
    // Rounding can leave the spread slightly negative.
    if (ss <= 0.0) ss = 0.0;
    alpha_n = nf * 0.5 + m.alpha0;
    const double dev = mean - m.mu0;
    shrink = m.kappa0 * nf * (dev * dev) / (kappa_n + kappa_n);
    half_ss = ss * 0.5;
  }
  if (!finite_positive(alpha_n)) {
    return core::numerical_issue("gaussian posterior alpha/beta became non-finite or non-positive");
  }
  const double beta_n = shrink + (half_ss + m.beta0);
  if (!finite_positive(beta_n)) {
    return core::numerical_issue("gaussian posterior alpha/beta became non-finite or non-positive");
  }
  const double nu = alpha_n + alpha_n;
  if (!finite_positive(nu)) {
    return core::numerical_issue("gaussian predictive scale became non-finite or non-positive");
  }
  const double scale2 = beta_n * (kappa_n + 1.0) / (kappa_n * alpha_n);
  if (!finite_positive(scale2)) {
    return core::numerical_issue("gaussian predictive scale became non-finite or non-positive");
  }
  const double mu_n = (s.sum + m.kappa0 * m.mu0) / kappa_n;
  const double d = x - mu_n;
  const double z = d * d / (nu * scale2);
  const double a = (nu + 1.0) * 0.5;
  const double lg_diff = ln_gamma(a) - ln_gamma(nu * 0.5);
  const double log_nu_pi = std::log(nu) + kLnPi;
  // log of the sum, not log1p: the same bits on every platform.
  const double lp = lg_diff - (log_nu_pi + std::log(scale2)) * 0.5 - a * std::log(z + 1.0);
  if (!std::isfinite(lp)) {
    return core::numerical_issue("gaussian predictive log-likelihood became non-finite");
  }
  return lp;
}

Result<double> poisson_predictive(const PoissonGamma& m, const PoissonStats& s, double x) {
  OVREL_TRY_ASSIGN(const std::uint64_t k, poisson_observation(x));
  const double kf = static_cast<double>(k);
  const double a = m.alpha + static_cast<double>(s.sum);
  if (!finite_positive(a)) {
    return core::numerical_issue("poisson posterior alpha became non-finite or non-positive");
  }
  const double b = m.beta + static_cast<double>(s.n);
  if (!finite_positive(b)) {
    return core::numerical_issue("poisson posterior beta became non-finite or non-positive");
  }
  // k < 2^64 - 1 here (the largest double below 2^64 is 2^64 - 2048), so k + 1 cannot wrap.
  const double lp = std::log(1.0 / (b + 1.0)) * kf +
                    (a * std::log(b / (b + 1.0)) +
                     (ln_gamma(a + kf) - ln_gamma(a) - ln_gamma(static_cast<double>(k + 1))));
  if (!std::isfinite(lp)) {
    return core::numerical_issue("poisson predictive log-likelihood became non-finite");
  }
  return lp;
}

Result<double> bernoulli_predictive(const BernoulliBeta& m, const BernoulliStats& s, double x) {
  OVREL_TRY_ASSIGN(const bool one, bernoulli_observation(x));
  const std::uint64_t zeros = s.ones > s.n ? 0 : s.n - s.ones;
  const double a = m.alpha + static_cast<double>(s.ones);
  const double b = m.beta + static_cast<double>(zeros);
  if (!finite_positive(a) || !finite_positive(b)) {
    return core::numerical_issue(
        "bernoulli posterior alpha/beta became non-finite or non-positive");
  }
  const double p = one ? a / (a + b) : b / (a + b);
  if (!finite_positive(p)) {
    return core::numerical_issue(
        "bernoulli predictive probability became non-finite or non-positive");
  }
  return std::log(p);
}

}  // namespace

Result<ConstantHazard> ConstantHazard::create(double p_change) {
  if (!(p_change > 0.0 && p_change < 1.0)) {
    return core::invalid_input(
        cat("constant hazard p_change must be finite and in (0,1); got ", p_change));
  }
  return ConstantHazard{p_change};
}

Result<GeometricHazard> GeometricHazard::create(double mean_run_length) {
  if (!std::isfinite(mean_run_length) || !(mean_run_length > 1.0)) {
    return core::invalid_input(
        cat("geometric hazard mean_run_length must be finite and > 1; got ", mean_run_length));
  }
  return GeometricHazard{.mean_run_length = mean_run_length, .hazard_rate = 1.0 / mean_run_length};
}

double hazard_rate(const HazardSpec& hazard) noexcept {
  if (const auto* c = std::get_if<ConstantHazard>(&hazard)) return c->p_change;
  return std::get<GeometricHazard>(hazard).hazard_rate;
}

Status validate_prior(const ObservationModel& model) {
  if (const auto* g = std::get_if<GaussianNig>(&model)) {
    if (!std::isfinite(g->mu0)) return core::invalid_input("gaussian prior mu0 must be finite");
    if (!finite_positive(g->kappa0)) {
      return core::invalid_input("gaussian prior kappa0 must be finite and > 0");
    }
    if (!finite_positive(g->alpha0)) {
      return core::invalid_input("gaussian prior alpha0 must be finite and > 0");
    }
    if (!finite_positive(g->beta0)) {
      return core::invalid_input("gaussian prior beta0 must be finite and > 0");
    }
    return {};
  }
  if (const auto* p = std::get_if<PoissonGamma>(&model)) {
    if (!finite_positive(p->alpha)) {
      return core::invalid_input("poisson prior alpha must be finite and > 0");
    }
    if (!finite_positive(p->beta)) {
      return core::invalid_input("poisson prior beta must be finite and > 0");
    }
    return {};
  }
  const auto& b = std::get<BernoulliBeta>(model);
  if (!finite_positive(b.alpha)) {
    return core::invalid_input("bernoulli prior alpha must be finite and > 0");
  }
  if (!finite_positive(b.beta))
    return core::invalid_input("bernoulli prior beta must be finite and > 0");
  return {};
}

ObservationStats zero_stats(const ObservationModel& model) noexcept {
  switch (model.index()) {
    case 0:
      return GaussianStats{};
    case 1:
      return PoissonStats{};
    default:
      return BernoulliStats{};
  }
}

Status check_observation(const ObservationModel& model, double x) {
  switch (model.index()) {
    case 0:
      return gaussian_check(x);
    case 1: {
      OVREL_TRY(poisson_observation(x));
      return {};
    }
    default: {
      OVREL_TRY(bernoulli_observation(x));
      return {};
    }
  }
}

Status check_replayable(const ObservationModel& model, double x) {
  OVREL_TRY(check_observation(model, x));
  OVREL_TRY(log_predictive(model, zero_stats(model), x));
  return {};
}

Result<ObservationStats> update_stats(const ObservationModel& model, const ObservationStats& stats,
                                      double x) {
  OVREL_TRY(check_variant(model, stats));
  if (const auto* g = std::get_if<GaussianStats>(&stats)) {
    OVREL_TRY(gaussian_check(x));
    return extended(*g, x);
  }
  if (const auto* p = std::get_if<PoissonStats>(&stats)) {
    OVREL_TRY_ASSIGN(const std::uint64_t k, poisson_observation(x));
    return extended(*p, k);
  }
  OVREL_TRY_ASSIGN(const bool one, bernoulli_observation(x));
  return extended(std::get<BernoulliStats>(stats), one);
}

GaussianCountRow gaussian_count_row(const GaussianNig& m, std::uint64_t n) {
  // The expressions of gaussian_predictive for this count, in the same order.
  GaussianCountRow r{};
  if (n == 0) return r;  // the prior: alpha_n and the spread are taken differently
  r.nf = static_cast<double>(n);
  r.kappa_n = m.kappa0 + r.nf;
  const double alpha_n = r.nf * 0.5 + m.alpha0;
  r.nu = alpha_n + alpha_n;
  r.ok = finite_positive(r.kappa_n) && finite_positive(alpha_n) && finite_positive(r.nu);
  r.kappa_n_plus1 = r.kappa_n + 1.0;
  r.kappa_alpha = r.kappa_n * alpha_n;
  r.two_kappa = r.kappa_n + r.kappa_n;
  r.kappa0_nf = m.kappa0 * r.nf;
  r.a = (r.nu + 1.0) * 0.5;
  r.lg_diff = ln_gamma(r.a) - ln_gamma(r.nu * 0.5);
  r.log_nu_pi = std::log(r.nu) + kLnPi;
  return r;
}

double LnGammaBySum::fill(std::uint64_t s, double arg) {
  const double value = ln_gamma(arg);
  if (s < kLimit) {
    if (s >= entries_.size()) {
      entries_.resize(static_cast<std::size_t>(s) + 1,
                      Entry{std::numeric_limits<double>::quiet_NaN(), 0.0});
    }
    entries_[s] = Entry{arg, value};
  }
  return value;
}

PoissonCountRow poisson_count_row(const PoissonGamma& m, std::uint64_t n) {
  const double b = m.beta + static_cast<double>(n);
  return {std::log(1.0 / (b + 1.0)), std::log(b / (b + 1.0)), finite_positive(b)};
}

Result<double> log_predictive(const ObservationModel& model, const ObservationStats& stats,
                              double x) {
  OVREL_TRY(check_variant(model, stats));
  switch (model.index()) {
    case 0:
      return gaussian_predictive(std::get<GaussianNig>(model), std::get<GaussianStats>(stats), x);
    case 1:
      return poisson_predictive(std::get<PoissonGamma>(model), std::get<PoissonStats>(stats), x);
    default:
      return bernoulli_predictive(std::get<BernoulliBeta>(model), std::get<BernoulliStats>(stats),
                                  x);
  }
}

double ln_gamma(double x) noexcept {
  if (!std::isfinite(x) || x <= 0.0) return std::numeric_limits<double>::quiet_NaN();
  if (x < 0.5) {
    const double s = std::sin(x * kPi);
    if (s == 0.0) return std::numeric_limits<double>::infinity();
    return kLnPi - std::log(s) - ln_gamma(1.0 - x);
  }
  const double z = x - 1.0;
  double acc = 0.9999999999998099 + 676.5203681218851 / (z + 1.0);
  acc += -1259.1392167224028 / (z + 2.0);
  acc += 771.3234287776531 / (z + 3.0);
  acc += -176.6150291621406 / (z + 4.0);
  acc += 12.507343278686905 / (z + 5.0);
  acc += -0.13857109526572012 / (z + 6.0);
  acc += 9.984369578019572e-6 / (z + 7.0);
  acc += 1.5056327351493116e-7 / (z + 8.0);
  const double t = z + 7.5;
  return ((z + 0.5) * std::log(t) + kHalfLnTwoPi) - t + std::log(acc);
}

}  // namespace ovrel::online
