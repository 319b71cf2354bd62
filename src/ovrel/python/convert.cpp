#include "ovrel/python/convert.hpp"

#include <nanobind/stl/string.h>

#include <climits>
#include <cstring>

#include "ovrel/core/text.hpp"
#include "ovrel/python/runtime.hpp"

namespace ovrel::python {

using core::cat;

namespace {

std::string py_type_name(nb::handle value) {
  nb::object name = nb::getattr(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr()))),
                                "__name__", nb::none());
  if (name.is_valid() && PyUnicode_Check(name.ptr())) return nb::cast<std::string>(name);
  return "object";
}

}  // namespace

std::uint64_t to_u64(nb::handle value) {
  nb::object index = nb::steal(PyNumber_Index(value.ptr()));
  if (!index.is_valid()) throw nb::python_error();
  int negative = PyObject_RichCompareBool(index.ptr(), nb::int_(0).ptr(), Py_LT);
  if (negative < 0) throw nb::python_error();
  if (negative) raise(PyExc_OverflowError, "can't convert negative int to unsigned");
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.ptr());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      raise(PyExc_OverflowError, "int too big to convert");
    }
    throw nb::python_error();
  }
  return static_cast<std::uint64_t>(v);
}

std::int64_t to_i64(nb::handle value) {
  nb::object index = nb::steal(PyNumber_Index(value.ptr()));
  if (!index.is_valid()) throw nb::python_error();
  const long long v = PyLong_AsLongLong(index.ptr());
  if (v == -1 && PyErr_Occurred()) throw nb::python_error();
  return static_cast<std::int64_t>(v);
}

double to_f64(nb::handle value) {
  if (PyFloat_Check(value.ptr())) return PyFloat_AsDouble(value.ptr());
  const double v = PyFloat_AsDouble(value.ptr());
  if (v == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise(PyExc_TypeError, cat("must be real number, not ", py_type_name(value)));
    }
    throw nb::python_error();
  }
  return v;
}

bool to_bool(nb::handle value) {
  if (PyBool_Check(value.ptr())) return value.ptr() == Py_True;
  // NumPy's bool scalar is not a Python bool, but it is one to every user.
  nb::handle type(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())));
  nb::object module = nb::getattr(type, "__module__", nb::none());
  const std::string name = py_type_name(value);
  if (module.is_valid() && PyUnicode_Check(module.ptr()) &&
      nb::cast<std::string>(module) == "numpy" && (name == "bool" || name == "bool_")) {
    const int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw nb::python_error();
    return truth == 1;
  }
  raise(PyExc_TypeError, cat("'", name, "' object cannot be converted to 'PyBool'"));
}

std::string to_str(nb::handle value) {
  if (!PyUnicode_Check(value.ptr())) {
    raise(PyExc_TypeError,
          cat("'", py_type_name(value), "' object cannot be converted to 'PyString'"));
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
  if (!data) throw nb::python_error();
  return std::string(data, static_cast<std::size_t>(size));
}

std::vector<std::uint64_t> to_u64_list(nb::handle value) {
  if (PyUnicode_Check(value.ptr())) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(value.ptr())) {
    raise(PyExc_TypeError,
          cat("'", py_type_name(value), "' object cannot be converted to 'Sequence'"));
  }
  nb::object seq = nb::steal(PySequence_Tuple(value.ptr()));
  if (!seq.is_valid()) throw nb::python_error();
  const Py_ssize_t n = PyTuple_Size(seq.ptr());
  std::vector<std::uint64_t> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i)
    out.push_back(to_u64(nb::handle(PyTuple_GetItem(seq.ptr(), i))));
  return out;
}

std::string ascii_lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::vector<std::pair<nb::object, nb::object>> dict_snapshot(nb::handle dict) {
  std::vector<std::pair<nb::object, nb::object>> out;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  out.reserve(static_cast<std::size_t>(PyDict_Size(dict.ptr())));
  while (PyDict_Next(dict.ptr(), &pos, &key, &value))
    out.emplace_back(nb::borrow(key), nb::borrow(value));
  return out;
}

void reject_unknown_keys(nb::handle dict, const std::string& label,
                         std::initializer_list<const char*> allowed) {
  for (const auto& [key, value] : dict_snapshot(dict)) {
    if (!PyUnicode_Check(key.ptr())) raise(PyExc_TypeError, cat(label, " keys must be strings"));
    const std::string k = to_str(key);
    bool known = false;
    for (const char* a : allowed) known = known || k == a;
    if (!known) raise(PyExc_ValueError, cat("unsupported ", label, " key '", k, "'"));
  }
}

nb::object required_dict_key(nb::handle dict, const char* key, const std::string& label) {
  nb::str k(key);
  PyObject* found = PyDict_GetItemWithError(dict.ptr(), k.ptr());
  if (found) return nb::borrow(found);
  if (PyErr_Occurred()) throw nb::python_error();
  raise(PyExc_ValueError, cat(label, " requires key '", key, "' with a valid value"));
}

}  // namespace ovrel::python
