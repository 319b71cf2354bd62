#pragma once

// Shared fixtures of the offline detector tests: series views over owned values, an execution
// context that records progress and metrics, an exhaustive optimal-partitioning oracle, and for
// the binary-segmentation tests piecewise series, recording sinks, a cost given by a function and
// a direct L2 cost.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/stopping.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/costs/ar.hpp"
#include "ovrel/costs/cosine.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/model.hpp"
#include "ovrel/costs/normal.hpp"

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

inline OwnedSeries series(std::vector<double> values, std::size_t d = 1) {
  const std::size_t n = values.size() / d;
  return OwnedSeries{std::move(values), n, d};
}

// Piecewise-constant means plus Gaussian noise, seeded.
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

class Recorder : public core::ProgressSink, public core::TelemetrySink {
 public:
  void report_progress(float fraction) override { progress.push_back(fraction); }
  void record_scalar(std::string_view key, double value) override {
    metrics.emplace_back(std::string(key), value);
  }
  std::vector<float> progress;
  std::vector<std::pair<std::string, double>> metrics;
};

// A context over its own constraints with a recording sink attached.
struct RecordingContext {
  core::Constraints constraints;
  Recorder recorder;
  core::CancelToken token;
  core::ExecutionContext ctx;

  explicit RecordingContext(core::Constraints c = default_constraints(),
                            core::BudgetMode mode = core::BudgetMode::HardFail,
                            core::ReproMode repro = core::ReproMode::Balanced)
      : constraints(std::move(c)), ctx(constraints, repro, mode) {
    ctx.progress = &recorder;
    ctx.telemetry = &recorder;
    ctx.cancel = &token;
  }
  RecordingContext(const RecordingContext&) = delete;
  RecordingContext& operator=(const RecordingContext&) = delete;

  static core::Constraints default_constraints() { return core::Constraints{}; }
};

inline core::Constraints constraints_with(std::size_t min_segment_len, std::size_t jump) {
  core::Constraints c;
  c.min_segment_len = min_segment_len;
  c.jump = jump;
  return c;
}

// The best segmentation by exhaustive search: every subset of the candidate positions whose
// segments all hold at least min_segment_len positions, optionally with exactly `exact_changes`
// change points. cost(start, end) is the segment cost.
struct OracleAnswer {
  double objective = std::numeric_limits<double>::infinity();
  std::vector<std::size_t> breakpoints;
};

inline OracleAnswer exhaustive_optimum(
    std::size_t n, const std::vector<std::size_t>& candidates, std::size_t min_segment_len,
    double beta, std::optional<std::size_t> exact_changes,
    const std::function<double(std::size_t, std::size_t)>& cost) {
  OracleAnswer best;
  std::vector<std::size_t> chosen;
  std::function<void(std::size_t, std::size_t)> walk = [&](std::size_t from, std::size_t last) {
    // Close the segmentation with [last, n).
    if (n - last >= min_segment_len && (!exact_changes || chosen.size() == *exact_changes)) {
      double total = 0.0;
      std::size_t start = 0;
      for (std::size_t b : chosen) {
        total += cost(start, b);
        start = b;
      }
      total += cost(start, n);
      total += beta * static_cast<double>(chosen.size());
      if (total < best.objective) {
        best.objective = total;
        best.breakpoints = chosen;
        best.breakpoints.push_back(n);
      }
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

// The plain objective of a segmentation given by its breakpoints.
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

// ---------------------------------------------------------------------------------------------
// Binary segmentation and WBS
// Piecewise-constant means with small deterministic noise.
inline std::vector<double> piecewise_series(
    const std::vector<std::pair<std::size_t, double>>& parts, double noise,
    std::uint64_t seed = 1) {
  std::vector<double> out;
  std::uint64_t state = seed;
  for (const auto& [len, mean] : parts) {
    for (std::size_t i = 0; i < len; ++i) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      const double u = static_cast<double>(state >> 11) / 9007199254740992.0;  // [0, 1)
      out.push_back(mean + noise * (u - 0.5));
    }
  }
  return out;
}

inline core::TimeSeriesView view_of(const std::vector<double>& values, std::size_t d = 1) {
  auto view = core::TimeSeriesView::from_f64(values, values.size() / d, d,
                                             core::MemoryLayout::c_contiguous(), std::nullopt,
                                             core::TimeIndex::none(), core::MissingPolicy::Error);
  if (!view) throw std::runtime_error(view.error().display());
  return *view;
}

// The L2 cost computed directly from the values: the oracle's own arithmetic.
inline double direct_l2(const std::vector<double>& x, std::size_t start, std::size_t end) {
  double mean = 0.0;
  for (std::size_t i = start; i < end; ++i) mean += x[i];
  mean /= static_cast<double>(end - start);
  double cost = 0.0;
  for (std::size_t i = start; i < end; ++i) cost += (x[i] - mean) * (x[i] - mean);
  return cost;
}

struct RecordingProgress : core::ProgressSink {
  std::vector<float> values;
  void report_progress(float fraction) override { values.push_back(fraction); }
};

struct RecordingTelemetry : core::TelemetrySink {
  std::vector<std::pair<std::string, double>> values;
  void record_scalar(std::string_view key, double value) override {
    values.emplace_back(std::string(key), value);
  }
  std::vector<std::string> keys() const {
    std::vector<std::string> out;
    for (const auto& [k, v] : values) out.push_back(k);
    return out;
  }
};

// A cost model whose segment costs come from a function of (start, end); its name and default
// parameter count are fixed. Used to script ties, NaN costs and overflowing gains.
struct FunctionCost {
  struct Cache {
    std::size_t n = 0;
    std::size_t d = 0;
  };
  std::shared_ptr<std::function<double(std::size_t, std::size_t)>> cost;

  static constexpr std::string_view name() { return "l2_mean"; }
  static constexpr core::MissingSupport missing_support() { return core::MissingSupport::Reject; }
  core::Status validate(const core::TimeSeriesView&) const { return {}; }
  core::Result<Cache> precompute(const core::TimeSeriesView& x, const core::CachePolicy&) const {
    return Cache{x.n(), x.d()};
  }
  double segment_cost(const Cache&, std::size_t start, std::size_t end) const {
    return (*cost)(start, end);
  }
  std::optional<std::size_t> penalty_effective_params(std::size_t d) const { return 2 * d; }

  static FunctionCost of(std::function<double(std::size_t, std::size_t)> f) {
    return FunctionCost{
        std::make_shared<std::function<double(std::size_t, std::size_t)>>(std::move(f))};
  }
};
static_assert(costs::CostModel<FunctionCost>);

inline core::ValidatedConstraints validated(const core::Constraints& c, std::size_t n) {
  auto v = core::validate_constraints(c, n);
  if (!v) throw std::runtime_error(v.error().display());
  return *v;
}

// One penalty resolution and what it must give: beta, the label of the parameter count and the
// per-dimension figure.
struct PenaltyCase {
  std::string model;
  core::Penalty penalty;
  std::size_t n, d, p;
  double beta;
  std::string source;
  std::size_t figure;
};

inline void PrintTo(const PenaltyCase& c, std::ostream* os) {
  *os << c.model << " " << core::debug(c.penalty) << " n=" << c.n << " d=" << c.d << " p=" << c.p;
}

// resolve(model, penalty, n, d, p) against the case, for the models the tables name.
template <class Resolve>
void expect_penalty_case(const PenaltyCase& c, Resolve&& resolve) {
  const auto check = [&](const auto& model) {
    const auto r = resolve(model, c.penalty, c.n, c.d, c.p);
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(r->beta, c.beta);
    EXPECT_EQ(r->params_source, c.source);
    EXPECT_EQ(r->params_per_segment, c.figure);
  };
  if (c.model == "l2_mean") check(costs::CostL2Mean{});
  if (c.model == "normal_mean_var") check(costs::CostNormalMeanVar{});
  if (c.model == "normal_full_cov") check(costs::CostNormalFullCov{});
  if (c.model == "cosine") check(costs::CostCosine{});
  if (c.model == "ar") check(costs::CostAR{});
}

}  // namespace ovrel::offline::testing
