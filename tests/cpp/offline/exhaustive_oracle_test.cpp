// PELT and Dynp against an exhaustive search over all segmentations of small random series, for
// every cost model and several minimum segment lengths, grid steps, explicit candidate lists and
// change caps: penalised runs (PELT pruned or not, Dynp), known k, and both penalty paths.

#include <chrono>
#include <cstddef>
#include <optional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "offline/offline_test_support.hpp"
#include "ovrel/offline/dynp_impl.hpp"
#include "ovrel/offline/pelt.hpp"
#include "ovrel/offline/pelt_impl.hpp"

namespace ovrel::offline {
namespace {

// A small series with a few level shifts and settings drawn from the seed, adjusted for the
// model, with its validated constraints, the model's cache and the best segmentation per count.
template <class C>
struct Drawn {
  testing::OwnedSeries series;
  core::Constraints constraints;
  double beta = 1.0;
  std::size_t n = 0;
  core::ValidatedConstraints v;
  typename C::Cache cache;
  std::vector<testing::OracleAnswer> best;
  MonotonicInstant now = std::chrono::steady_clock::now();

  Drawn(const C& model, std::uint64_t seed, std::optional<std::size_t> cap = std::nullopt) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> gauss(0.0, 1.0);
    const std::size_t d = std::is_same_v<C, costs::CostNormalFullCov> ? 2 : 1;
    n = 4 + rng() % 8;
    std::vector<double> values(n * d);
    double level = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
      if (unit(rng) < 0.3) level += 3.0 * gauss(rng);
      for (std::size_t j = 0; j < d; ++j) values[t * d + j] = level + gauss(rng) * (1.0 + j);
    }
    series = testing::OwnedSeries{std::move(values), n, d};
    constraints = testing::constraints_with(1 + rng() % 3, 1 + rng() % 2);
    if (unit(rng) < 0.3) {
      auto& splits = constraints.candidate_splits.emplace();
      for (std::size_t p = 1; p < n; ++p) {
        if (unit(rng) < 0.6) splits.push_back(p);
      }
    }
    constraints.max_change_points = cap;
    // The full-covariance model is tried on two dimensions, with segments long enough to be finite.
    if (d == 2) constraints.min_segment_len = std::max<std::size_t>(constraints.min_segment_len, 3);
    beta = std::vector<double>{0.05, 0.5, 2.0, 6.0}[rng() % 4];
    v = testing::validated(constraints, n);
    cache = model.precompute(series.view(), core::CachePolicy::full()).value();
    best = testing::best_per_count(n, v.effective_candidates, v.min_segment_len,
                                   [&](std::size_t a, std::size_t b) { return cost(a, b); });
  }
  double cost(std::size_t a, std::size_t b) const { return C{}.segment_cost(cache, a, b); }

  Result<KernelResult> penalized(const C& model, double b, bool prune, RunStats& stats) const {
    return run_pelt_penalized(model, cache, n, v, b, prune, 1000,
                              core::ExecutionContext(constraints), now, stats);
  }
};

const std::vector<double> kBetas = {6.0, 0.05, 2.0, 0.5, 2.0};

template <class C>
class ExhaustiveOracle : public ::testing::Test {};
TYPED_TEST_SUITE(ExhaustiveOracle, testing::AllModels);

// Pruned and unpruned PELT runs reach the optimum (PELT under a cap only agrees with itself).
// Where two segmentations tie exactly (frequent with the median cost), pruning may keep the later
// start of the two, since an equal score prunes; the objectives then still agree. Dynp adds its
// costs left to right, as the search does, so its optima are exact, under a cap too.
TYPED_TEST(ExhaustiveOracle, PeltAndDynpReachTheOptimum) {
  using C = TypeParam;
  const C model{};
  int checked = 0, known = 0;
  for (std::uint64_t seed = 1; seed <= 400; ++seed) {
    const std::optional<std::size_t> cap =
        seed % 4 == 0 ? std::optional<std::size_t>(seed % 3) : std::nullopt;
    const Drawn<C> p(model, seed, cap);
    const auto cost = [&](std::size_t a, std::size_t b) { return p.cost(a, b); };
    const core::ExecutionContext ctx(p.constraints);
    RunStats stats, unpruned_stats, dynp_stats;
    const auto pruned = p.penalized(model, p.beta, kInequalityPruningIsExact<C>, stats);
    const auto unpruned = p.penalized(model, p.beta, false, unpruned_stats);
    const auto dynp = dynp::run_dynp_penalized(model, p.cache, p.series.view(), p.v, 1000, ctx,
                                               p.now, dynp_stats, p.beta);
    const double capped_optimum = testing::penalized_optimum(p.best, p.beta, cap);
    ASSERT_EQ(dynp.has_value(), std::isfinite(capped_optimum)) << seed;
    if (dynp) {
      EXPECT_EQ(dynp->penalized_objective, capped_optimum) << seed;
      EXPECT_EQ(testing::objective_of(dynp->breakpoints, 0.0, cost), dynp->objective) << seed;
      // One sweep answers a whole penalty path at the cost of one penalised run.
      RunStats path_stats;
      const auto path = dynp::run_dynp_penalty_path(model, p.cache, p.series.view(), p.v, kBetas,
                                                    1000, ctx, p.now, path_stats);
      EXPECT_EQ(path_stats.cost_evals, dynp_stats.cost_evals);
      for (std::size_t j = 0; j < kBetas.size(); ++j) {
        EXPECT_EQ(path->at(j).penalized_objective,
                  testing::penalized_optimum(p.best, kBetas[j], cap));
        EXPECT_EQ(testing::objective_of(path->at(j).breakpoints, 0.0, cost), path->at(j).objective);
      }
    }
    ASSERT_EQ(pruned.has_value(), unpruned.has_value()) << seed;
    if (!pruned) {
      EXPECT_EQ(pruned.error(), unpruned.error());
      EXPECT_TRUE(cap || !std::isfinite(capped_optimum)) << seed;
      EXPECT_EQ(pruned.error(),
                OvrelError::invalid_input(core::cat(
                    "no feasible segmentation under constraints at t=", p.n,
                    "; check min_segment_len, candidate_splits/jump, and max_change_points")));
      continue;
    }
    const double reference = cap ? unpruned->objective : capped_optimum;
    const double tol = 1e-9 * (1.0 + std::abs(reference));
    EXPECT_NEAR(unpruned->objective, reference, tol) << seed;
    EXPECT_NEAR(pruned->objective, reference, tol) << seed;
    EXPECT_NEAR(testing::objective_of(pruned->breakpoints, p.beta, cost), reference, tol) << seed;
    EXPECT_LE(pruned->change_count, cap.value_or(p.n));
    EXPECT_EQ(unpruned->run_candidates_pruned, 0u);
    EXPECT_EQ(stats.cost_evals, pruned->run_cost_evals);
    EXPECT_EQ(stats.candidates_pruned, pruned->run_candidates_pruned);
    if (!kInequalityPruningIsExact<C>) {
      EXPECT_EQ(stats.candidates_pruned, 0u);
    }
    ++checked;
    // Each entry of a penalty path is the penalised run of its beta.
    RunStats path_stats;
    const auto path =
        run_pelt_penalty_path(model, p.cache, p.n, p.v, kBetas, 1000, ctx, p.now, path_stats);
    ASSERT_TRUE(path.has_value()) << seed;
    for (std::size_t j = 0; j < kBetas.size(); ++j) {
      RunStats single_stats;
      const auto single = p.penalized(model, kBetas[j], kInequalityPruningIsExact<C>, single_stats);
      ASSERT_TRUE(single.has_value());
      EXPECT_EQ((*path)[j].breakpoints, single->breakpoints) << seed << " " << j;
      EXPECT_EQ((*path)[j].objective, single->objective);
      EXPECT_EQ((*path)[j].run_cost_evals, single->run_candidates_considered);
      EXPECT_EQ((*path)[j].run_candidates_pruned, single->run_candidates_pruned);
    }
    if (cap) continue;
    // Known k: Dynp's optimum for every count, and PELT's penalty search where it reaches k.
    for (std::size_t k = 1; k < p.best.size(); ++k) {
      const auto r = dynp::run_dynp_known_k(model, p.cache, p.n, p.v, k, 1000, ctx, p.now, stats);
      if (!std::isfinite(p.best[k].objective)) {
        EXPECT_EQ(r.error(), OvrelError::invalid_input(
                                 core::cat("KnownK exact solution unreachable: requested k=", k,
                                           " under current constraints")));
        continue;
      }
      ASSERT_TRUE(r) << "k=" << k << ": " << r.error().display();
      EXPECT_EQ(r->objective, p.best[k].objective) << seed << " k=" << k;
      EXPECT_EQ(testing::objective_of(r->breakpoints, 0.0, cost), r->objective) << "k=" << k;
    }
    const std::size_t k = 1 + seed % 2;
    const auto r = run_known_k_search(model, p.cache, p.n, p.v, k, 1000, ctx, p.now, stats);
    if (!r) {
      EXPECT_TRUE(r.error().message().starts_with("KnownK exact solution unreachable"));
      continue;
    }
    EXPECT_EQ(r->result.change_count, k);
    EXPECT_NEAR(testing::objective_of(r->result.breakpoints, 0.0, cost), p.best.at(k).objective,
                1e-9 * (1.0 + std::abs(p.best[k].objective)))
        << seed;
    ++known;
  }
  EXPECT_GT(checked, 250);
  EXPECT_GT(known, 20);
}

}  // namespace
}  // namespace ovrel::offline
