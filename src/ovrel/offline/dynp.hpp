#pragma once

// The segment-neighbourhood dynamic programme ("dynp", also "segneigh"): for every number of
// segments up to a bound, the exact least-cost segmentation whose boundaries are admissible
// endpoints (0, the effective candidate splits, n). One sweep answers a known number of changes,
// one penalty, or a whole path of penalties.
//
// The sweep's tables grow as (max_k + 2) times the number of endpoints, so their size is
// estimated in checked arithmetic and held against constraints.memory_budget_bytes before
// anything is allocated, and an allocation the system refuses is reported as a resource limit.
//
// The detector and its runs are templates over the cost model; their definitions live in
// dynp_impl.hpp and are instantiated for the pairs listed in offline/instantiations.cmake.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/detectors.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/results.hpp"
#include "ovrel/core/stopping.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/costs/model.hpp"
#include "ovrel/offline/common.hpp"

namespace ovrel::offline {

struct DynpConfig {
  // KnownK(k), Penalized(penalty) or PenaltyPath(penalties). BIC and AIC always use the cost
  // model's own parameter count: there is no per-segment override.
  core::Stopping stopping = core::Stopping::known_k(1);
  // Period of the cancellation and time-budget checks, in loop iterations; 0 is read as 1.
  std::size_t cancel_check_every = 1000;

  // Only the stopping rule is checked; any cancel_check_every is accepted.
  Status validate() const;
  std::size_t normalized_cancel_check_every() const noexcept {
    return cancel_check_every == 0 ? 1 : cancel_check_every;
  }

  friend bool operator==(const DynpConfig&, const DynpConfig&) = default;
};

// The segment-neighbourhood detector: a configuration and a cost model, read-only during detect,
// so one value serves any number of calls.
template <costs::CostModel C>
struct Dynp {
  DynpConfig config;
  C cost_model;

  Result<core::OfflineChangePointResult> detect(const core::TimeSeriesView& x,
                                                const core::ExecutionContext& ctx) const;
};

namespace dynp {

// The shared record; Dynp's source is always kSourceModelDefault.
using offline::checked_counter_increment;
using offline::ResolvedPenalty;

// What one sweep leaves for the selections. Endpoint j is endpoints[j]; the backpointer table is
// row-major, row s (the number of segments, 0 ..= max_k + 1) holding one entry per endpoint.
struct DynpSweepResult {
  std::vector<std::size_t> endpoints;
  // backpointers[s * endpoints.size() + j]: the endpoint index where the last of s segments
  // ending at endpoint j starts in the best such segmentation; kNone where there is none.
  std::vector<std::size_t> backpointers;
  std::size_t row_count = 0;
  // objective[s]: least total cost of exactly s segments covering [0, n); +inf when there is no
  // such segmentation. objective[0] is always +inf.
  std::vector<double> objective;

  std::size_t backpointer(std::size_t s, std::size_t j) const {
    return backpointers[s * endpoints.size() + j];
  }
};

struct KnownKSelection {
  std::vector<std::size_t> breakpoints;
  double objective = 0.0;  // total segment cost, without penalty
  std::size_t change_count = 0;
};

struct PenalizedSelection {
  std::vector<std::size_t> breakpoints;
  double objective = 0.0;  // total segment cost, without penalty
  std::size_t change_count = 0;
  double penalized_objective = 0.0;  // objective + beta * change_count

  friend bool operator==(const PenalizedSelection&, const PenalizedSelection&) = default;
};

// 0, the effective candidates in order, then n unless already last.
std::vector<std::size_t> build_endpoints(const core::ValidatedConstraints& validated,
                                         std::size_t n);

// The effective candidate count, lowered to max_change_points when that is set and smaller.
std::size_t max_change_points_to_search(const core::ValidatedConstraints& validated);

// Bytes one sweep holds at its largest over m endpoints and max_segments = max_k + 1: the
// endpoint list, the backpointer table of max_k + 2 rows, the objective list and two DP rows.
// Every step is checked; the first overflow is ResourceLimit "{label} overflow".
Result<std::uint64_t> estimate_dynp_sweep_state_bytes(std::uint64_t endpoint_count,
                                                      std::uint64_t max_segments);

// ResourceLimit when a memory budget is set and required exceeds it (equal passes).
Status enforce_memory_budget(const core::ValidatedConstraints& validated, std::uint64_t required);

// Backtracks the best segmentation into segment_count segments: the change positions ascending,
// then n.
Result<std::vector<std::size_t>> reconstruct_breakpoints_for_segment_count(
    const DynpSweepResult& sweep, std::size_t segment_count, std::size_t n);

// The change count minimising objective + beta * k over the sweep's feasible counts (ties to the
// smaller count); `label` leads every error message.
Result<PenalizedSelection> select_penalized_kernel(const DynpSweepResult& sweep, std::size_t n,
                                                   std::string_view label, double beta);

// The tables of one sweep, allocated at their full size; a refused allocation is ResourceLimit
// naming the bytes the sweep needed (`required`), never an exception.
struct SweepTables {
  std::vector<std::size_t> backpointers;
  std::vector<double> objective;
  std::vector<double> previous;
  std::vector<double> current;
};
Result<SweepTables> allocate_sweep_tables(std::size_t rows, std::size_t m, std::uint64_t required);

// "penalty_path[{}]: penalty={}, beta={}, params_per_segment={} (model_default), change_count={},
// objective={}, penalized_objective={}".
std::string penalty_path_entry_note(std::size_t index, const ResolvedPenalty& resolved,
                                    const PenalizedSelection& selection);

// ---------------------------------------------------------------------------------------------
// Generic over the cost model (definitions in dynp_impl.hpp).

// BIC and AIC with the model's own effective parameter count for d dimensions; Manual as given.
template <costs::CostModel C>
Result<ResolvedPenalty> resolve_penalty_beta(const C& model, const core::Penalty& penalty,
                                             std::size_t n, std::size_t d);

template <costs::CostModel C>
Result<DynpSweepResult> run_dynp_sweep(const C& model, const typename C::Cache& cache,
                                       std::size_t n, const core::ValidatedConstraints& validated,
                                       std::size_t max_k, std::uint64_t cancel_check_every,
                                       const core::ExecutionContext& ctx, MonotonicInstant started,
                                       RunStats& stats);

template <costs::CostModel C>
Result<KnownKSelection> run_dynp_known_k(const C& model, const typename C::Cache& cache,
                                         std::size_t n, const core::ValidatedConstraints& validated,
                                         std::size_t k, std::uint64_t cancel_check_every,
                                         const core::ExecutionContext& ctx,
                                         MonotonicInstant started, RunStats& stats);

template <costs::CostModel C>
Result<PenalizedSelection> run_dynp_penalized(
    const C& model, const typename C::Cache& cache, const core::TimeSeriesView& x,
    const core::ValidatedConstraints& validated, std::uint64_t cancel_check_every,
    const core::ExecutionContext& ctx, MonotonicInstant started, RunStats& stats, double beta);

template <costs::CostModel C>
Result<std::vector<PenalizedSelection>> run_dynp_penalty_path(
    const C& model, const typename C::Cache& cache, const core::TimeSeriesView& x,
    const core::ValidatedConstraints& validated, std::span<const double> betas,
    std::uint64_t cancel_check_every, const core::ExecutionContext& ctx, MonotonicInstant started,
    RunStats& stats);

}  // namespace dynp

}  // namespace ovrel::offline
