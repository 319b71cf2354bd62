#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
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
                             core::MissingPolicy policy = core::MissingPolicy::Error) {
  return *core::TimeSeriesView::from_f64(values, values.size() / 2, 2,
                                         core::MemoryLayout::c_contiguous(), std::nullopt,
                                         core::TimeIndex::none(), policy);
}

template <class Config>
OfflineDetectorConfig detector_with(Stopping stopping) {
  Config config;
  config.stopping = std::move(stopping);
  return config;
}

PipelineSpec spec_for(OfflineDetectorConfig detector, CostConfig cost,
                      std::size_t min_segment_len = 5,
                      std::optional<preprocess::PreprocessConfig> preprocess = std::nullopt) {
  PipelineSpec spec;
  spec.stopping = detector_stopping(detector);
  spec.detector = std::move(detector);
  spec.cost = cost;
  spec.constraints.min_segment_len = min_segment_len;
  spec.preprocess = std::move(preprocess);
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
  // Indexed by the cost's wire tag.
  const char* const model_names[] = {
      "ar",           "cosine", "l1_median", "l2_mean", "normal_mean_var", "normal_full_cov",
      "nig_marginal", "rank"};
  const Stopping two = Stopping::known_k(2);
  const std::vector<std::pair<OfflineDetectorConfig, const char*>> detectors = {
      {detector_with<offline::PeltConfig>(two), "pelt"},
      {detector_with<offline::BinSegConfig>(two), "binseg"},
      {detector_with<offline::FpopConfig>(two), "fpop"},
      {detector_with<offline::WbsConfig>(two), "wbs"},
      {detector_with<offline::DynpConfig>(two), "dynp"}};
  for (std::uint8_t tag = 0; tag < 8; ++tag) {
    const auto cost = static_cast<CostConfig>(tag);
    const char* const model_name = model_names[tag];
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
  std::string message;
};

class ExecutionOrderTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ExecutionOrderTest, FirstFailingStepDecides) {
  const auto result = run(GetParam().spec);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), OvrelError::invalid_input(GetParam().message));
}

const Stopping kBic = Stopping::penalized(Penalty::bic());
const offline::PeltConfig kPeltNoParams{kBic, 0, 1000};
const std::string kConstraintsZero = "constraints.min_segment_len must be >= 1; got 0";

// Chains of {detrend, deseasonalize, winsorize, robust_scale}.
const preprocess::PreprocessConfig kBadDegree{preprocess::DetrendMethod::polynomial(5), {}, {}, {}};
const preprocess::PreprocessConfig kLongPeriod{
    {}, preprocess::DeseasonalizeMethod::differencing(100), {}, {}};

PipelineSpec with(PipelineSpec spec, decltype(PipelineSpec::detector) detector, Stopping stopping) {
  spec.detector = std::move(detector);
  spec.stopping = std::move(stopping);
  return spec;
}

PipelineSpec splits_beyond_n() {
  PipelineSpec spec = spec_for(kPeltNoParams, CostConfig::L2);
  spec.constraints.candidate_splits = std::vector<std::size_t>{70};
  return spec;
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ExecutionOrderTest,
    ::testing::Values(
        // An online specification is refused before anything of it is looked at.
        ErrorCase{"OnlineFirst",
                  with(spec_for(kPeltNoParams, CostConfig::L2, 0), OnlineDetectorConfig{}, kBic),
                  "execute_pipeline only supports offline pipelines; received online pipeline"},
        ErrorCase{"ValidationBeforePreprocessing",
                  with(spec_for(kPeltNoParams, CostConfig::L2, 0, kBadDegree),
                       detector_with<offline::PeltConfig>(Stopping::known_k(1)), kBic),
                  "offline pipeline has inconsistent stopping configuration for detector=pelt: "
                  "detector.stopping=KnownK(1), pipeline.stopping=Penalized(BIC)"},
        ErrorCase{"PreprocessConfigBeforeConstraints",
                  spec_for(kPeltNoParams, CostConfig::L2, 0, kBadDegree),
                  "DetrendMethod::Polynomial degree must be in 1..=3, got 5"},
        ErrorCase{"PreprocessStepBeforeConstraints",
                  spec_for(kPeltNoParams, CostConfig::L2, 0, kLongPeriod),
                  "deseasonalize differencing requires period < n, got period=100, n=60"},
        ErrorCase{"ConstraintsBeforeDetectorConfig", spec_for(kPeltNoParams, CostConfig::L2, 0),
                  kConstraintsZero},
        ErrorCase{"ConstraintsAgainstN", splits_beyond_n(),
                  "constraints.candidate_splits[0] must satisfy 0 < split < n; got split=70, n=60"},
        ErrorCase{"ConstraintsBeforeFpopCost",
                  spec_for(detector_with<offline::FpopConfig>(kBic), CostConfig::Rank, 0),
                  kConstraintsZero},
        ErrorCase{"FpopNeedsL2", spec_for(offline::FpopConfig{kBic, 0, 1000}, CostConfig::Rank),
                  "detector=fpop requires cost=l2"},
        ErrorCase{"FpopConfig", spec_for(offline::FpopConfig{kBic, 0, 1000}, CostConfig::L2),
                  "FpopConfig.params_per_segment must be >= 1; got 0"},
        ErrorCase{"PeltConfig", spec_for(kPeltNoParams, CostConfig::Cosine),
                  "PeltConfig.params_per_segment must be >= 1; got 0"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Execution, OnlineConfigurationNeverReachesTheDispatch) {
  EXPECT_EQ(run_offline_pipeline_with_config(view_of(kValues), OnlinePipelineConfig{},
                                             core::ReproMode::Balanced)
                .error(),
            OvrelError::invalid_input(
                "offline pipeline execution requires an offline detector configuration"));
}

TEST(Execution, DetectorReadsThePreprocessedSeries) {
  const preprocess::PreprocessConfig config{
      preprocess::DetrendMethod::linear(), {}, {}, preprocess::RobustScaleConfig{1e-9, 1.4826}};
  const auto cleaned =
      preprocess::PreprocessPipeline::create(config)->apply(view_of(kValues)).value();
  PipelineSpec spec = spec_for(detector_with<offline::PeltConfig>(kBic), CostConfig::L2);
  const auto expected = run(spec, *cleaned.as_view());
  ASSERT_TRUE(expected.has_value());
  spec.preprocess = config;
  expect_same_run(*run(spec), *expected);
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
