#pragma once

// When an offline detector stops adding change points: a known number of changes, one penalty,
// or a path of penalties (one segmentation each).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ovrel/core/error.hpp"

namespace ovrel::core {

enum class PenaltyKind : std::uint8_t { BIC, AIC, Manual };

// BIC (effective_params * ln n), AIC (2 * effective_params) or a manual value, which must be
// finite and > 0.0. Compared with IEEE semantics: Manual(0.0) == Manual(-0.0), NaN equals nothing.
struct Penalty {
  PenaltyKind kind = PenaltyKind::BIC;
  double value = 0.0;  // Manual only

  static constexpr Penalty bic() noexcept { return {PenaltyKind::BIC, 0.0}; }
  static constexpr Penalty aic() noexcept { return {PenaltyKind::AIC, 0.0}; }
  static constexpr Penalty manual(double value) noexcept { return {PenaltyKind::Manual, value}; }

  friend bool operator==(const Penalty& a, const Penalty& b) noexcept {
    return a.kind == b.kind && (a.kind != PenaltyKind::Manual || a.value == b.value);
  }
};

enum class StoppingKind : std::uint8_t { KnownK, Penalized, PenaltyPath };

// KnownK(k), Penalized(penalty) or PenaltyPath(penalties); compared variant by variant.
struct Stopping {
  StoppingKind kind = StoppingKind::Penalized;
  std::size_t k = 0;               // KnownK
  Penalty penalty;                 // Penalized
  std::vector<Penalty> penalties;  // PenaltyPath

  static Stopping known_k(std::size_t k) { return {StoppingKind::KnownK, k, {}, {}}; }
  static Stopping penalized(Penalty penalty) { return {StoppingKind::Penalized, 0, penalty, {}}; }
  static Stopping penalty_path(std::vector<Penalty> penalties) {
    return {StoppingKind::PenaltyPath, 0, {}, std::move(penalties)};
  }

  friend bool operator==(const Stopping& a, const Stopping& b) noexcept {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
      case StoppingKind::KnownK:
        return a.k == b.k;
      case StoppingKind::Penalized:
        return a.penalty == b.penalty;
      case StoppingKind::PenaltyPath:
        return a.penalties == b.penalties;
    }
    return false;
  }
};

// "BIC", "AIC", "Manual(10.0)" (the value in the debug float text).
std::string debug(const Penalty& penalty);
// "KnownK(3)", "Penalized(BIC)", "PenaltyPath([BIC, AIC, Manual(2.5)])".
std::string debug(const Stopping& stopping);

// k >= 1; a manual penalty finite and > 0.0; a non-empty path of valid penalties.
Status validate_stopping(const Stopping& stopping);

// The numeric penalty for a series of n positions and a segment model with effective_params free
// parameters. Refuses an invalid manual value, n == 0 and effective_params == 0 (in that order).
Result<double> penalty_value_from_effective_params(const Penalty& penalty, std::size_t n,
                                                   std::size_t effective_params);

}  // namespace ovrel::core
