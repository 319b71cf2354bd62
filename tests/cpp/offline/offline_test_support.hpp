#pragma once

// Shared fixtures of the offline detector tests: series over owned values, a context that records
// progress and metrics, a cost model given by a function, the direct L2 cost, the eight models as
// a type list, the exhaustive search for the best segmentation per change count, and the penalty
// and stopping words of the data files.

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/interrupt.hpp"
#include "ovrel/core/stopping.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/costs/ar.hpp"
#include "ovrel/costs/cosine.hpp"
#include "ovrel/costs/l1.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/model.hpp"
#include "ovrel/costs/nig.hpp"
#include "ovrel/costs/normal.hpp"
#include "ovrel/costs/rank.hpp"

namespace ovrel::offline::testing {

// Values kept alive next to the view that borrows them.
struct OwnedSeries {
  std::vector<double> values;
  std::size_t n = 0;
  std::size_t d = 1;
  core::MissingPolicy policy = core::MissingPolicy::Error;

  core::TimeSeriesView view() const {
    auto v = core::TimeSeriesView::from_f64(values, n, d, core::MemoryLayout::c_contiguous(),
                                            std::nullopt, core::TimeIndex::none(), policy);
    if (!v) throw std::runtime_error(v.error().display());
    return *v;
  }
};

inline OwnedSeries series(std::vector<double> values) {
  const std::size_t n = values.size();
  return OwnedSeries{std::move(values), n};
}

// Levels 0, jump, 2 * jump repeating every `every` points, plus seeded Gaussian noise.
inline OwnedSeries noisy_steps(std::size_t n, std::size_t d, std::size_t every, double jump,
                               double noise, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> gauss(0.0, noise);
  std::vector<double> v(n * d);
  for (std::size_t t = 0; t < n; ++t) {
    const double level = static_cast<double>((t / every) % 3) * jump;
    for (std::size_t j = 0; j < d; ++j) v[t * d + j] = level + gauss(rng);
  }
  return OwnedSeries{std::move(v), n, d};
}

// A context over its own constraints that records progress and metrics, with a cancel token.
struct RecordingContext : core::ProgressSink, core::TelemetrySink {
  core::Constraints constraints;
  core::CancelToken token;
  core::ExecutionContext ctx;
  std::vector<float> progress;
  std::vector<std::pair<std::string, double>> metrics;

  explicit RecordingContext(core::Constraints c = {},
                            core::BudgetMode mode = core::BudgetMode::HardFail,
                            core::ReproMode repro = core::ReproMode::Balanced)
      : constraints(std::move(c)), ctx(constraints, repro, mode) {
    ctx.progress = this;
    ctx.telemetry = this;
    ctx.cancel = &token;
  }
  void report_progress(float fraction) override { progress.push_back(fraction); }
  void record_scalar(std::string_view key, double value) override {
    metrics.emplace_back(std::string(key), value);
  }
};

// A recording context whose interrupt hook asks to stop at ask `stop_at` (never when 0); by
// default it is asked at every unit of work (no pacing).
struct Polled : RecordingContext, core::InterruptHook {
  std::uint64_t stop_at = 0;
  std::uint64_t asked = 0;
  core::InterruptPoll poll;
  Polled(const core::Constraints& c, std::uint64_t stop,
         core::InterruptPacing pacing = {std::chrono::nanoseconds(0), std::chrono::nanoseconds(0)})
      : RecordingContext(c), stop_at(stop), poll(*this, pacing) {
    ctx.interrupt = &poll;
  }
  bool stop_requested() override { return ++asked == stop_at; }
};

inline core::Constraints constraints_with(std::size_t min_segment_len, std::size_t jump) {
  core::Constraints c;
  c.min_segment_len = min_segment_len;
  c.jump = jump;
  return c;
}

inline core::ValidatedConstraints validated(const core::Constraints& c, std::size_t n) {
  auto v = core::validate_constraints(c, n);
  if (!v) throw std::runtime_error(v.error().display());
  return *v;
}

// The L2 cost computed directly from the values: the oracles' own arithmetic.
inline double direct_l2(const std::vector<double>& x, std::size_t start, std::size_t end) {
  double mean = 0.0;
  for (std::size_t i = start; i < end; ++i) mean += x[i];
  mean /= static_cast<double>(end - start);
  double cost = 0.0;
  for (std::size_t i = start; i < end; ++i) cost += (x[i] - mean) * (x[i] - mean);
  return cost;
}

// A cost model whose segment costs come from a function of (start, end), optionally after a stall
// on the first evaluation (to cross a time budget). Scripts ties, non-finite costs and overflows.
struct FunctionCost {
  struct Cache {
    std::size_t n = 0;
    std::size_t d = 0;
  };
  struct Script {
    std::function<double(std::size_t, std::size_t)> cost;
    std::chrono::milliseconds stall_first{0};
  };
  std::shared_ptr<Script> script;

  static constexpr std::string_view name() { return "l2_mean"; }
  static constexpr core::MissingSupport missing_support() { return core::MissingSupport::Reject; }
  core::Status validate(const core::TimeSeriesView&) const { return {}; }
  core::Result<Cache> precompute(const core::TimeSeriesView& x, const core::CachePolicy&) const {
    return Cache{x.n(), x.d()};
  }
  double segment_cost(const Cache&, std::size_t start, std::size_t end) const {
    if (script->stall_first.count() > 0) {
      std::this_thread::sleep_for(std::exchange(script->stall_first, {}));
    }
    return script->cost(start, end);
  }
  std::optional<std::size_t> penalty_effective_params(std::size_t d) const { return 2 * d; }

  static FunctionCost of(std::function<double(std::size_t, std::size_t)> f,
                         std::chrono::milliseconds stall_first = {}) {
    return FunctionCost{std::make_shared<Script>(Script{std::move(f), stall_first})};
  }
};
static_assert(costs::CostModel<FunctionCost>);

using AllModels = ::testing::Types<costs::CostL2Mean, costs::CostL1Median, costs::CostNormalMeanVar,
                                   costs::CostNormalFullCov, costs::CostNIGMarginal,
                                   costs::CostCosine, costs::CostRank, costs::CostAR>;

// The best segmentation per change count by exhaustive search: every subset of the candidate
// positions whose segments all hold at least min_segment_len positions; objective = segment costs
// summed left to right. best[k] is infinite where no segmentation has k changes.
struct OracleAnswer {
  double objective = std::numeric_limits<double>::infinity();
  std::vector<std::size_t> breakpoints;
};

inline double objective_of(const std::vector<std::size_t>& breakpoints, double beta,
                           const std::function<double(std::size_t, std::size_t)>& cost) {
  double total = 0.0;
  std::size_t start = 0;
  for (std::size_t b : breakpoints) {
    total += cost(start, b);
    start = b;
  }
  return total + beta * static_cast<double>(breakpoints.size() - 1);
}

inline std::vector<OracleAnswer> best_per_count(
    std::size_t n, const std::vector<std::size_t>& candidates, std::size_t min_segment_len,
    const std::function<double(std::size_t, std::size_t)>& cost) {
  std::vector<OracleAnswer> best(candidates.size() + 1);
  std::vector<std::size_t> chosen;
  std::function<void(std::size_t, std::size_t)> walk = [&](std::size_t from, std::size_t last) {
    if (n - last >= min_segment_len) {
      std::vector<std::size_t> bps = chosen;
      bps.push_back(n);
      const double total = objective_of(bps, 0.0, cost);
      if (total < best[chosen.size()].objective) best[chosen.size()] = {total, std::move(bps)};
    }
    for (std::size_t i = from; i < candidates.size(); ++i) {
      const std::size_t s = candidates[i];
      if (s <= last || s - last < min_segment_len || s >= n) continue;
      chosen.push_back(s);
      walk(i + 1, s);
      chosen.pop_back();
    }
  };
  walk(0, 0);
  return best;
}

// The least of best[k] + beta * k over k <= max_changes: infinite where nothing is feasible.
inline double penalized_optimum(const std::vector<OracleAnswer>& best, double beta,
                                std::optional<std::size_t> max_changes = std::nullopt) {
  double out = std::numeric_limits<double>::infinity();
  for (std::size_t k = 0; k < best.size() && k <= max_changes.value_or(k); ++k) {
    out = std::fmin(out, best[k].objective + beta * static_cast<double>(k));
  }
  return out;
}

// The words of a data row: "bic", "aic" or "manual B"; "known_k K", "path" and penalties, or one
// penalty.
inline core::Penalty penalty_of(std::istream& in) {
  std::string word;
  in >> word;
  if (word == "bic") return core::Penalty::bic();
  if (word == "aic") return core::Penalty::aic();
  in >> word;  // read by strtod, which keeps subnormals
  return core::Penalty::manual(std::strtod(word.c_str(), nullptr));
}

inline core::Stopping stopping_of(const std::string& text) {
  std::istringstream in(text);
  std::string word;
  if (text.starts_with("known_k")) {
    std::size_t k = 0;
    in >> word >> k;
    return core::Stopping::known_k(k);
  }
  if (!text.starts_with("path")) return core::Stopping::penalized(penalty_of(in));
  in >> word;
  std::vector<core::Penalty> path;
  while (in >> std::ws && !in.eof()) path.push_back(penalty_of(in));
  return core::Stopping::penalty_path(std::move(path));
}

}  // namespace ovrel::offline::testing
