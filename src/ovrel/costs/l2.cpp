#include "ovrel/costs/l2.hpp"

namespace ovrel::costs {

core::Status CostL2Mean::validate(const core::TimeSeriesView& x) const {
  return validate_shared(kTypeName, x);
}

core::Result<L2Cache> CostL2Mean::precompute(const core::TimeSeriesView& x,
                                             const core::CachePolicy& policy) const {
  L2Cache cache;
  OVREL_TRY(build_shifted_moment_tables(x, policy, repro_mode, kTypeName, kCacheName,
                                        cache.prefix_sum, cache.prefix_sum_sq));
  cache.n = x.n();
  cache.d = x.d();
  return cache;
}

std::optional<std::size_t> CostL2Mean::penalty_effective_params(std::size_t d) const {
  std::size_t out = 0;
  if (__builtin_mul_overflow(d, std::size_t{2}, &out)) return std::nullopt;
  return out;
}

}  // namespace ovrel::costs
