#include <cmath>
#include <string_view>

#include "ovrel/core/text.hpp"
#include "ovrel/online/baseline.hpp"

namespace ovrel::online {
namespace {

using core::cat;

Status check_pending(std::string_view label, const std::optional<std::int64_t>& watermark_ns,
                     const PendingEvents& pending) {
  if (!pending.empty() && !watermark_ns) {
    return core::invalid_input(cat(label, " pending_events requires watermark_ns"));
  }
  for (const PendingEvent& e : pending) {
    if (!std::isfinite(e.x)) {
      return core::invalid_input(cat(label, " pending event contains non-finite observation"));
    }
  }
  return {};
}

}  // namespace

Status CusumConfig::validate() const {
  if (!std::isfinite(drift) || drift < 0.0) {
    return core::invalid_input(cat("CUSUM drift must be finite and >= 0; got ", drift));
  }
  if (!std::isfinite(threshold) || !(threshold > 0.0)) {
    return core::invalid_input(cat("CUSUM threshold must be finite and > 0; got ", threshold));
  }
  if (!std::isfinite(target_mean)) {
    return core::invalid_input(cat("CUSUM target_mean must be finite; got ", target_mean));
  }
  OVREL_TRY(alert_policy.validate());
  OVREL_TRY(late_data_policy.validate());
  return {};
}

Status PageHinkleyConfig::validate() const {
  if (!std::isfinite(delta) || delta < 0.0) {
    return core::invalid_input(cat("Page-Hinkley delta must be finite and >= 0; got ", delta));
  }
  if (!std::isfinite(threshold) || !(threshold > 0.0)) {
    return core::invalid_input(
        cat("Page-Hinkley threshold must be finite and > 0; got ", threshold));
  }
  if (!std::isfinite(initial_mean)) {
    return core::invalid_input(cat("Page-Hinkley initial_mean must be finite; got ", initial_mean));
  }
  OVREL_TRY(alert_policy.validate());
  OVREL_TRY(late_data_policy.validate());
  return {};
}

CusumState CusumState::initial(const CusumConfig& config) {
  CusumState s;
  s.alert_gate = AlertGateState::fresh(config.alert_policy);
  return s;
}

Status CusumState::check_in_order() const {
  if (!std::isfinite(score) || score < 0.0) {
    return core::invalid_input(cat("CUSUM state.score must be finite and >= 0; got ", score));
  }
  if (steps_since_alert > t) {
    return core::invalid_input(
        cat("CUSUM state.steps_since_alert=", steps_since_alert, " cannot exceed t=", t));
  }
  OVREL_TRY(alert_gate.validate(t));
  return check_pending("CUSUM", watermark_ns, pending_events);
}

PageHinkleyState PageHinkleyState::initial(const PageHinkleyConfig& config) {
  PageHinkleyState s;
  s.running_mean = config.initial_mean;
  s.alert_gate = AlertGateState::fresh(config.alert_policy);
  return s;
}

Status PageHinkleyState::check_in_order() const {
  if (n != t) {
    return core::invalid_input(
        cat("Page-Hinkley state.n=", n, " must equal t=", t, " for incremental updates"));
  }
  if (!std::isfinite(running_mean)) {
    return core::invalid_input("Page-Hinkley state.running_mean must be finite");
  }
  if (!std::isfinite(cumulative_sum)) {
    return core::invalid_input("Page-Hinkley state.cumulative_sum must be finite");
  }
  if (!std::isfinite(cumulative_min)) {
    return core::invalid_input("Page-Hinkley state.cumulative_min must be finite");
  }
  if (cumulative_min > cumulative_sum) {
    return core::invalid_input(cat("Page-Hinkley state.cumulative_min=", cumulative_min,
                                   " cannot exceed cumulative_sum=", cumulative_sum));
  }
  if (steps_since_alert > t) {
    return core::invalid_input(
        cat("Page-Hinkley state.steps_since_alert=", steps_since_alert, " cannot exceed t=", t));
  }
  OVREL_TRY(alert_gate.validate(t));
  return check_pending("Page-Hinkley", watermark_ns, pending_events);
}

}  // namespace ovrel::online
