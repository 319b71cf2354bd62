#include "ovrel/core/interrupt.hpp"

#include <algorithm>

namespace ovrel::core {

namespace {

// Far beyond any stride a real pace asks for; keeps work + stride well inside 64 bits.
constexpr std::uint64_t kMaxStride = std::uint64_t{1} << 40;

thread_local InterruptPoll* t_poll = nullptr;

}  // namespace

InterruptPoll::InterruptPoll(InterruptHook& hook, InterruptPacing pacing)
    : hook_(&hook),
      pacing_(pacing),
      last_read_(std::chrono::steady_clock::now()),
      last_ask_(last_read_) {}

Status InterruptPoll::poll(std::uint64_t work) {
  if (stopped_) return cancelled();
  const auto now = std::chrono::steady_clock::now();
  // The stride that the pace of the last stretch would fill `read_every` with, at most twice the
  // last one (cheap work must not set a stride that expensive work takes long to get through) and
  // at least 1. A work count that went back (a misuse) counts as one unit.
  const double done = work > last_work_ ? static_cast<double>(work - last_work_) : 1.0;
  const double spent = static_cast<double>(std::max<std::int64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(now - last_read_).count(), 1));
  const double ideal = done * static_cast<double>(pacing_.read_every.count()) / spent;
  const std::uint64_t ceiling = std::min(stride_ * 2, kMaxStride);
  stride_ = ideal >= static_cast<double>(ceiling) ? ceiling
            : ideal < 1.0                         ? 1
                                                  : static_cast<std::uint64_t>(ideal);
  last_work_ = work;
  last_read_ = now;
  due_at_ = work > UINT64_MAX - stride_ ? UINT64_MAX : work + stride_;
  if (now - last_ask_ < pacing_.ask_every) return {};
  ++asks_;
  const bool stop = hook_->stop_requested();
  // The host may take a while (its lock can be busy): that time is not work of the run.
  last_read_ = std::chrono::steady_clock::now();
  last_ask_ = last_read_;
  if (!stop) return {};
  stopped_ = true;
  due_at_ = 0;
  return cancelled();
}

bool InterruptPoll::poll_within() {
  if (stopped_) return true;
  if (std::chrono::steady_clock::now() - last_ask_ < pacing_.ask_every) return false;
  ++asks_;
  const bool stop = hook_->stop_requested();
  last_ask_ = std::chrono::steady_clock::now();
  if (stop) {
    stopped_ = true;
    due_at_ = 0;
  }
  return stop;
}

InterruptScope::InterruptScope(InterruptPoll* poll) noexcept : previous_(t_poll) {
  if (poll != nullptr) t_poll = poll;
}

InterruptScope::~InterruptScope() { t_poll = previous_; }

bool evaluation_interrupted() noexcept { return t_poll != nullptr && t_poll->stopped(); }

bool EvaluationPoll::ask() { return t_poll != nullptr && t_poll->poll_within(); }

}  // namespace ovrel::core
