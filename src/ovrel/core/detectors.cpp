#include "ovrel/core/detectors.hpp"

#include <limits>

#include "ovrel/core/text.hpp"

namespace ovrel::core {
namespace {

constexpr std::uint64_t kI64Max =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// A masked element is handed on as NaN: the detectors refuse non-finite observations, so a value
// that the caller declared missing never enters a detector as a real observation.
double read_element(const TimeSeriesView& x, std::size_t position) {
  if (x.masked_at(position)) return std::numeric_limits<double>::quiet_NaN();
  return x.value_at(position);
}

}  // namespace

Result<std::vector<double>> extract_step_f64(const TimeSeriesView& x, std::uint64_t t) {
  std::vector<double> row(x.d());
  OVREL_TRY(extract_step_into(x, t, row));
  return row;
}

Status extract_step_into(const TimeSeriesView& x, std::uint64_t t, std::span<double> row) {
  const std::size_t n = x.n();
  const std::size_t d = x.d();
  if (row.size() != d) throw InternalError("step row buffer does not match the view's dimension");
  const MemoryLayout& layout = x.layout();
  switch (layout.kind) {
    case LayoutKind::CContiguous: {
      std::size_t base = 0;
      if (__builtin_mul_overflow(t, d, &base)) return invalid_input("row index overflow");
      for (std::size_t j = 0; j < d; ++j) row[j] = read_element(x, base + j);
      return {};
    }
    case LayoutKind::FContiguous: {
      for (std::size_t j = 0; j < d; ++j) {
        std::size_t offset = 0;
        std::size_t position = 0;
        if (__builtin_mul_overflow(j, n, &offset) || __builtin_add_overflow(t, offset, &position)) {
          return invalid_input("column-major index overflow");
        }
        row[j] = read_element(x, position);
      }
      return {};
    }
    case LayoutKind::Strided: {
      const std::int64_t rs = layout.row_stride;
      const std::int64_t cs = layout.col_stride;
      for (std::size_t j = 0; j < d; ++j) {
        if (t > kI64Max) {
          return invalid_input(
              cat("time index ", t, " does not fit into isize for strided access"));
        }
        if (j > kI64Max) {
          return invalid_input(
              cat("dimension index ", j, " does not fit into isize for strided access"));
        }
        std::int64_t row_part = 0;
        std::int64_t col_part = 0;
        std::int64_t idx = 0;
        if (__builtin_mul_overflow(static_cast<std::int64_t>(t), rs, &row_part) ||
            __builtin_mul_overflow(static_cast<std::int64_t>(j), cs, &col_part) ||
            __builtin_add_overflow(row_part, col_part, &idx)) {
          return invalid_input(cat("strided index overflow at t=", t, ", j=", j,
                                   ", row_stride=", rs, ", col_stride=", cs));
        }
        if (idx < 0) {
          return invalid_input(cat("strided index negative at t=", t, ", j=", j, ": idx=", idx));
        }
        const auto len = x.element_count();
        if (static_cast<std::uint64_t>(idx) >= len) {
          return invalid_input(
              cat("strided index out of bounds at t=", t, ", j=", j, ": idx=", idx, ", len=", len));
        }
        row[j] = read_element(x, static_cast<std::size_t>(idx));
      }
      return {};
    }
  }
  throw InternalError("unknown memory layout");
}

Result<std::int64_t> uniform_timestamp(std::uint64_t t, std::int64_t t0_ns, std::int64_t dt_ns) {
  if (t > kI64Max)
    return invalid_input(cat("time index overflow: t=", t, " does not fit into i64"));
  std::int64_t delta = 0;
  if (__builtin_mul_overflow(dt_ns, static_cast<std::int64_t>(t), &delta)) {
    return invalid_input(cat("uniform timestamp overflow: dt_ns=", dt_ns, ", t=", t));
  }
  std::int64_t stamp = 0;
  if (__builtin_add_overflow(t0_ns, delta, &stamp)) {
    return invalid_input(cat("uniform timestamp overflow: t0_ns=", t0_ns, ", delta=", delta));
  }
  return stamp;
}

Result<std::optional<std::int64_t>> step_timestamp(const TimeSeriesView& x, std::uint64_t t) {
  const TimeIndex& time = x.time();
  switch (time.kind) {
    case TimeIndexKind::None:
      return std::optional<std::int64_t>();
    case TimeIndexKind::Uniform: {
      OVREL_TRY_ASSIGN(std::int64_t stamp, uniform_timestamp(t, time.t0_ns, time.dt_ns));
      return std::optional<std::int64_t>(stamp);
    }
    case TimeIndexKind::Explicit:
      if (t >= time.times.size()) throw InternalError("explicit time index shorter than the view");
      return std::optional<std::int64_t>(time.times[t]);
  }
  throw InternalError("unknown time index");
}

namespace detail {

Status run_update_each(const TimeSeriesView& x, const ExecutionContext& ctx, StepUpdate update,
                       StepSink sink) {
  const std::uint64_t n = x.n();
  // One row buffer for the whole batch: the detectors read the row during the call only.
  std::vector<double> row(x.d());
  // The usual batch, one column of 64-bit values in order with no mask and no event times, is
  // read directly; the general readers give the same values and cannot fail on it.
  const std::span<const double> column = x.values().as_f64();
  const bool direct = x.d() == 1 && x.layout().kind == LayoutKind::CContiguous &&
                      !x.missing_mask().has_value() && x.time().kind == TimeIndexKind::None &&
                      column.size() == n;
  for (std::uint64_t t = 0; t < n; ++t) {
    OVREL_TRY(ctx.check_cancelled_every(t, 1));
    OVREL_TRY(ctx.poll_interrupt(t));
    std::optional<std::int64_t> time;
    if (direct) {
      row[0] = column[t];
    } else {
      OVREL_TRY(extract_step_into(x, t, row));
      OVREL_TRY_ASSIGN(time, step_timestamp(x, t));
    }
    OVREL_TRY_ASSIGN(OnlineStepResult record, update(std::span<const double>(row), time));
    sink(std::move(record));
  }
  return {};
}

}  // namespace detail
}  // namespace ovrel::core
