// Golden checkpoints: payloads and envelopes that every later version must still read, byte for
// byte; and the deterministic mutation test of every decoder, seeded by them.
// A change of layout that makes these tests fail is a break of every stored checkpoint, not a
// reason to rewrite the files (their writer lives in the history of this file).

#include <algorithm>
#include <random>

#include "checkpoint_support.hpp"

namespace ovrel::checkpoint {
namespace {

namespace fs = std::filesystem;
using testing::bytes_of;
using testing::Kit;
using testing::text_of;

constexpr std::int64_t kGoldenCreatedAt = 1'765'000'000'000'000'000;

// tests/data/checkpoints/<detector id><suffix>, and its bytes.
template <class D>
fs::path golden_path(std::string_view suffix) {
  return testing::data_dir() / (std::string(Kit<D>::kId) + std::string(suffix));
}
template <class D>
std::string golden(std::string_view suffix) {
  return test_support::read_file(golden_path<D>(suffix));
}

constexpr const char* kEnvelopes[] = {"_updated_json.ckpt", "_updated_bincode.ckpt",
                                      "_v0_json.ckpt", "_v0_canonical.ckpt", "_v0_bincode.ckpt"};

template <class D>
class Golden : public ::testing::Test {};
TYPED_TEST_SUITE(Golden, testing::Detectors);

// Fresh states write their files byte for byte; the updated ones read the same in both codecs
// and write back exactly.
TYPED_TEST(Golden, StatesReadAndWriteTheirFilesByteForByte) {
  const auto fresh = TypeParam::State::initial({});
  EXPECT_EQ(state_to_json(fresh).value(), golden<TypeParam>("_fresh.json"));
  EXPECT_EQ(text_of(state_to_bincode(fresh)), golden<TypeParam>("_fresh.bin"));
  const std::string json = golden<TypeParam>("_updated.json");
  const std::string bin = golden<TypeParam>("_updated.bin");
  const auto from_json = Kit<TypeParam>::from_json(core::parse_json_document(json).value()).value();
  const auto from_bin = Kit<TypeParam>::from_bincode(bytes_of(bin)).value();
  EXPECT_EQ(from_json, from_bin);
  EXPECT_EQ(state_to_json(from_bin).value(), json);
  EXPECT_EQ(text_of(state_to_bincode(from_json)), bin);
  EXPECT_TRUE(from_json.validate());
}

TYPED_TEST(Golden, EnvelopesOfEveryVersionLoad) {
  const auto expected =
      Kit<TypeParam>::from_bincode(bytes_of(golden<TypeParam>("_updated.bin"))).value();
  for (const char* suffix : kEnvelopes) {
    SCOPED_TRACE(suffix);
    const std::string text = golden<TypeParam>(suffix);
    const CheckpointEnvelope envelope = decode_checkpoint_envelope(text).value();
    if (envelope.state_schema_version == 1) {
      EXPECT_EQ(encode_checkpoint_envelope(envelope).value(), text);
      EXPECT_EQ(envelope.created_at_ns, kGoldenCreatedAt);
    }
    TypeParam detector = Kit<TypeParam>::make();
    ASSERT_TRUE(Kit<TypeParam>::load(detector, envelope));
    EXPECT_EQ(detector.state(), expected);
    ASSERT_TRUE(Kit<TypeParam>::load_file(detector, golden_path<TypeParam>(suffix)));
  }
}

// ---------------------------------------------------------------------------------------------
// Deterministic mutation of the golden files: every decoder ends in a clean error or a valid
// value (the sanitizer build turns any memory fault into a failure).

class Mutator {
 public:
  explicit Mutator(std::uint64_t seed) : rng_(seed) {}
  std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(rng_() % n); }

  // One to three of: flip bits of a byte, overwrite a byte with one that matters to the decoders,
  // insert a few bytes, delete a range, truncate, splice this prefix to a suffix of the other,
  // duplicate a range in place.
  std::string mutate(const std::string& a, const std::string& b) {
    std::string s = a;
    for (std::size_t r = 0, rounds = 1 + below(3); r < rounds; ++r) {
      const std::size_t kind = below(7), at = below(s.size()), end = below(s.size() + 1);
      const char byte = kInteresting[below(sizeof kInteresting - 1)];
      if (kind < 2 && s.empty()) continue;
      if (kind == 0) s[at] = static_cast<char>(s[at] ^ (1 << below(8)));
      if (kind == 1) s[at] = byte;
      if (kind == 2) s.insert(end, std::string(1 + below(4), byte));
      if (kind == 3) s.erase(at, 1 + below(16));
      if (kind == 4) s.resize(end);
      if (kind == 5) s = s.substr(0, end) + b.substr(below(b.size() + 1));
      if (kind == 6) s.insert(end, s.substr(at, 1 + below(32)));
    }
    return s;
  }

 private:
  static constexpr char kInteresting[] = "\x00\x01\x02\x03\xff\x7f\x80{}[]\",:0-9e.n\\ ";
  std::mt19937_64 rng_;
};

// Cases per decoder; the sanitizer build runs the same count.
constexpr int kCasesPerDecoder = 6000;

// Every single byte flipped and every proper prefix of a golden envelope is a clean error; mutated
// payloads and envelopes decode or fail cleanly, and most do reach past the first faults.
TYPED_TEST(Golden, MutatedPayloadsAndEnvelopesDecodeOrFailCleanly) {
  using K = Kit<TypeParam>;
  std::vector<std::string> envelopes;
  for (const char* suffix : kEnvelopes) {
    SCOPED_TRACE(suffix);
    const std::string& text = envelopes.emplace_back(golden<TypeParam>(suffix));
    std::string changed = text;
    for (std::size_t i = 0; i < text.size(); ++i) {
      changed[i] = static_cast<char>(changed[i] ^ 0xFF);
      ASSERT_FALSE(decode_checkpoint_envelope(changed)) << "byte " << i;
      changed[i] = text[i];
      ASSERT_FALSE(decode_checkpoint_envelope(std::string_view(text).substr(0, i)))
          << "length " << i;
    }
  }
  const std::string jsons[] = {golden<TypeParam>("_fresh.json"),
                               golden<TypeParam>("_updated.json")};
  const std::string bins[] = {golden<TypeParam>("_fresh.bin"), golden<TypeParam>("_updated.bin")};
  Mutator m(0xC0FFEE + K::kId.size()), e(0xBADC0DE + K::kId.size());
  int decoded = 0, loaded = 0;
  for (int i = 0; i < kCasesPerDecoder; ++i) {
    if (auto node = core::parse_json_document(m.mutate(jsons[i % 2], jsons[(i / 2) % 2]))) {
      if (auto state = K::from_json(*node)) {
        (void)state->validate();
        ++decoded;
      }
    }
    if (auto state = K::from_bincode(bytes_of(m.mutate(bins[i % 2], bins[(i / 2) % 2])))) {
      (void)state->validate();
      (void)state_to_bincode(*state);
      ++decoded;
    }
    const std::string& other = envelopes[e.below(envelopes.size())];
    auto envelope = decode_checkpoint_envelope(e.mutate(envelopes[i % envelopes.size()], other));
    if (!envelope) continue;
    TypeParam detector = K::make();
    if (K::load(detector, *envelope)) {
      ++loaded;
      (void)testing::step(detector, 0.5);
    }
  }
  EXPECT_GT(decoded, 0);
  EXPECT_GT(loaded, 0);
}

// ---------------------------------------------------------------------------------------------
// The envelope's summary read against a full read of the same text: the same syntax errors, and
// for every member the readers look at, the same scalars, descriptions and bytes (or the same
// refusal of the first item that is no byte).

constexpr std::string_view kReadKeys[] = {"state_schema_version", "schema_version", "detector_id",
                                          "engine_fingerprint",   "engine_version", "created_at_ns",
                                          "payload_crc32",        "payload_codec",  "payload"};

std::string bytes_or_error(const core::JsonNode& node) {
  auto bytes = core::json::read_bytes(node);
  return bytes ? "bytes " + text_of(*bytes) : bytes.error().message();
}

// `summary` is what the summary read kept of `full`, a value `depth` levels down.
void expect_summary_of(const core::JsonNode& summary, const core::JsonNode& full,
                       std::size_t depth) {
  ASSERT_EQ(summary.kind, full.kind);
  EXPECT_EQ(core::describe_json_node(summary), core::describe_json_node(full));
  EXPECT_EQ(summary.position.offset, full.position.offset);
  EXPECT_EQ(summary.end.offset, full.end.offset);
  EXPECT_EQ(summary.end.column, full.end.column);
  if (full.kind == core::JsonNode::Kind::Array && depth <= 2) {
    EXPECT_EQ(bytes_or_error(summary), bytes_or_error(full));
  }
  if (full.kind != core::JsonNode::Kind::Object || depth > 2) return;
  std::vector<const core::JsonMember*> kept;
  for (const core::JsonMember& m : full.members) {
    std::size_t seen = 0;
    for (const core::JsonMember* k : kept) seen += k->key == m.key;
    const bool named =
        std::find(std::begin(kReadKeys), std::end(kReadKeys), m.key) != std::end(kReadKeys);
    if (depth == 1 ? named && seen < 2 : kept.size() < 2) kept.push_back(&m);
  }
  ASSERT_EQ(summary.members.size(), kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(summary.members[i].key, kept[i]->key);
    EXPECT_EQ(summary.members[i].key_end.offset, kept[i]->key_end.offset);
    expect_summary_of(summary.members[i].value, kept[i]->value, depth + 1);
  }
}

TEST(EnvelopeSummaryRead, SeesWhatAFullReadSees) {
  std::vector<std::string> texts = {
      R"({"payload":[0,1,255,256,7],"payload":[1.5],"payload":[2]})",
      R"({"payload":[3,-1],"x":[[0,{"a":1}],{"b":[256]}],"payload_codec":{"json":null,"b":[1]}})",
      R"({"payload":[0, 2 ,[1,2],"a"],"detector_id":[],"created_at_ns":{}})",
      R"({"payload":[01]})",
      R"({"payload":[0,1e2]})",
      R"({"payload":[0,12a]})",
      R"({"payload":[0,],"q":1})",
      R"({"x":[1,2,{"k":[300,]}]})",
      R"([0,1,256,[0,"\u00zz"]])",
      "{\"payload\":[0,\n1,\n1000]}",
      R"({"payload":[255,0255]})"};
  std::vector<std::string> envelopes;
  for (const char* suffix : kEnvelopes) {
    envelopes.push_back(golden<CusumDetector>(suffix));
    envelopes.push_back(golden<BocpdDetector>(suffix));
  }
  Mutator m(0x5EED);
  for (int i = 0; i < 3000; ++i) {
    texts.push_back(
        m.mutate(envelopes[i % envelopes.size()], envelopes[m.below(envelopes.size())]));
  }
  const core::JsonParseOptions summary_read{.compact_byte_arrays = true, .root_keys = kReadKeys};
  int parsed = 0;
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 200));
    const auto summary = core::parse_json_document(text, summary_read);
    const auto full = core::parse_json_document(text);
    ASSERT_EQ(summary.has_value(), full.has_value());
    if (!full) {
      EXPECT_EQ(summary.error().message(), full.error().message());
      continue;
    }
    ++parsed;
    expect_summary_of(*summary, *full, 1);
  }
  EXPECT_GT(parsed, 300);
}

}  // namespace
}  // namespace ovrel::checkpoint
