#include "ovrel/offline/dispatch.hpp"

#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "ovrel/costs/ar.hpp"
#include "ovrel/costs/cosine.hpp"
#include "ovrel/costs/l1.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/nig.hpp"
#include "ovrel/costs/normal.hpp"
#include "ovrel/costs/rank.hpp"
#include "ovrel/offline/common.hpp"

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

std::string_view cost_model_name(CostKind cost) noexcept {
  switch (cost) {
    case CostKind::Ar:
      return costs::CostAR::name();
    case CostKind::Cosine:
      return costs::CostCosine::name();
    case CostKind::L1Median:
      return costs::CostL1Median::name();
    case CostKind::L2:
      return costs::CostL2Mean::name();
    case CostKind::Normal:
      return costs::CostNormalMeanVar::name();
    case CostKind::NormalFullCov:
      return costs::CostNormalFullCov::name();
    case CostKind::Nig:
      return costs::CostNIGMarginal::name();
    case CostKind::Rank:
      return costs::CostRank::name();
  }
  return {};
}

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

Result<core::OfflineChangePointResult> run_pair(OfflineDetectorConfig detector, CostKind cost,
                                                const core::TimeSeriesView& x,
                                                const core::Constraints& constraints,
                                                core::ReproMode repro_mode,
                                                core::InterruptPoll* interrupt) {
  core::Constraints run_constraints = constraints;
  const std::optional<std::string> raised =
      raise_min_segment_len_for_model(run_constraints, cost_model_name(cost), x.n(), x.d());
  core::ExecutionContext ctx(run_constraints, repro_mode, core::BudgetMode::HardFail);
  ctx.interrupt = interrupt;
  const core::InterruptScope in_evaluations(interrupt);
  auto result = detect_pair(std::move(detector), cost, x, ctx);
  if (!raised) return result;
  // The raise is a fact about the run and often the reason a request cannot be met (no candidate
  // split left, no feasible segmentation), so a refusal carries the note too. A cancellation came
  // from outside the run and is left alone.
  if (result) {
    result->diagnostics.notes.push_back(*raised);
  } else if (result.error().kind() != ErrorKind::Cancelled) {
    result.error().add_note(*raised);
  }
  return result;
}

}  // namespace ovrel::offline
