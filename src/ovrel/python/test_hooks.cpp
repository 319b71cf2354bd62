// `ovrel._ovrel_rs_testing`, a module of its own that only the test suite imports: conversions
// that no public entry passes input to yet. `import ovrel` never loads it, and the public module
// neither names it nor reads any option that would register it. It is built when CMake's
// OVREL_BUILD_TEST_HOOKS is on (`make install` turns it on) and installed beside `_ovrel_rs`.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <variant>

#include "ovrel/core/missing.hpp"
#include "ovrel/python/numpy_interop.hpp"
#include "ovrel/python/runtime.hpp"

namespace ovrel::python {

namespace {

// (values as a flat list, time index as a list, notes) of a series parsed with a time index.
PyObject* parse_series_with_time(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  try {
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
    return nb::make_tuple(values, s.time ? nb::cast(*s.time) : nb::none(), nb::cast(s.notes))
        .release()
        .ptr();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

PyMethodDef parse_series_with_time_def = {
    "parse_series_with_time",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_series_with_time)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

}  // namespace

}  // namespace ovrel::python

NB_MODULE(_ovrel_rs_testing, m) {
  using namespace ovrel::python;
  nb::object fn = nb::steal(PyCFunction_NewEx(&parse_series_with_time_def, m.ptr(), nullptr));
  if (!fn.is_valid()) throw nb::python_error();
  nb::setattr(m, "parse_series_with_time", fn);
}
