// PELT's kernels beyond the shared contract and the exhaustive oracle: their messages on
// non-finite costs, their counters against a plain pruned recurrence, and the penalty path's check
// period and memory (FPOP's path shares it).

#include "ovrel/offline/pelt.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "offline/offline_test_support.hpp"
#include "ovrel/offline/fpop.hpp"
#include "ovrel/offline/pelt_impl.hpp"

namespace ovrel::offline {

// Calls of the global operator new that throws on refusal, replaced below for the allocation test.
std::uint64_t g_allocations = 0;

namespace {

using testing::FunctionCost;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A series with its validated constraints and L2 cache, for the kernels.
struct Kernel {
  testing::OwnedSeries s;
  core::Constraints constraints;
  core::ValidatedConstraints v = testing::validated(constraints, s.n);
  costs::L2Cache cache = *costs::CostL2Mean{}.precompute(s.view(), core::CachePolicy::full());
  MonotonicInstant now = std::chrono::steady_clock::now();
};

TEST(PeltKernels, RefuseNonFiniteCostsAndScoresAfterCountingThem) {
  using Overrides = std::vector<std::tuple<std::size_t, std::size_t, double>>;
  for (const auto& [overrides, beta, message, cost_evals] :
       std::vector<std::tuple<Overrides, double, std::string, std::uint64_t>>{
           {{{0, 2, kNaN}}, 1.0, "non-finite segment cost at [0, 2): NaN", 1},
           // Start 0 was pruned at t=2: beta vanishes against 1e308.
           {{{0, 2, 1e308}, {2, 4, 1e308}},
            1.0,
            core::cat("non-finite score without penalty at t=4, tau=2: F(tau)=",
                      (-1.0 + 1e308) + 1.0, ", segment_cost=", 1e308, ", score_no_penalty=inf"),
            2},
           {{{0, 2, 1e308}, {2, 4, 7.9e307}},
            1e306,
            core::cat("non-finite objective at t=4, tau=2: F(tau)=", (-1e306 + 1e308) + 1e306,
                      ", segment_cost=", 7.9e307, ", beta=", 1e306, ", candidate=inf"),
            3},
       }) {
    const std::vector<double> x{1.0, 2.0, 3.0, 4.0};
    const auto model = FunctionCost::of([&](std::size_t s, std::size_t e) {
      for (const auto& [a, b, v] : overrides) {
        if (a == s && b == e) return v;
      }
      return testing::direct_l2(x, s, e);
    });
    const auto v = testing::validated(testing::constraints_with(2, 1), 4);
    const core::Constraints none;
    RunStats stats;
    const auto r =
        run_pelt_penalized(model, FunctionCost::Cache{4, 1}, 4, v, beta, true, 1,
                           core::ExecutionContext(none), std::chrono::steady_clock::now(), stats);
    EXPECT_EQ(r.error(), OvrelError::numerical_issue(message));
    EXPECT_EQ(stats.cost_evals, cost_evals);
  }
}

// With min_segment_len 1, or targets at least min_segment_len apart, a dominated start leaves at
// the target that dominates it: the counters are those of the plain recurrence with immediate
// pruning, written out here.
TEST(PeltKernels, CountersMatchAPlainPrunedRecurrence) {
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    for (const auto& [msl, jump] : {std::pair{1, 1}, std::pair{2, 2}, std::pair{3, 4}}) {
      const Kernel k{testing::noisy_steps(90, 1, 15, 2.0, 1.0, seed),
                     testing::constraints_with(msl, jump)};
      const double beta = 1.0 + static_cast<double>(seed % 5);
      std::vector<double> F(91, kInf);
      std::vector<std::size_t> prev(91, kNone);
      F[0] = -beta;
      prev[0] = 0;
      std::vector<std::size_t> active{0};
      std::uint64_t evaluations = 0, pruned = 0;
      for (std::size_t t : build_targets(k.v, 90)) {
        std::vector<std::pair<std::size_t, double>> scored;
        for (std::size_t tau : active) {
          if (t - tau < k.v.min_segment_len) continue;
          const double s0 = F[tau] + costs::CostL2Mean{}.segment_cost(k.cache, tau, t);
          ++evaluations;
          scored.emplace_back(tau, s0);
          if (s0 + beta < F[t]) {
            F[t] = s0 + beta;
            prev[t] = tau;
          }
        }
        std::erase_if(active, [&](std::size_t tau) {
          const auto it = std::find_if(scored.begin(), scored.end(),
                                       [&](const auto& e) { return e.first == tau; });
          return it != scored.end() && it->second >= F[t] && ++pruned;
        });
        if (t < 90) active.push_back(t);
      }
      RunStats stats;
      const auto r = run_pelt_penalized(costs::CostL2Mean{}, k.cache, 90, k.v, beta, true, 1000,
                                        core::ExecutionContext(k.constraints), k.now, stats);
      ASSERT_TRUE(r.has_value());
      EXPECT_EQ(r->breakpoints, reconstruct_breakpoints(90, prev)->breakpoints) << seed;
      EXPECT_EQ(r->run_cost_evals, evaluations) << seed;
      EXPECT_EQ(r->run_candidates_pruned, pruned) << seed;
    }
  }
}

// The penalty path checks its period per target and penalty: with period 3 the third step (first
// beta of the second target) sees the flag, after one shared cost; 1000 never comes within 120
// steps. (The cost shared by the betas of a target is counted in tests/data/offline_runs.txt.)
TEST(PeltKernels, PenaltyPathChecksPerTargetPenaltyStep) {
  const Kernel k{testing::noisy_steps(60, 1, 20, 5.0, 0.3, 7), testing::constraints_with(1, 1)};
  for (const auto& [every, fails, evals] :
       {std::tuple{1, true, 0}, std::tuple{3, true, 1}, std::tuple{1000, false, 0}}) {
    testing::RecordingContext rc(k.constraints);
    rc.token.cancel();
    RunStats stats;
    const std::vector<double> betas = {5.0, 9.0};
    const auto p = run_pelt_penalty_path(costs::CostL2Mean{}, k.cache, 60, k.v, betas,
                                         static_cast<std::size_t>(every), rc.ctx, k.now, stats);
    EXPECT_EQ(p.has_value(), !fails) << every;
    if (fails) {
      EXPECT_EQ(stats.cost_evals, static_cast<std::uint64_t>(evals)) << every;
    }
  }
}

// A penalty path's states are counted before the first target: a budget below the estimate is
// refused before any cost, one at it runs as without a budget. Per point the estimate holds 8
// bytes for each table of a penalty (objective, predecessor, starts, scores; counts under a cap;
// when pruning the dominance marks and, above min_segment_len 1, the two-word dominated list) and
// of the shared memo and pruning positions; per penalty 248 bytes of records.
TEST(PeltKernels, PenaltyPathStatesAreBudgetedUpFront) {
  struct Row {
    const char* kernel;
    std::size_t min_segment_len;
    std::optional<std::size_t> cap;
    std::vector<double> betas;
    std::uint64_t required;
  };
  const Row rows[] = {
      {"pelt", 1, std::nullopt, {5.0, 9.0}, 2 * (5 * 488 + 248) + 3 * 488},
      {"fpop", 2, std::nullopt, {5.0, 9.0, 20.0}, 3 * (7 * 488 + 248) + 4 * 488},
      {"pelt", 2, 3, {5.0}, 8 * 488 + 248 + 4 * 488},
      {"unpruned", 2, std::nullopt, {5.0, 9.0}, 2 * (4 * 488 + 248) + 2 * 488},
  };
  const auto series = testing::noisy_steps(60, 1, 20, 5.0, 0.3, 7);
  const costs::CostNIGMarginal nig;
  const auto nig_cache = *nig.precompute(series.view(), core::CachePolicy::full());
  for (const Row& row : rows) {
    const std::string kernel = row.kernel;
    auto run = [&](std::optional<std::uint64_t> budget, RunStats& stats) {
      core::Constraints c = testing::constraints_with(row.min_segment_len, 1);
      c.max_change_points = row.cap;
      c.memory_budget_bytes = budget;
      const Kernel k{series, c};
      const core::ExecutionContext ctx(c);
      if (kernel == "fpop") {
        return run_fpop_penalty_path(costs::CostL2Mean{}, k.cache, 60, k.v, row.betas, 1000, ctx,
                                     k.now, stats);
      }
      if (kernel == "unpruned") {
        return run_pelt_penalty_path(nig, nig_cache, 60, k.v, row.betas, 1000, ctx, k.now, stats);
      }
      return run_pelt_penalty_path(costs::CostL2Mean{}, k.cache, 60, k.v, row.betas, 1000, ctx,
                                   k.now, stats);
    };
    RunStats refused_stats, free_stats, at_budget_stats;
    EXPECT_EQ(run(row.required - 1, refused_stats).error(),
              OvrelError::resource_limit(
                  core::cat("constraints.memory_budget_bytes exceeded for penalty path states: "
                            "required_bytes=",
                            row.required, ", limit_bytes=", row.required - 1,
                            "; increase constraints.memory_budget_bytes, or use fewer penalties")))
        << kernel;
    EXPECT_EQ(refused_stats.cost_evals, 0u);
    const auto free = run(std::nullopt, free_stats);
    const auto at_budget = run(row.required, at_budget_stats);
    ASSERT_TRUE(free.has_value() && at_budget.has_value()) << kernel;
    EXPECT_EQ(*at_budget, *free) << kernel;
    EXPECT_EQ(at_budget_stats.cost_evals, free_stats.cost_evals);
    EXPECT_EQ(at_budget_stats.candidates_considered, free_stats.candidates_considered);
    EXPECT_EQ(at_budget_stats.candidates_pruned, free_stats.candidates_pruned);
  }
}

// Without a budget, states the system cannot provide are an out-of-memory error naming the bytes,
// saturated when they do not fit 64 bits (a length no vector takes).
TEST(PeltKernels, PenaltyPathStatesTheSystemRefusesNameTheirBytes) {
  const core::ValidatedConstraints v;
  const auto got = detail::allocate_path_states(detail::PathShape(SIZE_MAX / 4, 2, true, v), v);
  EXPECT_EQ(got.error(),
            OvrelError::out_of_memory("penalty path state allocation failed: "
                                      "required_bytes=18446744073709551615; use fewer penalties"));
}

// Nothing is allocated while the targets run: every table the path writes, the dominated lists and
// the pruning positions included, exists before its first cost. (Under the sanitizer, whose
// allocator serves arrays itself, the scratch arrays go uncounted.)
TEST(PeltKernels, PenaltyPathAllocatesNothingBetweenItsFirstAndLastCost) {
  const auto s = testing::noisy_steps(400, 1, 20, 5.0, 0.3, 7);
  for (const auto& [msl, cap] :
       {std::pair<std::size_t, std::optional<std::size_t>>{1, {}}, {4, {}}, {4, 30}}) {
    std::optional<std::uint64_t> first;
    std::uint64_t last = 0;
    const auto model = FunctionCost::of([&](std::size_t a, std::size_t b) {
      if (!first) first = g_allocations;
      last = g_allocations;
      return testing::direct_l2(s.values, a, b);
    });
    core::Constraints c = testing::constraints_with(msl, 1);
    c.max_change_points = cap;
    const auto v = testing::validated(c, 400);
    RunStats stats;
    const std::vector<double> betas = {0.5, 2.0, 8.0};
    const auto r =
        run_pelt_penalty_path(model, FunctionCost::Cache{400, 1}, 400, v, betas, 1000,
                              core::ExecutionContext(c), std::chrono::steady_clock::now(), stats);
    ASSERT_TRUE(r.has_value()) << r.error().display();
    EXPECT_GT(stats.candidates_pruned, 0u);
    EXPECT_EQ(last, *first) << "min_segment_len=" << msl;
  }
}

}  // namespace
}  // namespace ovrel::offline

// The replacement pair allocates with malloc and frees with free, which GCC sees as a mismatch
// wherever it inlines them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  ++ovrel::offline::g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// Uncounted: a refusal comes back as a null pointer, never as an exception (std::inplace_merge's
// buffer).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
