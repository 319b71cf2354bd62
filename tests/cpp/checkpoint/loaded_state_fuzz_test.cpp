// Mutated checkpoints whose checksum is recomputed, as an editor of a saved file would leave them:
// every state a loader lets in must take the next value typical of its stream. A state that loads
// but that no step can leave stops every later update until reset().

#include <bit>
#include <cstring>
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

// Every loaded state of D must take `typical(state)` (a value typical of its stream) without a
// numerical failure. The source stream is `value(i)`, late every seventh step.
template <class D, class Value, class Typical>
void expect_every_loaded_state_steps(const D& fresh, Value value, Typical typical,
                                     std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  // Saved states of several ages, the empty one and one holding late events among them.
  std::vector<std::vector<std::uint8_t>> saved;
  D source = fresh;
  for (std::uint64_t i = 0; i < 49; ++i) {
    if (i == 0 || i == 1 || i == 4 || i == 20) {
      saved.push_back(save_checkpoint(source, PayloadCodec::Bincode).value().payload);
    }
    const auto t = static_cast<std::int64_t>(i) * 1000 - (i % 7 == 6 ? 2500 : 0);
    (void)testing::step(source, value(i), t);
  }
  ASSERT_FALSE(source.state().pending_events.empty());
  saved.push_back(save_checkpoint(source, PayloadCodec::Bincode).value().payload);

  int loaded = 0;
  for (int c = 0; c < 1500; ++c) {
    CheckpointEnvelope envelope = save_checkpoint(source, PayloadCodec::Bincode).value();
    envelope.payload = mutated(saved[rng() % saved.size()], rng);
    envelope.payload_crc32 = checkpoint_crc32(envelope.payload);
    D target = fresh;
    if (!load_checkpoint(target, envelope)) continue;
    ++loaded;
    const typename D::State state = target.state();
    std::optional<std::int64_t> t_ns;
    if (state.watermark_ns) t_ns = *state.watermark_ns + (*state.watermark_ns < INT64_MAX);
    auto next = testing::step(target, typical(state), t_ns);
    EXPECT_TRUE(next || next.error().kind() != ErrorKind::NumericalIssue)
        << "case " << c << ": " << next.error().display() << "\n"
        << state_to_json(state).value_or("(a state json cannot carry)");
  }
  // Most edits hit a number the loader must take as it is.
  EXPECT_GT(loaded, 300);
}

// About N(0, 1), and counts and outcomes, with their typical values.
double readings(std::uint64_t i) { return static_cast<double>((i * 7) % 11) * 0.25 - 1.25; }

TEST(LoadedStateFuzz, Bocpd) {
  struct Row {
    ObservationModel model;
    double (*value)(std::uint64_t);
    double typical;
  };
  const Row rows[] = {
      {GaussianNig{}, readings, 0.5},
      {PoissonGamma{}, [](std::uint64_t i) { return static_cast<double>((i * 7) % 5); }, 2.0},
      {BernoulliBeta{}, [](std::uint64_t i) { return static_cast<double>(i % 3 == 0); }, 1.0},
  };
  std::uint64_t seed = 1;
  for (const Row& row : rows) {
    BocpdConfig config;
    config.observation = row.model;
    config.late_data_policy = testing::buffering_policy();
    config.max_run_length = 60;
    expect_every_loaded_state_steps(
        BocpdDetector::create(config).value(), row.value,
        [&](const BocpdState&) { return row.typical; }, seed++);
  }
}

TEST(LoadedStateFuzz, CusumAndPageHinkley) {
  expect_every_loaded_state_steps(
      Kit<CusumDetector>::make(), readings, [](const CusumState&) { return 0.5; }, 4);
  // Its stream is what its running mean says: a state whose mean was edited to 1e308 holds no
  // stream of N(0, 1) readings, and a reading of 0.5 there is an outlier of 1e308 that the step's
  // sums cannot take, as they could not in a live stream.
  expect_every_loaded_state_steps(
      Kit<PageHinkleyDetector>::make(), readings,
      [](const PageHinkleyState& s) { return s.running_mean; }, 5);
}

}  // namespace
}  // namespace ovrel::checkpoint
