// Entries that only the test suite reaches: conversions that no public entry passes input to
// yet. They live in a module of their own, registered in sys.modules when the environment
// variable OVREL_TEST_HOOKS is set at import, so the public module gains no name.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdlib>
#include <variant>

#include "ovrel/core/missing.hpp"
#include "ovrel/python/module.hpp"
#include "ovrel/python/numpy_interop.hpp"

namespace ovrel::python {

namespace {

// (values as a flat list, time index as a list, notes) of a series parsed with a time index.
PyObject* parse_series_with_time(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> nb::object {
    auto bound = bind_arguments("parse_series_with_time", {{"x", true}, {"time_index", true}}, args,
                                kwargs, false);
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
  const char* flag = std::getenv("OVREL_TEST_HOOKS");
  if (flag == nullptr || *flag == '\0') return;
  nb::module_ hooks = nb::steal<nb::module_>(PyModule_New("ovrel._ovrel_rs_testing"));
  if (!hooks.is_valid()) throw nb::python_error();
  nb::object fn = nb::steal(PyCFunction_NewEx(&parse_series_with_time_def, hooks.ptr(), nullptr));
  if (!fn.is_valid()) throw nb::python_error();
  nb::setattr(hooks, "parse_series_with_time", fn);
  nb::module_::import_("sys").attr("modules")["ovrel._ovrel_rs_testing"] = hooks;
}

}  // namespace ovrel::python
