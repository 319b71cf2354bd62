#pragma once

// Stopping a run from outside the engine. A host that runs a detection without its own lock (the
// Python binding, while a signal may arrive) installs an InterruptPoll in the execution context;
// the run polls it with its own measure of the work done so far, and the poll paces itself:
// below the work count it set, a poll is one comparison; at that count it reads the clock and
// sets the next count so that about `read_every` of work lies between two clock reads; and it
// asks the host at most once per `ask_every`. The stride between clock reads grows at most
// twofold per read and shrinks at once, so work that turns expensive is still polled within a
// small multiple of `read_every`. Polling never changes a counter, a metric or a result: a run
// the host lets go on is the run without a poll.

#include <chrono>
#include <cstdint>

#include "ovrel/core/error.hpp"

namespace ovrel::core {

class InterruptHook {
 public:
  virtual ~InterruptHook() = default;
  // Asked at most once per pacing interval; true ends the run with Cancelled.
  virtual bool stop_requested() = 0;
};

struct InterruptPacing {
  std::chrono::nanoseconds read_every{std::chrono::milliseconds(1)};
  std::chrono::nanoseconds ask_every{std::chrono::milliseconds(5)};
};

class InterruptPoll {
 public:
  explicit InterruptPoll(InterruptHook& hook, InterruptPacing pacing = {});

  // The work count from which the next poll is due. The work count is the caller's own measure
  // (cost evaluations of an offline run, steps of a batch update): it never decreases, and one
  // poll serves one run.
  std::uint64_t due_at() const noexcept { return due_at_; }

  // For a work count at or past due_at(): reads the clock, sets the next due count and asks the
  // host when `ask_every` has passed since the last ask (or the poll's creation). Cancelled once
  // the host asked to stop, and at every poll after that.
  Status poll(std::uint64_t work);

  // For work inside one evaluation, which has no work count of its own: asks the host when
  // `ask_every` has passed since the last ask, and leaves the pacing of poll() alone. True once the
  // host asked to stop.
  bool poll_within();

  // The host asked to stop: every later poll answers Cancelled.
  bool stopped() const noexcept { return stopped_; }

  // How often the host was asked.
  std::uint64_t asks() const noexcept { return asks_; }

 private:
  InterruptHook* hook_;
  InterruptPacing pacing_;
  std::uint64_t due_at_ = 0;
  std::uint64_t stride_ = 1;
  std::uint64_t last_work_ = 0;
  std::uint64_t asks_ = 0;
  std::chrono::steady_clock::time_point last_read_;
  std::chrono::steady_clock::time_point last_ask_;
  bool stopped_ = false;
};

// One evaluation can outlast the poll's pace by far: the log-determinant of a covariance over
// thousands of dimensions takes seconds. While a scope lives, its poll is also this thread's poll,
// and such evaluations ask it between their steps (EvaluationPoll). An evaluation stopped that way
// gives up with a meaningless value, and the run, on seeing that value, ends as Cancelled
// (evaluation_interrupted). A null poll installs nothing; scopes nest.
class InterruptScope {
 public:
  explicit InterruptScope(InterruptPoll* poll) noexcept;
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  InterruptPoll* previous_;
};

// True when this thread's poll was told to stop: a non-finite value just computed is then the
// trace of an evaluation that gave up, not a numerical fault.
bool evaluation_interrupted() noexcept;

// Asks this thread's poll once about every kWorkPerAsk units of work (multiply-adds); an
// evaluation below that size never reads the clock.
class EvaluationPoll {
 public:
  static constexpr std::uint64_t kWorkPerAsk = std::uint64_t{1} << 20;

  // True: stop now.
  bool add(std::uint64_t work) {
    work_ += work;
    if (work_ < kWorkPerAsk) [[likely]] {
      return false;
    }
    work_ = 0;
    return ask();
  }

 private:
  static bool ask();
  std::uint64_t work_ = 0;
};

}  // namespace ovrel::core
