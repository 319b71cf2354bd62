#include "ovrel/online/baseline.hpp"

#include <cmath>
#include <utility>

#include "ovrel/core/text.hpp"
#include "ovrel/online/late_data_machine.hpp"

namespace ovrel::online {
namespace {

std::uint64_t saturating_inc(std::uint64_t v) noexcept { return v == UINT64_MAX ? v : v + 1; }

double clamp_unit(double q) noexcept { return std::fmin(std::fmax(q, 0.0), 1.0); }

double cusum_p_change(double score, double threshold) noexcept {
  if (!(std::isfinite(threshold) && threshold > 0.0)) return 0.0;
  const double q = score / threshold;
  return std::isnan(q) ? 0.0 : clamp_unit(q);
}

double page_hinkley_p_change(double score, double threshold) noexcept {
  if (!std::isfinite(score) || !(std::isfinite(threshold) && threshold > 0.0)) return 0.0;
  return clamp_unit(score / threshold);
}

double page_hinkley_score(const PageHinkleyState& s) noexcept {
  return std::fmax(s.cumulative_sum - s.cumulative_min, 0.0);
}

// The gate's decision, plus the count of applied steps since the last alert.
template <class State>
bool gate(State& s, std::uint64_t i, double p_change) {
  const bool alert = s.alert_gate.maybe_emit(i, p_change);
  s.steps_since_alert = alert ? 0 : saturating_inc(s.steps_since_alert);
  return alert;
}

// Before every application: a replayed one also checks cancellation; each counts as one cost
// evaluation.
Status before_apply(const core::ExecutionContext& ctx, std::uint64_t t, bool replay) {
  if (replay) OVREL_TRY(ctx.check_cancelled());
  OVREL_TRY(ctx.check_cost_eval_budget(saturating_inc(t)));
  return {};
}

template <class State>
Result<core::OnlineStepResult> build_result(const detail::BaselineStep& step, const State& s,
                                            std::optional<std::string> reason, const char* prefix,
                                            detail::LatencySampler& latency) {
  Result<core::OnlineStepResult> out(std::in_place);
  core::OnlineStepResult& r = *out;
  r.t = step.t;
  r.p_change = step.p_change;
  r.alert = step.alert;
  if (reason) {
    r.alert_reason = std::move(reason);
  } else if (step.alert) {
    r.alert_reason = core::cat(prefix, " p_change ", core::fixed(step.p_change, 6),
                               " >= threshold ", core::fixed(s.alert_gate.policy.threshold, 6));
  }
  r.processing_latency_us = latency.next();
  r.run_length_mode = step.steps_since_alert;
  r.run_length_mean = static_cast<double>(step.steps_since_alert);
  return out;
}

Status check_row(std::span<const double> x, const char* label) {
  if (x.size() != 1) {
    return core::invalid_input(core::cat(
        label, " currently supports univariate updates only; got d=", x.size(), " (expected 1)"));
  }
  if (!std::isfinite(x[0])) {
    return core::invalid_input(core::cat(label, " observation must be finite for update"));
  }
  return {};
}

}  // namespace

namespace detail {

std::uint64_t LatencySampler::next() {
  if (count_ != UINT32_MAX) ++count_;
  if (count_ >= 256) {
    const auto now = std::chrono::steady_clock::now();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - last_).count();
    const auto per_result = static_cast<std::uint64_t>(ns < 0 ? 0 : ns) / 256;
    const std::uint64_t us = (per_result + 999) / 1000;
    cached_us_ = us < 1 ? 1 : us;
    last_ = now;
    count_ = 0;
  }
  return cached_us_;
}

}  // namespace detail

// --- CUSUM ---------------------------------------------------------------------------------

Result<CusumDetector> CusumDetector::create(CusumConfig config) {
  OVREL_TRY(config.validate());
  return CusumDetector(config);
}

void CusumDetector::reset() {
  state_ = CusumState::initial(config_);
  latency_ = detail::LatencySampler();
  pending_checked_ = true;
}

void CusumDetector::load_state(const State& state) {
  state_ = state;
  latency_ = detail::LatencySampler();
  pending_checked_ = state.pending_events.empty();
  config_.alert_policy = state.alert_gate.policy;
}

Result<core::OnlineStepResult> CusumDetector::update(std::span<const double> x,
                                                     std::optional<std::int64_t> t_ns,
                                                     const core::ExecutionContext& ctx) {
  OVREL_TRY(check_row(x, kLabel));
  OVREL_TRY(ctx.check_cancelled());
  OVREL_TRY(state_.validate(pending_checked_));
  pending_checked_ = true;
  return LateDataMachine<CusumDetector>::run(*this, x[0], t_ns, ctx);
}

Status CusumDetector::apply(double x, const std::optional<std::int64_t>& t_ns,
                            const core::ExecutionContext& ctx, bool replay, Step& step) {
  OVREL_TRY(before_apply(ctx, state_.t, replay));
  if (!std::isfinite(x)) return core::invalid_input("CUSUM observation must be finite for update");
  const double s = std::fmax(state_.score + ((x - config_.target_mean) - config_.drift), 0.0);
  if (!std::isfinite(s)) {
    return core::numerical_issue("CUSUM score became non-finite during update");
  }
  state_.score = s;
  state_.t = saturating_inc(state_.t);
  advance_watermark(state_.watermark_ns, t_ns);
  const double p = cusum_p_change(s, config_.threshold);
  const std::uint64_t i = state_.t - 1;
  const bool alert = gate(state_, i, p);
  step = Step{i, s, p, state_.steps_since_alert, alert};
  return {};
}

Status CusumDetector::current_summary(Step& step) const {
  const std::uint64_t t = state_.t == 0 ? 0 : state_.t - 1;
  step = Step{t, state_.score, cusum_p_change(state_.score, config_.threshold),
              state_.steps_since_alert, false};
  return {};
}

Result<core::OnlineStepResult> CusumDetector::materialize(const Step& step,
                                                          std::optional<std::string> reason) {
  return build_result(step, state_, std::move(reason), "cusum", latency_);
}

// --- Page-Hinkley --------------------------------------------------------------------------

Result<PageHinkleyDetector> PageHinkleyDetector::create(PageHinkleyConfig config) {
  OVREL_TRY(config.validate());
  return PageHinkleyDetector(config);
}

void PageHinkleyDetector::reset() {
  state_ = PageHinkleyState::initial(config_);
  latency_ = detail::LatencySampler();
  pending_checked_ = true;
}

void PageHinkleyDetector::load_state(const State& state) {
  state_ = state;
  latency_ = detail::LatencySampler();
  pending_checked_ = state.pending_events.empty();
  config_.alert_policy = state.alert_gate.policy;
}

Result<core::OnlineStepResult> PageHinkleyDetector::update(std::span<const double> x,
                                                           std::optional<std::int64_t> t_ns,
                                                           const core::ExecutionContext& ctx) {
  OVREL_TRY(check_row(x, kLabel));
  OVREL_TRY(ctx.check_cancelled());
  OVREL_TRY(state_.validate(pending_checked_));
  pending_checked_ = true;
  return LateDataMachine<PageHinkleyDetector>::run(*this, x[0], t_ns, ctx);
}

Status PageHinkleyDetector::apply(double x, const std::optional<std::int64_t>& t_ns,
                                  const core::ExecutionContext& ctx, bool replay, Step& step) {
  OVREL_TRY(before_apply(ctx, state_.t, replay));
  if (!std::isfinite(x)) {
    return core::invalid_input("Page-Hinkley observation must be finite for update");
  }
  const std::uint64_t n = saturating_inc(state_.n);
  const double mean = state_.running_mean + (x - state_.running_mean) / static_cast<double>(n);
  if (!std::isfinite(mean)) {
    return core::numerical_issue("Page-Hinkley running mean became non-finite during update");
  }
  const double c = ((x - mean) + state_.cumulative_sum) - config_.delta;
  if (!std::isfinite(c)) {
    return core::numerical_issue("Page-Hinkley cumulative sum became non-finite during update");
  }
  const double k = std::fmin(state_.cumulative_min, c);
  if (!std::isfinite(k)) {
    return core::numerical_issue("Page-Hinkley cumulative minimum became non-finite during update");
  }
  state_.n = n;
  state_.running_mean = mean;
  state_.cumulative_sum = c;
  state_.cumulative_min = k;
  state_.t = saturating_inc(state_.t);
  advance_watermark(state_.watermark_ns, t_ns);
  const double score = std::fmax(c - k, 0.0);
  const double p = page_hinkley_p_change(score, config_.threshold);
  const std::uint64_t i = state_.t - 1;
  const bool alert = gate(state_, i, p);
  step = Step{i, score, p, state_.steps_since_alert, alert};
  return {};
}

Status PageHinkleyDetector::current_summary(Step& step) const {
  const std::uint64_t t = state_.t == 0 ? 0 : state_.t - 1;
  const double score = page_hinkley_score(state_);
  step = Step{t, score, page_hinkley_p_change(score, config_.threshold), state_.steps_since_alert,
              false};
  return {};
}

Result<core::OnlineStepResult> PageHinkleyDetector::materialize(const Step& step,
                                                                std::optional<std::string> reason) {
  return build_result(step, state_, std::move(reason), "page_hinkley", latency_);
}

}  // namespace ovrel::online
