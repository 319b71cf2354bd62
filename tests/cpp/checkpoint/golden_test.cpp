// Golden checkpoints: payloads and envelopes that every later version must still read, byte for
// byte; and the deterministic mutation test of every decoder, seeded by them.
//
// The files are written by the disabled test WriteGoldenFiles (run it with
// --gtest_also_run_disabled_tests --gtest_filter='*WriteGoldenFiles'); a change of layout that
// makes the tests below fail is a break of every stored checkpoint, not a reason to rewrite them.

#include <random>

#include "checkpoint_support.hpp"

namespace ovrel::online {
namespace {

namespace fs = std::filesystem;
using testing::bytes_of;
using testing::data_dir;
using testing::feed;
using testing::Kit;
using testing::read_text;

constexpr std::int64_t kGoldenCreatedAt = 1'765'000'000'000'000'000;
constexpr std::string_view kGoldenFingerprint = "ovrel-online/0.1.0/linux-x86_64";

template <class D>
struct Names;
template <>
struct Names<BocpdDetector> {
  static constexpr std::string_view kName = "bocpd";
  static BocpdState fresh() { return BocpdState::initial(BocpdConfig{}); }
};
template <>
struct Names<CusumDetector> {
  static constexpr std::string_view kName = "cusum";
  static CusumState fresh() { return CusumState::initial(CusumConfig{}); }
};
template <>
struct Names<PageHinkleyDetector> {
  static constexpr std::string_view kName = "page_hinkley";
  static PageHinkleyState fresh() { return PageHinkleyState::initial(PageHinkleyConfig{}); }
};

fs::path golden(std::string_view name, std::string_view suffix) {
  return data_dir() / (std::string(name) + std::string(suffix));
}

std::string envelope_name(std::string_view codec) {
  return std::string("_updated_") + std::string(codec) + ".ckpt";
}

template <class D>
typename D::State updated_state() {
  D detector = Kit<D>::make();
  feed(detector, 0, testing::kGoldenSteps);
  return detector.save_state();
}

template <class S>
std::string envelope_text(std::string_view id, PayloadCodec codec,
                          std::vector<std::uint8_t> payload) {
  CheckpointEnvelope e;
  e.detector_id = id;
  e.engine_fingerprint = kGoldenFingerprint;
  e.created_at_ns = kGoldenCreatedAt;
  e.payload_codec = codec;
  e.payload = std::move(payload);
  e.payload_crc32 = checkpoint_crc32(e.payload);
  return encode_checkpoint_envelope(e).value();
}

void write_file(const fs::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string as_text(const std::vector<std::uint8_t>& b) { return {b.begin(), b.end()}; }

// Version-0 texts as older engines wrote them: the payload embedded with white space.
std::string spaced(std::string_view json) {
  std::string out;
  for (char c : json) {
    out.push_back(c);
    if (c == ',' || c == ':') out.push_back(' ');
  }
  return out;
}

std::string crc_text(std::uint32_t crc) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", crc);
  return buf;
}

std::string legacy_text(std::string_view id, std::string_view crc, std::string_view codec,
                        std::string_view payload) {
  return std::string("{\n  \"schema_version\": 0,\n  \"detector_id\": \"") + std::string(id) +
         "\",\n  \"engine_version\": \"ovrel-online 0.0.1\",\n  \"created_at_ns\": "
         "1700000000000000000,"
         "\n  \"payload_crc32\": \"" +
         std::string(crc) + "\",\n  \"payload_codec\": \"" + std::string(codec) +
         "\",\n  \"payload\": " + std::string(payload) + "\n}";
}

template <class D>
void write_goldens() {
  using S = typename D::State;
  const std::string_view name = Names<D>::kName;
  const S fresh = Names<D>::fresh();
  write_file(golden(name, "_fresh.json"), state_to_json(fresh).value());
  write_file(golden(name, "_fresh.bin"), as_text(state_to_bincode(fresh)));
  const S updated = updated_state<D>();
  const std::string json = state_to_json(updated).value();
  const std::vector<std::uint8_t> bin = state_to_bincode(updated);
  write_file(golden(name, "_updated.json"), json);
  write_file(golden(name, "_updated.bin"), as_text(bin));
  write_file(golden(name, envelope_name("json")),
             envelope_text<S>(Kit<D>::kId, PayloadCodec::Json, bytes_of(json)));
  write_file(golden(name, envelope_name("bincode")),
             envelope_text<S>(Kit<D>::kId, PayloadCodec::Bincode, bin));
  // Version 0: the json payload checksummed as embedded, and with its checksum taken over the
  // canonical form (keys sorted); the bincode payload as a spaced byte array.
  const std::string embedded = spaced(json);
  write_file(golden(name, "_v0_json.ckpt"),
             legacy_text(Kit<D>::kId, "0x" + crc_text(checkpoint_crc32(bytes_of(embedded))), "json",
                         embedded));
  std::string canonical;
  core::append_json_value(canonical, core::parse_json_value(json).value());
  write_file(
      golden(name, "_v0_canonical.ckpt"),
      legacy_text(Kit<D>::kId, crc_text(checkpoint_crc32(bytes_of(canonical))), "json", embedded));
  std::string array = "[";
  for (std::size_t i = 0; i < bin.size(); ++i) array += (i ? ", " : "") + std::to_string(bin[i]);
  array += "]";
  write_file(golden(name, "_v0_bincode.ckpt"),
             legacy_text(Kit<D>::kId, crc_text(checkpoint_crc32(bin)), "bincode", array));
}

TEST(GoldenCheckpoints, DISABLED_WriteGoldenFiles) {
  write_goldens<BocpdDetector>();
  write_goldens<CusumDetector>();
  write_goldens<PageHinkleyDetector>();
}

template <class D>
class Golden : public ::testing::Test {};
using Detectors = ::testing::Types<BocpdDetector, CusumDetector, PageHinkleyDetector>;
TYPED_TEST_SUITE(Golden, Detectors);

template <class D>
typename D::State from_json_text(std::string_view text) {
  return Kit<D>::from_json(core::parse_json_document(text).value()).value();
}

TYPED_TEST(Golden, FreshStatesAreWrittenByteForByte) {
  const auto fresh = Names<TypeParam>::fresh();
  const std::string_view name = Names<TypeParam>::kName;
  EXPECT_EQ(state_to_json(fresh).value(), read_text(golden(name, "_fresh.json")));
  EXPECT_EQ(as_text(state_to_bincode(fresh)), read_text(golden(name, "_fresh.bin")));
}

TYPED_TEST(Golden, UpdatedStatesReadTheSameInBothCodecsAndWriteBackExactly) {
  const std::string_view name = Names<TypeParam>::kName;
  const std::string json = read_text(golden(name, "_updated.json"));
  const std::string bin = read_text(golden(name, "_updated.bin"));
  const auto from_json = from_json_text<TypeParam>(json);
  const auto from_bin = Kit<TypeParam>::from_bincode(bytes_of(bin)).value();
  EXPECT_EQ(from_json, from_bin);
  EXPECT_EQ(state_to_json(from_bin).value(), json);
  EXPECT_EQ(as_text(state_to_bincode(from_json)), bin);
  EXPECT_TRUE(from_json.validate());
  // What the files were made to hold.
  EXPECT_FALSE(from_json.pending_events.empty());
  EXPECT_TRUE(from_json.watermark_ns.has_value());
  EXPECT_TRUE(from_json.alert_gate.last_alert_t.has_value());
  EXPECT_GT(from_json.late_data.buffered_events, 0u);
}

TYPED_TEST(Golden, EnvelopesOfEveryVersionLoad) {
  const std::string_view name = Names<TypeParam>::kName;
  const auto expected =
      Kit<TypeParam>::from_bincode(bytes_of(read_text(golden(name, "_updated.bin")))).value();
  for (const char* suffix : {"_updated_json.ckpt", "_updated_bincode.ckpt", "_v0_json.ckpt",
                             "_v0_canonical.ckpt", "_v0_bincode.ckpt"}) {
    SCOPED_TRACE(suffix);
    const std::string text = read_text(golden(name, suffix));
    const CheckpointEnvelope envelope = decode_checkpoint_envelope(text).value();
    if (envelope.state_schema_version == 1) {
      EXPECT_EQ(encode_checkpoint_envelope(envelope).value(), text);
      EXPECT_EQ(envelope.created_at_ns, kGoldenCreatedAt);
    }
    TypeParam detector = Kit<TypeParam>::make();
    ASSERT_TRUE(Kit<TypeParam>::load(detector, envelope));
    EXPECT_EQ(detector.state(), expected);
    ASSERT_TRUE(Kit<TypeParam>::load_file(detector, golden(name, suffix)));
  }
}

// Every single byte flipped and every proper prefix of a golden envelope is a clean error.
TYPED_TEST(Golden, EveryFlippedByteAndEveryCutOfAnEnvelopeIsRefused) {
  const std::string_view name = Names<TypeParam>::kName;
  for (const char* suffix :
       {"_updated_json.ckpt", "_updated_bincode.ckpt", "_v0_json.ckpt", "_v0_bincode.ckpt"}) {
    SCOPED_TRACE(suffix);
    const std::string text = read_text(golden(name, suffix));
    std::string changed = text;
    for (std::size_t i = 0; i < text.size(); ++i) {
      changed[i] = static_cast<char>(changed[i] ^ 0xFF);
      ASSERT_FALSE(decode_checkpoint_envelope(changed)) << "byte " << i;
      changed[i] = text[i];
    }
    for (std::size_t n = 0; n < text.size(); ++n) {
      ASSERT_FALSE(decode_checkpoint_envelope(std::string_view(text).substr(0, n)))
          << "length " << n;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Deterministic mutation of the golden files: every decoder ends in a clean error or a valid
// value (the sanitizer build turns any memory fault into a failure).

class Mutator {
 public:
  explicit Mutator(std::uint64_t seed) : rng_(seed) {}
  std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(rng_() % n); }

  std::string mutate(const std::string& a, const std::string& b) {
    std::string s = a;
    const int rounds = 1 + static_cast<int>(below(3));
    for (int r = 0; r < rounds; ++r) {
      switch (below(7)) {
        case 0:  // flip bits of one byte
          if (!s.empty()) s[below(s.size())] ^= static_cast<char>(1 << below(8));
          break;
        case 1:  // overwrite a byte with a byte that matters to the decoders
          if (!s.empty()) s[below(s.size())] = kInteresting[below(sizeof kInteresting - 1)];
          break;
        case 2:  // insert a few bytes
          s.insert(below(s.size() + 1),
                   std::string(1 + below(4), kInteresting[below(sizeof kInteresting - 1)]));
          break;
        case 3:  // delete a range
          if (!s.empty()) {
            const std::size_t at = below(s.size());
            s.erase(at, 1 + below(16));
          }
          break;
        case 4:  // truncate
          s.resize(below(s.size() + 1));
          break;
        case 5:  // splice: a prefix of this with a suffix of the other
          s = s.substr(0, below(s.size() + 1)) + b.substr(below(b.size() + 1));
          break;
        default:  // duplicate a range in place
          if (!s.empty()) {
            const std::size_t at = below(s.size());
            const std::string piece = s.substr(at, 1 + below(32));
            s.insert(below(s.size() + 1), piece);
          }
      }
    }
    return s;
  }

 private:
  static constexpr char kInteresting[] = "\x00\x01\x02\x03\xff\x7f\x80{}[]\",:0-9e.n\\ ";
  std::mt19937_64 rng_;
};

// Cases per decoder; the sanitizer build runs the same count.
constexpr int kCasesPerDecoder = 6000;

template <class D>
void fuzz_payloads(std::uint64_t seed) {
  const std::string_view name = Names<D>::kName;
  const std::string jsons[] = {read_text(golden(name, "_fresh.json")),
                               read_text(golden(name, "_updated.json"))};
  const std::string bins[] = {read_text(golden(name, "_fresh.bin")),
                              read_text(golden(name, "_updated.bin"))};
  Mutator m(seed);
  int decoded = 0;
  for (int i = 0; i < kCasesPerDecoder; ++i) {
    const std::string text = m.mutate(jsons[i % 2], jsons[(i / 2) % 2]);
    if (auto node = core::parse_json_document(text)) {
      if (auto state = Kit<D>::from_json(*node)) {
        (void)state->validate();
        ++decoded;
      }
    }
    const std::string bytes = m.mutate(bins[i % 2], bins[(i / 2) % 2]);
    if (auto state = Kit<D>::from_bincode(bytes_of(bytes))) {
      (void)state->validate();
      (void)state_to_bincode(*state);
      ++decoded;
    }
  }
  EXPECT_GT(decoded, 0);  // the mutations do reach past the first faults
}

TYPED_TEST(Golden, MutatedPayloadsDecodeOrFailCleanly) {
  fuzz_payloads<TypeParam>(0xC0FFEE + Names<TypeParam>::kName.size());
}

TYPED_TEST(Golden, MutatedEnvelopesDecodeOrFailCleanly) {
  const std::string_view name = Names<TypeParam>::kName;
  std::vector<std::string> seeds;
  for (const char* suffix : {"_updated_json.ckpt", "_updated_bincode.ckpt", "_v0_json.ckpt",
                             "_v0_canonical.ckpt", "_v0_bincode.ckpt"}) {
    seeds.push_back(read_text(golden(name, suffix)));
  }
  Mutator m(0xBADC0DE + name.size());
  int loaded = 0;
  for (int i = 0; i < kCasesPerDecoder; ++i) {
    const std::string& a = seeds[i % seeds.size()];
    const std::string& b = seeds[m.below(seeds.size())];
    const std::string text = m.mutate(a, b);
    auto envelope = decode_checkpoint_envelope(text);
    if (!envelope) continue;
    TypeParam detector = Kit<TypeParam>::make();
    if (Kit<TypeParam>::load(detector, *envelope)) {
      ++loaded;
      const double x[1] = {0.5};
      (void)detector.update(x, std::nullopt, testing::context());
    }
  }
  EXPECT_GT(loaded, 0);
}

}  // namespace
}  // namespace ovrel::online
