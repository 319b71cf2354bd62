// PELT against an exhaustive search over all segmentations of small random series, for every cost
// model and several minimum segment lengths, grid steps, explicit candidate lists and change caps;
// pruned runs against unpruned ones; known-k and penalty-path runs against the penalised kernel.

#include <chrono>
#include <cstddef>
#include <optional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "offline/offline_test_support.hpp"
#include "ovrel/offline/pelt.hpp"
#include "ovrel/offline/pelt_impl.hpp"

namespace ovrel::offline {
namespace {

// A small series with a few level shifts and settings drawn from the seed, adjusted for the
// model, with its validated constraints, the model's cache and a context.
template <class C>
struct Drawn {
  testing::OwnedSeries series;
  core::Constraints constraints;
  double beta = 1.0;
  std::size_t n = 0;
  core::ValidatedConstraints v;
  typename C::Cache cache;
  MonotonicInstant now = std::chrono::steady_clock::now();

  Drawn(const C& model, std::uint64_t seed, std::optional<std::size_t> cap = std::nullopt) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> gauss(0.0, 1.0);
    const std::size_t d = testing::oracle_dims<C>();
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
      std::vector<std::size_t> splits;
      for (std::size_t p = 1; p < n; ++p) {
        if (unit(rng) < 0.6) splits.push_back(p);
      }
      constraints.candidate_splits = splits;
    }
    constraints.max_change_points = cap;
    testing::adjust_for_model<C>(constraints);
    beta = std::vector<double>{0.05, 0.5, 2.0, 6.0}[rng() % 4];
    v = testing::validated(constraints, n);
    cache = model.precompute(series.view(), core::CachePolicy::full()).value();
  }

  Result<KernelResult> penalized(const C& model, double b, bool prune, RunStats& stats) const {
    return run_pelt_penalized(model, cache, n, v, b, prune, 1000,
                              core::ExecutionContext(constraints), now, stats);
  }
};

template <class C>
class PeltOracleTest : public ::testing::Test {};
TYPED_TEST_SUITE(PeltOracleTest, testing::AllModels, testing::ModelNames);

// Pruned and unpruned runs reach the exhaustive optimum. Where two segmentations tie exactly
// (frequent with the median cost), pruning may keep the later start of the two, since an equal
// score prunes; the objectives then still agree.
TYPED_TEST(PeltOracleTest, PenalisedRunsMatchExhaustiveSearchPrunedOrNot) {
  using C = TypeParam;
  const C model{};
  int checked = 0;
  for (std::uint64_t seed = 1; seed <= 400; ++seed) {
    const std::optional<std::size_t> cap =
        seed % 4 == 0 ? std::optional<std::size_t>(seed % 3) : std::nullopt;
    const Drawn<C> p(model, seed, cap);
    auto cost = [&](std::size_t a, std::size_t b) { return model.segment_cost(p.cache, a, b); };
    const auto oracle =
        cap ? std::optional<testing::OracleAnswer>()
            : testing::exhaustive_optimum(p.n, p.v.effective_candidates, p.v.min_segment_len,
                                          p.beta, std::nullopt, cost);
    RunStats stats, unpruned_stats;
    const auto pruned = p.penalized(model, p.beta, kInequalityPruningIsExact<C>, stats);
    const auto unpruned = p.penalized(model, p.beta, false, unpruned_stats);
    ASSERT_EQ(pruned.has_value(), unpruned.has_value()) << seed;
    if (!pruned) {
      EXPECT_EQ(pruned.error(), unpruned.error());
      EXPECT_TRUE(!oracle || !std::isfinite(oracle->objective)) << seed;
      EXPECT_EQ(pruned.error(),
                OvrelError::invalid_input(core::cat(
                    "no feasible segmentation under constraints at t=", p.n,
                    "; check min_segment_len, candidate_splits/jump, and max_change_points")));
      continue;
    }
    const double reference = oracle ? oracle->objective : unpruned->objective;
    const double tol = 1e-9 * (1.0 + std::abs(reference));
    EXPECT_NEAR(unpruned->objective, reference, tol) << seed;
    EXPECT_NEAR(pruned->objective, reference, tol) << seed;
    EXPECT_NEAR(testing::objective_of(pruned->breakpoints, p.beta, cost), reference, tol) << seed;
    if (cap) {
      EXPECT_LE(pruned->change_count, *cap);
    }
    EXPECT_EQ(unpruned->run_candidates_pruned, 0u);
    EXPECT_EQ(stats.cost_evals, pruned->run_cost_evals);
    EXPECT_EQ(stats.candidates_pruned, pruned->run_candidates_pruned);
    if (!kInequalityPruningIsExact<C>) {
      EXPECT_EQ(stats.candidates_pruned, 0u);
    }
    ++checked;
  }
  EXPECT_GT(checked, 250);
}

TYPED_TEST(PeltOracleTest, KnownKFindsTheBestSegmentationWithExactlyKChanges) {
  using C = TypeParam;
  const C model{};
  int found = 0;
  for (std::uint64_t seed = 2001; seed <= 2120; ++seed) {
    const Drawn<C> p(model, seed);
    auto cost = [&](std::size_t a, std::size_t b) { return model.segment_cost(p.cache, a, b); };
    const std::size_t k = 1 + seed % 2;
    const auto oracle = testing::exhaustive_optimum(p.n, p.v.effective_candidates,
                                                    p.v.min_segment_len, 0.0, k, cost);
    RunStats stats;
    const auto r = run_known_k_search(model, p.cache, p.n, p.v, k, 1000,
                                      core::ExecutionContext(p.constraints), p.now, stats);
    if (!r) {
      EXPECT_TRUE(r.error().message().starts_with("KnownK exact solution unreachable"));
      continue;
    }
    EXPECT_EQ(r->result.change_count, k);
    EXPECT_NEAR(testing::objective_of(r->result.breakpoints, 0.0, cost), oracle.objective,
                1e-9 * (1.0 + std::abs(oracle.objective)))
        << seed;
    ++found;
  }
  EXPECT_GT(found, 5);
}

TYPED_TEST(PeltOracleTest, PenaltyPathEntriesEqualPenalisedRuns) {
  using C = TypeParam;
  const C model{};
  const std::vector<double> betas = {6.0, 0.05, 2.0, 0.5, 2.0};
  for (std::uint64_t seed = 3001; seed <= 3100; ++seed) {
    const Drawn<C> p(model, seed, seed % 4 == 0 ? std::optional<std::size_t>(1) : std::nullopt);
    RunStats path_stats;
    const auto path =
        run_pelt_penalty_path(model, p.cache, p.n, p.v, betas, 1000,
                              core::ExecutionContext(p.constraints), p.now, path_stats);
    if (!path) {
      EXPECT_TRUE(path.error().message().starts_with("no feasible segmentation"));
      continue;
    }
    for (std::size_t j = 0; j < betas.size(); ++j) {
      RunStats stats;
      const auto single = p.penalized(model, betas[j], kInequalityPruningIsExact<C>, stats);
      ASSERT_TRUE(single.has_value());
      EXPECT_EQ((*path)[j].breakpoints, single->breakpoints) << seed << " " << j;
      EXPECT_EQ((*path)[j].objective, single->objective);
      EXPECT_EQ((*path)[j].run_cost_evals, single->run_candidates_considered);
      EXPECT_EQ((*path)[j].run_candidates_pruned, single->run_candidates_pruned);
    }
  }
}

}  // namespace
}  // namespace ovrel::offline
