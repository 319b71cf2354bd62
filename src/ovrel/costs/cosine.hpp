#pragma once

// Cosine cost: rows are scaled to unit length and a segment of m rows costs m minus the length of
// the sum of its unit rows, the sum over its rows of one minus their cosine similarity to the
// segment's mean direction. Magnitudes play no part.

#include <cmath>
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/missing.hpp"
#include "ovrel/core/repro.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/costs/model.hpp"

namespace ovrel::costs {

// Euclidean length accumulated component by component without overflow or underflow in the
// squares: the length is scale * sqrt(ssq). Components equal to 0 are skipped.
class ScaledNorm {
 public:
  void add(double v) {
    if (v == 0.0) return;
    const double a = std::fabs(v);
    if (scale_ < a) {
      const double r = scale_ == 0.0 ? 0.0 : scale_ / a;
      ssq_ = r * (ssq_ * r) + 1.0;
      scale_ = a;
    } else {
      const double q = a / scale_;
      ssq_ = ssq_ + q * q;
    }
    seen_ = true;
  }
  double value() const { return seen_ ? scale_ * std::sqrt(ssq_) : 0.0; }

 private:
  double scale_ = 0.0;
  double ssq_ = 1.0;
  bool seen_ = false;
};

struct CosineCache {
  // Prefix sums of the unit rows, d blocks of n + 1 entries; entry (t, j) at j * (n + 1) + t.
  std::vector<double> prefix_unit_sum;
  std::size_t n = 0;
  std::size_t d = 0;
};

class CostCosine {
 public:
  using Cache = CosineCache;

  core::ReproMode repro_mode = core::ReproMode::Balanced;

  static constexpr std::string_view name() { return "cosine"; }
  static constexpr core::MissingSupport missing_support() { return core::MissingSupport::Reject; }

  // The shared checks, then every value finite (row by row, the first offender reported).
  core::Status validate(const core::TimeSeriesView& x) const;
  core::Result<CosineCache> precompute(const core::TimeSeriesView& x,
                                       const core::CachePolicy& policy) const;
  // d + 1; empty on overflow.
  std::optional<std::size_t> penalty_effective_params(std::size_t d) const;

  double segment_cost(const CosineCache& cache, std::size_t start, std::size_t end) const {
    check_segment(start, end, cache.n);
    const std::size_t stride = cache.n + 1;
    const double* table = cache.prefix_unit_sum.data();
    ScaledNorm norm;
    for (std::size_t j = 0, base = 0; j < cache.d; ++j, base += stride) {
      norm.add(range_sum(table, base, start, end));
    }
    const double cost = static_cast<double>(end - start) - norm.value();
    // Rounding below zero and -0 give +0; NaN is kept for the detector to refuse.
    if (cost > 0.0 || std::isnan(cost)) return cost;
    return 0.0;
  }
};

}  // namespace ovrel::costs
