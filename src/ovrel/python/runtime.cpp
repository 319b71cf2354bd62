#include "ovrel/python/runtime.hpp"

#include <nanobind/stl/string.h>

#include <new>
#include <stdexcept>
#include <string>

#include "ovrel/core/text.hpp"

namespace ovrel::python {

using core::cat;

namespace {

// Sets the exception from the whole message: a message quotes the caller's text, which may hold
// a NUL that a C string would cut the message at.
void set_error(PyObject* type, const std::string& message) {
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return;  // MemoryError is already set.
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

}  // namespace

void raise(PyObject* type, const std::string& message) {
  set_error(type, message);
  throw nb::python_error();
}

void add_exception_note(nb::handle exception, const std::string& note) {
  try {
    const nb::str text(note.c_str(), note.size());
    if (nb::hasattr(exception, "add_note")) {
      exception.attr("add_note")(text);
    } else {
      if (!nb::hasattr(exception, "__notes__")) nb::setattr(exception, "__notes__", nb::list());
      exception.attr("__notes__").attr("append")(text);
    }
  } catch (const nb::python_error&) {
  }
}

void ovrel_error_to_pyerr(core::OvrelError error) {
  PyObject* type = PyExc_RuntimeError;
  switch (error.kind()) {
    case core::ErrorKind::InvalidInput:
      type = PyExc_ValueError;
      break;
    case core::ErrorKind::NumericalIssue:
      type = PyExc_FloatingPointError;
      break;
    case core::ErrorKind::NotSupported:
      type = PyExc_NotImplementedError;
      break;
    case core::ErrorKind::ResourceLimit:
      type = error.is_out_of_memory() ? PyExc_MemoryError : PyExc_RuntimeError;
      break;
    case core::ErrorKind::Cancelled:
      break;
  }
  set_error(type, error.kind() == core::ErrorKind::Cancelled ? "cancelled" : error.message());
  nb::python_error raised;
  for (const std::string& note : error.notes()) add_exception_note(raised.value(), note);
  throw raised;
}

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "ovrel._ovrel_rs.PanicException",
        "An internal invariant of the engine failed; this is a bug, not bad input.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (nb::python_error& e) {
    e.restore();
  } catch (const nb::builtin_exception& e) {
    PyObject* type = PyExc_RuntimeError;
    switch (e.type()) {
      case nb::exception_type::type_error:
        type = PyExc_TypeError;
        break;
      case nb::exception_type::value_error:
        type = PyExc_ValueError;
        break;
      case nb::exception_type::index_error:
        type = PyExc_IndexError;
        break;
      case nb::exception_type::key_error:
        type = PyExc_KeyError;
        break;
      case nb::exception_type::attribute_error:
        type = PyExc_AttributeError;
        break;
      case nb::exception_type::buffer_error:
        type = PyExc_BufferError;
        break;
      case nb::exception_type::stop_iteration:
        type = PyExc_StopIteration;
        break;
      default:
        break;
    }
    PyErr_SetString(type, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked to grow beyond what the address space allows: out of memory as well.
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyObject* panic = panic_exception_type();
    const char* what = e.what();
    PyErr_SetString(panic ? panic : PyExc_SystemError,
                    (what && *what) ? what : "internal invariant failure in the ovrel engine");
  } catch (...) {
    PyObject* panic = panic_exception_type();
    PyErr_SetString(panic ? panic : PyExc_SystemError,
                    "internal invariant failure in the ovrel engine");
  }
}

void rethrow_as_argument_error(const char* name, nb::python_error& e) {
  nb::object cause = nb::borrow(e.value());
  std::string inner = nb::cast<std::string>(nb::str(cause));
  set_error(PyExc_TypeError, cat("argument '", name, "': ", inner));
  // Keep the converter's exception attached as the cause.
  nb::python_error outer;
  PyException_SetCause(outer.value().ptr(), cause.release().ptr());
  throw outer;
}

namespace {

std::string plural(std::size_t n, const char* one, const char* many) {
  return cat(n, " ", n == 1 ? one : many);
}

std::string quoted_list(const std::vector<std::string>& names) {
  // Python's wording: 'a', 'b' and 'c'
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
    out += "'" + names[i] + "'";
  }
  return out;
}

}  // namespace

std::vector<nb::handle> bind_arguments(std::string_view callable,
                                       std::initializer_list<Param> params, nb::handle args,
                                       nb::handle kwargs, bool is_method) {
  const std::string fname = cat(callable, "()");
  std::vector<nb::handle> out(params.size());
  std::vector<bool> given(params.size(), false);

  std::size_t positional_max = 0;
  std::size_t positional_min = 0;
  for (const Param& p : params) {
    if (p.keyword_only) continue;
    ++positional_max;
    if (p.required) ++positional_min;
  }
  const std::size_t npos = args.is_valid() ? static_cast<std::size_t>(PyTuple_Size(args.ptr())) : 0;
  if (npos > positional_max) {
    // Python's wording: "takes from 1 to 2 positional arguments" when some have defaults, and
    // the keyword-only arguments given alongside in parentheses.
    const std::size_t self_count = is_method ? 1 : 0;
    const std::size_t shown_max = positional_max + self_count;
    const std::size_t shown_given = npos + self_count;
    std::size_t kwonly_given = 0;
    if (kwargs.is_valid() && PyDict_Check(kwargs.ptr())) {
      for (const Param& p : params) {
        if (!p.keyword_only) continue;
        const int has = PyDict_Contains(kwargs.ptr(), nb::str(p.name).ptr());
        if (has < 0) throw nb::python_error();
        kwonly_given += static_cast<std::size_t>(has);
      }
    }
    const std::string takes =
        positional_min < positional_max
            ? cat("from ", positional_min + self_count, " to ", shown_max, " positional arguments")
            : plural(shown_max, "positional argument", "positional arguments");
    const std::string kwonly =
        kwonly_given == 0
            ? std::string()
            : cat(shown_given == 1 ? " positional argument" : " positional arguments", " (and ",
                  plural(kwonly_given, "keyword-only argument", "keyword-only arguments"), ")");
    raise(PyExc_TypeError, cat(fname, " takes ", takes, " but ", shown_given, kwonly,
                               shown_given == 1 && kwonly_given == 0 ? " was" : " were", " given"));
  }
  for (std::size_t i = 0; i < npos; ++i) {
    out[i] = nb::handle(PyTuple_GetItem(args.ptr(), static_cast<Py_ssize_t>(i)));
    given[i] = true;
  }
  if (kwargs.is_valid() && PyDict_Check(kwargs.ptr())) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) raise(PyExc_TypeError, cat(fname, " keywords must be strings"));
      const std::string k = nb::cast<std::string>(nb::handle(key));
      std::size_t idx = 0;
      bool found = false;
      for (const Param& p : params) {
        if (k == p.name) {
          found = true;
          break;
        }
        ++idx;
      }
      if (!found)
        raise(PyExc_TypeError, cat(fname, " got an unexpected keyword argument '", k, "'"));
      if (given[idx])
        raise(PyExc_TypeError, cat(fname, " got multiple values for argument '", k, "'"));
      out[idx] = nb::handle(value);
      given[idx] = true;
    }
  }
  std::vector<std::string> missing_positional;
  std::vector<std::string> missing_keyword;
  std::size_t idx = 0;
  for (const Param& p : params) {
    if (p.required && !given[idx]) {
      (p.keyword_only ? missing_keyword : missing_positional).push_back(p.name);
    }
    ++idx;
  }
  if (!missing_positional.empty()) {
    raise(PyExc_TypeError, cat(fname, " missing ",
                               plural(missing_positional.size(), "required positional argument",
                                      "required positional arguments"),
                               ": ", quoted_list(missing_positional)));
  }
  if (!missing_keyword.empty()) {
    raise(PyExc_TypeError, cat(fname, " missing ",
                               plural(missing_keyword.size(), "required keyword-only argument",
                                      "required keyword-only arguments"),
                               ": ", quoted_list(missing_keyword)));
  }
  // None leaves an optional parameter unset.
  idx = 0;
  for (const Param& p : params) {
    if (!p.required && !p.none_is_value && out[idx].is_valid() && out[idx].is_none()) {
      out[idx] = nb::handle();
    }
    ++idx;
  }
  return out;
}

BorrowFlag::Shared::Shared(const BorrowFlag& f) : flag_(f) {
  long cur = flag_.state_.load();
  do {
    if (cur < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
  } while (!flag_.state_.compare_exchange_weak(cur, cur + 1));
}
BorrowFlag::Shared::~Shared() { flag_.state_.fetch_sub(1); }

BorrowFlag::Exclusive::Exclusive(const BorrowFlag& f) : flag_(f) {
  long expected = 0;
  if (!flag_.state_.compare_exchange_strong(expected, -1))
    raise(PyExc_RuntimeError, "Already borrowed");
}
BorrowFlag::Exclusive::~Exclusive() { flag_.state_.store(0); }

}  // namespace ovrel::python
