#pragma once

// Two light-weight level-shift detectors of a univariate stream: a one-sided upward CUSUM against
// a known target mean and the Page-Hinkley test against the running mean. Their score, divided by
// the statistic threshold, is the change probability that goes through the alert gate.

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ovrel/core/detectors.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/online/alert_policy.hpp"
#include "ovrel/online/event_time.hpp"

namespace ovrel::online {

inline constexpr double kMaxFinite = std::numeric_limits<double>::max();

// Default member values are those the Python classes build with.
struct CusumConfig {
  double drift = 0.0;        // finite, >= 0
  double threshold = 8.0;    // finite, > 0
  double target_mean = 0.0;  // finite
  AlertPolicy alert_policy = kBaselineAlertPolicy;
  LateDataPolicy late_data_policy = LateDataPolicy::reject();

  // The checks of CusumDetector::create, in order.
  Status validate() const;
  friend bool operator==(const CusumConfig&, const CusumConfig&) = default;
};

struct PageHinkleyConfig {
  double delta = 0.01;        // finite, >= 0
  double threshold = 8.0;     // finite, > 0
  double initial_mean = 0.0;  // finite
  AlertPolicy alert_policy = kBaselineAlertPolicy;
  LateDataPolicy late_data_policy = LateDataPolicy::reject();

  Status validate() const;
  friend bool operator==(const PageHinkleyConfig&, const PageHinkleyConfig&) = default;
};

// Fields in wire order.
struct CusumState {
  std::uint64_t t = 0;
  std::optional<std::int64_t> watermark_ns;
  LateDataCounters late_data;
  double score = 0.0;                   // finite, >= 0
  std::uint64_t steps_since_alert = 0;  // <= t
  PendingEvents pending_events;
  std::uint64_t next_arrival_seq = 0;
  AlertGateState alert_gate;

  static CusumState initial(const CusumConfig& config);
  // Every update validates its state: the passing case is decided inline (NaN fails the
  // comparisons), anything else goes through the checks in order with their messages.
  // `pending_checked`: the pending events passed an earlier validate (a watermark is present and
  // the values are finite), so a late event does not pay a scan of the whole buffer.
  Status validate(bool pending_checked = false) const {
    if (score >= 0.0 && score <= kMaxFinite && steps_since_alert <= t &&
        (pending_checked || pending_events.empty())) [[likely]] {
      return alert_gate.validate(t);
    }
    return check_in_order();
  }
  friend bool operator==(const CusumState&, const CusumState&) = default;

 private:
  Status check_in_order() const;
};

struct PageHinkleyState {
  std::uint64_t t = 0;
  std::optional<std::int64_t> watermark_ns;
  LateDataCounters late_data;
  std::uint64_t n = 0;  // values in the running mean; equals t
  double running_mean = 0.0;
  double cumulative_sum = 0.0;
  double cumulative_min = 0.0;  // <= cumulative_sum
  std::uint64_t steps_since_alert = 0;
  PendingEvents pending_events;
  std::uint64_t next_arrival_seq = 0;
  AlertGateState alert_gate;

  static PageHinkleyState initial(const PageHinkleyConfig& config);
  Status validate(bool pending_checked = false) const {
    if (n == t && running_mean >= -kMaxFinite && running_mean <= kMaxFinite &&
        cumulative_min >= -kMaxFinite && cumulative_min <= cumulative_sum &&
        cumulative_sum <= kMaxFinite && steps_since_alert <= t &&
        (pending_checked || pending_events.empty())) [[likely]] {
      return alert_gate.validate(t);
    }
    return check_in_order();
  }
  friend bool operator==(const PageHinkleyState&, const PageHinkleyState&) = default;

 private:
  Status check_in_order() const;
};

namespace detail {

// The reported latency: the wall time between two samples divided over the 256 results between
// them, so the clock is read once per 256 results.
class LatencySampler {
 public:
  LatencySampler() : last_(std::chrono::steady_clock::now()) {}
  std::uint64_t next();

 private:
  std::chrono::steady_clock::time_point last_;
  std::uint64_t cached_us_ = 1;
  std::uint32_t count_ = 0;
};

// One step's description; run_length_mode reports steps_since_alert.
struct BaselineStep {
  std::uint64_t t = 0;
  double score = 0.0;
  double p_change = 0.0;
  std::uint64_t steps_since_alert = 0;
  bool alert = false;
};

}  // namespace detail

class CusumDetector {
 public:
  using State = CusumState;

  static Result<CusumDetector> create(CusumConfig config);

  Result<core::OnlineStepResult> update(std::span<const double> x, std::optional<std::int64_t> t_ns,
                                        const core::ExecutionContext& ctx);
  void reset();
  State save_state() const { return state_; }
  // Installs a copy unchecked, restarts the latency sampler and adopts the loaded gate's policy.
  void load_state(const State& state);

  const CusumConfig& config() const noexcept { return config_; }
  const State& state() const noexcept { return state_; }

 private:
  template <class D>
  friend struct LateDataMachine;
  using Step = detail::BaselineStep;

  explicit CusumDetector(CusumConfig config)
      : config_(config), state_(CusumState::initial(config_)) {}

  State& late_state() noexcept { return state_; }
  const LateDataPolicy& late_policy() const noexcept { return config_.late_data_policy; }
  static constexpr const char* kLabel = "CUSUM";
  static Status check_late_observation(double) { return {}; }
  Status apply(double x, const std::optional<std::int64_t>& t_ns, const core::ExecutionContext& ctx,
               bool replay, Step& step);
  Status current_summary(Step& step) const;
  Result<core::OnlineStepResult> materialize(const Step& step, std::optional<std::string> reason);

  CusumConfig config_;
  State state_;
  detail::LatencySampler latency_;
  // The pending events have passed validate since the state was last installed; only the late
  // machine adds to them, and only finite values.
  bool pending_checked_ = true;
};

class PageHinkleyDetector {
 public:
  using State = PageHinkleyState;

  static Result<PageHinkleyDetector> create(PageHinkleyConfig config);

  Result<core::OnlineStepResult> update(std::span<const double> x, std::optional<std::int64_t> t_ns,
                                        const core::ExecutionContext& ctx);
  void reset();
  State save_state() const { return state_; }
  void load_state(const State& state);

  const PageHinkleyConfig& config() const noexcept { return config_; }
  const State& state() const noexcept { return state_; }

 private:
  template <class D>
  friend struct LateDataMachine;
  using Step = detail::BaselineStep;

  explicit PageHinkleyDetector(PageHinkleyConfig config)
      : config_(config), state_(PageHinkleyState::initial(config_)) {}

  State& late_state() noexcept { return state_; }
  const LateDataPolicy& late_policy() const noexcept { return config_.late_data_policy; }
  static constexpr const char* kLabel = "Page-Hinkley";
  static Status check_late_observation(double) { return {}; }
  Status apply(double x, const std::optional<std::int64_t>& t_ns, const core::ExecutionContext& ctx,
               bool replay, Step& step);
  Status current_summary(Step& step) const;
  Result<core::OnlineStepResult> materialize(const Step& step, std::optional<std::string> reason);

  PageHinkleyConfig config_;
  State state_;
  detail::LatencySampler latency_;
  bool pending_checked_ = true;  // as in CusumDetector
};

static_assert(core::OnlineDetector<CusumDetector>);
static_assert(core::OnlineDetector<PageHinkleyDetector>);

}  // namespace ovrel::online
