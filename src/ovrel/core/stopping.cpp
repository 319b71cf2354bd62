#include "ovrel/core/stopping.hpp"

#include <cmath>
#include <string>

#include "ovrel/core/text.hpp"

namespace ovrel::core {
namespace {

bool valid_manual(double v) noexcept { return std::isfinite(v) && v > 0.0; }

std::string manual_message(double v) {
  return cat("Penalty::Manual requires a finite value > 0.0; got ", v);
}

Status validate_penalty(const Penalty& penalty) {
  if (penalty.kind == PenaltyKind::Manual && !valid_manual(penalty.value)) {
    return invalid_input(manual_message(penalty.value));
  }
  return {};
}

}  // namespace

std::string debug(const Penalty& penalty) {
  switch (penalty.kind) {
    case PenaltyKind::BIC:
      return "BIC";
    case PenaltyKind::AIC:
      return "AIC";
    case PenaltyKind::Manual:
      return "Manual(" + debug(penalty.value) + ")";
  }
  return "Unknown";
}

std::string debug(const Stopping& stopping) {
  switch (stopping.kind) {
    case StoppingKind::KnownK:
      return cat("KnownK(", stopping.k, ")");
    case StoppingKind::Penalized:
      return "Penalized(" + debug(stopping.penalty) + ")";
    case StoppingKind::PenaltyPath: {
      std::string out = "PenaltyPath([";
      for (std::size_t i = 0; i < stopping.penalties.size(); ++i) {
        if (i > 0) out += ", ";
        out += debug(stopping.penalties[i]);
      }
      out += "])";
      return out;
    }
  }
  return "Unknown";
}

Status validate_stopping(const Stopping& stopping) {
  switch (stopping.kind) {
    case StoppingKind::KnownK:
      if (stopping.k == 0) return invalid_input("Stopping::KnownK requires k >= 1; got 0");
      return {};
    case StoppingKind::Penalized:
      return validate_penalty(stopping.penalty);
    case StoppingKind::PenaltyPath:
      if (stopping.penalties.empty()) {
        return invalid_input(
            "Stopping::PenaltyPath requires a non-empty penalty list; got length 0");
      }
      for (std::size_t i = 0; i < stopping.penalties.size(); ++i) {
        if (auto status = validate_penalty(stopping.penalties[i]); !status) {
          return invalid_input(
              cat("Stopping::PenaltyPath[", i, "] is invalid: ", status.error().display()));
        }
      }
      return {};
  }
  return {};
}

Result<double> penalty_value_from_effective_params(const Penalty& penalty, std::size_t n,
                                                   std::size_t effective_params) {
  OVREL_TRY(validate_penalty(penalty));
  if (n == 0) return invalid_input("penalty_value_from_effective_params requires n >= 1; got n=0");
  if (effective_params == 0) {
    return invalid_input(
        "penalty_value_from_effective_params requires effective_params >= 1; got 0");
  }
  const double params = static_cast<double>(effective_params);
  switch (penalty.kind) {
    case PenaltyKind::BIC:
      return params * std::log(static_cast<double>(n));
    case PenaltyKind::AIC:
      return params + params;
    case PenaltyKind::Manual:
      return penalty.value;
  }
  return penalty.value;
}

}  // namespace ovrel::core
