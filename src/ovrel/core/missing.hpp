#pragma once

// Missing-value policy of a series and the missing-value support a cost model declares.

#include <cstdint>
#include <string_view>

#include "ovrel/core/error.hpp"

namespace ovrel::core {

// The caller's policy, carried by every view. The byte values are part of the wire form.
enum class MissingPolicy : std::uint8_t {
  // Any missing value makes view construction fail; every Python entry uses this policy.
  Error = 0,
  // Values 1 and 2 are reserved: views accept them without any missing-value check and they pass
  // every compatibility check, but nothing in the engine creates them.
  Reserved1 = 1,
  Reserved2 = 2,
  // Missing values are allowed and left to a cost model that honours the mask.
  Ignore = 3,
};

// What a cost model can handle.
enum class MissingSupport : std::uint8_t {
  Reject = 0,
  MaskAware = 1,
  NaNIgnoreLossy = 2,
};

// "Error", "Reserved1", "Reserved2", "Ignore".
std::string_view missing_policy_text(MissingPolicy policy) noexcept;
// "Reject", "MaskAware", "NaNIgnoreLossy".
std::string_view missing_support_text(MissingSupport support) noexcept;

// Refuses the pairs under which a detector must not run a cost model: policy Ignore with any
// support other than MaskAware. Every other pair passes.
Status check_missing_compatibility(MissingPolicy policy, MissingSupport support);

}  // namespace ovrel::core
