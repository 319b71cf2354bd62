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
//   pelt_bench dump                    every field of the answers (breakpoints, notes, warnings,
//                                      counters, refusals) of a fixed set of runs, numbers as
//                                      exact hexadecimal: diff two builds' dumps to show that a
//                                      speed change kept every result bit for bit

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

// Everything a run reports except its clock readings, one field a line; doubles in %a.
struct DumpSink : core::TelemetrySink {
  std::vector<std::string> lines;
  void record_scalar(std::string_view key, double value) override {
    if (key.find("time") != std::string_view::npos || key.find("_ms") != std::string_view::npos) {
      return;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%a", value);
    lines.push_back(std::string("metric ") + std::string(key) + "=" + buf);
  }
};

// Values with exact ties: small integers in steps, so equal costs meet the first-best rule.
std::vector<double> make_integer_steps(std::size_t n, std::size_t d, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<double> v(n * d);
  for (std::size_t t = 0; t < n; ++t) {
    for (std::size_t j = 0; j < d; ++j) {
      v[t * d + j] = static_cast<double>((t / 37) % 3 + rng() % 2);
    }
  }
  return v;
}

// Variance alternating between 1 and 9 every `every` points, mean 5 (far from zero).
std::vector<double> make_variance_series(std::size_t n, std::size_t d, std::size_t every,
                                         std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> v(n * d);
  for (std::size_t t = 0; t < n; ++t) {
    const double sd = ((t / every) % 2 == 0) ? 1.0 : 3.0;
    for (std::size_t j = 0; j < d; ++j) v[t * d + j] = 5.0 + sd * noise(rng);
  }
  return v;
}

struct DumpCase {
  std::string name;
  std::string detector;  // pelt_l2, fpop, pelt_nmv, pelt_l1
  std::vector<double> values;
  std::size_t n;
  std::size_t d;
  core::Stopping stopping;
  core::Constraints constraints;
};

void dump_case(const DumpCase& c) {
  auto view = core::TimeSeriesView::from_f64(c.values, c.n, c.d, core::MemoryLayout::c_contiguous(),
                                             std::nullopt, core::TimeIndex::none(),
                                             core::MissingPolicy::Error);
  if (!view) {
    std::printf("== %s\nbad series: %s\n", c.name.c_str(), view.error().display().c_str());
    return;
  }
  core::ExecutionContext ctx(c.constraints);
  DumpSink sink;
  ctx.telemetry = &sink;
  Result<core::OfflineChangePointResult> r = core::invalid_input("not run");
  if (c.detector == "fpop") {
    auto fpop = offline::Fpop::create(costs::CostL2Mean{}, {c.stopping, 2, 1000});
    r = fpop->detect(*view, ctx);
  } else if (c.detector == "pelt_nmv") {
    r = offline::Pelt<costs::CostNormalMeanVar>{{c.stopping, 2, 1000}, {}}.detect(*view, ctx);
  } else if (c.detector == "pelt_l1") {
    r = offline::Pelt<costs::CostL1Median>{{c.stopping, 2, 1000}, {}}.detect(*view, ctx);
  } else {
    r = offline::Pelt<costs::CostL2Mean>{{c.stopping, 2, 1000}, {}}.detect(*view, ctx);
  }
  std::printf("== %s\n", c.name.c_str());
  if (!r) {
    std::printf("error %s\n", r.error().display().c_str());
  } else {
    std::printf("breakpoints");
    for (std::size_t b : r->breakpoints) std::printf(" %zu", b);
    std::printf("\n");
    for (const std::string& note : r->diagnostics.notes) std::printf("note %s\n", note.c_str());
    for (const std::string& w : r->diagnostics.warnings) std::printf("warning %s\n", w.c_str());
    if (r->diagnostics.pruning_stats) {
      std::printf(
          "pruning %llu %llu\n",
          static_cast<unsigned long long>(r->diagnostics.pruning_stats->candidates_considered),
          static_cast<unsigned long long>(r->diagnostics.pruning_stats->candidates_pruned));
    }
  }
  for (const std::string& line : sink.lines) std::printf("%s\n", line.c_str());
}

void dump_all() {
  using core::Penalty;
  using core::Stopping;
  const Stopping bic = Stopping::penalized(Penalty::bic());
  const Stopping path =
      Stopping::penalty_path({Penalty::manual(3.0), Penalty::bic(), Penalty::manual(40.0)});
  core::Constraints plain;
  core::Constraints long_min;
  long_min.min_segment_len = 7;
  core::Constraints jump3;
  jump3.jump = 3;
  core::Constraints capped;
  capped.max_change_points = 4;
  core::Constraints splits;
  splits.candidate_splits = std::vector<std::size_t>{100, 101, 250, 400, 401, 402, 900, 1500};
  core::Constraints budget;
  budget.max_cost_evals = 20'000;
  std::vector<DumpCase> cases;
  for (const char* det : {"pelt_l2", "fpop", "pelt_nmv"}) {
    const bool nmv = std::string_view(det) == "pelt_nmv";
    for (std::size_t d : {std::size_t{1}, std::size_t{3}}) {
      if (std::string_view(det) == "fpop" && d > 1) continue;
      const std::size_t n = 3000;
      const std::vector<double> mean =
          nmv ? make_variance_series(n, d, 400, 7) : make_series(n, d, 300, 7);
      const std::vector<double> ties = make_integer_steps(n, d, 9);
      const std::string tag = std::string(det) + " d=" + std::to_string(d);
      cases.push_back({tag + " bic", det, mean, n, d, bic, plain});
      cases.push_back(
          {tag + " manual 0.5", det, mean, n, d, Stopping::penalized(Penalty::manual(0.5)), plain});
      cases.push_back({tag + " ties bic", det, ties, n, d, bic, plain});
      cases.push_back({tag + " ties manual 1", det, ties, n, d,
                       Stopping::penalized(Penalty::manual(1.0)), plain});
      cases.push_back({tag + " min 7", det, mean, n, d, bic, long_min});
      cases.push_back({tag + " jump 3", det, mean, n, d, bic, jump3});
      cases.push_back({tag + " capped", det, mean, n, d, bic, capped});
      cases.push_back({tag + " splits", det, mean, n, d, bic, splits});
      cases.push_back({tag + " budget", det, mean, n, d, bic, budget});
      cases.push_back({tag + " path", det, mean, n, d, path, plain});
      cases.push_back({tag + " ties path", det, ties, n, d, path, plain});
      const std::vector<double> head(mean.begin(), mean.begin() + static_cast<long>(800 * d));
      cases.push_back({tag + " known k", det, head, 800, d, Stopping::known_k(3), plain});
      std::vector<double> no_change =
          nmv ? make_variance_series(n, d, n, 3) : make_series(n, d, n, 3);
      cases.push_back({tag + " no change", det, no_change, n, d, bic, plain});
      // Squares overflow from the middle on: the run is refused at the first non-finite cost.
      std::vector<double> huge = mean;
      for (std::size_t i = huge.size() / 2; i < huge.size(); ++i) huge[i] *= 1e160;
      cases.push_back({tag + " overflow", det, huge, n, d, bic, plain});
      cases.push_back({tag + " overflow path", det, huge, n, d, path, plain});
    }
  }
  cases.push_back({"pelt_l1 bic", "pelt_l1", make_series(600, 1, 150, 5), 600, 1, bic, plain});
  cases.push_back({"pelt_l1 path", "pelt_l1", make_series(600, 2, 150, 5), 600, 2, path, plain});
  for (const DumpCase& c : cases) dump_case(c);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "dump") == 0) {
    dump_all();
    return 0;
  }
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
