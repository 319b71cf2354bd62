#include "ovrel/costs/nig.hpp"

#include <cmath>
#include <string>

#include "ovrel/core/text.hpp"

namespace ovrel::costs {

namespace {

constexpr std::string_view kType = "CostNIGMarginal";

core::Status check_positive(const char* field, double v) {
  if (!std::isfinite(v) || !(v > 0.0)) {
    return core::invalid_input(core::cat("NIG prior ", field, " must be finite and > 0; got ", v));
  }
  return {};
}

}  // namespace

core::Status NIGPrior::validate() const {
  if (!std::isfinite(mu0)) {
    return core::invalid_input(core::cat("NIG prior mu0 must be finite; got ", mu0));
  }
  OVREL_TRY(check_positive("kappa0", kappa0));
  OVREL_TRY(check_positive("alpha0", alpha0));
  OVREL_TRY(check_positive("beta0", beta0));
  return {};
}

core::Status CostNIGMarginal::validate(const core::TimeSeriesView& x) const {
  OVREL_TRY(prior.validate());
  return validate_shared(kType, x);
}

core::Result<NIGCache> CostNIGMarginal::precompute(const core::TimeSeriesView& x,
                                                   const core::CachePolicy& policy) const {
  const std::size_t n = x.n();
  const std::size_t d = x.d();
  OVREL_TRY(plan_cache(policy, prefix_table_bytes(n, d, 24), kType, "NIGCache", n, d));

  NIGCache cache;
  const std::size_t entries = (n + 1) * d;
  cache.prefix_count.reserve(entries);
  cache.prefix_sum.reserve(entries);
  cache.prefix_sum_sq.reserve(entries);
  std::vector<double> column(n);
  for (std::size_t j = 0; j < d; ++j) {
    for (std::size_t t = 0; t <= n; ++t) cache.prefix_count.push_back(t);
    OVREL_TRY(read_column(x, j, column));
    append_prefix_sums(column, repro_mode, cache.prefix_sum);
    append_prefix_sum_squares(column, repro_mode, cache.prefix_sum_sq);
  }
  cache.prior = prior;
  cache.alpha0_ln_beta0 = prior.alpha0 * std::log(prior.beta0);
  cache.ln_kappa0 = std::log(prior.kappa0);
  cache.ln_gamma_alpha0 = ln_gamma(prior.alpha0);
  cache.n = n;
  cache.d = d;
  return cache;
}

std::optional<std::size_t> CostNIGMarginal::penalty_effective_params(std::size_t d) const {
  std::size_t out = 0;
  if (__builtin_mul_overflow(d, std::size_t{3}, &out)) return std::nullopt;
  return out;
}

}  // namespace ovrel::costs
