#pragma once

// Event times and late data: the policy that decides what happens to an observation whose event
// time lies below the watermark, the buffered events and the counters every detector state keeps.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

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

// The buffered late events, in arrival order. Besides a list's reading interface it removes the
// event DropOldest makes room by in O(log n): the first in arrival order, or the smallest
// (t_ns, arrival_seq), the first in arrival order on a full tie. A removal leaves a gap that reads
// skip; the gaps are closed up once they outnumber the events, O(1) amortised per removal. The
// index for the by-time removal is built by the first such removal, so a buffer that is only
// appended to and drained never pays for it.
class PendingEvents {
 public:
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = PendingEvent;
    using difference_type = std::ptrdiff_t;
    using pointer = const PendingEvent*;
    using reference = const PendingEvent&;

    const_iterator() = default;
    reference operator*() const noexcept { return owner_->slots_[i_]; }
    pointer operator->() const noexcept { return &owner_->slots_[i_]; }
    const_iterator& operator++() noexcept {
      i_ = owner_->next_live(i_ + 1);
      return *this;
    }
    const_iterator operator++(int) noexcept {
      const_iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept {
      return a.i_ == b.i_;
    }

   private:
    friend class PendingEvents;
    const_iterator(const PendingEvents* owner, std::size_t i) noexcept : owner_(owner), i_(i) {}
    const PendingEvents* owner_ = nullptr;
    std::size_t i_ = 0;
  };
  using iterator = const_iterator;
  using value_type = PendingEvent;
  using size_type = std::size_t;

  PendingEvents() = default;
  PendingEvents(std::initializer_list<PendingEvent> events)
      : PendingEvents(std::vector<PendingEvent>(events)) {}
  // Implicit: a list read from a saved state, in arrival order.
  PendingEvents(std::vector<PendingEvent> events)
      : slots_(std::move(events)), removed_(slots_.size(), 0), live_(slots_.size()) {}

  std::size_t size() const noexcept { return live_; }
  bool empty() const noexcept { return live_ == 0; }
  const_iterator begin() const noexcept { return {this, head_}; }
  const_iterator end() const noexcept { return {this, slots_.size()}; }

  void push_back(const PendingEvent& e);
  void clear() noexcept;
  // Moves the events out in arrival order and leaves the list empty.
  std::vector<PendingEvent> take();
  // Removes the first event in arrival order, or with `by_time` the smallest
  // (t_ns, arrival_seq), the first in arrival order on a full tie. Does nothing when empty.
  void pop_oldest(bool by_time);

  friend bool operator==(const PendingEvents& a, const PendingEvents& b) noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
  }
  friend bool operator==(const PendingEvents& a, const std::vector<PendingEvent>& b) noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
  }

 private:
  struct Key {
    std::int64_t t_ns;
    std::uint64_t arrival_seq;
    std::size_t slot;  // arrival order on a full tie
  };

  std::size_t next_live(std::size_t i) const noexcept {
    while (i < slots_.size() && removed_[i]) ++i;
    return i;
  }
  void remove_slot(std::size_t i);
  void rebuild_index();

  std::vector<PendingEvent> slots_;
  std::vector<std::uint8_t> removed_;  // one flag per slot
  std::size_t head_ = 0;               // every slot before it is removed
  std::size_t live_ = 0;
  // A min-heap of the slots by Key once `indexed_`; a removed slot's entry stays until it comes to
  // the top or the gaps are closed up.
  std::vector<Key> index_;
  bool indexed_ = false;
};

inline void saturating_increment(std::uint64_t& counter) noexcept {
  if (counter != UINT64_MAX) ++counter;
}

}  // namespace ovrel::online
