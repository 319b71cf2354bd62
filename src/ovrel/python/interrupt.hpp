#pragma once

// Lets a signal stop a detection that runs without the interpreter lock. Python runs signal
// handlers only on its main thread, between bytecodes; a run that holds no lock would let a
// Ctrl-C wait until it returns. The run polls this hook instead (through the execution context's
// interrupt poll): now and then it takes the lock and lets Python run the pending handlers. When a
// handler raises, the run ends through its cancellation path and the handler's exception
// (KeyboardInterrupt for Ctrl-C) is what the call raises.

#include <nanobind/nanobind.h>

#include <optional>

#include "ovrel/core/interrupt.hpp"

namespace ovrel::python {

namespace nb = nanobind;

class SignalInterrupt final : public core::InterruptHook {
 public:
  // With the lock held, on the thread that runs the detection.
  SignalInterrupt();
  SignalInterrupt(const SignalInterrupt&) = delete;
  SignalInterrupt& operator=(const SignalInterrupt&) = delete;

  // The poll to install in the run's execution context; none off the main thread, where no signal
  // handler runs (and taking the lock now and then would only slow the other threads).
  core::InterruptPoll* poll() noexcept { return main_thread_ ? &poll_ : nullptr; }

  // Takes the lock and runs the pending signal handlers; true when one raised.
  bool stop_requested() override;

  // With the lock held, after the run: raises the exception of the handler that stopped it.
  void raise_if_stopped();

 private:
  bool main_thread_ = false;
  core::InterruptPoll poll_;
  std::optional<nb::python_error> pending_;
};

}  // namespace ovrel::python
