#pragma once

// The borrowed, validated n-by-d series every detector, cost model and preprocessing step reads.
//
// A view owns nothing: it refers to the caller's values, mask and time stamps, which must outlive
// it and stay unchanged while it is used. It is cheap to copy. Its fields can only be set by
// `create`, so the invariants checked there (value and mask lengths equal n*d, no infinity, the
// missing count) hold for the life of the view.
//
// Reading element (t, j) always goes through `locate`, the one checked position computation for
// every layout; it refuses overflow, negative positions and positions at or beyond n*d, so a view
// never leads a reader outside its buffer even when its strides do not fit its shape. Readers map
// a refused position to their own message. Hot loops use an `ElementAccessor`, which proves once
// that every (t, j) of the view maps inside the buffer and then reads without per-element
// arithmetic checks.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "ovrel/core/error.hpp"
#include "ovrel/core/missing.hpp"

namespace ovrel::core {

enum class ValueType : std::uint8_t { F32, F64 };

// The borrowed numbers of a series: float or double. Readers widen float to double.
class ValueBuffer {
 public:
  static ValueBuffer of_f32(std::span<const float> values) noexcept {
    return ValueBuffer(ValueType::F32, values.data(), nullptr, values.size());
  }
  static ValueBuffer of_f64(std::span<const double> values) noexcept {
    return ValueBuffer(ValueType::F64, nullptr, values.data(), values.size());
  }

  ValueType type() const noexcept { return type_; }
  std::size_t size() const noexcept { return size_; }
  // Empty when the buffer holds the other type.
  std::span<const float> as_f32() const noexcept {
    if (type_ != ValueType::F32) return {};
    return std::span<const float>(f32_, size_);
  }
  std::span<const double> as_f64() const noexcept {
    if (type_ != ValueType::F64) return {};
    return std::span<const double>(f64_, size_);
  }
  // The value at buffer position p, as a double. A position at or beyond size() is a bug of the
  // caller and throws InternalError instead of reading.
  double at(std::size_t p) const;

 private:
  friend class TimeSeriesView;
  ValueBuffer(ValueType type, const float* f32, const double* f64, std::size_t size) noexcept
      : type_(type), f32_(f32), f64_(f64), size_(size) {}

  ValueType type_;
  const float* f32_;
  const double* f64_;
  std::size_t size_;
};

enum class LayoutKind : std::uint8_t { CContiguous, FContiguous, Strided };

// How element (t, j) maps to a buffer position: C t*d + j, F t + j*n, strided
// t*row_stride + j*col_stride (signed, in elements, no base offset).
struct MemoryLayout {
  LayoutKind kind = LayoutKind::CContiguous;
  // Meaningful only for Strided.
  std::int64_t row_stride = 0;
  std::int64_t col_stride = 0;

  static constexpr MemoryLayout c_contiguous() noexcept { return {LayoutKind::CContiguous, 0, 0}; }
  static constexpr MemoryLayout f_contiguous() noexcept { return {LayoutKind::FContiguous, 0, 0}; }
  static constexpr MemoryLayout strided(std::int64_t row_stride, std::int64_t col_stride) noexcept {
    return {LayoutKind::Strided, row_stride, col_stride};
  }

  // "CContiguous", "FContiguous", "Strided { row_stride: R, col_stride: C }".
  std::string text() const;

  friend bool operator==(const MemoryLayout& a, const MemoryLayout& b) noexcept {
    if (a.kind != b.kind) return false;
    return a.kind != LayoutKind::Strided ||
           (a.row_stride == b.row_stride && a.col_stride == b.col_stride);
  }
};

enum class TimeIndexKind : std::uint8_t { None, Uniform, Explicit };

// The time axis in signed nanoseconds: none, uniform (step t at t0_ns + t*dt_ns, dt_ns >= 1) or an
// explicit borrowed list of n stamps (order and uniqueness unchecked).
struct TimeIndex {
  TimeIndexKind kind = TimeIndexKind::None;
  std::int64_t t0_ns = 0;               // Uniform only
  std::int64_t dt_ns = 0;               // Uniform only
  std::span<const std::int64_t> times;  // Explicit only

  static constexpr TimeIndex none() noexcept { return {}; }
  static constexpr TimeIndex uniform(std::int64_t t0_ns, std::int64_t dt_ns) noexcept {
    return {TimeIndexKind::Uniform, t0_ns, dt_ns, {}};
  }
  static constexpr TimeIndex explicit_times(std::span<const std::int64_t> times) noexcept {
    return {TimeIndexKind::Explicit, 0, 0, times};
  }
};

// Why `locate` refused a position. The order of the strided faults is the order of the checks.
enum class PositionFault : std::uint8_t {
  None,
  // Strided: t or j above the largest signed 64-bit value.
  TimeIndexTooLarge,
  DimensionIndexTooLarge,
  // The position arithmetic overflowed (unsigned for the contiguous layouts, signed for Strided).
  Overflow,
  // Strided: the position is negative (signed_index holds it).
  Negative,
  // The position is at or beyond n*d (index and, for Strided, signed_index hold it).
  OutOfBounds,
};

// Outcome of the checked position computation for one element (t, j).
struct Position {
  PositionFault fault = PositionFault::None;
  // The buffer position; valid when fault is None, and for a contiguous OutOfBounds.
  std::size_t index = 0;
  // The signed strided position; valid for Strided when fault is None, Negative or OutOfBounds.
  std::int64_t signed_index = 0;

  bool ok() const noexcept { return fault == PositionFault::None; }
};

class ElementAccessor;

class TimeSeriesView {
 public:
  // Validates and builds the view; the checks run in a fixed order and the first failure is
  // returned (all InvalidInput). NaN marks a missing value; infinities are refused.
  static Result<TimeSeriesView> create(ValueBuffer values, std::size_t n, std::size_t d,
                                       MemoryLayout layout,
                                       std::optional<std::span<const std::uint8_t>> missing_mask,
                                       TimeIndex time, MissingPolicy missing);
  // `create` over 64-bit values (for example preprocessing output).
  static Result<TimeSeriesView> from_f64(std::span<const double> values, std::size_t n,
                                         std::size_t d, MemoryLayout layout,
                                         std::optional<std::span<const std::uint8_t>> missing_mask,
                                         TimeIndex time, MissingPolicy missing);

  const ValueBuffer& values() const noexcept { return values_; }
  std::size_t n() const noexcept { return n_; }
  std::size_t d() const noexcept { return d_; }
  const MemoryLayout& layout() const noexcept { return layout_; }
  // One byte per buffer position (same position rule as the values); 1 means missing.
  const std::optional<std::span<const std::uint8_t>>& missing_mask() const noexcept {
    return missing_mask_;
  }
  const TimeIndex& time() const noexcept { return time_; }
  MissingPolicy missing() const noexcept { return missing_; }
  // The effective missing count: mask ones plus NaN values under a 0 mask byte (or all NaN
  // values without a mask).
  std::size_t n_missing() const noexcept { return n_missing_; }
  // n*d, the length of the value buffer and of the mask.
  std::size_t element_count() const noexcept { return element_count_; }

  // The checked position of element (t, j) by the layout. Never fails for the contiguous layouts
  // when t < n and j < d; a strided view can fail, since `create` checks only that its strides are
  // non-zero. Any t and j may be asked: out-of-shape requests come back as a fault, never as a
  // read.
  Position locate(std::size_t t, std::size_t j) const noexcept;

  // The value at a buffer position, widened to double; position >= element_count() throws
  // InternalError (a reader bug: positions come from `locate`).
  double value_at(std::size_t position) const { return values_.at(position); }
  // Whether the mask marks a buffer position missing; false without a mask. Same bug rule.
  bool masked_at(std::size_t position) const;

  // A fast reader when every (t, j) with t < n and j < d maps inside the buffer (always for the
  // contiguous layouts); nullopt when some element does not, in which case readers walk `locate`
  // element by element to report the first failing one in their own words.
  std::optional<ElementAccessor> accessor() const noexcept;

 private:
  TimeSeriesView() = default;

  ValueBuffer values_ = ValueBuffer::of_f64({});
  std::size_t n_ = 0;
  std::size_t d_ = 0;
  MemoryLayout layout_;
  std::optional<std::span<const std::uint8_t>> missing_mask_;
  TimeIndex time_;
  MissingPolicy missing_ = MissingPolicy::Error;
  std::size_t n_missing_ = 0;
  std::size_t element_count_ = 0;
};

// Reads a view whose whole shape was proven to map inside its buffer. Positions are computed in
// signed 64-bit arithmetic that cannot overflow for t < n and j < d; asking for t >= n or j >= d
// is a reader bug and throws InternalError rather than reading.
class ElementAccessor {
 public:
  std::size_t n() const noexcept { return n_; }
  std::size_t d() const noexcept { return d_; }

  double value(std::size_t t, std::size_t j) const {
    check(t, j);
    const std::size_t p = position(t, j);
    return is_f64_ ? f64_[p] : static_cast<double>(f32_[p]);
  }
  // Whether the mask marks element (t, j) missing; false without a mask.
  bool masked(std::size_t t, std::size_t j) const {
    check(t, j);
    return mask_ != nullptr && mask_[position(t, j)] != 0;
  }
  // The d values of row t, widened; out must hold exactly d entries.
  void read_row(std::size_t t, std::span<double> out) const;
  // The n values of dimension j in row order, widened; out must hold exactly n entries.
  void read_column(std::size_t j, std::span<double> out) const;

 private:
  friend class TimeSeriesView;
  ElementAccessor() = default;

  void check(std::size_t t, std::size_t j) const {
    if (t >= n_ || j >= d_) [[unlikely]] {
      out_of_shape(t, j);
    }
  }
  [[noreturn]] void out_of_shape(std::size_t t, std::size_t j) const;
  std::size_t position(std::size_t t, std::size_t j) const noexcept {
    return static_cast<std::size_t>(static_cast<std::int64_t>(t) * row_stride_ +
                                    static_cast<std::int64_t>(j) * col_stride_);
  }

  bool is_f64_ = true;
  const float* f32_ = nullptr;
  const double* f64_ = nullptr;
  const std::uint8_t* mask_ = nullptr;
  std::size_t n_ = 0;
  std::size_t d_ = 0;
  std::int64_t row_stride_ = 0;
  std::int64_t col_stride_ = 0;
};

}  // namespace ovrel::core
