#include "ovrel/preprocess/pipeline.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "ovrel/core/text.hpp"
#include "ovrel/preprocess/steps.hpp"

namespace ovrel::preprocess {

using core::cat;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The error for an element whose source position the view's layout cannot give.
core::OvrelError position_error(const core::TimeSeriesView& view, const core::Position& pos,
                                std::size_t t, std::size_t j) {
  const core::MemoryLayout& layout = view.layout();
  const bool strided = layout.kind == core::LayoutKind::Strided;
  switch (pos.fault) {
    case core::PositionFault::TimeIndexTooLarge:
      return core::OvrelError::invalid_input(
          cat("time index ", t, " does not fit in isize for strided preprocessing"));
    case core::PositionFault::DimensionIndexTooLarge:
      return core::OvrelError::invalid_input(
          cat("dimension index ", j, " does not fit in isize for strided preprocessing"));
    case core::PositionFault::Overflow:
      if (layout.kind == core::LayoutKind::CContiguous) {
        return core::OvrelError::invalid_input("C-layout index overflow in preprocessing");
      }
      if (layout.kind == core::LayoutKind::FContiguous) {
        return core::OvrelError::invalid_input("F-layout index overflow in preprocessing");
      }
      return core::OvrelError::invalid_input(cat("strided index overflow in preprocessing at t=", t,
                                                 ", j=", j, ", row_stride=", layout.row_stride,
                                                 ", col_stride=", layout.col_stride));
    case core::PositionFault::Negative:
      return core::OvrelError::invalid_input(
          cat("strided index became negative in preprocessing at t=", t, ", j=", j,
              ": idx=", pos.signed_index));
    case core::PositionFault::OutOfBounds:
    case core::PositionFault::None:
      break;
  }
  const std::string idx = strided ? cat(pos.signed_index) : cat(pos.index);
  return core::OvrelError::invalid_input(
      cat("source index out of bounds for preprocess input: idx=", idx,
          ", len=", view.values().size(), ", t=", t, ", j=", j, ", layout=", layout.text()));
}

// Copies the view into row-major double values and the matching missing mask.
Status flatten(const core::TimeSeriesView& view, std::vector<double>& values,
               std::vector<std::uint8_t>& mask) {
  const std::size_t n = view.n();
  const std::size_t d = view.d();
  std::size_t count = 0;
  if (__builtin_mul_overflow(n, d, &count)) {
    return core::invalid_input("n*d overflow while flattening preprocess input");
  }
  values.assign(count, kNaN);
  mask.assign(count, 0);

  const bool has_mask = view.missing_mask().has_value();
  if (const std::optional<core::ElementAccessor> acc = view.accessor()) {
    for (std::size_t t = 0; t < n; ++t) {
      const std::span<double> row(values.data() + t * d, d);
      acc->read_row(t, row);
      for (std::size_t j = 0; j < d; ++j) {
        if (std::isnan(row[j]) || (has_mask && acc->masked(t, j))) {
          row[j] = kNaN;
          mask[t * d + j] = 1;
        }
      }
    }
    return {};
  }
  // Some element of the shape falls outside the buffer: walk element by element so the first one
  // in row order is the one reported.
  for (std::size_t t = 0; t < n; ++t) {
    for (std::size_t j = 0; j < d; ++j) {
      const core::Position pos = view.locate(t, j);
      if (!pos.ok()) return std::unexpected(position_error(view, pos, t, j));
      const double v = view.value_at(pos.index);
      if (std::isnan(v) || view.masked_at(pos.index)) {
        mask[t * d + j] = 1;
      } else {
        values[t * d + j] = v;
      }
    }
  }
  return {};
}

}  // namespace

OwnedTimeIndex OwnedTimeIndex::copy_of(const core::TimeIndex& time) {
  OwnedTimeIndex owned;
  owned.kind = time.kind;
  if (time.kind == core::TimeIndexKind::Uniform) {
    owned.t0_ns = time.t0_ns;
    owned.dt_ns = time.dt_ns;
  } else if (time.kind == core::TimeIndexKind::Explicit) {
    owned.times.assign(time.times.begin(), time.times.end());
  }
  return owned;
}

core::TimeIndex OwnedTimeIndex::borrow() const noexcept {
  switch (kind) {
    case core::TimeIndexKind::Uniform:
      return core::TimeIndex::uniform(t0_ns, dt_ns);
    case core::TimeIndexKind::Explicit:
      return core::TimeIndex::explicit_times(times);
    case core::TimeIndexKind::None:
      break;
  }
  return core::TimeIndex::none();
}

Result<core::TimeSeriesView> PreprocessedSeries::as_view() const {
  std::optional<std::span<const std::uint8_t>> mask;
  if (std::find(missing_mask.begin(), missing_mask.end(), std::uint8_t{1}) != missing_mask.end()) {
    mask = std::span<const std::uint8_t>(missing_mask);
  }
  return core::TimeSeriesView::from_f64(values, n, d, core::MemoryLayout::c_contiguous(), mask,
                                        time.borrow(), missing);
}

Result<PreprocessPipeline> PreprocessPipeline::create(PreprocessConfig config) {
  OVREL_TRY(config.validate());
  return PreprocessPipeline(std::move(config));
}

Result<PreprocessedSeries> PreprocessPipeline::apply(const core::TimeSeriesView& view) const {
  PreprocessedSeries out;
  out.n = view.n();
  out.d = view.d();
  out.missing = view.missing();
  OVREL_TRY(flatten(view, out.values, out.missing_mask));

  const std::span<double> values(out.values);
  if (config_.detrend) {
    OVREL_TRY_ASSIGN(StepReport report, detrend(values, out.n, out.d, *config_.detrend));
    out.reports.push_back(std::move(report));
  }
  if (config_.deseasonalize) {
    OVREL_TRY_ASSIGN(StepReport report,
                     deseasonalize(values, out.n, out.d, *config_.deseasonalize));
    out.reports.push_back(std::move(report));
  }
  if (config_.winsorize) {
    out.reports.push_back(winsorize(values, out.n, out.d, *config_.winsorize));
  }
  if (config_.robust_scale) {
    OVREL_TRY_ASSIGN(StepReport report, robust_scale(values, out.n, out.d, *config_.robust_scale));
    out.reports.push_back(std::move(report));
  }
  out.time = OwnedTimeIndex::copy_of(view.time());
  return out;
}

}  // namespace ovrel::preprocess
