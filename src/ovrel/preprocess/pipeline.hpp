#pragma once

// The validated preprocessing chain and the owned series it produces. A pipeline copies a view
// into an owned row-major double series and runs the configured steps on it in the fixed order
// detrend, deseasonalize, winsorize, robust_scale; detectors then read that series through
// `PreprocessedSeries::as_view`.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ovrel/core/error.hpp"
#include "ovrel/core/missing.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/preprocess/config.hpp"

namespace ovrel::preprocess {

// A view's time index with an explicit stamp list copied, so it outlives the view.
struct OwnedTimeIndex {
  core::TimeIndexKind kind = core::TimeIndexKind::None;
  std::int64_t t0_ns = 0;           // Uniform only
  std::int64_t dt_ns = 0;           // Uniform only
  std::vector<std::int64_t> times;  // Explicit only

  static OwnedTimeIndex copy_of(const core::TimeIndex& time);
  // Borrows `times`; valid while this value lives and is not changed.
  core::TimeIndex borrow() const noexcept;

  friend bool operator==(const OwnedTimeIndex&, const OwnedTimeIndex&) = default;
};

struct PreprocessedSeries {
  // n*d values, row-major (row t, dimension j at t*d + j); NaN marks a missing value.
  std::vector<double> values;
  // n*d bytes in the same order, 1 where the input value was missing; steps leave it unchanged.
  std::vector<std::uint8_t> missing_mask;
  // One per configured step, in step order.
  std::vector<StepReport> reports;
  OwnedTimeIndex time;
  std::size_t n = 0;
  std::size_t d = 0;
  core::MissingPolicy missing = core::MissingPolicy::Error;

  // A C-contiguous view borrowing this series (the mask only when it marks something), validated
  // again by the view itself, so under MissingPolicy::Error any NaN, from the input or produced by
  // a step, is refused here. The view must not outlive this series.
  Result<core::TimeSeriesView> as_view() const;
};

class PreprocessPipeline {
 public:
  // Validates the configuration (PreprocessConfig::validate).
  static Result<PreprocessPipeline> create(PreprocessConfig config);

  const PreprocessConfig& config() const noexcept { return config_; }

  // Copies the view (any layout, float or double) and runs the configured steps; the view is not
  // changed. Any failure discards the whole result.
  Result<PreprocessedSeries> apply(const core::TimeSeriesView& view) const;

 private:
  explicit PreprocessPipeline(PreprocessConfig config) : config_(std::move(config)) {}

  PreprocessConfig config_;
};

}  // namespace ovrel::preprocess
