#pragma once

// Owned series for cost-model tests: the same row-major values stored in any layout and width,
// with a view over them; random samples; and the checks of costs and errors.

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
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
  OwnedSeries(const std::vector<double>& rows, std::size_t n, std::size_t d,
              Layout layout = Layout::C, Width width = Width::F64,
              core::MissingPolicy policy = core::MissingPolicy::Error)
      : by_column_(layout != Layout::C), n_(n), d_(d), f64_(n * d) {
    for (std::size_t i = 0; i < n * d; ++i) {
      const double v = rows.at(i);
      f64_[by_column_ ? i / d + i % d * n : i] = width == Width::F32 ? static_cast<float>(v) : v;
    }
    build(width, policy,
          layout == Layout::C   ? core::MemoryLayout::c_contiguous()
          : layout == Layout::F ? core::MemoryLayout::f_contiguous()
                                : core::MemoryLayout::strided(1, static_cast<std::int64_t>(n)));
  }

  // A buffer taken as stored, with an explicit layout (for layouts that do not fit the shape).
  OwnedSeries(std::vector<double> stored, std::size_t n, std::size_t d, core::MemoryLayout memory)
      : n_(n), d_(d), f64_(std::move(stored)) {
    build(Width::F64, core::MissingPolicy::Error, memory);
  }

  OwnedSeries(const OwnedSeries&) = delete;

  const core::TimeSeriesView& view() const { return *view_; }
  double at(std::size_t t, std::size_t j) const {
    return f64_[by_column_ ? t + j * n_ : t * d_ + j];
  }
  std::size_t n() const { return n_; }
  std::size_t d() const { return d_; }

 private:
  void build(Width width, core::MissingPolicy policy, core::MemoryLayout memory) {
    f32_.assign(f64_.begin(), f64_.end());
    view_ =
        core::TimeSeriesView::create(
            width == Width::F32 ? core::ValueBuffer::of_f32(f32_) : core::ValueBuffer::of_f64(f64_),
            n_, d_, memory, std::nullopt, core::TimeIndex::none(), policy)
            .value();
  }

  bool by_column_ = false;
  std::size_t n_, d_;
  std::vector<double> f64_;
  std::vector<float> f32_;
  std::optional<core::TimeSeriesView> view_;
};

// Row-major values uniform in [lo, hi), rounded to float (so that float and double series hold
// the same numbers, and short sums of their products are exact).
inline std::vector<double> uniform_rows(std::size_t n, std::size_t d, std::uint32_t seed,
                                        double lo = -5.0, double hi = 5.0) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> dist(lo, hi);
  std::vector<double> rows(n * d);
  for (double& v : rows) v = static_cast<float>(dist(gen));
  return rows;
}

// "ok", or the whole text of the error, with its kind ("invalid input: ...").
template <class R>
std::string outcome(const R& result) {
  return result ? "ok" : result.error().display();
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

}  // namespace ovrel::costs
