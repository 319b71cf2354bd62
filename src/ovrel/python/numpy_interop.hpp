#pragma once

// Conversion of NumPy input into an owned, row-major series that detection can read later with
// the interpreter lock released, while Python code is free to mutate or drop the original array.

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "ovrel/core/error.hpp"
#include "ovrel/core/missing.hpp"
#include "ovrel/core/time_series.hpp"

namespace ovrel::python {

namespace nb = nanobind;

// Row-major values: element (i, j) at i * d + j, exactly n * d of them.
using OwnedValueStorage = std::variant<std::vector<float>, std::vector<double>>;

struct OwnedSeries {
  OwnedValueStorage values;
  std::optional<std::vector<std::int64_t>> time;
  std::size_t n = 0;
  std::size_t d = 0;
  core::MissingPolicy missing = core::MissingPolicy::Error;
  // What the conversion did, in order; callers carry them into results.
  std::vector<std::string> notes;

  bool is_f32() const { return std::holds_alternative<std::vector<float>>(values); }
  // A C-contiguous view over the owned values; it borrows this series (and the mask, if any).
  core::Result<core::TimeSeriesView> view(
      std::optional<std::span<const std::uint8_t>> missing_mask = std::nullopt) const;
};

// The notes a conversion can leave.
inline constexpr const char* kNoteFromFContiguous =
    "copied from F-contiguous to C-contiguous layout";
inline constexpr const char* kNoteFromStrided = "copied from strided to contiguous layout";
inline constexpr const char* kNoteUpcast =
    "upcast from float32 to float64 (cost model requires f64)";

// numpy.asarray(x), then parse_numpy_series with missing policy Error and no upcast. The one
// entry every Python class and function uses for a series argument. Raises the Python error.
// The masked elements of a numpy.ma.MaskedArray count as missing values.
OwnedSeries parse_owned_series(nb::handle x);

// The same in two steps, for a caller that sizes its own allocations from the array's shape
// before the values are copied: numpy.asarray(x) with the mask of a masked array, then the parse.
struct SeriesArgument {
  nb::object array;
  // One byte per element in row-major order, 1 for masked; empty when nothing is masked.
  std::vector<std::uint8_t> mask;
};
SeriesArgument series_argument(nb::handle x);
OwnedSeries parse_owned_series(const SeriesArgument& argument);

// Checks an ndarray's shape and element type, copies its values once into row-major order
// (through its own strides, so any layout, alignment or sign of stride is read correctly) and
// validates the copy as a series view. float32 stays float32 unless `upcast_f32` asks otherwise.
// `missing_mask` (one byte per element in row-major order, 1 for missing; empty for none) takes
// part in the validation only: the owned series keeps no mask.
OwnedSeries parse_numpy_series(nb::handle x, core::MissingPolicy missing, bool upcast_f32,
                               std::span<const std::uint8_t> missing_mask = {});

// The same with an optional event-time index (an empty handle for none), read after the values
// and before the validation: a 1-D int64 or datetime64[ns] array of length n, copied into the
// owned series as nanoseconds.
OwnedSeries parse_numpy_series(nb::handle x, nb::handle time_index, core::MissingPolicy missing,
                               bool upcast_f32, std::span<const std::uint8_t> missing_mask = {});

// The time-index reader alone: checks and copies `time_index` for a series of n rows.
std::vector<std::int64_t> parse_time_index(nb::handle numpy, nb::handle time_index, std::size_t n,
                                           std::vector<std::string>& notes);
// Nanosecond counts of a datetime64[ns] array, always copied.
std::vector<std::int64_t> parse_datetime_ns_time_storage(nb::handle time_index, std::size_t n,
                                                         std::vector<std::string>& notes);

// str(dtype), or "<unknown dtype>" when Python cannot give it.
std::string dtype_name(nb::handle dtype);

}  // namespace ovrel::python
