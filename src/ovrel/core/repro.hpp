#pragma once

#include <cstdint>
#include <string_view>

namespace ovrel::core {

// How strictly a run trades speed for bit-reproducible arithmetic. Only Strict changes the
// arithmetic of the cost models (compensated sums); Balanced and Fast behave alike there.
enum class ReproMode : std::uint8_t {
  Strict = 0,
  Balanced = 1,
  Fast = 2,
};

inline constexpr ReproMode kDefaultReproMode = ReproMode::Balanced;

// The wire and message name: "Strict", "Balanced" or "Fast".
std::string_view repro_mode_name(ReproMode mode);

}  // namespace ovrel::core
