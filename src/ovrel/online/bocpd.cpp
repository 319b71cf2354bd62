#include "ovrel/online/bocpd.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "ovrel/core/numerics.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/online/late_data_machine.hpp"

namespace ovrel::online {
namespace {

constexpr double kNegInf = -std::numeric_limits<double>::infinity();

std::uint64_t saturating_inc(std::uint64_t v) noexcept { return v == UINT64_MAX ? v : v + 1; }

// The IEEE total order of doubles as a signed integer key: -NaN < -inf < ... < inf < NaN.
std::int64_t total_order_key(double v) noexcept {
  auto bits = std::bit_cast<std::int64_t>(v);
  bits ^= static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
  return bits;
}

}  // namespace

Status normalize_log_probs(std::vector<double>& v) {
  double m = kNegInf;
  bool bad = v.empty();
  for (double e : v) {
    if (std::isnan(e) || e == std::numeric_limits<double>::infinity()) bad = true;
    m = std::fmax(m, e);
  }
  if (bad || m == kNegInf) {
    return core::numerical_issue("BOCPD normalization failed (non-finite log_sum_exp)");
  }
  double sum = 0.0;
  for (double e : v) sum += std::exp(e - m);
  const double lse = m + std::log(sum);
  if (!std::isfinite(lse)) {
    return core::numerical_issue("BOCPD normalization failed (non-finite log_sum_exp)");
  }
  for (double& e : v) {
    e = e - lse;
    if (std::isnan(e)) {
      return core::numerical_issue("BOCPD normalization produced NaN run-length log probability");
    }
  }
  return {};
}

Result<RunSummary> step_summary_from_log_probs(std::span<const double> lp, std::uint64_t t) {
  if (lp.empty()) {
    return core::numerical_issue("BOCPD step summary requires at least one run-length state");
  }
  const double p = std::exp(lp[0]);
  if (!std::isfinite(p)) {
    return core::numerical_issue("BOCPD p_change became non-finite after normalization");
  }
  RunSummary s;
  s.t = t;
  s.p_change = std::fmin(p, 1.0);
  std::size_t mode = 0;
  std::int64_t best = total_order_key(lp[0]);
  double mean = 0.0;
  for (std::size_t i = 0; i < lp.size(); ++i) {
    const std::int64_t key = total_order_key(lp[i]);
    if (key >= best) {  // the last of equal maxima wins
      best = key;
      mode = i;
    }
    mean = mean + static_cast<double>(i) * std::exp(lp[i]);
  }
  s.run_length_mode = mode;
  s.run_length_mean = mean;
  return s;
}

BocpdDetector::BocpdDetector(BocpdConfig config)
    : config_(std::move(config)), state_(BocpdState::initial(config_)) {}

Result<BocpdDetector> BocpdDetector::create(BocpdConfig config) {
  OVREL_TRY(config.validate());
  return BocpdDetector(std::move(config));
}

void BocpdDetector::reset() {
  state_ = BocpdState::initial(config_);
  pending_checked_ = true;
}

void BocpdDetector::load_state(const State& state) {
  state_ = state;
  pending_checked_ = state.pending_events.empty();
  config_.alert_policy = state.alert_gate.policy;
}

Result<core::OnlineStepResult> BocpdDetector::update(std::span<const double> x,
                                                     std::optional<std::int64_t> t_ns,
                                                     const core::ExecutionContext& ctx) {
  OVREL_TRY(ctx.check_cancelled());
  if (x.size() != 1) {
    return core::invalid_input(core::cat(
        "BOCPD currently supports univariate updates only; got d=", x.size(), " (expected 1)"));
  }
  if (!std::isfinite(x[0]))
    return core::invalid_input("BOCPD observation must be finite for update");
  OVREL_TRY(state_.validate(pending_checked_));
  pending_checked_ = true;
  step_started_ = std::chrono::steady_clock::now();
  return LateDataMachine<BocpdDetector>::run(*this, x[0], t_ns, ctx);
}

Status BocpdDetector::check_late_observation(double x) const {
  return check_observation(config_.observation, x);
}

Status BocpdDetector::apply(double x, const std::optional<std::int64_t>& t_ns,
                            const core::ExecutionContext& ctx, bool, Step& step) {
  OVREL_TRY(ctx.check_cancelled());
  OVREL_TRY(ctx.check_cost_eval_budget(saturating_inc(state_.t)));
  if (!std::isfinite(x)) return core::invalid_input("BOCPD observation must be finite for update");
  OVREL_TRY(state_.validate(pending_checked_));

  const ObservationModel& model = config_.observation;
  const ObservationStats prior = zero_stats(model);
  const std::size_t len = state_.log_run_probs.size();
  const std::uint64_t bound = saturating_inc(config_.max_run_length);
  const std::size_t n_new =
      static_cast<std::size_t>(std::min<std::uint64_t>(bound, static_cast<std::uint64_t>(len) + 1));

  // Built aside and swapped in on success: a failed step leaves the state as it was.
  std::vector<double>& new_lp = scratch_lp_;
  std::vector<ObservationStats>& new_stats = scratch_stats_;
  new_lp.assign(n_new, kNegInf);
  new_stats.assign(n_new, prior);

  OVREL_TRY_ASSIGN(const double pred0, log_predictive(model, prior, x, &gaussian_terms_));
  const double h = hazard_rate(config_.hazard);
  const double lh = std::log(h);
  const double l1h = std::log(1.0 - h);

  double cp = kNegInf;
  for (std::size_t r = 0; r < len; ++r) {
    const double lp = state_.log_run_probs[r];
    OVREL_TRY_ASSIGN(const double pred,
                     log_predictive(model, state_.run_stats[r], x, &gaussian_terms_));
    // Every run's change mass uses the prior predictive.
    cp = core::log_add_exp(cp, pred0 + (lp + lh));
    const double g = pred + (lp + l1h);
    if (r + 1 >= n_new) {
      // The longest run would exceed the bound: its mass is folded into run length 0.
      cp = core::log_add_exp(cp, g);
    } else {
      new_lp[r + 1] = g;
      OVREL_TRY_ASSIGN(new_stats[r + 1], update_stats(model, state_.run_stats[r], x));
    }
  }
  new_lp[0] = cp;
  OVREL_TRY_ASSIGN(new_stats[0], update_stats(model, prior, x));

  if (config_.log_prob_threshold) {
    double m = kNegInf;
    for (double v : new_lp) m = std::fmax(m, v);
    const double cutoff = *config_.log_prob_threshold + m;
    std::size_t keep = 1;
    for (std::size_t i = n_new; i-- > 1;) {
      if (!(new_lp[i] < cutoff)) {
        keep = i + 1;
        break;
      }
    }
    new_lp.resize(keep);
    new_stats.resize(keep);
  }
  OVREL_TRY(normalize_log_probs(new_lp));

  state_.t = saturating_inc(state_.t);
  advance_watermark(state_.watermark_ns, t_ns);
  std::swap(state_.log_run_probs, new_lp);
  std::swap(state_.run_stats, new_stats);

  OVREL_TRY_ASSIGN(const RunSummary summary,
                   step_summary_from_log_probs(state_.log_run_probs, state_.t - 1));
  const bool alert = state_.alert_gate.maybe_emit(summary.t, summary.p_change);
  step = Step{summary, alert};
  return {};
}

Status BocpdDetector::current_summary(Step& step) const {
  const std::uint64_t t = state_.t == 0 ? 0 : state_.t - 1;
  OVREL_TRY_ASSIGN(const RunSummary summary, step_summary_from_log_probs(state_.log_run_probs, t));
  step = Step{summary, false};
  return {};
}

Result<core::OnlineStepResult> BocpdDetector::materialize(const Step& step,
                                                          std::optional<std::string> reason) {
  Result<core::OnlineStepResult> out(std::in_place);
  core::OnlineStepResult& r = *out;
  r.t = step.summary.t;
  r.p_change = step.summary.p_change;
  r.alert = step.alert;
  if (reason) {
    r.alert_reason = std::move(reason);
  } else if (step.alert) {
    r.alert_reason =
        core::cat("bocpd p_change ", core::fixed(step.summary.p_change, 6), " >= threshold ",
                  core::fixed(state_.alert_gate.policy.threshold, 6));
  }
  r.run_length_mode = step.summary.run_length_mode;
  r.run_length_mean = step.summary.run_length_mean;
  const auto elapsed = std::chrono::steady_clock::now() - step_started_;
  r.processing_latency_us = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
  return out;
}

}  // namespace ovrel::online
