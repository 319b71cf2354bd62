#include "ovrel/offline/wbs.hpp"

#include <algorithm>
#include <cmath>

#include "ovrel/core/text.hpp"

namespace ovrel::offline {

Status WbsConfig::validate() const {
  OVREL_TRY(core::validate_stopping(stopping));
  if (params_per_segment && *params_per_segment == 0) {
    return core::invalid_input("WbsConfig.params_per_segment must be >= 1; got 0");
  }
  if (num_intervals && *num_intervals == 0) {
    return core::invalid_input("WbsConfig.num_intervals must be >= 1 when provided; got 0");
  }
  return {};
}

namespace wbs {

Result<std::size_t> resolve_num_intervals(std::optional<std::size_t> num_intervals, std::size_t n) {
  if (num_intervals) return *num_intervals;
  const double c = std::ceil(5.0 * std::sqrt(static_cast<double>(n)));
  if (!std::isfinite(c) || c == 0.0) {
    return core::invalid_input(
        core::cat("adaptive interval count must be finite and > 0.0; got ", c));
  }
  if (c >= 18446744073709551616.0) return core::resource_limit("adaptive interval count overflow");
  return std::max<std::size_t>(static_cast<std::size_t>(c), 100);
}

}  // namespace wbs
}  // namespace ovrel::offline
