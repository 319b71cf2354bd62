#include "ovrel/pipeline/execute.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/missing.hpp"
#include "ovrel/offline/dispatch.hpp"
#include "ovrel/preprocess/pipeline.hpp"

namespace ovrel::pipeline {

using core::OfflineChangePointResult;

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

  const std::optional<offline::CostKind> cost = offline_cost_kind(offline->cost);
  if (!cost) {
    throw InternalError("a validated offline pipeline configuration holds no concrete cost");
  }
  if (!offline::pair_exists(offline->detector, *cost)) {
    return core::invalid_input("detector=fpop requires cost=l2");
  }
  return offline::run_pair(offline->detector, *cost, view, offline->constraints, repro_mode,
                           interrupt);
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
