#include "ovrel/python/interrupt.hpp"

#include <pythread.h>

#include <utility>

namespace ovrel::python {

SignalInterrupt::SignalInterrupt() : poll_(*this) {
  nb::object main = nb::module_::import_("threading").attr("main_thread")();
  const nb::object ident = main.attr("ident");
  main_thread_ = !ident.is_none() && nb::cast<unsigned long>(ident) == PyThread_get_thread_ident();
}

bool SignalInterrupt::stop_requested() {
  nb::gil_scoped_acquire locked;
  if (PyErr_CheckSignals() == 0) return false;
  pending_.emplace();  // takes the handler's exception out of the thread state
  return true;
}

void SignalInterrupt::raise_if_stopped() {
  if (!pending_) return;
  nb::python_error error = std::move(*pending_);
  pending_.reset();
  throw error;
}

}  // namespace ovrel::python
