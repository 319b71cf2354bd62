// Mutated checkpoints whose checksum is recomputed, as an editor of a saved file would leave them:
// every state a loader lets in must take the next value typical of its stream. A state that loads
// but that no step can leave stops every later update until reset().

#include <bit>
#include <cstring>
#include <functional>
#include <random>

#include "checkpoint_support.hpp"

namespace ovrel::checkpoint {
namespace {

using testing::Kit;

// Doubles and integers at the edges of what the wire forms hold.
constexpr double kEdgeDoubles[] = {
    0.0,    -0.0,   1.0,      -1.0,      0.5,
    1e154,  -1e154, 1e300,    -1e308,    1.7e308,
    5e-324, 2.5,    HUGE_VAL, -HUGE_VAL, std::numeric_limits<double>::quiet_NaN()};
constexpr std::uint64_t kEdgeIntegers[] = {
    0, 1, 2, 3, 4, 60, 61, 1ull << 53, (1ull << 53) + 1, UINT64_MAX, UINT64_MAX - 1, 1ull << 63};

// Up to three random edits of the payload: a bit flipped, a byte replaced, or eight bytes
// overwritten by an edge double or integer.
std::vector<std::uint8_t> mutated(std::vector<std::uint8_t> bytes, std::mt19937_64& rng) {
  const int edits = 1 + static_cast<int>(rng() % 3);
  for (int e = 0; e < edits && !bytes.empty(); ++e) {
    const std::size_t at = rng() % bytes.size();
    switch (rng() % 4) {
      case 0:
        bytes[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
        break;
      case 1:
        bytes[at] = static_cast<std::uint8_t>(rng());
        break;
      default: {
        std::uint64_t word = 0;
        if (rng() % 2 == 0) {
          word = std::bit_cast<std::uint64_t>(kEdgeDoubles[rng() % std::size(kEdgeDoubles)]);
        } else {
          word = kEdgeIntegers[rng() % std::size(kEdgeIntegers)];
        }
        const std::size_t n = std::min<std::size_t>(8, bytes.size() - at);
        std::memcpy(bytes.data() + at, &word, n);
      }
    }
  }
  return bytes;
}

// The stream's value at step i (late every seventh step) and a value typical of a loaded state's
// stream.
template <class D>
struct Stream {
  double (*value)(std::uint64_t i, std::mt19937_64& rng);
  std::function<double(const typename D::State&)> typical;
};

template <class D>
void expect_every_loaded_state_steps(const std::function<D()>& make, Stream<D> stream,
                                     std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  // Saved states of several ages, the empty one and one holding late events among them.
  std::vector<std::vector<std::uint8_t>> saved;
  D source = make();
  for (std::uint64_t i = 0; i < 49; ++i) {
    if (i == 0 || i == 1 || i == 4 || i == 20) {
      saved.push_back(save_checkpoint(source, PayloadCodec::Bincode).value().payload);
    }
    const auto t = static_cast<std::int64_t>(i) * 1000 - (i % 7 == 6 ? 2500 : 0);
    (void)testing::step(source, stream.value(i, rng), t);
  }
  ASSERT_FALSE(source.state().pending_events.empty());
  saved.push_back(save_checkpoint(source, PayloadCodec::Bincode).value().payload);

  int loaded = 0;
  for (int c = 0; c < 1500; ++c) {
    CheckpointEnvelope envelope = save_checkpoint(source, PayloadCodec::Bincode).value();
    envelope.payload = mutated(saved[rng() % saved.size()], rng);
    envelope.payload_crc32 = checkpoint_crc32(envelope.payload);
    D target = make();
    if (!load_checkpoint(target, envelope)) continue;
    ++loaded;
    const typename D::State state = target.state();
    std::optional<std::int64_t> t_ns;
    if (state.watermark_ns) t_ns = *state.watermark_ns + (*state.watermark_ns < INT64_MAX);
    auto next = testing::step(target, stream.typical(state), t_ns);
    EXPECT_TRUE(next || next.error().kind() != ErrorKind::NumericalIssue)
        << "case " << c << ": " << next.error().display() << "\n"
        << state_to_json(state).value_or("(a state json cannot carry)");
  }
  // Most edits hit a number the loader must take as it is.
  EXPECT_GT(loaded, 300);
}

double normal_value(std::uint64_t, std::mt19937_64& rng) {
  return std::normal_distribution<double>(0.0, 1.0)(rng);
}

template <class D>
auto constant(double x) {
  return [x](const typename D::State&) { return x; };
}

BocpdDetector bocpd_with(ObservationModel model) {
  BocpdConfig config;
  config.observation = model;
  config.late_data_policy = testing::buffering_policy();
  config.max_run_length = 60;
  return BocpdDetector::create(config).value();
}

TEST(LoadedStateFuzz, GaussianBocpd) {
  expect_every_loaded_state_steps<BocpdDetector>([] { return bocpd_with(GaussianNig{}); },
                                                 {normal_value, constant<BocpdDetector>(0.5)}, 1);
}

TEST(LoadedStateFuzz, PoissonBocpd) {
  expect_every_loaded_state_steps<BocpdDetector>(
      [] { return bocpd_with(PoissonGamma{}); },
      {[](std::uint64_t, std::mt19937_64& rng) {
         return static_cast<double>(std::poisson_distribution<int>(3.0)(rng));
       },
       constant<BocpdDetector>(3.0)},
      2);
}

TEST(LoadedStateFuzz, BernoulliBocpd) {
  expect_every_loaded_state_steps<BocpdDetector>(
      [] { return bocpd_with(BernoulliBeta{}); },
      {[](std::uint64_t i, std::mt19937_64&) { return static_cast<double>(i % 3 == 0); },
       constant<BocpdDetector>(1.0)},
      3);
}

TEST(LoadedStateFuzz, Cusum) {
  expect_every_loaded_state_steps<CusumDetector>(Kit<CusumDetector>::make,
                                                 {normal_value, constant<CusumDetector>(0.5)}, 4);
}

TEST(LoadedStateFuzz, PageHinkley) {
  // Its stream is what its running mean says: a state whose mean was edited to 1e308 holds no
  // stream of N(0, 1) readings, and a reading of 0.5 there is an outlier of 1e308 that the step's
  // sums cannot take, as they could not in a live stream.
  expect_every_loaded_state_steps<PageHinkleyDetector>(
      Kit<PageHinkleyDetector>::make,
      {normal_value, [](const PageHinkleyState& s) { return s.running_mean; }}, 5);
}

}  // namespace
}  // namespace ovrel::checkpoint
