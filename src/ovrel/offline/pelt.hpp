#pragma once

// PELT: exact penalised optimal partitioning with inequality pruning over any segment cost model,
// for a known number of changes, one penalty, or a path of penalties.
//
// `Pelt<C>` and the kernels below are instantiated for the pairs listed in
// offline/instantiations.cmake; callers include this header and the model's header.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
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
#include "ovrel/offline/kernel_types.hpp"

namespace ovrel::costs {
class CostNIGMarginal;
class CostAR;
}  // namespace ovrel::costs

namespace ovrel::offline {

struct PeltConfig {
  core::Stopping stopping;
  // Parameters per segment and dimension for BIC and AIC. Not given, or 2 (kModelOwnParams): the
  // cost model's own count; any other v means d * v; 0 is refused.
  std::optional<std::size_t> params_per_segment = std::nullopt;
  // Targets (penalised runs) or (target, penalty) steps (paths) between cancellation and
  // time-budget checks; 0 is read as 1.
  std::size_t cancel_check_every = 1000;

  // The stopping rule's own check first, then params_per_segment >= 1.
  Status validate() const;
  std::size_t normalized_cancel_check_every() const noexcept {
    return offline::normalized_cancel_check_every(cancel_check_every);
  }
  // The count the penalty resolution reads: kModelOwnParams when none is given.
  std::size_t params_or_model_own() const noexcept {
    return params_per_segment.value_or(kModelOwnParams);
  }
};

// Whether dropping starts by the PELT inequality keeps the optimum for this model. It needs a
// cost that never grows when a segment is split. The normal-inverse-gamma marginal likelihood
// does not satisfy it, nor does the autoregressive cost (a split loses the lagged pairs across
// it, and short segments fit exactly at the variance floor); their runs score every start.
template <class C>
inline constexpr bool kInequalityPruningIsExact = true;
template <>
inline constexpr bool kInequalityPruningIsExact<costs::CostNIGMarginal> = false;
template <>
inline constexpr bool kInequalityPruningIsExact<costs::CostAR> = false;

// Built by its caller from a validated configuration and a model; read-only afterwards.
template <costs::CostModel C>
struct Pelt {
  PeltConfig config;
  C cost_model;

  Result<core::OfflineChangePointResult> detect(const core::TimeSeriesView& x,
                                                const core::ExecutionContext& ctx) const;
};

// One penalised run for penalty beta (finite, > 0) over the validated constraints; with `prune`
// the inequality drops dominated starts. Adds its work to `stats`.
template <costs::CostModel C>
Result<KernelResult> run_pelt_penalized(const C& model, const typename C::Cache& cache,
                                        std::size_t n,
                                        const core::ValidatedConstraints& constraints, double beta,
                                        bool prune, std::size_t cancel_check_every,
                                        const core::ExecutionContext& ctx,
                                        MonotonicInstant started_at, RunStats& stats);

// Searches a penalty whose optimal segmentation has exactly k change points (unpruned probes:
// doubling from 2^-52, then bisection).
template <costs::CostModel C>
Result<KnownKSearchResult> run_known_k_search(const C& model, const typename C::Cache& cache,
                                              std::size_t n,
                                              const core::ValidatedConstraints& constraints,
                                              std::size_t k, std::size_t cancel_check_every,
                                              const core::ExecutionContext& ctx,
                                              MonotonicInstant started_at, RunStats& stats);

// One pass over the targets for all betas, sharing each segment cost between them; one result
// per beta, in the order of `betas`.
template <costs::CostModel C>
Result<std::vector<KernelResult>> run_pelt_penalty_path(
    const C& model, const typename C::Cache& cache, std::size_t n,
    const core::ValidatedConstraints& constraints, std::span<const double> betas,
    std::size_t cancel_check_every, const core::ExecutionContext& ctx, MonotonicInstant started_at,
    RunStats& stats);

}  // namespace ovrel::offline
