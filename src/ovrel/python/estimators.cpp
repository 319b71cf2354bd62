// Pelt, Binseg and Fpop: construct with a cost model and a few limits, fit(x), then
// predict(pen=...) or predict(n_bkps=...) for a fresh detection each time.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <optional>
#include <string>
#include <utility>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/python/convert.hpp"
#include "ovrel/python/dispatch.hpp"
#include "ovrel/python/interrupt.hpp"
#include "ovrel/python/module.hpp"
#include "ovrel/python/numpy_interop.hpp"
#include "ovrel/python/registry.hpp"
#include "ovrel/python/result_objects.hpp"
#include "ovrel/python/runtime.hpp"

namespace ovrel::python {

using core::cat;

namespace {

struct Estimator {
  PyCostModel model = PyCostModel::L2;
  std::size_t min_segment_len = 2;
  std::size_t jump = 1;
  std::optional<std::size_t> max_change_points;
  std::optional<std::size_t> max_depth;
  std::optional<OwnedSeries> fitted;
  BorrowFlag borrow;
};

struct PyPelt : Estimator {};
struct PyBinseg : Estimator {};
struct PyFpop : Estimator {};

std::string optional_count_text(const std::optional<std::size_t>& v) {
  return v ? cat("Some(", *v, ")") : std::string("None");
}

// Converts the arguments in signature order, then validates them; `has_model` and `has_depth`
// say which of the optional parameters the class declares.
Estimator construct(const char* name, bool has_model, bool has_depth, nb::handle args,
                    nb::handle kwargs) {
  std::vector<nb::handle> bound;
  if (has_model && has_depth) {
    bound = bind_arguments(name,
                           {{.name = "model", .none_is_value = true},
                            {.name = "min_segment_len", .none_is_value = true},
                            {.name = "jump", .none_is_value = true},
                            {.name = "max_change_points"},
                            {.name = "max_depth"}},
                           args, kwargs, false);
  } else if (has_model) {
    bound = bind_arguments(name,
                           {{.name = "model", .none_is_value = true},
                            {.name = "min_segment_len", .none_is_value = true},
                            {.name = "jump", .none_is_value = true},
                            {.name = "max_change_points"}},
                           args, kwargs, false);
  } else {
    bound = bind_arguments(name,
                           {{.name = "min_segment_len", .none_is_value = true},
                            {.name = "jump", .none_is_value = true},
                            {.name = "max_change_points"}},
                           args, kwargs, false);
  }
  std::size_t i = 0;
  std::string model_text = "l2";
  if (has_model) {
    nb::handle h = bound[i++];
    if (h.is_valid()) model_text = convert_argument("model", [&] { return to_str(h); });
  }
  Estimator e;
  nb::handle h = bound[i++];
  if (h.is_valid())
    e.min_segment_len = convert_argument("min_segment_len", [&] { return to_u64(h); });
  h = bound[i++];
  if (h.is_valid()) e.jump = convert_argument("jump", [&] { return to_u64(h); });
  h = bound[i++];
  if (h.is_valid())
    e.max_change_points = convert_argument("max_change_points", [&] { return to_u64(h); });
  if (has_depth) {
    h = bound[i++];
    if (h.is_valid()) e.max_depth = convert_argument("max_depth", [&] { return to_u64(h); });
  }
  if (has_model) e.model = parse_cost_model_or_raise(model_text);
  if (e.min_segment_len == 0) raise(PyExc_ValueError, "min_segment_len must be >= 1; got 0");
  if (e.jump == 0) raise(PyExc_ValueError, "jump must be >= 1; got 0");
  if (has_depth && e.max_depth && *e.max_depth == 0) {
    raise(PyExc_ValueError, "max_depth must be >= 1 when provided");
  }
  return e;
}

PyPelt make_pelt(nb::handle args, nb::handle kwargs) {
  return PyPelt{construct("Pelt", true, false, args, kwargs)};
}
PyBinseg make_binseg(nb::handle args, nb::handle kwargs) {
  return PyBinseg{construct("Binseg", true, true, args, kwargs)};
}
PyFpop make_fpop(nb::handle args, nb::handle kwargs) {
  return PyFpop{construct("Fpop", false, false, args, kwargs)};
}

template <class T>
nb::object fit(nb::handle self, nb::handle args, nb::handle kwargs) {
  auto bound = bind_arguments("fit", {{.name = "x", .required = true}}, args, kwargs, true);
  T& est = instance<T>(self);
  BorrowFlag::Exclusive guard(est.borrow);
  // Parsed in full before the earlier series is replaced, so a failing fit keeps it.
  OwnedSeries series = parse_owned_series(bound[0]);
  est.fitted = std::move(series);
  return nb::borrow(self);
}

template <class T>
nb::object predict(nb::handle self, nb::handle args, nb::handle kwargs, DetectorKind kind) {
  auto bound = bind_arguments(
      "predict", {{.name = "pen", .keyword_only = true}, {.name = "n_bkps", .keyword_only = true}},
      args, kwargs, true);
  const T& est = instance<T>(self);
  // Taken before the arguments are converted: a conversion that runs Python code cannot slip
  // a fit of this object in between.
  BorrowFlag::Shared guard(est.borrow);
  std::optional<double> pen;
  std::optional<std::size_t> n_bkps;
  if (bound[0].is_valid()) pen = convert_argument("pen", [&] { return to_f64(bound[0]); });
  if (bound[1].is_valid()) n_bkps = convert_argument("n_bkps", [&] { return to_u64(bound[1]); });

  core::Stopping stopping = resolve_stopping("predict()", pen, n_bkps);
  if (!est.fitted) raise(PyExc_RuntimeError, "fit(...) must be called before predict(...)");

  core::Constraints constraints;
  constraints.min_segment_len = est.min_segment_len;
  constraints.jump = est.jump;
  constraints.max_change_points = est.max_change_points;
  if (kind == DetectorKind::Binseg) constraints.max_depth = est.max_depth;

  const PyCostModel cost = kind == DetectorKind::Fpop ? PyCostModel::L2 : est.model;
  SignalInterrupt interrupt;
  core::Result<core::OfflineChangePointResult> outcome = [&] {
    // The shared borrow keeps fit from replacing the series while the lock is released.
    nb::gil_scoped_release unlocked;
    return detect_with_spec(kind, cost, *est.fitted, constraints, std::move(stopping),
                            core::ReproMode::Balanced, interrupt.poll());
  }();
  interrupt.raise_if_stopped();
  core::OfflineChangePointResult result = unwrap(std::move(outcome));
  for (const std::string& note : est.fitted->notes)
    result.diagnostics.notes.push_back(cat("fit: ", note));
  attach_python_adapter_build_context(result.diagnostics);
  return wrap_result(PyOfflineChangePointResult::from_core(std::move(result)));
}

constexpr const char* kFitDoc = "fit($self, x)\n--\n\n";
constexpr const char* kPredictDoc = "predict($self, *, pen=None, n_bkps=None)\n--\n\n";

template <class T>
PyObject* fit_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&] { return fit<T>(self, args, kwargs); });
}

template <class T, DetectorKind kKind>
PyObject* predict_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&] { return predict<T>(self, args, kwargs, kKind); });
}

template <class T, DetectorKind kKind>
void add_fit_and_predict(nb::handle cls) {
  static PyMethodDef fit_def = {
      "fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fit_entry<T>)),
      METH_VARARGS | METH_KEYWORDS, kFitDoc};
  static PyMethodDef predict_def = {
      "predict",
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&predict_entry<T, kKind>)),
      METH_VARARGS | METH_KEYWORDS, kPredictDoc};
  add_method(cls, &fit_def);
  add_method(cls, &predict_def);
}

}  // namespace

void register_estimator_classes(nb::module_& m) {
  append_to_all(m, "Pelt");
  nb::class_<PyPelt> pelt(
      m, "Pelt",
      "Pelt(model=\"l2\", min_segment_len=2, jump=1, max_change_points=None)\n--\n\n"
      "High-level Python interface for offline PELT detection.",
      nb::is_final(), constructor_slot<PyPelt, &make_pelt>());
  pelt.def("__repr__", [](const PyPelt& e) {
    BorrowFlag::Shared guard(e.borrow);
    return cat("Pelt(model='", cost_model_keyword(e.model),
               "', min_segment_len=", e.min_segment_len, ", jump=", e.jump,
               ", max_change_points=", optional_count_text(e.max_change_points),
               ", fitted=", e.fitted.has_value(), ")");
  });
  add_fit_and_predict<PyPelt, DetectorKind::Pelt>(pelt);

  append_to_all(m, "Binseg");
  nb::class_<PyBinseg> binseg(
      m, "Binseg",
      "Binseg(model=\"l2\", min_segment_len=2, jump=1, max_change_points=None, "
      "max_depth=None)\n--\n\n"
      "High-level Python interface for offline BinSeg detection.",
      nb::is_final(), constructor_slot<PyBinseg, &make_binseg>());
  binseg.def("__repr__", [](const PyBinseg& e) {
    BorrowFlag::Shared guard(e.borrow);
    return cat(
        "Binseg(model='", cost_model_keyword(e.model), "', min_segment_len=", e.min_segment_len,
        ", jump=", e.jump, ", max_change_points=", optional_count_text(e.max_change_points),
        ", max_depth=", optional_count_text(e.max_depth), ", fitted=", e.fitted.has_value(), ")");
  });
  add_fit_and_predict<PyBinseg, DetectorKind::Binseg>(binseg);

  append_to_all(m, "Fpop");
  nb::class_<PyFpop> fpop(m, "Fpop",
                          "Fpop(min_segment_len=2, jump=1, max_change_points=None)\n--\n\n"
                          "High-level Python interface for offline FPOP detection.",
                          nb::is_final(), constructor_slot<PyFpop, &make_fpop>());
  fpop.def("__repr__", [](const PyFpop& e) {
    BorrowFlag::Shared guard(e.borrow);
    return cat("Fpop(min_segment_len=", e.min_segment_len, ", jump=", e.jump,
               ", max_change_points=", optional_count_text(e.max_change_points),
               ", fitted=", e.fitted.has_value(), ")");
  });
  add_fit_and_predict<PyFpop, DetectorKind::Fpop>(fpop);
}

}  // namespace ovrel::python
