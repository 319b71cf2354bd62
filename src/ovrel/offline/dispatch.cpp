#include "ovrel/offline/dispatch.hpp"

#include <type_traits>
#include <utility>

#include "ovrel/costs/ar.hpp"
#include "ovrel/costs/cosine.hpp"
#include "ovrel/costs/l1.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/nig.hpp"
#include "ovrel/costs/normal.hpp"
#include "ovrel/costs/rank.hpp"

namespace ovrel::offline {

namespace {

// Fixed here: no input selects another prior or order.
constexpr costs::NIGPrior kNigPrior{.mu0 = 0.0, .kappa0 = 0.01, .alpha0 = 1.0, .beta0 = 1.0};
constexpr std::size_t kArOrder = 1;

// Calls run(model) with the cost model of the kind, built with the run's repro mode.
template <class Run>
Result<core::OfflineChangePointResult> with_cost_model(CostKind cost, core::ReproMode repro,
                                                       Run&& run) {
  switch (cost) {
    case CostKind::Ar:
      return run(costs::CostAR{.order = kArOrder, .repro_mode = repro});
    case CostKind::Cosine:
      return run(costs::CostCosine{repro});
    case CostKind::L1Median:
      return run(costs::CostL1Median{repro});
    case CostKind::L2:
      return run(costs::CostL2Mean{repro});
    case CostKind::Normal:
      return run(costs::CostNormalMeanVar{repro});
    case CostKind::NormalFullCov:
      return run(costs::CostNormalFullCov{repro});
    case CostKind::Nig:
      return run(costs::CostNIGMarginal{.prior = kNigPrior, .repro_mode = repro});
    case CostKind::Rank:
      return run(costs::CostRank{repro});
  }
  throw InternalError("unknown offline cost kind");
}

// Validates a copy of the configuration, builds the detector over it and runs it.
template <template <class> class Detector, class Config, class C>
Result<core::OfflineChangePointResult> validate_and_detect(Config config, C cost_model,
                                                           const core::TimeSeriesView& x,
                                                           const core::ExecutionContext& ctx) {
  OVREL_TRY(config.validate());
  const Detector<C> detector{std::move(config), std::move(cost_model)};
  return detector.detect(x, ctx);
}

}  // namespace

bool pair_exists(const OfflineDetectorConfig& detector, CostKind cost) noexcept {
  return !std::holds_alternative<FpopConfig>(detector) || cost == CostKind::L2;
}

Result<core::OfflineChangePointResult> detect_pair(OfflineDetectorConfig detector, CostKind cost,
                                                   const core::TimeSeriesView& x,
                                                   const core::ExecutionContext& ctx) {
  if (!pair_exists(detector, cost)) {
    throw InternalError("FPOP was asked to run over a cost model other than L2");
  }
  return with_cost_model(cost, ctx.repro_mode, [&]<class C>(C model) {
    return std::visit(
        [&]<class Config>(Config& config) -> Result<core::OfflineChangePointResult> {
          if constexpr (std::is_same_v<Config, PeltConfig>) {
            return validate_and_detect<Pelt>(std::move(config), std::move(model), x, ctx);
          } else if constexpr (std::is_same_v<Config, BinSegConfig>) {
            return validate_and_detect<BinSeg>(std::move(config), std::move(model), x, ctx);
          } else if constexpr (std::is_same_v<Config, WbsConfig>) {
            return validate_and_detect<Wbs>(std::move(config), std::move(model), x, ctx);
          } else if constexpr (std::is_same_v<Config, DynpConfig>) {
            return validate_and_detect<Dynp>(std::move(config), std::move(model), x, ctx);
          } else if constexpr (std::is_same_v<C, costs::CostL2Mean>) {
            OVREL_TRY_ASSIGN(const Fpop built, Fpop::create(model, std::move(config)));
            return built.detect(x, ctx);
          } else {
            throw InternalError("FPOP was asked to run over a cost model other than L2");
          }
        },
        detector);
  });
}

}  // namespace ovrel::offline
