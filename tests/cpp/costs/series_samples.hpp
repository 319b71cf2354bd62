#pragma once

// Owned series for cost-model tests: the same row-major values stored in any layout and width,
// with a view over them; random samples; and the checks every model goes through.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/missing.hpp"
#include "ovrel/core/repro.hpp"
#include "ovrel/core/time_series.hpp"

namespace ovrel::costs {

enum class Layout { C, F, Strided };
enum class Width { F32, F64 };

// Values given row-major (entry t * d + j) and stored in the requested layout and width (Strided
// uses column-major steps, so it differs from C for d > 1). For F32 the values are rounded to
// float first, so `at` always gives exactly what the view reads.
class OwnedSeries {
 public:
  OwnedSeries(std::vector<double> rows, std::size_t n, std::size_t d, Layout layout = Layout::C,
              Width width = Width::F64, core::MissingPolicy policy = core::MissingPolicy::Error)
      : rows_(std::move(rows)), d_(d), f64_(n * d) {
    if (width == Width::F32) {
      for (double& v : rows_) v = static_cast<double>(static_cast<float>(v));
    }
    for (std::size_t i = 0; i < n * d; ++i) {
      f64_[layout == Layout::C ? i : i / d + i % d * n] = rows_[i];
    }
    build(n, width,
          layout == Layout::C   ? core::MemoryLayout::c_contiguous()
          : layout == Layout::F ? core::MemoryLayout::f_contiguous()
                                : core::MemoryLayout::strided(1, static_cast<std::int64_t>(n)),
          policy);
  }

  // A buffer taken as stored, with an explicit layout (for layouts that do not fit the shape).
  OwnedSeries(std::vector<double> stored, std::size_t n, std::size_t d, core::MemoryLayout memory)
      : rows_(stored), d_(d), f64_(stored) {
    build(n, Width::F64, memory, core::MissingPolicy::Error);
  }

  OwnedSeries(const OwnedSeries&) = delete;

  const core::TimeSeriesView& view() const { return *view_; }
  double at(std::size_t t, std::size_t j) const { return rows_[t * d_ + j]; }
  std::size_t n() const { return view_->n(); }
  std::size_t d() const { return d_; }

 private:
  void build(std::size_t n, Width width, core::MemoryLayout memory, core::MissingPolicy policy) {
    f32_.assign(f64_.begin(), f64_.end());
    const core::ValueBuffer buffer =
        width == Width::F32 ? core::ValueBuffer::of_f32(f32_) : core::ValueBuffer::of_f64(f64_);
    view_ = core::TimeSeriesView::create(buffer, n, d_, memory, std::nullopt,
                                         core::TimeIndex::none(), policy)
                .value();
  }

  std::vector<double> rows_;
  std::size_t d_;
  std::vector<double> f64_;
  std::vector<float> f32_;
  std::optional<core::TimeSeriesView> view_;
};

// Row-major values drawn uniformly from [lo, hi), rounded to f32 (so that f32 and f64 series hold
// the same numbers, and short sums of their products are exact).
inline std::vector<double> uniform_rows(std::size_t n, std::size_t d, std::uint32_t seed,
                                        double lo = -5.0, double hi = 5.0) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(lo, hi);
  std::vector<double> rows(n * d);
  for (double& v : rows) v = static_cast<float>(dist(gen));
  return rows;
}

// Expects an error of the given kind and exact message.
template <class R>
void expect_error(const R& result, core::ErrorKind kind, const std::string& message) {
  ASSERT_FALSE(result.has_value()) << "expected: " << message;
  EXPECT_EQ(result.error().kind(), kind);
  EXPECT_EQ(result.error().message(), message);
}

// Every segment cost of `model` on `s` against `direct(s, start, end)` (a double, or an empty
// optional for a segment it does not model), within tol * m * (1 + |want|) for segments of
// m >= min_len rows; a nonnegative model must never give -0. Returns the number of segments
// compared.
template <class C, class Direct>
std::size_t expect_oracle(const C& model, const OwnedSeries& s, Direct direct, double tol,
                          bool nonnegative = false, std::size_t min_len = 1) {
  EXPECT_TRUE(model.validate(s.view()).has_value());
  const auto cache = model.precompute(s.view(), core::CachePolicy::full()).value();
  std::size_t compared = 0;
  for (std::size_t start = 0; start < s.n(); ++start) {
    for (std::size_t end = start + min_len; end <= s.n(); ++end) {
      const std::optional<double> want = direct(s, start, end);
      if (!want) continue;
      ++compared;
      const double got = model.segment_cost(cache, start, end);
      const double m = static_cast<double>(end - start);
      EXPECT_NEAR(got, *want, tol * m * (1.0 + std::fabs(*want)))
          << C::name() << " d=" << s.d() << " [" << start << ", " << end << ")";
      EXPECT_FALSE(nonnegative && std::signbit(got)) << "[" << start << ", " << end << ")";
    }
  }
  return compared;
}

// The batch form (several starts in vector lanes, dimension by dimension) against segment_cost,
// bit for bit, over lane remainders, offset starts, a constant run (totals rounding to either
// side of 0, the variance floor) and squares near and beyond the top of the range.
template <class C>
void expect_batch_equals_single(const C& model, std::initializer_list<std::size_t> dims,
                                double constant) {
  for (std::size_t d : dims) {
    std::vector<double> rows = uniform_rows(40, d, 11, -1e3, 1e3);
    rows[7 * d] = 1e155;
    for (std::size_t i = 20 * d; i < 26 * d; ++i) rows[i] = constant;
    if (d == 3) rows[34 * d + 2] = 1e160;
    OwnedSeries series(rows, 40, d);
    const auto cache = model.precompute(series.view(), core::CachePolicy::full()).value();
    for (std::size_t end = 1; end <= 40; ++end) {
      for (std::size_t first : {std::size_t{0}, std::size_t{3}, std::size_t{21}}) {
        if (first >= end) continue;
        std::vector<double> out(end - first);
        model.segment_costs_to_end(cache, first, end - first, end, out.data());
        for (std::size_t start = first; start < end; ++start) {
          ASSERT_EQ(std::bit_cast<std::uint64_t>(out[start - first]),
                    std::bit_cast<std::uint64_t>(model.segment_cost(cache, start, end)))
              << C::name() << " d=" << d << " [" << start << ", " << end << ")";
        }
      }
    }
  }
}

}  // namespace ovrel::costs
