#pragma once

// Conversions of Python values for arguments and configuration dictionaries. Each raises the
// Python exception a caller sees when it does not replace it by a message of its own.

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ovrel::python {

namespace nb = nanobind;

// An integer (or an object with __index__) in 0..2^64-1: TypeError for other objects,
// OverflowError for negative or too-large integers.
std::uint64_t to_u64(nb::handle value);
// An integer (or an object with __index__) in the signed 64-bit range: TypeError for other
// objects, OverflowError outside the range.
std::int64_t to_i64(nb::handle value);
// Any real number (float, int, or an object with __float__/__index__); TypeError otherwise.
double to_f64(nb::handle value);
// A Python bool or a NumPy bool scalar; TypeError otherwise.
bool to_bool(nb::handle value);
// A str (or subclass) as UTF-8; TypeError otherwise.
std::string to_str(nb::handle value);
// Any sequence of integers except a str.
std::vector<std::uint64_t> to_u64_list(nb::handle value);

std::string ascii_lower(std::string text);

inline bool is_dict(nb::handle value) { return PyDict_Check(value.ptr()); }
inline bool is_str(nb::handle value) { return PyUnicode_Check(value.ptr()); }

// The entries of a dict in its own order, each held by a strong reference: converting a value
// may run Python code that changes the dict, and the walk must not see that.
std::vector<std::pair<nb::object, nb::object>> dict_snapshot(nb::handle dict);

// Shared key checks of the configuration dictionaries.
void reject_unknown_keys(nb::handle dict, const std::string& label,
                         std::initializer_list<const char*> allowed);
nb::object required_dict_key(nb::handle dict, const char* key, const std::string& label);

// Runs a conversion and replaces any Python error it raises by `type` with `message`.
template <class F>
auto converted_or(PyObject* type, const char* message, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (nb::python_error&) {
    PyErr_SetString(type, message);
    throw nb::python_error();
  }
}

}  // namespace ovrel::python
