// Bocpd, Cusum and PageHinkley: construct from keyword arguments and dictionaries, then feed a
// stream one value at a time with update or in NumPy batches with update_many.

#include "ovrel/python/online_classes.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/python/convert.hpp"
#include "ovrel/python/interrupt.hpp"
#include "ovrel/python/module.hpp"
#include "ovrel/python/numpy_interop.hpp"
#include "ovrel/python/online_dicts.hpp"
#include "ovrel/python/online_step_result.hpp"
#include "ovrel/python/registry.hpp"

namespace ovrel::python {

using core::cat;

std::string_view canonical_model_name(const online::ObservationModel& model) noexcept {
  switch (model.index()) {
    case 1:
      return "poisson_gamma";
    case 2:
      return "bernoulli_beta";
    default:
      return "gaussian_nig";
  }
}

namespace {

// ----- constructors -----

online::ObservationModel parse_model(const std::string& text) {
  const std::string lowered = ascii_lower(text);
  if (lowered == "gaussian" || lowered == "gaussian_nig") return online::GaussianNig{};
  if (lowered == "poisson" || lowered == "poisson_gamma") return online::PoissonGamma{};
  if (lowered == "bernoulli" || lowered == "bernoulli_beta") return online::BernoulliBeta{};
  raise(PyExc_ValueError,
        cat("unsupported model '", text,
            "'; expected one of: 'gaussian_nig', 'poisson_gamma', 'bernoulli_beta'"));
}

PyBocpd make_bocpd(nb::handle args, nb::handle kwargs) {
  auto bound = bind_arguments("Bocpd",
                              {{.name = "model", .none_is_value = true},
                               {.name = "hazard"},
                               {.name = "max_run_length", .none_is_value = true},
                               {.name = "alert_policy"},
                               {.name = "late_data_policy"}},
                              args, kwargs, false);
  std::string model = "gaussian_nig";
  if (bound[0].is_valid()) model = convert_argument("model", [&] { return to_str(bound[0]); });
  std::uint64_t max_run_length = 2000;
  if (bound[2].is_valid())
    max_run_length = convert_argument("max_run_length", [&] { return to_u64(bound[2]); });

  online::BocpdConfig config;
  config.observation = parse_model(model);
  config.hazard = parse_bocpd_hazard(bound[1]);
  config.max_run_length = max_run_length;
  config.alert_policy = parse_alert_policy(bound[3], config.alert_policy);
  config.late_data_policy = parse_late_data_policy(bound[4]);
  return PyBocpd{unwrap(online::BocpdDetector::create(std::move(config))), {}};
}

// The three numbers of Cusum and PageHinkley, converted in signature order.
struct BaselineArguments {
  double a = 0.0;
  double threshold = 8.0;
  double mean = 0.0;
  online::AlertPolicy alert_policy = online::kBaselineAlertPolicy;
  online::LateDataPolicy late_data_policy = online::LateDataPolicy::reject();
};

BaselineArguments baseline_arguments(const char* callable, const char* first, double first_default,
                                     const char* mean_name, nb::handle args, nb::handle kwargs) {
  auto bound = bind_arguments(callable,
                              {{first, false, false, true},
                               {.name = "threshold", .none_is_value = true},
                               {mean_name, false, false, true},
                               {.name = "alert_policy"},
                               {.name = "late_data_policy"}},
                              args, kwargs, false);
  BaselineArguments out;
  out.a = first_default;
  if (bound[0].is_valid()) out.a = convert_argument(first, [&] { return to_f64(bound[0]); });
  if (bound[1].is_valid())
    out.threshold = convert_argument("threshold", [&] { return to_f64(bound[1]); });
  if (bound[2].is_valid()) out.mean = convert_argument(mean_name, [&] { return to_f64(bound[2]); });
  out.alert_policy = parse_alert_policy(bound[3], online::kBaselineAlertPolicy);
  out.late_data_policy = parse_late_data_policy(bound[4]);
  return out;
}

PyCusum make_cusum(nb::handle args, nb::handle kwargs) {
  const BaselineArguments a =
      baseline_arguments("Cusum", "drift", 0.0, "target_mean", args, kwargs);
  const online::CusumConfig config{.drift = a.a,
                                   .threshold = a.threshold,
                                   .target_mean = a.mean,
                                   .alert_policy = a.alert_policy,
                                   .late_data_policy = a.late_data_policy};
  return PyCusum{unwrap(online::CusumDetector::create(config)), {}};
}

PyPageHinkley make_page_hinkley(nb::handle args, nb::handle kwargs) {
  const BaselineArguments a =
      baseline_arguments("PageHinkley", "delta", 0.01, "initial_mean", args, kwargs);
  const online::PageHinkleyConfig config{.delta = a.a,
                                         .threshold = a.threshold,
                                         .initial_mean = a.mean,
                                         .alert_policy = a.alert_policy,
                                         .late_data_policy = a.late_data_policy};
  return PyPageHinkley{unwrap(online::PageHinkleyDetector::create(config)), {}};
}

// ----- updates -----

// Inside a catch block: raises the exception in flight as its Python exception, with `note` added
// to it. Memory the system refused is reported as MemoryError(`out_of_memory`), which says what
// was being allocated.
[[noreturn]] void rethrow_with_note(const std::string& note, const std::string& out_of_memory) {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_MemoryError, out_of_memory.c_str());
  } catch (const std::length_error&) {
    PyErr_SetString(PyExc_MemoryError, out_of_memory.c_str());
  } catch (...) {
    set_error_from_current_exception();
  }
  nb::python_error error;
  add_exception_note(error.value(), note);
  throw error;
}

// The lock stays held for batches this small: releasing and taking it back costs more than the
// steps themselves.
constexpr std::uint64_t kMaxLockedBatchValues = 15;

template <class T>
nb::object update(nb::handle self, nb::handle args, nb::handle kwargs) {
  auto bound = bind_arguments("update", {{.name = "x_t", .required = true}, {.name = "t_ns"}}, args,
                              kwargs, true);
  T& obj = instance<T>(self);
  BorrowFlag::Exclusive guard(obj.borrow);
  const double x = convert_argument("x_t", [&] { return to_f64(bound[0]); });
  std::optional<std::int64_t> t_ns;
  if (bound[1].is_valid()) t_ns = convert_argument("t_ns", [&] { return to_i64(bound[1]); });
  const core::Constraints constraints;
  const core::ExecutionContext ctx(constraints, core::ReproMode::Balanced);
  return new_step_result(unwrap(obj.detector.update(std::span<const double>(&x, 1), t_ns, ctx)));
}

// "update_many of {n} values needs about {bytes} bytes for its results": what a batch of `n` rows
// and `values` input elements of `item_size` bytes allocates, its copy of the input and its
// records (StepResultBatch::reserve), saturating at 2^64 - 1.
std::string batch_memory_text(std::uint64_t n, std::uint64_t values, std::uint64_t item_size) {
  std::uint64_t input = 0;
  std::uint64_t records = 0;
  std::uint64_t total = 0;
  if (__builtin_mul_overflow(values, item_size, &input) ||
      __builtin_mul_overflow(n, std::uint64_t{StepResultBatch::kBytesPerRecord}, &records) ||
      __builtin_add_overflow(input, records, &total)) {
    total = UINT64_MAX;
  }
  return cat("update_many of ", n, " values needs about ", total, " bytes for its results");
}

// The same from the array as given, before its values are copied.
std::string batch_memory_text(nb::handle array) {
  const nb::object shape = array.attr("shape");
  const std::uint64_t n = nb::len(shape) > 0 ? nb::cast<std::uint64_t>(shape[0]) : 1;
  return batch_memory_text(n, nb::cast<std::uint64_t>(array.attr("size")),
                           nb::cast<std::uint64_t>(array.attr("itemsize")));
}

template <class T>
nb::object update_many(nb::handle self, nb::handle args, nb::handle kwargs) {
  auto bound =
      bind_arguments("update_many", {{.name = "x_batch", .required = true}}, args, kwargs, true);
  T& obj = instance<T>(self);
  // Held for the whole call, also while the lock is released: other threads calling this
  // object fail at once instead of seeing a half-applied batch.
  BorrowFlag::Exclusive guard(obj.borrow);
  // Converted and checked in full before any row reaches the detector. The records are allocated
  // up front too, with the lock held, and the engine fills them in as it applies each step. A
  // batch too large for the memory left is refused with nothing applied, saying what it needed.
  const SeriesArgument argument = series_argument(bound[0]);
  OwnedSeries series;
  StepResultBatch records;
  // What was allocated is released first: the message needs memory of its own.
  const auto refuse = [&]() {
    records.release();
    series = OwnedSeries();
    raise(PyExc_MemoryError, batch_memory_text(argument.array));
  };
  try {
    series = parse_owned_series(argument);
    records.reserve(series.n);
  } catch (const std::bad_alloc&) {
    refuse();
  } catch (const std::length_error&) {
    refuse();
  }
  std::uint64_t values = 0;
  const bool small = !__builtin_mul_overflow(series.n, series.d > 0 ? series.d : 1, &values) &&
                     values <= kMaxLockedBatchValues;
  // Each value applied advances the state's t by one. A step whose record could not be made
  // (memory refused while the engine built it) has been applied all the same, so the count of
  // applied values comes from the state rather than from the records.
  const std::uint64_t t_before = obj.detector.state().t;
  auto keep = [&records](core::OnlineStepResult&& step) { records.add(std::move(step)); };
  auto run = [&](core::InterruptPoll* interrupt) -> core::Status {
    OVREL_TRY_ASSIGN(const core::TimeSeriesView view, series.view());
    const core::Constraints constraints;
    core::ExecutionContext ctx(constraints, core::ReproMode::Balanced);
    ctx.interrupt = interrupt;
    return core::update_each(obj.detector, view, ctx, keep);
  };
  std::optional<SignalInterrupt> interrupt;
  try {
    core::Status outcome = [&] {
      if (small) return run(nullptr);
      interrupt.emplace();
      nb::gil_scoped_release unlocked;
      return run(interrupt->poll());
    }();
    if (interrupt) interrupt->raise_if_stopped();
    unwrap(std::move(outcome));
    return records.take_list();
  } catch (...) {
    // Nothing is rolled back: the caller learns where to resume from. The records go first, as
    // above.
    records.release();
    const std::uint64_t applied = obj.detector.state().t - t_before;
    rethrow_with_note(
        cat("update_many applied ", applied, " of ", series.n, " values before stopping"),
        batch_memory_text(series.n, values, series.is_f32() ? sizeof(float) : sizeof(double)));
  }
}

template <class T>
nb::object reset(nb::handle self, nb::handle args, nb::handle kwargs) {
  bind_arguments("reset", {}, args, kwargs, true);
  T& obj = instance<T>(self);
  BorrowFlag::Exclusive guard(obj.borrow);
  obj.detector.reset();
  return nb::none();
}

template <class T>
PyObject* update_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&] { return update<T>(self, args, kwargs); });
}
template <class T>
PyObject* update_many_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&] { return update_many<T>(self, args, kwargs); });
}
template <class T>
PyObject* reset_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&] { return reset<T>(self, args, kwargs); });
}

template <class T>
void add_stream_methods(nb::handle cls) {
  static PyMethodDef update_def = {
      "update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&update_entry<T>)),
      METH_VARARGS | METH_KEYWORDS, "update($self, x_t, t_ns=None)\n--\n\n"};
  static PyMethodDef update_many_def = {
      "update_many",
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&update_many_entry<T>)),
      METH_VARARGS | METH_KEYWORDS, "update_many($self, x_batch)\n--\n\n"};
  static PyMethodDef reset_def = {
      "reset", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&reset_entry<T>)),
      METH_VARARGS | METH_KEYWORDS, "reset($self)\n--\n\n"};
  add_method(cls, &update_def);
  add_method(cls, &update_many_def);
  add_method(cls, &reset_def);
}

std::string_view hazard_kind(const online::HazardSpec& hazard) {
  return hazard.index() == 0 ? "constant" : "geometric";
}

}  // namespace

void register_online_classes(nb::module_& m) {
  append_to_all(m, "Bocpd");
  nb::class_<PyBocpd> bocpd(m, "Bocpd",
                            "Bocpd(model=\"gaussian_nig\", hazard=None, max_run_length=2000, "
                            "alert_policy=None, late_data_policy=None)\n--\n\n"
                            "Stateful BOCPD detector for streaming updates.",
                            nb::is_final(), constructor_slot<PyBocpd, &make_bocpd>());
  bocpd.def("__repr__", [](const PyBocpd& b) {
    BorrowFlag::Shared guard(b.borrow);
    const online::BocpdConfig& c = b.detector.config();
    return cat("Bocpd(model='", canonical_model_name(c.observation), "', hazard='",
               hazard_kind(c.hazard), "', max_run_length=", c.max_run_length, ")");
  });
  add_stream_methods<PyBocpd>(bocpd);
  add_checkpoint_methods(bocpd);

  append_to_all(m, "Cusum");
  nb::class_<PyCusum> cusum(m, "Cusum",
                            "Cusum(drift=0.0, threshold=8.0, target_mean=0.0, alert_policy=None, "
                            "late_data_policy=None)\n--\n\n"
                            "Stateful CUSUM detector for streaming updates.",
                            nb::is_final(), constructor_slot<PyCusum, &make_cusum>());
  cusum.def("__repr__", [](const PyCusum& c) {
    BorrowFlag::Shared guard(c.borrow);
    const online::CusumConfig& k = c.detector.config();
    return cat("Cusum(drift=", k.drift, ", threshold=", k.threshold,
               ", target_mean=", k.target_mean, ")");
  });
  add_stream_methods<PyCusum>(cusum);
  add_checkpoint_methods(cusum);

  append_to_all(m, "PageHinkley");
  nb::class_<PyPageHinkley> ph(m, "PageHinkley",
                               "PageHinkley(delta=0.01, threshold=8.0, initial_mean=0.0, "
                               "alert_policy=None, late_data_policy=None)\n--\n\n"
                               "Stateful Page-Hinkley detector for streaming updates.",
                               nb::is_final(),
                               constructor_slot<PyPageHinkley, &make_page_hinkley>());
  ph.def("__repr__", [](const PyPageHinkley& p) {
    BorrowFlag::Shared guard(p.borrow);
    const online::PageHinkleyConfig& k = p.detector.config();
    return cat("PageHinkley(delta=", k.delta, ", threshold=", k.threshold,
               ", initial_mean=", k.initial_mean, ")");
  });
  add_stream_methods<PyPageHinkley>(ph);
  add_checkpoint_methods(ph);

  // Opaque: no constructor, attributes or methods; load_state accepts them.
  append_to_all(m, "_BocpdState");
  nb::class_<PyBocpdState>(m, "_BocpdState", nb::is_final(), no_constructor_slot());
  append_to_all(m, "_CusumState");
  nb::class_<PyCusumState>(m, "_CusumState", nb::is_final(), no_constructor_slot());
  append_to_all(m, "_PageHinkleyState");
  nb::class_<PyPageHinkleyState>(m, "_PageHinkleyState", nb::is_final(), no_constructor_slot());
}

}  // namespace ovrel::python
