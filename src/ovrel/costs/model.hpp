#pragma once

// The segment cost-model interface shared by every offline detector, and the conventions every
// model follows: reading values out of a series view, planning the cache size against the cache
// policy, prefix tables, and the shift that keeps prefix sums of large offsets accurate.
//
// Detectors are templates over `CostModel`; binding is static, so `segment_cost` (defined inline
// in each model's header) inlines into the detectors' hot loops.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/missing.hpp"
#include "ovrel/core/repro.hpp"
#include "ovrel/core/time_series.hpp"

namespace ovrel::costs {

// What every cost model provides. `Cache` is the model's own cache type (it records the n and d of
// the series it was built from); `name()` is the text written into diagnostics and penalty
// messages; `segment_cost` requires 0 <= start < end <= cache.n and reports no error: a
// non-finite value is possible for overflowing data and is refused by the detectors' counted
// evaluation.
template <class C>
concept CostModel = std::copy_constructible<C> &&
    requires(const C& model, const core::TimeSeriesView& x, const core::CachePolicy& policy,
             const typename C::Cache& cache, std::size_t start, std::size_t end, std::size_t d) {
  typename C::Cache;
  { C::name() } -> std::same_as<std::string_view>;
  { C::missing_support() } -> std::same_as<core::MissingSupport>;
  { model.validate(x) } -> std::same_as<core::Status>;
  { model.precompute(x, policy) } -> std::same_as<core::Result<typename C::Cache>>;
  { model.segment_cost(cache, start, end) } -> std::same_as<double>;
  { model.penalty_effective_params(d) } -> std::same_as<std::optional<std::size_t>>;
  { cache.n } -> std::convertible_to<std::size_t>;
  { cache.d } -> std::convertible_to<std::size_t>;
};

// ---------------------------------------------------------------------------------------------
// Shared constants.

// Variance floor of the normal models: the double-precision machine epsilon times 1e6.
inline constexpr double kVarianceFloor = 2.220446049250313e-10;
inline constexpr double kLargestFinite = std::numeric_limits<double>::max();

// ---------------------------------------------------------------------------------------------
// Validation shared by every model: n >= 1, d >= 1, no missing value, with the model's type name
// leading each message ("CostL2Mean requires n >= 1; got n=0").
core::Status validate_shared(std::string_view type_name, const core::TimeSeriesView& x);

// ---------------------------------------------------------------------------------------------
// Cache planning.

// Planned cache sizes are computed in checked 64-bit arithmetic; an empty optional means overflow.
using PlannedBytes = std::optional<std::uint64_t>;

constexpr PlannedBytes checked_add(PlannedBytes a, PlannedBytes b) noexcept {
  std::uint64_t out = 0;
  if (!a || !b || __builtin_add_overflow(*a, *b, &out)) return std::nullopt;
  return out;
}
constexpr PlannedBytes checked_mul(PlannedBytes a, PlannedBytes b) noexcept {
  std::uint64_t out = 0;
  if (!a || !b || __builtin_mul_overflow(*a, *b, &out)) return std::nullopt;
  return out;
}

// (n + 1) * d * bytes_per_entry: the size of prefix tables of d blocks of n + 1 entries.
constexpr PlannedBytes prefix_table_bytes(std::size_t n, std::size_t d,
                                          std::uint64_t bytes_per_entry) noexcept {
  return checked_mul(checked_mul(checked_add(n, 1), d), bytes_per_entry);
}
// n * d * bytes_per_entry: the size of a copy of the series.
constexpr PlannedBytes value_copy_bytes(std::size_t n, std::size_t d,
                                        std::uint64_t bytes_per_entry) noexcept {
  return checked_mul(checked_mul(n, d), bytes_per_entry);
}

// Checks a planned cache size against the policy before anything is allocated, in this order:
// Approximate is refused (NotSupported, whatever the size), an overflowing size is refused
// (ResourceLimit, naming the cache type), a Budgeted limit below the size is refused
// (ResourceLimit; equal passes). Full sets no limit.
core::Status plan_cache(const core::CachePolicy& policy, PlannedBytes required,
                        std::string_view model_type, std::string_view cache_type, std::size_t n,
                        std::size_t d);

// ---------------------------------------------------------------------------------------------
// Reading values out of a view (as doubles; floats widen exactly). Every failure is InvalidInput
// with the layout's text: "C-contiguous index overflow", "C-contiguous index out of bounds", the
// F-contiguous pair, and the five strided texts of `strided_linear_index`.

core::Result<std::size_t> strided_linear_index(std::size_t t, std::size_t dim,
                                               std::int64_t row_stride, std::int64_t col_stride,
                                               std::size_t len);

// The value at row t, dimension dim.
core::Result<double> read_value(const core::TimeSeriesView& x, std::size_t t, std::size_t dim);

// Rows 0..n-1 of dimension dim into out (out.size() == n), reading in row order; the first
// failing row's error is returned.
core::Status read_column(const core::TimeSeriesView& x, std::size_t dim, std::span<double> out);

// All n*d values in row-major order (entry t*d + j), reading row by row and, within a row,
// dimension by dimension; the first failing element's error is returned.
core::Status read_row_major(const core::TimeSeriesView& x, std::span<double> out);

// ---------------------------------------------------------------------------------------------
// Prefix tables.

// Subtracts the column's first value from every entry and returns it. The shift-invariant models
// build their prefix tables from shifted columns: sums of squares of a series like 1e8 + noise
// otherwise lose every digit of the variance to cancellation. The shift is exact for integer
// data, and a column whose first value is 0 is left unchanged.
double shift_column(std::span<double> column) noexcept;

// Appends the n + 1 prefix sums of `column` to `out` (plain left-to-right sums, or Neumaier's
// compensated sums under ReproMode::Strict).
void append_prefix_sums(std::span<const double> column, core::ReproMode mode,
                        std::vector<double>& out);
// The same for the squares of the values.
void append_prefix_sum_squares(std::span<const double> column, core::ReproMode mode,
                               std::vector<double>& out);

// Plans 16 bytes per prefix entry, then appends the prefix sums and sums of squares of every
// shifted column, dimension after dimension: the tables of the L2 and normal mean-variance models.
core::Status build_shifted_moment_tables(const core::TimeSeriesView& x,
                                         const core::CachePolicy& policy, core::ReproMode mode,
                                         std::string_view model_type, std::string_view cache_type,
                                         std::vector<double>& prefix_sum,
                                         std::vector<double>& prefix_sum_sq);

// Sum over [start, end) of the block that begins at `base` of a prefix table.
inline double range_sum(const double* table, std::size_t base, std::size_t start,
                        std::size_t end) noexcept {
  return table[base + end] - table[base + start];
}

// ---------------------------------------------------------------------------------------------
// The segment precondition 0 <= start < end <= n. A violation is a caller's bug: it is stopped
// as an internal error before anything outside the cache is read.

[[noreturn]] void segment_precondition_failed(std::size_t start, std::size_t end, std::size_t n);

inline void check_segment(std::size_t start, std::size_t end, std::size_t n) {
  if (start >= end || end > n) [[unlikely]] {
    segment_precondition_failed(start, end, n);
  }
}

}  // namespace ovrel::costs
