#include "ovrel/python/config_dicts.hpp"

#include <cmath>
#include <string>

#include "ovrel/core/text.hpp"
#include "ovrel/python/convert.hpp"
#include "ovrel/python/runtime.hpp"

namespace ovrel::python {

using core::cat;

namespace {

bool absent(nb::handle value) { return !value.is_valid() || value.is_none(); }

std::uint64_t cache_max_bytes(nb::handle dict) {
  nb::object raw = required_dict_key(dict, "max_bytes", "constraints.cache_policy");
  return converted_or(PyExc_TypeError, "constraints.cache_policy.max_bytes must be an integer",
                      [&] { return to_u64(raw); });
}

core::DegradationStep parse_degradation_step(nb::handle item) {
  if (is_str(item)) {
    const std::string text = to_str(item);
    if (ascii_lower(text) == "disable_uncertainty_bands")
      return core::DegradationStep::disable_uncertainty_bands();
    raise(PyExc_ValueError, cat("unsupported constraints.degradation_plan step '", text, "'"));
  }
  if (!is_dict(item)) {
    raise(PyExc_TypeError,
          "constraints.degradation_plan entries must be strings or dicts with 'kind'");
  }
  const std::string label = "constraints.degradation_plan step";
  nb::object kind_obj = required_dict_key(item, "kind", label);
  if (!is_str(kind_obj))
    raise(PyExc_TypeError, "constraints.degradation_plan step kind must be a string");
  const std::string kind = to_str(kind_obj);
  const std::string lowered = ascii_lower(kind);
  if (lowered == "disable_uncertainty_bands")
    return core::DegradationStep::disable_uncertainty_bands();
  if (lowered == "increase_jump") {
    nb::object factor_obj = required_dict_key(item, "factor", label);
    const std::uint64_t factor = converted_or(
        PyExc_TypeError, "constraints.degradation_plan increase_jump.factor must be an integer",
        [&] { return to_u64(factor_obj); });
    nb::object max_jump_obj = required_dict_key(item, "max_jump", label);
    const std::uint64_t max_jump = converted_or(
        PyExc_TypeError, "constraints.degradation_plan increase_jump.max_jump must be an integer",
        [&] { return to_u64(max_jump_obj); });
    return core::DegradationStep::increase_jump(factor, max_jump);
  }
  if (lowered == "switch_cache_policy") {
    nb::object policy = required_dict_key(item, "cache_policy", label);
    return core::DegradationStep::switch_cache_policy(parse_cache_policy(policy));
  }
  raise(PyExc_ValueError, cat("unsupported constraints.degradation_plan step kind '", kind, "'"));
}

std::vector<core::DegradationStep> parse_degradation_plan(nb::handle value) {
  std::vector<core::DegradationStep> plan;
  if (value.is_none()) return plan;
  if (!PyList_Check(value.ptr()))
    raise(PyExc_TypeError, "constraints.degradation_plan must be a list");
  // A snapshot of strong references: parsing an item may run Python code that edits the list.
  nb::object items = nb::steal(PySequence_Tuple(value.ptr()));
  if (!items.is_valid()) throw nb::python_error();
  const Py_ssize_t count = PyTuple_Size(items.ptr());
  for (Py_ssize_t i = 0; i < count; ++i)
    plan.push_back(parse_degradation_step(nb::handle(PyTuple_GetItem(items.ptr(), i))));
  return plan;
}

std::optional<std::uint64_t> optional_u64(nb::handle value) {
  if (value.is_none()) return std::nullopt;
  return to_u64(value);
}

}  // namespace

core::CachePolicy parse_cache_policy(nb::handle value) {
  if (is_str(value)) {
    const std::string text = to_str(value);
    const std::string lowered = ascii_lower(text);
    if (lowered == "full") return core::CachePolicy::full();
    if (lowered == "budgeted" || lowered == "approximate") {
      raise(PyExc_ValueError,
            "constraints.cache_policy as string only supports 'full'; use dict form for other "
            "policies");
    }
    raise(PyExc_ValueError, cat("unsupported constraints.cache_policy '", text,
                                "'; expected 'full' or dict with kind"));
  }
  if (!is_dict(value)) raise(PyExc_TypeError, "constraints.cache_policy must be a string or dict");
  nb::object kind_obj = required_dict_key(value, "kind", "constraints.cache_policy");
  if (!is_str(kind_obj)) raise(PyExc_TypeError, "constraints.cache_policy.kind must be a string");
  const std::string kind = to_str(kind_obj);
  const std::string lowered = ascii_lower(kind);
  if (lowered == "full") return core::CachePolicy::full();
  if (lowered == "budgeted") return core::CachePolicy::budgeted(cache_max_bytes(value));
  if (lowered == "approximate") {
    const std::uint64_t max_bytes = cache_max_bytes(value);
    nb::object tol_obj = required_dict_key(value, "error_tolerance", "constraints.cache_policy");
    const double tolerance =
        converted_or(PyExc_TypeError, "constraints.cache_policy.error_tolerance must be a float",
                     [&] { return to_f64(tol_obj); });
    return core::CachePolicy::approximate(max_bytes, tolerance);
  }
  raise(PyExc_ValueError, cat("unsupported constraints.cache_policy.kind '", kind,
                              "'; expected one of: 'full', 'budgeted', 'approximate'"));
}

core::Constraints parse_constraints(nb::handle value) {
  core::Constraints c;
  if (absent(value)) return c;
  if (!is_dict(value)) raise(PyExc_TypeError, "constraints must be a dict");
  for (const auto& [key_obj, v] : dict_snapshot(value)) {
    if (!is_str(key_obj)) raise(PyExc_TypeError, "constraints keys must be strings");
    const std::string key = to_str(key_obj);
    if (key == "min_segment_len") {
      c.min_segment_len = to_u64(v);
    } else if (key == "jump") {
      c.jump = to_u64(v);
    } else if (key == "max_change_points") {
      c.max_change_points = optional_u64(v);
    } else if (key == "max_depth") {
      c.max_depth = optional_u64(v);
    } else if (key == "time_budget_ms") {
      c.time_budget_ms = optional_u64(v);
    } else if (key == "max_cost_evals") {
      c.max_cost_evals = optional_u64(v);
    } else if (key == "memory_budget_bytes") {
      c.memory_budget_bytes = optional_u64(v);
    } else if (key == "max_cache_bytes") {
      c.max_cache_bytes = optional_u64(v);
    } else if (key == "candidate_splits") {
      if (v.is_none()) {
        c.candidate_splits.reset();
      } else {
        std::vector<std::uint64_t> raw = to_u64_list(v);
        c.candidate_splits = std::vector<std::size_t>(raw.begin(), raw.end());
      }
    } else if (key == "cache_policy") {
      c.cache_policy = parse_cache_policy(v);
    } else if (key == "degradation_plan") {
      c.degradation_plan = parse_degradation_plan(v);
    } else if (key == "allow_algorithm_fallback") {
      c.allow_algorithm_fallback = to_bool(v);
    } else {
      raise(PyExc_ValueError, cat("unsupported constraints key '", key, "'"));
    }
  }
  return c;
}

core::Stopping parse_stopping(nb::handle value) {
  if (absent(value)) return core::Stopping::penalized(core::Penalty::bic());
  if (!is_dict(value)) raise(PyExc_TypeError, "stopping must be a dict");
  std::optional<std::uint64_t> n_bkps;
  std::optional<double> pen;
  std::optional<core::Penalty> penalty;
  for (const auto& [key_obj, v] : dict_snapshot(value)) {
    if (!is_str(key_obj)) raise(PyExc_TypeError, "stopping keys must be strings");
    const std::string key = to_str(key_obj);
    if (key == "n_bkps") {
      if (!v.is_none()) n_bkps = to_u64(v);
    } else if (key == "pen") {
      if (!v.is_none()) pen = to_f64(v);
    } else if (key == "penalty") {
      if (is_str(v)) {
        const std::string text = to_str(v);
        const std::string lowered = ascii_lower(text);
        if (lowered == "bic") {
          penalty = core::Penalty::bic();
        } else if (lowered == "aic") {
          penalty = core::Penalty::aic();
        } else {
          raise(PyExc_ValueError, cat("unsupported stopping.penalty '", text,
                                      "'; expected 'bic', 'aic', or a positive float"));
        }
      } else {
        const double number = converted_or(
            PyExc_TypeError, "stopping.penalty must be 'bic', 'aic', or a positive float",
            [&] { return to_f64(v); });
        if (!std::isfinite(number) || !(number > 0.0)) {
          raise(PyExc_ValueError,
                cat("stopping.penalty numeric value must be finite and > 0.0; got ", number));
        }
        penalty = core::Penalty::manual(number);
      }
    } else {
      raise(PyExc_ValueError, cat("unsupported stopping key '", key, "'"));
    }
  }
  if (pen && penalty) raise(PyExc_ValueError, "stopping accepts at most one of 'pen' or 'penalty'");
  if (!pen && !n_bkps) {
    if (penalty) return core::Stopping::penalized(*penalty);
    raise(PyExc_ValueError, "stopping requires one of n_bkps, pen, or penalty");
  }
  if (n_bkps && !pen) {
    if (penalty)
      raise(PyExc_ValueError, "stopping requires exactly one of n_bkps or (pen/penalty); got both");
    if (*n_bkps == 0) raise(PyExc_ValueError, "stopping.n_bkps must be >= 1 when provided");
    return core::Stopping::known_k(*n_bkps);
  }
  if (!std::isfinite(*pen) || !(*pen > 0.0)) {
    raise(PyExc_ValueError, cat("stopping.pen must be finite and > 0.0; got ", *pen));
  }
  if (n_bkps)
    raise(PyExc_ValueError, "stopping requires exactly one of n_bkps or (pen/penalty); got both");
  return core::Stopping::penalized(core::Penalty::manual(*pen));
}

namespace {

// Walks one step dictionary: keys must be strings and allowed; each allowed value is converted as
// it is reached, a failure replaced by that key's TypeError.
struct StepWalk {
  const char* step;  // "detrend", ...

  std::string label() const { return cat("preprocess.", step); }

  template <class OnKey>
  void walk(nb::handle dict, OnKey&& on_key) const {
    if (!is_dict(dict)) raise(PyExc_TypeError, cat(label(), " must be a dict or None"));
    for (const auto& [key_obj, v] : dict_snapshot(dict)) {
      if (!is_str(key_obj)) raise(PyExc_TypeError, cat(label(), " keys must be strings"));
      const std::string key = to_str(key_obj);
      if (!on_key(key, v))
        raise(PyExc_ValueError, cat("unsupported ", label(), " key '", key, "'"));
    }
  }

  template <class F>
  auto convert(const char* key, const char* what, F&& f) const {
    const std::string message = cat(label(), ".", key, " must be ", what);
    return converted_or(PyExc_TypeError, message.c_str(), std::forward<F>(f));
  }
};

std::optional<preprocess::DetrendMethod> parse_detrend(nb::handle v) {
  if (v.is_none()) return std::nullopt;
  const StepWalk w{"detrend"};
  std::optional<std::string> method;
  std::optional<std::uint64_t> degree;
  w.walk(v, [&](const std::string& key, nb::handle value) {
    if (key == "method") {
      method = w.convert("method", "a string", [&] { return to_str(value); });
    } else if (key == "degree") {
      degree = w.convert("degree", "an integer", [&] { return to_u64(value); });
    } else {
      return false;
    }
    return true;
  });
  if (!method)
    raise(PyExc_ValueError, "preprocess.detrend requires key 'method' with a valid value");
  const std::string lowered = ascii_lower(*method);
  if (lowered == "polynomial") {
    if (!degree)
      raise(PyExc_ValueError, "preprocess.detrend.method='polynomial' requires key 'degree'");
    return preprocess::DetrendMethod::polynomial(*degree);
  }
  if (lowered == "linear") {
    if (degree)
      raise(PyExc_ValueError, "preprocess.detrend.method='linear' does not accept key 'degree'");
    return preprocess::DetrendMethod::linear();
  }
  raise(PyExc_ValueError, cat("unsupported preprocess.detrend.method '", *method,
                              "'; expected one of: 'linear', 'polynomial'"));
}

std::optional<preprocess::DeseasonalizeMethod> parse_deseasonalize(nb::handle v) {
  if (v.is_none()) return std::nullopt;
  const StepWalk w{"deseasonalize"};
  std::optional<std::string> method;
  std::optional<std::uint64_t> period;
  w.walk(v, [&](const std::string& key, nb::handle value) {
    if (key == "method") {
      method = w.convert("method", "a string", [&] { return to_str(value); });
    } else if (key == "period") {
      period = w.convert("period", "an integer", [&] { return to_u64(value); });
    } else {
      return false;
    }
    return true;
  });
  if (!method)
    raise(PyExc_ValueError, "preprocess.deseasonalize requires key 'method' with a valid value");
  if (!period)
    raise(PyExc_ValueError, "preprocess.deseasonalize requires key 'period' with a valid value");
  const std::string lowered = ascii_lower(*method);
  if (lowered == "differencing") return preprocess::DeseasonalizeMethod::differencing(*period);
  if (lowered == "stl_like") return preprocess::DeseasonalizeMethod::stl_like(*period);
  raise(PyExc_ValueError, cat("unsupported preprocess.deseasonalize.method '", *method,
                              "'; expected one of: 'differencing', 'stl_like'"));
}

std::optional<preprocess::WinsorizeConfig> parse_winsorize(nb::handle v) {
  if (v.is_none()) return std::nullopt;
  const StepWalk w{"winsorize"};
  preprocess::WinsorizeConfig config{.lower_quantile = 0.01, .upper_quantile = 0.99};
  w.walk(v, [&](const std::string& key, nb::handle value) {
    if (key == "lower_quantile") {
      config.lower_quantile = w.convert("lower_quantile", "a float", [&] { return to_f64(value); });
    } else if (key == "upper_quantile") {
      config.upper_quantile = w.convert("upper_quantile", "a float", [&] { return to_f64(value); });
    } else {
      return false;
    }
    return true;
  });
  return config;
}

std::optional<preprocess::RobustScaleConfig> parse_robust_scale(nb::handle v) {
  if (v.is_none()) return std::nullopt;
  const StepWalk w{"robust_scale"};
  preprocess::RobustScaleConfig config{.mad_epsilon = 1e-9, .normal_consistency = 1.4826};
  w.walk(v, [&](const std::string& key, nb::handle value) {
    if (key == "normal_consistency") {
      config.normal_consistency =
          w.convert("normal_consistency", "a float", [&] { return to_f64(value); });
    } else if (key == "mad_epsilon") {
      config.mad_epsilon = w.convert("mad_epsilon", "a float", [&] { return to_f64(value); });
    } else {
      return false;
    }
    return true;
  });
  return config;
}

}  // namespace

std::optional<preprocess::PreprocessPipeline> parse_preprocess(nb::handle value) {
  if (absent(value)) return std::nullopt;
  if (!is_dict(value)) raise(PyExc_TypeError, "preprocess must be a dict");
  preprocess::PreprocessConfig config;
  for (const auto& [key_obj, v] : dict_snapshot(value)) {
    if (!is_str(key_obj)) raise(PyExc_TypeError, "preprocess keys must be strings");
    const std::string key = to_str(key_obj);
    if (key == "detrend") {
      config.detrend = parse_detrend(v);
    } else if (key == "deseasonalize") {
      config.deseasonalize = parse_deseasonalize(v);
    } else if (key == "winsorize") {
      config.winsorize = parse_winsorize(v);
    } else if (key == "robust_scale") {
      config.robust_scale = parse_robust_scale(v);
    } else {
      raise(PyExc_ValueError, cat("unsupported preprocess key '", key, "'"));
    }
  }
  if (!config.detrend && !config.deseasonalize && !config.winsorize && !config.robust_scale)
    return std::nullopt;
  return unwrap(preprocess::PreprocessPipeline::create(std::move(config)));
}

}  // namespace ovrel::python
