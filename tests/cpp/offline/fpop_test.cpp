// FPOP: its own texts, metric names and configuration checks over the shared kernels, and
// agreement with PELT on the L2 cost.

#include "ovrel/offline/fpop.hpp"

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "offline/offline_test_support.hpp"
#include "ovrel/offline/pelt.hpp"

namespace ovrel::offline {
namespace {

using testing::RecordingContext;

testing::OwnedSeries three_steps() { return testing::noisy_steps(60, 1, 20, 5.0, 0.3, 7); }

FpopConfig fpop_config(core::Stopping stopping, std::size_t params = 2,
                       std::size_t cancel_check_every = 1000) {
  return FpopConfig{std::move(stopping), params, cancel_check_every};
}

Result<core::OfflineChangePointResult> run_fpop(const testing::OwnedSeries& s, FpopConfig c,
                                                RecordingContext& rc) {
  auto fpop = Fpop::create(costs::CostL2Mean{}, std::move(c));
  if (!fpop) return std::unexpected(fpop.error());
  return fpop->detect(s.view(), rc.ctx);
}

Result<core::OfflineChangePointResult> run_pelt(const testing::OwnedSeries& s, PeltConfig c,
                                                RecordingContext& rc) {
  return Pelt<costs::CostL2Mean>{std::move(c), {}}.detect(s.view(), rc.ctx);
}

TEST(FpopCreate, ChecksTheStoppingRuleThenTheParameterCount) {
  auto a = Fpop::create(costs::CostL2Mean{}, fpop_config(core::Stopping::known_k(0), 0));
  EXPECT_EQ(a.error().message(), "Stopping::KnownK requires k >= 1; got 0");
  auto b = Fpop::create(costs::CostL2Mean{},
                        fpop_config(core::Stopping::penalized(core::Penalty::bic()), 0));
  EXPECT_EQ(b.error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(b.error().message(), "FpopConfig.params_per_segment must be >= 1; got 0");
  auto c = Fpop::create(costs::CostL2Mean{},
                        fpop_config(core::Stopping::penalty_path({core::Penalty::manual(-1.0)})));
  EXPECT_EQ(c.error().message(),
            "Stopping::PenaltyPath[0] is invalid: invalid input: Penalty::Manual requires a "
            "finite value > 0.0; got -1");
}

// Every stopping rule: FPOP answers as PELT on the L2 cost does, with its own first note,
// detector name in warnings, metric names and algorithm.
TEST(FpopDetect, EveryStoppingRuleMatchesPeltWithItsOwnTexts) {
  const auto s = three_steps();
  core::Constraints c;
  c.max_depth = 5;
  for (const auto& stopping :
       {core::Stopping::penalized(core::Penalty::bic()),
        core::Stopping::penalized(core::Penalty::manual(4.0)), core::Stopping::known_k(2),
        core::Stopping::penalty_path({core::Penalty::aic(), core::Penalty::manual(1e-5)})}) {
    RecordingContext f(c), p(c);
    auto a = run_fpop(s, fpop_config(stopping), f);
    auto b = run_pelt(s, PeltConfig{stopping, 2, 1000}, p);
    ASSERT_TRUE(a.has_value()) << a.error().display();
    ASSERT_TRUE(b.has_value()) << b.error().display();
    EXPECT_EQ(a->breakpoints, b->breakpoints);
    const auto& fd = a->diagnostics;
    const auto& pd = b->diagnostics;
    ASSERT_EQ(fd.notes.size(), pd.notes.size() + 1);
    EXPECT_EQ(fd.notes[0], "kernel=exact_optimal_partitioning_l2");
    EXPECT_EQ(std::vector<std::string>(fd.notes.begin() + 1, fd.notes.end()), pd.notes);
    EXPECT_EQ(fd.warnings,
              (std::vector<std::string>{"constraints.max_depth=5 is ignored by FPOP"}));
    EXPECT_EQ(fd.algorithm, "fpop");
    EXPECT_EQ(fd.cost_model, "l2_mean");
    EXPECT_EQ(fd.pruning_stats, pd.pruning_stats);
    ASSERT_EQ(f.recorder.metrics.size(), 4u);
    const char* names[] = {"offline.fpop.cost_evals", "offline.fpop.candidates_considered",
                           "offline.fpop.candidates_pruned", "offline.fpop.runtime_ms"};
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(f.recorder.metrics[i].first, names[i]);
      if (i < 3) {
        EXPECT_EQ(f.recorder.metrics[i].second, p.recorder.metrics[i].second);
      }
    }
    EXPECT_EQ(f.recorder.progress, p.recorder.progress);
  }
}

TEST(FpopDetect, PenaltyPathUsesTheScoredCounterLabelAndManualDebugText) {
  RecordingContext rc;
  auto r = run_fpop(three_steps(),
                    fpop_config(core::Stopping::penalty_path(
                                    {core::Penalty::manual(10.0), core::Penalty::manual(1e-5)}),
                                7),
                    rc);
  ASSERT_TRUE(r.has_value());
  const auto& notes = r->diagnostics.notes;
  EXPECT_EQ(notes[1], "stopping=PenaltyPath(len=2), primary_index=0");
  EXPECT_TRUE(notes[2].starts_with(
      "penalty_path[0]: penalty=Manual(10.0), beta=10, params_per_segment=7 (config), "
      "change_count=2, objective="));
  EXPECT_TRUE(notes[3].starts_with(
      "penalty_path[1]: penalty=Manual(1e-5), beta=0.00001, params_per_segment=7 (config), "));
  EXPECT_TRUE(notes[5].starts_with("run_candidates_scored="));
}

TEST(FpopDetect, KnownKPrunesNothing) {
  RecordingContext rc;
  auto r = run_fpop(three_steps(), fpop_config(core::Stopping::known_k(2)), rc);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->diagnostics.pruning_stats->candidates_pruned, 0u);
  EXPECT_TRUE(r->diagnostics.notes[1].starts_with("stopping=KnownK(2), selected_beta="));
  EXPECT_TRUE(r->diagnostics.notes[3].starts_with("run_cost_evals="));
}

TEST(FpopDetect, BudgetsAndCancellationInBothModes) {
  const auto s = three_steps();
  core::Constraints c;
  c.max_cost_evals = 10;
  RecordingContext hard(c, core::BudgetMode::HardFail);
  RecordingContext soft(c, core::BudgetMode::SoftDegrade);
  const auto stopping = core::Stopping::penalized(core::Penalty::bic());
  auto h = run_fpop(s, fpop_config(stopping), hard);
  ASSERT_FALSE(h.has_value());
  EXPECT_EQ(h.error().message(),
            "constraints.max_cost_evals exceeded: used=11, limit=10, budget_mode=HardFail");
  auto sd = run_fpop(s, fpop_config(stopping), soft);
  ASSERT_TRUE(sd.has_value());
  EXPECT_EQ(sd->diagnostics.warnings.back(),
            "budget exceeded under SoftDegrade mode; run continued without algorithm fallback");
  for (const auto mode : {core::BudgetMode::HardFail, core::BudgetMode::SoftDegrade}) {
    RecordingContext rc(core::Constraints{}, mode);
    rc.token.cancel();
    auto r = run_fpop(s, fpop_config(stopping), rc);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::Cancelled);
    EXPECT_TRUE(rc.recorder.metrics.empty());
  }
}

TEST(FpopDetect, RefusesMissingValuesAndApproximateCaches) {
  std::vector<double> v(10, 1.0);
  v[4] = std::numeric_limits<double>::quiet_NaN();
  testing::OwnedSeries missing{v, 10, 1, core::MissingPolicy::Ignore};
  RecordingContext rc;
  auto r = run_fpop(missing, fpop_config(core::Stopping::penalized(core::Penalty::bic())), rc);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(),
            "CostL2Mean does not support missing values: effective_missing_count=1");
  core::Constraints c;
  c.cache_policy = core::CachePolicy::approximate(64, 0.5);
  RecordingContext approx(c);
  auto a =
      run_fpop(three_steps(), fpop_config(core::Stopping::penalized(core::Penalty::bic())), approx);
  ASSERT_FALSE(a.has_value());
  EXPECT_EQ(a.error().kind(), ErrorKind::NotSupported);
}

TEST(FpopKernels, NameThemselvesInTheirMessages) {
  const auto s = three_steps();
  const core::Constraints c;
  auto v = *core::validate_constraints(c, 60);
  auto cache = *costs::CostL2Mean{}.precompute(s.view(), core::CachePolicy::full());
  core::ExecutionContext ctx(c);
  RunStats stats;
  const auto now = std::chrono::steady_clock::now();
  auto p = run_fpop_penalized(costs::CostL2Mean{}, cache, 60, v, 0.0, true, 1, ctx, now, stats);
  EXPECT_EQ(p.error().message(), "run_fpop_penalized requires finite beta > 0; got 0");
  auto e = run_fpop_penalty_path(costs::CostL2Mean{}, cache, 60, v, {}, 1, ctx, now, stats);
  EXPECT_EQ(e.error().message(), "run_fpop_penalty_path requires at least one beta");
  const std::vector<double> betas = {1.0, 0.0};
  auto b = run_fpop_penalty_path(costs::CostL2Mean{}, cache, 60, v, betas, 1, ctx, now, stats);
  EXPECT_EQ(b.error().message(), "run_fpop_penalty_path beta[1] must be finite and > 0; got 0");
  EXPECT_EQ(stats, RunStats{});

  // Pruning on and off reach the same segmentation; only the counters differ.
  RunStats on, off;
  auto a1 = run_fpop_penalized(costs::CostL2Mean{}, cache, 60, v, 3.0, true, 1, ctx, now, on);
  auto a2 = run_fpop_penalized(costs::CostL2Mean{}, cache, 60, v, 3.0, false, 1, ctx, now, off);
  ASSERT_TRUE(a1.has_value() && a2.has_value());
  EXPECT_EQ(a1->breakpoints, a2->breakpoints);
  EXPECT_EQ(a1->objective, a2->objective);
  EXPECT_EQ(a2->run_candidates_pruned, 0u);
  EXPECT_LT(on.cost_evals, off.cost_evals);

  core::Constraints capped;
  capped.max_change_points = 3;
  auto vc = *core::validate_constraints(capped, 60);
  auto k = run_fpop_known_k_search(costs::CostL2Mean{}, cache, 60, vc, 4, 1, ctx, now, stats);
  EXPECT_EQ(k.error().message(), "KnownK=4 exceeds constraints.max_change_points=3");
}

}  // namespace
}  // namespace ovrel::offline
