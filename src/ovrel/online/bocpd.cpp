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

// The IEEE total order of doubles as a signed integer key: -NaN < -inf < ... < inf < NaN.
std::int64_t total_order_key(double v) noexcept {
  auto bits = std::bit_cast<std::int64_t>(v);
  bits ^= static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
  return bits;
}

// Writes a run's new statistics in place when the slot already holds the model's alternative.
template <class Stats>
void store_stats(ObservationStats& out, const Stats& next) noexcept {
  if (auto* o = std::get_if<Stats>(&out)) {
    *o = next;
  } else {
    out = next;
  }
}

// Where a sum of exponentials may leave a term out without changing a bit. For v finite, nonzero
// and normal, with 2^e <= |v| < 2^(e+1), and k = e - 55 - extra: when d < k * ln 2, exp(d)
// (faithfully rounded, so at most one step above 2^k however the bound itself rounds) is well
// below 2^(k+1); exp(d) times a factor below 2^extra, or log1p of exp(d) (never above its
// argument), then stays below 2^(e-54), a quarter of v's unit in the last place, and v plus it
// rounds back to v. The step skips such terms in its log-sum-exps and in the run-length mean: the
// far tail of an unpruned list, where most entries are hundreds or thousands below the best, then
// costs no exp. -infinity (skip nothing) for zero, subnormal and non-finite v.
double negligible_below(double v, int extra = 0) noexcept {
  constexpr double kLn2 = 0.6931471805599453;
  const int biased = static_cast<int>((std::bit_cast<std::uint64_t>(v) >> 52) & 0x7ff);
  if (biased == 0 || biased == 0x7ff) return kNegInf;
  return static_cast<double>(biased - 1023 - 55 - extra) * kLn2;
}

// The power of two where a non-negative v leaves its binade (the smallest normal double for zero
// and subnormals): negligible_below(v) only changes when v reaches it.
double binade_end(double v) noexcept {
  const std::uint64_t biased = (std::bit_cast<std::uint64_t>(v) >> 52) & 0x7ff;
  if (biased == 0) return std::numeric_limits<double>::min();
  return std::bit_cast<double>((biased + 1) << 52);
}

// core::log_add_exp, operation for operation, with the negligible term skipped.
inline double log_add_exp(double a, double b) noexcept {
  constexpr double kInf = HUGE_VAL;
  if (std::fabs(a) < kInf && std::fabs(b) < kInf) [[likely]] {
    // Both finite: the general case below, without its tests for the special values.
    const double m = a >= b ? a : b;
    const double s = a >= b ? b : a;
    const double d = s - m;
    if (d < negligible_below(m)) return m;
    return m + std::log1p(std::exp(d));
  }
  if (a == kInf || b == kInf) return kInf;
  if (std::isnan(a) || std::isnan(b)) return std::numeric_limits<double>::quiet_NaN();
  return a == kNegInf ? b : a;  // one of them is -infinity
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
  return check_replayable(config_.observation, x);
}

// The per-model parts of a step. predict gives a run's log predictive from plain values, or
// declines and leaves the run to log_predictive; grow writes the run's statistics extended by the
// step's observation (only after its predictive succeeded, so the variant is the model's).
struct BocpdDetector::GaussianStep {
  BocpdDetector& d;
  const GaussianNig& m;
  double x = 0.0;
  double kappa0_mu0 = m.kappa0 * m.mu0;

  Status prepare(double v) {
    x = v;  // finite: apply checked it
    return {};
  }
  const GaussianCountRow* rows = d.gaussian_rows_.data();
  std::size_t n_rows = d.gaussian_rows_.size();

  bool predict(const ObservationStats& stats, std::size_t, double& out) {
    const auto* s = std::get_if<GaussianStats>(&stats);
    if (s == nullptr) return false;
    const GaussianCountRow* row = nullptr;
    if (s->n < n_rows) {
      row = rows + s->n;
    } else {
      row =
          d.gaussian_rows_.get(s->n, [this](std::uint64_t n) { return gaussian_count_row(m, n); });
      rows = d.gaussian_rows_.data();
      n_rows = d.gaussian_rows_.size();
      if (row == nullptr) return false;
    }
    return row->ok && gaussian_log_predictive_fast(m, kappa0_mu0, *row, *s, x, out);
  }
  void grow(const ObservationStats& stats, std::size_t, bool, ObservationStats& out) const {
    const GaussianStats& s = *std::get_if<GaussianStats>(&stats);
    // extended(s, x) spelled out: the step loop compiles shorter this way.
    store_stats(out, GaussianStats{saturating_inc(s.n), s.sum + x, s.sum_sq + x * x});
  }
};

struct BocpdDetector::PoissonStep {
  BocpdDetector& d;
  const PoissonGamma& m;
  std::uint64_t k = 0;
  double kf = 0.0;
  double lg_k1 = 0.0;
  const PoissonCountRow* rows = d.poisson_rows_.data();
  std::size_t n_rows = d.poisson_rows_.size();

  const LnGammaBySum::Entry* lg = d.poisson_ln_gamma_.data();
  std::size_t n_lg = d.poisson_ln_gamma_.size();

  double ln_gamma_of(std::uint64_t sum, double arg) {
    if (sum < n_lg && lg[sum].arg == arg) return lg[sum].value;
    const double v = d.poisson_ln_gamma_.fill(sum, arg);
    lg = d.poisson_ln_gamma_.data();
    n_lg = d.poisson_ln_gamma_.size();
    return v;
  }
  Status prepare(double x) {
    OVREL_TRY_ASSIGN(k, poisson_observation(x));
    kf = static_cast<double>(k);
    // Counts stop at 2^53, so k + 1 cannot wrap; the same for every run, so taken once.
    lg_k1 = ln_gamma(static_cast<double>(k + 1));
    return {};
  }
  bool predict(const ObservationStats& stats, std::size_t, double& out) {
    const auto* s = std::get_if<PoissonStats>(&stats);
    if (s == nullptr) return false;
    const PoissonCountRow* row = nullptr;
    if (s->n < n_rows) {
      row = rows + s->n;
    } else {
      row = d.poisson_rows_.get(s->n, [this](std::uint64_t n) { return poisson_count_row(m, n); });
      rows = d.poisson_rows_.data();
      n_rows = d.poisson_rows_.size();
      if (row == nullptr) return false;
    }
    if (!row->ok) return false;
    const double a = m.alpha + static_cast<double>(s->sum);
    if (!finite_positive(a)) return false;
    const double lg_a = ln_gamma_of(s->sum, a);
    const double lg_a_k = ln_gamma_of(saturating_add(s->sum, k), a + kf);
    return poisson_log_predictive_fast(*row, a, kf, lg_a, lg_a_k, lg_k1, out);
  }
  void grow(const ObservationStats& stats, std::size_t, bool, ObservationStats& out) const {
    store_stats(out, extended(*std::get_if<PoissonStats>(&stats), k));
  }
};

struct BocpdDetector::BernoulliStep {
  BocpdDetector& d;
  const BernoulliBeta& m;
  bool one = false;

  Status prepare(double x) {
    OVREL_TRY_ASSIGN(one, bernoulli_observation(x));
    return {};
  }
  bool predict(const ObservationStats& stats, std::size_t, double& out) const {
    const auto* s = std::get_if<BernoulliStats>(&stats);
    return s != nullptr && bernoulli_log_predictive_fast(m, *s, one, out);
  }
  void grow(const ObservationStats& stats, std::size_t, bool, ObservationStats& out) const {
    store_stats(out, extended(*std::get_if<BernoulliStats>(&stats), one));
  }
};

// One pass of the run-length recursion into the scratch lists, with the largest entry (NaN left
// out) and whether any entry is NaN or +infinity.
template <class Model>
Status BocpdDetector::grow_runs(Model& model, double x, double lh, double l1h, std::size_t n_new,
                                double& max, bool& bad) {
  OVREL_TRY(model.prepare(x));
  const ObservationStats prior = zero_stats(config_.observation);
  double pred0 = 0.0;
  const bool fast0 = model.predict(prior, SIZE_MAX, pred0);
  if (!fast0) {
    OVREL_TRY_ASSIGN(pred0, log_predictive(config_.observation, prior, x));
  }

  scratch_lp_.resize(n_new);
  scratch_stats_.resize(n_new);
  // Plain pointers: the libm calls in the loop would otherwise make the compiler reload every
  // vector member after each of them.
  const double* const lps = state_.log_run_probs.data();
  const ObservationStats* const stats = state_.run_stats.data();
  double* const new_lp = scratch_lp_.data();
  ObservationStats* const new_stats = scratch_stats_.data();
  model.grow(prior, 0, fast0, new_stats[0]);
  double top = kNegInf;
  bool invalid = false;
  const auto note = [&](double v) {
    invalid |= !(v < std::numeric_limits<double>::infinity());  // NaN or +infinity
    if (v > top) top = v;
  };

  // Two passes, each with fewer values live across its libm calls: first every run's predictive,
  // growth mass and statistics (the only part that can fail), then the change mass in run order,
  // with the mass of runs past the bound folded in where the single loop of the recursion folds
  // it. Every operation and its operands are those of that loop.
  const std::size_t len = state_.log_run_probs.size();
  const std::size_t kept = std::min(len, n_new - 1);  // runs that grow into the new list
  scratch_folded_.resize(len - kept);
  double* const folded = scratch_folded_.data();
  for (std::size_t r = 0; r < len; ++r) {
    double pred = 0.0;
    const bool fast = model.predict(stats[r], r, pred);
    if (!fast) {
      OVREL_TRY_ASSIGN(pred, log_predictive(config_.observation, stats[r], x));
    }
    const double g = pred + (lps[r] + l1h);
    if (r < kept) {
      new_lp[r + 1] = g;
      note(g);
      model.grow(stats[r], r + 1, fast, new_stats[r + 1]);
    } else {
      // The run would exceed the bound: its mass is folded into run length 0.
      folded[r - kept] = g;
    }
  }
  double cp = kNegInf;
  for (std::size_t r = 0; r < len; ++r) {
    // Every run's change mass uses the prior predictive.
    cp = log_add_exp(cp, pred0 + (lps[r] + lh));
    if (r >= kept) cp = log_add_exp(cp, folded[r - kept]);
  }
  new_lp[0] = cp;
  note(cp);
  max = top;
  bad = invalid;
  return {};
}

Status BocpdDetector::apply(double x, const std::optional<std::int64_t>& t_ns,
                            const core::ExecutionContext& ctx, bool, Step& step) {
  OVREL_TRY(ctx.check_cancelled());
  OVREL_TRY(ctx.check_cost_eval_budget(saturating_inc(state_.t)));
  if (!std::isfinite(x)) return core::invalid_input("BOCPD observation must be finite for update");
  OVREL_TRY(state_.validate(pending_checked_));

  const std::size_t len = state_.log_run_probs.size();
  const std::uint64_t bound = saturating_inc(config_.max_run_length);
  const std::size_t n_new =
      static_cast<std::size_t>(std::min<std::uint64_t>(bound, static_cast<std::uint64_t>(len) + 1));
  const double h = hazard_rate(config_.hazard);
  const double lh = std::log(h);
  const double l1h = std::log(1.0 - h);

  // Built aside and swapped in on success: a failed step leaves the state as it was. One loop
  // per model, so the per-run work is plain arithmetic on the model's own statistics.
  double m = kNegInf;
  bool bad = false;
  Status grown;
  switch (config_.observation.index()) {
    case 0: {
      GaussianStep model{*this, std::get<GaussianNig>(config_.observation)};
      grown = grow_runs(model, x, lh, l1h, n_new, m, bad);
      break;
    }
    case 1: {
      PoissonStep model{*this, std::get<PoissonGamma>(config_.observation)};
      grown = grow_runs(model, x, lh, l1h, n_new, m, bad);
      break;
    }
    default: {
      BernoulliStep model{*this, std::get<BernoulliBeta>(config_.observation)};
      grown = grow_runs(model, x, lh, l1h, n_new, m, bad);
      break;
    }
  }
  OVREL_TRY(grown);
  std::vector<double>& new_lp = scratch_lp_;
  std::vector<ObservationStats>& new_stats = scratch_stats_;

  if (config_.log_prob_threshold) {
    // Pruning never cuts the largest entry, NaN or +infinity, so m and bad hold for what is kept.
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

  // normalize_log_probs, with the summary of the result taken in its last pass.
  if (bad || m == kNegInf) {
    return core::numerical_issue("BOCPD normalization failed (non-finite log_sum_exp)");
  }
  // The sums only grow, so each skip bound is taken again only when its sum leaves its binade (or
  // the index gains a bit); a bound taken earlier is lower, which only skips less.
  double sum = 0.0;
  double sum_skip = kNegInf;
  double sum_end = 0.0;
  for (double e : new_lp) {
    const double d = e - m;
    if (d < sum_skip) continue;
    sum += std::exp(d);
    if (sum >= sum_end) {
      sum_skip = negligible_below(sum);
      sum_end = binade_end(sum);
    }
  }
  const double lse = m + std::log(sum);
  if (!std::isfinite(lse)) {
    return core::numerical_issue("BOCPD normalization failed (non-finite log_sum_exp)");
  }
  double p = 0.0;
  double mean = 0.0;
  double mean_skip = kNegInf;
  double mean_end = 0.0;
  std::size_t mode = 0;
  std::int64_t best = std::numeric_limits<std::int64_t>::min();
  for (std::size_t i = 0; i < new_lp.size(); ++i) {
    const double v = new_lp[i] - lse;
    if (std::isnan(v)) {
      return core::numerical_issue("BOCPD normalization produced NaN run-length log probability");
    }
    new_lp[i] = v;
    const std::int64_t key = total_order_key(v);
    if (key >= best) {  // the last of equal maxima wins
      best = key;
      mode = i;
    }
    if (i == 0) {
      p = std::exp(v);
      mean = mean + 0.0 * p;
      continue;
    }
    if (mean >= mean_end || (i & (i - 1)) == 0) {
      mean_skip = negligible_below(mean, std::bit_width(i));
      mean_end = binade_end(mean);
    }
    if (!(v < mean_skip)) mean = mean + static_cast<double>(i) * std::exp(v);
  }

  state_.t = saturating_inc(state_.t);
  advance_watermark(state_.watermark_ns, t_ns);
  std::swap(state_.log_run_probs, new_lp);
  std::swap(state_.run_stats, new_stats);

  if (!std::isfinite(p)) {
    return core::numerical_issue("BOCPD p_change became non-finite after normalization");
  }
  RunSummary summary;
  summary.t = state_.t - 1;
  summary.p_change = std::fmin(p, 1.0);
  summary.run_length_mode = mode;
  summary.run_length_mean = mean;
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
