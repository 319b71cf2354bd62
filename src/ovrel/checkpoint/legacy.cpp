#include "ovrel/checkpoint/legacy.hpp"

#include <array>

#include "ovrel/core/text.hpp"

namespace ovrel::checkpoint::detail {

using core::cat;
using core::JsonNode;

namespace {

struct LegacyEnvelope {
  std::uint32_t schema_version = 0;
  std::string detector_id;
  std::string engine_version;
  std::int64_t created_at_ns = 0;
  std::string payload_crc32;
  std::string payload_codec;
  const JsonNode* payload = nullptr;  // held as its raw text
};

Status keep_payload(LegacyEnvelope& out, const JsonNode& node) {
  out.payload = &node;
  return {};
}

using core::json::Field;
using core::json::kOptional;
using core::json::kRequired;
using core::json::read_into;
using L = LegacyEnvelope;
constexpr std::array<Field<L>, 7> kLegacyFields = {{
    {"schema_version", kRequired, read_into<&L::schema_version, core::json::read_u32>},
    {"detector_id", kRequired, read_into<&L::detector_id, core::json::read_text>},
    {"engine_version", kRequired, read_into<&L::engine_version, core::json::read_text>},
    {"created_at_ns", kRequired, read_into<&L::created_at_ns, core::json::read_i64>},
    {"payload_crc32", kRequired, read_into<&L::payload_crc32, core::json::read_text>},
    {"payload_codec", kRequired, read_into<&L::payload_codec, core::json::read_text>},
    {"payload", kRequired, keep_payload},
}};

// 32-bit hexadecimal: an optional "0x" (lower-case x), an optional '+', then one or more digits.
Result<std::uint32_t> parse_crc_text(std::string_view given) {
  auto invalid = [&](std::string_view reason) {
    return core::invalid_input(
        cat("legacy checkpoint payload_crc32='", given, "' is invalid: ", reason));
  };
  std::string_view s = given;
  if (s.size() >= 2 && s[0] == '0' && s[1] == 'x') s.remove_prefix(2);
  if (s.empty()) return invalid("cannot parse integer from empty string");
  if (s.front() == '+') {
    s.remove_prefix(1);
    if (s.empty()) return invalid("invalid digit found in string");
  }
  std::uint64_t value = 0;
  bool too_large = false;
  for (char c : s) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return invalid("invalid digit found in string");
    }
    value = value * 16 + digit;
    if (value > UINT32_MAX) {
      too_large = true;
      value = UINT32_MAX + std::uint64_t{1};  // stays above the bound; digits still checked
    }
  }
  if (too_large) return invalid("number too large to fit in target type");
  return static_cast<std::uint32_t>(value);
}

std::span<const std::uint8_t> as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace

Result<CheckpointEnvelope> convert_legacy_envelope(std::string_view text, const JsonNode& root) {
  LegacyEnvelope legacy;
  auto read = core::json::read_fields(root, "struct LegacyCheckpointEnvelopeV0", kLegacyFields,
                                      legacy, nullptr);
  if (!read) {
    return core::invalid_input(
        cat("checkpoint envelope legacy v0 parse failed: ", std::move(read).error().message()));
  }
  CheckpointEnvelope out;
  if (legacy.payload_codec == "json") {
    out.payload_codec = PayloadCodec::Json;
  } else if (legacy.payload_codec == "bincode") {
    out.payload_codec = PayloadCodec::Bincode;
  } else {
    return core::invalid_input(cat("checkpoint payload_codec '", legacy.payload_codec,
                                   "' is unsupported; expected one of: json, bincode"));
  }
  OVREL_TRY_ASSIGN(const std::uint32_t expected, parse_crc_text(legacy.payload_crc32));
  const JsonNode& payload = *legacy.payload;
  const std::string_view raw =
      text.substr(payload.position.offset, payload.end.offset - payload.position.offset);
  if (out.payload_codec == PayloadCodec::Bincode) {
    auto bytes = core::parse_json_document(raw, {.compact_byte_arrays = true});
    if (bytes) {
      auto read_bytes = core::json::read_bytes(*bytes);
      if (read_bytes) {
        out.payload = std::move(*read_bytes);
      } else {
        bytes = std::unexpected(std::move(read_bytes).error());
      }
    }
    if (!bytes) {
      return core::invalid_input(cat("legacy checkpoint payload parse failed (codec=bincode): ",
                                     std::move(bytes).error().message()));
    }
    const std::uint32_t observed = checkpoint_crc32(out.payload);
    if (observed != expected) {
      return core::invalid_input(cat("legacy checkpoint payload crc32 mismatch: expected=",
                                     crc_hex(expected), ", observed=", crc_hex(observed)));
    }
  } else {
    const std::uint32_t observed_raw = checkpoint_crc32(as_bytes(raw));
    if (observed_raw == expected) {
      out.payload.assign(raw.begin(), raw.end());
    } else {
      // The embedded value may have been re-formatted since its checksum was taken. Its nesting
      // is bounded by the reader's limit, so the canonical writer's recursion is too. The
      // canonical form writes every integer in decimal, the integer -0 as 0.
      auto node = core::parse_json_document(raw, {.negative_zero_is_integer = true});
      if (!node) {
        return core::invalid_input(cat("legacy checkpoint payload parse failed (codec=json): ",
                                       std::move(node).error().message()));
      }
      const std::string canonical = core::canonical_json_text(*node);
      const std::uint32_t observed_canonical = checkpoint_crc32(as_bytes(canonical));
      if (observed_canonical != expected) {
        return core::invalid_input(cat("legacy checkpoint payload crc32 mismatch: expected=",
                                       crc_hex(expected), ", observed_raw=", crc_hex(observed_raw),
                                       ", observed_canonical=", crc_hex(observed_canonical)));
      }
      out.payload.assign(canonical.begin(), canonical.end());
    }
  }
  out.detector_id = std::move(legacy.detector_id);
  out.state_schema_version = legacy.schema_version;
  out.engine_fingerprint = std::move(legacy.engine_version);
  out.created_at_ns = legacy.created_at_ns;
  out.payload_crc32 = expected;
  return out;
}

}  // namespace ovrel::checkpoint::detail
