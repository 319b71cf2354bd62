#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "online_test_support.hpp"
#include "ovrel/online/late_data_machine.hpp"

namespace ovrel::online {
namespace {

using testing::outcome;
using testing::step;

// The part of a state that the late-data machine does not own.
template <class State>
State core_of(State s) {
  s.watermark_ns.reset();
  s.late_data = {};
  s.pending_events.clear();
  s.next_arrival_seq = 0;
  return s;
}

// The event a drain or DropOldest takes next, as a scan of the arrival-ordered list finds it:
// the first, or with `reorder` the smallest (t_ns, arrival_seq), the first one on a full tie.
std::size_t oldest_index(const std::vector<PendingEvent>& pending, bool reorder) {
  std::size_t best = 0;
  for (std::size_t i = 1; reorder && i < pending.size(); ++i) {
    const PendingEvent& a = pending[i];
    const PendingEvent& b = pending[best];
    if (a.t_ns < b.t_ns || (a.t_ns == b.t_ns && a.arrival_seq < b.arrival_seq)) best = i;
  }
  return best;
}

template <class K>
class LateData : public ::testing::Test {};
TYPED_TEST_SUITE(LateData, testing::DetectorKinds);

const auto times_of = testing::numbers_of<std::int64_t>;
using testing::policy_of;

TYPED_TEST(LateData, EventsBehindTheWatermark) {
  const auto rows = test_support::data_rows("online_late_data.txt");
  ASSERT_EQ(rows.size(), 9u);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.at(0) + " | " + row.at(2));
    auto d = TypeParam::make(policy_of(row.at(0)));
    const std::int64_t watermark = times_of(row.at(1)).at(0);
    ASSERT_TRUE(step(d, 1.0, watermark));
    ASSERT_TRUE(step(d, 0.0, watermark));  // equal to the watermark: on time
    const auto applied = d.save_state();
    std::string outcomes;
    for (std::int64_t t : times_of(row.at(2))) {
      const auto r = step(d, 2.0, t);
      if (r) {
        EXPECT_EQ(r->t, 1u);  // the last applied step
        EXPECT_FALSE(r->alert);
      }
      outcomes += (outcomes.empty() ? "" : "; ") + (r ? r->alert_reason.value_or("") : outcome(r));
    }
    EXPECT_EQ(outcomes, row.at(3));
    std::vector<std::int64_t> pending;
    for (const PendingEvent& e : d.state().pending_events) pending.push_back(e.t_ns);
    EXPECT_EQ(pending, times_of(row.at(4)));
    const auto c = times_of(row.at(5));
    EXPECT_EQ(
        d.state().late_data,
        (LateDataCounters{std::uint64_t(c.at(0)), std::uint64_t(c.at(1)), std::uint64_t(c.at(2)),
                          std::uint64_t(c.at(3)), std::uint64_t(c.at(4)), std::uint64_t(c.at(5))}));
    EXPECT_EQ(d.state().watermark_ns, watermark);
    EXPECT_EQ(core_of(d.save_state()), core_of(applied));
    if (row.at(0) == "reject") {  // nothing else changes; without an event time nothing is late
      auto expected = applied;
      expected.late_data = d.state().late_data;
      EXPECT_EQ(d.save_state(), expected);
      ASSERT_TRUE(step(d, 0.5));
    }
  }
}

TYPED_TEST(LateData, NoEventTimeIsRefusedWhileEventsArePending) {
  auto d = TypeParam::make(policy_of("buffer 10 4"));
  testing::steps(d, {{1.0, 100}, {0.0, 95}});
  const auto before = d.save_state();
  EXPECT_EQ(outcome(step(d, 1.0)), "invalid input: " + std::string(TypeParam::kLabel) +
                                       " update received t_ns=None while pending late events "
                                       "exist; provide timestamps until the pending buffer drains");
  EXPECT_EQ(d.save_state(), before);
  ASSERT_TRUE(step(d, 1.0, 100));  // on time: drains
  EXPECT_TRUE(d.state().pending_events.empty());
  ASSERT_TRUE(step(d, 1.0));
  EXPECT_EQ(d.state().watermark_ns, 100);
  EXPECT_EQ(d.state().t, 4u);
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

// The drain against a transcription of picking the oldest pending event one at a time (remove it,
// replay it, put it back at its index if the replay fails), on loaded buffers with ties of times,
// repeated and unordered arrival sequences, and a budget that stops the drain anywhere. The
// replayed values go, in the order found, to a detector without pending events, whose state the
// drained one must then equal.
TYPED_TEST(LateData, DrainMatchesPickingTheOldestEventOneAtATime) {
  std::mt19937_64 rng(20261207);
  for (int round = 0; round < 300; ++round) {
    const bool reorder = round % 2 == 1;
    SCOPED_TRACE(round);
    auto d = TypeParam::make(policy_of(reorder ? "reorder 1000 64" : "buffer 1000 64"));
    ASSERT_TRUE(step(d, 1.0, 1000));
    auto s = d.save_state();
    const std::size_t n = rng() % 24;
    for (std::size_t i = 0; i < n; ++i) {
      s.pending_events.push_back(
          {static_cast<double>(rng() % 4), 900 + std::int64_t(rng() % 4), rng() % 5});
    }
    d.load_state(s);
    core::Constraints limits;
    limits.max_cost_evals = 2 + rng() % (n + 2);  // the first step and the drain's own evaluations
    const core::ExecutionContext ctx(limits);

    std::vector<PendingEvent> left(s.pending_events.begin(), s.pending_events.end());
    std::vector<double> replayed;
    std::uint64_t reordered = 0, t = 1;
    bool stopped = false;
    while (!left.empty()) {
      const std::size_t i = oldest_index(left, reorder);
      const PendingEvent e = left[i];
      left.erase(left.begin() + static_cast<std::ptrdiff_t>(i));
      if (i != 0) ++reordered;
      if (t + 1 > *limits.max_cost_evals) {
        left.insert(left.begin() + static_cast<std::ptrdiff_t>(i), e);
        stopped = true;
        break;
      }
      ++t;
      replayed.push_back(e.x);
    }
    auto ref = TypeParam::make();
    ASSERT_TRUE(step(ref, 1.0, 1000));
    for (double x : replayed) ASSERT_TRUE(step(ref, x));

    // The on-time value itself may be one evaluation too many.
    const bool applied = !stopped && t + 1 <= *limits.max_cost_evals;
    const auto r = step(d, 0.5, 1000, ctx);
    EXPECT_EQ(bool(r), applied);
    if (applied) {
      ASSERT_TRUE(step(ref, 0.5));
    }
    EXPECT_EQ(d.state().pending_events, left);
    EXPECT_EQ(d.state().late_data.reordered_events, reordered);
    EXPECT_EQ(core_of(d.save_state()), core_of(ref.save_state()));
  }
}

// DropOldest on a full buffer against the list of arrivals it keeps, the oldest found by a scan
// and erased: after every update the buffer, in arrival order, and the counters must agree. Loaded
// buffers bring ties of times, repeated arrival sequences and more events than the capacity;
// on-time values drain the buffer midway (in the order of picking the oldest one at a time, checked
// against a detector fed that order), and the state is saved and loaded again now and then.
TYPED_TEST(LateData, DropOldestMatchesScanningTheListOfArrivals) {
  std::mt19937_64 rng(20261208);
  for (int round = 0; round < 200; ++round) {
    const bool reorder = round % 2 == 1;
    const std::size_t capacity = 1 + rng() % 12;
    SCOPED_TRACE(::testing::Message() << "round " << round << ", capacity " << capacity);
    auto d = TypeParam::make(policy_of((reorder ? "reorder 1000 " : "buffer 1000 ") +
                                       std::to_string(capacity) + " DropOldest"));
    auto ref = TypeParam::make();
    ASSERT_TRUE(step(d, 1.0, 1000));
    ASSERT_TRUE(step(ref, 1.0));
    auto s = d.save_state();
    std::vector<PendingEvent> left;
    for (std::size_t i = rng() % (capacity + 4); i > 0; --i) {
      left.push_back({static_cast<double>(rng() % 4), 900 + std::int64_t(rng() % 4), rng() % 5});
    }
    s.pending_events = left;
    s.next_arrival_seq = 3;
    d.load_state(s);
    LateDataCounters c;
    std::uint64_t seq = 3;
    for (int k = 0; k < 80; ++k) {
      const double x = static_cast<double>(rng() % 4);
      const std::uint64_t what = rng() % 16;
      if (what == 0) {  // on time: drains
        while (!left.empty()) {
          const std::size_t i = oldest_index(left, reorder);
          if (i != 0) ++c.reordered_events;
          ASSERT_TRUE(step(ref, left[i].x));
          left.erase(left.begin() + static_cast<std::ptrdiff_t>(i));
        }
        ASSERT_TRUE(step(d, x, 1000));
        ASSERT_TRUE(step(ref, x));
        EXPECT_EQ(core_of(d.save_state()), core_of(ref.save_state()));
      } else {
        if (what == 1) d.load_state(d.save_state());
        const std::int64_t t = 900 + std::int64_t(rng() % 4);
        ++c.late_events;
        if (left.size() >= capacity && !left.empty()) {
          left.erase(left.begin() + static_cast<std::ptrdiff_t>(oldest_index(left, reorder)));
          ++c.dropped_oldest;
        }
        if (left.size() < capacity) {
          left.push_back({x, t, seq++});
          ++c.buffered_events;
        } else {
          ++c.dropped_newest;
        }
        ASSERT_TRUE(step(d, x, t));
      }
      ASSERT_EQ(d.state().pending_events, left) << "update " << k;
      ASSERT_EQ(d.state().late_data, c) << "update " << k;
      ASSERT_EQ(d.state().next_arrival_seq, seq);
    }
  }
}

// The per-update state check skips pending values it has already passed; a state installed by
// load_state is checked in full again, whatever the detector had checked before.
TYPED_TEST(LateData, ALoadedBufferIsCheckedAgain) {
  auto d = TypeParam::make(policy_of("buffer 50 8"));
  testing::steps(d, {{1.0, 100}, {2.0, 95}, {3.0, 96}});
  auto s = d.save_state();
  s.pending_events.push_back({std::numeric_limits<double>::quiet_NaN(), 97, 2});
  d.load_state(s);
  const std::string label = TypeParam::kLabel == std::string("BOCPD") ? "bocpd" : TypeParam::kLabel;
  EXPECT_EQ(outcome(step(d, 1.0, 98)),
            "invalid input: " + label + " pending event contains non-finite observation");
  EXPECT_EQ(d.state().pending_events.size(), 3u);
  EXPECT_EQ(d.state().t, 1u);
}

// Before any applied step, a buffered value reports step 0.
TYPED_TEST(LateData, ALateValueBeforeAnyStepReportsStepZero) {
  auto d = TypeParam::make(policy_of("buffer 50 4"));
  auto s = d.save_state();
  s.watermark_ns = 100;
  d.load_state(s);
  const auto r = step(d, 2.0, 90);
  ASSERT_TRUE(r) << r.error().display();
  EXPECT_EQ(std::pair(r->t, r->run_length_mode), std::pair(std::uint64_t{0}, std::uint64_t{0}));
  EXPECT_EQ(std::pair(d.state().t, d.state().pending_events.size()),
            std::pair(std::uint64_t{0}, std::size_t{1}));
}

// A value the observation model refuses is refused before it is buffered: buffered, it would
// make every later drain fail and wedge the detector until a reset.
TEST(LateDataBocpd, ModelRefusedLateValueIsNotBuffered) {
  for (std::string overflow : {"DropNewest", "DropOldest"}) {
    auto d = BocpdDetector::create({.observation = PoissonGamma{},
                                    .late_data_policy = policy_of("buffer 50 1 " + overflow),
                                    .alert_policy = {}})
                 .value();
    ASSERT_TRUE(step(d, 2.0, 100));
    const std::string msg =
        "invalid input: poisson observation must be an integer-valued count; got 2.5";
    EXPECT_EQ(outcome(step(d, 2.5, 90)), msg);
    EXPECT_TRUE(d.state().pending_events.empty());
    ASSERT_TRUE(step(d, 1.0, 91));
    // On a full buffer DropOldest would make room for it: refused before anything is dropped.
    // DropNewest never buffers it, so it is dropped as any other value.
    if (overflow == "DropOldest") {
      EXPECT_EQ(outcome(step(d, 2.5, 92)), msg);
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
