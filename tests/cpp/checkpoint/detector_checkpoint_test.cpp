// Detector checkpoints: save, restore and continue exactly; the loaders' order of checks; the
// detector untouched by every refused load.

#include <cmath>
#include <functional>
#include <limits>

#include "checkpoint_support.hpp"
#include "ovrel/core/text.hpp"

namespace ovrel::checkpoint {
namespace {

using testing::feed;
using testing::Kit;

template <class D>
class DetectorCheckpoint : public ::testing::Test {};
TYPED_TEST_SUITE(DetectorCheckpoint, testing::Detectors);

// Everything a step reports but its latency, which is a clock reading; numbers bit for bit.
std::string steps_text(std::span<const Result<core::OnlineStepResult>> steps) {
  std::string out;
  for (const auto& r : steps) {
    out += r ? core::cat(r->t, " ", std::bit_cast<std::uint64_t>(r->p_change), " ",
                         std::bit_cast<std::uint64_t>(r->run_length_mean), " ", r->run_length_mode,
                         " ", r->alert, " ", r->alert_reason.value_or("-"), "\n")
             : r.error().display() + "\n";
  }
  return out;
}

TYPED_TEST(DetectorCheckpoint, SaveRestoreContinueMatchesAnUninterruptedRun) {
  using K = Kit<TypeParam>;
  constexpr std::uint64_t kSteps = 90;
  TypeParam reference = K::make();
  const auto expected = feed(reference, 0, kSteps);
  bool saw_pending = false;
  for (PayloadCodec codec : {PayloadCodec::Json, PayloadCodec::Bincode}) {
    for (std::uint64_t cut : {0, 1, 6, 7, 13, 20, 27, 41, 55, 62, 89}) {
      TypeParam first = K::make();
      feed(first, 0, cut);
      saw_pending = saw_pending || !first.state().pending_events.empty();
      const std::string text = encode_checkpoint_envelope(K::save(first, codec).value()).value();
      TypeParam second = K::make();
      feed(second, 0, 3);  // a restored detector forgets what it did before
      ASSERT_TRUE(K::load(second, decode_checkpoint_envelope(text).value()));
      EXPECT_EQ(second.state(), first.state());
      EXPECT_EQ(steps_text(feed(second, cut, kSteps)), steps_text(std::span(expected).subspan(cut)))
          << "cut " << cut;
      EXPECT_EQ(second.state(), reference.state());
    }
  }
  EXPECT_TRUE(saw_pending) << "the stream should leave late events pending at some cut";
}

TYPED_TEST(DetectorCheckpoint, RefusedLoadsLeaveTheDetectorAsItWas) {
  using K = Kit<TypeParam>;
  TypeParam source = K::make();
  feed(source, 0, 30);
  const CheckpointEnvelope good = K::save(source, PayloadCodec::Bincode).value();

  TypeParam target = K::make();
  feed(target, 0, 12);
  const auto before = target.state();
  auto refused = [&](const CheckpointEnvelope& e) {
    auto status = K::load(target, e);
    EXPECT_EQ(target.state(), before);
    return status ? std::string("loaded") : status.error().message();
  };

  CheckpointEnvelope flipped = good;
  flipped.payload[20] ^= 0x01;
  EXPECT_EQ(refused(flipped).rfind("checkpoint payload crc32 mismatch: expected=0x", 0), 0u);

  CheckpointEnvelope other = good;
  other.detector_id = K::kId == "cusum" ? "page_hinkley" : "cusum";
  EXPECT_EQ(refused(other), std::string("checkpoint detector mismatch: expected='") +
                                std::string(K::kId) + "', found='" + other.detector_id + "'");
  other.detector_id = std::string(K::kId) + " ";
  EXPECT_NE(refused(other).find("checkpoint detector mismatch"), std::string::npos);

  CheckpointEnvelope cut = good;
  cut.payload.pop_back();
  cut.payload_crc32 = checkpoint_crc32(cut.payload);
  EXPECT_EQ(refused(cut),
            "checkpoint payload deserialization failed (codec=bincode): io error: "
            "unexpected end of file");

  // A payload that decodes into a state its validation refuses.
  auto invalid = source.save_state();
  invalid.alert_gate.last_alert_t = invalid.t;
  CheckpointEnvelope bad = good;
  bad.payload = state_to_bincode(invalid);
  bad.payload_crc32 = checkpoint_crc32(bad.payload);
  EXPECT_EQ(refused(bad), "alert gate last_alert_t=" + std::to_string(invalid.t) +
                              " must be < t=" + std::to_string(invalid.t));
  ASSERT_TRUE(K::load(target, good));
  EXPECT_EQ(target.state(), source.state());
}

// The object test comes before the metadata is checked.
TEST(BocpdCheckpoint, JsonPayloadMustBeAnObjectBeforeAnythingElse) {
  BocpdDetector detector = Kit<BocpdDetector>::make();
  CheckpointEnvelope e = testing::bocpd_json_envelope("[0,null]");
  e.detector_id = "  ";
  EXPECT_EQ(load_checkpoint(detector, e).error().message(),
            "checkpoint payload deserialization failed (codec=json): expected object");
}

// A state holding -inf run probabilities is valid; json cannot carry it, bincode can.
TEST(BocpdCheckpoint, NonFiniteRunProbabilitiesTravelByBincodeOnly) {
  BocpdDetector detector = Kit<BocpdDetector>::make();
  ASSERT_TRUE(testing::step(detector, 1.0));
  BocpdState state = detector.save_state();
  state.log_run_probs = {0.0, -std::numeric_limits<double>::infinity()};
  ASSERT_TRUE(state.validate());
  detector.load_state(state);
  EXPECT_EQ(save_checkpoint(detector, PayloadCodec::Json).error().message(),
            "checkpoint payload serialization failed (codec=json): `log_run_probs` holds -inf, "
            "which json cannot carry");
  BocpdDetector restored = Kit<BocpdDetector>::make();
  ASSERT_TRUE(load_checkpoint(restored, save_checkpoint(detector, PayloadCodec::Bincode).value()));
  EXPECT_EQ(restored.state(), state);
}

// States no update could proceed from, and run statistics no stream of real values leaves, are
// refused with the field named, whatever the codec; what rounding or renormalisation alone
// explains still loads. Each row edits the state of a detector after two values.
TEST(BocpdCheckpoint, StatesNoStepCanLeaveAreRefused) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  using Edit = std::function<void(BocpdState&)>;
  auto probability_and_pending = [](double log_prob, double pending) -> Edit {
    return [=](BocpdState& s) {
      s.log_run_probs[2] = log_prob;
      s.pending_events = {{1.0, 900, 0}, {pending, 950, 1}};
      s.next_arrival_seq = 2;
    };
  };
  auto g = [](BocpdState& s, std::size_t i) -> GaussianStats& {
    return std::get<GaussianStats>(s.run_stats[i]);
  };
  struct Row {
    ObservationModel model;
    Edit edit;
    std::string expected;  // "" when the state loads
  };
  const std::string run1 = "bocpd state run_stats[1]";
  const std::vector<Row> rows = {
      {PoissonGamma{}, probability_and_pending(std::nan(""), 3.0),
       "bocpd state log_run_probs[2] must be a log probability (finite or -inf); got NaN"},
      {PoissonGamma{}, probability_and_pending(kInf, 3.0),
       "bocpd state log_run_probs[2] must be a log probability (finite or -inf); got inf"},
      {PoissonGamma{}, probability_and_pending(-kInf, 3.0), ""},
      {PoissonGamma{}, probability_and_pending(-1.0, 2.5),
       "bocpd state pending_events[1].x is refused by the observation model: poisson "
       "observation must be an integer-valued count; got 2.5"},
      {BernoulliBeta{}, probability_and_pending(-1.0, 0.5),
       "bocpd state pending_events[1].x is refused by the observation model: bernoulli "
       "observation must be exactly 0 or 1; got 0.5"},
      {GaussianNig{}, probability_and_pending(-1.0, 2.5), ""},
      {GaussianNig{}, probability_and_pending(-1.0, 1e200),
       "bocpd state pending_events[1].x is refused by the observation model: gaussian predictive "
       "log-likelihood became non-finite"},
      {GaussianNig{}, [&](BocpdState& s) { g(s, 1).sum = 1e308; },
       run1 +
           ".sum_sq=2.0 is below sum*sum/n=inf (sum=1e308, n=2); no real values have these sums"},
      {GaussianNig{}, [&](BocpdState& s) { g(s, 1).sum = kInf; },
       run1 + ".sum must be finite; got inf"},
      {GaussianNig{}, [&](BocpdState& s) { g(s, 2).sum_sq = 1e308; },
       "bocpd state run_stats[2] gives no usable predictive: gaussian predictive scale became "
       "non-finite or non-positive"},
      {GaussianNig{}, [&](BocpdState& s) { g(s, 0).sum_sq = -1.0; },
       "bocpd state run_stats[0].sum_sq must be finite and >= 0; got -1.0"},
      {GaussianNig{},
       [&](BocpdState& s) {
         g(s, 1) = {0, 0.5, 0.0};
       },
       run1 + " has n=0 but sum=0.5, sum_sq=0.0; an empty run sums to 0"},
      {GaussianNig{}, [&](BocpdState& s) { g(s, 1).n = 3; },
       run1 + ".n=3 exceeds t=2, the observations the detector has seen"},
      {GaussianNig{},
       [&](BocpdState& s) {
         s.t = 1;
         s.alert_gate.last_alert_t.reset();
       },
       "bocpd state holds 3 run lengths after t=1 observations; at most t + 1 = 2 are possible"},
      {GaussianNig{}, [&](BocpdState& s) { s.log_run_probs.assign(3, -kInf); },
       "bocpd state log_run_probs are all -inf; at least one run length must be possible"},
      {GaussianNig{},
       [&](BocpdState& s) {
         s.run_stats[1] = online::PoissonStats{1, 1};
       },
       run1 + " does not hold the detector's observation model statistics"},
      {PoissonGamma{},
       [&](BocpdState& s) {
         std::get<PoissonStats>(s.run_stats[1]) = {1, (1ull << 53) + 1};
       },
       run1 + ".sum=9007199254740993 exceeds what n=1 counts of at most 2^53 add up to"},
      {BernoulliBeta{}, [&](BocpdState& s) { std::get<BernoulliStats>(s.run_stats[1]).ones = 3; },
       run1 + ".ones=3 exceeds n=2"},
      // Loads: a spread rounding made slightly negative, unnormalised and impossible runs.
      {GaussianNig{},
       [&](BocpdState& s) {
         g(s, 1) = {2, 6.0, 18.0 * (1 - 0x1p-50)};
       },
       ""},
      {GaussianNig{},
       [&](BocpdState& s) {
         s.log_run_probs = {-kInf, 40.0, -kInf};
       },
       ""},
      {BernoulliBeta{}, [&](BocpdState& s) { std::get<BernoulliStats>(s.run_stats[1]).ones = 2; },
       ""},
  };
  for (const Row& row : rows) {
    auto make = [&] {
      BocpdConfig config;
      config.observation = row.model;
      config.late_data_policy = testing::buffering_policy();
      return BocpdDetector::create(config).value();
    };
    BocpdDetector source = make();
    ASSERT_TRUE(testing::step(source, 1.0, 999));
    ASSERT_TRUE(testing::step(source, 1.0, 1000));
    BocpdState state = source.save_state();
    row.edit(state);
    for (PayloadCodec codec : {PayloadCodec::Json, PayloadCodec::Bincode}) {
      auto json = state_to_json(state);
      if (codec == PayloadCodec::Json && !json) continue;  // an infinity: bincode only
      CheckpointEnvelope e = testing::bocpd_json_envelope(
          codec == PayloadCodec::Json ? *json : testing::text_of(state_to_bincode(state)));
      e.payload_codec = codec;
      BocpdDetector target = make();
      ASSERT_TRUE(testing::step(target, 1.0, 1000));
      const BocpdState before = target.state();
      auto status = load_checkpoint(target, e);
      EXPECT_EQ(status ? "" : status.error().message(), row.expected);
      EXPECT_EQ(target.state(), status ? state : before);
      if (status) {
        EXPECT_TRUE(testing::step(target, 1.0, 1001)) << row.expected;
      }
    }
  }
}

// A late value no step could apply is refused before it is buffered, where it would stop every
// later update.
TEST(BocpdCheckpoint, ALateValueNoStepCanApplyIsNotBuffered) {
  BocpdConfig config;
  config.late_data_policy = testing::buffering_policy();
  BocpdDetector detector = BocpdDetector::create(config).value();
  ASSERT_TRUE(testing::step(detector, 0.0, 1000));
  auto late = testing::step(detector, 1e200, 900);
  EXPECT_EQ(late ? "buffered" : late.error().display(),
            "numerical issue: gaussian predictive log-likelihood became non-finite");
  EXPECT_TRUE(detector.state().pending_events.empty());
  EXPECT_TRUE(testing::step(detector, 0.0, 1100));
}

}  // namespace
}  // namespace ovrel::checkpoint
