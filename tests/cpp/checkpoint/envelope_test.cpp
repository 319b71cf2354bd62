// The checkpoint envelope: its text, its metadata and checksum rules, the version probe and the
// legacy version-0 reader.

#include <sys/mman.h>
#include <zlib.h>

#include "checkpoint_support.hpp"

namespace ovrel::online {
namespace {

using testing::bytes_of;
using testing::text_of;

TEST(Envelope, Crc32CheckValues) {
  EXPECT_EQ(checkpoint_crc32(bytes_of("123456789")), 0xCBF43926u);
  EXPECT_EQ(checkpoint_crc32(bytes_of("abc")), 0x352441C2u);
  EXPECT_EQ(checkpoint_crc32({}), 0u);
}

// A length-truncating checksum would see 2^32 + 1 bytes as one.
TEST(Envelope, Crc32CoversPayloadsBeyondFourGibibytes) {
  constexpr std::size_t kSize = (std::size_t{1} << 32) + 1;
  void* zeros = mmap(nullptr, kSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (zeros == MAP_FAILED) GTEST_SKIP() << "cannot map 4 GiB";
  const std::uint32_t whole = checkpoint_crc32({static_cast<const std::uint8_t*>(zeros), kSize});
  munmap(zeros, kSize);
  // The oracle: zlib's own composition of checksums, 1 zero byte then 2^32 by 32 doublings.
  const std::uint8_t zero = 0;
  const uLong one = crc32(0L, &zero, 1);
  uLong block = one;
  z_off_t block_len = 1;
  for (int i = 0; i < 32; ++i) {
    block = crc32_combine(block, block, block_len);
    block_len *= 2;
  }
  const uLong crc = crc32_combine(one, block, block_len);
  EXPECT_EQ(whole, static_cast<std::uint32_t>(crc));
  EXPECT_NE(whole, static_cast<std::uint32_t>(one));
}

CheckpointEnvelope abc_envelope() {
  CheckpointEnvelope e;
  e.detector_id = "cusum";
  e.engine_fingerprint = "ovrel-online/0.1.0/macos-aarch64";
  e.created_at_ns = 123;
  e.payload = bytes_of("abc");
  e.payload_crc32 = 891568578;
  return e;
}

constexpr std::string_view kAbcText =
    R"({"detector_id":"cusum","state_schema_version":1,"engine_fingerprint":)"
    R"("ovrel-online/0.1.0/macos-aarch64","created_at_ns":123,"payload_crc32":891568578,)"
    R"("payload_codec":"json","payload":[97,98,99]})";

TEST(Envelope, EncodesTheDocumentedTextAndReadsItBack) {
  EXPECT_EQ(encode_checkpoint_envelope(abc_envelope()).value(), kAbcText);
  EXPECT_EQ(decode_checkpoint_envelope(kAbcText).value(), abc_envelope());
  CheckpointEnvelope e = abc_envelope();
  e.payload.clear();
  e.payload_crc32 = 0;
  e.payload_codec = PayloadCodec::Bincode;
  e.detector_id = "a\"\\\n\x01";
  const std::string text = encode_checkpoint_envelope(e).value();
  EXPECT_NE(text.find(R"("detector_id":"a\"\\\n\u0001")"), std::string::npos);
  EXPECT_NE(text.find(R"("payload_codec":"bincode","payload":[]})"), std::string::npos);
  EXPECT_EQ(decode_checkpoint_envelope(text).value(), e);
  EXPECT_EQ(checkpoint_engine_fingerprint().rfind("ovrel-online/0.1.0/", 0), 0u);
  EXPECT_GT(now_unix_ns().value(), 1'600'000'000'000'000'000);
}

TEST(Envelope, MetadataAndChecksumRules) {
  struct Case {
    void (*change)(CheckpointEnvelope&);
    const char* message;
  };
  const Case cases[] = {
      {[](CheckpointEnvelope& e) { e.detector_id = " \t "; },
       "checkpoint detector_id must be non-empty"},
      {[](CheckpointEnvelope& e) { e.engine_fingerprint = "\n"; },
       "checkpoint engine_fingerprint must be non-empty"},
      {[](CheckpointEnvelope& e) { e.created_at_ns = -1; },
       "checkpoint created_at_ns must be >= 0; got -1"},
      {[](CheckpointEnvelope& e) { e.state_schema_version = 2; },
       "checkpoint state_schema_version=2 is unsupported; supported versions are 0..=1. See "
       "ovrel/docs/templates/schema_migration.md for migration guidance."},
      {[](CheckpointEnvelope& e) { e.payload_crc32 = 0; },
       "checkpoint payload crc32 mismatch: expected=0x00000000, observed=0x352441c2"},
      // The detector id's value is not this layer's business.
      {[](CheckpointEnvelope& e) { e.detector_id = "xyz"; }, nullptr},
      {[](CheckpointEnvelope& e) { e.state_schema_version = 0; }, nullptr},
  };
  for (const Case& c : cases) {
    CheckpointEnvelope e = abc_envelope();
    c.change(e);
    auto text = encode_checkpoint_envelope(e);
    if (c.message == nullptr) {
      ASSERT_TRUE(text) << text.error().message();
      continue;
    }
    ASSERT_FALSE(text) << c.message;
    EXPECT_EQ(text.error().kind(), ErrorKind::InvalidInput);
    EXPECT_EQ(text.error().message(), c.message);
  }
  EXPECT_EQ(validate_checkpoint_state_schema_version(7).error().message(),
            "checkpoint state_schema_version=7 is unsupported; supported versions are 0..=1. See "
            "ovrel/docs/templates/schema_migration.md for migration guidance.");
}

// A v1 text with one key replaced (or removed when the value is empty).
std::string v1_with(std::string_view key, std::string_view value) {
  std::string text(kAbcText);
  const std::size_t at = text.find(std::string("\"") + std::string(key) + "\":");
  const std::size_t value_at = at + key.size() + 3;
  const std::size_t end = key == "payload" ? text.size() - 1 : text.find(",\"", value_at);
  if (value.empty()) {
    const std::size_t from = text[at - 1] == ',' ? at - 1 : at;
    text.erase(from, end - from + (text[at - 1] == ',' ? 0 : 1));
  } else {
    text.replace(value_at, end - value_at, value);
  }
  return text;
}

TEST(Envelope, DecodeFaultsAndVersionRouting) {
  const std::string probe = "checkpoint envelope JSON parse failed: ";
  const std::string v1 = "checkpoint envelope v1 parse failed (expected canonical fields): ";
  const std::pair<std::string, std::string> cases[] = {
      {v1_with("state_schema_version", R"("1")"),
       probe + "invalid type: string \"1\", expected u32 at line 1 column 47"},
      {"[1]", probe + "invalid type: sequence, expected struct CheckpointVersionMarker at line 1 "
                      "column 1"},
      {std::string(kAbcText) + "x", probe + "trailing characters at line 1 column 195"},
      {R"({"a":1})",
       "checkpoint envelope must contain 'state_schema_version' (v1) or 'schema_version' (legacy "
       "v0)"},
      {v1_with("payload", ""), v1 + "missing field `payload` at line 1 column 173"},
      {v1_with("payload", "[97,256]"),
       v1 + "invalid value: integer `256`, expected u8 at line 1 column 188"},
      {v1_with("payload", "[-1]"),
       v1 + "invalid value: integer `-1`, expected u8 at line 1 column 185"},
      {v1_with("payload", "[1.0]"),
       v1 + "invalid type: floating point `1.0`, expected u8 at line 1 column 185"},
      {v1_with("payload_codec", R"("JSON")"),
       v1 + "unknown variant `JSON`, expected `json` or `bincode` at line 1 column 172"},
      {v1_with("payload_crc32", R"("352441c2")"),
       v1 + "invalid type: string \"352441c2\", expected u32 at line 1 column 141"},
      {v1_with("created_at_ns", "-1"), "checkpoint created_at_ns must be >= 0; got -1"},
      {v1_with("payload_crc32", "1"),
       "checkpoint payload crc32 mismatch: expected=0x00000001, observed=0x352441c2"},
      {v1_with("state_schema_version", "2"),
       "checkpoint state_schema_version=2 is unsupported; supported versions are 0..=1. See "
       "ovrel/docs/templates/schema_migration.md for migration guidance."},
  };
  for (const auto& [text, message] : cases) {
    auto envelope = decode_checkpoint_envelope(text);
    ASSERT_FALSE(envelope) << text;
    EXPECT_EQ(envelope.error().message(), message) << text;
  }
  // Accepted variations: the single-key codec form, an extra key, a null legacy marker.
  const std::string accepted[] = {
      v1_with("payload_codec", R"({"json":null})"),
      std::string(R"({"schema_version":0,)") + std::string(kAbcText.substr(1)),
      v1_with("state_schema_version", "0"),
  };
  for (const std::string& text : accepted) {
    auto envelope = decode_checkpoint_envelope(text);
    ASSERT_TRUE(envelope) << text << ": " << envelope.error().message();
    EXPECT_EQ(envelope->payload, bytes_of("abc"));
  }
}

std::string legacy(std::string_view crc, std::string_view codec, std::string_view payload,
                   std::string_view version = "0") {
  return std::string(R"({"state_schema_version":null,"schema_version":)") + std::string(version) +
         R"(,"detector_id":"cusum","engine_version":"old","created_at_ns":5,"payload_crc32":")" +
         std::string(crc) + R"(","payload_codec":")" + std::string(codec) + R"(","payload":)" +
         std::string(payload) + "}";
}

TEST(Envelope, LegacyChecksumTexts) {
  for (const char* crc : {"0x352441c2", "352441C2", "+352441c2", "00352441c2"}) {
    auto e = decode_checkpoint_envelope(legacy(crc, "bincode", "[97,98,99]"));
    ASSERT_TRUE(e) << crc << ": " << e.error().message();
    EXPECT_EQ(e->payload_crc32, 0x352441C2u);
    EXPECT_EQ(e->payload, bytes_of("abc"));
    EXPECT_EQ(e->engine_fingerprint, "old");
    EXPECT_EQ(e->state_schema_version, 0u);
  }
  const std::pair<const char*, const char*> refused[] = {
      {"0X352441c2", "invalid digit found in string"},
      {"-1", "invalid digit found in string"},
      {"", "cannot parse integer from empty string"},
      {"0x", "cannot parse integer from empty string"},
      {"+", "invalid digit found in string"},
      {"12 34", "invalid digit found in string"},
      {"100000000", "number too large to fit in target type"},
  };
  for (const auto& [crc, reason] : refused) {
    auto e = decode_checkpoint_envelope(legacy(crc, "bincode", "[97,98,99]"));
    ASSERT_FALSE(e) << crc;
    EXPECT_EQ(e.error().message(),
              std::string("legacy checkpoint payload_crc32='") + crc + "' is invalid: " + reason);
  }
}

TEST(Envelope, LegacyPayloads) {
  const std::string_view spaced = R"({ "t": 1, "b": [1.50, 2] })";
  const std::string canonical = R"({"b":[1.5,2],"t":1})";
  auto crc_of = [](std::string_view s) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", checkpoint_crc32(bytes_of(s)));
    return std::string(buf);
  };
  // The checksum of the text as it stands keeps the text; that of the canonical form takes it.
  auto raw = decode_checkpoint_envelope(legacy(crc_of(spaced), "json", spaced));
  ASSERT_TRUE(raw) << raw.error().message();
  EXPECT_EQ(text_of(raw->payload), spaced);
  auto canon = decode_checkpoint_envelope(legacy(crc_of(canonical), "json", spaced));
  ASSERT_TRUE(canon) << canon.error().message();
  EXPECT_EQ(text_of(canon->payload), canonical);
  EXPECT_EQ(decode_checkpoint_envelope(legacy("1", "json", spaced)).error().message(),
            "legacy checkpoint payload crc32 mismatch: expected=0x00000001, observed_raw=0x" +
                crc_of(spaced) + ", observed_canonical=0x" + crc_of(canonical));

  auto empty = decode_checkpoint_envelope(legacy("0", "bincode", "[]"));
  ASSERT_TRUE(empty) << empty.error().message();
  EXPECT_TRUE(empty->payload.empty());

  const std::pair<std::string, std::string> refused[] = {
      {legacy("1", "bincode", "[97,98,99]"),
       "legacy checkpoint payload crc32 mismatch: expected=0x00000001, observed=0x352441c2"},
      {legacy("0", "bincode", "[1, 300]"),
       "legacy checkpoint payload parse failed (codec=bincode): invalid value: integer `300`, "
       "expected u8 at line 1 column 5"},
      {legacy("0", "bincode", R"("abc")"),
       "legacy checkpoint payload parse failed (codec=bincode): invalid type: string \"abc\", "
       "expected a sequence at line 1 column 1"},
      {legacy("0", "json", std::string(300, '[')),
       "checkpoint envelope JSON parse failed: recursion limit exceeded at line 1 column 291"},
      {legacy("0", "Json", "{}"),
       "checkpoint payload_codec 'Json' is unsupported; expected one of: json, bincode"},
      {legacy("0", "bincode", "[]", "7"),
       "checkpoint state_schema_version=7 is unsupported; supported versions are 0..=1. See "
       "ovrel/docs/templates/schema_migration.md for migration guidance."},
      {R"({"schema_version":0,"detector_id":"cusum","created_at_ns":5,"payload_crc32":"0",)"
       R"("payload_codec":"json","payload":{}})",
       "checkpoint envelope legacy v0 parse failed: missing field `engine_version` at line 1 "
       "column 116"},
  };
  for (const auto& [text, message] : refused) {
    auto e = decode_checkpoint_envelope(text);
    ASSERT_FALSE(e) << text;
    EXPECT_EQ(e.error().message(), message) << text;
  }
}

}  // namespace
}  // namespace ovrel::online
