#include "ovrel/online/alert_policy.hpp"

#include <cmath>

#include "ovrel/core/text.hpp"

namespace ovrel::online {

using core::cat;

Status AlertPolicy::check_ranges() const {
  if (!std::isfinite(threshold) || threshold < 0.0 || threshold > 1.0) {
    return core::invalid_input(
        cat("alert policy threshold must be finite and in [0,1]; got ", threshold));
  }
  if (!std::isfinite(hysteresis) || hysteresis < 0.0 || hysteresis > threshold) {
    return core::invalid_input(
        cat("alert policy hysteresis must be finite and in [0, threshold]; got ", hysteresis,
            " with threshold ", threshold));
  }
  return {};
}

Status AlertGateState::last_alert_error(std::uint64_t t) const {
  return core::invalid_input(cat("alert gate last_alert_t=", *last_alert_t, " must be < t=", t));
}

bool AlertGateState::maybe_emit(std::uint64_t t, double p_change) {
  if (p_change < policy.threshold - policy.hysteresis) armed = true;
  // Negated so that a NaN probability never alerts.
  if (!(p_change >= policy.threshold)) return false;
  if (!armed) return false;
  if (last_alert_t) {
    const std::uint64_t elapsed = t < *last_alert_t ? 0 : t - *last_alert_t;
    if (elapsed < policy.cooldown_steps) return false;
  }
  const std::uint64_t processed = t == UINT64_MAX ? UINT64_MAX : t + 1;
  if (processed < policy.min_run_length) return false;
  armed = false;
  last_alert_t = t;
  return true;
}

}  // namespace ovrel::online
