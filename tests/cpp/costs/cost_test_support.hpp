#pragma once

// Series fixtures for the cost-model tests: a row-major matrix of doubles laid out in any memory
// layout and value type, kept alive together with the view that borrows it.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ovrel/core/time_series.hpp"

namespace ovrel::costs::testing {

enum class Layout { C, F, StridedTransposed };
enum class ValueKind { F32, F64 };

inline std::string layout_label(Layout l) {
  switch (l) {
    case Layout::C:
      return "C";
    case Layout::F:
      return "F";
    case Layout::StridedTransposed:
      return "Strided";
  }
  return "?";
}

// Owns the buffer a view borrows. `rows` is row-major: rows[t * d + j].
class Series {
 public:
  Series(const std::vector<double>& rows, std::size_t n, std::size_t d, Layout layout,
         ValueKind kind, core::MissingPolicy policy = core::MissingPolicy::Error)
      : n_(n), d_(d) {
    std::vector<double> buffer(n * d);
    core::MemoryLayout memory = core::MemoryLayout::c_contiguous();
    for (std::size_t t = 0; t < n; ++t) {
      for (std::size_t j = 0; j < d; ++j) {
        const std::size_t pos = layout == Layout::C ? t * d + j : t + j * n;
        buffer[pos] = rows[t * d + j];
      }
    }
    if (layout == Layout::F) memory = core::MemoryLayout::f_contiguous();
    if (layout == Layout::StridedTransposed) {
      memory = core::MemoryLayout::strided(1, static_cast<std::int64_t>(n));
    }
    if (kind == ValueKind::F64) {
      f64_ = std::move(buffer);
      view_.emplace(core::TimeSeriesView::create(core::ValueBuffer::of_f64(f64_), n, d, memory,
                                                 std::nullopt, core::TimeIndex::none(), policy)
                        .value());
    } else {
      f32_.assign(buffer.begin(), buffer.end());
      view_.emplace(core::TimeSeriesView::create(core::ValueBuffer::of_f32(f32_), n, d, memory,
                                                 std::nullopt, core::TimeIndex::none(), policy)
                        .value());
    }
  }
  Series(const Series&) = delete;
  Series& operator=(const Series&) = delete;

  const core::TimeSeriesView& view() const { return *view_; }

 private:
  std::size_t n_;
  std::size_t d_;
  std::vector<double> f64_;
  std::vector<float> f32_;
  std::optional<core::TimeSeriesView> view_;
};

// Uniform values in [lo, hi), rounded to f32 so that f32 and f64 series hold the same numbers.
inline std::vector<double> random_rows(std::size_t n, std::size_t d, std::uint32_t seed,
                                       double lo = -5.0, double hi = 5.0) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(lo, hi);
  std::vector<double> rows(n * d);
  for (double& v : rows) v = static_cast<double>(static_cast<float>(dist(gen)));
  return rows;
}

}  // namespace ovrel::costs::testing
