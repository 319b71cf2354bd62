#pragma once

// Runs an offline pipeline specification on a series: validation, optional preprocessing, the
// constraints against the series length, then the detector and cost-model pair through the offline
// dispatch table (offline/dispatch.hpp; FPOP only with L2). Every cost evaluation inside the
// detection is a statically bound call on the concrete model. The result is the detector's own
// with, when the cost model needed longer segments, the note of offline::run_pair; this layer adds
// nothing else.

#include "ovrel/core/error.hpp"
#include "ovrel/core/interrupt.hpp"
#include "ovrel/core/repro.hpp"
#include "ovrel/core/results.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/pipeline/spec.hpp"

namespace ovrel::pipeline {

// Refuses an online specification before looking at anything else of it, then runs
// run_offline_pipeline. `interrupt`, when given, is the detection's interrupt poll.
Result<core::OfflineChangePointResult> execute_pipeline_with_repro_mode(
    const core::TimeSeriesView& x, const PipelineSpec& spec, core::ReproMode repro_mode,
    core::InterruptPoll* interrupt = nullptr);

// to_pipeline_config, then the preprocessing chain when the pipeline specification has one (the
// detector reads the preprocessed series; the step reports are dropped), then
// run_offline_pipeline_with_config.
Result<core::OfflineChangePointResult> run_offline_pipeline(
    const core::TimeSeriesView& x, const PipelineSpec& spec, core::ReproMode repro_mode,
    core::InterruptPoll* interrupt = nullptr);

// The constraints (alone, then against n), the view normalisation, then offline::run_pair (the
// minimum segment length the cost model needs; an execution context with no sinks, no
// cancellation, HardFail and the given interrupt poll; the detector-by-cost dispatch). The
// detector validates its configuration before it runs.
Result<core::OfflineChangePointResult> run_offline_pipeline_with_config(
    const core::TimeSeriesView& x, const PipelineConfig& config, core::ReproMode repro_mode,
    core::InterruptPoll* interrupt = nullptr);

}  // namespace ovrel::pipeline
