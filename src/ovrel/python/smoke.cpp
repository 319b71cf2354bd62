// Placeholders that prove the packaging end to end without touching the engine.

#include <nanobind/nanobind.h>
#include <nanobind/stl/vector.h>

#include <cstddef>
#include <vector>

#include "ovrel/python/module.hpp"
#include "ovrel/python/registry.hpp"

namespace ovrel::python {
namespace {

constexpr const char* kSequenceError = "expected a sequence of float values for smoke detection";

std::vector<double> parse_sequence(nb::handle values) {
  if (PyUnicode_Check(values.ptr()) || !PySequence_Check(values.ptr()))
    raise(PyExc_TypeError, kSequenceError);
  const Py_ssize_t n = PySequence_Size(values.ptr());
  if (n < 0) {
    PyErr_Clear();
    raise(PyExc_TypeError, kSequenceError);
  }
  std::vector<double> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    nb::object item = nb::steal(PySequence_GetItem(values.ptr(), i));
    if (!item.is_valid() || PyUnicode_Check(item.ptr()) || PyBytes_Check(item.ptr())) {
      PyErr_Clear();
      raise(PyExc_TypeError, kSequenceError);
    }
    const double v = PyFloat_AsDouble(item.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      raise(PyExc_TypeError, kSequenceError);
    }
    out.push_back(v);
  }
  return out;
}

nb::list single_count(std::size_t count) {
  nb::list out;
  out.append(nb::int_(count));
  return out;
}

struct SmokeDetector {
  std::size_t count = 0;
  BorrowFlag borrow;
};

PyObject* smoke_detect_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> nb::object {
    auto bound =
        bind_arguments("smoke_detect", {{.name = "values", .required = true}}, args, kwargs, false);
    return single_count(parse_sequence(bound[0]).size());
  });
}

PyMethodDef smoke_detect_def = {
    "smoke_detect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(smoke_detect_entry)),
    METH_VARARGS | METH_KEYWORDS,
    "smoke_detect(values)\n--\n\nOne-shot placeholder smoke detector function."};

PyObject* smoke_fit_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> nb::object {
    auto bound = bind_arguments("fit", {{.name = "values", .required = true}}, args, kwargs, true);
    SmokeDetector& det = instance<SmokeDetector>(self);
    BorrowFlag::Exclusive guard(det.borrow);
    det.count = parse_sequence(bound[0]).size();
    return nb::borrow(self);
  });
}

PyObject* smoke_predict_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> nb::object {
    bind_arguments("predict", {}, args, kwargs, true);
    const SmokeDetector& det = instance<SmokeDetector>(self);
    BorrowFlag::Shared guard(det.borrow);
    return single_count(det.count);
  });
}

PyMethodDef smoke_fit_def = {
    "fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(smoke_fit_entry)),
    METH_VARARGS | METH_KEYWORDS, "fit($self, values)\n--\n\n"};

PyMethodDef smoke_predict_def = {
    "predict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(smoke_predict_entry)),
    METH_VARARGS | METH_KEYWORDS, "predict($self)\n--\n\n"};

SmokeDetector make_smoke_detector(nb::handle args, nb::handle kwargs) {
  bind_arguments("SmokeDetector", {}, args, kwargs, false);
  return SmokeDetector();
}

}  // namespace

void register_smoke_class(nb::module_& m) {
  append_to_all(m, "SmokeDetector");
  nb::class_<SmokeDetector> cls(
      m, "SmokeDetector",
      "SmokeDetector()\n--\n\n"
      "Minimal placeholder detector used to validate Python packaging + wheel smoke tests.",
      nb::is_final(), constructor_slot<SmokeDetector, &make_smoke_detector>());
  add_method(cls, &smoke_fit_def);
  add_method(cls, &smoke_predict_def);
}

void register_smoke_function(nb::module_& m) { add_function(m, &smoke_detect_def); }

}  // namespace ovrel::python
