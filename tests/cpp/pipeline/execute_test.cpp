#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <sstream>
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
#include "test_data.hpp"

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

const Stopping kBic = Stopping::penalized(Penalty::bic());

Stopping stopping_of(const std::string& text) {
  if (text == "Penalized(BIC)") return kBic;
  if (text.starts_with("KnownK(")) return Stopping::known_k(std::stoul(text.substr(7)));
  if (text.starts_with("Penalized(Manual(")) {
    return Stopping::penalized(Penalty::manual(std::stod(text.substr(17))));
  }
  std::istringstream names(text.substr(13));  // PenaltyPath([BIC, AIC])
  std::vector<Penalty> path;
  for (std::string name; names >> name;) {
    path.push_back(name.starts_with("BIC") ? Penalty::bic() : Penalty::aic());
  }
  return Stopping::penalty_path(path);
}

// A specification from a row of tests/data/pipeline_refusals.txt.
PipelineSpec spec_of(const std::vector<std::string>& row) {
  const std::string& name = row.at(1);
  const std::map<std::string, OfflineDetectorConfig> detectors{
      {"pelt", offline::PeltConfig{}}, {"binseg", offline::BinSegConfig{}},
      {"fpop", offline::FpopConfig{}}, {"wbs", offline::WbsConfig{}},
      {"dynp", offline::DynpConfig{}}, {"online", offline::PeltConfig{}}};
  OfflineDetectorConfig detector = detectors.at(name);
  if (row.at(2) != "default") detector_stopping(detector) = stopping_of(row.at(2));
  PipelineSpec spec;
  if (row.at(3) != "none") spec.stopping = stopping_of(row.at(3));
  const std::string& cost = row.at(4);
  spec.cost = cost == "none"     ? CostConfig::None
              : cost == "rank"   ? CostConfig::Rank
              : cost == "cosine" ? CostConfig::Cosine
                                 : CostConfig::L2;
  spec.constraints.min_segment_len = 5;
  std::istringstream options(row.at(5));
  for (std::string option; options >> option && option != "-";) {
    const std::size_t value = std::stoul(option.substr(option.find('=') + 1));
    if (option.starts_with("seed=")) spec.seed = value;
    if (option.starts_with("min=")) spec.constraints.min_segment_len = value;
    if (option.starts_with("split=")) spec.constraints.candidate_splits = {{value}};
    if (option.starts_with("degree=")) {
      spec.preprocess = {preprocess::DetrendMethod::polynomial(value), {}, {}, {}};
    }
    if (option.starts_with("period=")) {
      spec.preprocess = {{}, preprocess::DeseasonalizeMethod::differencing(value), {}, {}};
    }
    const bool params = option.starts_with("params=");
    if (auto* pelt = std::get_if<offline::PeltConfig>(&detector); pelt && params) {
      pelt->params_per_segment = value;
    }
    if (auto* fpop = std::get_if<offline::FpopConfig>(&detector); fpop && params) {
      fpop->params_per_segment = value;
    }
  }
  spec.detector = name == "online" ? DetectorConfig(OnlineDetectorConfig{}) : detector;
  return spec;
}

// The first failing check decides, in the pipeline specification and in the executor's steps.
TEST(Execution, RefusalsInTheOrderOfTheChecks) {
  const auto rows = test_support::data_rows("pipeline_refusals.txt");
  ASSERT_EQ(rows.size(), 26U);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.at(2) + " | " + row.at(3) + " | " + row.at(6));
    const PipelineSpec spec = spec_of(row);
    const auto expect = [&](const auto& r) {
      if (row.at(6) == "ok") {
        EXPECT_TRUE(r.has_value()) << r.error().display();
      } else {
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error(), OvrelError::invalid_input(row.at(6)));
      }
    };
    if (row.at(0) == "config") {
      expect(spec.to_pipeline_config());
    } else {
      expect(run(spec));
    }
  }
}

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
