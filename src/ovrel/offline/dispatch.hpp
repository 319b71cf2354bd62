#pragma once

// The one run-time choice of a detector and cost-model pair. The detectors are compiled for every
// pair of offline/instantiations.cmake; this table picks one from a detector configuration and a
// cost kind, builds the cost model with the settings fixed here (the normal-inverse-gamma prior,
// the autoregressive order) and the run's repro mode, validates the configuration and runs the
// detector. Both the pipeline and the explicit Python arguments come through here; each keeps its
// own parser, accepted names and messages, and checks pair_exists itself before calling.
//
// Adding a cost model: its line in CostKind and in the two switches of dispatch.cpp, and its pairs
// in offline/instantiations.cmake.

#include <cstdint>
#include <string_view>
#include <variant>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/interrupt.hpp"
#include "ovrel/core/repro.hpp"
#include "ovrel/core/results.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/offline/binseg.hpp"
#include "ovrel/offline/dynp.hpp"
#include "ovrel/offline/fpop.hpp"
#include "ovrel/offline/pelt.hpp"
#include "ovrel/offline/wbs.hpp"

namespace ovrel::offline {

// One alternative per offline detector; DynpConfig is the segment-neighbourhood programme.
using OfflineDetectorConfig =
    std::variant<PeltConfig, BinSegConfig, FpopConfig, WbsConfig, DynpConfig>;

// Every segment cost model an offline detector runs over.
enum class CostKind : std::uint8_t {
  Ar,
  Cosine,
  L1Median,
  L2,
  Normal,
  NormalFullCov,
  Nig,
  Rank,
};

// Whether the detector exists over the cost: FPOP only over L2, every other detector over all.
bool pair_exists(const OfflineDetectorConfig& detector, CostKind cost) noexcept;

// The model's name() of the cost kind ("l2_mean", "normal_mean_var", ...).
std::string_view cost_model_name(CostKind cost) noexcept;

// Validates the configuration (FPOP: Fpop::create), builds the detector over the cost model made
// with ctx.repro_mode and runs it; the detector's result or error, unchanged. A pair for which
// pair_exists is false is a caller's bug: throws InternalError.
Result<core::OfflineChangePointResult> detect_pair(OfflineDetectorConfig detector, CostKind cost,
                                                   const core::TimeSeriesView& x,
                                                   const core::ExecutionContext& ctx);

// The run both roads make: the constraints with min_segment_len raised to what the cost model
// needs (raise_min_segment_len_for_model), an execution context over them (HardFail, no sinks, no
// cancellation, `interrupt` installed, and also polled inside long evaluations), detect_pair, and
// the raise's note appended to a successful result or added to the error's notes (any error but
// Cancelled).
Result<core::OfflineChangePointResult> run_pair(OfflineDetectorConfig detector, CostKind cost,
                                                const core::TimeSeriesView& x,
                                                const core::Constraints& constraints,
                                                core::ReproMode repro_mode,
                                                core::InterruptPoll* interrupt);

}  // namespace ovrel::offline
