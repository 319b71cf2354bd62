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
  OfflinePipelineConfig config{
      .constraints = spec.constraints, .detector = detector, .cost = spec.cost};
  if (spec.seed) std::get<offline::WbsConfig>(config.detector).seed = *spec.seed;
  return PipelineConfig{std::move(config)};
}

online::ObservationModel observation_model(OnlineObservationKind kind) {
  switch (kind) {
    case OnlineObservationKind::Gaussian:
      return online::GaussianNig{.mu0 = 0.0, .kappa0 = 1.0, .alpha0 = 1.0, .beta0 = 1.0};
    case OnlineObservationKind::Bernoulli:
      return online::BernoulliBeta{.alpha = 1.0, .beta = 1.0};
    case OnlineObservationKind::Poisson:
      return online::PoissonGamma{.alpha = 1.0, .beta = 1.0};
  }
  throw InternalError("unknown online observation kind");
}

// CUSUM and Page-Hinkley alert when the statistic reaches its threshold (p_change 1).
constexpr online::AlertPolicy kThresholdAlert{
    .threshold = 1.0, .hysteresis = 0.0, .cooldown_steps = 0, .min_run_length = 0};

Result<PipelineConfig> online_config(const PipelineSpec& spec, const OnlineDetectorConfig& online) {
  if (spec.cost != CostConfig::None) {
    return core::invalid_input("online pipeline must use CostConfig::None");
  }
  if (spec.stopping) {
    return core::invalid_input("online pipeline must not include stopping configuration");
  }
  switch (online.kind) {
    case OnlineDetectorKind::Bocpd: {
      online::BocpdConfig config;
      config.observation = observation_model(online.observation);
      config.max_run_length = online.max_run_length;
      return PipelineConfig{OnlinePipelineConfig{std::move(config)}};
    }
    case OnlineDetectorKind::Cusum:
      return PipelineConfig{OnlinePipelineConfig{online::CusumConfig{
          .drift = 0.0,
          .threshold = 8.0,
          .target_mean = 0.0,
          .alert_policy = kThresholdAlert,
          .late_data_policy = online::LateDataPolicy::reject(),
      }}};
    case OnlineDetectorKind::PageHinkley:
      return PipelineConfig{OnlinePipelineConfig{online::PageHinkleyConfig{
          .delta = 0.01,
          .threshold = 8.0,
          .initial_mean = 0.0,
          .alert_policy = kThresholdAlert,
          .late_data_policy = online::LateDataPolicy::reject(),
      }}};
  }
  throw InternalError("unknown online detector kind");
}

}  // namespace

Result<PipelineConfig> PipelineSpec::to_pipeline_config() const {
  if (const auto* offline = std::get_if<OfflineDetectorConfig>(&detector)) {
    return offline_config(*this, *offline);
  }
  return online_config(*this, std::get<OnlineDetectorConfig>(detector));
}

}  // namespace ovrel::pipeline
