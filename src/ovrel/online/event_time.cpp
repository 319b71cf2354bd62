#include "ovrel/online/event_time.hpp"

#include "ovrel/core/text.hpp"

namespace ovrel::online {

std::string_view overflow_policy_name(OverflowPolicy p) noexcept {
  switch (p) {
    case OverflowPolicy::DropOldest:
      return "DropOldest";
    case OverflowPolicy::DropNewest:
      return "DropNewest";
    case OverflowPolicy::Error:
      return "Error";
  }
  return "Error";
}

std::string_view late_data_policy_name(LateDataPolicyKind k) noexcept {
  switch (k) {
    case LateDataPolicyKind::Reject:
      return "Reject";
    case LateDataPolicyKind::BufferWithinWindow:
      return "BufferWithinWindow";
    case LateDataPolicyKind::ReorderByTimestamp:
      return "ReorderByTimestamp";
  }
  return "Reject";
}

Status LateDataPolicy::validate() const {
  if (!buffers()) return {};
  if (max_delay_ns < 1) {
    return core::invalid_input(core::cat(name(), ".max_delay_ns must be > 0; got ", max_delay_ns));
  }
  if (max_buffer_items == 0) {
    return core::invalid_input(core::cat(name(), ".max_buffer_items must be > 0; got 0"));
  }
  return {};
}

}  // namespace ovrel::online
