// PELT (L2) and FPOP with a BIC penalty on series of n = 1e4, 1e5 and 1e6 points with a change
// in mean every 1,000 points, plus runs with a single change (n = 2e4). Each run happens in a child
// process so that its peak resident memory is its own; printed: wall time of detect (validation,
// cache and dynamic programme), segment-cost evaluations, evaluations per point, pruned candidates,
// breakpoints found and peak memory.
//
//   pelt_bench                         all runs
//   pelt_bench quick                   n up to 1e5
//   pelt_bench one DETECTOR N EVERY [D]  one run in this process (for callgrind), DETECTOR one of
//                                      pelt_l2, fpop, pelt_nmv, pelt_l1

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/time_series.hpp"
#include "ovrel/costs/l1.hpp"
#include "ovrel/costs/l2.hpp"
#include "ovrel/costs/normal.hpp"
#include "ovrel/offline/fpop.hpp"
#include "ovrel/offline/pelt.hpp"

namespace {

using namespace ovrel;

struct Metrics : core::TelemetrySink {
  double cost_evals = 0;
  double pruned = 0;
  void record_scalar(std::string_view key, double value) override {
    if (key.ends_with(".cost_evals")) cost_evals = value;
    if (key.ends_with(".candidates_pruned")) pruned = value;
  }
};

// Row-major n x d; every dimension alternates its mean between 0 and 3 every `every` points.
std::vector<double> make_series(std::size_t n, std::size_t d, std::size_t every,
                                std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> v(n * d);
  for (std::size_t t = 0; t < n; ++t) {
    const double level = ((t / every) % 2 == 0) ? 0.0 : 3.0;
    for (std::size_t j = 0; j < d; ++j) v[t * d + j] = level + noise(rng);
  }
  return v;
}

struct Case {
  std::string detector;  // "pelt_l2", "fpop", "pelt_nmv" or "pelt_l1"
  std::size_t n;
  std::size_t every;  // change spacing; n/2 gives a single change
  std::size_t d = 1;
};

void run_case(const Case& c) {
  const std::vector<double> values = make_series(c.n, c.d, c.every, 42);
  auto view = core::TimeSeriesView::from_f64(values, c.n, c.d, core::MemoryLayout::c_contiguous(),
                                             std::nullopt, core::TimeIndex::none(),
                                             core::MissingPolicy::Error);
  const core::Constraints constraints;
  core::ExecutionContext ctx(constraints);
  Metrics metrics;
  ctx.telemetry = &metrics;
  const auto stopping = core::Stopping::penalized(core::Penalty::bic());
  const auto t0 = std::chrono::steady_clock::now();
  Result<core::OfflineChangePointResult> r = core::invalid_input("not run");
  if (c.detector == "fpop") {
    auto fpop = offline::Fpop::create(costs::CostL2Mean{}, {stopping, 2, 1000});
    r = fpop->detect(*view, ctx);
  } else if (c.detector == "pelt_nmv") {
    const offline::Pelt<costs::CostNormalMeanVar> pelt{{stopping, 2, 1000}, {}};
    r = pelt.detect(*view, ctx);
  } else if (c.detector == "pelt_l1") {
    const offline::Pelt<costs::CostL1Median> pelt{{stopping, 2, 1000}, {}};
    r = pelt.detect(*view, ctx);
  } else {
    const offline::Pelt<costs::CostL2Mean> pelt{{stopping, 2, 1000}, {}};
    r = pelt.detect(*view, ctx);
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!r) {
    std::printf("%-8s n=%-8zu every=%-8zu FAILED: %s\n", c.detector.c_str(), c.n, c.every,
                r.error().display().c_str());
    std::exit(1);
  }
  std::printf(
      "%-8s n=%-8zu d=%-2zu every=%-8zu time=%8.4f s  cost_evals=%12.0f  per_point=%7.2f  "
      "pruned=%12.0f  changes=%zu",
      c.detector.c_str(), c.n, c.d, c.every, secs, metrics.cost_evals,
      metrics.cost_evals / static_cast<double>(c.n), metrics.pruned, r->change_points.size());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && std::strcmp(argv[1], "one") == 0) {
    const Case c{argv[2], std::stoul(argv[3]), std::stoul(argv[4]),
                 argc >= 6 ? std::stoul(argv[5]) : 1};
    run_case(c);
    std::printf("\n");
    return 0;
  }
  const bool quick = argc > 1 && std::strcmp(argv[1], "quick") == 0;
  std::vector<Case> cases;
  for (std::size_t n : {std::size_t{10'000}, std::size_t{100'000}, std::size_t{1'000'000}}) {
    if (quick && n > 100'000) continue;
    cases.push_back({"pelt_l2", n, 1000});
    cases.push_back({"fpop", n, 1000});
  }
  cases.push_back({"pelt_l2", 20'000, 10'000});
  cases.push_back({"fpop", 20'000, 10'000});
  for (const Case& c : cases) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
      run_case(c);
      std::_Exit(0);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    std::printf("  peak_rss=%7.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
  }
  return 0;
}
