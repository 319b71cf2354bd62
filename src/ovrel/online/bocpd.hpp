#pragma once

// Bayesian online change-point detection: a log-space posterior over the current run length,
// advanced by one bounded, pruned step of the run-length recursion per accepted observation.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ovrel/core/detectors.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/online/alert_policy.hpp"
#include "ovrel/online/bocpd_model.hpp"
#include "ovrel/online/event_time.hpp"

namespace ovrel::online {

// A default-constructed configuration is the default detector's.
struct BocpdConfig {
  HazardSpec hazard = ConstantHazard{0.005};
  std::optional<double> log_prob_threshold = -35.0;  // finite, <= 0
  ObservationModel observation =
      GaussianNig{.mu0 = 0.0, .kappa0 = 1.0, .alpha0 = 1.0, .beta0 = 1.0};
  LateDataPolicy late_data_policy = LateDataPolicy::reject();
  std::uint64_t max_run_length = 2000;  // >= 1
  AlertPolicy alert_policy;

  // The checks of BocpdDetector::create, in order (the hazard is not tested).
  Status validate() const;

  friend bool operator==(const BocpdConfig&, const BocpdConfig&) = default;
};

// The persisted part of the detector, fields in wire order.
struct BocpdState {
  std::uint64_t t = 0;  // observations applied
  std::optional<std::int64_t> watermark_ns;
  LateDataCounters late_data;
  std::vector<double> log_run_probs;        // ln P(run length = r), normalised
  std::vector<ObservationStats> run_stats;  // same length
  PendingEvents pending_events;
  std::uint64_t next_arrival_seq = 0;
  AlertGateState alert_gate;

  // One run of length 0 with probability 1, the model's zero statistics, a fresh gate holding
  // the configured alert policy.
  static BocpdState initial(const BocpdConfig& config);

  // Non-empty probabilities, equal lengths, the gate, then no NaN or +inf log probability and
  // finite pending values (invalid input). `pending_checked` skips the last two, known good from an
  // earlier pass (a step only writes what they allow): every update validates its state, and a scan
  // of the run lengths and the buffer there would cost each step O(max_run_length + buffer).
  Status validate(bool pending_checked = false) const;

  // What a loader checks beyond validate, against the loading detector's model: a state that real
  // observations could have left and that a step can proceed from. At most t + 1 run lengths, at
  // least one of them possible (finite), and each run's statistics the model's, counting at most t
  // observations, consistent with real values (a Gaussian sum_sq of at least sum * sum / n, within
  // rounding), and giving a finite predictive, computed as the step computes it. Then every
  // pending value passes check_replayable. A step checks none of this: it only writes states that
  // pass.
  Status check_loadable(const ObservationModel& model) const;

  friend bool operator==(const BocpdState&, const BocpdState&) = default;
};

// One step's description.
struct RunSummary {
  std::uint64_t t = 0;
  double p_change = 0.0;
  std::uint64_t run_length_mode = 0;
  double run_length_mean = 0.0;
};

// Log-sum-exp normalisation in place (numerical issue on failure, v then unspecified).
Status normalize_log_probs(std::vector<double>& v);
// p_change, mode (last of equal maxima under the total order) and mean of a log distribution.
Result<RunSummary> step_summary_from_log_probs(std::span<const double> lp, std::uint64_t t);

class BocpdDetector {
 public:
  using State = BocpdState;

  static Result<BocpdDetector> create(BocpdConfig config);

  Result<core::OnlineStepResult> update(std::span<const double> x, std::optional<std::int64_t> t_ns,
                                        const core::ExecutionContext& ctx);
  void reset();
  State save_state() const { return state_; }
  // Installs a copy unchecked and adopts the loaded gate's policy as the configured one.
  void load_state(const State& state);

  const BocpdConfig& config() const noexcept { return config_; }
  const State& state() const noexcept { return state_; }

 private:
  template <class D>
  friend struct LateDataMachine;
  struct Step {
    RunSummary summary;
    bool alert = false;
  };

  explicit BocpdDetector(BocpdConfig config);

  State& late_state() noexcept { return state_; }
  const LateDataPolicy& late_policy() const noexcept { return config_.late_data_policy; }
  static constexpr const char* kLabel = "BOCPD";
  Status check_late_observation(double x) const;
  Status apply(double x, const std::optional<std::int64_t>& t_ns, const core::ExecutionContext& ctx,
               bool replay, Step& step);
  Status current_summary(Step& step) const;
  Result<core::OnlineStepResult> materialize(const Step& step, std::optional<std::string> reason);
  template <class Model>
  Status grow_runs(Model& model, double x, double lh, double l1h, std::size_t n_new, double& max,
                   bool& bad);
  struct GaussianStep;
  struct PoissonStep;
  struct BernoulliStep;

  BocpdConfig config_;
  State state_;
  // Spare lists the step builds into before swapping them in, so a step allocates nothing once
  // the lists have reached their bound.
  std::vector<double> scratch_lp_;
  std::vector<ObservationStats> scratch_stats_;
  std::vector<double> scratch_folded_;  // growth mass of the runs past the bound
  // Count-only terms of the configured model's predictive (the prior never changes).
  CountTable<GaussianCountRow> gaussian_rows_;
  CountTable<PoissonCountRow> poisson_rows_;
  // ln_gamma(alpha + s) of the Poisson predictive by the integer sum s: the runs' sums recur from
  // run to run and step to step.
  LnGammaBySum poisson_ln_gamma_;
  std::chrono::steady_clock::time_point step_started_{};
  // The pending values have passed validate since the state was last installed; only the late
  // machine adds to them, and only values this detector accepts.
  bool pending_checked_ = true;
};

static_assert(core::OnlineDetector<BocpdDetector>);

}  // namespace ovrel::online
