#pragma once

// A declarative description of one detection run (detector and its settings, segment cost,
// constraints, stopping rule, optional preprocessing and seed) and its validation into the
// configuration the executor dispatches on. The Python pipeline dictionary is the only producer of
// a specification; the executor (execute.hpp) is its only consumer.
//
// The stopping rule is carried twice, inside the detector's configuration and at pipeline level;
// validation refuses a specification in which the two differ rather than preferring one.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/stopping.hpp"
#include "ovrel/offline/dispatch.hpp"
#include "ovrel/online/baseline.hpp"
#include "ovrel/online/bocpd.hpp"
#include "ovrel/preprocess/config.hpp"

namespace ovrel::pipeline {

// One alternative per offline detector; DynpConfig is the segment-neighbourhood programme.
using OfflineDetectorConfig = offline::OfflineDetectorConfig;

// "pelt", "binseg", "fpop", "wbs", "segneigh (dynp)": the detector's word in messages.
std::string_view detector_name(const OfflineDetectorConfig& detector) noexcept;
// The stopping rule held inside the detector's configuration.
const core::Stopping& detector_stopping(const OfflineDetectorConfig& detector) noexcept;
core::Stopping& detector_stopping(OfflineDetectorConfig& detector) noexcept;

// The segment cost model of a pipeline; the numbers are the tags of the wire form. None is valid
// only for an online detector.
enum class CostConfig : std::uint8_t {
  Ar = 0,
  Cosine = 1,
  L1Median = 2,
  L2 = 3,
  Normal = 4,
  NormalFullCov = 5,
  Nig = 6,
  Rank = 7,
  None = 8,
};

// The offline cost model a concrete pipeline cost runs; None has none.
constexpr std::optional<offline::CostKind> offline_cost_kind(CostConfig cost) noexcept {
  switch (cost) {
    case CostConfig::Ar:
      return offline::CostKind::Ar;
    case CostConfig::Cosine:
      return offline::CostKind::Cosine;
    case CostConfig::L1Median:
      return offline::CostKind::L1Median;
    case CostConfig::L2:
      return offline::CostKind::L2;
    case CostConfig::Normal:
      return offline::CostKind::Normal;
    case CostConfig::NormalFullCov:
      return offline::CostKind::NormalFullCov;
    case CostConfig::Nig:
      return offline::CostKind::Nig;
    case CostConfig::Rank:
      return offline::CostKind::Rank;
    case CostConfig::None:
      break;
  }
  return std::nullopt;
}

// Not the order of the BOCPD observation models; they are matched by name.
enum class OnlineObservationKind : std::uint8_t { Gaussian = 0, Bernoulli = 1, Poisson = 2 };

enum class OnlineDetectorKind : std::uint8_t { Bocpd = 0, Cusum = 1, PageHinkley = 2 };

// The online side of a specification: plain data.
struct OnlineDetectorConfig {
  OnlineDetectorKind kind = OnlineDetectorKind::Bocpd;
  OnlineObservationKind observation = OnlineObservationKind::Gaussian;  // Bocpd only
  std::size_t max_run_length = 0;                                       // Bocpd only

  friend bool operator==(const OnlineDetectorConfig&, const OnlineDetectorConfig&) = default;
};

using DetectorConfig = std::variant<OfflineDetectorConfig, OnlineDetectorConfig>;

// What the executor runs: copies of the constraints and the detector configuration (with the WBS
// seed possibly replaced) and a concrete cost. Preprocessing stays in the pipeline specification.
struct OfflinePipelineConfig {
  core::Constraints constraints;
  OfflineDetectorConfig detector;
  CostConfig cost = CostConfig::L2;
};

// The online configuration built from an online specification: the detectors' defaults with the
// specification's choices. No executor runs it; the online detectors validate it when built.
using OnlinePipelineConfig =
    std::variant<online::BocpdConfig, online::CusumConfig, online::PageHinkleyConfig>;

using PipelineConfig = std::variant<OfflinePipelineConfig, OnlinePipelineConfig>;

struct PipelineSpec {
  DetectorConfig detector;
  CostConfig cost = CostConfig::L2;
  core::Constraints constraints;
  // Required for offline detectors, forbidden for online ones.
  std::optional<core::Stopping> stopping;
  std::optional<preprocess::PreprocessConfig> preprocess;
  // Only WBS takes a seed.
  std::optional<std::uint64_t> seed;

  // Checks that the parts agree and builds the configuration; never changes the pipeline
  // specification. Offline: a concrete cost, then a pipeline stopping rule, then the two stopping
  // rules equal, then a seed only for WBS. Online: cost None, then no stopping rule. All
  // InvalidInput.
  Result<PipelineConfig> to_pipeline_config() const;
};

}  // namespace ovrel::pipeline
