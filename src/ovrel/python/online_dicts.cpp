#include "ovrel/python/online_dicts.hpp"

#include <cstdint>
#include <optional>
#include <string>

#include "ovrel/core/text.hpp"
#include "ovrel/python/convert.hpp"
#include "ovrel/python/runtime.hpp"

namespace ovrel::python {

using core::cat;

namespace {

bool absent(nb::handle value) { return !value.is_valid() || value.is_none(); }

double float_field(nb::handle value, const char* message) {
  return converted_or(PyExc_TypeError, message, [&] { return to_f64(value); });
}

std::uint64_t count_field(nb::handle value, const char* message) {
  return converted_or(PyExc_TypeError, message, [&] { return to_u64(value); });
}

}  // namespace

online::AlertPolicy parse_alert_policy(nb::handle value, const online::AlertPolicy& defaults) {
  if (absent(value)) return defaults;
  if (!is_dict(value)) raise(PyExc_TypeError, "alert_policy must be a dict");
  online::AlertPolicy policy = defaults;
  bool seen_cooldown = false;
  bool seen_cooldown_steps = false;
  for (const auto& [key, item] : dict_snapshot(value)) {
    if (!is_str(key)) raise(PyExc_TypeError, "alert_policy keys must be strings");
    const std::string k = to_str(key);
    if (k == "threshold") {
      policy.threshold = float_field(item, "alert_policy.threshold must be a float");
    } else if (k == "hysteresis") {
      policy.hysteresis = float_field(item, "alert_policy.hysteresis must be a float");
    } else if (k == "cooldown_steps" || k == "cooldown") {
      // The conflict is reported when the second spelling is reached, before its value is read.
      if (k == "cooldown_steps" ? seen_cooldown : seen_cooldown_steps)
        raise(PyExc_ValueError, "alert_policy accepts only one of cooldown or cooldown_steps");
      (k == "cooldown" ? seen_cooldown : seen_cooldown_steps) = true;
      policy.cooldown_steps =
          count_field(item, k == "cooldown" ? "alert_policy.cooldown must be an integer"
                                            : "alert_policy.cooldown_steps must be an integer");
    } else if (k == "min_run_length") {
      policy.min_run_length = count_field(item, "alert_policy.min_run_length must be an integer");
    } else {
      raise(PyExc_ValueError, cat("unsupported alert_policy key '", k, "'"));
    }
  }
  unwrap(policy.validate());
  return policy;
}

online::OverflowPolicy parse_overflow_policy(const std::string& text) {
  const std::string lowered = ascii_lower(text);
  if (lowered == "drop_oldest" || lowered == "dropoldest")
    return online::OverflowPolicy::DropOldest;
  if (lowered == "drop_newest" || lowered == "dropnewest")
    return online::OverflowPolicy::DropNewest;
  if (lowered == "error") return online::OverflowPolicy::Error;
  raise(PyExc_ValueError, cat("unsupported late_data_policy.on_overflow '", text,
                              "'; expected one of: 'drop_oldest', 'drop_newest', 'error'"));
}

online::LateDataPolicy parse_late_data_policy(nb::handle value) {
  if (absent(value)) return online::LateDataPolicy::reject();
  if (is_str(value)) {
    if (ascii_lower(to_str(value)) == "reject") return online::LateDataPolicy::reject();
    raise(PyExc_ValueError,
          "late_data_policy as string supports only 'reject'; use dict form for buffered "
          "policies");
  }
  if (!is_dict(value)) raise(PyExc_TypeError, "late_data_policy must be a string or dict");
  const std::string label = "late_data_policy";
  nb::object kind_obj = required_dict_key(value, "kind", label);
  if (!is_str(kind_obj)) raise(PyExc_TypeError, "late_data_policy.kind must be a string");
  const std::string kind = to_str(kind_obj);
  const std::string lowered = ascii_lower(kind);
  if (lowered == "reject") {
    reject_unknown_keys(value, label, {"kind"});
    return online::LateDataPolicy::reject();
  }
  const bool buffer = lowered == "buffer_within_window";
  if (!buffer && lowered != "reorder_by_timestamp") {
    raise(PyExc_ValueError,
          cat("unsupported late_data_policy.kind '", kind,
              "'; expected one of: 'reject', 'buffer_within_window', 'reorder_by_timestamp'"));
  }
  reject_unknown_keys(value, label, {"kind", "max_delay_ns", "max_buffer_items", "on_overflow"});
  nb::object delay_obj = required_dict_key(value, "max_delay_ns", label);
  const std::int64_t max_delay_ns =
      converted_or(PyExc_TypeError, "late_data_policy.max_delay_ns must be an integer",
                   [&] { return to_i64(delay_obj); });
  nb::object items_obj = required_dict_key(value, "max_buffer_items", label);
  const std::uint64_t max_items =
      count_field(items_obj, "late_data_policy.max_buffer_items must be an integer");
  nb::object overflow_obj = required_dict_key(value, "on_overflow", label);
  const std::string overflow =
      converted_or(PyExc_TypeError, "late_data_policy.on_overflow must be a string",
                   [&] { return to_str(overflow_obj); });
  const online::OverflowPolicy on_overflow = parse_overflow_policy(overflow);
  const online::LateDataPolicy policy =
      buffer ? online::LateDataPolicy::buffer_within_window(max_delay_ns, max_items, on_overflow)
             : online::LateDataPolicy::reorder_by_timestamp(max_delay_ns, max_items, on_overflow);
  unwrap(policy.validate());
  return policy;
}

online::HazardSpec parse_bocpd_hazard(nb::handle value) {
  if (absent(value)) return online::HazardSpec{};
  // The float conversion comes first, so a number is never read as a dictionary.
  std::optional<double> number;
  try {
    number = to_f64(value);
  } catch (nb::python_error&) {
  }
  if (number) return unwrap(online::ConstantHazard::create(*number));
  if (!is_dict(value)) raise(PyExc_TypeError, "hazard must be a float or dict");
  const std::string label = "hazard";
  nb::object kind_obj = required_dict_key(value, "kind", label);
  if (!is_str(kind_obj)) raise(PyExc_TypeError, "hazard.kind must be a string");
  const std::string kind = to_str(kind_obj);
  const std::string lowered = ascii_lower(kind);
  if (lowered == "geometric") {
    reject_unknown_keys(value, label, {"kind", "mean_run_length"});
    nb::object mean = required_dict_key(value, "mean_run_length", label);
    return unwrap(online::GeometricHazard::create(
        float_field(mean, "hazard.mean_run_length must be a float")));
  }
  if (lowered == "constant") {
    reject_unknown_keys(value, label, {"kind", "p_change"});
    nb::object p = required_dict_key(value, "p_change", label);
    return unwrap(
        online::ConstantHazard::create(float_field(p, "hazard.p_change must be a float")));
  }
  raise(PyExc_ValueError,
        cat("unsupported hazard.kind '", kind, "'; expected one of: 'constant', 'geometric'"));
}

}  // namespace ovrel::python
