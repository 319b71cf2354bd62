#pragma once

// FPOP: exact penalised optimal partitioning over the L2 mean-shift cost, with inequality pruning
// of candidate starts (no functional pruning: its first note says so). The same dynamic programme
// as PELT, bound to `CostL2Mean`.

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/detectors.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/results.hpp"
#include "ovrel/core/stopping.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/offline/common.hpp"
#include "ovrel/offline/kernel_types.hpp"

namespace ovrel::offline {

struct FpopConfig {
  core::Stopping stopping;
  // Parameters per segment and dimension for BIC and AIC. Not given, or 2 (kModelOwnParams): the
  // L2 model's own count (2 per dimension); any other v means d * v; 0 is refused.
  std::optional<std::size_t> params_per_segment = std::nullopt;
  // Targets (penalised and known-k runs) or (target, penalty) steps (paths) between cancellation
  // and time-budget checks; 0 is read as 1.
  std::size_t cancel_check_every = 1000;

  // The count the penalty resolution reads: kModelOwnParams when none is given.
  std::size_t params_or_model_own() const noexcept {
    return params_per_segment.value_or(kModelOwnParams);
  }
};

class Fpop {
 public:
  // Checks the stopping rule, then params_per_segment >= 1.
  static Result<Fpop> create(costs::CostL2Mean cost_model, FpopConfig config);

  Result<core::OfflineChangePointResult> detect(const core::TimeSeriesView& x,
                                                const core::ExecutionContext& ctx) const;

  const FpopConfig& config() const noexcept { return config_; }
  const costs::CostL2Mean& cost_model() const noexcept { return cost_model_; }

 private:
  Fpop(FpopConfig config, costs::CostL2Mean cost_model)
      : config_(std::move(config)), cost_model_(cost_model) {}

  FpopConfig config_;
  costs::CostL2Mean cost_model_;
};

static_assert(core::OfflineDetector<Fpop>);

// One penalised run for penalty beta (finite, > 0); `prune` drops dominated starts.
Result<KernelResult> run_fpop_penalized(const costs::CostL2Mean& model, const costs::L2Cache& cache,
                                        std::size_t n,
                                        const core::ValidatedConstraints& constraints, double beta,
                                        bool prune, std::size_t cancel_check_every,
                                        const core::ExecutionContext& ctx,
                                        MonotonicInstant started_at, RunStats& stats);

// The penalty search for exactly k change points, over unpruned probes.
Result<KnownKSearchResult> run_fpop_known_k_search(const costs::CostL2Mean& model,
                                                   const costs::L2Cache& cache, std::size_t n,
                                                   const core::ValidatedConstraints& constraints,
                                                   std::size_t k, std::size_t cancel_check_every,
                                                   const core::ExecutionContext& ctx,
                                                   MonotonicInstant started_at, RunStats& stats);

// One pass for all betas, sharing each segment cost between them; results in the order of betas.
Result<std::vector<KernelResult>> run_fpop_penalty_path(
    const costs::CostL2Mean& model, const costs::L2Cache& cache, std::size_t n,
    const core::ValidatedConstraints& constraints, std::span<const double> betas,
    std::size_t cancel_check_every, const core::ExecutionContext& ctx, MonotonicInstant started_at,
    RunStats& stats);

}  // namespace ovrel::offline
