// Times the online detectors, one observation at a time (`update`) and through the batch loop
// (`update_many`), on streams whose level changes every 1000 steps. BOCPD's cost per step is
// bounded by max_run_length; the "first 10%" and "last 10%" columns show that it stays flat as the
// stream grows. Without a pruning threshold the run list sits at its bound (the worst case); with
// the default threshold (-35) it is cut after the last plausible run.
//
// Run: build with -DOVREL_BUILD_BENCH=ON, then ./bench/online_bench [--quick]
//
// Replay modes, used by bench/compare_online_peers.py to time the engine on the peers' stream
// (raw little-endian float64 files; the p_change of every step is written to OUT):
//   online_bench --replay-bocpd IN OUT P_CHANGE MAX_RUN_LENGTH THRESHOLD|none MU0 KAPPA0 ALPHA0
//   BETA0
//       Gaussian BOCPD with a constant hazard
//   online_bench --replay-ph IN OUT DELTA THRESHOLD
//   online_bench --replay-cusum IN OUT DRIFT THRESHOLD TARGET_MEAN
// Each prints "update_seconds update_many_seconds".

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ovrel/core/detectors.hpp"
#include "ovrel/online/baseline.hpp"
#include "ovrel/online/bocpd.hpp"

namespace {

using namespace ovrel;
using Clock = std::chrono::steady_clock;

enum class Kind { Gaussian, Poisson, Bernoulli };

std::vector<double> stream(Kind kind, std::size_t n, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> level(-3.0, 3.0);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> out(n);
  double mu = 0.0;
  for (std::size_t t = 0; t < n; ++t) {
    if (t % 1000 == 0) mu = level(gen);
    switch (kind) {
      case Kind::Gaussian:
        out[t] = mu + noise(gen);
        break;
      case Kind::Poisson:
        out[t] = static_cast<double>(std::poisson_distribution<int>(4.0 + mu)(gen));
        break;
      case Kind::Bernoulli:
        out[t] = std::bernoulli_distribution(0.5 + mu / 7.0)(gen) ? 1.0 : 0.0;
        break;
    }
  }
  return out;
}

core::TimeSeriesView view_of(const std::vector<double>& x) {
  return core::TimeSeriesView::from_f64(x, x.size(), 1, core::MemoryLayout::c_contiguous(),
                                        std::nullopt, core::TimeIndex::none(),
                                        core::MissingPolicy::Error)
      .value();
}

double seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// Steps per second through update (overall, first and last tenth) and through update_many.
template <class Make>
void run(const char* label, const std::vector<double>& x, Make make) {
  const core::Constraints constraints;
  const core::ExecutionContext ctx(constraints);
  auto d = make();
  const std::size_t n = x.size();
  const std::size_t tenth = n / 10;
  double first = 0.0;
  double last = 0.0;
  double p_sum = 0.0;
  const auto t0 = Clock::now();
  auto mark = t0;
  for (std::size_t t = 0; t < n; ++t) {
    auto r = d.update(std::span<const double>(&x[t], 1), std::nullopt, ctx);
    if (!r) {
      std::printf("%s: error %s\n", label, r.error().display().c_str());
      return;
    }
    p_sum += r->p_change;
    if (t + 1 == tenth) first = seconds(mark, Clock::now());
    if (t + 1 == n - tenth) mark = Clock::now();
  }
  const auto t1 = Clock::now();
  last = seconds(mark, t1);
  auto batch = make();
  const auto view = view_of(x);
  const auto t2 = Clock::now();
  auto records = core::update_many(batch, view, ctx);
  const auto t3 = Clock::now();
  if (!records) {
    std::printf("%s: error %s\n", label, records.error().display().c_str());
    return;
  }
  const double total = seconds(t0, t1);
  std::printf("| %-44s | %9zu | %12.0f | %12.0f | %12.0f | %12.0f | %.6g |\n", label, n,
              double(n) / total, double(tenth) / first, double(tenth) / last,
              double(n) / seconds(t2, t3), p_sum / double(n));
}

std::vector<double> read_f64(const char* path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  std::vector<double> out(bytes.size() / sizeof(double));
  std::memcpy(out.data(), bytes.data(), out.size() * sizeof(double));
  return out;
}

// Times one pass through update and one through update_many on fresh detectors; writes the
// p_change of every update.
template <class Make>
int replay(const char* in_path, const char* out_path, Make make) {
  const std::vector<double> x = read_f64(in_path);
  const core::Constraints constraints;
  const core::ExecutionContext ctx(constraints);
  auto d = make();
  std::vector<double> p(x.size());
  const auto t0 = Clock::now();
  for (std::size_t t = 0; t < x.size(); ++t) {
    auto r = d.update(std::span<const double>(&x[t], 1), std::nullopt, ctx);
    if (!r) {
      std::fprintf(stderr, "error: %s\n", r.error().display().c_str());
      return 1;
    }
    p[t] = r->p_change;
  }
  const auto t1 = Clock::now();
  auto batch = make();
  const auto view = view_of(x);
  const auto t2 = Clock::now();
  auto records = core::update_many(batch, view, ctx);
  const auto t3 = Clock::now();
  if (!records) return 1;
  std::ofstream out(out_path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(p.data()),
            static_cast<std::streamsize>(p.size() * sizeof(double)));
  std::printf("%.9f %.9f\n", seconds(t0, t1), seconds(t2, t3));
  return 0;
}

int replay_mode(int argc, char** argv) {
  const std::string mode = argv[1];
  auto num = [&](int i) { return std::strtod(argv[i], nullptr); };
  if (mode == "--replay-bocpd" && argc == 11) {
    return replay(argv[2], argv[3], [&] {
      online::BocpdConfig c;
      c.hazard = online::ConstantHazard{num(4)};
      c.max_run_length = static_cast<std::uint64_t>(num(5));
      c.log_prob_threshold =
          std::strcmp(argv[6], "none") == 0 ? std::nullopt : std::optional<double>(num(6));
      c.observation = online::GaussianNig{num(7), num(8), num(9), num(10)};
      return online::BocpdDetector::create(c).value();
    });
  }
  if (mode == "--replay-ph" && argc == 6) {
    return replay(argv[2], argv[3], [&] {
      online::PageHinkleyConfig c;
      c.delta = num(4);
      c.threshold = num(5);
      return online::PageHinkleyDetector::create(c).value();
    });
  }
  if (mode == "--replay-cusum" && argc == 7) {
    return replay(argv[2], argv[3], [&] {
      online::CusumConfig c;
      c.drift = num(4);
      c.threshold = num(5);
      c.target_mean = num(6);
      return online::CusumDetector::create(c).value();
    });
  }
  std::fprintf(stderr, "unknown replay arguments\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strncmp(argv[1], "--replay", 8) == 0) return replay_mode(argc, argv);
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const std::size_t n_bocpd = quick ? 10000 : 100000;
  const std::size_t n_base = quick ? 100000 : 1000000;
  std::printf(
      "| detector | steps | update steps/s | first 10%% | last 10%% | update_many steps/s | mean "
      "p_change |\n|---|---|---|---|---|---|---|\n");
  struct Model {
    const char* name;
    Kind kind;
    online::ObservationModel model;
  };
  const Model models[] = {{"gaussian", Kind::Gaussian, online::GaussianNig{}},
                          {"poisson", Kind::Poisson, online::PoissonGamma{}},
                          {"bernoulli", Kind::Bernoulli, online::BernoulliBeta{}}};
  for (const Model& m : models) {
    const std::vector<double> x = stream(m.kind, n_bocpd, 11);
    for (std::uint64_t bound : {std::uint64_t{100}, std::uint64_t{2000}}) {
      for (std::optional<double> th : {std::optional<double>(-35.0), std::optional<double>()}) {
        const std::string label = std::string("BOCPD ") + m.name +
                                  " max_run_length=" + std::to_string(bound) +
                                  (th ? " th=-35" : " no threshold");
        run(label.c_str(), x, [&] {
          online::BocpdConfig c;
          c.observation = m.model;
          c.max_run_length = bound;
          c.log_prob_threshold = th;
          return online::BocpdDetector::create(c).value();
        });
      }
    }
  }
  const std::vector<double> x = stream(Kind::Gaussian, n_base, 13);
  run("CUSUM", x, [] { return online::CusumDetector::create({}).value(); });
  run("Page-Hinkley", x, [] { return online::PageHinkleyDetector::create({}).value(); });
  return 0;
}
