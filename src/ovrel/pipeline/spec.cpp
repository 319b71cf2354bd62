#include "ovrel/pipeline/spec.hpp"

#include <string>
#include <type_traits>
#include <utility>

#include "ovrel/core/text.hpp"

namespace ovrel::pipeline {

using core::cat;

std::string_view detector_name(const OfflineDetectorConfig& detector) noexcept {
  return std::visit(
      [](const auto& config) -> std::string_view {
        using T = std::decay_t<decltype(config)>;
        if constexpr (std::is_same_v<T, offline::PeltConfig>) return "pelt";
        if constexpr (std::is_same_v<T, offline::BinSegConfig>) return "binseg";
        if constexpr (std::is_same_v<T, offline::FpopConfig>) return "fpop";
        if constexpr (std::is_same_v<T, offline::WbsConfig>) return "wbs";
        if constexpr (std::is_same_v<T, offline::DynpConfig>) return "segneigh (dynp)";
      },
      detector);
}

const core::Stopping& detector_stopping(const OfflineDetectorConfig& detector) noexcept {
  return std::visit([](const auto& config) -> const core::Stopping& { return config.stopping; },
                    detector);
}

core::Stopping& detector_stopping(OfflineDetectorConfig& detector) noexcept {
  return std::visit([](auto& config) -> core::Stopping& { return config.stopping; }, detector);
}

namespace {

Result<PipelineConfig> offline_config(const PipelineSpec& spec,
                                      const OfflineDetectorConfig& detector) {
  if (spec.cost == CostConfig::None) {
    return core::invalid_input("offline pipeline requires a concrete offline cost");
  }
  if (!spec.stopping)
    return core::invalid_input("offline pipeline requires stopping configuration");
  const core::Stopping& own = detector_stopping(detector);
  // IEEE equality: Manual(0.0) equals Manual(-0.0), a NaN value equals nothing.
  if (!(own == *spec.stopping)) {
    return core::invalid_input(
        cat("offline pipeline has inconsistent stopping configuration for "
            "detector=",
            detector_name(detector), ": detector.stopping=", debug(own),
            ", pipeline.stopping=", debug(*spec.stopping)));
  }
  const bool is_wbs = std::holds_alternative<offline::WbsConfig>(detector);
  if (spec.seed && !is_wbs) {
    return core::invalid_input("offline pipeline seed is only supported for detector=wbs");
  }
  OfflinePipelineConfig config{spec.constraints, detector, spec.cost};
  if (spec.seed) std::get<offline::WbsConfig>(config.detector).seed = *spec.seed;
  return PipelineConfig{std::move(config)};
}

Result<PipelineConfig> online_config(const PipelineSpec& spec, const OnlineDetectorConfig&) {
  if (spec.cost != CostConfig::None) {
    return core::invalid_input("online pipeline must use CostConfig::None");
  }
  if (spec.stopping) {
    return core::invalid_input("online pipeline must not include stopping configuration");
  }
  return core::not_supported("online pipeline configurations are not available in this build");
}

}  // namespace

Result<PipelineConfig> PipelineSpec::to_pipeline_config() const {
  if (const auto* offline = std::get_if<OfflineDetectorConfig>(&detector)) {
    return offline_config(*this, *offline);
  }
  return online_config(*this, std::get<OnlineDetectorConfig>(detector));
}

}  // namespace ovrel::pipeline
