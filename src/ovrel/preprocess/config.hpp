#pragma once

// The preprocessing chain's configuration: which of the four steps run, with which settings, and
// the checks that make a configuration safe to run.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ovrel/core/error.hpp"

namespace ovrel::preprocess {

struct DetrendMethod {
  enum class Kind : std::uint8_t { Linear, Polynomial };

  Kind kind = Kind::Linear;
  std::size_t degree = 0;  // read only for Polynomial

  static DetrendMethod linear() { return {Kind::Linear, 0}; }
  static DetrendMethod polynomial(std::size_t degree) { return {Kind::Polynomial, degree}; }

  // "Linear" or "Polynomial { degree: 2 }", as it appears in the step report.
  std::string text() const;

  friend bool operator==(const DetrendMethod& a, const DetrendMethod& b) {
    return a.kind == b.kind && (a.kind == Kind::Linear || a.degree == b.degree);
  }
};

struct DeseasonalizeMethod {
  enum class Kind : std::uint8_t { Differencing, StlLike };

  Kind kind = Kind::Differencing;
  std::size_t period = 0;

  static DeseasonalizeMethod differencing(std::size_t period) {
    return {Kind::Differencing, period};
  }
  static DeseasonalizeMethod stl_like(std::size_t period) { return {Kind::StlLike, period}; }

  friend bool operator==(const DeseasonalizeMethod&, const DeseasonalizeMethod&) = default;
};

struct WinsorizeConfig {
  double lower_quantile = 0.0;
  double upper_quantile = 0.0;

  friend bool operator==(const WinsorizeConfig&, const WinsorizeConfig&) = default;
};

struct RobustScaleConfig {
  double mad_epsilon = 0.0;
  double normal_consistency = 0.0;

  friend bool operator==(const RobustScaleConfig&, const RobustScaleConfig&) = default;
};

// Each step is absent when it is not wanted; present steps always run in the order of the fields.
struct PreprocessConfig {
  std::optional<DetrendMethod> detrend;
  std::optional<DeseasonalizeMethod> deseasonalize;
  std::optional<WinsorizeConfig> winsorize;
  std::optional<RobustScaleConfig> robust_scale;

  // The checks PreprocessPipeline::create applies, in step order; the first failure is returned.
  Status validate() const;

  friend bool operator==(const PreprocessConfig&, const PreprocessConfig&) = default;
};

// What one step did: its name ("detrend", "deseasonalize", "winsorize", "robust_scale") and its
// details (one entry for every step of the chain).
struct StepReport {
  std::string name;
  std::vector<std::string> details;

  friend bool operator==(const StepReport&, const StepReport&) = default;
};

}  // namespace ovrel::preprocess
