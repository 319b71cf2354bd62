// Pipeline specifications: their checks and the executor's steps in order, the detector and cost
// model each runs (tests/data/pipeline_specs.txt), the parameters that reach them, and the online
// configurations they build.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/text.hpp"
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
const Stopping kBic = Stopping::penalized(Penalty::bic());

core::TimeSeriesView view_of(const std::vector<double>& values,
                             core::MissingPolicy policy = core::MissingPolicy::Error) {
  return *core::TimeSeriesView::from_f64(values, values.size() / 2, 2,
                                         core::MemoryLayout::c_contiguous(), std::nullopt,
                                         core::TimeIndex::none(), policy);
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

// A specification from a row of tests/data/pipeline_specs.txt.
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
  const std::string costs[] = {"ar",  "cosine", "l1_median", "l2", "normal", "normal_full_cov",
                               "nig", "rank",   "none"};
  const auto tag = std::find(std::begin(costs), std::end(costs), row.at(4)) - std::begin(costs);
  spec.cost = static_cast<CostConfig>(tag);
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
    if (option.starts_with("params=")) {
      std::visit(
          [&](auto& c) {
            if constexpr (requires { c.params_per_segment; }) c.params_per_segment = value;
          },
          detector);
    }
  }
  spec.detector = name == "online" ? DetectorConfig(OnlineDetectorConfig{}) : detector;
  return spec;
}

// What a row expects: "ok" for an accepted specification, "ok: <algorithm> <cost model>
// <breakpoints>" for a run, or the InvalidInput message.
template <class R>
std::string outcome(const R& r, const std::string& ok) {
  if (!r) {
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidInput);
    return r.error().message();
  }
  return ok;
}

TEST(Execution, SpecificationsInTheOrderOfTheChecks) {
  const auto rows = test_support::data_rows("pipeline_specs.txt");
  ASSERT_EQ(rows.size(), 60U);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.at(1) + " | " + row.at(4) + " | " + row.at(6));
    const PipelineSpec spec = spec_of(row);
    if (row.at(0) == "config") {
      EXPECT_EQ(outcome(spec.to_pipeline_config(), "ok"), row.at(6));
      continue;
    }
    const auto r = run(spec);
    EXPECT_EQ(
        outcome(r, r ? core::cat("ok: ", r->diagnostics.algorithm, " ", r->diagnostics.cost_model,
                                 " ", core::list_text(std::span(r->breakpoints)))
                     : ""),
        row.at(6));
  }
}

// The fixed model parameters, the configuration and the seed (replaced only when given) reach
// the detector: each run equals the detector built by hand.
TEST(Execution, ParametersReachTheDetector) {
  const core::TimeSeriesView x = view_of(kValues);
  core::Constraints constraints;
  constraints.min_segment_len = 5;
  const core::ExecutionContext ctx(constraints, core::ReproMode::Balanced);
  const offline::PeltConfig pelt{kBic, 2, 1000};

  const offline::Pelt<costs::CostNIGMarginal> nig{
      pelt,
      costs::CostNIGMarginal{costs::NIGPrior{0.0, 0.01, 1.0, 1.0}, core::ReproMode::Balanced}};
  expect_same_run(*run(spec_for(pelt, CostConfig::Nig)), *nig.detect(x, ctx));

  const offline::Pelt<costs::CostAR> ar{pelt, costs::CostAR{1, core::ReproMode::Balanced}};
  expect_same_run(*run(spec_for(pelt, CostConfig::Ar)), *ar.detect(x, ctx));

  offline::WbsConfig wbs{20, offline::WbsIntervalStrategy::Stratified, 42, kBic};
  PipelineSpec spec = spec_for(wbs, CostConfig::L2);
  for (const std::optional<std::uint64_t> seed : {std::optional<std::uint64_t>(7), {}}) {
    spec.seed = seed;
    wbs.seed = seed.value_or(42);
    expect_same_run(*run(spec), *offline::Wbs<costs::CostL2Mean>{wbs, {}}.detect(x, ctx));
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
  PipelineSpec spec = spec_for(offline::PeltConfig{kBic}, CostConfig::L2);
  const auto expected = run(spec, *cleaned.as_view());
  ASSERT_TRUE(expected.has_value());
  spec.preprocess = config;
  expect_same_run(*run(spec), *expected);
}

TEST(Execution, IgnorePolicyWithoutMissingValuesRunsUnderTheErrorPolicy) {
  const PipelineSpec spec = spec_for(offline::PeltConfig{kBic}, CostConfig::L2);
  const auto relaxed = run(spec, view_of(kValues, core::MissingPolicy::Ignore));
  ASSERT_TRUE(relaxed.has_value()) << relaxed.error().display();
  expect_same_run(*relaxed, *run(spec));

  // A missing value keeps the Ignore policy, which the L2 model refuses.
  std::vector<double> holed = kValues;
  holed[10] = std::numeric_limits<double>::quiet_NaN();
  const core::TimeSeriesView x = view_of(holed, core::MissingPolicy::Ignore);
  const offline::Pelt<costs::CostL2Mean> direct{offline::PeltConfig{kBic}, costs::CostL2Mean{}};
  EXPECT_EQ(run(spec, x).error(),
            direct.detect(x, core::ExecutionContext(spec.constraints)).error());
}

// An online specification builds the detector's defaults with its own choices; its constraints,
// preprocessing and seed are not carried over.
TEST(OnlineConfig, DefaultsWithTheSpecificationsChoices) {
  const auto bocpd = [](online::ObservationModel observation, std::uint64_t max_run_length) {
    return online::BocpdConfig{online::ConstantHazard{0.005},    -35.0,          observation,
                               online::LateDataPolicy::reject(), max_run_length, {0.5, 0.0, 0, 0}};
  };
  const online::AlertPolicy at_threshold{1.0, 0.0, 0, 0};
  using D = OnlineDetectorKind;
  using O = OnlineObservationKind;
  const std::pair<OnlineDetectorConfig, OnlinePipelineConfig> cases[] = {
      {{D::Bocpd, O::Poisson, 500}, bocpd(online::PoissonGamma{1.0, 1.0}, 500)},
      {{D::Bocpd, O::Gaussian, 7}, bocpd(online::GaussianNig{0.0, 1.0, 1.0, 1.0}, 7)},
      {{D::Bocpd, O::Bernoulli, 0}, bocpd(online::BernoulliBeta{1.0, 1.0}, 0)},
      {{D::Cusum, O::Poisson, 9},
       online::CusumConfig{0.0, 8.0, 0.0, at_threshold, online::LateDataPolicy::reject()}},
      {{D::PageHinkley, O::Gaussian, 0},
       online::PageHinkleyConfig{0.01, 8.0, 0.0, at_threshold, online::LateDataPolicy::reject()}}};
  for (const auto& [detector, expected] : cases) {
    PipelineSpec spec{detector, CostConfig::None, {}, std::nullopt, preprocess::PreprocessConfig{},
                      5};
    spec.constraints.min_segment_len = 0;
    const auto config = spec.to_pipeline_config();
    ASSERT_TRUE(config.has_value()) << config.error().display();
    EXPECT_TRUE(std::get<OnlinePipelineConfig>(*config) == expected);
  }
}

}  // namespace
}  // namespace ovrel::pipeline
