#include "ovrel/python/pipeline_dict.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "ovrel/core/text.hpp"
#include "ovrel/pipeline/execute.hpp"
#include "ovrel/python/config_dicts.hpp"
#include "ovrel/python/convert.hpp"
#include "ovrel/python/runtime.hpp"

namespace ovrel::python {

using core::cat;
using core::Penalty;
using core::Stopping;
using pipeline::CostConfig;
using pipeline::OfflineDetectorConfig;

namespace {

// The value under `key`, held by a strong reference; an empty object when the key is absent.
nb::object dict_get(nb::handle dict, const char* key) {
  nb::str k(key);
  PyObject* found = PyDict_GetItemWithError(dict.ptr(), k.ptr());
  if (found) return nb::borrow(found);
  if (PyErr_Occurred()) throw nb::python_error();
  return nb::object();
}

bool absent_or_none(const nb::object& value) { return !value.is_valid() || value.is_none(); }

// The only key of a one-entry dict; the caller has checked the size.
std::pair<nb::object, nb::object> sole_entry(nb::handle dict) { return dict_snapshot(dict)[0]; }

bool has_exactly_one_key(nb::handle dict) { return PyDict_Size(dict.ptr()) == 1; }

// The kind word of the option messages.
const char* kind_word(const OfflineDetectorConfig& detector) {
  return std::visit(
      [](const auto& config) -> const char* {
        using T = std::decay_t<decltype(config)>;
        if constexpr (std::is_same_v<T, offline::PeltConfig>) return "pelt";
        if constexpr (std::is_same_v<T, offline::BinSegConfig>) return "binseg";
        if constexpr (std::is_same_v<T, offline::FpopConfig>) return "fpop";
        if constexpr (std::is_same_v<T, offline::WbsConfig>) return "wbs";
        if constexpr (std::is_same_v<T, offline::DynpConfig>) return "segneigh";
      },
      detector);
}

// The configurations of a detector named by kind alone, and the starting point of its options.
const Stopping kBic = Stopping::penalized(Penalty::bic());
// No parameter count is given until the dictionary gives one.
OfflineDetectorConfig default_pelt() {
  return offline::PeltConfig{.stopping = kBic, .cancel_check_every = 1000};
}
OfflineDetectorConfig default_binseg() {
  return offline::BinSegConfig{.stopping = kBic, .cancel_check_every = 1000};
}
OfflineDetectorConfig default_fpop() {
  return offline::FpopConfig{.stopping = kBic, .cancel_check_every = 1000};
}
OfflineDetectorConfig default_segneigh() {
  return offline::DynpConfig{.stopping = Stopping::known_k(1), .cancel_check_every = 1000};
}
OfflineDetectorConfig default_wbs() {
  return offline::WbsConfig{.num_intervals = std::nullopt,
                            .interval_strategy = offline::WbsIntervalStrategy::Random,
                            .seed = 0,
                            .stopping = kBic,
                            .cancel_check_every = 1000};
}

offline::WbsIntervalStrategy parse_interval_strategy(nb::handle value) {
  if (!is_str(value))
    raise(PyExc_TypeError, "pipeline.detector.interval_strategy must be a string");
  const std::string text = to_str(value);
  const std::string lowered = ascii_lower(text);
  if (lowered == "random") return offline::WbsIntervalStrategy::Random;
  if (lowered == "deterministic_grid" || lowered == "deterministicgrid") {
    return offline::WbsIntervalStrategy::DeterministicGrid;
  }
  if (lowered == "stratified") return offline::WbsIntervalStrategy::Stratified;
  raise(PyExc_ValueError, cat("unsupported pipeline.detector.interval_strategy '", text,
                              "'; expected one of: 'random', 'deterministic_grid', 'stratified'"));
}

// Walks an option dictionary in its own order over the kind's defaults. No value is range-checked
// here: the configuration's own validation does that when the pipeline runs.
OfflineDetectorConfig parse_options(OfflineDetectorConfig detector, nb::handle options,
                                    const std::string& label) {
  const char* kind = kind_word(detector);
  std::visit(
      [&](auto& config) {
        using T = std::decay_t<decltype(config)>;
        for (const auto& [key_obj, value] : dict_snapshot(options)) {
          if (!is_str(key_obj)) raise(PyExc_TypeError, cat(label, " keys must be strings"));
          const std::string key = to_str(key_obj);
          if (key == "kind") continue;
          if (key == "stopping") {
            config.stopping = parse_pipeline_stopping_compat(value);
            continue;
          }
          if (key == "cancel_check_every") {
            config.cancel_check_every = to_u64(value);
            continue;
          }
          if constexpr (!std::is_same_v<T, offline::DynpConfig>) {
            if (key == "params_per_segment") {
              const std::size_t count = to_u64(value);
              // BinSeg's dictionary writes "not given" as 0.
              const bool not_given = std::is_same_v<T, offline::BinSegConfig> && count == 0;
              config.params_per_segment =
                  not_given ? std::nullopt : std::optional<std::size_t>(count);
              continue;
            }
          }
          if constexpr (std::is_same_v<T, offline::WbsConfig>) {
            if (key == "seed") {
              config.seed = to_u64(value);
              continue;
            }
            if (key == "num_intervals") {
              config.num_intervals =
                  value.is_none() ? std::nullopt : std::optional<std::size_t>(to_u64(value));
              continue;
            }
            if (key == "interval_strategy") {
              config.interval_strategy = parse_interval_strategy(value);
              continue;
            }
          }
          raise(PyExc_ValueError,
                cat("unsupported ", label, " key '", key, "' for detector kind='", kind, "'"));
        }
      },
      detector);
  return detector;
}

OfflineDetectorConfig parse_detector_kind(const std::string& kind, nb::handle options) {
  const std::string lowered = ascii_lower(kind);
  OfflineDetectorConfig detector;
  if (lowered == "pelt") {
    detector = default_pelt();
  } else if (lowered == "binseg") {
    detector = default_binseg();
  } else if (lowered == "fpop") {
    detector = default_fpop();
  } else if (lowered == "wbs") {
    detector = default_wbs();
  } else if (lowered == "segneigh" || lowered == "seg_neigh" || lowered == "dynp") {
    detector = default_segneigh();
  } else {
    raise(PyExc_ValueError, cat("unsupported pipeline.detector.kind '", kind,
                                "'; expected one of: 'pelt', 'binseg', 'fpop', 'segneigh' "
                                "(aliases: 'seg_neigh', 'dynp'), 'wbs'"));
  }
  if (!options.is_valid()) return detector;
  return parse_options(std::move(detector), options, "pipeline.detector");
}

// {'Offline': {'Pelt': {...}}}: tags are matched exactly, case included.
OfflineDetectorConfig parse_detector_serde(nb::handle dict) {
  if (!has_exactly_one_key(dict)) {
    raise(PyExc_ValueError,
          "pipeline.detector serde form must contain exactly one key: 'Offline' or 'Online'");
  }
  const auto [tag, body] = sole_entry(dict);
  if (!(is_str(tag) && to_str(tag) == "Offline")) {
    if (is_str(tag) && to_str(tag) == "Online") {
      raise(PyExc_ValueError, "detect_offline does not accept online pipeline detectors");
    }
    raise(PyExc_ValueError,
          "unsupported pipeline.detector serde form; expected one of: {'Offline': {...}} or "
          "{'Online': {...}}");
  }
  if (!is_dict(body)) raise(PyExc_TypeError, "pipeline.detector['Offline'] must be a dict");
  if (!has_exactly_one_key(body)) {
    raise(PyExc_ValueError,
          "pipeline.detector['Offline'] must contain exactly one key: 'Pelt', 'BinSeg', 'Fpop', "
          "'SegNeigh', or 'Wbs'");
  }
  const auto [variant_obj, options] = sole_entry(body);
  if (!is_str(variant_obj)) {
    raise(PyExc_TypeError, "pipeline.detector['Offline'] keys must be strings");
  }
  const std::string variant = to_str(variant_obj);
  if (!is_dict(options)) {
    raise(PyExc_TypeError, cat("pipeline.detector['Offline']['", variant, "'] must be a dict"));
  }
  const std::string label = cat("pipeline.detector['Offline']['", variant, "']");
  if (variant == "Pelt") return parse_options(default_pelt(), options, label);
  if (variant == "BinSeg") return parse_options(default_binseg(), options, label);
  if (variant == "Fpop") return parse_options(default_fpop(), options, label);
  if (variant == "SegNeigh") return parse_options(default_segneigh(), options, label);
  if (variant == "Wbs") return parse_options(default_wbs(), options, label);
  raise(PyExc_ValueError, cat("unsupported pipeline.detector['Offline'] variant '", variant,
                              "'; expected one of: 'Pelt', 'BinSeg', 'Fpop', 'SegNeigh', 'Wbs'"));
}

OfflineDetectorConfig parse_detector(nb::handle value) {
  if (is_str(value)) return parse_detector_kind(to_str(value), nb::handle());
  if (is_dict(value)) {
    const nb::object kind = dict_get(value, "kind");
    if (!kind.is_valid()) return parse_detector_serde(value);
    if (!is_str(kind)) raise(PyExc_TypeError, "pipeline.detector.kind must be a string");
    return parse_detector_kind(to_str(kind), value);
  }
  raise(PyExc_TypeError, "pipeline.detector must be a string or dict");
}

CostConfig parse_cost(nb::handle value) {
  if (!is_str(value)) raise(PyExc_TypeError, "pipeline.cost must be a string");
  const std::string text = to_str(value);
  const std::string lowered = ascii_lower(text);
  if (lowered == "cosine") return CostConfig::Cosine;
  if (lowered == "l1" || lowered == "l1median" || lowered == "l1_median") {
    return CostConfig::L1Median;
  }
  if (lowered == "l2") return CostConfig::L2;
  if (lowered == "normal") return CostConfig::Normal;
  if (lowered == "normalfullcov" || lowered == "normal_fullcov" || lowered == "normal_full_cov") {
    return CostConfig::NormalFullCov;
  }
  if (lowered == "nig") return CostConfig::Nig;
  if (lowered == "rank") return CostConfig::Rank;
  if (lowered == "none") return CostConfig::None;
  raise(PyExc_ValueError, cat("unsupported pipeline.cost '", text,
                              "'; expected one of: 'cosine', 'l1_median', 'l2', 'normal', "
                              "'normal_full_cov', 'nig', 'rank', 'none'"));
}

bool positive_finite(double v) { return std::isfinite(v) && v > 0.0; }

// The pipeline's stopping rule replaces the detector's own; a seed goes to WBS only.
void apply_pipeline_controls(OfflineDetectorConfig& detector, const Stopping& stopping,
                             std::optional<std::uint64_t> seed) {
  pipeline::detector_stopping(detector) = stopping;
  if (auto* wbs = std::get_if<offline::WbsConfig>(&detector)) {
    if (seed) wbs->seed = *seed;
    return;
  }
  if (seed) raise(PyExc_ValueError, "pipeline.seed is only supported for detector='wbs'");
}

}  // namespace

Penalty parse_pipeline_penalty_compat(nb::handle value) {
  if (is_str(value)) {
    const std::string text = to_str(value);
    const std::string lowered = ascii_lower(text);
    if (lowered == "bic") return Penalty::bic();
    if (lowered == "aic") return Penalty::aic();
    raise(PyExc_ValueError,
          cat("unsupported penalty '", text,
              "'; expected one of: 'bic', 'aic', or {'Manual': <positive-float>}"));
  }
  std::optional<double> number;
  try {
    number = to_f64(value);
  } catch (nb::python_error&) {
    // Not a number: the dict form or nothing.
  }
  if (number) {
    if (!positive_finite(*number)) {
      raise(PyExc_ValueError, cat("manual penalty value must be finite and > 0.0; got ", *number));
    }
    return Penalty::manual(*number);
  }
  if (!is_dict(value)) {
    raise(PyExc_TypeError,
          "penalty must be 'bic', 'aic', a positive float, or {'Manual': <positive-float>}");
  }
  if (!has_exactly_one_key(value)) {
    raise(PyExc_ValueError, "penalty dict form must contain exactly one key: 'Manual'");
  }
  const auto [key_obj, manual] = sole_entry(value);
  if (!is_str(key_obj)) raise(PyExc_TypeError, "penalty dict keys must be strings");
  const std::string key = to_str(key_obj);
  if (key != "Manual") {
    raise(PyExc_ValueError, cat("unsupported penalty dict key '", key, "'; expected 'Manual'"));
  }
  const double v = converted_or(PyExc_TypeError, "penalty['Manual'] must be a positive float",
                                [&] { return to_f64(manual); });
  if (!positive_finite(v)) {
    raise(PyExc_ValueError, cat("penalty['Manual'] must be finite and > 0.0; got ", v));
  }
  return Penalty::manual(v);
}

Stopping parse_pipeline_stopping_compat(nb::handle value) {
  if (!is_dict(value)) raise(PyExc_TypeError, "pipeline.stopping must be a dict");
  for (const char* key : {"n_bkps", "pen", "penalty"}) {
    if (dict_get(value, key).is_valid()) return parse_stopping(value);
  }
  if (!has_exactly_one_key(value)) {
    raise(PyExc_ValueError,
          "pipeline.stopping serde form must have exactly one key: 'KnownK', 'Penalized', or "
          "'PenaltyPath'");
  }
  const auto [key_obj, body] = sole_entry(value);
  if (!is_str(key_obj)) raise(PyExc_TypeError, "pipeline.stopping keys must be strings");
  const std::string key = to_str(key_obj);
  if (key == "KnownK") {
    const std::uint64_t k =
        converted_or(PyExc_TypeError, "pipeline.stopping['KnownK'] must be an integer",
                     [&] { return to_u64(body); });
    if (k == 0) raise(PyExc_ValueError, "pipeline.stopping['KnownK'] must be >= 1");
    return Stopping::known_k(k);
  }
  if (key == "Penalized") return Stopping::penalized(parse_pipeline_penalty_compat(body));
  if (key == "PenaltyPath") {
    if (!PyList_Check(body.ptr())) {
      raise(PyExc_TypeError, "pipeline.stopping['PenaltyPath'] must be a list");
    }
    // A snapshot of strong references: a conversion may run Python code that edits the list.
    nb::object items = nb::steal(PySequence_Tuple(body.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    const Py_ssize_t count = PyTuple_Size(items.ptr());
    if (count == 0) raise(PyExc_ValueError, "pipeline.stopping['PenaltyPath'] must not be empty");
    std::vector<Penalty> penalties;
    for (Py_ssize_t i = 0; i < count; ++i) {
      penalties.push_back(
          parse_pipeline_penalty_compat(nb::handle(PyTuple_GetItem(items.ptr(), i))));
    }
    return Stopping::penalty_path(std::move(penalties));
  }
  raise(PyExc_ValueError, cat("unsupported pipeline.stopping serde key '", key,
                              "'; expected one of: 'KnownK', 'Penalized', 'PenaltyPath'"));
}

pipeline::PipelineSpec parse_pipeline_spec(nb::handle dict) {
  if (!is_dict(dict)) raise(PyExc_TypeError, "pipeline must be a dict");
  reject_unknown_keys(dict, "pipeline",
                      {"detector", "cost", "constraints", "stopping", "preprocess", "seed"});
  OfflineDetectorConfig detector = parse_detector(required_dict_key(dict, "detector", "pipeline"));

  CostConfig cost = CostConfig::L2;
  if (const nb::object value = dict_get(dict, "cost"); !absent_or_none(value)) {
    cost = parse_cost(value);
    if (cost == CostConfig::None) {
      raise(PyExc_ValueError,
            "detect_offline requires pipeline.cost to be one of: 'cosine', 'l1_median', 'l2', "
            "'normal', 'normal_full_cov', 'nig', 'rank'");
    }
  }
  if (std::holds_alternative<offline::FpopConfig>(detector) && cost != CostConfig::L2) {
    raise(PyExc_ValueError, "pipeline.detector='fpop' requires pipeline.cost='l2'");
  }

  core::Constraints constraints = parse_constraints(dict_get(dict, "constraints"));

  const nb::object stopping_obj = dict_get(dict, "stopping");
  const Stopping stopping = absent_or_none(stopping_obj)
                                ? pipeline::detector_stopping(detector)
                                : parse_pipeline_stopping_compat(stopping_obj);

  std::optional<std::uint64_t> seed;
  if (const nb::object value = dict_get(dict, "seed"); !absent_or_none(value)) {
    seed = converted_or(PyExc_TypeError, "pipeline.seed must be an integer when provided",
                        [&] { return to_u64(value); });
  }
  apply_pipeline_controls(detector, stopping, seed);

  std::optional<preprocess::PreprocessConfig> preprocess_config;
  if (auto chain = parse_preprocess(dict_get(dict, "preprocess"))) {
    preprocess_config = chain->config();
  }

  pipeline::PipelineSpec spec;
  if (const auto* wbs = std::get_if<offline::WbsConfig>(&detector)) spec.seed = wbs->seed;
  spec.detector = std::move(detector);
  spec.cost = cost;
  spec.constraints = std::move(constraints);
  spec.stopping = stopping;
  spec.preprocess = std::move(preprocess_config);
  return spec;
}

core::Result<core::OfflineChangePointResult> run_pipeline_spec(const OwnedSeries& series,
                                                               const pipeline::PipelineSpec& spec,
                                                               core::ReproMode repro_mode,
                                                               core::InterruptPoll* interrupt) {
  OVREL_TRY_ASSIGN(const core::TimeSeriesView view, series.view());
  return pipeline::execute_pipeline_with_repro_mode(view, spec, repro_mode, interrupt);
}

}  // namespace ovrel::python
