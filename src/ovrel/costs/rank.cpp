#include "ovrel/costs/rank.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <utility>

namespace ovrel::costs {

namespace {

constexpr std::string_view kType = "CostRank";

// An unsigned key whose order is the IEEE 754 total order of the double.
std::uint64_t total_order_key(double v) {
  const auto bits = std::bit_cast<std::uint64_t>(v);
  constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
  return (bits & kSign) != 0 ? ~bits : bits | kSign;
}

}  // namespace

std::vector<double> mid_ranks(std::span<const double> values) {
  const std::size_t n = values.size();
  // Ties broken by index make the order unique, so an unstable sort gives the stable order.
  std::vector<std::pair<std::uint64_t, std::size_t>> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = {total_order_key(values[i]), i};
  std::sort(order.begin(), order.end());

  std::vector<double> ranks(n);
  std::size_t i = 0;
  while (i < n) {
    std::size_t j = i + 1;
    while (j < n && order[j].first == order[i].first) ++j;
    const double rank = ((static_cast<double>(i) + 1.0) + static_cast<double>(j)) * 0.5;
    for (std::size_t p = i; p < j; ++p) ranks[order[p].second] = rank;
    i = j;
  }
  return ranks;
}

core::Status CostRank::validate(const core::TimeSeriesView& x) const {
  return validate_shared(kType, x);
}

core::Result<RankCache> CostRank::precompute(const core::TimeSeriesView& x,
                                             const core::CachePolicy& policy) const {
  const std::size_t n = x.n();
  const std::size_t d = x.d();
  OVREL_TRY(plan_cache(policy, prefix_table_bytes(n, d, 16), kType, "RankCache", n, d));

  RankCache cache;
  cache.prefix_sum.reserve((n + 1) * d);
  cache.prefix_sum_sq.reserve((n + 1) * d);
  std::vector<double> column(n);
  for (std::size_t j = 0; j < d; ++j) {
    OVREL_TRY(read_column(x, j, column));
    const std::vector<double> ranks = mid_ranks(column);
    append_prefix_sums(ranks, repro_mode, cache.prefix_sum);
    append_prefix_sum_squares(ranks, repro_mode, cache.prefix_sum_sq);
  }
  cache.n = n;
  cache.d = d;
  return cache;
}

std::optional<std::size_t> CostRank::penalty_effective_params(std::size_t d) const {
  std::size_t out = 0;
  if (__builtin_mul_overflow(d, std::size_t{2}, &out)) return std::nullopt;
  return out;
}

}  // namespace ovrel::costs
