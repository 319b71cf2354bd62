#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "online_test_support.hpp"
#include "ovrel/online/late_data_machine.hpp"

namespace ovrel::online {
namespace {

using testing::fails_with;
using testing::step;

constexpr auto kBad = ErrorKind::InvalidInput;

// The part of a state that the late-data machine does not own.
template <class State>
State core_of(State s) {
  s.watermark_ns.reset();
  s.late_data = {};
  s.pending_events.clear();
  s.next_arrival_seq = 0;
  return s;
}

LateDataPolicy buffer(std::int64_t delay, std::size_t items,
                      OverflowPolicy overflow = OverflowPolicy::DropNewest) {
  return LateDataPolicy::buffer_within_window(delay, items, overflow);
}
LateDataPolicy reorder(std::int64_t delay, std::size_t items,
                       OverflowPolicy overflow = OverflowPolicy::DropNewest) {
  return LateDataPolicy::reorder_by_timestamp(delay, items, overflow);
}

template <class K>
class LateData : public ::testing::Test {};
TYPED_TEST_SUITE(LateData, testing::DetectorKinds);

TYPED_TEST(LateData, RejectCountsEveryLateEventAndKeepsTheState) {
  auto d = TypeParam::make();
  ASSERT_TRUE(step(d, 1.0, 100));
  ASSERT_TRUE(step(d, 0.0, 100));  // equal to the watermark: on time
  const auto before = d.save_state();
  for (std::uint64_t i = 1; i <= 2; ++i) {
    EXPECT_TRUE(fails_with(step(d, 0.5, 99), kBad,
                           "late event rejected by policy=Reject: t_ns=99, watermark_ns=100"));
    EXPECT_EQ(d.state().late_data.late_events, i);
  }
  auto expected = before;
  expected.late_data.late_events = 2;
  EXPECT_EQ(d.save_state(), expected);
  // Without an event time nothing is late.
  ASSERT_TRUE(step(d, 0.5));
  EXPECT_EQ(d.state().watermark_ns, 100);
}

TYPED_TEST(LateData, BufferedAndDroppedEventsReportTheLastAppliedStep) {
  auto d = TypeParam::make(buffer(10, 4));
  ASSERT_TRUE(step(d, 1.0, 100));
  ASSERT_TRUE(step(d, 2.0, 101));
  const auto applied = d.save_state();
  auto r = step(d, 3.0, 91);  // delay 10: within the window
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(r->t, 1u);
  EXPECT_FALSE(r->alert);
  EXPECT_EQ(r->alert_reason, "late data buffered; detector state unchanged");
  r = step(d, 3.0, 90);  // delay 11
  ASSERT_TRUE(r);
  EXPECT_EQ(r->t, 1u);
  EXPECT_EQ(r->alert_reason,
            "late data dropped (delay exceeded window (delay_ns=11, max_delay_ns=10), "
            "overflow=DropNewest)");
  EXPECT_EQ(core_of(d.save_state()), core_of(applied));
  EXPECT_EQ(d.state().pending_events, (std::vector<PendingEvent>{{3.0, 91, 0}}));
  EXPECT_EQ(d.state().late_data, (LateDataCounters{2, 1, 0, 0, 1, 0}));
  EXPECT_EQ(d.state().next_arrival_seq, 1u);
}

TYPED_TEST(LateData, NoEventTimeIsRefusedWhileEventsArePending) {
  auto d = TypeParam::make(buffer(10, 4));
  ASSERT_TRUE(step(d, 1.0, 100));
  ASSERT_TRUE(step(d, 0.0, 95));
  const std::string msg = std::string(TypeParam::kLabel) +
                          " update received t_ns=None while pending late events exist; provide "
                          "timestamps until the pending buffer drains";
  const auto before = d.save_state();
  EXPECT_TRUE(fails_with(step(d, 1.0), kBad, msg));
  EXPECT_EQ(d.save_state(), before);
  ASSERT_TRUE(step(d, 1.0, 100));  // on time: drains
  EXPECT_TRUE(d.state().pending_events.empty());
  ASSERT_TRUE(step(d, 1.0));
  EXPECT_EQ(d.state().watermark_ns, 100);
  EXPECT_EQ(d.state().t, 4u);
}

// Replay order is checked against a detector fed the same values in the expected order.
TYPED_TEST(LateData, DrainReplaysInArrivalOrTimestampOrder) {
  struct Case {
    LateDataPolicy policy;
    std::vector<double> replay_order;
    std::uint64_t reordered;
  };
  // Buffered at 95 (x = 3), 91 (x = -2), 93 (x = 5).
  for (const Case& c : {Case{buffer(50, 8), {3, -2, 5}, 0}, Case{reorder(50, 8), {-2, 5, 3}, 2}}) {
    auto d = TypeParam::make(c.policy);
    auto ref = TypeParam::make();
    ASSERT_TRUE(step(d, 1.0, 100));
    ASSERT_TRUE(step(ref, 1.0));
    ASSERT_TRUE(step(d, 3.0, 95));
    ASSERT_TRUE(step(d, -2.0, 91));
    ASSERT_TRUE(step(d, 5.0, 93));
    ASSERT_TRUE(step(d, 0.5, 100));
    for (double v : c.replay_order) ASSERT_TRUE(step(ref, v));
    ASSERT_TRUE(step(ref, 0.5));
    EXPECT_EQ(core_of(d.save_state()), core_of(ref.save_state()));
    EXPECT_EQ(d.state().late_data, (LateDataCounters{3, 3, c.reordered, 0, 0, 0}));
    EXPECT_EQ(d.state().watermark_ns, 100);
  }
}

TYPED_TEST(LateData, OverflowPolicies) {
  // Full buffer of two (95 then 92), then an event at 97 that does not fit.
  struct Case {
    LateDataPolicy policy;
    bool ok;
    std::string text;  // reason or error message
    std::vector<std::int64_t> pending;
    LateDataCounters counters;
  };
  const std::string cause = "buffer capacity exceeded (max_buffer_items=2)";
  const Case cases[] = {
      {buffer(50, 2, OverflowPolicy::DropNewest),
       true,
       "late data dropped (" + cause + ", overflow=DropNewest)",
       {95, 92},
       {3, 2, 0, 0, 1, 0}},
      {buffer(50, 2, OverflowPolicy::Error),
       false,
       "late-data overflow (policy=BufferWithinWindow, overflow=Error): " + cause,
       {95, 92},
       {3, 2, 0, 0, 0, 1}},
      {reorder(50, 2, OverflowPolicy::Error),
       false,
       "late-data overflow (policy=ReorderByTimestamp, overflow=Error): " + cause,
       {95, 92},
       {3, 2, 0, 0, 0, 1}},
      {buffer(50, 2, OverflowPolicy::DropOldest),
       true,
       "late data buffered after dropping oldest (" + cause + ", overflow=DropOldest)",
       {92, 97},
       {3, 3, 0, 1, 0, 0}},
      // The oldest by timestamp is 92, taken from the middle.
      {reorder(50, 2, OverflowPolicy::DropOldest),
       true,
       "late data buffered after dropping oldest (" + cause + ", overflow=DropOldest)",
       {95, 97},
       {3, 3, 0, 1, 0, 0}},
  };
  for (const Case& c : cases) {
    auto d = TypeParam::make(c.policy);
    ASSERT_TRUE(step(d, 1.0, 100));
    ASSERT_TRUE(step(d, 2.0, 95));
    ASSERT_TRUE(step(d, 2.0, 92));
    auto r = step(d, 2.0, 97);
    if (c.ok) {
      ASSERT_TRUE(r) << r.error().display();
      EXPECT_EQ(r->alert_reason, c.text);
    } else {
      EXPECT_TRUE(fails_with(r, kBad, c.text));
    }
    std::vector<std::int64_t> times;
    for (const PendingEvent& e : d.state().pending_events) times.push_back(e.t_ns);
    EXPECT_EQ(times, c.pending) << c.text;
    EXPECT_EQ(d.state().late_data, c.counters) << c.text;
  }
}

TYPED_TEST(LateData, DropOldestBuffersBeyondTheWindowWithoutDroppingFromAnEmptyBuffer) {
  auto d = TypeParam::make(buffer(10, 2, OverflowPolicy::DropOldest));
  ASSERT_TRUE(step(d, 1.0, 100));
  auto r = step(d, 2.0, 50);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->alert_reason,
            "late data buffered after dropping oldest (delay exceeded window (delay_ns=50, "
            "max_delay_ns=10), overflow=DropOldest)");
  EXPECT_EQ(d.state().late_data, (LateDataCounters{1, 1, 0, 0, 0, 0}));
}

TYPED_TEST(LateData, DelaySaturatesInsteadOfWrapping) {
  auto d = TypeParam::make(buffer(10, 2, OverflowPolicy::DropNewest));
  const std::int64_t hi = std::numeric_limits<std::int64_t>::max() - 1;
  const std::int64_t lo = std::numeric_limits<std::int64_t>::min() + 1;
  ASSERT_TRUE(step(d, 1.0, hi));
  auto r = step(d, 1.0, lo);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->alert_reason,
            "late data dropped (delay exceeded window (delay_ns=9223372036854775807, "
            "max_delay_ns=10), overflow=DropNewest)");
}

TYPED_TEST(LateData, UnderRejectALoadedBufferNeverDrains) {
  auto d = TypeParam::make();
  auto s = d.save_state();
  s.watermark_ns = 100;
  s.pending_events = {{1.0, 90, 0}};
  s.next_arrival_seq = 1;
  d.load_state(s);
  ASSERT_TRUE(step(d, 1.0, 200));
  EXPECT_EQ(d.state().pending_events.size(), 1u);
  EXPECT_FALSE(step(d, 1.0));
}

TYPED_TEST(LateData, AFailedReplayPutsItsEventBackAndKeepsEarlierReplays) {
  core::Constraints limits;
  limits.max_cost_evals = 2;
  const core::ExecutionContext ctx(limits);
  auto d = TypeParam::make(reorder(50, 8));
  ASSERT_TRUE(step(d, 1.0, 100, ctx));
  ASSERT_TRUE(step(d, 3.0, 95, ctx));
  ASSERT_TRUE(step(d, -2.0, 91, ctx));
  ASSERT_TRUE(step(d, 5.0, 93, ctx));
  auto r = step(d, 0.5, 101, ctx);  // replays 91 (second evaluation), then 93 exceeds the budget
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::ResourceLimit);
  EXPECT_EQ(d.state().t, 2u);
  EXPECT_EQ(d.state().pending_events, (std::vector<PendingEvent>{{3.0, 95, 0}, {5.0, 93, 2}}));
  EXPECT_EQ(d.state().late_data.reordered_events, 2u);
  EXPECT_EQ(d.state().watermark_ns, 100);
}

TEST(LateDataPolicy, ValidationOrderAndMessages) {
  EXPECT_TRUE(LateDataPolicy::reject().validate());
  EXPECT_TRUE(fails_with(buffer(0, 0).validate(), kBad,
                         "BufferWithinWindow.max_delay_ns must be > 0; got 0"));
  EXPECT_TRUE(fails_with(reorder(-5, 1).validate(), kBad,
                         "ReorderByTimestamp.max_delay_ns must be > 0; got -5"));
  EXPECT_TRUE(fails_with(reorder(1, 0).validate(), kBad,
                         "ReorderByTimestamp.max_buffer_items must be > 0; got 0"));
}

TEST(LateDataPolicy, OldestPendingIndexBreaksTiesByArrival) {
  const std::vector<PendingEvent> p{{0, 95, 0}, {0, 91, 3}, {0, 91, 1}, {0, 91, 1}};
  EXPECT_EQ(oldest_pending_index(p, false), 0u);
  EXPECT_EQ(oldest_pending_index(p, true), 2u);
  EXPECT_EQ(oldest_pending_index({}, true), std::nullopt);
}

// A value the observation model refuses is refused before it is buffered: buffered, it would
// make every later drain fail and wedge the detector until a reset.
TEST(LateDataBocpd, ModelRefusedLateValueIsNotBuffered) {
  for (OverflowPolicy overflow : {OverflowPolicy::DropNewest, OverflowPolicy::DropOldest}) {
    BocpdConfig c;
    c.observation = PoissonGamma{};
    c.late_data_policy = buffer(50, 1, overflow);
    auto d = BocpdDetector::create(c).value();
    ASSERT_TRUE(step(d, 2.0, 100));
    const std::string msg = "poisson observation must be an integer-valued count; got 2.5";
    EXPECT_TRUE(fails_with(step(d, 2.5, 90), kBad, msg));
    EXPECT_TRUE(d.state().pending_events.empty());
    ASSERT_TRUE(step(d, 1.0, 91));
    // On a full buffer DropOldest would make room for it: refused before anything is dropped.
    // DropNewest never buffers it, so it is dropped as any other value.
    if (overflow == OverflowPolicy::DropOldest) {
      EXPECT_TRUE(fails_with(step(d, 2.5, 92), kBad, msg));
    } else {
      EXPECT_TRUE(step(d, 2.5, 92));
    }
    EXPECT_EQ(d.state().pending_events.size(), 1u);
    EXPECT_EQ(d.state().late_data.late_events, 3u);
    ASSERT_TRUE(step(d, 3.0, 101));  // drains
    EXPECT_EQ(d.state().t, 3u);
  }
}

}  // namespace
}  // namespace ovrel::online
