#pragma once

// Parsers of the configuration dictionaries of `detect_offline`: constraints, stopping and
// preprocess. They convert and shape values; range checks belong to the engine's validators.

#include <nanobind/nanobind.h>

#include <optional>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/stopping.hpp"
#include "ovrel/preprocess/pipeline.hpp"

namespace ovrel::python {

namespace nb = nanobind;

// An empty handle stands for an absent argument (None or omitted).
core::Constraints parse_constraints(nb::handle value);
core::CachePolicy parse_cache_policy(nb::handle value);
core::Stopping parse_stopping(nb::handle value);
std::optional<preprocess::PreprocessPipeline> parse_preprocess(nb::handle value);

}  // namespace ovrel::python
