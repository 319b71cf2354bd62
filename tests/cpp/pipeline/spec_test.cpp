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

TEST(OfflineConfig, PipelineSeedReplacesTheWbsSeedOnlyWhenGiven) {
  offline::WbsConfig wbs;
  wbs.stopping = kBic;
  wbs.seed = 42;
  for (const auto& [seed, expected] :
       std::vector<std::pair<std::optional<std::uint64_t>, std::uint64_t>>{{7, 7},
                                                                           {std::nullopt, 42}}) {
    PipelineSpec spec;
    spec.detector = wbs;
    spec.stopping = kBic;
    spec.seed = seed;
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
