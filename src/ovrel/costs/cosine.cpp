#include "ovrel/costs/cosine.hpp"

#include <cmath>

#include "ovrel/core/text.hpp"

namespace ovrel::costs {

namespace {
constexpr std::string_view kType = "CostCosine";
}  // namespace

core::Status CostCosine::validate(const core::TimeSeriesView& x) const {
  OVREL_TRY(validate_shared(kType, x));
  // The view refuses infinities and counts NaN as missing, so this is a second line of defence.
  const std::optional<core::ElementAccessor> accessor = x.accessor();
  for (std::size_t t = 0; t < x.n(); ++t) {
    for (std::size_t j = 0; j < x.d(); ++j) {
      double v = 0.0;
      if (accessor) {
        v = accessor->value(t, j);
      } else {
        OVREL_TRY_ASSIGN(v, read_value(x, t, j));
      }
      if (!std::isfinite(v)) {
        return core::invalid_input(core::cat("CostCosine requires finite values; got value=", v,
                                             " at t=", t, ", dim=", j));
      }
    }
  }
  return {};
}

core::Result<CosineCache> CostCosine::precompute(const core::TimeSeriesView& x,
                                                 const core::CachePolicy& policy) const {
  const std::size_t n = x.n();
  const std::size_t d = x.d();
  OVREL_TRY(plan_cache(policy, prefix_table_bytes(n, d, 8), kType, "CosineCache", n, d));

  const std::size_t stride = n + 1;
  CosineCache cache;
  cache.prefix_unit_sum.assign(stride * d, 0.0);
  std::vector<double> sum(d, 0.0);
  std::vector<double> comp(d, 0.0);
  std::vector<double> row(d, 0.0);
  const bool strict = repro_mode == core::ReproMode::Strict;
  double* table = cache.prefix_unit_sum.data();
  // Views whose whole shape maps inside the buffer are read without per-element checks; the
  // others are read element by element so that the first failing one is reported.
  const std::optional<core::ElementAccessor> accessor = x.accessor();
  for (std::size_t t = 0; t < n; ++t) {
    if (accessor) {
      accessor->read_row(t, row);
    } else {
      for (std::size_t j = 0; j < d; ++j) {
        OVREL_TRY_ASSIGN(row[j], read_value(x, t, j));
      }
    }
    ScaledNorm norm;
    for (std::size_t j = 0; j < d; ++j) norm.add(row[j]);
    const double length = norm.value();
    // A zero row, and a row whose length overflows, contribute the zero vector. The inverse of
    // a length below 1 / DBL_MAX overflows, so such rows are divided by their length instead.
    const double inv = (std::isfinite(length) && length > 0.0) ? 1.0 / length : 0.0;
    const bool tiny = std::isinf(inv);
    for (std::size_t j = 0; j < d; ++j) {
      const double u = tiny ? row[j] / length : inv * row[j];
      if (strict) {
        // Classic Kahan: the stored value is the running sum itself.
        const double y = u - comp[j];
        const double tt = sum[j] + y;
        comp[j] = (tt - sum[j]) - y;
        sum[j] = tt;
      } else {
        sum[j] = u + sum[j];
      }
      table[j * stride + t + 1] = sum[j];
    }
  }
  cache.n = n;
  cache.d = d;
  return cache;
}

std::optional<std::size_t> CostCosine::penalty_effective_params(std::size_t d) const {
  std::size_t out = 0;
  if (__builtin_add_overflow(d, std::size_t{1}, &out)) return std::nullopt;
  return out;
}

}  // namespace ovrel::costs
