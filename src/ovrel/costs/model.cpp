#include "ovrel/costs/model.hpp"

#include <algorithm>

#include "ovrel/core/numerics.hpp"
#include "ovrel/core/text.hpp"

namespace ovrel::costs {

using core::cat;

namespace {

// The checked position of element (t, dim) by the reading rule of the view's layout, with the
// texts of the cost models.
core::Result<std::size_t> checked_position(const core::MemoryLayout& layout, std::size_t n,
                                           std::size_t d, std::size_t len, std::size_t t,
                                           std::size_t dim) {
  std::size_t pos = 0;
  switch (layout.kind) {
    case core::LayoutKind::CContiguous:
      if (__builtin_mul_overflow(t, d, &pos) || __builtin_add_overflow(pos, dim, &pos)) {
        return core::invalid_input("C-contiguous index overflow");
      }
      if (pos >= len) return core::invalid_input("C-contiguous index out of bounds");
      return pos;
    case core::LayoutKind::FContiguous:
      if (__builtin_mul_overflow(dim, n, &pos) || __builtin_add_overflow(pos, t, &pos)) {
        return core::invalid_input("F-contiguous index overflow");
      }
      if (pos >= len) return core::invalid_input("F-contiguous index out of bounds");
      return pos;
    case core::LayoutKind::Strided:
      break;
  }
  return strided_linear_index(t, dim, layout.row_stride, layout.col_stride, len);
}

core::Result<double> checked_read(const core::TimeSeriesView& x, std::size_t t, std::size_t dim) {
  OVREL_TRY_ASSIGN(const std::size_t pos,
                   checked_position(x.layout(), x.n(), x.d(), x.values().size(), t, dim));
  return x.value_at(pos);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

core::Status validate_shared(std::string_view type_name, const core::TimeSeriesView& x) {
  if (x.n() == 0) return core::invalid_input(cat(type_name, " requires n >= 1; got n=0"));
  if (x.d() == 0) return core::invalid_input(cat(type_name, " requires d >= 1; got d=0"));
  if (x.n_missing() > 0) {
    return core::invalid_input(cat(type_name, " does not support missing values: ",
                                   "effective_missing_count=", x.n_missing()));
  }
  return {};
}

core::Status plan_cache(const core::CachePolicy& policy, PlannedBytes required,
                        std::string_view model_type, std::string_view cache_type, std::size_t n,
                        std::size_t d) {
  if (policy.kind == core::CachePolicyKind::Approximate) {
    return core::not_supported(cat(model_type, " does not support CachePolicy::Approximate"));
  }
  if (!required) {
    return core::resource_limit(
        cat("cache size overflow while planning ", cache_type, " for n=", n, ", d=", d));
  }
  if (policy.kind == core::CachePolicyKind::Budgeted && *required > policy.max_bytes) {
    return core::resource_limit(cat(model_type, " cache requires ", *required,
                                    " bytes, exceeds budget ", policy.max_bytes, " bytes"));
  }
  return {};
}

core::Result<std::size_t> strided_linear_index(std::size_t t, std::size_t dim,
                                               std::int64_t row_stride, std::int64_t col_stride,
                                               std::size_t len) {
  constexpr auto kIsizeMax = static_cast<std::size_t>(INT64_MAX);
  if (t > kIsizeMax) {
    return core::invalid_input(cat("strided index overflow: t=", t, " does not fit into isize"));
  }
  if (dim > kIsizeMax) {
    return core::invalid_input(
        cat("strided index overflow: dim=", dim, " does not fit into isize"));
  }
  std::int64_t row_part = 0;
  std::int64_t col_part = 0;
  std::int64_t idx = 0;
  if (__builtin_mul_overflow(static_cast<std::int64_t>(t), row_stride, &row_part) ||
      __builtin_mul_overflow(static_cast<std::int64_t>(dim), col_stride, &col_part) ||
      __builtin_add_overflow(row_part, col_part, &idx)) {
    return core::invalid_input(cat("strided index overflow at t=", t, ", dim=", dim,
                                   ", row_stride=", row_stride, ", col_stride=", col_stride));
  }
  if (idx < 0) {
    return core::invalid_input(
        cat("strided index negative at t=", t, ", dim=", dim, ": idx=", idx));
  }
  if (static_cast<std::uint64_t>(idx) >= len) {
    return core::invalid_input(
        cat("strided index out of bounds at t=", t, ", dim=", dim, ": idx=", idx, ", len=", len));
  }
  return static_cast<std::size_t>(idx);
}

core::Result<double> read_value(const core::TimeSeriesView& x, std::size_t t, std::size_t dim) {
  return checked_read(x, t, dim);
}

core::Status read_column(const core::TimeSeriesView& x, std::size_t dim, std::span<double> out) {
  const std::size_t n = x.n();
  if (out.size() != n) throw InternalError("read_column: output length differs from n");
  if (const auto accessor = x.accessor()) {
    accessor->read_column(dim, out);
    return {};
  }
  // Some element lies outside the buffer: walk the column to report the first one.
  for (std::size_t t = 0; t < n; ++t) {
    OVREL_TRY_ASSIGN(out[t], checked_read(x, t, dim));
  }
  return {};
}

core::Status read_row_major(const core::TimeSeriesView& x, std::span<double> out) {
  const std::size_t n = x.n();
  const std::size_t d = x.d();
  if (d == 0 || out.size() / d != n || out.size() % d != 0) {
    throw InternalError("read_row_major: output length differs from n*d");
  }
  if (const auto accessor = x.accessor()) {
    for (std::size_t t = 0; t < n; ++t) accessor->read_row(t, out.subspan(t * d, d));
    return {};
  }
  std::size_t k = 0;
  for (std::size_t t = 0; t < n; ++t) {
    for (std::size_t j = 0; j < d; ++j) {
      OVREL_TRY_ASSIGN(out[k++], checked_read(x, t, j));
    }
  }
  return {};
}

double shift_column(std::span<double> column) noexcept {
  if (column.empty()) return 0.0;
  const double shift = column[0];
  if (shift == 0.0) return shift;
  for (double& v : column) v -= shift;
  return shift;
}

void append_prefix_sums(std::span<const double> column, core::ReproMode mode,
                        std::vector<double>& out) {
  const std::size_t at = out.size();
  out.resize(at + column.size() + 1);
  const std::span<double> block(out.data() + at, column.size() + 1);
  if (mode == core::ReproMode::Strict) {
    core::prefix_sums_kahan_into(column, block);
  } else {
    core::prefix_sums_into(column, block);
  }
}

void append_prefix_sum_squares(std::span<const double> column, core::ReproMode mode,
                               std::vector<double>& out) {
  const std::size_t at = out.size();
  out.resize(at + column.size() + 1);
  const std::span<double> block(out.data() + at, column.size() + 1);
  if (mode == core::ReproMode::Strict) {
    core::prefix_sum_squares_kahan_into(column, block);
  } else {
    core::prefix_sum_squares_into(column, block);
  }
}

void segment_precondition_failed(std::size_t start, std::size_t end, std::size_t n) {
  if (start >= end) {
    throw InternalError(cat("segment_cost requires start < end; got start=", start, ", end=", end));
  }
  throw InternalError(cat("segment_cost end out of bounds: end=", end, ", n=", n));
}

core::Status build_shifted_moment_tables(const core::TimeSeriesView& x,
                                         const core::CachePolicy& policy, core::ReproMode mode,
                                         std::string_view model_type, std::string_view cache_type,
                                         std::vector<double>& prefix_sum,
                                         std::vector<double>& prefix_sum_sq) {
  const std::size_t n = x.n();
  const std::size_t d = x.d();
  OVREL_TRY(plan_cache(policy, prefix_table_bytes(n, d, 16), model_type, cache_type, n, d));
  prefix_sum.reserve((n + 1) * d);
  prefix_sum_sq.reserve((n + 1) * d);
  std::vector<double> column(n);
  for (std::size_t j = 0; j < d; ++j) {
    OVREL_TRY(read_column(x, j, column));
    shift_column(column);
    append_prefix_sums(column, mode, prefix_sum);
    append_prefix_sum_squares(column, mode, prefix_sum_sq);
  }
  return {};
}

}  // namespace ovrel::costs
