// Start-up of the extension module: the one-interpreter guard of PyInit__ovrel_rs and the
// registration of every area, in module order.

#include "ovrel/python/module.hpp"

#include <nanobind/nanobind.h>

#include <exception>

#include "ovrel/build_config.hpp"
#include "ovrel/python/registry.hpp"

namespace ovrel::python {

namespace {

void initialise(nb::module_& m) {
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (...) {
      set_error_from_current_exception();
    }
  });

  add_attribute(m, "__version__", nb::str(OVREL_PACKAGE_VERSION));
  register_result_classes(m);
  register_online_step_result(m);
  register_estimator_classes(m);
  register_online_classes(m);
  register_smoke_class(m);
  register_detect_offline(m);
  register_smoke_function(m);
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_ovrel_rs",
    "Python extension module entrypoint.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* created_module = nullptr;
PyInterpreterState* creating_interpreter = nullptr;

}  // namespace

}  // namespace ovrel::python

extern "C" NB_EXPORT PyObject* PyInit__ovrel_rs(void);

extern "C" PyObject* PyInit__ovrel_rs(void) {
  using namespace ovrel::python;
  PyInterpreterState* interp = PyInterpreterState_Get();
  if (creating_interpreter != nullptr && creating_interpreter != interp) {
    PyErr_SetString(
        PyExc_ImportError,
        "ovrel._ovrel_rs cannot be loaded into a second interpreter of the same process");
    return nullptr;
  }
  // A second import in the same interpreter gets the module that already exists.
  if (created_module != nullptr) {
    Py_INCREF(created_module);
    return created_module;
  }
  PyObject* raw = PyModule_Create(&module_def);
  if (raw == nullptr) return nullptr;
  nb::module_ m = nb::steal<nb::module_>(raw);
  if (!nb::register_module(m)) return nullptr;
  try {
    initialise(m);
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
  creating_interpreter = interp;
  created_module = m.inc_ref().ptr();
  return m.release().ptr();
}
