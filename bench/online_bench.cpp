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
//
//   online_bench --steps-bocpd MODEL MAX_RUN_LENGTH|unbounded THRESHOLD|none N
//       N updates of BOCPD (MODEL gaussian, poisson or bernoulli) on this file's stream; prints the
//       run-length entries the steps passed over. Under
//       valgrind --tool=callgrind --toggle-collect='ovrel::online::BocpdDetector::update*'
//       the instructions of the steps over that count are the instructions per entry.
//   online_bench --dump-bocpd OUT
//       Every field of every BOCPD step and a digest of the saved state after it (the full state
//       bytes at the end of each case), for every model, several priors, bounds and thresholds,
//       late data and loaded states, written as text: two builds give identical files exactly
//       when they compute the same bits.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ovrel/checkpoint/state_wire.hpp"
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

online::ObservationModel model_named(const std::string& name) {
  if (name == "poisson") return online::PoissonGamma{};
  if (name == "bernoulli") return online::BernoulliBeta{};
  return online::GaussianNig{};
}

Kind kind_of(const online::ObservationModel& m) {
  return m.index() == 0 ? Kind::Gaussian : m.index() == 1 ? Kind::Poisson : Kind::Bernoulli;
}

int steps_mode(int argc, char** argv) {
  if (argc != 6) return 2;
  online::BocpdConfig c;
  c.observation = model_named(argv[2]);
  c.max_run_length = std::strcmp(argv[3], "unbounded") == 0
                         ? UINT64_MAX
                         : static_cast<std::uint64_t>(std::strtoull(argv[3], nullptr, 10));
  c.log_prob_threshold = std::strcmp(argv[4], "none") == 0
                             ? std::nullopt
                             : std::optional<double>(std::strtod(argv[4], nullptr));
  const std::size_t n = std::strtoull(argv[5], nullptr, 10);
  const std::vector<double> x = stream(kind_of(c.observation), n, 11);
  const core::Constraints constraints;
  const core::ExecutionContext ctx(constraints);
  auto d = online::BocpdDetector::create(c).value();
  std::uint64_t entries = 0;
  for (std::size_t t = 0; t < n; ++t) {
    entries += d.state().log_run_probs.size();
    auto r = d.update(std::span<const double>(&x[t], 1), std::nullopt, ctx);
    if (!r) {
      std::fprintf(stderr, "error: %s\n", r.error().display().c_str());
      return 1;
    }
  }
  std::printf("%llu\n", static_cast<unsigned long long>(entries));
  return 0;
}

std::uint64_t bits(double v) {
  std::uint64_t b = 0;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

std::uint64_t fnv1a(const std::vector<std::uint8_t>& bytes) {
  std::uint64_t h = 1469598103934665603ull;
  for (std::uint8_t b : bytes) h = (h ^ b) * 1099511628211ull;
  return h;
}

struct Dump {
  std::FILE* out;

  void step(const Result<core::OnlineStepResult>& r, const online::BocpdDetector& d) {
    if (r) {
      std::fprintf(out, "ok t=%llu p=%016llx a=%d m=%llu mean=%016llx reason=%s", ull(r->t),
                   ull(bits(r->p_change)), r->alert ? 1 : 0, ull(r->run_length_mode),
                   ull(bits(r->run_length_mean)), r->alert_reason ? r->alert_reason->c_str() : "-");
    } else {
      std::fprintf(out, "err %s", r.error().display().c_str());
    }
    const auto state = checkpoint::state_to_bincode(d.state());
    std::fprintf(out, " len=%zu state=%016llx\n", d.state().log_run_probs.size(),
                 ull(fnv1a(state)));
  }
  void final_state(const online::BocpdDetector& d) {
    const auto state = checkpoint::state_to_bincode(d.state());
    std::fprintf(out, "state");
    for (std::uint8_t b : state) std::fprintf(out, "%02x", b);
    std::fprintf(out, "\n");
  }
  static unsigned long long ull(std::uint64_t v) { return v; }
};

// A stream for the model with level changes at irregular steps and, every so often, a value the
// model refuses (so error paths are compared too).
std::vector<double> dump_stream(Kind kind, std::size_t n, unsigned seed) {
  std::vector<double> x = stream(kind, n, seed);
  std::mt19937_64 gen(seed + 1);
  for (std::size_t t = 0; t < n; ++t) {
    if (t % 250 == 125) x[t] *= 3.0;
    if (t % 397 == 200) {
      x[t] = kind == Kind::Gaussian  ? std::numeric_limits<double>::quiet_NaN()
             : kind == Kind::Poisson ? 2.5
                                     : 0.5;
    }
    if (kind == Kind::Poisson && t % 331 == 17) x[t] = 1e15 + static_cast<double>(t);
    if (kind == Kind::Gaussian && t % 293 == 31) x[t] = 1e12;
  }
  return x;
}

int dump_mode(const char* path) {
  std::FILE* f = std::fopen(path, "w");
  if (!f) return 1;
  Dump dump{f};
  const core::Constraints constraints;
  const core::ExecutionContext ctx(constraints);
  const online::ObservationModel models[] = {online::GaussianNig{},
                                             online::GaussianNig{0.3, 0.7, 0.6, 2.5},
                                             online::GaussianNig{-1e3, 1e-3, 40.0, 1e-4},
                                             online::PoissonGamma{},
                                             online::PoissonGamma{0.3, 1.7},
                                             online::BernoulliBeta{},
                                             online::BernoulliBeta{0.4, 2.2}};
  const std::uint64_t bounds[] = {1, 2, 7, 100, 2000, UINT64_MAX};
  const std::optional<double> thresholds[] = {-35.0, std::nullopt, 0.0, -5.0};
  const std::size_t n = 2500;
  int case_no = 0;
  for (const auto& model : models) {
    const std::vector<double> x = dump_stream(kind_of(model), n, 17);
    for (std::uint64_t bound : bounds) {
      for (const auto& th : thresholds) {
        online::BocpdConfig c;
        c.observation = model;
        c.max_run_length = bound;
        c.log_prob_threshold = th;
        c.hazard = case_no % 2 ? online::HazardSpec(online::ConstantHazard{0.02})
                               : online::HazardSpec(online::GeometricHazard::create(150.0).value());
        c.alert_policy.threshold = 0.3;
        c.alert_policy.cooldown_steps = 5;
        // Late data on some cases: events arrive out of order and are buffered, then replayed.
        const bool late = case_no % 3 == 0;
        if (late)
          c.late_data_policy = online::LateDataPolicy::reorder_by_timestamp(
              50, 8, online::OverflowPolicy::DropOldest);
        std::fprintf(f, "case %d model=%zu bound=%llu th=%s late=%d\n", case_no, model.index(),
                     Dump::ull(bound), th ? std::to_string(*th).c_str() : "none", late ? 1 : 0);
        auto d = online::BocpdDetector::create(c).value();
        for (std::size_t t = 0; t < n; ++t) {
          std::optional<std::int64_t> t_ns;
          if (late) t_ns = static_cast<std::int64_t>(t * 10) - (t % 7 == 3 ? 35 : 0);
          auto r = d.update(std::span<const double>(&x[t], 1), t_ns, ctx);
          dump.step(r, d);
        }
        dump.final_state(d);
        ++case_no;
      }
    }
  }
  // Loaded states: runs longer than the bound, counts past the cached range, statistics of
  // another model, runs whose posterior fails, saturated counts.
  const auto loaded = [&](const char* name, online::BocpdConfig c, online::BocpdState s,
                          std::vector<double> xs) {
    std::fprintf(f, "loaded %s\n", name);
    auto d = online::BocpdDetector::create(c).value();
    d.load_state(s);
    for (double v : xs) {
      auto r = d.update(std::span<const double>(&v, 1), std::nullopt, ctx);
      dump.step(r, d);
    }
    dump.final_state(d);
  };
  const auto spread = [](std::size_t len) {
    std::vector<double> lp(len);
    for (std::size_t i = 0; i < len; ++i) lp[i] = -0.5 * static_cast<double>(i) - 1.0;
    return lp;
  };
  {
    online::BocpdConfig c;
    c.max_run_length = 5;
    online::BocpdState s = online::BocpdState::initial(c);
    s.t = 40;
    s.log_run_probs = spread(12);
    s.run_stats.clear();
    for (std::size_t i = 0; i < 12; ++i) {
      const std::uint64_t cnt = i < 6 ? i : 70000 + i;
      s.run_stats.push_back(online::GaussianStats{cnt, 0.5 * static_cast<double>(cnt),
                                                  0.3 * static_cast<double>(cnt) + 1.0});
    }
    loaded("gaussian long and large counts", c, s, {0.1, 2.0, -1.0, 0.7, 3.0, 0.0});
    c.log_prob_threshold = std::nullopt;
    c.max_run_length = 100;
    loaded("gaussian long no threshold", c, s, {0.1, 2.0, -1.0, 0.7, 3.0, 0.0});
    s.run_stats[3] = online::PoissonStats{3, 4};
    loaded("gaussian wrong variant", c, s, {0.1, 2.0});
    s.run_stats[3] = online::GaussianStats{3, 1e300, 1e300};
    loaded("gaussian posterior fails", c, s, {0.1, 2.0});
    s.run_stats[3] = online::GaussianStats{3, 1.0, 0.1};
    s.run_stats[5] = online::GaussianStats{UINT64_MAX, 1.0, 0.1};
    loaded("gaussian saturated count", c, s, {0.1, 2.0});
    s.log_run_probs[2] = -std::numeric_limits<double>::infinity();
    s.log_run_probs[4] = -1e6;
    loaded("gaussian -inf and tiny entries", c, s, {0.1, 2.0, 1.0});
    for (double bad :
         {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
      for (std::size_t at : {std::size_t{0}, std::size_t{7}, std::size_t{11}}) {
        online::BocpdState b = s;
        b.log_run_probs[at] = bad;
        for (std::uint64_t bound : {std::uint64_t{5}, std::uint64_t{100}}) {
          c.max_run_length = bound;
          loaded("gaussian non-finite entry", c, b, {0.1});
        }
      }
    }
  }
  {
    online::BocpdConfig c;
    c.observation = online::PoissonGamma{0.5, 2.0};
    c.max_run_length = 8;
    online::BocpdState s = online::BocpdState::initial(c);
    s.t = 40;
    s.log_run_probs = spread(10);
    s.run_stats.clear();
    for (std::size_t i = 0; i < 10; ++i) s.run_stats.push_back(online::PoissonStats{i, 3 * i});
    loaded("poisson long", c, s, {1.0, 0.0, 7.0, 1e6, 3.0});
    s.run_stats[4] = online::PoissonStats{UINT64_MAX, UINT64_MAX};
    loaded("poisson saturated", c, s, {1.0, 4.0});
    s.run_stats[4] = online::BernoulliStats{1, 1};
    loaded("poisson wrong variant", c, s, {1.0, 4.0});
  }
  {
    online::BocpdConfig c;
    c.observation = online::BernoulliBeta{};
    c.max_run_length = 3;
    online::BocpdState s = online::BocpdState::initial(c);
    s.t = 40;
    s.log_run_probs = spread(7);
    s.run_stats.clear();
    for (std::size_t i = 0; i < 7; ++i) {
      s.run_stats.push_back(online::BernoulliStats{i, i == 5 ? 9 : i / 2});
    }
    loaded("bernoulli long, ones above n", c, s, {1.0, 0.0, 1.0, 1.0});
    s.run_stats[1] = online::GaussianStats{1, 1.0, 1.0};
    loaded("bernoulli wrong variant", c, s, {1.0});
  }
  std::fclose(f);
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
  if (argc > 1 && std::strcmp(argv[1], "--steps-bocpd") == 0) return steps_mode(argc, argv);
  if (argc == 3 && std::strcmp(argv[1], "--dump-bocpd") == 0) return dump_mode(argv[2]);
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
