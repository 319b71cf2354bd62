// Times binary segmentation and wild binary segmentation over the L2 mean cost at n = 1e5 and
// n = 1e6: a series of 20 mean shifts in unit Gaussian noise, segmented under BIC and for the
// known number of changes; WBS with its adaptive interval count for each strategy.
//
// Usage: binseg_bench [max_n]   (default 1000000; pass 100000 for a quick run)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/offline/binseg.hpp"
#include "ovrel/offline/wbs.hpp"

namespace {

using namespace ovrel;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kChanges = 20;

std::vector<double> shifted_series(std::size_t n) {
  std::mt19937_64 rng(12345);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> x(n);
  for (std::size_t t = 0; t < n; ++t) {
    const std::size_t part = t * (kChanges + 1) / n;
    x[t] = (part % 2 == 0 ? 0.0 : 1.5) + 0.25 * static_cast<double>(part % 3) + noise(rng);
  }
  return x;
}

template <class Detector>
void run(const char* label, std::size_t n, const Detector& detector,
         const core::TimeSeriesView& view) {
  core::Constraints constraints;
  core::ExecutionContext ctx(constraints);
  const auto t0 = Clock::now();
  const auto result = detector.detect(view, ctx);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  if (!result) {
    std::fprintf(stderr, "%s failed: %s\n", label, result.error().display().c_str());
    std::exit(1);
  }
  std::printf("%-34s n=%-8zu %10.1f ms  changes=%zu  %s\n", label, n, ms,
              result->change_points.size(), result->diagnostics.notes.back().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t max_n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  for (const std::size_t n : {std::size_t{100000}, std::size_t{1000000}}) {
    if (n > max_n) break;
    const std::vector<double> x = shifted_series(n);
    auto view =
        core::TimeSeriesView::from_f64(x, n, 1, core::MemoryLayout::c_contiguous(), std::nullopt,
                                       core::TimeIndex::none(), core::MissingPolicy::Error);
    if (!view) {
      std::fprintf(stderr, "view: %s\n", view.error().display().c_str());
      return 1;
    }
    const costs::CostL2Mean l2;
    run("binseg penalized(BIC)", n,
        offline::BinSeg<costs::CostL2Mean>{
            {core::Stopping::penalized(core::Penalty::bic()), 0, 1000}, l2},
        *view);
    run("binseg known_k(20)", n,
        offline::BinSeg<costs::CostL2Mean>{{core::Stopping::known_k(kChanges), 0, 1000}, l2},
        *view);
    for (const auto strategy :
         {offline::WbsIntervalStrategy::Random, offline::WbsIntervalStrategy::DeterministicGrid,
          offline::WbsIntervalStrategy::Stratified}) {
      offline::WbsConfig config;
      config.interval_strategy = strategy;
      config.seed = 7;
      config.stopping = core::Stopping::penalized(core::Penalty::bic());
      const std::string label = std::string("wbs penalized(BIC) ") + offline::debug_text(strategy);
      run(label.c_str(), n, offline::Wbs<costs::CostL2Mean>{config, l2}, *view);
    }
  }
  return 0;
}
