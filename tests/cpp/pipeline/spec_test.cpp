#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ovrel/core/error.hpp"
#include "ovrel/core/stopping.hpp"
#include "ovrel/pipeline/spec.hpp"

namespace ovrel::pipeline {
namespace {

using core::Penalty;
using core::Stopping;

const Stopping kBic = Stopping::penalized(Penalty::bic());

Stopping manual(double value) { return Stopping::penalized(Penalty::manual(value)); }

template <class Config>
OfflineDetectorConfig with_stopping(Stopping stopping) {
  Config config;
  config.stopping = std::move(stopping);
  return config;
}

PipelineSpec offline_spec(OfflineDetectorConfig detector, std::optional<Stopping> stopping,
                          CostConfig cost = CostConfig::L2,
                          std::optional<std::uint64_t> seed = std::nullopt) {
  PipelineSpec spec;
  spec.detector = std::move(detector);
  spec.cost = cost;
  spec.stopping = std::move(stopping);
  spec.seed = seed;
  return spec;
}

std::string inconsistent(const std::string& name, const std::string& own,
                         const std::string& pipeline) {
  return "offline pipeline has inconsistent stopping configuration for detector=" + name +
         ": detector.stopping=" + own + ", pipeline.stopping=" + pipeline;
}

PipelineSpec online_spec(CostConfig cost, std::optional<Stopping> stopping) {
  PipelineSpec spec;
  spec.detector = OnlineDetectorConfig{};
  spec.cost = cost;
  spec.stopping = std::move(stopping);
  return spec;
}

struct RefusalCase {
  const char* name;
  PipelineSpec spec;
  std::string message;
};

class RefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RefusalTest, FirstFailingCheckDecides) {
  const auto config = GetParam().spec.to_pipeline_config();
  ASSERT_FALSE(config.has_value());
  EXPECT_EQ(config.error(), OvrelError::invalid_input(GetParam().message));
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const Stopping kPath = Stopping::penalty_path({Penalty::bic(), Penalty::aic()});

INSTANTIATE_TEST_SUITE_P(
    Checks, RefusalTest,
    ::testing::Values(
        RefusalCase{"CostNoneBeforeMissingStopping",
                    offline_spec(offline::PeltConfig{}, std::nullopt, CostConfig::None),
                    "offline pipeline requires a concrete offline cost"},
        RefusalCase{"MissingStopping", offline_spec(offline::PeltConfig{}, std::nullopt),
                    "offline pipeline requires stopping configuration"},
        RefusalCase{"PeltManualAgainstBic",
                    offline_spec(with_stopping<offline::PeltConfig>(manual(2.0)), kBic),
                    inconsistent("pelt", "Penalized(Manual(2.0))", "Penalized(BIC)")},
        RefusalCase{"PeltBicAgainstKnownK",
                    offline_spec(with_stopping<offline::PeltConfig>(kBic), Stopping::known_k(2)),
                    inconsistent("pelt", "Penalized(BIC)", "KnownK(2)")},
        RefusalCase{"BinSegKnownKAgainstBic",
                    offline_spec(with_stopping<offline::BinSegConfig>(Stopping::known_k(1)), kBic),
                    inconsistent("binseg", "KnownK(1)", "Penalized(BIC)")},
        RefusalCase{"FpopNaNEqualsNothing",
                    offline_spec(with_stopping<offline::FpopConfig>(manual(kNaN)), manual(kNaN)),
                    inconsistent("fpop", "Penalized(Manual(NaN))", "Penalized(Manual(NaN))")},
        RefusalCase{"WbsExponentTexts",
                    offline_spec(with_stopping<offline::WbsConfig>(manual(1e-5)), manual(1.5e16)),
                    inconsistent("wbs", "Penalized(Manual(1e-5))", "Penalized(Manual(1.5e16))")},
        RefusalCase{
            "PathOrderMatters",
            offline_spec(with_stopping<offline::DynpConfig>(kPath),
                         Stopping::penalty_path({Penalty::aic(), Penalty::bic()})),
            inconsistent("segneigh (dynp)", "PenaltyPath([BIC, AIC])", "PenaltyPath([AIC, BIC])")},
        RefusalCase{
            "PathLengthMatters",
            offline_spec(with_stopping<offline::DynpConfig>(kPath),
                         Stopping::penalty_path({Penalty::bic()})),
            inconsistent("segneigh (dynp)", "PenaltyPath([BIC, AIC])", "PenaltyPath([BIC])")},
        RefusalCase{"SeedOutsideWbs",
                    offline_spec(offline::DynpConfig{}, Stopping::known_k(1), CostConfig::Rank, 3),
                    "offline pipeline seed is only supported for detector=wbs"},
        RefusalCase{"StoppingBeforeSeed",
                    offline_spec(offline::DynpConfig{}, Stopping::known_k(2), CostConfig::Rank, 3),
                    inconsistent("segneigh (dynp)", "KnownK(1)", "KnownK(2)")},
        RefusalCase{"OnlineCostBeforeStopping", online_spec(CostConfig::L2, kBic),
                    "online pipeline must use CostConfig::None"},
        RefusalCase{"OnlineStopping", online_spec(CostConfig::None, kBic),
                    "online pipeline must not include stopping configuration"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OfflineConfig, EqualRulesUnderIeeeComparisonPass) {
  for (const auto& [own, pipeline] : std::vector<std::pair<Stopping, Stopping>>{
           {manual(0.0), manual(-0.0)}, {manual(2.0), manual(2.0)}, {kPath, kPath}}) {
    const auto config =
        offline_spec(with_stopping<offline::PeltConfig>(own), pipeline).to_pipeline_config();
    EXPECT_TRUE(config.has_value()) << debug(own);
  }
}

TEST(OfflineConfig, PipelineSeedReplacesTheWbsSeedOnlyWhenGiven) {
  offline::WbsConfig wbs;
  wbs.stopping = kBic;
  wbs.seed = 42;
  for (const auto& [seed, expected] :
       std::vector<std::pair<std::optional<std::uint64_t>, std::uint64_t>>{{7, 7},
                                                                           {std::nullopt, 42}}) {
    const PipelineSpec spec = offline_spec(wbs, kBic, CostConfig::L2, seed);
    const auto config = spec.to_pipeline_config();
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(std::get<offline::WbsConfig>(std::get<OfflinePipelineConfig>(*config).detector).seed,
              expected);
    // The pipeline specification itself keeps its own seed.
    EXPECT_EQ(std::get<offline::WbsConfig>(std::get<OfflineDetectorConfig>(spec.detector)).seed,
              42U);
  }
}

struct OnlineCase {
  const char* name;
  OnlineDetectorConfig detector;
  OnlinePipelineConfig expected;
};

class OnlineDefaultsTest : public ::testing::TestWithParam<OnlineCase> {};

// Constraints, preprocessing and a seed of an online specification are not carried over.
TEST_P(OnlineDefaultsTest, DefaultsWithTheSpecificationsChoices) {
  PipelineSpec spec;
  spec.detector = GetParam().detector;
  spec.cost = CostConfig::None;
  spec.constraints.min_segment_len = 0;
  spec.preprocess = preprocess::PreprocessConfig{};
  spec.seed = 5;
  const auto config = spec.to_pipeline_config();
  ASSERT_TRUE(config.has_value()) << config.error().display();
  EXPECT_TRUE(std::get<OnlinePipelineConfig>(*config) == GetParam().expected);
}

online::BocpdConfig bocpd_with(online::ObservationModel observation, std::uint64_t max_run_length) {
  return {online::ConstantHazard{0.005},    -35.0,          observation,
          online::LateDataPolicy::reject(), max_run_length, online::AlertPolicy{0.5, 0.0, 0, 0}};
}

constexpr online::AlertPolicy kAtThreshold{1.0, 0.0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Kinds, OnlineDefaultsTest,
    ::testing::Values(OnlineCase{"BocpdPoisson",
                                 {OnlineDetectorKind::Bocpd, OnlineObservationKind::Poisson, 500},
                                 bocpd_with(online::PoissonGamma{1.0, 1.0}, 500)},
                      OnlineCase{"BocpdGaussian",
                                 {OnlineDetectorKind::Bocpd, OnlineObservationKind::Gaussian, 7},
                                 bocpd_with(online::GaussianNig{0.0, 1.0, 1.0, 1.0}, 7)},
                      OnlineCase{"BocpdBernoulli",
                                 {OnlineDetectorKind::Bocpd, OnlineObservationKind::Bernoulli, 0},
                                 bocpd_with(online::BernoulliBeta{1.0, 1.0}, 0)},
                      OnlineCase{"Cusum",
                                 {OnlineDetectorKind::Cusum, OnlineObservationKind::Poisson, 9},
                                 online::CusumConfig{0.0, 8.0, 0.0, kAtThreshold,
                                                     online::LateDataPolicy::reject()}},
                      OnlineCase{
                          "PageHinkley",
                          {OnlineDetectorKind::PageHinkley, OnlineObservationKind::Gaussian, 0},
                          online::PageHinkleyConfig{0.01, 8.0, 0.0, kAtThreshold,
                                                    online::LateDataPolicy::reject()}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ovrel::pipeline
