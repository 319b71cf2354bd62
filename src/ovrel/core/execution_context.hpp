#pragma once

// What a running detector asks from inside its loops (may it go on?) and what it tells (progress,
// scalar metrics). Cooperative: nothing interrupts a run; detectors call the checks at their own
// cadence and stop at the first error. The interrupt poll is the exception to the cadence: it
// paces itself by the work done (interrupt.hpp), so the loops poll it with every report of work.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/interrupt.hpp"
#include "ovrel/core/repro.hpp"

namespace ovrel::core {

class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void report_progress(float fraction) = 0;
};

class TelemetrySink {
 public:
  virtual ~TelemetrySink() = default;
  virtual void record_scalar(std::string_view key, double value) = 0;
};

// A cancellation flag in shared ownership: copies refer to the same flag, so the party that may
// cancel keeps one copy and lends another to the run. Once set it stays set.
class CancelToken {
 public:
  CancelToken() : flag_(std::make_shared<std::atomic<bool>>(false)) {}
  void cancel() const { flag_->store(true, std::memory_order_seq_cst); }
  bool is_cancelled() const { return flag_->load(std::memory_order_seq_cst); }

 private:
  std::shared_ptr<std::atomic<bool>> flag_;
};

enum class BudgetMode : std::uint8_t {
  HardFail = 0,
  SoftDegrade = 1,
};

using MonotonicInstant = std::chrono::steady_clock::time_point;

// Borrows everything; lives no longer than the call it is passed to. No operation changes it.
struct ExecutionContext {
  ProgressSink* progress = nullptr;
  TelemetrySink* telemetry = nullptr;
  const CancelToken* cancel = nullptr;
  InterruptPoll* interrupt = nullptr;
  const Constraints& constraints;
  ReproMode repro_mode = kDefaultReproMode;
  BudgetMode budget_mode = BudgetMode::HardFail;

  explicit ExecutionContext(const Constraints& run_constraints, ReproMode mode = kDefaultReproMode,
                            BudgetMode budget = BudgetMode::HardFail)
      : constraints(run_constraints), repro_mode(mode), budget_mode(budget) {}

  // Hands the pair to the telemetry sink unchanged (NaN and infinities included), if any.
  void record_scalar(std::string_view key, double value) const;
  // Ignores non-finite fractions; clamps the rest into [0, 1].
  void report_progress(float fraction) const;

  Status check_cancelled() const;

  // The one poll of the hot loops, given the run's work count so far (see InterruptPoll): nothing
  // without an installed poll, one comparison until the poll is due.
  Status poll_interrupt(std::uint64_t work) const {
    if (interrupt == nullptr || work < interrupt->due_at()) [[likely]] {
      return {};
    }
    return interrupt->poll(work);
  }
  // Reads the flag only when iteration is a multiple of every (0 counts as 1).
  Status check_cancelled_every(std::size_t iteration, std::size_t every) const {
    const std::size_t e = every == 0 ? 1 : every;
    if (iteration % e != 0) return {};
    return check_cancelled();
  }

  // true: the budget is exceeded and the run goes on under SoftDegrade. Never true under
  // HardFail, which fails with ResourceLimit instead. The clock is read only when a time budget
  // is set.
  Result<bool> check_time_budget(MonotonicInstant started) const;
  // The decision of check_time_budget for an already measured elapsed time in whole milliseconds.
  Result<bool> check_elapsed_ms(std::uint64_t elapsed_ms) const;
  Result<bool> check_cost_eval_budget(std::uint64_t used) const;
};

}  // namespace ovrel::core
