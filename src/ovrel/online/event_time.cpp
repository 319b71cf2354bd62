#include "ovrel/online/event_time.hpp"

#include <algorithm>

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

namespace {

// The heap's order: std::push_heap keeps the greatest on top, so "greater" puts the smallest key
// there.
struct LaterKey {
  template <class K>
  bool operator()(const K& a, const K& b) const noexcept {
    if (a.t_ns != b.t_ns) return a.t_ns > b.t_ns;
    if (a.arrival_seq != b.arrival_seq) return a.arrival_seq > b.arrival_seq;
    return a.slot > b.slot;
  }
};

}  // namespace

void PendingEvents::push_back(const PendingEvent& e) {
  slots_.push_back(e);
  removed_.push_back(0);
  ++live_;
  if (indexed_) {
    index_.push_back(Key{e.t_ns, e.arrival_seq, slots_.size() - 1});
    std::push_heap(index_.begin(), index_.end(), LaterKey{});
  }
}

void PendingEvents::clear() noexcept {
  slots_.clear();
  removed_.clear();
  index_.clear();
  head_ = 0;
  live_ = 0;
  indexed_ = false;
}

std::vector<PendingEvent> PendingEvents::take() {
  std::vector<PendingEvent> out;
  if (head_ == 0 && live_ == slots_.size()) {
    out = std::move(slots_);
  } else {
    out.reserve(live_);
    for (const PendingEvent& e : *this) out.push_back(e);
  }
  clear();
  return out;
}

void PendingEvents::pop_oldest(bool by_time) {
  if (live_ == 0) return;
  if (!by_time) {
    remove_slot(head_);
    return;
  }
  if (!indexed_) rebuild_index();
  while (removed_[index_.front().slot]) {  // entries of slots already taken from the front
    std::pop_heap(index_.begin(), index_.end(), LaterKey{});
    index_.pop_back();
  }
  const std::size_t slot = index_.front().slot;
  std::pop_heap(index_.begin(), index_.end(), LaterKey{});
  index_.pop_back();
  remove_slot(slot);
}

void PendingEvents::remove_slot(std::size_t i) {
  removed_[i] = 1;
  --live_;
  if (live_ == 0) {
    clear();
    return;
  }
  head_ = next_live(head_);
  if (slots_.size() - live_ <= live_) return;
  // More gaps than events: close them up, keeping the arrival order.
  std::size_t kept = 0;
  for (std::size_t j = head_; j < slots_.size(); ++j) {
    if (!removed_[j]) slots_[kept++] = slots_[j];
  }
  slots_.resize(kept);
  removed_.assign(kept, 0);
  head_ = 0;
  if (indexed_) rebuild_index();
}

void PendingEvents::rebuild_index() {
  index_.clear();
  index_.reserve(live_);
  for (std::size_t i = head_; i < slots_.size(); ++i) {
    if (!removed_[i]) index_.push_back(Key{slots_[i].t_ns, slots_[i].arrival_seq, i});
  }
  std::make_heap(index_.begin(), index_.end(), LaterKey{});
  indexed_ = true;
}

}  // namespace ovrel::online
