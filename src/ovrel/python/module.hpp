#pragma once

// Module registry: every attribute is added through these helpers so that `__all__` lists the
// names in the order they were added.

#include <nanobind/nanobind.h>

#include <string>

#include "ovrel/python/runtime.hpp"

namespace ovrel::python {

// Appends the name to the module's `__all__`, then sets the attribute.
void add_attribute(nb::module_& m, const char* name, nb::handle value);
// Appends the name to `__all__`; the caller then creates the class, which sets the attribute.
void append_to_all(nb::module_& m, const char* name);

// A module-level function whose text signature and docstring come from `doc`
// ("name(params)\n--\n\n..."), called with the positional tuple and the keyword dictionary.
using RawFunction = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kwargs);
void add_function(nb::module_& m, PyMethodDef* def);

// Methods of a class as plain method descriptors, so that the docstring's text signature
// ("fit($self, x)\n--\n\n") reaches introspection and a call on an object of another type
// is refused by Python itself. `add_static_method` wraps the function in staticmethod.
void add_method(nb::handle cls, PyMethodDef* def);
void add_static_method(nb::handle cls, PyMethodDef* def);

// The C++ object behind `self`; TypeError when the object was made by __new__ alone and never
// initialised.
template <class T>
T& instance(nb::handle self) {
  if (!nb::inst_ready(self)) {
    raise(PyExc_TypeError, std::string(nb::inst_name(self).c_str()) + " object is not initialised");
  }
  return *nb::inst_ptr<T>(self);
}

// A class that Python code cannot construct: calling it raises TypeError
// "No constructor defined for {name}".
template <class T>
void refuse_construction(nb::class_<T>& cls, const char* name) {
  cls.def("__init__", [name](T*, nb::args, nb::kwargs) {
    raise(PyExc_TypeError, std::string("No constructor defined for ") + name);
  });
}

// Runs a Python entry inside the panic boundary: every C++ exception becomes a Python one.
template <class F>
PyObject* boundary(F&& body) noexcept {
  try {
    nb::object result = body();
    return result.release().ptr();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// Class and function registration, one per area, called by the initialiser in module order.
void register_estimator_classes(nb::module_& m);
void register_online_step_result(nb::module_& m);
void register_online_classes(nb::module_& m);
void register_smoke_class(nb::module_& m);
void register_smoke_function(nb::module_& m);
void register_detect_offline(nb::module_& m);
// Test-only entries, outside the module; nothing unless OVREL_TEST_HOOKS is set.
void register_test_hooks();

}  // namespace ovrel::python
