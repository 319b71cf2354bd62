#pragma once

// The late-data state machine, shared by the three detectors. A detector D provides:
//   D::kLabel                       its name in messages ("BOCPD", "CUSUM", "Page-Hinkley")
//   late_state()                    its state (watermark_ns, late_data, pending_events,
//                                   next_arrival_seq)
//   late_policy()                   the configured LateDataPolicy
//   check_late_observation(x)       refuses, before it is buffered, a value its step would refuse
//   apply(x, t_ns, ctx, replay, step)  applies one observation, advances the watermark and
//                                   describes the step in `step`
//   current_summary(step)           the report of the state without a new observation
//   materialize(step, reason)       the step's OnlineStepResult
// Steps are filled in place and results built in place: these run once per observation.
// Internal to the online detectors.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ovrel/core/detectors.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/online/event_time.hpp"

namespace ovrel::online {

inline void advance_watermark(std::optional<std::int64_t>& watermark_ns,
                              std::optional<std::int64_t> t_ns) noexcept {
  if (!t_ns) return;
  watermark_ns = watermark_ns ? std::max(*watermark_ns, *t_ns) : *t_ns;
}

template <class D>
struct LateDataMachine {
  // One update after the detector's own checks.
  static Result<core::OnlineStepResult> run(D& d, double x, std::optional<std::int64_t> t_ns,
                                            const core::ExecutionContext& ctx) {
    auto& s = d.late_state();
    const LateDataPolicy& policy = d.late_policy();
    if (!t_ns) {
      if (!s.pending_events.empty()) {
        return core::invalid_input(
            core::cat(D::kLabel,
                      " update received t_ns=None while pending late events exist; provide "
                      "timestamps until the pending buffer drains"));
      }
      return applied(d, x, std::nullopt, ctx);
    }
    const std::int64_t t = *t_ns;
    const bool late = s.watermark_ns && t < *s.watermark_ns;
    if (!late) {
      // Under Reject a buffer (only ever a loaded one) is left alone.
      if (policy.buffers()) OVREL_TRY(drain(d, ctx));
      return applied(d, x, t_ns, ctx);
    }
    saturating_increment(s.late_data.late_events);
    const std::int64_t watermark = *s.watermark_ns;
    if (!policy.buffers()) {
      return core::invalid_input(core::cat("late event rejected by policy=Reject: t_ns=", t,
                                           ", watermark_ns=", watermark));
    }
    std::int64_t delay = 0;
    if (__builtin_sub_overflow(watermark, t, &delay)) delay = INT64_MAX;
    std::string cause;
    if (delay > policy.max_delay_ns) {
      cause = core::cat("delay exceeded window (delay_ns=", delay,
                        ", max_delay_ns=", policy.max_delay_ns, ")");
    } else if (s.pending_events.size() < policy.max_buffer_items) {
      OVREL_TRY(d.check_late_observation(x));
      enqueue(s, x, t);
      return not_applied(d, "late data buffered; detector state unchanged");
    } else {
      cause =
          core::cat("buffer capacity exceeded (max_buffer_items=", policy.max_buffer_items, ")");
    }
    switch (policy.on_overflow) {
      case OverflowPolicy::DropNewest:
        saturating_increment(s.late_data.dropped_newest);
        return not_applied(d, core::cat("late data dropped (", cause, ", overflow=DropNewest)"));
      case OverflowPolicy::Error:
        saturating_increment(s.late_data.overflow_errors);
        return core::invalid_input(
            core::cat("late-data overflow (policy=", policy.name(), ", overflow=Error): ", cause));
      case OverflowPolicy::DropOldest:
        break;
    }
    const bool any = !s.pending_events.empty();
    if (s.pending_events.size() - (any ? 1 : 0) < policy.max_buffer_items) {
      // Checked before anything is dropped, so a refused value costs no buffered one.
      OVREL_TRY(d.check_late_observation(x));
    }
    if (any) {
      // The first in arrival order, or under ReorderByTimestamp the smallest (t_ns, arrival_seq),
      // the first in arrival order on a full tie.
      s.pending_events.pop_oldest(policy.kind == LateDataPolicyKind::ReorderByTimestamp);
      saturating_increment(s.late_data.dropped_oldest);
    }
    if (s.pending_events.size() < policy.max_buffer_items) {
      enqueue(s, x, t);
      return not_applied(d, core::cat("late data buffered after dropping oldest (", cause,
                                      ", overflow=DropOldest)"));
    }
    saturating_increment(s.late_data.dropped_newest);
    return not_applied(d, core::cat("late data dropped (", cause, ", overflow=DropOldest)"));
  }

 private:
  template <class State>
  static void enqueue(State& s, double x, std::int64_t t_ns) {
    s.pending_events.push_back(PendingEvent{x, t_ns, s.next_arrival_seq});
    saturating_increment(s.next_arrival_seq);
    saturating_increment(s.late_data.buffered_events);
  }

  static Result<core::OnlineStepResult> applied(D& d, double x,
                                                const std::optional<std::int64_t>& t_ns,
                                                const core::ExecutionContext& ctx) {
    typename D::Step step;
    OVREL_TRY(d.apply(x, t_ns, ctx, false, step));
    return d.materialize(step, std::nullopt);
  }

  static Result<core::OnlineStepResult> not_applied(D& d, std::string reason) {
    typename D::Step step;
    OVREL_TRY(d.current_summary(step));
    step.alert = false;
    return d.materialize(step, std::move(reason));
  }

  // Replays every pending event before an on-time one; the replays' results (alerts included)
  // are not reported. The events go in arrival order, or with `reorder` by (t_ns, arrival_seq),
  // arrival order breaking full ties: the order in which PendingEvents::pop_oldest would take them
  // one at a time, fixed here by one sort. A replay that fails puts its event back where it was
  // taken from and keeps what the earlier replays did.
  static Status drain(D& d, const core::ExecutionContext& ctx) {
    auto& s = d.late_state();
    if (s.pending_events.empty()) return {};
    const bool reorder = d.late_policy().kind == LateDataPolicyKind::ReorderByTimestamp;
    const std::size_t n = s.pending_events.size();
    std::vector<std::size_t> order(reorder ? n : 0);
    std::vector<bool> replayed(n, false);
    // Out of the state while they replay, so a step's state check does not scan them again; put
    // back, less the replayed ones, on every way out (an InternalError thrown included).
    struct Restore {
      PendingEvents& slot;
      std::vector<PendingEvent> events;
      const std::vector<bool>& replayed;
      ~Restore() {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < events.size(); ++i) {
          if (!replayed[i]) events[kept++] = events[i];
        }
        events.resize(kept);
        slot = std::move(events);
      }
    } restore{s.pending_events, s.pending_events.take(), replayed};
    const std::vector<PendingEvent>& events = restore.events;
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&events](std::size_t a, std::size_t b) {
      const PendingEvent& x = events[a];
      const PendingEvent& y = events[b];
      if (x.t_ns != y.t_ns) return x.t_ns < y.t_ns;
      if (x.arrival_seq != y.arrival_seq) return x.arrival_seq < y.arrival_seq;
      return a < b;
    });

    std::size_t first = 0;  // the first event, in arrival order, not yet replayed
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t i = reorder ? order[k] : k;
      while (replayed[first]) ++first;
      // Taken from anywhere but the head of the remaining list: out of arrival order.
      if (i != first) saturating_increment(s.late_data.reordered_events);
      replayed[i] = true;
      const PendingEvent event = events[i];
      typename D::Step discarded;
      auto r = d.apply(event.x, std::optional<std::int64_t>(event.t_ns), ctx, true, discarded);
      if (!r) {
        replayed[i] = false;
        return std::unexpected(std::move(r).error());
      }
    }
    return {};
  }
};

}  // namespace ovrel::online
