#include "ovrel/core/execution_context.hpp"

namespace ovrel::core {

void ExecutionContext::record_scalar(std::string_view key, double value) const {
  if (telemetry != nullptr) telemetry->record_scalar(key, value);
}
void ExecutionContext::report_progress(float) const {}
Status ExecutionContext::check_cancelled() const {
  if (cancel != nullptr && cancel->is_cancelled()) return cancelled();
  return {};
}
Result<bool> ExecutionContext::check_time_budget(MonotonicInstant) const { return false; }
Result<bool> ExecutionContext::check_elapsed_ms(std::uint64_t) const { return false; }
Result<bool> ExecutionContext::check_cost_eval_budget(std::uint64_t) const { return false; }

}  // namespace ovrel::core
