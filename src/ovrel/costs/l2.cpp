#include "ovrel/costs/l2.hpp"

namespace ovrel::costs {

core::Status CostL2Mean::validate(const core::TimeSeriesView& x) const {
  return validate_shared(kTypeName, x);
}

core::Result<L2Cache> CostL2Mean::precompute(const core::TimeSeriesView& x,
                                             const core::CachePolicy& policy) const {
  const std::size_t n = x.n();
  const std::size_t d = x.d();
  OVREL_TRY(plan_cache(policy, prefix_table_bytes(n, d, 16), kTypeName, kCacheName, n, d));
  L2Cache cache;
  cache.prefix_sum.reserve((n + 1) * d);
  cache.prefix_sum_sq.reserve((n + 1) * d);
  std::vector<double> column(n);
  for (std::size_t j = 0; j < d; ++j) {
    OVREL_TRY(read_column(x, j, column));
    shift_column(column);
    append_prefix_sums(column, repro_mode, cache.prefix_sum);
    append_prefix_sum_squares(column, repro_mode, cache.prefix_sum_sq);
  }
  cache.n = n;
  cache.d = d;
  return cache;
}

std::optional<std::size_t> CostL2Mean::penalty_effective_params(std::size_t d) const {
  std::size_t out = 0;
  if (__builtin_mul_overflow(d, std::size_t{2}, &out)) return std::nullopt;
  return out;
}

}  // namespace ovrel::costs
