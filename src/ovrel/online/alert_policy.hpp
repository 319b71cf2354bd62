#pragma once

// The alert gate: turns each step's change probability into a yes/no alert with a threshold, a
// re-arming band below it, a cooldown since the last alert and a minimum number of processed
// steps. The policy is configuration; the gate is part of every detector's persisted state.

#include <cstdint>
#include <optional>

#include "ovrel/core/error.hpp"

namespace ovrel::online {

struct AlertPolicy {
  double threshold = 0.5;   // finite, in [0, 1]
  double hysteresis = 0.0;  // finite, in [0, threshold]
  std::uint64_t cooldown_steps = 0;
  std::uint64_t min_run_length = 0;  // processed steps (step index + 1) before an alert

  // threshold first, then hysteresis; both invalid input.
  Status validate() const {
    // Every update validates its state: the passing case is decided inline (a NaN or an infinity
    // fails these comparisons and reaches the checks with their messages).
    if (threshold >= 0.0 && threshold <= 1.0 && hysteresis >= 0.0 && hysteresis <= threshold)
        [[likely]] {
      return {};
    }
    return check_ranges();
  }

  friend bool operator==(const AlertPolicy&, const AlertPolicy&) = default;

 private:
  Status check_ranges() const;
};

// The policy CUSUM and Page-Hinkley are built with by default and the policy of the gate their
// saved states fall back to when they carry none: p_change 1 (score at the statistic threshold).
inline constexpr AlertPolicy kBaselineAlertPolicy{
    .threshold = 1.0, .hysteresis = 0.0, .cooldown_steps = 0, .min_run_length = 0};

struct AlertGateState {
  AlertPolicy policy;
  bool armed = true;
  std::optional<std::uint64_t> last_alert_t;  // step index of the latest alert

  // An armed gate without a last alert.
  static AlertGateState fresh(const AlertPolicy& policy) { return {policy, true, std::nullopt}; }

  // The policy checks, then last_alert_t < t (t: the owning state's step count).
  Status validate(std::uint64_t t) const {
    OVREL_TRY(policy.validate());
    if (!last_alert_t || *last_alert_t < t) [[likely]] {
      return {};
    }
    return last_alert_error(t);
  }

  // Whether an alert fires at step index t with change probability p; re-arms on
  // p < threshold - hysteresis. Never fails: step arithmetic saturates.
  bool maybe_emit(std::uint64_t t, double p_change);

  friend bool operator==(const AlertGateState&, const AlertGateState&) = default;

 private:
  Status last_alert_error(std::uint64_t t) const;
};

}  // namespace ovrel::online
