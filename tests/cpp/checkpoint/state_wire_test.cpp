// The json and bincode forms of the detector states, against texts and bytes written out from
// the layout tables (not from the writers).

#include <bit>
#include <cmath>
#include <limits>

#include "checkpoint_support.hpp"

namespace ovrel::online {
namespace {

using testing::bytes_of;

// An independent little-endian byte builder: the oracle of the binary form.
struct Bytes {
  std::vector<std::uint8_t> out;
  Bytes& u8(unsigned v) {
    out.push_back(static_cast<std::uint8_t>(v));
    return *this;
  }
  Bytes& u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) u8((v >> (8 * i)) & 0xFF);
    return *this;
  }
  Bytes& u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) u8((v >> (8 * i)) & 0xFF);
    return *this;
  }
  Bytes& f64(double v) { return u64(std::bit_cast<std::uint64_t>(v)); }
};

Result<core::JsonNode> parse(std::string_view text) { return core::parse_json_document(text); }

constexpr std::string_view kFreshCounters =
    R"({"late_events":0,"buffered_events":0,"reordered_events":0,"dropped_oldest":0,)"
    R"("dropped_newest":0,"overflow_errors":0})";

TEST(StateWire, FreshCusumStateWritesTheDocumentedText) {
  const CusumState state = CusumState::initial(CusumConfig{});
  EXPECT_EQ(state_to_json(state).value(),
            std::string(R"({"t":0,"watermark_ns":null,"late_data":)") +
                std::string(kFreshCounters) +
                R"(,"score":0.0,"steps_since_alert":0,"pending_events":[],"next_arrival_seq":0,)"
                R"("alert_gate":{"policy":{"threshold":1.0,"hysteresis":0.0,"cooldown_steps":0,)"
                R"("min_run_length":0},"armed":true,"last_alert_t":null}})");
  EXPECT_EQ(state_to_bincode(state).size(), 123u);
  EXPECT_EQ(state_to_bincode(PageHinkleyState::initial(PageHinkleyConfig{})).size(), 147u);
}

// Every optional part present, every statistics variant (a state no model would make, which the
// codecs carry all the same).
BocpdState full_bocpd_state() {
  BocpdState s;
  s.t = 9;
  s.watermark_ns = -5;
  s.late_data = {1, 2, 3, 4, 5, 6};
  s.log_run_probs = {-0.5, -1.25, -std::numeric_limits<double>::denorm_min()};
  s.run_stats = {GaussianStats{2, 1.5, -0.25}, PoissonStats{3, 7}, BernoulliStats{4, 1}};
  s.pending_events = {{2.5, -7, 11}};
  s.next_arrival_seq = 12;
  s.alert_gate = {{0.75, 0.125, 3, 4}, false, 8};
  return s;
}

// (A fresh state's bytes are checked by the golden files.)
TEST(StateWire, EveryFieldOfABocpdStateFollowsTheLayout) {
  const BocpdState s = full_bocpd_state();
  Bytes b;
  b.u64(9).u8(1).u64(static_cast<std::uint64_t>(-5));
  for (std::uint64_t v = 1; v <= 6; ++v) b.u64(v);
  b.u64(3).f64(-0.5).f64(-1.25).f64(-std::numeric_limits<double>::denorm_min());
  b.u64(3).u32(0).u64(2).f64(1.5).f64(-0.25).u32(1).u64(3).u64(7).u32(2).u64(4).u64(1);
  b.u64(1).f64(2.5).u64(static_cast<std::uint64_t>(-7)).u64(11);
  b.u64(12).f64(0.75).f64(0.125).u64(3).u64(4).u8(0).u8(1).u64(8);
  EXPECT_EQ(state_to_bincode(s), b.out);
  EXPECT_EQ(bincode_size(s), b.out.size());
  EXPECT_EQ(bocpd_state_from_bincode(b.out).value(), s);

  const std::string json = state_to_json(s).value();
  EXPECT_EQ(json,
            R"({"t":9,"watermark_ns":-5,"late_data":{"late_events":1,"buffered_events":2,)"
            R"("reordered_events":3,"dropped_oldest":4,"dropped_newest":5,"overflow_errors":6},)"
            R"("log_run_probs":[-0.5,-1.25,-5e-324],"run_stats":[{"Gaussian":{"n":2,"sum":1.5,)"
            R"("sum_sq":-0.25}},{"Poisson":{"n":3,"sum":7}},{"Bernoulli":{"n":4,"ones":1}}],)"
            R"("pending_events":[{"x":2.5,"t_ns":-7,"arrival_seq":11}],"next_arrival_seq":12,)"
            R"("alert_gate":{"policy":{"threshold":0.75,"hysteresis":0.125,"cooldown_steps":3,)"
            R"("min_run_length":4},"armed":false,"last_alert_t":8}})");
  EXPECT_EQ(bocpd_state_from_json(parse(json).value()).value(), s);
}

TEST(StateWire, BaselineSizesGrowByTheirOptionalParts) {
  CusumState s = CusumState::initial(CusumConfig{});
  s.watermark_ns = 100;
  s.pending_events = {{1.0, 90, 0}};
  EXPECT_EQ(state_to_bincode(s).size(), 155u);
  s.alert_gate.last_alert_t = 0;
  EXPECT_EQ(state_to_bincode(s).size(), 163u);
  EXPECT_EQ(cusum_state_from_bincode(state_to_bincode(s)).value(), s);
  PageHinkleyState p = PageHinkleyState::initial(PageHinkleyConfig{});
  p.running_mean = -0.0;
  p.cumulative_min = -std::numeric_limits<double>::infinity();  // bincode carries every double
  EXPECT_EQ(page_hinkley_state_from_bincode(state_to_bincode(p)).value(), p);
}

TEST(StateWire, JsonRefusesNonFiniteNumbersAtWriting) {
  CusumState c = CusumState::initial(CusumConfig{});
  c.score = std::numeric_limits<double>::infinity();
  EXPECT_EQ(state_to_json(c).error().message(), "`score` holds inf, which json cannot carry");
  BocpdState b = BocpdState::initial(BocpdConfig{});
  b.log_run_probs = {0.0, -std::numeric_limits<double>::infinity()};
  EXPECT_EQ(state_to_json(b).error().message(),
            "`log_run_probs` holds -inf, which json cannot carry");
  PageHinkleyState p = PageHinkleyState::initial(PageHinkleyConfig{});
  p.pending_events = {{std::nan(""), 0, 0}};
  EXPECT_EQ(state_to_json(p).error().message(),
            "`pending_events` holds NaN, which json cannot carry");
}

// Reader cases: (text, the error message or empty for success).
struct ReadCase {
  const char* text;
  const char* error;
};

class CusumJsonRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(CusumJsonRead, ReportsOrReads) {
  const ReadCase& c = GetParam();
  auto state = cusum_state_from_json(parse(c.text).value());
  if (*c.error == '\0') {
    ASSERT_TRUE(state) << state.error().message();
  } else {
    ASSERT_FALSE(state);
    EXPECT_EQ(state.error().message(), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CusumJsonRead,
    ::testing::Values(
        ReadCase{R"({"t":3,"score":2,"steps_since_alert":3,"note":[1,{"a":null}]})", ""},
        ReadCase{R"([3,null,[0,0,0,0,0,0],1.5,3])", ""},
        ReadCase{R"({"t":3,"steps_since_alert":3})", "missing field `score` at line 1 column 29"},
        ReadCase{R"({"steps_since_alert":3})", "missing field `t` at line 1 column 23"},
        ReadCase{R"({"t":3,"t":4,"score":1,"steps_since_alert":3})",
                 "duplicate field `t` at line 1 column 10"},
        ReadCase{R"({"t":3,"score":1,"steps_since_alert":-1})",
                 "invalid value: integer `-1`, expected u64 at line 1 column 38"},
        ReadCase{R"({"t":3,"score":1,"steps_since_alert":2.0})",
                 "invalid type: floating point `2.0`, expected u64 at line 1 column 38"},
        ReadCase{R"({"t":3,"score":null,"steps_since_alert":2})",
                 "invalid type: null, expected f64 at line 1 column 16"},
        ReadCase{R"({"t":3,"score":1,"steps_since_alert":2,"late_data":null})",
                 "invalid type: null, expected struct LateDataCounters at line 1 column 52"},
        ReadCase{
            R"({"t":3,"score":1,"steps_since_alert":2,"late_data":{"late_events":0,)"
            R"("buffered_events":0,"reordered_events":0,"dropped_oldest":0,"dropped_newest":0}})",
            "missing field `overflow_errors` at line 1 column 147"},
        ReadCase{R"({"t":3,"score":1,"steps_since_alert":2,"alert_gate":{"policy":[1.0,0.0,0,0]}})",
                 "missing field `armed` at line 1 column 76"},
        ReadCase{
            R"({"t":3,"score":1,"steps_since_alert":2,"alert_gate":[[1.0,0.0,0,0],true]})",
            "invalid length 2, expected struct AlertGateState with 3 elements at line 1 column "
            "72"},
        ReadCase{R"({"t":3,"score":1,"steps_since_alert":2,"watermark_ns":9223372036854775808})",
                 "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 55"},
        ReadCase{R"({"t":3,"score":1,"steps_since_alert":2,"pending_events":[{"x":1,"t_ns":2}]})",
                 "missing field `arrival_seq` at line 1 column 73"},
        ReadCase{R"([3,null])",
                 "invalid length 2, expected struct CusumState with 8 elements at line "
                 "1 column 8"},
        ReadCase{R"([3,null,null,1.5,3,[],0,[[1.0,0.0,0,0],true,null],0])",
                 "invalid length 9, expected fewer elements in array at line 1 column 52"},
        ReadCase{R"("t")",
                 "invalid type: string \"t\", expected struct CusumState at line 1 column 1"}));

TEST(StateWire, JsonDefaultsOfEachReader) {
  const CusumState c =
      cusum_state_from_json(parse(R"({"t":3,"score":1.5,"steps_since_alert":3})").value()).value();
  CusumState expected_c;
  expected_c.t = 3;
  expected_c.score = 1.5;
  expected_c.steps_since_alert = 3;
  expected_c.alert_gate = AlertGateState::fresh(kBaselineAlertPolicy);
  EXPECT_EQ(c, expected_c);

  const BocpdState b =
      bocpd_state_from_json(parse(R"({"t":5,"watermark_ns":null,"log_run_probs":[0.0],)"
                                  R"("run_stats":[{"Bernoulli":{"n":1,"ones":1}}],"x":"y"})")
                                .value())
          .value();
  BocpdState expected_b;
  expected_b.t = 5;
  expected_b.log_run_probs = {0.0};
  expected_b.run_stats = {BernoulliStats{1, 1}};
  expected_b.alert_gate = AlertGateState::fresh(AlertPolicy{0.5, 0.0, 0, 0});
  EXPECT_EQ(b, expected_b);

  auto p = page_hinkley_state_from_json(
      parse(R"({"t":1,"n":1,"running_mean":0.5,"cumulative_sum":-0.1,"steps_since_alert":1})")
          .value());
  EXPECT_EQ(p.error().message(), "missing field `cumulative_min` at line 1 column 76");
}

TEST(StateWire, ObservationStatsJsonForms) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"Gaussian":{"n":1,"sum":2.0}})", "missing field `sum_sq` at line 1 column 29"},
      {R"({"Poisson":{"n":1,"sum":2.5}})",
       "invalid type: floating point `2.5`, expected u64 at line 1 column 25"},
      {R"({"Normal":{"n":1}})",
       "unknown variant `Normal`, expected one of `Gaussian`, `Poisson`, `Bernoulli` at line 1 "
       "column 10"},
      {R"("Gaussian")", "invalid type: unit variant, expected struct variant at line 1 column 1"},
      {R"({"Poisson":{"n":1,"sum":2},"Bernoulli":{"n":1,"ones":1}})",
       "invalid value: map, expected map with a single key at line 1 column 1"},
      {R"({"Bernoulli":[1]})",
       "invalid length 1, expected struct variant ObservationStats::Bernoulli with 2 elements at "
       "line 1 column 16"},
      {R"({"Gaussian":[1,2.0,3]})", nullptr},
  };
  for (const auto& [stats, error] : cases) {
    const std::string text =
        std::string(R"({"t":1,"log_run_probs":[0.0],"run_stats":[)") + stats + "]}";
    auto state = bocpd_state_from_json(parse(text).value());
    if (error == nullptr) {
      ASSERT_TRUE(state) << state.error().message();
      EXPECT_EQ(state->run_stats.front(), ObservationStats(GaussianStats{1, 2.0, 3.0}));
      continue;
    }
    ASSERT_FALSE(state) << stats;
    // The position is the stat's within its own text, shifted by the prefix.
    const std::string message = state.error().message();
    EXPECT_EQ(message.substr(0, message.rfind(" at line")),
              std::string(error).substr(0, std::string(error).rfind(" at line")))
        << stats;
  }
}

TEST(StateWire, BincodeFaults) {
  const std::vector<std::uint8_t> good = state_to_bincode(full_bocpd_state());
  // A cut anywhere is an unexpected end; an extra byte after the state is ignored.
  for (std::size_t n = 0; n < good.size(); ++n) {
    auto cut = bocpd_state_from_bincode(std::span(good).first(n));
    ASSERT_FALSE(cut) << n;
    EXPECT_EQ(cut.error().message(), "io error: unexpected end of file");
  }
  std::vector<std::uint8_t> longer = good;
  longer.push_back(0xAB);
  EXPECT_EQ(bocpd_state_from_bincode(longer).value(), full_bocpd_state());

  auto with = [&](std::size_t at, std::vector<std::uint8_t> bytes) {
    std::vector<std::uint8_t> out = good;
    std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    return bocpd_state_from_bincode(out);
  };
  EXPECT_EQ(with(8, {7}).error().message(), "tag for enum is not valid, found 7");
  const std::size_t stats_at = 8 + 9 + 48 + 8 + 3 * 8 + 8;
  EXPECT_EQ(with(stats_at, {3, 0, 0, 0}).error().message(),
            "invalid value: integer `3`, expected variant index 0 <= i < 3");
  const std::size_t armed_at = good.size() - 10;
  EXPECT_EQ(with(armed_at, {2}).error().message(),
            "invalid u8 while decoding bool, expected 0 or 1, found 2");
  // Counts that the remaining bytes cannot hold fail before anything is reserved for them.
  const std::size_t probs_count_at = 8 + 9 + 48;
  for (std::uint64_t count : {std::uint64_t{1} << 61, UINT64_MAX, std::uint64_t{good.size()}}) {
    Bytes c;
    c.u64(count);
    EXPECT_EQ(with(probs_count_at, c.out).error().message(), "io error: unexpected end of file");
  }
}

}  // namespace
}  // namespace ovrel::online
