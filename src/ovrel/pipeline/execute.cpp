#include "ovrel/pipeline/execute.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/missing.hpp"
#include "ovrel/costs/ar.hpp"
#include "ovrel/costs/cosine.hpp"
#include "ovrel/costs/l1.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/nig.hpp"
#include "ovrel/costs/normal.hpp"
#include "ovrel/costs/rank.hpp"
#include "ovrel/offline/binseg.hpp"
#include "ovrel/offline/common.hpp"
#include "ovrel/offline/dynp.hpp"
#include "ovrel/offline/fpop.hpp"
#include "ovrel/offline/pelt.hpp"
#include "ovrel/offline/wbs.hpp"
#include "ovrel/preprocess/pipeline.hpp"

namespace ovrel::pipeline {

using core::OfflineChangePointResult;

namespace {

// Fixed here: no input selects another prior or order.
constexpr costs::NIGPrior kNigPrior{0.0, 0.01, 1.0, 1.0};
constexpr std::size_t kArOrder = 1;

// Validates a copy of the configuration, builds the detector over it and runs it.
template <template <class> class Detector, class Config, class C>
Result<OfflineChangePointResult> validate_and_detect(const Config& config, C cost_model,
                                                     const core::TimeSeriesView& x,
                                                     const core::ExecutionContext& ctx) {
  Config copy = config;
  OVREL_TRY(copy.validate());
  const Detector<C> detector{std::move(copy), std::move(cost_model)};
  return detector.detect(x, ctx);
}

// Every cost model but L2: FPOP exists only over L2.
template <class C>
Result<OfflineChangePointResult> run_offline_detector_with_cost(
    const core::TimeSeriesView& x, const OfflineDetectorConfig& detector,
    const core::ExecutionContext& ctx, C cost_model) {
  if (const auto* pelt = std::get_if<offline::PeltConfig>(&detector)) {
    return validate_and_detect<offline::Pelt>(*pelt, std::move(cost_model), x, ctx);
  }
  if (const auto* binseg = std::get_if<offline::BinSegConfig>(&detector)) {
    return validate_and_detect<offline::BinSeg>(*binseg, std::move(cost_model), x, ctx);
  }
  if (std::holds_alternative<offline::FpopConfig>(detector)) {
    return core::invalid_input("detector=fpop requires cost=l2");
  }
  if (const auto* wbs = std::get_if<offline::WbsConfig>(&detector)) {
    return validate_and_detect<offline::Wbs>(*wbs, std::move(cost_model), x, ctx);
  }
  return validate_and_detect<offline::Dynp>(std::get<offline::DynpConfig>(detector),
                                            std::move(cost_model), x, ctx);
}

Result<OfflineChangePointResult> run_offline_detector_with_l2_cost(
    const core::TimeSeriesView& x, const OfflineDetectorConfig& detector,
    const core::ExecutionContext& ctx, core::ReproMode repro_mode) {
  const costs::CostL2Mean cost_model{repro_mode};
  if (const auto* fpop = std::get_if<offline::FpopConfig>(&detector)) {
    OVREL_TRY_ASSIGN(const offline::Fpop built, offline::Fpop::create(cost_model, *fpop));
    return built.detect(x, ctx);
  }
  return run_offline_detector_with_cost(x, detector, ctx, cost_model);
}

Result<OfflineChangePointResult> run_with_cost(const core::TimeSeriesView& view,
                                               const OfflineDetectorConfig& detector,
                                               CostConfig cost, const core::ExecutionContext& ctx,
                                               core::ReproMode repro_mode) {
  switch (cost) {
    case CostConfig::Ar:
      return run_offline_detector_with_cost(view, detector, ctx,
                                            costs::CostAR{kArOrder, repro_mode});
    case CostConfig::Cosine:
      return run_offline_detector_with_cost(view, detector, ctx, costs::CostCosine{repro_mode});
    case CostConfig::L1Median:
      return run_offline_detector_with_cost(view, detector, ctx, costs::CostL1Median{repro_mode});
    case CostConfig::L2:
      return run_offline_detector_with_l2_cost(view, detector, ctx, repro_mode);
    case CostConfig::Normal:
      return run_offline_detector_with_cost(view, detector, ctx,
                                            costs::CostNormalMeanVar{repro_mode});
    case CostConfig::NormalFullCov:
      return run_offline_detector_with_cost(view, detector, ctx,
                                            costs::CostNormalFullCov{repro_mode});
    case CostConfig::Nig:
      return run_offline_detector_with_cost(view, detector, ctx,
                                            costs::CostNIGMarginal{kNigPrior, repro_mode});
    case CostConfig::Rank:
      return run_offline_detector_with_cost(view, detector, ctx, costs::CostRank{repro_mode});
    case CostConfig::None:
      break;
  }
  throw InternalError("a validated offline pipeline configuration holds no concrete cost");
}

std::string_view cost_model_name(CostConfig cost) {
  switch (cost) {
    case CostConfig::Normal:
      return costs::CostNormalMeanVar::name();
    case CostConfig::NormalFullCov:
      return costs::CostNormalFullCov::name();
    default:
      return {};
  }
}

}  // namespace

Result<OfflineChangePointResult> run_offline_pipeline_with_config(const core::TimeSeriesView& x,
                                                                  const PipelineConfig& config,
                                                                  core::ReproMode repro_mode,
                                                                  core::InterruptPoll* interrupt) {
  const auto* offline = std::get_if<OfflinePipelineConfig>(&config);
  if (offline == nullptr) {
    return core::invalid_input(
        "offline pipeline execution requires an offline detector configuration");
  }
  OVREL_TRY(core::validate_constraints_config(offline->constraints));
  // Only refuses constraints that cannot fit the series; each detector validates them again.
  OVREL_TRY(core::validate_constraints(offline->constraints, x.n()));

  // A series declared with the Ignore policy but holding no missing value runs under the Error
  // policy, so cost models without mask support accept it.
  std::optional<core::TimeSeriesView> rebuilt;
  if (x.missing() == core::MissingPolicy::Ignore && x.n_missing() == 0) {
    OVREL_TRY_ASSIGN(
        core::TimeSeriesView view,
        core::TimeSeriesView::create(x.values(), x.n(), x.d(), x.layout(), x.missing_mask(),
                                     x.time(), core::MissingPolicy::Error));
    rebuilt.emplace(view);
  }
  const core::TimeSeriesView& view = rebuilt ? *rebuilt : x;

  core::Constraints run_constraints = offline->constraints;
  const std::optional<std::string> raised = ::ovrel::offline::raise_min_segment_len_for_model(
      run_constraints, cost_model_name(offline->cost), view.n(), view.d());
  core::ExecutionContext ctx(run_constraints, repro_mode, core::BudgetMode::HardFail);
  ctx.interrupt = interrupt;
  const core::InterruptScope in_evaluations(interrupt);
  auto result = run_with_cost(view, offline->detector, offline->cost, ctx, repro_mode);
  if (result && raised) result->diagnostics.notes.push_back(*raised);
  return result;
}

Result<OfflineChangePointResult> run_offline_pipeline(const core::TimeSeriesView& x,
                                                      const PipelineSpec& spec,
                                                      core::ReproMode repro_mode,
                                                      core::InterruptPoll* interrupt) {
  OVREL_TRY_ASSIGN(const PipelineConfig config, spec.to_pipeline_config());
  if (!spec.preprocess) return run_offline_pipeline_with_config(x, config, repro_mode, interrupt);
  OVREL_TRY_ASSIGN(const preprocess::PreprocessPipeline chain,
                   preprocess::PreprocessPipeline::create(*spec.preprocess));
  OVREL_TRY_ASSIGN(const preprocess::PreprocessedSeries cleaned, chain.apply(x));
  OVREL_TRY_ASSIGN(const core::TimeSeriesView cleaned_view, cleaned.as_view());
  return run_offline_pipeline_with_config(cleaned_view, config, repro_mode, interrupt);
}

Result<OfflineChangePointResult> execute_pipeline_with_repro_mode(const core::TimeSeriesView& x,
                                                                  const PipelineSpec& spec,
                                                                  core::ReproMode repro_mode,
                                                                  core::InterruptPoll* interrupt) {
  if (std::holds_alternative<OnlineDetectorConfig>(spec.detector)) {
    return core::invalid_input(
        "execute_pipeline only supports offline pipelines; received online pipeline");
  }
  return run_offline_pipeline(x, spec, repro_mode, interrupt);
}

}  // namespace ovrel::pipeline
