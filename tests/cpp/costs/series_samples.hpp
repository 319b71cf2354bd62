#pragma once

// Owned series for cost-model tests: the same row-major values stored in any layout and width,
// with a view over them, plus random samples and the parameter grid the models are checked on.

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

namespace ovrel::costs::samples {

enum class Layout { C, F, Strided };
enum class Width { F32, F64 };

// Values given row-major (entry t * d + j) and stored in the requested layout and width. For
// F32 the values are rounded to float first, so `rows` always holds exactly what the view reads.
class OwnedSeries {
 public:
  OwnedSeries(std::vector<double> rows, std::size_t n, std::size_t d, Layout layout, Width width,
              core::MissingPolicy policy = core::MissingPolicy::Error)
      : rows_(std::move(rows)), n_(n), d_(d) {
    if (width == Width::F32) {
      for (double& v : rows_) v = static_cast<double>(static_cast<float>(v));
    }
    std::vector<double> stored(n * d);
    for (std::size_t t = 0; t < n; ++t) {
      for (std::size_t j = 0; j < d; ++j) {
        // Strided uses column-major steps, so it differs from the C layout for d > 1.
        stored[layout == Layout::C ? t * d + j : t + j * n] = rows_[t * d + j];
      }
    }
    const core::MemoryLayout memory =
        layout == Layout::C   ? core::MemoryLayout::c_contiguous()
        : layout == Layout::F ? core::MemoryLayout::f_contiguous()
                              : core::MemoryLayout::strided(1, static_cast<std::int64_t>(n));
    build(stored, width, memory, policy);
  }

  // A buffer taken as stored, with an explicit layout (for layouts that do not fit the shape).
  OwnedSeries(std::vector<double> stored, std::size_t n, std::size_t d, core::MemoryLayout memory)
      : rows_(stored), n_(n), d_(d) {
    build(stored, Width::F64, memory, core::MissingPolicy::Error);
  }

  OwnedSeries(const OwnedSeries&) = delete;
  OwnedSeries& operator=(const OwnedSeries&) = delete;

  const core::TimeSeriesView& view() const { return *view_; }
  double at(std::size_t t, std::size_t j) const { return rows_[t * d_ + j]; }
  std::size_t n() const { return n_; }
  std::size_t d() const { return d_; }

 private:
  void build(const std::vector<double>& stored, Width width, core::MemoryLayout memory,
             core::MissingPolicy policy) {
    f64_ = stored;
    f32_.assign(stored.begin(), stored.end());
    const core::ValueBuffer buffer =
        width == Width::F32 ? core::ValueBuffer::of_f32(f32_) : core::ValueBuffer::of_f64(f64_);
    auto view = core::TimeSeriesView::create(buffer, n_, d_, memory, std::nullopt,
                                             core::TimeIndex::none(), policy);
    if (!view) throw std::runtime_error("test view refused: " + view.error().message());
    view_ = *view;
  }

  std::vector<double> rows_;
  std::size_t n_;
  std::size_t d_;
  std::vector<double> f64_;
  std::vector<float> f32_;
  std::optional<core::TimeSeriesView> view_;
};

// Row-major normal noise around `offset`.
inline std::vector<double> random_rows(std::size_t n, std::size_t d, std::uint64_t seed,
                                       double offset = 0.0, double scale = 1.0) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> out(n * d);
  for (double& v : out) v = offset + scale * normal(rng);
  return out;
}

// One combination of storage and repro mode on which every model must agree with its formula.
struct GridCase {
  Layout layout;
  Width width;
  core::ReproMode mode;
};

inline std::vector<GridCase> full_grid() {
  std::vector<GridCase> out;
  for (Layout l : {Layout::C, Layout::F, Layout::Strided}) {
    for (Width w : {Width::F32, Width::F64}) {
      for (core::ReproMode m : {core::ReproMode::Strict, core::ReproMode::Balanced}) {
        out.push_back({l, w, m});
      }
    }
  }
  return out;
}

inline std::string grid_case_name(const ::testing::TestParamInfo<GridCase>& info) {
  const GridCase& c = info.param;
  return std::string(c.layout == Layout::C   ? "C"
                     : c.layout == Layout::F ? "F"
                                             : "Strided") +
         (c.width == Width::F32 ? "_f32_" : "_f64_") +
         (c.mode == core::ReproMode::Strict ? "Strict" : "Balanced");
}

// Uniform values in [lo, hi), rounded to f32 so that f32 and f64 series hold the same numbers.
inline std::vector<double> uniform_rows(std::size_t n, std::size_t d, std::uint32_t seed,
                                        double lo = -5.0, double hi = 5.0) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(lo, hi);
  std::vector<double> rows(n * d);
  for (double& v : rows) v = static_cast<double>(static_cast<float>(dist(gen)));
  return rows;
}

// Expects an error of the given kind and exact message.
template <class R>
void expect_error(const R& result, core::ErrorKind kind, const std::string& message) {
  ASSERT_FALSE(result.has_value()) << "expected: " << message;
  EXPECT_EQ(result.error().kind(), kind);
  EXPECT_EQ(result.error().message(), message);
}

// Every segment cost of `model` on `s` against `oracle(start, end)` (a double, or an empty optional
// for a segment it does not model), within tol * m * (1 + |want|) for segments of m >= min_len
// rows; a nonnegative model must never give -0. Returns the number of segments compared.
template <class C, class Oracle>
std::size_t expect_oracle(const C& model, const OwnedSeries& s, Oracle oracle, double tol,
                          bool nonnegative = false, std::size_t min_len = 1) {
  EXPECT_TRUE(model.validate(s.view()).has_value());
  const auto cache = model.precompute(s.view(), core::CachePolicy::full());
  if (!cache) {
    ADD_FAILURE() << cache.error().message();
    return 0;
  }
  std::size_t compared = 0;
  for (std::size_t start = 0; start < s.n(); ++start) {
    for (std::size_t end = start + min_len; end <= s.n(); ++end) {
      const std::optional<double> want = oracle(start, end);
      if (!want) continue;
      ++compared;
      const double got = model.segment_cost(*cache, start, end);
      const double m = static_cast<double>(end - start);
      EXPECT_NEAR(got, *want, tol * m * (1.0 + std::fabs(*want)))
          << C::name() << " d=" << s.d() << " [" << start << ", " << end << ")";
      if (nonnegative) {
        EXPECT_FALSE(std::signbit(got)) << "[" << start << ", " << end << ")";
      }
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
    OwnedSeries series(rows, 40, d, Layout::C, Width::F64);
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

}  // namespace ovrel::costs::samples

namespace ovrel::costs {
using samples::expect_error;
using samples::expect_oracle;
using samples::GridCase;
using samples::Layout;
using samples::OwnedSeries;
using samples::Width;
}  // namespace ovrel::costs
