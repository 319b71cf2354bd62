#pragma once

// Parsers of the online constructors' configuration values: the BOCPD hazard, the alert policy
// and the late-data policy. They check Python types and keys; ranges belong to the engine's own
// validation, whose errors come back through the one error mapping.

#include <nanobind/nanobind.h>

#include <string>

#include "ovrel/online/alert_policy.hpp"
#include "ovrel/online/bocpd_model.hpp"
#include "ovrel/online/event_time.hpp"

namespace ovrel::python {

namespace nb = nanobind;

// An empty handle stands for an absent argument (None or omitted).
online::AlertPolicy parse_alert_policy(nb::handle value, const online::AlertPolicy& defaults);
online::LateDataPolicy parse_late_data_policy(nb::handle value);
online::OverflowPolicy parse_overflow_policy(const std::string& text);
online::HazardSpec parse_bocpd_hazard(nb::handle value);

}  // namespace ovrel::python
