#pragma once

// Definitions of the PELT templates; included only by the per-model instantiation units.

#include "ovrel/offline/pelt.hpp"
#include "ovrel/offline/pelt_kernel.hpp"

namespace ovrel::offline {

namespace detail {
struct PeltFlavour {
  static constexpr std::string_view kPenalizedName = "run_pelt_penalized";
  static constexpr std::string_view kPathName = "run_pelt_penalty_path";
  static constexpr std::string_view kAlgorithm = "pelt";
  static constexpr std::string_view kDisplayName = "PELT";
  static constexpr std::string_view kFirstNote = "";
  static constexpr std::string_view kMetricCostEvals = "offline.pelt.cost_evals";
  static constexpr std::string_view kMetricCandidatesConsidered =
      "offline.pelt.candidates_considered";
  static constexpr std::string_view kMetricCandidatesPruned = "offline.pelt.candidates_pruned";
  static constexpr std::string_view kMetricRuntimeMs = "offline.pelt.runtime_ms";
};
}  // namespace detail

template <costs::CostModel C>
Result<core::OfflineChangePointResult> Pelt<C>::detect(const core::TimeSeriesView& x,
                                                       const core::ExecutionContext& ctx) const {
  OVREL_TRY(config.validate());
  return detail::detect_optimal_partitioning<detail::PeltFlavour>(
      cost_model, config.stopping, config.params_per_segment, config.cancel_check_every,
      kInequalityPruningIsExact<C>, x, ctx);
}

template <costs::CostModel C>
Result<KernelResult> run_pelt_penalized(const C& model, const typename C::Cache& cache,
                                        std::size_t n,
                                        const core::ValidatedConstraints& constraints, double beta,
                                        bool prune, std::size_t cancel_check_every,
                                        const core::ExecutionContext& ctx,
                                        MonotonicInstant started_at, RunStats& stats) {
  return detail::run_penalized_entry<detail::PeltFlavour>(
      model, cache, n, constraints, beta, prune, cancel_check_every, ctx, started_at, stats);
}

template <costs::CostModel C>
Result<KnownKSearchResult> run_known_k_search(const C& model, const typename C::Cache& cache,
                                              std::size_t n,
                                              const core::ValidatedConstraints& constraints,
                                              std::size_t k, std::size_t cancel_check_every,
                                              const core::ExecutionContext& ctx,
                                              MonotonicInstant started_at, RunStats& stats) {
  return detail::run_known_k<detail::PeltFlavour>(model, cache, n, constraints, k,
                                                  cancel_check_every, ctx, started_at, stats);
}

template <costs::CostModel C>
Result<std::vector<KernelResult>> run_pelt_penalty_path(
    const C& model, const typename C::Cache& cache, std::size_t n,
    const core::ValidatedConstraints& constraints, std::span<const double> betas,
    std::size_t cancel_check_every, const core::ExecutionContext& ctx, MonotonicInstant started_at,
    RunStats& stats) {
  return detail::run_path<detail::PeltFlavour>(model, cache, n, constraints, betas,
                                               kInequalityPruningIsExact<C>, cancel_check_every,
                                               ctx, started_at, stats);
}

}  // namespace ovrel::offline
