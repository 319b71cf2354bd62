#pragma once

// Definitions of the PELT templates; included by the instantiation units generated from
// offline/instantiations.cmake and by tests that run PELT over their own cost models.

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
};
}  // namespace detail

template <costs::CostModel C>
Result<core::OfflineChangePointResult> Pelt<C>::detect(const core::TimeSeriesView& x,
                                                       const core::ExecutionContext& ctx) const {
  OVREL_TRY(config.validate());
  return detail::detect_optimal_partitioning<detail::PeltFlavour>(
      cost_model, config.stopping, config.params_or_model_own(), config.cancel_check_every,
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

// The explicit instantiation of one (PELT, cost model) pair, at global scope; the generated units
// of offline/instantiations.cmake expand it.
#define OVREL_INSTANTIATE_PELT(C)                                                                 \
  static_assert(::ovrel::core::OfflineDetector<::ovrel::offline::Pelt<C>>);                       \
  template struct ::ovrel::offline::Pelt<C>;                                                      \
  template ::ovrel::Result<::ovrel::offline::KernelResult> ovrel::offline::run_pelt_penalized<C>( \
      const C&, const C::Cache&, std::size_t, const ::ovrel::core::ValidatedConstraints&, double, \
      bool, std::size_t, const ::ovrel::core::ExecutionContext&, ::ovrel::core::MonotonicInstant, \
      ::ovrel::offline::RunStats&);                                                               \
  template ::ovrel::Result<::ovrel::offline::KnownKSearchResult>                                  \
  ovrel::offline::run_known_k_search<C>(                                                          \
      const C&, const C::Cache&, std::size_t, const ::ovrel::core::ValidatedConstraints&,         \
      std::size_t, std::size_t, const ::ovrel::core::ExecutionContext&,                           \
      ::ovrel::core::MonotonicInstant, ::ovrel::offline::RunStats&);                              \
  template ::ovrel::Result<std::vector<::ovrel::offline::KernelResult>>                           \
  ovrel::offline::run_pelt_penalty_path<C>(                                                       \
      const C&, const C::Cache&, std::size_t, const ::ovrel::core::ValidatedConstraints&,         \
      std::span<const double>, std::size_t, const ::ovrel::core::ExecutionContext&,               \
      ::ovrel::core::MonotonicInstant, ::ovrel::offline::RunStats&);
