#pragma once

// The detector interfaces. Detectors are bound to them at build time (concepts); the run-time
// choice of a detector happens only in explicit dispatch code.

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "ovrel/core/error.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/results.hpp"
#include "ovrel/core/time_series.hpp"

namespace ovrel::core {

// One online step's outcome, filled by the detector.
struct OnlineStepResult {
  std::uint64_t t = 0;  // index of the latest applied observation
  double p_change = 0.0;
  bool alert = false;
  std::optional<std::string> alert_reason;
  std::uint64_t run_length_mode = 0;
  double run_length_mean = 0.0;
  std::optional<std::uint64_t> processing_latency_us;

  friend bool operator==(const OnlineStepResult&, const OnlineStepResult&) = default;
};

// detect does not change the detector.
template <class D>
concept OfflineDetector = requires(const D& detector, const TimeSeriesView& x,
                                   const ExecutionContext& ctx) {
  { detector.detect(x, ctx) } -> std::same_as<Result<OfflineChangePointResult>>;
};

// update: one observation (one value per dimension) with an optional event time in ns.
// reset: back to a newly built detector's state. save_state: a copy of the state.
// load_state: replaces the state by a copy, unchecked (callers validate first).
template <class D>
concept OnlineDetector = requires(D& detector, const D& cdetector, std::span<const double> x,
                                  std::optional<std::int64_t> t_ns, const ExecutionContext& ctx,
                                  const typename D::State& state) {
  { detector.update(x, t_ns, ctx) } -> std::same_as<Result<OnlineStepResult>>;
  { detector.reset() } -> std::same_as<void>;
  { cdetector.save_state() } -> std::convertible_to<typename D::State>;
  { detector.load_state(state) } -> std::same_as<void>;
};

// The d values of time step t (t < n) widened to double, read through the view's layout. A value
// that the view's mask marks missing reads as NaN, so the detector refuses it like a NaN value.
Result<std::vector<double>> extract_step_f64(const TimeSeriesView& x, std::uint64_t t);
// The same values written into `row` (size d), for loops that read step after step.
Status extract_step_into(const TimeSeriesView& x, std::uint64_t t, std::span<double> row);

// t0_ns + t * dt_ns in checked signed 64-bit arithmetic.
Result<std::int64_t> uniform_timestamp(std::uint64_t t, std::int64_t t0_ns, std::int64_t dt_ns);

// The event time of step t under the view's time index (none without one).
Result<std::optional<std::int64_t>> step_timestamp(const TimeSeriesView& x, std::uint64_t t);

namespace detail {
// A non-owning reference to a callable, so the batch loop can live out of line.
template <class Signature>
class FunctionRef;
template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  template <class F>
  requires(!std::same_as<std::remove_cvref_t<F>, FunctionRef>) FunctionRef(F& f)
  noexcept  // NOLINT(google-explicit-constructor)
      : object_(static_cast<void*>(std::addressof(f))), call_([](void* o, Args... args) -> R {
          return (*static_cast<F*>(o))(std::forward<Args>(args)...);
        }) {}
  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

using StepUpdate =
    FunctionRef<Result<OnlineStepResult>(std::span<const double>, std::optional<std::int64_t>)>;
using StepSink = FunctionRef<void(OnlineStepResult&&)>;

Status run_update_each(const TimeSeriesView& x, const ExecutionContext& ctx, StepUpdate update,
                       StepSink sink);
}  // namespace detail

// Feeds the view through the detector one time step at a time, checking cancellation and polling
// the context's interrupt (the work count is the step index) before every step, and hands each
// step's record to `sink` as soon as the step is applied. On the first error the loop stops and
// returns it: nothing is rolled back in the detector, and the number of records handed on so far
// is the number of steps applied.
template <OnlineDetector D, class Sink>
Status update_each(D& detector, const TimeSeriesView& x, const ExecutionContext& ctx, Sink& sink) {
  auto step = [&detector, &ctx](std::span<const double> row, std::optional<std::int64_t> t_ns) {
    return detector.update(row, t_ns, ctx);
  };
  return detail::run_update_each(x, ctx, detail::StepUpdate(step), detail::StepSink(sink));
}

// update_each collecting the records. On the first error the error alone is returned: the records
// of earlier steps are discarded, but nothing is rolled back in the detector.
template <OnlineDetector D>
Result<std::vector<OnlineStepResult>> update_many(D& detector, const TimeSeriesView& x,
                                                  const ExecutionContext& ctx) {
  std::vector<OnlineStepResult> records;
  records.reserve(x.n());
  auto keep = [&records](OnlineStepResult&& record) { records.push_back(std::move(record)); };
  OVREL_TRY(update_each(detector, x, ctx, keep));
  return records;
}

}  // namespace ovrel::core
