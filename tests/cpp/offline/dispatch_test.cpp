// The detector-by-cost table both offline roads share: every pair reaches the detector and cost
// model it names, FPOP exists only over L2, and a configuration without a parameter count runs as
// the count each detector reads in its place.

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/interrupt.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/offline/dispatch.hpp"

namespace ovrel::offline {
namespace {

using core::Penalty;
using core::Stopping;

std::vector<double> two_levels(std::size_t n) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> noise(0.0, 0.4);
  std::vector<double> v(n);
  for (std::size_t t = 0; t < n; ++t) v[t] = (t < n / 2 ? 1.0 : 3.0) + noise(rng);
  return v;
}

const std::vector<double> kValues = two_levels(40);

core::TimeSeriesView view() {
  return *core::TimeSeriesView::from_f64(kValues, kValues.size(), 1,
                                         core::MemoryLayout::c_contiguous(), std::nullopt,
                                         core::TimeIndex::none(), core::MissingPolicy::Error);
}

Result<core::OfflineChangePointResult> run(OfflineDetectorConfig detector, CostKind cost) {
  core::Constraints constraints;
  constraints.min_segment_len = 3;
  const core::ExecutionContext ctx(constraints, core::ReproMode::Balanced);
  return detect_pair(std::move(detector), cost, view(), ctx);
}

const Stopping kBic = Stopping::penalized(Penalty::bic());

TEST(OfflineDispatch, EveryPairRunsTheDetectorAndCostItNames) {
  const std::pair<CostKind, const char*> costs[] = {
      {CostKind::Ar, "ar"},
      {CostKind::Cosine, "cosine"},
      {CostKind::L1Median, "l1_median"},
      {CostKind::L2, "l2_mean"},
      {CostKind::Normal, "normal_mean_var"},
      {CostKind::NormalFullCov, "normal_full_cov"},
      {CostKind::Nig, "nig_marginal"},
      {CostKind::Rank, "rank"},
  };
  const std::pair<OfflineDetectorConfig, const char*> detectors[] = {
      {PeltConfig{.stopping = kBic}, "pelt"}, {BinSegConfig{.stopping = kBic}, "binseg"},
      {FpopConfig{.stopping = kBic}, "fpop"}, {WbsConfig{.stopping = kBic}, "wbs"},
      {DynpConfig{.stopping = kBic}, "dynp"},
  };
  for (const auto& [detector, algorithm] : detectors) {
    for (const auto& [cost, name] : costs) {
      SCOPED_TRACE(std::string(algorithm) + " over " + name);
      const bool fpop = std::holds_alternative<FpopConfig>(detector);
      ASSERT_EQ(pair_exists(detector, cost), !fpop || cost == CostKind::L2);
      if (!pair_exists(detector, cost)) {
        EXPECT_THROW((void)run(detector, cost), InternalError);
        continue;
      }
      const auto r = run(detector, cost);
      ASSERT_TRUE(r) << r.error().message();
      EXPECT_EQ(r->diagnostics.algorithm, algorithm);
      EXPECT_EQ(r->diagnostics.cost_model, name);
    }
  }
}

// The configuration is validated before the detector runs.
TEST(OfflineDispatch, RefusesAnInvalidConfiguration) {
  EXPECT_EQ(run(PeltConfig{.stopping = kBic, .params_per_segment = 0}, CostKind::L2).error(),
            OvrelError::invalid_input("PeltConfig.params_per_segment must be >= 1; got 0"));
  EXPECT_EQ(run(FpopConfig{.stopping = kBic, .params_per_segment = 0}, CostKind::L2).error(),
            OvrelError::invalid_input("FpopConfig.params_per_segment must be >= 1; got 0"));
  EXPECT_EQ(run(DynpConfig{.stopping = Stopping::known_k(0)}, CostKind::Rank).error(),
            OvrelError::invalid_input("Stopping::KnownK requires k >= 1; got 0"));
}

// No count given runs as 2 for PELT, FPOP and WBS and as 0 for BinSeg, under BIC (the model's own
// count) and under a manual penalty (the figure the note shows).
TEST(OfflineDispatch, ParamsPerSegmentNotGivenRunsAsTheCountReadInItsPlace) {
  const Stopping manual = Stopping::penalized(Penalty::manual(4.0));
  for (const Stopping& stopping : {kBic, manual}) {
    const std::pair<OfflineDetectorConfig, OfflineDetectorConfig> same[] = {
        {PeltConfig{.stopping = stopping},
         PeltConfig{.stopping = stopping, .params_per_segment = 2}},
        {FpopConfig{.stopping = stopping},
         FpopConfig{.stopping = stopping, .params_per_segment = 2}},
        {WbsConfig{.stopping = stopping}, WbsConfig{.stopping = stopping, .params_per_segment = 2}},
        {BinSegConfig{.stopping = stopping},
         BinSegConfig{.stopping = stopping, .params_per_segment = 0}},
    };
    for (const auto& [not_given, given] : same) {
      const CostKind cost =
          std::holds_alternative<FpopConfig>(given) ? CostKind::L2 : CostKind::Normal;
      const auto a = run(not_given, cost);
      const auto b = run(given, cost);
      ASSERT_TRUE(a && b);
      EXPECT_EQ(a->breakpoints, b->breakpoints);
      EXPECT_EQ(a->diagnostics.notes, b->diagnostics.notes);
    }
  }
}

struct StopAtOnce : core::InterruptHook {
  bool stop_requested() override { return true; }
};

// A refusal after the raised minimum carries the raise's note (the Python tests read it on every
// road); a cancellation came from outside the run and carries none.
TEST(OfflineDispatch, ACancelledRunCarriesNoNoteOfTheRaisedMinimum) {
  StopAtOnce hook;
  core::InterruptPoll poll(hook, {std::chrono::nanoseconds(0), std::chrono::nanoseconds(0)});
  core::Constraints constraints;
  constraints.min_segment_len = 1;
  const auto r = run_pair(PeltConfig{.stopping = kBic}, CostKind::Normal, view(), constraints,
                          core::ReproMode::Balanced, &poll);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), OvrelError::cancelled());
}

}  // namespace
}  // namespace ovrel::offline
