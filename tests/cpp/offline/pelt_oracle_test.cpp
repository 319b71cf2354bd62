// PELT against an exhaustive search over all segmentations of small random series, for every cost
// model and several minimum segment lengths, grid steps and explicit candidate lists; pruned runs
// against unpruned ones; known-k and penalty-path runs against the penalised kernel.

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "offline/offline_test_support.hpp"
#include "ovrel/offline/pelt.hpp"

namespace ovrel::offline {
namespace {

using testing::OwnedSeries;

struct Scenario {
  OwnedSeries series;
  core::Constraints constraints;
  double beta = 1.0;
};

// Small series with a few level shifts; settings drawn from the seed.
Scenario draw_scenario(std::uint64_t seed, std::size_t d) {
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<std::size_t> n_dist(4, 11);
  std::uniform_int_distribution<std::size_t> msl_dist(1, 3);
  std::uniform_int_distribution<std::size_t> jump_dist(1, 2);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> gauss(0.0, 1.0);
  Scenario s;
  const std::size_t n = n_dist(rng);
  std::vector<double> v(n * d);
  double level = 0.0;
  for (std::size_t t = 0; t < n; ++t) {
    if (unit(rng) < 0.3) level += 3.0 * gauss(rng);
    for (std::size_t j = 0; j < d; ++j) v[t * d + j] = level + gauss(rng) * (1.0 + j);
  }
  s.series = OwnedSeries{std::move(v), n, d};
  s.constraints.min_segment_len = msl_dist(rng);
  s.constraints.jump = jump_dist(rng);
  if (unit(rng) < 0.3) {
    std::vector<std::size_t> splits;
    for (std::size_t p = 1; p < n; ++p) {
      if (unit(rng) < 0.6) splits.push_back(p);
    }
    s.constraints.candidate_splits = splits;
  }
  const double betas[] = {0.05, 0.5, 2.0, 6.0};
  s.beta = betas[rng() % 4];
  return s;
}

// Pruned and unpruned runs reach the same optimum. Where two segmentations tie exactly (frequent
// with the median cost), pruning may keep the later start of the two, since an equal score prunes.
template <class Cost>
void expect_same_optimum(const KernelResult& pruned, const KernelResult& unpruned, double beta,
                         const Cost& cost, std::uint64_t seed) {
  const double tol = 1e-9 * (1.0 + std::abs(unpruned.objective));
  EXPECT_NEAR(pruned.objective, unpruned.objective, tol) << "seed " << seed;
  if (pruned.breakpoints != unpruned.breakpoints) {
    EXPECT_NEAR(testing::objective_of(pruned.breakpoints, beta, cost),
                testing::objective_of(unpruned.breakpoints, beta, cost), tol)
        << "seed " << seed;
  }
}

// A drawn scenario, adjusted for the model (then by `tweak`), with its validated constraints, the
// model's cache and segment cost, and a context over its constraints.
template <class C>
struct Prepared {
  Scenario sc;
  std::size_t n;
  core::ValidatedConstraints v;
  typename C::Cache cache;
  core::ExecutionContext ctx;
  MonotonicInstant started = std::chrono::steady_clock::now();

  Prepared(const C& model, std::uint64_t seed,
           const std::function<void(core::Constraints&)>& tweak = {})
      : sc(adjusted(draw_scenario(seed, testing::oracle_dims<C>()), tweak)),
        n(sc.series.n),
        v(core::validate_constraints(sc.constraints, n).value()),
        cache(model.precompute(sc.series.view(), core::CachePolicy::full()).value()),
        ctx(sc.constraints) {}

  static Scenario adjusted(Scenario s, const std::function<void(core::Constraints&)>& tweak) {
    testing::adjust_for_model<C>(s.constraints);
    if (tweak) tweak(s.constraints);
    return s;
  }
};

template <class C>
class PeltOracleTest : public ::testing::Test {};
TYPED_TEST_SUITE(PeltOracleTest, testing::AllModels, testing::ModelNames);

TYPED_TEST(PeltOracleTest, PenalisedRunsMatchExhaustiveSearchAndUnprunedRuns) {
  using C = TypeParam;
  const C model = C{};
  int checked = 0;
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    const Prepared<C> p(model, seed);
    const Scenario& sc = p.sc;
    const std::size_t n = p.n;
    ASSERT_TRUE(model.validate(sc.series.view()).has_value());
    auto cost = [&](std::size_t a, std::size_t b) { return model.segment_cost(p.cache, a, b); };
    const auto oracle = testing::exhaustive_optimum(
        n, p.v.effective_candidates, p.v.min_segment_len, sc.beta, std::nullopt, cost);
    RunStats stats;
    auto pruned = run_pelt_penalized(model, p.cache, n, p.v, sc.beta, kInequalityPruningIsExact<C>,
                                     1000, p.ctx, p.started, stats);
    RunStats unpruned_stats;
    auto unpruned = run_pelt_penalized(model, p.cache, n, p.v, sc.beta, false, 1000, p.ctx,
                                       p.started, unpruned_stats);
    if (!std::isfinite(oracle.objective)) {
      ASSERT_FALSE(pruned.has_value()) << "seed " << seed;
      EXPECT_EQ(pruned.error().message(),
                core::cat("no feasible segmentation under constraints at t=", n,
                          "; check min_segment_len, candidate_splits/jump, and "
                          "max_change_points"));
      continue;
    }
    ASSERT_TRUE(pruned.has_value()) << "seed " << seed << ": " << pruned.error().display();
    ASSERT_TRUE(unpruned.has_value()) << "seed " << seed;
    const double tol = 1e-9 * (1.0 + std::abs(oracle.objective));
    EXPECT_NEAR(pruned->objective, oracle.objective, tol) << "seed " << seed;
    EXPECT_NEAR(testing::objective_of(pruned->breakpoints, sc.beta, cost), oracle.objective, tol)
        << "seed " << seed;
    expect_same_optimum(*pruned, *unpruned, sc.beta, cost, seed);
    EXPECT_EQ(pruned->change_count, pruned->breakpoints.size() - 1);
    EXPECT_EQ(unpruned->run_candidates_pruned, 0u);
    EXPECT_EQ(pruned->run_cost_evals, pruned->run_candidates_considered);
    EXPECT_EQ(stats.cost_evals, pruned->run_cost_evals);
    EXPECT_EQ(stats.candidates_pruned, pruned->run_candidates_pruned);
    if (!kInequalityPruningIsExact<C>) {
      EXPECT_EQ(stats.candidates_pruned, 0u);
    }
    ++checked;
  }
  EXPECT_GT(checked, 200);
}

TYPED_TEST(PeltOracleTest, UnprunedRunsMatchExhaustiveSearchAtEverySetting) {
  using C = TypeParam;
  const C model = C{};
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    const Prepared<C> p(model, seed + 5000);
    const Scenario& sc = p.sc;
    auto cost = [&](std::size_t a, std::size_t b) { return model.segment_cost(p.cache, a, b); };
    const auto oracle = testing::exhaustive_optimum(
        p.n, p.v.effective_candidates, p.v.min_segment_len, sc.beta, std::nullopt, cost);
    RunStats stats;
    auto r =
        run_pelt_penalized(model, p.cache, p.n, p.v, sc.beta, false, 1000, p.ctx, p.started, stats);
    ASSERT_EQ(r.has_value(), std::isfinite(oracle.objective)) << "seed " << seed;
    if (!r) continue;
    const double tol = 1e-9 * (1.0 + std::abs(oracle.objective));
    EXPECT_NEAR(r->objective, oracle.objective, tol) << "seed " << seed;
    EXPECT_NEAR(testing::objective_of(r->breakpoints, sc.beta, cost), oracle.objective, tol);
  }
}

TYPED_TEST(PeltOracleTest, CappedPrunedRunsAgreeWithUnprunedRuns) {
  using C = TypeParam;
  const C model = C{};
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    const Prepared<C> p(model, seed + 1000,
                        [&](core::Constraints& c) { c.max_change_points = seed % 3; });
    const Scenario& sc = p.sc;
    RunStats a, b;
    auto pruned = run_pelt_penalized(model, p.cache, p.n, p.v, sc.beta,
                                     kInequalityPruningIsExact<C>, 1000, p.ctx, p.started, a);
    auto unpruned =
        run_pelt_penalized(model, p.cache, p.n, p.v, sc.beta, false, 1000, p.ctx, p.started, b);
    ASSERT_EQ(pruned.has_value(), unpruned.has_value()) << "seed " << seed;
    if (!pruned) {
      EXPECT_EQ(pruned.error(), unpruned.error());
      continue;
    }
    auto cost = [&](std::size_t a, std::size_t b) { return model.segment_cost(p.cache, a, b); };
    expect_same_optimum(*pruned, *unpruned, sc.beta, cost, seed);
    EXPECT_LE(pruned->change_count, *sc.constraints.max_change_points);
  }
}

TYPED_TEST(PeltOracleTest, KnownKFindsTheBestSegmentationWithExactlyKChanges) {
  using C = TypeParam;
  const C model = C{};
  int found = 0;
  for (std::uint64_t seed = 1; seed <= 120; ++seed) {
    const Prepared<C> p(model, seed + 2000);
    auto cost = [&](std::size_t a, std::size_t b) { return model.segment_cost(p.cache, a, b); };
    const std::size_t k = 1 + seed % 2;
    const auto oracle = testing::exhaustive_optimum(p.n, p.v.effective_candidates,
                                                    p.v.min_segment_len, 0.0, k, cost);
    RunStats stats;
    auto r = run_known_k_search(model, p.cache, p.n, p.v, k, 1000, p.ctx, p.started, stats);
    if (!r) {
      EXPECT_TRUE(r.error().message().starts_with("KnownK exact solution unreachable"))
          << r.error().display();
      continue;
    }
    ASSERT_TRUE(std::isfinite(oracle.objective));
    EXPECT_EQ(r->result.change_count, k);
    EXPECT_EQ(stats.candidates_pruned, 0u);
    EXPECT_NEAR(testing::objective_of(r->result.breakpoints, 0.0, cost), oracle.objective,
                1e-9 * (1.0 + std::abs(oracle.objective)))
        << "seed " << seed;
    ++found;
  }
  EXPECT_GT(found, 5);
}

TYPED_TEST(PeltOracleTest, PenaltyPathEntriesEqualPenalisedRuns) {
  using C = TypeParam;
  const C model = C{};
  const std::vector<double> betas = {6.0, 0.05, 2.0, 0.5, 2.0};
  for (std::uint64_t seed = 1; seed <= 100; ++seed) {
    const Prepared<C> p(model, seed + 3000, [&](core::Constraints& c) {
      if (seed % 4 == 0) c.max_change_points = 1;
    });
    RunStats path_stats;
    auto path =
        run_pelt_penalty_path(model, p.cache, p.n, p.v, betas, 1000, p.ctx, p.started, path_stats);
    if (!path) {
      EXPECT_TRUE(path.error().message().starts_with("no feasible segmentation"));
      continue;
    }
    ASSERT_EQ(path->size(), betas.size());
    for (std::size_t j = 0; j < betas.size(); ++j) {
      RunStats single_stats;
      auto single =
          run_pelt_penalized(model, p.cache, p.n, p.v, betas[j], kInequalityPruningIsExact<C>, 1000,
                             p.ctx, p.started, single_stats);
      ASSERT_TRUE(single.has_value());
      EXPECT_EQ((*path)[j].breakpoints, single->breakpoints) << "seed " << seed << " j " << j;
      EXPECT_EQ((*path)[j].objective, single->objective);
      EXPECT_EQ((*path)[j].run_cost_evals, single->run_candidates_considered);
      EXPECT_EQ((*path)[j].run_candidates_pruned, single->run_candidates_pruned);
    }
    EXPECT_EQ((*path)[2], (*path)[4]);
  }
}

}  // namespace
}  // namespace ovrel::offline
