#pragma once

// Event times and late data: the policy that decides what happens to an observation whose event
// time lies below the watermark, the buffered events and the counters every detector state keeps.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ovrel/core/error.hpp"

namespace ovrel::online {

enum class OverflowPolicy : std::uint8_t {
  DropOldest = 0,
  DropNewest = 1,
  Error = 2,
};

// "DropOldest", "DropNewest", "Error".
std::string_view overflow_policy_name(OverflowPolicy p) noexcept;

enum class LateDataPolicyKind : std::uint8_t {
  Reject = 0,
  BufferWithinWindow = 1,
  ReorderByTimestamp = 2,
};

// "Reject", "BufferWithinWindow", "ReorderByTimestamp".
std::string_view late_data_policy_name(LateDataPolicyKind k) noexcept;

// Part of a detector's configuration, never of its saved state. The three buffer fields matter
// only to the two buffering kinds.
struct LateDataPolicy {
  LateDataPolicyKind kind = LateDataPolicyKind::Reject;
  std::int64_t max_delay_ns = 0;
  std::size_t max_buffer_items = 0;
  OverflowPolicy on_overflow = OverflowPolicy::DropOldest;

  static LateDataPolicy reject() { return {}; }
  static LateDataPolicy buffer_within_window(std::int64_t max_delay_ns,
                                             std::size_t max_buffer_items,
                                             OverflowPolicy on_overflow) {
    return {LateDataPolicyKind::BufferWithinWindow, max_delay_ns, max_buffer_items, on_overflow};
  }
  static LateDataPolicy reorder_by_timestamp(std::int64_t max_delay_ns,
                                             std::size_t max_buffer_items,
                                             OverflowPolicy on_overflow) {
    return {LateDataPolicyKind::ReorderByTimestamp, max_delay_ns, max_buffer_items, on_overflow};
  }

  bool buffers() const noexcept { return kind != LateDataPolicyKind::Reject; }
  std::string_view name() const noexcept { return late_data_policy_name(kind); }

  // Reject is always valid; the buffering kinds need max_delay_ns >= 1, then
  // max_buffer_items >= 1.
  Status validate() const;

  friend bool operator==(const LateDataPolicy&, const LateDataPolicy&) = default;
};

// Every increment saturates at 2^64 - 1.
struct LateDataCounters {
  std::uint64_t late_events = 0;
  std::uint64_t buffered_events = 0;
  std::uint64_t reordered_events = 0;
  std::uint64_t dropped_oldest = 0;
  std::uint64_t dropped_newest = 0;
  std::uint64_t overflow_errors = 0;

  friend bool operator==(const LateDataCounters&, const LateDataCounters&) = default;
};

// One buffered late observation.
struct PendingEvent {
  double x = 0.0;  // finite
  std::int64_t t_ns = 0;
  std::uint64_t arrival_seq = 0;  // next_arrival_seq when it was buffered

  friend bool operator==(const PendingEvent&, const PendingEvent&) = default;
};

inline void saturating_increment(std::uint64_t& counter) noexcept {
  if (counter != UINT64_MAX) ++counter;
}

}  // namespace ovrel::online
