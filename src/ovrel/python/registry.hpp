#pragma once

// Module registry: every attribute is added through these helpers so that `__all__` lists the
// names in the order they were added; methods, constructor slots and the exception boundary that
// every class and function of the module shares.

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

// The constructor of a class lives in the type's init slot, not in an `__init__` method: with no
// `__init__` method of its own, Python's introspection (inspect.signature, help, IDEs) reads the
// signature from the text signature at the head of the class docstring, which it cannot do
// through a nanobind method. `Make` binds and converts the arguments and builds the value.
template <class T, T (*Make)(nb::handle args, nb::handle kwargs)>
int construct_in_slot(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  try {
    if (nb::inst_ready(self)) {
      raise(PyExc_TypeError,
            std::string(nb::inst_name(self).c_str()) + " object is already initialised");
    }
    new (nb::inst_ptr<T>(self)) T(Make(args, kwargs));
    nb::inst_mark_ready(self);
    return 0;
  } catch (...) {
    set_error_from_current_exception();
    return -1;
  }
}

template <class T, T (*Make)(nb::handle args, nb::handle kwargs)>
nb::type_slots constructor_slot() {
  static PyType_Slot slots[] = {{Py_tp_init, reinterpret_cast<void*>(&construct_in_slot<T, Make>)},
                                {0, nullptr}};
  return nb::type_slots(slots);
}

// The new and init slots of a class that Python code cannot construct, whether called as
// `cls()` or as `cls.__new__(cls)`: TypeError "No constructor defined for {name}".
nb::type_slots no_constructor_slot();

// Runs a Python entry inside the exception boundary: every C++ exception becomes a Python one.
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

}  // namespace ovrel::python
