#include "ovrel/offline/fpop.hpp"

#include "ovrel/offline/pelt_kernel.hpp"

namespace ovrel::offline {

namespace {

struct FpopFlavour {
  static constexpr std::string_view kPenalizedName = "run_fpop_penalized";
  static constexpr std::string_view kPathName = "run_fpop_penalty_path";
  static constexpr std::string_view kAlgorithm = "fpop";
  static constexpr std::string_view kDisplayName = "FPOP";
  static constexpr std::string_view kFirstNote = "kernel=exact_optimal_partitioning_l2";
};

Status validate_config(const FpopConfig& config) {
  OVREL_TRY(core::validate_stopping(config.stopping));
  if (config.params_per_segment && *config.params_per_segment == 0) {
    return core::invalid_input("FpopConfig.params_per_segment must be >= 1; got 0");
  }
  return {};
}

}  // namespace

Result<Fpop> Fpop::create(costs::CostL2Mean cost_model, FpopConfig config) {
  OVREL_TRY(validate_config(config));
  return Fpop(std::move(config), cost_model);
}

Result<core::OfflineChangePointResult> Fpop::detect(const core::TimeSeriesView& x,
                                                    const core::ExecutionContext& ctx) const {
  OVREL_TRY(validate_config(config_));
  return detail::detect_optimal_partitioning<FpopFlavour>(
      cost_model_, config_.stopping, config_.params_or_model_own(), config_.cancel_check_every,
      /*prune=*/true, x, ctx);
}

Result<KernelResult> run_fpop_penalized(const costs::CostL2Mean& model, const costs::L2Cache& cache,
                                        std::size_t n,
                                        const core::ValidatedConstraints& constraints, double beta,
                                        bool prune, std::size_t cancel_check_every,
                                        const core::ExecutionContext& ctx,
                                        MonotonicInstant started_at, RunStats& stats) {
  return detail::run_penalized_entry<FpopFlavour>(model, cache, n, constraints, beta, prune,
                                                  cancel_check_every, ctx, started_at, stats);
}

Result<KnownKSearchResult> run_fpop_known_k_search(const costs::CostL2Mean& model,
                                                   const costs::L2Cache& cache, std::size_t n,
                                                   const core::ValidatedConstraints& constraints,
                                                   std::size_t k, std::size_t cancel_check_every,
                                                   const core::ExecutionContext& ctx,
                                                   MonotonicInstant started_at, RunStats& stats) {
  return detail::run_known_k<FpopFlavour>(model, cache, n, constraints, k, cancel_check_every, ctx,
                                          started_at, stats);
}

Result<std::vector<KernelResult>> run_fpop_penalty_path(
    const costs::CostL2Mean& model, const costs::L2Cache& cache, std::size_t n,
    const core::ValidatedConstraints& constraints, std::span<const double> betas,
    std::size_t cancel_check_every, const core::ExecutionContext& ctx, MonotonicInstant started_at,
    RunStats& stats) {
  return detail::run_path<FpopFlavour>(model, cache, n, constraints, betas, /*prune=*/true,
                                       cancel_check_every, ctx, started_at, stats);
}

}  // namespace ovrel::offline
