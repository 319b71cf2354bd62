// The json and bincode forms of the detector states, against texts and bytes written out from
// the layout tables (not from the writers).

#include <bit>
#include <cmath>
#include <limits>

#include "checkpoint_support.hpp"

namespace ovrel::checkpoint {
namespace {

using testing::bytes_of;

// An independent little-endian byte builder: the oracle of the binary form.
struct Bytes {
  std::vector<std::uint8_t> out;
  Bytes& le(std::uint64_t v, int size) {
    for (int i = 0; i < size; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes& u8(unsigned v) { return le(v, 1); }
  Bytes& u32(std::uint32_t v) { return le(v, 4); }
  Bytes& u64(std::uint64_t v) { return le(v, 8); }
  Bytes& f64(double v) { return u64(std::bit_cast<std::uint64_t>(v)); }
};

Result<core::JsonNode> parse(std::string_view text) { return core::parse_json_document(text); }

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

TEST(StateWire, JsonRefusesNonFiniteNumbersAtWriting) {
  CusumState c = CusumState::initial(CusumConfig{});
  c.score = std::numeric_limits<double>::infinity();
  EXPECT_EQ(state_to_json(c).error().message(), "`score` holds inf, which json cannot carry");
  PageHinkleyState p = PageHinkleyState::initial(PageHinkleyConfig{});
  p.pending_events = {{std::nan(""), 0, 0}};
  EXPECT_EQ(state_to_json(p).error().message(),
            "`pending_events` holds NaN, which json cannot carry");
}

class JsonRead : public ::testing::TestWithParam<std::vector<std::string>> {};

template <class S>
std::string read_back(const Result<S>& state) {
  return state ? state_to_json(*state).value() : state.error().message();
}

// A state reader of its own, or a BOCPD json checkpoint read whole or loaded into a detector.
TEST_P(JsonRead, ReadsWithDefaultsOrReports) {
  const auto& row = GetParam();
  const std::string& reader = row.at(0);
  const CheckpointEnvelope e = testing::bocpd_json_envelope(row.at(1));
  BocpdDetector d = testing::Kit<BocpdDetector>::make();
  const Status loaded = reader == "bocpd_load" ? load_checkpoint(d, e) : Status{};
  const std::string got =
      reader == "bocpd_load"
          ? (loaded ? state_to_json(d.state()).value() : loaded.error().message())
      : reader == "bocpd_read" ? read_back(load_state_from_checkpoint_envelope(e, "bocpd"))
      : reader == "cusum"      ? read_back(cusum_state_from_json(parse(row.at(1)).value()))
      : reader == "bocpd"      ? read_back(bocpd_state_from_json(parse(row.at(1)).value()))
                               : read_back(page_hinkley_state_from_json(parse(row.at(1)).value()));
  EXPECT_EQ(got, row.at(2));
  // A streamed read of the text gives the same state or the same error, at the same place.
  if (reader == "cusum" || reader == "bocpd" || reader == "page_hinkley") {
    const core::JsonNode root = core::parse_json_document(row.at(1), {.streamed = true}).value();
    EXPECT_EQ(reader == "cusum"   ? read_back(cusum_state_from_json(root))
              : reader == "bocpd" ? read_back(bocpd_state_from_json(root))
                                  : read_back(page_hinkley_state_from_json(root)),
              row.at(2));
  }
}

// Streamed reads resume items and members in the middle of lines: positions must still agree.
TEST(JsonRead, StreamedReadsReportTheSamePlacesAcrossLines) {
  for (std::string_view text : {
           "{\"t\":1,\n \"log_run_probs\":[0.0,\n  -1.5],\n \"run_stats\":[\n  "
           "{\"Poisson\":[1,2]},\n  {\"Poisson\":\n   [1, -2]}]}",
           "{\"t\":1,\"log_run_probs\":[0.0],\"run_stats\":[{\"Bernoulli\":{\"n\":1,\n"
           "\"ones\":1}}],\n\"pending_events\":[[1.0,5,0],\n {\"x\":2,\"t_ns\":4,\n"
           "\"arrival_seq\":\"1\"}]}",
           "\n[1,null,null,[0.0],[{\"Gaussian\":[1,2.0,3]},\n{\"Gaussian\":[1,2.0]}]]",
           "{\"t\":1,\"log_run_probs\":[0.0],\n\"run_stats\":[{\"Gaussian\":[1,2,3],"
           "\n\"Poisson\":[1,2]}]}",
       }) {
    SCOPED_TRACE(text);
    const std::string full = read_back(bocpd_state_from_json(parse(text).value()));
    EXPECT_NE(full.find(" at line "), std::string::npos);
    const core::JsonNode root = core::parse_json_document(text, {.streamed = true}).value();
    EXPECT_EQ(read_back(bocpd_state_from_json(root)), full);
  }
}

TEST(JsonRead, TableIsRead) {
  EXPECT_EQ(test_support::data_rows("checkpoint_state_json.txt").size(), 33u);
}

INSTANTIATE_TEST_SUITE_P(Table, JsonRead,
                         ::testing::ValuesIn(test_support::data_rows("checkpoint_state_json.txt")));

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
    const auto state = bocpd_state_from_bincode(out);
    return state ? std::string("decoded") : state.error().message();
  };
  EXPECT_EQ(with(8, {7}), "tag for enum is not valid, found 7");
  const std::size_t stats_at = 8 + 9 + 48 + 8 + 3 * 8 + 8;
  EXPECT_EQ(with(stats_at, {3, 0, 0, 0}),
            "invalid value: integer `3`, expected variant index 0 <= i < 3");
  const std::size_t armed_at = good.size() - 10;
  EXPECT_EQ(with(armed_at, {2}), "invalid u8 while decoding bool, expected 0 or 1, found 2");
  // Counts that the remaining bytes cannot hold fail before anything is reserved for them.
  const std::size_t probs_count_at = 8 + 9 + 48;
  for (std::uint64_t count : {std::uint64_t{1} << 61, UINT64_MAX, std::uint64_t{good.size()}}) {
    Bytes c;
    c.u64(count);
    EXPECT_EQ(with(probs_count_at, c.out), "io error: unexpected end of file");
  }
}

}  // namespace
}  // namespace ovrel::checkpoint
