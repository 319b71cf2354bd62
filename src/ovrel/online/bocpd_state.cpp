#include <cmath>
#include <cstddef>

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

}  // namespace ovrel::online
