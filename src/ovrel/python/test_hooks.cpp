// Entries that only the test suite reaches: conversions that no public entry passes input to
// yet. They live in a module of their own, registered in sys.modules when the interpreter option
// `-X ovrel_test_hooks` is set at import (the suite sets it in sys._xoptions), so the public
// module gains no name and the module reads no environment variable.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <variant>

#include "ovrel/core/missing.hpp"
#include "ovrel/python/module.hpp"
#include "ovrel/python/numpy_interop.hpp"

namespace ovrel::python {

namespace {

// (values as a flat list, time index as a list, notes) of a series parsed with a time index.
PyObject* parse_series_with_time(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> nb::object {
    auto bound =
        bind_arguments("parse_series_with_time",
                       {{.name = "x", .required = true}, {.name = "time_index", .required = true}},
                       args, kwargs, false);
    OwnedSeries s = parse_numpy_series(bound[0], bound[1], core::MissingPolicy::Error, false);
    nb::list values;
    std::visit(
        [&](const auto& v) {
          for (auto e : v) values.append(static_cast<double>(e));
        },
        s.values);
    return nb::make_tuple(values, s.time ? nb::cast(*s.time) : nb::none(), nb::cast(s.notes));
  });
}

PyMethodDef parse_series_with_time_def = {
    "parse_series_with_time",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_series_with_time)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

}  // namespace

void register_test_hooks() {
  nb::object options = nb::getattr(nb::module_::import_("sys"), "_xoptions", nb::none());
  if (!nb::isinstance<nb::dict>(options) ||
      !nb::borrow<nb::dict>(options).contains("ovrel_test_hooks"))
    return;
  nb::module_ hooks = nb::steal<nb::module_>(PyModule_New("ovrel._ovrel_rs_testing"));
  if (!hooks.is_valid()) throw nb::python_error();
  nb::object fn = nb::steal(PyCFunction_NewEx(&parse_series_with_time_def, hooks.ptr(), nullptr));
  if (!fn.is_valid()) throw nb::python_error();
  nb::setattr(hooks, "parse_series_with_time", fn);
  nb::module_::import_("sys").attr("modules")["ovrel._ovrel_rs_testing"] = hooks;
}

}  // namespace ovrel::python
