#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/costs/ar.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/nig.hpp"
#include "ovrel/offline/pelt.hpp"
#include "ovrel/offline/wbs.hpp"
#include "ovrel/pipeline/execute.hpp"
#include "ovrel/preprocess/pipeline.hpp"

namespace ovrel::pipeline {
namespace {

using core::OfflineChangePointResult;
using core::Penalty;
using core::Stopping;

// Three level shifts in two dimensions, away from the origin (the cosine cost needs non-zero
// rows), with seeded noise.
std::vector<double> shifted_levels(std::size_t n) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> noise(0.0, 0.3);
  std::vector<double> v(n * 2);
  const double levels[3][2] = {{1.0, 3.0}, {4.0, 1.0}, {2.0, 2.5}};
  for (std::size_t t = 0; t < n; ++t)
    for (std::size_t j = 0; j < 2; ++j) v[t * 2 + j] = levels[(3 * t) / n][j] + noise(rng);
  return v;
}

const std::vector<double> kValues = shifted_levels(60);

core::TimeSeriesView view_of(const std::vector<double>& values,
                             core::MissingPolicy policy = core::MissingPolicy::Error,
                             std::size_t d = 2) {
  return *core::TimeSeriesView::from_f64(values, values.size() / d, d,
                                         core::MemoryLayout::c_contiguous(), std::nullopt,
                                         core::TimeIndex::none(), policy);
}

template <class Config>
OfflineDetectorConfig detector_with(Stopping stopping) {
  Config config;
  config.stopping = std::move(stopping);
  return config;
}

PipelineSpec spec_for(OfflineDetectorConfig detector, CostConfig cost) {
  PipelineSpec spec;
  spec.stopping = detector_stopping(detector);
  spec.detector = std::move(detector);
  spec.cost = cost;
  spec.constraints.min_segment_len = 5;
  return spec;
}

Result<OfflineChangePointResult> run(const PipelineSpec& spec,
                                     const core::TimeSeriesView& x = view_of(kValues)) {
  return execute_pipeline_with_repro_mode(x, spec, core::ReproMode::Balanced);
}

// Everything a run reports except its wall-clock time.
void expect_same_run(const OfflineChangePointResult& a, const OfflineChangePointResult& b) {
  EXPECT_EQ(a.breakpoints, b.breakpoints);
  EXPECT_EQ(a.diagnostics.notes, b.diagnostics.notes);
  EXPECT_EQ(a.diagnostics.algorithm, b.diagnostics.algorithm);
  EXPECT_EQ(a.diagnostics.cost_model, b.diagnostics.cost_model);
  EXPECT_EQ(a.diagnostics.seed, b.diagnostics.seed);
}

// Each reachable pair runs the detector and model it names: the names in the diagnostics are
// written by the detector and the model themselves.
TEST(Dispatch, EveryDetectorAndCostPairRunsItsOwnDetectorAndModel) {
  const std::vector<std::pair<CostConfig, const char*>> costs = {
      {CostConfig::Ar, "ar"},
      {CostConfig::Cosine, "cosine"},
      {CostConfig::L1Median, "l1_median"},
      {CostConfig::L2, "l2_mean"},
      {CostConfig::Normal, "normal_mean_var"},
      {CostConfig::NormalFullCov, "normal_full_cov"},
      {CostConfig::Nig, "nig_marginal"},
      {CostConfig::Rank, "rank"}};
  const Stopping two = Stopping::known_k(2);
  const std::vector<std::pair<OfflineDetectorConfig, const char*>> detectors = {
      {detector_with<offline::PeltConfig>(two), "pelt"},
      {detector_with<offline::BinSegConfig>(two), "binseg"},
      {detector_with<offline::FpopConfig>(two), "fpop"},
      {detector_with<offline::WbsConfig>(two), "wbs"},
      {detector_with<offline::DynpConfig>(two), "dynp"}};
  for (const auto& [cost, model_name] : costs) {
    for (const auto& [detector, algorithm] : detectors) {
      SCOPED_TRACE(std::string(algorithm) + " x " + model_name);
      const auto result = run(spec_for(detector, cost));
      if (std::holds_alternative<offline::FpopConfig>(detector) && cost != CostConfig::L2) {
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), OvrelError::invalid_input("detector=fpop requires cost=l2"));
        continue;
      }
      ASSERT_TRUE(result.has_value()) << result.error().display();
      EXPECT_EQ(result->diagnostics.algorithm, algorithm);
      EXPECT_EQ(result->diagnostics.cost_model, model_name);
      EXPECT_EQ(result->breakpoints.size(), 3U);
    }
  }
}

// The fixed model parameters and the configuration copy reach the detector: each run equals the
// detector built by hand.
TEST(Dispatch, FixedModelParametersAndConfigurationReachTheDetector) {
  const core::TimeSeriesView x = view_of(kValues);
  core::Constraints constraints;
  constraints.min_segment_len = 5;
  const core::ExecutionContext ctx(constraints, core::ReproMode::Balanced);
  const Stopping bic = Stopping::penalized(Penalty::bic());
  const offline::PeltConfig pelt{bic, 2, 1000};

  const offline::Pelt<costs::CostNIGMarginal> nig{
      pelt,
      costs::CostNIGMarginal{costs::NIGPrior{0.0, 0.01, 1.0, 1.0}, core::ReproMode::Balanced}};
  expect_same_run(*run(spec_for(pelt, CostConfig::Nig)), *nig.detect(x, ctx));

  const offline::Pelt<costs::CostAR> ar{pelt, costs::CostAR{1, core::ReproMode::Balanced}};
  expect_same_run(*run(spec_for(pelt, CostConfig::Ar)), *ar.detect(x, ctx));

  offline::WbsConfig wbs_config;
  wbs_config.stopping = bic;
  wbs_config.num_intervals = 20;
  wbs_config.interval_strategy = offline::WbsIntervalStrategy::Stratified;
  PipelineSpec spec = spec_for(wbs_config, CostConfig::L2);
  spec.seed = 7;
  wbs_config.seed = 7;
  const offline::Wbs<costs::CostL2Mean> wbs{wbs_config, costs::CostL2Mean{}};
  expect_same_run(*run(spec), *wbs.detect(x, ctx));
}

struct ErrorCase {
  const char* name;
  PipelineSpec spec;
  OvrelError error;
};

PipelineSpec with_min_segment_len(PipelineSpec spec, std::size_t m) {
  spec.constraints.min_segment_len = m;
  return spec;
}

PipelineSpec with_preprocess(PipelineSpec spec, preprocess::PreprocessConfig config) {
  spec.preprocess = std::move(config);
  return spec;
}

const Stopping kBic = Stopping::penalized(Penalty::bic());
const offline::PeltConfig kPeltNoParams{kBic, 0, 1000};
const std::string kConstraintsZero = "constraints.min_segment_len must be >= 1; got 0";

class ExecutionOrderTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ExecutionOrderTest, FirstFailingStepDecides) {
  const auto result = run(GetParam().spec);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), GetParam().error);
}

PipelineSpec inconsistent_with(preprocess::PreprocessConfig config) {
  PipelineSpec spec =
      spec_for(detector_with<offline::PeltConfig>(Stopping::known_k(1)), CostConfig::L2);
  spec.stopping = kBic;
  return with_preprocess(std::move(spec), std::move(config));
}

PipelineSpec online_spec() {
  PipelineSpec spec = spec_for(kPeltNoParams, CostConfig::L2);
  spec.detector = OnlineDetectorConfig{};
  return spec;
}

preprocess::PreprocessConfig bad_degree() {
  preprocess::PreprocessConfig config;
  config.detrend = preprocess::DetrendMethod::polynomial(5);
  return config;
}

preprocess::PreprocessConfig long_period() {
  preprocess::PreprocessConfig config;
  config.deseasonalize = preprocess::DeseasonalizeMethod::differencing(100);
  return config;
}

template <class T>
OvrelError error_of(const Result<T>& result) {
  if (result.has_value()) throw std::logic_error("the fixture expected an error");
  return result.error();
}

// The chain's own error on the test series: a step or the view over its output.
OvrelError preprocess_error(const preprocess::PreprocessConfig& config) {
  const auto cleaned = preprocess::PreprocessPipeline::create(config)->apply(view_of(kValues));
  if (!cleaned) return cleaned.error();
  return error_of(cleaned->as_view());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ExecutionOrderTest,
    ::testing::Values(
        // An online specification is refused before anything of it is looked at.
        ErrorCase{
            "OnlineFirst", online_spec(),
            OvrelError::invalid_input(
                "execute_pipeline only supports offline pipelines; received online pipeline")},
        ErrorCase{"ValidationBeforePreprocessing", inconsistent_with(bad_degree()),
                  OvrelError::invalid_input(
                      "offline pipeline has inconsistent stopping configuration for detector=pelt: "
                      "detector.stopping=KnownK(1), pipeline.stopping=Penalized(BIC)")},
        ErrorCase{"PreprocessConfigBeforeConstraints",
                  with_preprocess(with_min_segment_len(spec_for(kPeltNoParams, CostConfig::L2), 0),
                                  bad_degree()),
                  error_of(preprocess::PreprocessPipeline::create(bad_degree()))},
        ErrorCase{"PreprocessStepBeforeConstraints",
                  with_preprocess(with_min_segment_len(spec_for(kPeltNoParams, CostConfig::L2), 0),
                                  long_period()),
                  preprocess_error(long_period())},
        ErrorCase{"ConstraintsBeforeDetectorConfig",
                  with_min_segment_len(spec_for(kPeltNoParams, CostConfig::L2), 0),
                  OvrelError::invalid_input(kConstraintsZero)},
        ErrorCase{"ConstraintsAgainstN",
                  [] {
                    PipelineSpec spec = spec_for(kPeltNoParams, CostConfig::L2);
                    spec.constraints.candidate_splits = std::vector<std::size_t>{70};
                    return spec;
                  }(),
                  OvrelError::invalid_input("constraints.candidate_splits[0] must satisfy 0 < "
                                            "split < n; got split=70, n=60")},
        ErrorCase{"ConstraintsBeforeFpopCost",
                  with_min_segment_len(
                      spec_for(detector_with<offline::FpopConfig>(kBic), CostConfig::Rank), 0),
                  OvrelError::invalid_input(kConstraintsZero)},
        ErrorCase{"FpopNeedsL2", spec_for(offline::FpopConfig{kBic, 0, 1000}, CostConfig::Rank),
                  OvrelError::invalid_input("detector=fpop requires cost=l2")},
        ErrorCase{"FpopConfig", spec_for(offline::FpopConfig{kBic, 0, 1000}, CostConfig::L2),
                  OvrelError::invalid_input("FpopConfig.params_per_segment must be >= 1; got 0")},
        ErrorCase{"PeltConfig", spec_for(kPeltNoParams, CostConfig::Cosine),
                  OvrelError::invalid_input("PeltConfig.params_per_segment must be >= 1; got 0")},
        ErrorCase{
            "WbsConfig",
            spec_for(offline::WbsConfig{0, offline::WbsIntervalStrategy::Random, 0, kBic, 2, 1000},
                     CostConfig::Nig),
            OvrelError::invalid_input(
                "WbsConfig.num_intervals must be >= 1 when provided; got 0")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Execution, OnlineConfigurationNeverReachesTheDispatch) {
  EXPECT_EQ(run_offline_pipeline_with_config(view_of(kValues), OnlinePipelineConfig{},
                                             core::ReproMode::Balanced)
                .error(),
            OvrelError::invalid_input(
                "offline pipeline execution requires an offline detector configuration"));
}

TEST(Execution, DetectorReadsThePreprocessedSeries) {
  preprocess::PreprocessConfig config;
  config.robust_scale = preprocess::RobustScaleConfig{1e-9, 1.4826};
  config.detrend = preprocess::DetrendMethod::linear();
  const auto cleaned =
      preprocess::PreprocessPipeline::create(config)->apply(view_of(kValues)).value();
  const PipelineSpec plain = spec_for(detector_with<offline::PeltConfig>(kBic), CostConfig::L2);
  const auto expected = run(plain, *cleaned.as_view());
  ASSERT_TRUE(expected.has_value());
  expect_same_run(*run(with_preprocess(plain, config)), *expected);
}

TEST(Execution, IgnorePolicyWithoutMissingValuesRunsUnderTheErrorPolicy) {
  const PipelineSpec spec = spec_for(detector_with<offline::PeltConfig>(kBic), CostConfig::L2);
  const auto strict = run(spec);
  const auto relaxed = run(spec, view_of(kValues, core::MissingPolicy::Ignore));
  ASSERT_TRUE(relaxed.has_value()) << relaxed.error().display();
  expect_same_run(*relaxed, *strict);

  // A missing value keeps the Ignore policy, which the L2 model refuses.
  std::vector<double> holed = kValues;
  holed[10] = std::numeric_limits<double>::quiet_NaN();
  const core::TimeSeriesView x = view_of(holed, core::MissingPolicy::Ignore);
  const auto refused = run(spec, x);
  ASSERT_FALSE(refused.has_value());
  const offline::Pelt<costs::CostL2Mean> direct{
      std::get<offline::PeltConfig>(std::get<OfflineDetectorConfig>(spec.detector)),
      costs::CostL2Mean{}};
  EXPECT_EQ(refused.error(), direct.detect(x, core::ExecutionContext(spec.constraints)).error());
}

}  // namespace
}  // namespace ovrel::pipeline
