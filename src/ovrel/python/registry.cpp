#include "ovrel/python/registry.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

namespace ovrel::python {

void append_to_all(nb::module_& m, const char* name) {
  nb::object all;
  if (nb::hasattr(m, "__all__")) {
    all = m.attr("__all__");
  } else {
    all = nb::list();
    nb::setattr(m, "__all__", all);
  }
  if (PyList_Append(all.ptr(), nb::str(name).ptr()) != 0) throw nb::python_error();
}

void add_attribute(nb::module_& m, const char* name, nb::handle value) {
  append_to_all(m, name);
  nb::setattr(m, name, value);
}

void add_function(nb::module_& m, PyMethodDef* def) {
  nb::object fn = nb::steal(PyCFunction_NewEx(def, m.ptr(), m.attr("__name__").ptr()));
  if (!fn.is_valid()) throw nb::python_error();
  add_attribute(m, def->ml_name, fn);
}

void add_method(nb::handle cls, PyMethodDef* def) {
  nb::object descr = nb::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), def));
  if (!descr.is_valid()) throw nb::python_error();
  nb::setattr(cls, def->ml_name, descr);
}

void add_static_method(nb::handle cls, PyMethodDef* def) {
  nb::object fn = nb::steal(PyCFunction_NewEx(def, nullptr, nullptr));
  if (!fn.is_valid()) throw nb::python_error();
  nb::setattr(cls, def->ml_name, nb::module_::import_("builtins").attr("staticmethod")(fn));
}

namespace {

[[noreturn]] void refuse_type(PyTypeObject* type) {
  raise(PyExc_TypeError,
        "No constructor defined for " +
            nb::cast<std::string>(nb::handle(reinterpret_cast<PyObject*>(type)).attr("__name__")));
}

int refuse_construction(PyObject* self, PyObject*, PyObject*) noexcept {
  try {
    refuse_type(Py_TYPE(self));
  } catch (...) {
    set_error_from_current_exception();
    return -1;
  }
}

// `cls.__new__(cls)` would otherwise hand out an object with no value behind it, whose every
// attribute and repr fails. The engine's own instances are made without going through this slot.
PyObject* refuse_allocation(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  try {
    refuse_type(type);
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

}  // namespace

nb::type_slots no_constructor_slot() {
  static PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(&refuse_allocation)},
                                {Py_tp_init, reinterpret_cast<void*>(&refuse_construction)},
                                {0, nullptr}};
  return nb::type_slots(slots);
}

}  // namespace ovrel::python
