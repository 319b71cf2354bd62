#pragma once

// The model ingredients of Bayesian online change-point detection: the hazard (prior probability
// of a change at each step), the conjugate observation models with their per-run sufficient
// statistics, and the log-gamma they use. Pure computation on plain values.

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

// The prior rules, in field order (invalid input).
Status validate_prior(const ObservationModel& model);

// The model's statistics variant with every field 0: an empty run.
ObservationStats zero_stats(const ObservationModel& model) noexcept;

// Whether the model accepts x as an observation (finite real, count, 0 or 1); the model's own
// invalid-input message otherwise.
Status check_observation(const ObservationModel& model, double x);

// The statistics of the run extended by x. Refuses a statistics variant that is not the model's
// (numerical issue) and an observation the model does not accept (invalid input).
Result<ObservationStats> update_stats(const ObservationModel& model, const ObservationStats& stats,
                                      double x);

// The log-gamma and log terms of the Gaussian predictive depend only on a run's count (under one
// prior). A BOCPD step evaluates the same counts at every step, so its detector keeps them here;
// a cached term has the bits the expression would give.
class GaussianCountTerms {
 public:
  struct Terms {
    double lg_diff;    // ln_gamma(a) - ln_gamma(nu / 2)
    double log_nu_pi;  // ln(nu) + ln(pi)
  };
  // The terms of count n with its a and nu; computed on first use, kept for small counts.
  Terms get(std::uint64_t n, double a, double nu);

 private:
  std::vector<Terms> terms_;
  std::vector<bool> known_;
};

// Natural log of the predictive density (Gaussian) or probability (Poisson, Bernoulli) of x given
// the run's statistics. `gaussian_terms`, when given, must only ever serve one prior.
Result<double> log_predictive(const ObservationModel& model, const ObservationStats& stats,
                              double x, GaussianCountTerms* gaussian_terms = nullptr);

// Lanczos (g = 7, nine coefficients) with reflection below 0.5; NaN for x <= 0 or non-finite x.
// The engine's own, so results are the same on every platform.
double ln_gamma(double x) noexcept;

}  // namespace ovrel::online
