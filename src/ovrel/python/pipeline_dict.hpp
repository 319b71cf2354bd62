#pragma once

// The `pipeline` dictionary of `detect_offline`: parsed into a pipeline specification (the only
// producer of one), then run with the interpreter lock released. Type problems raise TypeError,
// wrong values and rule violations ValueError, each naming the offending key path.

#include <nanobind/nanobind.h>

#include "ovrel/core/repro.hpp"
#include "ovrel/core/results.hpp"
#include "ovrel/core/stopping.hpp"
#include "ovrel/pipeline/spec.hpp"
#include "ovrel/python/numpy_interop.hpp"

namespace ovrel::python {

namespace nb = nanobind;

// The whole dictionary; the first offending entry decides. The pipeline specification always
// carries the pipeline's stopping rule inside the detector configuration as well.
pipeline::PipelineSpec parse_pipeline_spec(nb::handle pipeline);

// A stopping rule in the explicit form ({'pen': ...}, {'n_bkps': ...}, {'penalty': ...}) or the
// tagged one ({'KnownK': 3}, {'Penalized': 'bic'}, {'PenaltyPath': [...]}).
core::Stopping parse_pipeline_stopping_compat(nb::handle value);
// 'bic', 'aic', a positive number or {'Manual': positive number}.
core::Penalty parse_pipeline_penalty_compat(nb::handle value);

// Builds a view over the owned series and executes the pipeline specification with the given
// interrupt poll (may be null). Touches no Python object, so the caller runs it without the
// interpreter lock.
core::Result<core::OfflineChangePointResult> run_pipeline_spec(const OwnedSeries& series,
                                                               const pipeline::PipelineSpec& spec,
                                                               core::ReproMode repro_mode,
                                                               core::InterruptPoll* interrupt);

}  // namespace ovrel::python
