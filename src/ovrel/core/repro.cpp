#include "ovrel/core/repro.hpp"

namespace ovrel::core {

std::string_view repro_mode_name(ReproMode mode) {
  switch (mode) {
    case ReproMode::Strict:
      return "Strict";
    case ReproMode::Balanced:
      return "Balanced";
    case ReproMode::Fast:
      return "Fast";
  }
  return "Balanced";
}

}  // namespace ovrel::core
