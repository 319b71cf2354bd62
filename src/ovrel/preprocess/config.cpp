#include "ovrel/preprocess/config.hpp"

#include <cmath>
#include <string>

#include "ovrel/core/text.hpp"

namespace ovrel::preprocess {

using core::cat;

std::string DetrendMethod::text() const {
  if (kind == Kind::Linear) return "Linear";
  return cat("Polynomial { degree: ", degree, " }");
}

Status PreprocessConfig::validate() const {
  if (detrend && detrend->kind == DetrendMethod::Kind::Polynomial &&
      (detrend->degree < 1 || detrend->degree > 3)) {
    return core::invalid_input(
        cat("DetrendMethod::Polynomial degree must be in 1..=3, got ", detrend->degree));
  }
  if (deseasonalize) {
    if (deseasonalize->kind == DeseasonalizeMethod::Kind::StlLike) {
      if (deseasonalize->period < 2) {
        return core::invalid_input(
            cat("Deseasonalize stl_like period must be >= 2, got ", deseasonalize->period));
      }
    } else if (deseasonalize->period < 1) {
      return core::invalid_input("Deseasonalize differencing period must be >= 1");
    }
  }
  if (winsorize) {
    const double lower = winsorize->lower_quantile;
    const double upper = winsorize->upper_quantile;
    if (!std::isfinite(lower) || !std::isfinite(upper)) {
      return core::invalid_input("Winsorize quantiles must be finite values");
    }
    if (!(lower >= 0.0) || !(upper <= 1.0)) {
      return core::invalid_input(
          cat("Winsorize quantiles must satisfy 0.0 <= lower <= upper <= 1.0, got lower=", lower,
              ", upper=", upper));
    }
    if (!(lower < upper)) {
      return core::invalid_input(cat(
          "Winsorize quantiles must satisfy lower < upper, got lower=", lower, ", upper=", upper));
    }
  }
  if (robust_scale) {
    const double eps = robust_scale->mad_epsilon;
    const double consistency = robust_scale->normal_consistency;
    if (!std::isfinite(eps) || !(eps > 0.0)) {
      return core::invalid_input(
          cat("Robust scaling mad_epsilon must be finite and > 0, got ", eps));
    }
    if (!std::isfinite(consistency) || !(consistency > 0.0)) {
      return core::invalid_input(
          cat("Robust scaling normal_consistency must be finite and > 0, got ", consistency));
    }
  }
  return {};
}

}  // namespace ovrel::preprocess
