// detect_offline: one fully specified offline detection, configured by explicit arguments or by
// one pipeline dictionary.

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ovrel/core/repro.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/python/config_dicts.hpp"
#include "ovrel/python/convert.hpp"
#include "ovrel/python/dispatch.hpp"
#include "ovrel/python/interrupt.hpp"
#include "ovrel/python/module.hpp"
#include "ovrel/python/numpy_interop.hpp"
#include "ovrel/python/pipeline_dict.hpp"
#include "ovrel/python/registry.hpp"
#include "ovrel/python/result_objects.hpp"

namespace ovrel::python {

using core::cat;

namespace {

core::ReproMode parse_repro_mode(const std::string& text) {
  const std::string lowered = ascii_lower(text);
  if (lowered == "strict") return core::ReproMode::Strict;
  if (lowered == "balanced") return core::ReproMode::Balanced;
  if (lowered == "fast") return core::ReproMode::Fast;
  raise(PyExc_ValueError,
        cat("unsupported repro_mode '", text, "'; expected one of: 'fast', 'balanced', 'strict'"));
}

DetectorKind parse_detector(const std::string& text) {
  const std::string lowered = ascii_lower(text);
  if (lowered == "pelt") return DetectorKind::Pelt;
  if (lowered == "binseg") return DetectorKind::Binseg;
  if (lowered == "fpop") return DetectorKind::Fpop;
  if (lowered == "segneigh" || lowered == "seg_neigh" || lowered == "dynp")
    return DetectorKind::Dynp;
  raise(PyExc_ValueError, cat("unsupported detector '", text,
                              "'; expected one of: 'pelt', 'binseg', 'fpop', 'segneigh' "
                              "(aliases: 'seg_neigh', 'dynp')"));
}

// "preprocess:{name} {details joined by '; '}", or "preprocess:{name} applied" without details.
std::vector<std::string> preprocess_notes(const std::vector<preprocess::StepReport>& reports) {
  std::vector<std::string> notes;
  notes.reserve(reports.size());
  for (const preprocess::StepReport& report : reports) {
    if (report.details.empty()) {
      notes.push_back(cat("preprocess:", report.name, " applied"));
      continue;
    }
    std::string joined;
    for (std::size_t i = 0; i < report.details.size(); ++i) {
      if (i) joined += "; ";
      joined += report.details[i];
    }
    notes.push_back(cat("preprocess:", report.name, " ", joined));
  }
  return notes;
}

struct RunOutput {
  core::OfflineChangePointResult result;
  std::vector<std::string> preprocess_notes;
};

core::Result<RunOutput> run_explicit(DetectorKind detector, PyCostModel cost,
                                     const OwnedSeries& series,
                                     const core::Constraints& constraints,
                                     const core::Stopping& stopping,
                                     const std::optional<preprocess::PreprocessPipeline>& pipeline,
                                     core::ReproMode repro_mode, core::InterruptPoll* interrupt) {
  OVREL_TRY_ASSIGN(core::TimeSeriesView view, series.view());
  if (!pipeline) {
    OVREL_TRY_ASSIGN(auto result, detect_with_view(detector, cost, view, constraints, stopping,
                                                   repro_mode, interrupt));
    return RunOutput{std::move(result), {}};
  }
  OVREL_TRY_ASSIGN(preprocess::PreprocessedSeries cleaned, pipeline->apply(view));
  std::vector<std::string> notes = preprocess_notes(cleaned.reports);
  OVREL_TRY_ASSIGN(core::TimeSeriesView cleaned_view, cleaned.as_view());
  OVREL_TRY_ASSIGN(auto result, detect_with_view(detector, cost, cleaned_view, constraints,
                                                 stopping, repro_mode, interrupt));
  return RunOutput{std::move(result), std::move(notes)};
}

// The pipeline road: preprocessing, if the pipeline asks for it, happens inside the run and adds
// no notes here.
nb::object detect_with_pipeline(nb::handle pipeline_arg, const OwnedSeries& series,
                                core::ReproMode repro_mode, bool return_diagnostics) {
  const pipeline::PipelineSpec spec = parse_pipeline_spec(pipeline_arg);
  std::optional<core::Result<core::OfflineChangePointResult>> run;
  SignalInterrupt interrupt;
  {
    nb::gil_scoped_release unlocked;
    run.emplace(run_pipeline_spec(series, spec, repro_mode, interrupt.poll()));
  }
  interrupt.raise_if_stopped();
  core::OfflineChangePointResult result = unwrap(std::move(*run));
  core::Diagnostics& diagnostics = result.diagnostics;
  if (!return_diagnostics) {
    diagnostics.notes.clear();
    diagnostics.warnings.clear();
  }
  for (const std::string& note : series.notes) diagnostics.notes.push_back(cat("input: ", note));
  attach_python_adapter_build_context(diagnostics);
  return wrap_result(PyOfflineChangePointResult::from_core(std::move(result)));
}

nb::object detect_offline(nb::handle args, nb::handle kwargs) {
  auto bound =
      bind_arguments("detect_offline",
                     {{.name = "x", .required = true},
                      {.name = "pipeline", .keyword_only = true},
                      {.name = "detector", .keyword_only = true, .none_is_value = true},
                      {.name = "cost", .keyword_only = true, .none_is_value = true},
                      {.name = "constraints", .keyword_only = true},
                      {.name = "stopping", .keyword_only = true},
                      {.name = "preprocess", .keyword_only = true},
                      {.name = "repro_mode", .keyword_only = true, .none_is_value = true},
                      {.name = "return_diagnostics", .keyword_only = true, .none_is_value = true}},
                     args, kwargs, false);
  nb::handle x = bound[0];
  nb::handle pipeline_arg = bound[1];
  const std::string detector_text =
      bound[2].is_valid() ? convert_argument("detector", [&] { return to_str(bound[2]); }) : "pelt";
  const std::string cost_text =
      bound[3].is_valid() ? convert_argument("cost", [&] { return to_str(bound[3]); }) : "l2";
  nb::handle constraints_arg = bound[4];
  nb::handle stopping_arg = bound[5];
  nb::handle preprocess_arg = bound[6];
  const std::string repro_text =
      bound[7].is_valid() ? convert_argument("repro_mode", [&] { return to_str(bound[7]); })
                          : "balanced";
  const bool return_diagnostics =
      bound[8].is_valid()
          ? convert_argument("return_diagnostics", [&] { return to_bool(bound[8]); })
          : true;

  const bool has_pipeline = pipeline_arg.is_valid();
  if (has_pipeline &&
      (ascii_lower(detector_text) != "pelt" || ascii_lower(cost_text) != "l2" ||
       constraints_arg.is_valid() || stopping_arg.is_valid() || preprocess_arg.is_valid())) {
    raise(
        PyExc_ValueError,
        "detect_offline accepts either pipeline=... or explicit detector/cost/constraints/stopping/"
        "preprocess arguments, not both");
  }
  const core::ReproMode repro_mode = parse_repro_mode(repro_text);
  OwnedSeries series = parse_owned_series(x);

  if (has_pipeline) {
    return detect_with_pipeline(pipeline_arg, series, repro_mode, return_diagnostics);
  }

  const DetectorKind detector = parse_detector(detector_text);
  const PyCostModel cost = parse_cost_model_or_raise(cost_text);
  const core::Constraints constraints = parse_constraints(constraints_arg);
  const core::Stopping stopping = parse_stopping(stopping_arg);
  const std::optional<preprocess::PreprocessPipeline> pipeline = parse_preprocess(preprocess_arg);

  std::optional<core::Result<RunOutput>> run;
  SignalInterrupt interrupt;
  {
    nb::gil_scoped_release unlocked;
    run.emplace(run_explicit(detector, cost, series, constraints, stopping, pipeline, repro_mode,
                             interrupt.poll()));
  }
  interrupt.raise_if_stopped();
  RunOutput output = unwrap(std::move(*run));
  core::Diagnostics& diagnostics = output.result.diagnostics;
  if (!return_diagnostics) {
    diagnostics.notes.clear();
    diagnostics.warnings.clear();
  }
  for (std::string& note : output.preprocess_notes) diagnostics.notes.push_back(std::move(note));
  for (const std::string& note : series.notes) diagnostics.notes.push_back(cat("input: ", note));
  attach_python_adapter_build_context(diagnostics);
  return wrap_result(PyOfflineChangePointResult::from_core(std::move(output.result)));
}

PyObject* detect_offline_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&] { return detect_offline(nb::handle(args), nb::handle(kwargs)); });
}

PyMethodDef detect_offline_def = {
    "detect_offline",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(detect_offline_entry)),
    METH_VARARGS | METH_KEYWORDS,
    "detect_offline(x, *, pipeline=None, detector=\"pelt\", cost=\"l2\", constraints=None, "
    "stopping=None, preprocess=None, repro_mode=\"balanced\", return_diagnostics=True)\n--\n\n"
    "Low-level power-user API for fully-specified offline detection."};

}  // namespace

void register_detect_offline(nb::module_& m) { add_function(m, &detect_offline_def); }

}  // namespace ovrel::python
