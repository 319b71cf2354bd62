#include "ovrel/core/execution_context.hpp"

#include <cmath>

#include "ovrel/core/text.hpp"

namespace ovrel::core {

void ExecutionContext::record_scalar(std::string_view key, double value) const {
  if (telemetry != nullptr) telemetry->record_scalar(key, value);
}

void ExecutionContext::report_progress(float fraction) const {
  if (!std::isfinite(fraction) || progress == nullptr) return;
  if (fraction < 0.0f) fraction = 0.0f;
  if (fraction > 1.0f) fraction = 1.0f;
  progress->report_progress(fraction);
}

Status ExecutionContext::check_cancelled() const {
  if (cancel != nullptr && cancel->is_cancelled()) return cancelled();
  return {};
}

Result<bool> ExecutionContext::check_time_budget(MonotonicInstant started) const {
  if (!constraints.time_budget_ms) return false;
  const auto elapsed = std::chrono::steady_clock::now() - started;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
  // Whole milliseconds, truncated; a signed 64-bit nanosecond count divided by 10^6 always fits.
  // A start instant after now (impossible with one monotonic clock) counts as no time.
  const std::uint64_t elapsed_ms = ns <= 0 ? 0 : static_cast<std::uint64_t>(ns) / 1'000'000u;
  return check_elapsed_ms(elapsed_ms);
}

Result<bool> ExecutionContext::check_elapsed_ms(std::uint64_t elapsed_ms) const {
  if (!constraints.time_budget_ms) return false;
  const std::uint64_t limit = *constraints.time_budget_ms;
  if (elapsed_ms <= limit) return false;
  if (budget_mode == BudgetMode::SoftDegrade) return true;
  return resource_limit(cat("constraints.time_budget_ms exceeded: elapsed_ms=", elapsed_ms,
                            ", limit_ms=", limit, ", budget_mode=HardFail"));
}

Result<bool> ExecutionContext::check_cost_eval_budget(std::uint64_t used) const {
  if (!constraints.max_cost_evals) return false;
  const std::uint64_t limit = *constraints.max_cost_evals;
  if (used <= limit) return false;
  if (budget_mode == BudgetMode::SoftDegrade) return true;
  return resource_limit(cat("constraints.max_cost_evals exceeded: used=", used, ", limit=", limit,
                            ", budget_mode=HardFail"));
}

}  // namespace ovrel::core
