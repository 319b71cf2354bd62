#pragma once

// What every Python entry of the module shares: the one error mapping, the exception boundary,
// argument binding with Python's wording, and the per-object borrow flag.

#include <nanobind/nanobind.h>

#include <atomic>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ovrel/core/error.hpp"

namespace ovrel::python {

namespace nb = nanobind;

// Adds `note` to the exception (PEP 678; where add_note is missing, appended to __notes__ as it
// would). A note that cannot be added is left out rather than replace the exception.
void add_exception_note(nb::handle exception, const std::string& note);

// Raises the Python exception of an engine error: ValueError, FloatingPointError,
// NotImplementedError, MemoryError or RuntimeError with the message alone, and the error's notes
// as the exception's notes.
[[noreturn]] void ovrel_error_to_pyerr(core::OvrelError error);

// The exception class of internal invariant failures (derived from BaseException).
PyObject* panic_exception_type();

// Raises a Python exception of the given class with the given message.
[[noreturn]] void raise(PyObject* type, const std::string& message);

template <class T>
T unwrap(core::Result<T>&& r) {
  if (!r) ovrel_error_to_pyerr(std::move(r).error());
  return std::move(r).value();
}
inline void unwrap(core::Status&& r) {
  if (!r) ovrel_error_to_pyerr(std::move(r).error());
}

// Sets the current Python exception from whatever C++ exception is in flight: Python errors pass
// through, std::bad_alloc becomes MemoryError, anything else is a PanicException.
void set_error_from_current_exception() noexcept;

// ----- argument binding -----

struct Param {
  const char* name;
  bool required = false;
  bool keyword_only = false;
  // A parameter with a default that is not optional: None given for it stays a value, so its
  // converter refuses it.
  bool none_is_value = false;
};

// Matches positional and keyword arguments to the parameters; an absent argument or None is
// "not set" (an empty handle). Raises TypeError in Python's wording for arity problems.
std::vector<nb::handle> bind_arguments(std::string_view callable,
                                       std::initializer_list<Param> params, nb::handle args,
                                       nb::handle kwargs, bool is_method);

[[noreturn]] void rethrow_as_argument_error(const char* name, nb::python_error& e);

// Runs one argument's conversion; a TypeError from it becomes "argument '{}': {}" with the
// original exception as its cause, other errors pass unchanged.
template <class F>
auto convert_argument(const char* name, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_TypeError)) throw;
    rethrow_as_argument_error(name, e);
  }
}

// ----- borrow flag -----

// Rejects conflicting borrows at once instead of waiting: a method that changes its object
// needs it alone, readers may share it.
class BorrowFlag {
 public:
  class Shared {
   public:
    explicit Shared(const BorrowFlag& f);
    ~Shared();
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

   private:
    const BorrowFlag& flag_;
  };
  class Exclusive {
   public:
    explicit Exclusive(const BorrowFlag& f);
    ~Exclusive();
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;

   private:
    const BorrowFlag& flag_;
  };

  BorrowFlag() = default;
  BorrowFlag(const BorrowFlag&) {}
  BorrowFlag& operator=(const BorrowFlag&) { return *this; }

 private:
  // > 0: that many shared borrows; -1: one exclusive borrow.
  mutable std::atomic<long> state_{0};
};

}  // namespace ovrel::python
