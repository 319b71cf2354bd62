#include "ovrel/core/detectors.hpp"

namespace ovrel::core {

Result<std::vector<double>> extract_step_f64(const TimeSeriesView&, std::uint64_t) {
  return invalid_input("not yet");
}
Result<std::int64_t> uniform_timestamp(std::uint64_t, std::int64_t, std::int64_t) {
  return invalid_input("not yet");
}
Result<std::optional<std::int64_t>> step_timestamp(const TimeSeriesView&, std::uint64_t) {
  return invalid_input("not yet");
}
namespace detail {
Result<std::vector<OnlineStepResult>> run_update_many(const TimeSeriesView&,
                                                      const ExecutionContext&, StepUpdate) {
  return invalid_input("not yet");
}
}  // namespace detail

}  // namespace ovrel::core
