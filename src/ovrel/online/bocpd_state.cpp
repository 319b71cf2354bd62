#include <cfloat>
#include <cmath>
#include <cstddef>
#include <string>

#include "ovrel/core/text.hpp"
#include "ovrel/online/bocpd.hpp"

namespace ovrel::online {

Status BocpdConfig::validate() const {
  OVREL_TRY(validate_prior(observation));
  if (max_run_length < 1) {
    return core::invalid_input("max_run_length must be >= 1 for bounded BOCPD state");
  }
  if (log_prob_threshold && (!std::isfinite(*log_prob_threshold) || *log_prob_threshold > 0.0)) {
    return core::invalid_input("log_prob_threshold must be finite and <= 0");
  }
  OVREL_TRY(alert_policy.validate());
  OVREL_TRY(late_data_policy.validate());
  return {};
}

BocpdState BocpdState::initial(const BocpdConfig& config) {
  BocpdState s;
  s.log_run_probs = {0.0};
  s.run_stats = {zero_stats(config.observation)};
  s.alert_gate = AlertGateState::fresh(config.alert_policy);
  return s;
}

Status BocpdState::validate(bool pending_checked) const {
  if (log_run_probs.empty()) {
    return core::invalid_input("bocpd state requires at least one run-length probability");
  }
  if (log_run_probs.size() != run_stats.size()) {
    return core::invalid_input(core::cat("bocpd state length mismatch: log_run_probs=",
                                         log_run_probs.size(), ", run_stats=", run_stats.size()));
  }
  if (!pending_checked) {
    for (std::size_t i = 0; i < log_run_probs.size(); ++i) {
      // -inf is the log of an impossible run length; NaN and +inf are no probability at all, and
      // every step taken from them would fail.
      const double lp = log_run_probs[i];
      if (std::isnan(lp) || (std::isinf(lp) && lp > 0.0)) {
        return core::invalid_input(core::cat("bocpd state log_run_probs[", i,
                                             "] must be a log probability (finite or -inf); got ",
                                             lp));
      }
    }
  }
  OVREL_TRY(alert_gate.validate(t));
  if (pending_checked) return {};
  for (const PendingEvent& e : pending_events) {
    if (!std::isfinite(e.x)) {
      return core::invalid_input("bocpd pending event contains non-finite observation");
    }
  }
  return {};
}

namespace {

using core::cat;
using core::debug;

// Counts above 2^53 are refused as observations, so n of them add up to at most n * 2^53.
constexpr std::uint64_t kMaxPoissonCount = std::uint64_t{1} << 53;

std::string run_field(std::size_t i, std::string_view field) {
  return cat("bocpd state run_stats[", i, "]", field.empty() ? "" : ".", field);
}

Status check_gaussian_run(std::size_t i, const GaussianStats& s) {
  if (!std::isfinite(s.sum)) {
    return core::invalid_input(cat(run_field(i, "sum"), " must be finite; got ", debug(s.sum)));
  }
  if (!std::isfinite(s.sum_sq) || s.sum_sq < 0.0) {
    return core::invalid_input(
        cat(run_field(i, "sum_sq"), " must be finite and >= 0; got ", debug(s.sum_sq)));
  }
  if (s.n == 0) {
    if (s.sum != 0.0 || s.sum_sq != 0.0) {
      return core::invalid_input(cat(run_field(i, ""), " has n=0 but sum=", debug(s.sum),
                                     ", sum_sq=", debug(s.sum_sq), "; an empty run sums to 0"));
    }
    return {};
  }
  // Real values have sum_sq >= sum * sum / n exactly; the running sums of n values each carry a
  // relative rounding error of at most about n units in the last place, so anything within a few
  // n ulps below the bound could still come from real values.
  const double nf = static_cast<double>(s.n);
  const double mean = s.sum / nf;
  const double explained = mean * (mean * nf);
  const double slack = 4.0 * (nf + 2.0) * DBL_EPSILON;
  if (!(s.sum_sq >= explained - slack * explained)) {
    return core::invalid_input(cat(run_field(i, "sum_sq"), "=", debug(s.sum_sq),
                                   " is below sum*sum/n=", debug(explained), " (sum=", debug(s.sum),
                                   ", n=", s.n, "); no real values have these sums"));
  }
  return {};
}

}  // namespace

Status BocpdState::check_loadable(const ObservationModel& model) const {
  const std::size_t len = log_run_probs.size();
  if (t < UINT64_MAX && len > t + 1) {
    return core::invalid_input(cat("bocpd state holds ", len, " run lengths after t=", t,
                                   " observations; at most t + 1 = ", t + 1, " are possible"));
  }
  bool any_finite = false;
  for (double lp : log_run_probs) any_finite = any_finite || std::isfinite(lp);
  if (!any_finite) {
    return core::invalid_input(
        "bocpd state log_run_probs are all -inf; at least one run length must be possible");
  }
  for (std::size_t i = 0; i < run_stats.size(); ++i) {
    const ObservationStats& stats = run_stats[i];
    if (stats.index() != model.index()) {
      return core::invalid_input(
          cat(run_field(i, ""), " does not hold the detector's observation model statistics"));
    }
    const std::uint64_t n = std::visit([](const auto& v) { return v.n; }, stats);
    if (n > t) {
      return core::invalid_input(cat(run_field(i, "n"), "=", n, " exceeds t=", t,
                                     ", the observations the detector has seen"));
    }
    double typical = 0.0;  // an observation the run could hold, for its predictive
    if (const auto* g = std::get_if<GaussianStats>(&stats)) {
      OVREL_TRY(check_gaussian_run(i, *g));
      typical = g->n > 0 ? g->sum / static_cast<double>(g->n) : std::get<GaussianNig>(model).mu0;
    } else if (const auto* p = std::get_if<PoissonStats>(&stats)) {
      std::uint64_t most = 0;
      if (__builtin_mul_overflow(p->n, kMaxPoissonCount, &most)) most = UINT64_MAX;
      if (p->sum > most) {
        return core::invalid_input(cat(run_field(i, "sum"), "=", p->sum, " exceeds what n=", p->n,
                                       " counts of at most 2^53 add up to"));
      }
    } else {
      const auto& b = std::get<BernoulliStats>(stats);
      if (b.ones > b.n) {
        return core::invalid_input(cat(run_field(i, "ones"), "=", b.ones, " exceeds n=", b.n));
      }
    }
    if (auto lp = log_predictive(model, stats, typical); !lp) {
      return core::invalid_input(
          cat(run_field(i, ""), " gives no usable predictive: ", lp.error().message()));
    }
  }
  std::size_t i = 0;
  for (const PendingEvent& e : pending_events) {
    if (auto accepted = check_replayable(model, e.x); !accepted) {
      return core::invalid_input(
          cat("bocpd state pending_events[", i,
              "].x is refused by the observation model: ", accepted.error().message()));
    }
    ++i;
  }
  return {};
}

}  // namespace ovrel::online
