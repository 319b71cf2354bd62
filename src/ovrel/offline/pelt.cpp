#include "ovrel/offline/pelt.hpp"

namespace ovrel::offline {

Status PeltConfig::validate() const {
  OVREL_TRY(core::validate_stopping(stopping));
  if (params_per_segment && *params_per_segment == 0) {
    return core::invalid_input("PeltConfig.params_per_segment must be >= 1; got 0");
  }
  return {};
}

}  // namespace ovrel::offline
