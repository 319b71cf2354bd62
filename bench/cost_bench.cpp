// Times `segment_cost` of each cost model on a series of n = 1e6 rows: the nanoseconds per
// evaluation over a fixed set of random segments, and the precompute time.
//
// To add a model: include its header and add a row to `cases()` below.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "ovrel/core/time_series.hpp"
#include "ovrel/costs/ar.hpp"
#include "ovrel/costs/cosine.hpp"
#include "ovrel/costs/l1.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/nig.hpp"
#include "ovrel/costs/normal.hpp"
#include "ovrel/costs/rank.hpp"

namespace {

using ovrel::core::TimeSeriesView;
using Clock = std::chrono::steady_clock;

struct Segment {
  std::size_t start;
  std::size_t end;
};

struct Timing {
  double precompute_ms;
  double ns_per_eval;
  double checksum;  // keeps the evaluations observable
};

// Precomputes the model's cache once, then evaluates every segment `repeats` times.
template <ovrel::costs::CostModel C>
std::function<Timing(const TimeSeriesView&, const std::vector<Segment>&, int)> timed(C model) {
  return [model](const TimeSeriesView& x, const std::vector<Segment>& segments, int repeats) {
    const auto t0 = Clock::now();
    auto cache = model.precompute(x, ovrel::core::CachePolicy::full());
    const auto t1 = Clock::now();
    if (!cache) {
      std::fprintf(stderr, "precompute failed: %s\n", cache.error().display().c_str());
      std::exit(1);
    }
    double checksum = 0.0;
    for (int r = 0; r < repeats; ++r) {
      for (const Segment& s : segments) checksum += model.segment_cost(*cache, s.start, s.end);
    }
    const auto t2 = Clock::now();
    const double evals = static_cast<double>(segments.size()) * repeats;
    return Timing{std::chrono::duration<double, std::milli>(t1 - t0).count(),
                  std::chrono::duration<double, std::nano>(t2 - t1).count() / evals, checksum};
  };
}

struct Case {
  std::string label;
  std::size_t d;
  // Longest segment drawn; models whose cost grows with the segment get short ones.
  std::size_t max_len;
  std::size_t segments;
  std::function<Timing(const TimeSeriesView&, const std::vector<Segment>&, int)> run;
};

std::vector<Case> cases() {
  using namespace ovrel::costs;
  constexpr std::size_t kAny = 0;  // any length up to n
  return {
      {"l2_mean", 1, kAny, 1'000'000, timed(CostL2Mean{})},
      {"l2_mean", 8, kAny, 1'000'000, timed(CostL2Mean{})},
      {"l1_median", 1, 1000, 20'000, timed(CostL1Median{})},
      {"normal_mean_var", 1, kAny, 1'000'000, timed(CostNormalMeanVar{})},
      {"normal_mean_var", 8, kAny, 1'000'000, timed(CostNormalMeanVar{})},
      {"normal_full_cov", 1, kAny, 1'000'000, timed(CostNormalFullCov{})},
      {"normal_full_cov", 4, kAny, 200'000, timed(CostNormalFullCov{})},
      {"nig_marginal", 1, kAny, 1'000'000, timed(CostNIGMarginal{})},
      {"nig_marginal", 8, kAny, 1'000'000, timed(CostNIGMarginal{})},
      {"cosine", 1, kAny, 1'000'000, timed(CostCosine{})},
      {"cosine", 8, kAny, 1'000'000, timed(CostCosine{})},
      {"rank", 1, kAny, 1'000'000, timed(CostRank{})},
      {"rank", 8, kAny, 1'000'000, timed(CostRank{})},
      {"ar(1)", 1, kAny, 1'000'000, timed(CostAR{1})},
      {"ar(1)", 8, kAny, 1'000'000, timed(CostAR{1})},
      {"ar(3)", 1, 1000, 20'000, timed(CostAR{3})},
  };
}

}  // namespace

int main() {
  constexpr std::size_t kN = 1'000'000;
  std::mt19937_64 gen(42);
  std::normal_distribution<double> noise(0.0, 1.0);

  std::printf("%-18s %3s %9s %10s %14s %12s\n", "model", "d", "max_len", "segments",
              "precompute_ms", "ns_per_eval");
  for (const Case& c : cases()) {
    std::vector<double> values(kN * c.d);
    for (double& v : values) v = 100.0 + noise(gen);
    const auto view = TimeSeriesView::from_f64(
                          values, kN, c.d, ovrel::core::MemoryLayout::c_contiguous(), std::nullopt,
                          ovrel::core::TimeIndex::none(), ovrel::core::MissingPolicy::Error)
                          .value();
    const std::size_t max_len = c.max_len == 0 ? kN : c.max_len;
    std::uniform_int_distribution<std::size_t> start_dist(0, kN - 1);
    std::uniform_int_distribution<std::size_t> len_dist(1, max_len);
    std::vector<Segment> segments(c.segments);
    for (Segment& s : segments) {
      s.start = start_dist(gen);
      s.end = std::min(kN, s.start + len_dist(gen));
    }
    const Timing t = c.run(view, segments, 3);
    std::printf("%-18s %3zu %9zu %10zu %14.1f %12.2f   (checksum %.6g)\n", c.label.c_str(), c.d,
                max_len, c.segments, t.precompute_ms, t.ns_per_eval, t.checksum);
  }
  return 0;
}
