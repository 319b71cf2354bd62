// The PELT detector and its kernels: notes, warnings, metrics, progress, pruning statistics,
// budgets, cancellation and errors.

#include "ovrel/offline/pelt.hpp"

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "offline/offline_test_support.hpp"
#include "offline/scripted_cost.hpp"
#include "ovrel/offline/pelt_impl.hpp"

namespace ovrel::offline {
namespace {

using testing::RecordingContext;
using testing::ScriptedCost;

constexpr std::string_view kInfeasibleTail =
    "; check min_segment_len, candidate_splits/jump, and max_change_points";

PeltConfig config_for(core::Stopping stopping, std::size_t params = 2,
                      std::size_t cancel_check_every = 1000) {
  return PeltConfig{std::move(stopping), params, cancel_check_every};
}

template <class C = costs::CostL2Mean>
Result<core::OfflineChangePointResult> run(const testing::OwnedSeries& s, PeltConfig config,
                                           RecordingContext& rc, C model = C{}) {
  const Pelt<C> pelt{std::move(config), model};
  return pelt.detect(s.view(), rc.ctx);
}

// Three levels of 20 points each.
testing::OwnedSeries three_steps() { return testing::noisy_steps(60, 1, 20, 5.0, 0.3, 7); }

std::vector<float> expected_progress(std::size_t targets) {
  std::vector<float> p;
  for (std::size_t i = 0; i < targets; ++i) {
    p.push_back(static_cast<float>(i + 1) / static_cast<float>(targets));
  }
  return p;
}

// ---------------------------------------------------------------------------------------------
// Configuration.

TEST(PeltConfig, StoppingErrorsComeBeforeTheParameterCount) {
  EXPECT_EQ(config_for(core::Stopping::known_k(0), 0).validate().error().message(),
            "Stopping::KnownK requires k >= 1; got 0");
  EXPECT_EQ(
      config_for(core::Stopping::penalized(core::Penalty::bic()), 0).validate().error().message(),
      "PeltConfig.params_per_segment must be >= 1; got 0");
}

TEST(PeltDetect, RevalidatesTheConfigurationBeforeAnythingElse) {
  RecordingContext rc;
  auto r = run(three_steps(), config_for(core::Stopping::penalized(core::Penalty::bic()), 0), rc);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "PeltConfig.params_per_segment must be >= 1; got 0");
  EXPECT_TRUE(rc.recorder.metrics.empty());
  EXPECT_TRUE(rc.recorder.progress.empty());
}

// ---------------------------------------------------------------------------------------------
// A penalised run end to end.

TEST(PeltDetect, PenalisedBicRunReportsNotesMetricsProgressAndDiagnostics) {
  const auto s = three_steps();
  RecordingContext rc(core::Constraints{}, core::BudgetMode::HardFail, core::ReproMode::Strict);
  auto r = run(s, config_for(core::Stopping::penalized(core::Penalty::bic())), rc);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(r->breakpoints, (std::vector<std::size_t>{20, 40, 60}));
  EXPECT_EQ(r->change_points, (std::vector<std::size_t>{20, 40}));

  // The same run through the kernel gives the figures the notes must carry.
  const double beta = 2.0 * std::log(60.0);
  auto validated = core::validate_constraints(rc.constraints, 60);
  auto cache = costs::CostL2Mean{}.precompute(s.view(), core::CachePolicy::full());
  core::ExecutionContext quiet(rc.constraints);
  RunStats stats;
  auto k = run_pelt_penalized(costs::CostL2Mean{}, *cache, 60, *validated, beta, true, 1000, quiet,
                              std::chrono::steady_clock::now(), stats);
  ASSERT_TRUE(k.has_value());

  const auto& dg = r->diagnostics;
  EXPECT_EQ(dg.notes, (std::vector<std::string>{
                          core::cat("stopping=Penalized(BIC), beta=", beta,
                                    ", params_per_segment=2 (model_default)"),
                          core::cat("final_objective=", k->objective, ", change_count=2"),
                          core::cat("run_cost_evals=", k->run_cost_evals),
                          core::cat("run_candidates_considered=", k->run_candidates_considered,
                                    ", run_candidates_pruned=", k->run_candidates_pruned)}));
  EXPECT_TRUE(dg.warnings.empty());
  EXPECT_EQ(dg.n, 60u);
  EXPECT_EQ(dg.d, 1u);
  EXPECT_EQ(dg.algorithm, "pelt");
  EXPECT_EQ(dg.cost_model, "l2_mean");
  EXPECT_EQ(dg.repro_mode, core::ReproMode::Strict);
  ASSERT_TRUE(dg.runtime_ms.has_value());
  ASSERT_TRUE(dg.pruning_stats.has_value());
  EXPECT_EQ(dg.pruning_stats->candidates_considered, stats.candidates_considered);
  EXPECT_EQ(dg.pruning_stats->candidates_pruned, stats.candidates_pruned);
  EXPECT_GT(stats.candidates_pruned, 0u);
  EXPECT_EQ(dg.schema_version, 1u);

  using Metric = std::pair<std::string, double>;
  EXPECT_EQ(
      rc.recorder.metrics,
      (std::vector<Metric>{
          {"offline.pelt.cost_evals", static_cast<double>(stats.cost_evals)},
          {"offline.pelt.candidates_considered", static_cast<double>(stats.candidates_considered)},
          {"offline.pelt.candidates_pruned", static_cast<double>(stats.candidates_pruned)},
          {"offline.pelt.runtime_ms", static_cast<double>(*dg.runtime_ms)}}));
  // Targets 2..58 and 60: one report each, then 1.0 from the detector.
  auto progress = expected_progress(58);
  progress.push_back(1.0f);
  EXPECT_EQ(rc.recorder.progress, progress);
}

TEST(PeltDetect, MaxDepthIsIgnoredWithAWarning) {
  const auto s = three_steps();
  core::Constraints c;
  c.max_depth = 3;
  RecordingContext with(c);
  RecordingContext without;
  auto a = run(s, config_for(core::Stopping::penalized(core::Penalty::bic())), with);
  auto b = run(s, config_for(core::Stopping::penalized(core::Penalty::bic())), without);
  ASSERT_TRUE(a.has_value() && b.has_value());
  EXPECT_EQ(a->diagnostics.warnings,
            (std::vector<std::string>{"constraints.max_depth=3 is ignored by PELT"}));
  EXPECT_EQ(a->breakpoints, b->breakpoints);
  EXPECT_EQ(a->diagnostics.notes, b->diagnostics.notes);
}

TEST(PeltDetect, ACheckIntervalOfZeroBehavesAsOne) {
  const auto s = three_steps();
  RecordingContext zero, one;
  auto a = run(s, config_for(core::Stopping::penalized(core::Penalty::aic()), 2, 0), zero);
  auto b = run(s, config_for(core::Stopping::penalized(core::Penalty::aic()), 2, 1), one);
  ASSERT_TRUE(a.has_value() && b.has_value());
  EXPECT_EQ(a->breakpoints, b->breakpoints);
  EXPECT_EQ(a->diagnostics.notes, b->diagnostics.notes);
  EXPECT_EQ(zero.recorder.progress, one.recorder.progress);
}

TEST(PeltDetect, AContextWithoutSinksGivesTheSameResult) {
  const auto s = three_steps();
  RecordingContext rc;
  const core::Constraints c;
  core::ExecutionContext bare(c);
  const Pelt<costs::CostL2Mean> pelt{config_for(core::Stopping::penalized(core::Penalty::bic())),
                                     {}};
  auto a = pelt.detect(s.view(), rc.ctx);
  auto b = pelt.detect(s.view(), bare);
  ASSERT_TRUE(a.has_value() && b.has_value());
  EXPECT_EQ(a->breakpoints, b->breakpoints);
  EXPECT_EQ(a->diagnostics.notes, b->diagnostics.notes);
}

// Pruning with min_segment_len 2 must not drop a start that only a too-close position dominates.
TEST(PeltDetect, PruningKeepsTheOptimumWithMinimumSegmentLengthTwo) {
  RecordingContext rc;
  auto r = run(testing::series({3, 3, 1, 1, 4, 0, 1}),
               config_for(core::Stopping::penalized(core::Penalty::manual(2.0))), rc);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(r->breakpoints, (std::vector<std::size_t>{5, 7}));
  EXPECT_EQ(r->diagnostics.notes[1], "final_objective=9.7, change_count=1");
}

// ---------------------------------------------------------------------------------------------
// Penalty paths.

TEST(PeltDetect, PenaltyPathNotesEveryEntryAndAnswersWithTheFirst) {
  const auto s = three_steps();
  RecordingContext rc, single;
  auto r = run(s,
               config_for(core::Stopping::penalty_path(
                   {core::Penalty::manual(10.0), core::Penalty::bic(), core::Penalty::aic()})),
               rc);
  auto m = run(s, config_for(core::Stopping::penalized(core::Penalty::manual(10.0))), single);
  ASSERT_TRUE(r.has_value() && m.has_value());
  EXPECT_EQ(r->breakpoints, m->breakpoints);
  const auto& notes = r->diagnostics.notes;
  ASSERT_EQ(notes.size(), 7u);
  EXPECT_EQ(notes[0], "stopping=PenaltyPath(len=3), primary_index=0");
  EXPECT_EQ(notes[1], core::cat("penalty_path[0]: penalty=Manual(10.0), beta=10, "
                                "params_per_segment=2 (config), change_count=2, objective=",
                                r->diagnostics.notes[4].substr(16, notes[4].find(',') - 16)));
  EXPECT_TRUE(
      notes[2].starts_with(core::cat("penalty_path[1]: penalty=BIC, beta=", 2.0 * std::log(60.0),
                                     ", params_per_segment=2 (model_default), ")));
  EXPECT_TRUE(notes[3].starts_with(
      "penalty_path[2]: penalty=AIC, beta=4, params_per_segment=2 (model_default), "));
  EXPECT_EQ(notes[4], m->diagnostics.notes[1]);
  EXPECT_TRUE(notes[5].starts_with("run_candidates_scored="));
  EXPECT_EQ(notes[5].substr(notes[5].find('=')),
            m->diagnostics.notes[2].substr(m->diagnostics.notes[2].find('=')));
  EXPECT_EQ(notes[6], m->diagnostics.notes[3]);
}

TEST(PeltDetect, PenaltyPathEntryThatCannotBeResolvedFailsBeforeAnyComputation) {
  RecordingContext rc;
  auto r = run(
      testing::series({1.0}),
      config_for(core::Stopping::penalty_path({core::Penalty::manual(1.0), core::Penalty::bic()})),
      rc);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "resolved penalty must be finite and > 0.0; got beta=0");
  EXPECT_TRUE(rc.recorder.progress.empty());
  EXPECT_TRUE(rc.recorder.metrics.empty());
}

// ---------------------------------------------------------------------------------------------
// Known number of changes.

TEST(PeltDetect, KnownKReportsTheSearchAndCountsEveryProbe) {
  const auto s = three_steps();
  RecordingContext rc;
  auto r = run(s, config_for(core::Stopping::known_k(2)), rc);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(r->breakpoints, (std::vector<std::size_t>{20, 40, 60}));

  auto validated = core::validate_constraints(rc.constraints, 60);
  auto cache = costs::CostL2Mean{}.precompute(s.view(), core::CachePolicy::full());
  core::ExecutionContext quiet(rc.constraints);
  RunStats stats;
  auto k = run_known_k_search(costs::CostL2Mean{}, *cache, 60, *validated, 2, 1000, quiet,
                              std::chrono::steady_clock::now(), stats);
  ASSERT_TRUE(k.has_value());
  EXPECT_GT(k->search_iterations, 1u);
  EXPECT_EQ(stats.candidates_pruned, 0u);
  EXPECT_GT(stats.cost_evals, k->result.run_cost_evals);

  const auto& dg = r->diagnostics;
  EXPECT_EQ(dg.notes,
            (std::vector<std::string>{
                core::cat("stopping=KnownK(2), selected_beta=", k->selected_beta,
                          ", search_iterations=", k->search_iterations),
                core::cat("final_objective=", k->result.objective, ", change_count=2"),
                core::cat("run_cost_evals=", k->result.run_cost_evals),
                core::cat("run_candidates_considered=", k->result.run_candidates_considered,
                          ", run_candidates_pruned=0")}));
  EXPECT_EQ(dg.pruning_stats->candidates_considered, stats.candidates_considered);
  EXPECT_EQ(dg.pruning_stats->candidates_pruned, 0u);
  EXPECT_EQ(rc.recorder.metrics[0].second, static_cast<double>(stats.cost_evals));
  // Every probe reports from its first target again; the call ends with 1.0.
  const auto& p = rc.recorder.progress;
  EXPECT_EQ(p.size(), 58 * k->search_iterations + 1);
  EXPECT_EQ(p.back(), 1.0f);
  EXPECT_EQ(p[58], 1.0f / 58.0f);
}

struct KnownKCase {
  std::string name;
  std::vector<double> values;
  std::size_t min_segment_len;
  std::optional<std::size_t> max_change_points;
  std::size_t k;
  std::string error;  // empty: success with k changes
};

class KnownKSearch : public ::testing::TestWithParam<KnownKCase> {};

TEST_P(KnownKSearch, FindsKOrNamesWhyNot) {
  const KnownKCase& c = GetParam();
  const auto s = testing::series(c.values);
  core::Constraints cons = testing::constraints_with(c.min_segment_len, 1);
  cons.max_change_points = c.max_change_points;
  auto validated = core::validate_constraints(cons, s.n);
  ASSERT_TRUE(validated.has_value());
  auto cache = costs::CostL2Mean{}.precompute(s.view(), core::CachePolicy::full());
  core::ExecutionContext ctx(cons);
  RunStats stats;
  auto r = run_known_k_search(costs::CostL2Mean{}, *cache, s.n, *validated, c.k, 1000, ctx,
                              std::chrono::steady_clock::now(), stats);
  if (c.error.empty()) {
    ASSERT_TRUE(r.has_value()) << r.error().display();
    EXPECT_EQ(r->result.change_count, c.k);
  } else {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidInput);
    EXPECT_EQ(r.error().message(), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KnownKSearch,
    ::testing::Values(
        KnownKCase{"k_equal_to_cap", {0, 0, 0, 9, 9, 9, 0, 0, 0}, 3, 2, 2, ""},
        KnownKCase{"k_above_cap",
                   {0, 0, 0, 9, 9, 9, 0, 0, 0},
                   3,
                   2,
                   3,
                   "KnownK=3 exceeds constraints.max_change_points=2"},
        KnownKCase{"probes_ignore_the_cap", {0, 1, 0, 1, 0, 5, 6, 5, 6, 5, 0, 1, 0}, 1, 3, 2, ""},
        KnownKCase{"all_zero",
                   {0, 0, 0, 0, 0, 0},
                   1,
                   std::nullopt,
                   1,
                   "KnownK exact solution unreachable: requested k=1, but smallest tested "
                   "penalty beta=0.0000000000000002220446049250313 produced only 0 changes"},
        KnownKCase{"more_than_candidates",
                   {0, 0, 5, 5},
                   2,
                   std::nullopt,
                   2,
                   "KnownK exact solution unreachable: requested k=2, but smallest tested "
                   "penalty beta=0.0000000000000002220446049250313 produced only 1 changes"}),
    [](const auto& info) { return info.param.name; });

TEST(KnownKSearch, AcceptsTheFirstProbeWhenItAlreadyHasK) {
  const auto s = testing::series({0, 0, 0, 5, 5, 5});
  core::Constraints cons = testing::constraints_with(3, 1);
  RecordingContext rc(cons);
  auto r = run(s, config_for(core::Stopping::known_k(1)), rc);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(r->diagnostics.notes[0],
            "stopping=KnownK(1), selected_beta=0.0000000000000002220446049250313, "
            "search_iterations=1");
}

// The bracket is in absolute units: a series on a large scale needs more than 80 doublings.
TEST(KnownKSearch, BracketsDataOnALargeScale) {
  auto s = testing::noisy_steps(40, 1, 20, 1e7, 1e5, 3);
  RecordingContext rc;
  auto r = run(s, config_for(core::Stopping::known_k(1)), rc);
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(r->breakpoints, (std::vector<std::size_t>{20, 40}));
  const std::string& note = r->diagnostics.notes[0];
  const std::uint64_t iterations = std::stoull(note.substr(note.rfind('=') + 1));
  EXPECT_GT(iterations, 81u);
}

// ---------------------------------------------------------------------------------------------
// Budgets and cancellation, in both budget modes.

TEST(PeltBudgets, CostEvaluationBudgetFailsUnderHardFailAndWarnsUnderSoftDegrade) {
  const auto s = three_steps();
  core::Constraints c;
  c.max_cost_evals = 10;
  RecordingContext hard(c, core::BudgetMode::HardFail);
  RecordingContext soft(c, core::BudgetMode::SoftDegrade);
  RecordingContext free;
  const auto stopping = core::Stopping::penalized(core::Penalty::bic());
  auto h = run(s, config_for(stopping), hard);
  auto sd = run(s, config_for(stopping), soft);
  auto f = run(s, config_for(stopping), free);
  ASSERT_FALSE(h.has_value());
  EXPECT_EQ(h.error().kind(), ErrorKind::ResourceLimit);
  EXPECT_EQ(h.error().message(),
            "constraints.max_cost_evals exceeded: used=11, limit=10, budget_mode=HardFail");
  EXPECT_TRUE(hard.recorder.metrics.empty());
  ASSERT_TRUE(sd.has_value() && f.has_value());
  EXPECT_EQ(sd->breakpoints, f->breakpoints);
  EXPECT_EQ(sd->diagnostics.warnings.back(),
            "budget exceeded under SoftDegrade mode; run continued without algorithm fallback");
  EXPECT_EQ(sd->diagnostics.notes, f->diagnostics.notes);
}

TEST(PeltBudgets, TimeBudgetFailsUnderHardFailAndWarnsUnderSoftDegrade) {
  const auto s = three_steps();
  core::Constraints c;
  c.time_budget_ms = 1;
  c.max_depth = 2;
  for (const auto mode : {core::BudgetMode::HardFail, core::BudgetMode::SoftDegrade}) {
    RecordingContext rc(c, mode);
    ScriptedCost model;
    model.script->stall_first = std::chrono::milliseconds(20);
    auto r = run<ScriptedCost>(s, config_for(core::Stopping::penalized(core::Penalty::bic()), 2, 1),
                               rc, model);
    if (mode == core::BudgetMode::HardFail) {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().kind(), ErrorKind::ResourceLimit);
      EXPECT_TRUE(
          r.error().message().starts_with("constraints.time_budget_ms exceeded: elapsed_ms="));
      EXPECT_TRUE(r.error().message().ends_with(", limit_ms=1, budget_mode=HardFail"));
      // Target 0 finished before the check at target 1 stopped the run.
      EXPECT_EQ(rc.recorder.progress.size(), 1u);
    } else {
      ASSERT_TRUE(r.has_value()) << r.error().display();
      EXPECT_EQ(r->diagnostics.warnings,
                (std::vector<std::string>{
                    "constraints.max_depth=2 is ignored by PELT",
                    "budget exceeded under SoftDegrade mode; run continued without algorithm "
                    "fallback"}));
    }
  }
}

TEST(PeltBudgets, CancellationStopsAtTheFirstTargetInBothBudgetModes) {
  const auto s = three_steps();
  for (const auto mode : {core::BudgetMode::HardFail, core::BudgetMode::SoftDegrade}) {
    for (const auto& stopping :
         {core::Stopping::penalized(core::Penalty::bic()), core::Stopping::known_k(2),
          core::Stopping::penalty_path({core::Penalty::bic(), core::Penalty::aic()})}) {
      RecordingContext rc(core::Constraints{}, mode);
      rc.token.cancel();
      auto r = run(s, config_for(stopping, 2, 1), rc);
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().kind(), ErrorKind::Cancelled);
      EXPECT_EQ(r.error().display(), "cancelled");
      EXPECT_TRUE(rc.recorder.progress.empty());
      EXPECT_TRUE(rc.recorder.metrics.empty());
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The penalised kernel.

struct KernelFixture {
  testing::OwnedSeries s;
  core::Constraints constraints;
  core::ValidatedConstraints validated;
  costs::L2Cache cache;

  explicit KernelFixture(testing::OwnedSeries series,
                         core::Constraints c = testing::constraints_with(1, 1))
      : s(std::move(series)), constraints(std::move(c)) {
    validated = *core::validate_constraints(constraints, s.n);
    cache = *costs::CostL2Mean{}.precompute(s.view(), core::CachePolicy::full());
  }
};

TEST(RunPeltPenalized, RefusesAnInvalidBetaBeforeAnyWork) {
  KernelFixture f(three_steps());
  for (const double beta :
       {0.0, -0.0, -1.0, std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
    RecordingContext rc(f.constraints);
    RunStats stats;
    auto r = run_pelt_penalized(costs::CostL2Mean{}, f.cache, f.s.n, f.validated, beta, true, 1,
                                rc.ctx, std::chrono::steady_clock::now(), stats);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(),
              core::cat("run_pelt_penalized requires finite beta > 0; got ", beta));
    EXPECT_EQ(stats, RunStats{});
    EXPECT_TRUE(rc.recorder.progress.empty());
  }
  RunStats stats;
  core::ExecutionContext ctx(f.constraints);
  EXPECT_TRUE(run_pelt_penalized(costs::CostL2Mean{}, f.cache, f.s.n, f.validated,
                                 std::numeric_limits<double>::denorm_min(), true, 1, ctx,
                                 std::chrono::steady_clock::now(), stats)
                  .has_value());
}

TEST(RunPeltPenalized, SeriesShorterThanTheMinimumSegmentHasNoFeasibleSegmentation) {
  KernelFixture f(testing::series({1.0, 2.0}), testing::constraints_with(3, 1));
  core::ExecutionContext ctx(f.constraints);
  RunStats stats;
  auto r = run_pelt_penalized(costs::CostL2Mean{}, f.cache, 2, f.validated, 1.0, true, 1, ctx,
                              std::chrono::steady_clock::now(), stats);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(),
            core::cat("no feasible segmentation under constraints at t=2", kInfeasibleTail));
}

TEST(RunPeltPenalized, NoCandidatesGivesOneSegmentAfterOneEvaluation) {
  KernelFixture f(testing::series({1.0, 2.0, 4.0}), testing::constraints_with(2, 1));
  core::ExecutionContext ctx(f.constraints);
  RunStats stats;
  auto r = run_pelt_penalized(costs::CostL2Mean{}, f.cache, 3, f.validated, 1.0, true, 1, ctx,
                              std::chrono::steady_clock::now(), stats);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->breakpoints, (std::vector<std::size_t>{3}));
  EXPECT_EQ(stats.cost_evals, 1u);
}

TEST(RunPeltPenalized, ZeroChangePointsAllowedScoresOnlyTheFirstStart) {
  core::Constraints c = testing::constraints_with(1, 1);
  c.max_change_points = 0;
  KernelFixture f(three_steps(), c);
  core::ExecutionContext ctx(f.constraints);
  RunStats stats;
  const double beta = 3.0;
  auto r = run_pelt_penalized(costs::CostL2Mean{}, f.cache, 60, f.validated, beta, true, 1, ctx,
                              std::chrono::steady_clock::now(), stats);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->breakpoints, (std::vector<std::size_t>{60}));
  EXPECT_EQ(r->objective, (costs::CostL2Mean{}.segment_cost(f.cache, 0, 60) - beta) + beta);
  EXPECT_EQ(stats.cost_evals, 60u);
  EXPECT_EQ(r->run_candidates_pruned, 0u);
}

TEST(RunPeltPenalized, ReportsProgressOncePerTarget) {
  KernelFixture f(three_steps(), testing::constraints_with(1, 7));
  RecordingContext rc(f.constraints);
  RunStats stats;
  auto r = run_pelt_penalized(costs::CostL2Mean{}, f.cache, 60, f.validated, 5.0, true, 1, rc.ctx,
                              std::chrono::steady_clock::now(), stats);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(rc.recorder.progress, expected_progress(9));  // 7, 14, ..., 56 and 60
}

TEST(RunPeltPenalized, CancelledBeforeTheFirstTargetEvaluatesNothing) {
  KernelFixture f(three_steps());
  RecordingContext rc(f.constraints);
  rc.token.cancel();
  RunStats stats;
  auto r = run_pelt_penalized(costs::CostL2Mean{}, f.cache, 60, f.validated, 5.0, true, 1000,
                              rc.ctx, std::chrono::steady_clock::now(), stats);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::Cancelled);
  EXPECT_EQ(stats.cost_evals, 0u);
}

struct NonFiniteCase {
  std::string name;
  std::vector<ScriptedCost::Override> overrides;
  double beta;
  ErrorKind kind;
  std::string message;
  std::uint64_t cost_evals;
};

class RunPeltPenalizedNonFinite : public ::testing::TestWithParam<NonFiniteCase> {};

TEST_P(RunPeltPenalizedNonFinite, RefusesNonFiniteCostsAndScores) {
  const NonFiniteCase& c = GetParam();
  const auto s = testing::series({1.0, 2.0, 3.0, 4.0});
  const core::Constraints cons = testing::constraints_with(2, 1);
  auto validated = *core::validate_constraints(cons, 4);
  ScriptedCost model;
  model.script->overrides = c.overrides;
  auto cache = *model.precompute(s.view(), core::CachePolicy::full());
  core::ExecutionContext ctx(cons);
  RunStats stats;
  auto r = run_pelt_penalized(model, cache, 4, validated, c.beta, true, 1, ctx,
                              std::chrono::steady_clock::now(), stats);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), c.kind);
  EXPECT_EQ(r.error().message(), c.message);
  EXPECT_EQ(stats.cost_evals, c.cost_evals);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
INSTANTIATE_TEST_SUITE_P(
    Cases, RunPeltPenalizedNonFinite,
    ::testing::Values(NonFiniteCase{"nan_cost",
                                    {{0, 2, kNaN}},
                                    1.0,
                                    ErrorKind::NumericalIssue,
                                    "non-finite segment cost at [0, 2): NaN",
                                    1},
                      NonFiniteCase{
                          "score_without_penalty",
                          {{0, 2, 1e308}, {2, 4, 1e308}},
                          1.0,
                          ErrorKind::NumericalIssue,
                          core::cat("non-finite score without penalty at t=4, tau=2: F(tau)=",
                                    (-1.0 + 1e308) + 1.0, ", segment_cost=", 1e308,
                                    ", score_no_penalty=inf"),
                          // Start 0 was pruned at t=2: beta vanishes against 1e308, so its score
                          // without penalty equals F[2].
                          2},
                      NonFiniteCase{"objective",
                                    {{0, 2, 1e308}, {2, 4, 7.9e307}},
                                    1e306,
                                    ErrorKind::NumericalIssue,
                                    core::cat("non-finite objective at t=4, tau=2: F(tau)=",
                                              (-1e306 + 1e308) + 1e306, ", segment_cost=", 7.9e307,
                                              ", beta=", 1e306, ", candidate=inf"),
                                    3}),
    [](const auto& info) { return info.param.name; });

// With min_segment_len 1, or targets at least min_segment_len apart, a dominated start leaves at
// the target that dominates it: the counters are those of the plain recurrence with immediate
// pruning, written out here.
struct PlainRun {
  std::vector<std::size_t> breakpoints;
  std::uint64_t evaluations = 0;
  std::uint64_t pruned = 0;
};

PlainRun plain_pruned_run(const costs::L2Cache& cache, std::size_t n,
                          const core::ValidatedConstraints& v, double beta) {
  const auto targets = build_targets(v, n);
  std::vector<double> F(n + 1, std::numeric_limits<double>::infinity());
  std::vector<std::size_t> prev(n + 1, kNone);
  F[0] = -beta;
  prev[0] = 0;
  std::vector<std::size_t> active{0};
  PlainRun out;
  for (std::size_t t : targets) {
    std::vector<std::pair<std::size_t, double>> scored;
    for (std::size_t tau : active) {
      if (t - tau < v.min_segment_len) continue;
      const double s0 = F[tau] + costs::CostL2Mean{}.segment_cost(cache, tau, t);
      ++out.evaluations;
      scored.emplace_back(tau, s0);
      if (s0 + beta < F[t]) {
        F[t] = s0 + beta;
        prev[t] = tau;
      }
    }
    std::vector<std::size_t> next;
    for (std::size_t tau : active) {
      auto it =
          std::find_if(scored.begin(), scored.end(), [&](const auto& e) { return e.first == tau; });
      if (it != scored.end() && it->second >= F[t]) {
        ++out.pruned;
      } else {
        next.push_back(tau);
      }
    }
    if (t < n) next.push_back(t);
    active = std::move(next);
  }
  out.breakpoints = reconstruct_breakpoints(n, prev)->breakpoints;
  return out;
}

TEST(RunPeltPenalized, CountersMatchImmediatePruningWhenTargetsAreFarEnoughApart) {
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    for (const auto& [msl, jump] : {std::pair{1, 1}, std::pair{2, 2}, std::pair{3, 4}}) {
      KernelFixture f(testing::noisy_steps(90, 1, 15, 2.0, 1.0, seed),
                      testing::constraints_with(msl, jump));
      const double beta = 1.0 + static_cast<double>(seed % 5);
      core::ExecutionContext ctx(f.constraints);
      RunStats stats;
      auto r = run_pelt_penalized(costs::CostL2Mean{}, f.cache, 90, f.validated, beta, true, 1000,
                                  ctx, std::chrono::steady_clock::now(), stats);
      ASSERT_TRUE(r.has_value());
      const PlainRun plain = plain_pruned_run(f.cache, 90, f.validated, beta);
      EXPECT_EQ(r->breakpoints, plain.breakpoints) << seed;
      EXPECT_EQ(r->run_cost_evals, plain.evaluations) << seed;
      EXPECT_EQ(r->run_candidates_pruned, plain.pruned) << seed;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The penalty path.

TEST(RunPeltPenaltyPath, RefusesEmptyOrInvalidBetasBeforeAnyWork) {
  KernelFixture f(three_steps());
  RunStats stats;
  core::ExecutionContext ctx(f.constraints);
  const auto now = std::chrono::steady_clock::now();
  auto empty =
      run_pelt_penalty_path(costs::CostL2Mean{}, f.cache, 60, f.validated, {}, 1, ctx, now, stats);
  EXPECT_EQ(empty.error().message(), "run_pelt_penalty_path requires at least one beta");
  for (const double bad : {0.0, -2.0, std::numeric_limits<double>::infinity(), kNaN}) {
    const std::vector<double> betas = {1.0, 2.0, bad, -5.0};
    auto r = run_pelt_penalty_path(costs::CostL2Mean{}, f.cache, 60, f.validated, betas, 1, ctx,
                                   now, stats);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(),
              core::cat("run_pelt_penalty_path beta[2] must be finite and > 0; got ", bad));
  }
  EXPECT_EQ(stats, RunStats{});
}

TEST(RunPeltPenaltyPath, SharesEachCostBetweenPenalties) {
  KernelFixture f(three_steps());
  core::ExecutionContext ctx(f.constraints);
  const auto now = std::chrono::steady_clock::now();
  RunStats one, twice;
  const std::vector<double> single = {7.0};
  const std::vector<double> doubled = {7.0, 7.0};
  auto a = run_pelt_penalty_path(costs::CostL2Mean{}, f.cache, 60, f.validated, single, 1000, ctx,
                                 now, one);
  auto b = run_pelt_penalty_path(costs::CostL2Mean{}, f.cache, 60, f.validated, doubled, 1000, ctx,
                                 now, twice);
  ASSERT_TRUE(a.has_value() && b.has_value());
  EXPECT_EQ((*b)[0], (*b)[1]);
  EXPECT_EQ((*a)[0], (*b)[0]);
  EXPECT_EQ(one.cost_evals, (*a)[0].run_cost_evals);
  EXPECT_EQ(twice.cost_evals, one.cost_evals);
  EXPECT_EQ(twice.candidates_considered, 2 * one.candidates_considered);

  const std::vector<double> ordered = {1000.0, 5.0};
  auto r = run_pelt_penalty_path(costs::CostL2Mean{}, f.cache, 60, f.validated, ordered, 1000, ctx,
                                 now, one);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ((*r)[0].breakpoints, (std::vector<std::size_t>{60}));
  EXPECT_EQ((*r)[1].breakpoints, (std::vector<std::size_t>{20, 40, 60}));
}

TEST(RunPeltPenaltyPath, ChecksCancellationEveryIntervalOfTargetPenaltySteps) {
  KernelFixture f(three_steps());
  const std::vector<double> betas = {5.0, 9.0};
  const auto now = std::chrono::steady_clock::now();
  struct Cadence {
    std::size_t every;
    bool fails;
    std::uint64_t evals_before;
  };
  // Cadence 1: the first step checks. Cadence 3: the third step, the first beta of the second
  // target, after both betas of target 1 (one shared cost). 1000: never within 120 steps.
  for (const Cadence c : {Cadence{1, true, 0}, Cadence{3, true, 1}, Cadence{1000, false, 0}}) {
    RecordingContext rc(f.constraints);
    rc.token.cancel();
    RunStats stats;
    auto r = run_pelt_penalty_path(costs::CostL2Mean{}, f.cache, 60, f.validated, betas, c.every,
                                   rc.ctx, now, stats);
    EXPECT_EQ(r.has_value(), !c.fails) << c.every;
    if (c.fails) {
      EXPECT_EQ(r.error().kind(), ErrorKind::Cancelled);
      EXPECT_EQ(stats.cost_evals, c.evals_before);
    }
  }
}

TEST(RunPeltPenaltyPath, InfeasibleTargetNamesThePathIndexAndBeta) {
  KernelFixture g(testing::series({1.0}), testing::constraints_with(2, 1));
  core::ExecutionContext ctx(g.constraints);
  RunStats stats;
  const std::vector<double> betas = {1.5};
  auto r = run_pelt_penalty_path(costs::CostL2Mean{}, g.cache, 1, g.validated, betas, 1, ctx,
                                 std::chrono::steady_clock::now(), stats);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(),
            core::cat("no feasible segmentation under constraints at t=1 for penalty_path[0] "
                      "(beta=1.5)",
                      kInfeasibleTail));
}

// ---------------------------------------------------------------------------------------------
// The data and cache checks come before the run.

TEST(PeltDetect, RefusesTheIgnorePolicyAndApproximateCaches) {
  auto s = three_steps();
  s.policy = core::MissingPolicy::Ignore;
  RecordingContext rc;
  auto r = run(s, config_for(core::Stopping::penalized(core::Penalty::bic())), rc);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(),
            "incompatible missing handling: policy=Ignore requires support=MaskAware, got "
            "support=Reject");
  core::Constraints c;
  c.cache_policy = core::CachePolicy::approximate(100, 0.1);
  RecordingContext approx(c);
  auto a = run(three_steps(), config_for(core::Stopping::penalized(core::Penalty::bic())), approx);
  ASSERT_FALSE(a.has_value());
  EXPECT_EQ(a.error().kind(), ErrorKind::NotSupported);
  EXPECT_EQ(a.error().message(), "CostL2Mean does not support CachePolicy::Approximate");
}

}  // namespace
}  // namespace ovrel::offline
