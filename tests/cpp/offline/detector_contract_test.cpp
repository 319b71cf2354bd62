// What every offline detector promises alike, with a row per detector for what differs: whole runs
// from tests/data/offline_runs.txt (the order of the checks, the notes, warnings, metrics and
// errors), each repeated under an interrupt poll that lets it go, a check period of 0 and no sinks,
// which change nothing, under cost and time budgets, and stopped by an interrupt or the cancel
// flag.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "offline/offline_test_support.hpp"
#include "ovrel/offline/binseg_impl.hpp"
#include "ovrel/offline/dynp_impl.hpp"
#include "ovrel/offline/fpop.hpp"
#include "ovrel/offline/pelt_impl.hpp"
#include "ovrel/offline/wbs_impl.hpp"
#include "test_data.hpp"

namespace ovrel::offline {
namespace {

using testing::Polled;
using testing::RecordingContext;
using Detected = Result<core::OfflineChangePointResult>;

const std::string kSoftWarning =
    "budget exceeded under SoftDegrade mode; run continued without algorithm fallback";

// A detector by name over one configuration, WBS's, whose interval settings only WBS reads; Dynp
// has no params_per_segment and FPOP only the L2 cost.
template <class C>
Detected detect(const std::string& detector, const C& model, const WbsConfig& w,
                const core::TimeSeriesView& x, const core::ExecutionContext& ctx) {
  const std::optional<std::size_t> params = w.params_per_segment;
  const std::size_t every = w.cancel_check_every;
  if (detector == "pelt") {
    return Pelt<C>{PeltConfig{w.stopping, params, every}, model}.detect(x, ctx);
  }
  if (detector == "binseg") {
    return BinSeg<C>{BinSegConfig{w.stopping, params, every}, model}.detect(x, ctx);
  }
  if (detector == "wbs") return Wbs<C>{w, model}.detect(x, ctx);
  if (detector == "dynp") return Dynp<C>{DynpConfig{w.stopping, every}, model}.detect(x, ctx);
  if constexpr (std::is_same_v<C, costs::CostL2Mean>) {
    if (detector == "fpop") {
      OVREL_TRY_ASSIGN(const Fpop fpop, Fpop::create(model, FpopConfig{w.stopping, params, every}));
      return fpop.detect(x, ctx);
    }
  }
  return std::unexpected(OvrelError::not_supported(detector));  // FPOP takes the L2 cost only
}

void expect_no_report(const RecordingContext& rc) {
  EXPECT_TRUE(rc.metrics.empty());
  EXPECT_TRUE(rc.progress.empty() || rc.progress.back() < 1.0F);
}

// A run as text: the error (and the progress count and last fraction, if any), or the breakpoints,
// every note, "warning: " and every warning, the seed and pruning counts where reported, every
// metric but the run time, and the progress count.
std::vector<std::string> lines_of(const Detected& got, const RecordingContext& rec) {
  if (!got && rec.progress.empty()) return {got.error().display()};
  if (!got) {
    return {got.error().display(), core::cat("progress_reports=", rec.progress.size(),
                                             ", last=", static_cast<double>(rec.progress.back()))};
  }
  const core::Diagnostics& d = got->diagnostics;
  std::vector<std::string> lines{"breakpoints=" + core::list_text(std::span(got->breakpoints))};
  lines.insert(lines.end(), d.notes.begin(), d.notes.end());
  for (const auto& w : d.warnings) lines.push_back("warning: " + w);
  if (d.seed) lines.push_back(core::cat("seed=", *d.seed));
  if (d.pruning_stats) {
    lines.push_back(core::cat("pruning considered=", d.pruning_stats->candidates_considered,
                              " pruned=", d.pruning_stats->candidates_pruned));
  }
  for (const auto& [key, value] : rec.metrics) {
    if (!key.ends_with("runtime_ms")) lines.push_back(core::cat("metric ", key, "=", value));
  }
  lines.push_back(core::cat("progress_reports=", rec.progress.size()));
  return lines;
}

// "steps n every jump noise seed" (see noisy_steps) or the values.
testing::OwnedSeries series_of(const std::string& text) {
  const bool steps = text.starts_with("steps");
  std::istringstream in(steps ? text.substr(5) : text);
  std::vector<double> v;
  for (double value; in >> value;) v.push_back(value);
  if (!steps) return testing::series(std::move(v));
  const auto count = [&](std::size_t i) { return static_cast<std::size_t>(v.at(i)); };
  return testing::noisy_steps(count(0), 1, count(1), v.at(2), v.at(3), count(4));
}

// A time budget crossed by a slow first cost: HardFail stops, SoftDegrade warns.
void expect_time_budget(const std::string& detector, const testing::OwnedSeries& x, WbsConfig w) {
  w.cancel_check_every = 1;
  core::Constraints timed;
  timed.time_budget_ms = 1;
  for (const auto mode : {core::BudgetMode::HardFail, core::BudgetMode::SoftDegrade}) {
    RecordingContext rt(timed, mode);
    const auto slow = testing::FunctionCost::of(
        [&](std::size_t s, std::size_t e) { return testing::direct_l2(x.values, s, e); },
        std::chrono::milliseconds(20));
    const auto t = detect(detector, slow, w, x.view(), rt.ctx);
    if (mode == core::BudgetMode::SoftDegrade) {
      ASSERT_TRUE(t.has_value()) << t.error().display();
      EXPECT_EQ(t->diagnostics.warnings.back(), kSoftWarning);
      continue;
    }
    ASSERT_FALSE(t.has_value());
    EXPECT_EQ(t.error().kind(), ErrorKind::ResourceLimit);
    EXPECT_TRUE(t.error().message().starts_with("constraints.time_budget_ms exceeded: "));
    EXPECT_TRUE(t.error().message().ends_with(", limit_ms=1, budget_mode=HardFail"));
  }
}

// detector | stopping | series | settings | lines: see the head of the data file.
class OfflineRuns : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(OfflineRuns, Row) {
  const auto& r = GetParam();
  const std::string& detector = r.at(0);
  testing::OwnedSeries x = series_of(r.at(2));
  core::Constraints c;
  WbsConfig w;
  w.stopping = testing::stopping_of(r.at(1));
  w.params_per_segment = detector == "binseg" ? 0 : 2;  // BinSeg: the model's own
  bool l1 = false;
  std::istringstream settings(r.at(3) == "-" ? "" : r[3]);
  for (std::string word; settings >> word;) {
    const std::string key = word.substr(0, word.find('='));
    const std::size_t value = key == word ? 0 : std::stoull(word.substr(key.size() + 1));
    if (key == "min_segment_len") c.min_segment_len = value;
    if (key == "max_change_points") c.max_change_points = value;
    if (key == "max_depth") c.max_depth = value;
    if (key == "max_cost_evals") c.max_cost_evals = value;
    if (key == "params") w.params_per_segment = value;
    if (key == "intervals") w.num_intervals = value;
    if (key == "grid") w.interval_strategy = WbsIntervalStrategy::DeterministicGrid;
    if (key == "approximate") c.cache_policy = core::CachePolicy::approximate(100, 0.1);
    if (key == "missing_ignore") x.policy = core::MissingPolicy::Ignore;
    l1 = l1 || key == "l1";
  }
  const auto run = [&](const core::ExecutionContext& ctx, std::size_t every) -> Detected {
    WbsConfig config = w;
    config.cancel_check_every = every;
    if (l1) return detect(detector, costs::CostL1Median{}, config, x.view(), ctx);
    return detect(detector, costs::CostL2Mean{}, config, x.view(), ctx);
  };
  RecordingContext rc(c, core::BudgetMode::HardFail, core::ReproMode::Strict);
  const Detected got = run(rc.ctx, 1000);
  const std::vector<std::string> lines = lines_of(got, rc);
  EXPECT_EQ(lines, std::vector<std::string>(r.begin() + 4, r.end()));
  if (!got) {
    EXPECT_TRUE(rc.metrics.empty());
    return;
  }
  const core::Diagnostics& d = got->diagnostics;
  EXPECT_EQ(d.algorithm, detector);
  EXPECT_EQ(d.cost_model, l1 ? "l1_median" : "l2_mean");
  EXPECT_EQ((std::pair{d.n, d.d}), (std::pair<std::uint64_t, std::uint64_t>{x.n, 1}));
  EXPECT_EQ(d.repro_mode, core::ReproMode::Strict);
  ASSERT_TRUE(d.runtime_ms.has_value());
  EXPECT_EQ(rc.metrics.back(), std::pair(core::cat("offline.", detector, ".runtime_ms"),
                                         static_cast<double>(*d.runtime_ms)));
  const auto& p = rc.progress;
  EXPECT_EQ(p.back(), 1.0F);
  EXPECT_GE(*std::min_element(p.begin(), p.end()), 0.0F);
  // Polled at every unit of work with a check period of 0, or without sinks, the run is the same.
  Polled polled(c, 0);
  polled.ctx.repro_mode = core::ReproMode::Strict;
  EXPECT_EQ(lines_of(run(polled.ctx, 0), polled), lines);
  const core::ExecutionContext bare(c, core::ReproMode::Strict);
  const Detected alone = run(bare, 1);
  ASSERT_TRUE(alone.has_value());
  EXPECT_EQ(alone->breakpoints, got->breakpoints);
  EXPECT_EQ(alone->diagnostics.notes, d.notes);
  EXPECT_EQ(alone->diagnostics.warnings, d.warnings);
  // Past a budget of 10 cost evaluations SoftDegrade adds a warning where HardFail stops.
  core::Constraints budget = c;
  budget.max_cost_evals = 10;
  RecordingContext hard(budget), soft(budget, core::BudgetMode::SoftDegrade);
  const Detected stopped = run(hard.ctx, 1000), degraded = run(soft.ctx, 1000);
  ASSERT_TRUE(degraded.has_value());
  EXPECT_EQ(degraded->breakpoints, got->breakpoints);
  EXPECT_EQ(degraded->diagnostics.notes, d.notes);
  auto warnings = d.warnings;
  if (!stopped) {
    EXPECT_EQ(stopped.error().kind(), ErrorKind::ResourceLimit);
    expect_no_report(hard);
    warnings.push_back(kSoftWarning);
  }
  EXPECT_EQ(degraded->diagnostics.warnings, warnings);
  // An interrupt at the first or fifth ask, or the cancel flag, ends it before any report.
  for (const std::uint64_t stop_at : {1u, 5u}) {
    if (stop_at > polled.asked) continue;
    Polled interrupted(c, stop_at);
    EXPECT_EQ(run(interrupted.ctx, 1000).error(), OvrelError::cancelled());
    EXPECT_EQ(interrupted.asked, stop_at);
    expect_no_report(interrupted);
  }
  RecordingContext cancelled(c);
  cancelled.token.cancel();
  EXPECT_EQ(run(cancelled.ctx, 1).error(), OvrelError::cancelled());
  expect_no_report(cancelled);
  if (detector != "fpop" && r[1] == "bic" && r[2].starts_with("steps") && r[3] == "-") {
    expect_time_budget(detector, x, w);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, OfflineRuns,
                         ::testing::ValuesIn(test_support::data_rows("offline_runs.txt")));

TEST(OfflineRuns, TableIsRead) {
  EXPECT_EQ(test_support::data_rows("offline_runs.txt").size(), 102u);
}

}  // namespace
}  // namespace ovrel::offline
