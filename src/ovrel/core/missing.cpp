#include "ovrel/core/missing.hpp"

#include <string>

#include "ovrel/core/text.hpp"

namespace ovrel::core {

std::string_view missing_policy_text(MissingPolicy policy) noexcept {
  switch (policy) {
    case MissingPolicy::Error:
      return "Error";
    case MissingPolicy::Reserved1:
      return "Reserved1";
    case MissingPolicy::Reserved2:
      return "Reserved2";
    case MissingPolicy::Ignore:
      return "Ignore";
  }
  return "Unknown";
}

std::string_view missing_support_text(MissingSupport support) noexcept {
  switch (support) {
    case MissingSupport::Reject:
      return "Reject";
    case MissingSupport::MaskAware:
      return "MaskAware";
    case MissingSupport::NaNIgnoreLossy:
      return "NaNIgnoreLossy";
  }
  return "Unknown";
}

Status check_missing_compatibility(MissingPolicy policy, MissingSupport support) {
  if (policy == MissingPolicy::Ignore && support != MissingSupport::MaskAware) {
    return invalid_input(
        cat("incompatible missing handling: policy=", missing_policy_text(policy),
            " requires support=MaskAware, got support=", missing_support_text(support)));
  }
  return {};
}

}  // namespace ovrel::core
