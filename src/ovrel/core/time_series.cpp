#include "ovrel/core/time_series.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "ovrel/core/text.hpp"

namespace ovrel::core {
namespace {

constexpr std::size_t kMaxSigned =
    static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());

// What one pass over the values finds: the first infinity, and the NaN count with its first
// position.
struct ValueScan {
  std::size_t inf_index = kNone;
  bool inf_negative = false;
  std::size_t nan_count = 0;
  std::size_t first_nan = kNone;
};

template <class T>
ValueScan scan_values(std::span<const T> values) noexcept {
  ValueScan scan;
  for (std::size_t p = 0; p < values.size(); ++p) {
    const T v = values[p];
    if (std::isinf(v)) {
      scan.inf_index = p;
      scan.inf_negative = v < 0;
      return scan;
    }
    if (std::isnan(v)) {
      if (scan.nan_count == 0) scan.first_nan = p;
      ++scan.nan_count;
    }
  }
  return scan;
}

template <class T>
std::size_t count_nan_unmasked(std::span<const T> values, std::span<const std::uint8_t> mask) {
  std::size_t count = 0;
  for (std::size_t p = 0; p < values.size(); ++p) {
    if (mask[p] == 0 && std::isnan(values[p])) ++count;
  }
  return count;
}

std::string mismatch(const char* what, std::size_t got, std::size_t expected, std::size_t n,
                     std::size_t d) {
  return cat(what, " length mismatch: got ", got, ", expected ", expected, " (n=", n, ", d=", d,
             ")");
}

}  // namespace

double ValueBuffer::at(std::size_t p) const {
  if (p >= size_) {
    throw InternalError(cat("value buffer read at position ", p, " of ", size_));
  }
  return type_ == ValueType::F64 ? f64_[p] : static_cast<double>(f32_[p]);
}

std::string MemoryLayout::text() const {
  switch (kind) {
    case LayoutKind::CContiguous:
      return "CContiguous";
    case LayoutKind::FContiguous:
      return "FContiguous";
    case LayoutKind::Strided:
      return cat("Strided { row_stride: ", row_stride, ", col_stride: ", col_stride, " }");
  }
  return "Unknown";
}

Result<TimeSeriesView> TimeSeriesView::create(
    ValueBuffer values, std::size_t n, std::size_t d, MemoryLayout layout,
    std::optional<std::span<const std::uint8_t>> missing_mask, TimeIndex time,
    MissingPolicy missing) {
  if (n == 0) return invalid_input("n must be >= 1");
  if (d == 0) return invalid_input("d must be >= 1");
  std::size_t element_count = 0;
  if (__builtin_mul_overflow(n, d, &element_count)) {
    return invalid_input("n*d overflow while validating shape");
  }
  if (values.size() != element_count) {
    return invalid_input(mismatch("value", values.size(), element_count, n, d));
  }

  const ValueScan scan =
      values.type() == ValueType::F64 ? scan_values(values.as_f64()) : scan_values(values.as_f32());
  if (scan.inf_index != kNone) {
    return invalid_input(cat("non-finite value encountered: index=", scan.inf_index,
                             ", value=", scan.inf_negative ? "-inf" : "+inf",
                             "; TimeSeriesView does not accept infinities"));
  }

  std::size_t mask_count = 0;
  std::size_t first_masked = kNone;
  std::size_t effective = scan.nan_count;
  if (missing_mask.has_value()) {
    const std::span<const std::uint8_t> mask = *missing_mask;
    if (mask.size() != element_count) {
      return invalid_input(mismatch("missing_mask", mask.size(), element_count, n, d));
    }
    for (std::size_t p = 0; p < mask.size(); ++p) {
      const std::uint8_t b = mask[p];
      if (b > 1) {
        return invalid_input(cat("missing_mask must contain only 0/1 bytes: index ", p, " has ",
                                 static_cast<unsigned>(b)));
      }
      if (b == 1) {
        if (mask_count == 0) first_masked = p;
        ++mask_count;
      }
    }
    // A NaN under a mask byte of 1 is one missing value, not two.
    const std::size_t nan_unmasked = scan.nan_count == 0 ? 0
                                     : values.type() == ValueType::F64
                                         ? count_nan_unmasked(values.as_f64(), mask)
                                         : count_nan_unmasked(values.as_f32(), mask);
    effective = mask_count + nan_unmasked;
  }

  if (missing == MissingPolicy::Error && effective > 0) {
    const std::size_t first = scan.first_nan < first_masked ? scan.first_nan : first_masked;
    return invalid_input(cat(
        "missing data encountered with MissingPolicy::Error: effective_missing_count=", effective,
        ", mask_missing_count=", mask_count, ", nan_missing_count=", scan.nan_count,
        ", first_missing_index=", first));
  }
  if (time.kind == TimeIndexKind::Uniform && time.dt_ns < 1) {
    return invalid_input(cat("Uniform time index requires dt_ns > 0, got ", time.dt_ns));
  }
  if (time.kind == TimeIndexKind::Explicit && time.times.size() != n) {
    return invalid_input(
        cat("Explicit time index length mismatch: got ", time.times.size(), ", expected n=", n));
  }
  if (layout.kind == LayoutKind::Strided && (layout.row_stride == 0 || layout.col_stride == 0)) {
    return invalid_input(cat("Strided layout requires non-zero strides: row_stride=",
                             layout.row_stride, ", col_stride=", layout.col_stride));
  }

  TimeSeriesView view;
  view.values_ = values;
  view.n_ = n;
  view.d_ = d;
  view.layout_ = layout;
  view.missing_mask_ = missing_mask;
  view.time_ = time;
  view.missing_ = missing;
  view.n_missing_ = effective;
  view.element_count_ = element_count;
  return view;
}

Result<TimeSeriesView> TimeSeriesView::from_f64(
    std::span<const double> values, std::size_t n, std::size_t d, MemoryLayout layout,
    std::optional<std::span<const std::uint8_t>> missing_mask, TimeIndex time,
    MissingPolicy missing) {
  return create(ValueBuffer::of_f64(values), n, d, layout, missing_mask, time, missing);
}

Position TimeSeriesView::locate(std::size_t t, std::size_t j) const noexcept {
  Position pos;
  switch (layout_.kind) {
    case LayoutKind::CContiguous:
    case LayoutKind::FContiguous: {
      const bool row_major = layout_.kind == LayoutKind::CContiguous;
      std::size_t scaled = 0;
      std::size_t index = 0;
      const bool overflow = row_major ? (__builtin_mul_overflow(t, d_, &scaled) ||
                                         __builtin_add_overflow(scaled, j, &index))
                                      : (__builtin_mul_overflow(j, n_, &scaled) ||
                                         __builtin_add_overflow(t, scaled, &index));
      if (overflow) {
        pos.fault = PositionFault::Overflow;
        return pos;
      }
      pos.index = index;
      if (index >= element_count_) pos.fault = PositionFault::OutOfBounds;
      return pos;
    }
    case LayoutKind::Strided: {
      if (t > kMaxSigned) {
        pos.fault = PositionFault::TimeIndexTooLarge;
        return pos;
      }
      if (j > kMaxSigned) {
        pos.fault = PositionFault::DimensionIndexTooLarge;
        return pos;
      }
      std::int64_t row = 0;
      std::int64_t col = 0;
      std::int64_t index = 0;
      if (__builtin_mul_overflow(static_cast<std::int64_t>(t), layout_.row_stride, &row) ||
          __builtin_mul_overflow(static_cast<std::int64_t>(j), layout_.col_stride, &col) ||
          __builtin_add_overflow(row, col, &index)) {
        pos.fault = PositionFault::Overflow;
        return pos;
      }
      pos.signed_index = index;
      if (index < 0) {
        pos.fault = PositionFault::Negative;
        return pos;
      }
      pos.index = static_cast<std::size_t>(index);
      if (pos.index >= element_count_) pos.fault = PositionFault::OutOfBounds;
      return pos;
    }
  }
  pos.fault = PositionFault::OutOfBounds;
  return pos;
}

bool TimeSeriesView::masked_at(std::size_t position) const {
  if (position >= element_count_) {
    throw InternalError(cat("missing mask read at position ", position, " of ", element_count_));
  }
  return missing_mask_.has_value() && (*missing_mask_)[position] != 0;
}

std::optional<ElementAccessor> TimeSeriesView::accessor() const noexcept {
  // A buffer this large cannot exist in memory; refusing it keeps every position a signed value.
  if (element_count_ == 0 || element_count_ > kMaxSigned) return std::nullopt;
  ElementAccessor acc;
  switch (layout_.kind) {
    case LayoutKind::CContiguous:
      acc.row_stride_ = static_cast<std::int64_t>(d_);
      acc.col_stride_ = 1;
      break;
    case LayoutKind::FContiguous:
      acc.row_stride_ = 1;
      acc.col_stride_ = static_cast<std::int64_t>(n_);
      break;
    case LayoutKind::Strided: {
      // t*row_stride + j*col_stride is linear in t and in j, so its extremes over the shape are at
      // the four corners: when the corners map inside the buffer, every element does, and no
      // partial sum of an in-shape element can overflow.
      const std::size_t corners_t[2] = {0, n_ - 1};
      const std::size_t corners_j[2] = {0, d_ - 1};
      for (std::size_t t : corners_t) {
        for (std::size_t j : corners_j) {
          if (!locate(t, j).ok()) return std::nullopt;
        }
      }
      acc.row_stride_ = layout_.row_stride;
      acc.col_stride_ = layout_.col_stride;
      break;
    }
  }
  acc.is_f64_ = values_.type_ == ValueType::F64;
  acc.f32_ = values_.f32_;
  acc.f64_ = values_.f64_;
  acc.mask_ = missing_mask_.has_value() ? missing_mask_->data() : nullptr;
  acc.n_ = n_;
  acc.d_ = d_;
  return acc;
}

void ElementAccessor::out_of_shape(std::size_t t, std::size_t j) const {
  throw InternalError(
      cat("element (", t, ", ", j, ") read outside the series shape (n=", n_, ", d=", d_, ")"));
}

void ElementAccessor::read_row(std::size_t t, std::span<double> out) const {
  if (out.size() != d_) {
    throw InternalError(cat("row buffer holds ", out.size(), " entries; expected d=", d_));
  }
  check(t, 0);
  for (std::size_t j = 0; j < d_; ++j) {
    const std::size_t p = position(t, j);
    out[j] = is_f64_ ? f64_[p] : static_cast<double>(f32_[p]);
  }
}

void ElementAccessor::read_column(std::size_t j, std::span<double> out) const {
  if (out.size() != n_) {
    throw InternalError(cat("column buffer holds ", out.size(), " entries; expected n=", n_));
  }
  check(0, j);
  for (std::size_t t = 0; t < n_; ++t) {
    const std::size_t p = position(t, j);
    out[t] = is_f64_ ? f64_[p] : static_cast<double>(f32_[p]);
  }
}

}  // namespace ovrel::core
