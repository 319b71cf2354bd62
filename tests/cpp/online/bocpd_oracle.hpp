#pragma once

// Direct transcriptions, written apart from the engine, of the predictives (from a run's raw data,
// two-pass spread, library log-gamma) and of the bounded run-length recursion in linear
// probability space.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>
#include <utility>
#include <variant>
#include <vector>

#include "ovrel/online/bocpd_model.hpp"

namespace ovrel::online::testing {

inline double gaussian_oracle(const GaussianNig& m, const std::vector<double>& data, double x) {
  const double n = static_cast<double>(data.size());
  const double mean = data.empty() ? 0.0 : std::accumulate(data.begin(), data.end(), 0.0) / n;
  double ss = 0.0;
  for (double v : data) ss += (v - mean) * (v - mean);
  const double kn = m.kappa0 + n;
  const double mun = (m.kappa0 * m.mu0 + n * mean) / kn;
  const double an = m.alpha0 + n / 2;
  const double bn = m.beta0 + ss / 2 + m.kappa0 * n * (mean - m.mu0) * (mean - m.mu0) / (2 * kn);
  const double nu = 2 * an;
  const double s2 = bn * (kn + 1) / (an * kn);
  return std::lgamma((nu + 1) / 2) - std::lgamma(nu / 2) - 0.5 * std::log(nu * M_PI * s2) -
         (nu + 1) / 2 * std::log1p((x - mun) * (x - mun) / (nu * s2));
}

inline double poisson_oracle(const PoissonGamma& m, const std::vector<double>& data, double k) {
  const double a = m.alpha + std::accumulate(data.begin(), data.end(), 0.0);
  const double b = m.beta + static_cast<double>(data.size());
  return std::lgamma(a + k) - std::lgamma(a) - std::lgamma(k + 1) + a * std::log(b / (b + 1)) -
         k * std::log(b + 1);
}

inline double bernoulli_oracle(const BernoulliBeta& m, const std::vector<double>& data, double x) {
  const double ones = std::accumulate(data.begin(), data.end(), 0.0);
  const double a = m.alpha + ones;
  const double b = m.beta + (static_cast<double>(data.size()) - ones);
  return std::log(x == 1.0 ? a / (a + b) : b / (a + b));
}

inline double predictive_oracle(const ObservationModel& model, const std::vector<double>& data,
                                double x) {
  if (const auto* g = std::get_if<GaussianNig>(&model)) return gaussian_oracle(*g, data, x);
  if (const auto* p = std::get_if<PoissonGamma>(&model)) return poisson_oracle(*p, data, x);
  return bernoulli_oracle(std::get<BernoulliBeta>(model), data, x);
}

}  // namespace ovrel::online::testing
