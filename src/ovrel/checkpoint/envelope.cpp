#include <zlib.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>

#include "ovrel/checkpoint/checkpoint.hpp"
#include "ovrel/checkpoint/legacy.hpp"
#include "ovrel/core/json_text.hpp"
#include "ovrel/core/schema_migration.hpp"
#include "ovrel/core/text.hpp"

namespace ovrel::checkpoint {

using core::cat;
using core::JsonNode;

std::string_view payload_codec_name(PayloadCodec codec) noexcept {
  return codec == PayloadCodec::Json ? "json" : "bincode";
}

std::uint32_t checkpoint_crc32(std::span<const std::uint8_t> bytes) noexcept {
  // crc32_z takes a size_t length: no 4 GiB ceiling.
  return static_cast<std::uint32_t>(crc32_z(0L, bytes.data(), bytes.size()));
}

namespace {

std::string_view trim(std::string_view s) {
  constexpr std::string_view kSpace = " \t\n\r\f\v";
  const auto begin = s.find_first_not_of(kSpace);
  if (begin == std::string_view::npos) return {};
  return s.substr(begin, s.find_last_not_of(kSpace) - begin + 1);
}

std::string hex8(std::uint32_t v) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kHex[(v >> shift) & 0xF]);
  return out;
}

}  // namespace

std::string detail::crc_hex(std::uint32_t v) { return hex8(v); }

Status validate_checkpoint_state_schema_version(std::uint32_t version) {
  if (version > kMaxCheckpointStateSchemaVersion) {
    return core::invalid_input(
        cat("checkpoint state_schema_version=", version,
            " is unsupported; supported versions are 0..=", kMaxCheckpointStateSchemaVersion,
            ". See ", core::kSchemaMigrationGuide, " for migration guidance."));
  }
  return {};
}

Status CheckpointEnvelope::validate_metadata() const {
  if (trim(detector_id).empty()) {
    return core::invalid_input("checkpoint detector_id must be non-empty");
  }
  if (trim(engine_fingerprint).empty()) {
    return core::invalid_input("checkpoint engine_fingerprint must be non-empty");
  }
  if (created_at_ns < 0) {
    return core::invalid_input(cat("checkpoint created_at_ns must be >= 0; got ", created_at_ns));
  }
  return validate_checkpoint_state_schema_version(state_schema_version);
}

Status CheckpointEnvelope::verify_payload_crc32() const {
  const std::uint32_t observed = checkpoint_crc32(payload);
  if (observed != payload_crc32) {
    return core::invalid_input(cat("checkpoint payload crc32 mismatch: expected=",
                                   hex8(payload_crc32), ", observed=", hex8(observed)));
  }
  return {};
}

std::string checkpoint_engine_fingerprint() {
#if defined(__APPLE__)
  constexpr std::string_view os = "macos";
#elif defined(__linux__)
  constexpr std::string_view os = "linux";
#elif defined(__FreeBSD__)
  constexpr std::string_view os = "freebsd";
#elif defined(_WIN32)
  constexpr std::string_view os = "windows";
#else
  constexpr std::string_view os = "unknown";
#endif
#if defined(__x86_64__) || defined(_M_X64)
  constexpr std::string_view arch = "x86_64";
#elif defined(__aarch64__) || defined(_M_ARM64)
  constexpr std::string_view arch = "aarch64";
#elif defined(__i386__)
  constexpr std::string_view arch = "x86";
#elif defined(__arm__)
  constexpr std::string_view arch = "arm";
#elif defined(__powerpc64__)
  constexpr std::string_view arch = "powerpc64";
#elif defined(__s390x__)
  constexpr std::string_view arch = "s390x";
#elif defined(__riscv) && __riscv_xlen == 64
  constexpr std::string_view arch = "riscv64";
#else
  constexpr std::string_view arch = "unknown";
#endif
  return cat("ovrel-online/0.1.0/", os, "-", arch);
}

Result<std::int64_t> now_unix_ns() {
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) {
    return core::resource_limit(
        cat("system clock before UNIX epoch; cannot timestamp checkpoint: ", std::strerror(errno)));
  }
  if (ts.tv_sec < 0) {
    return core::resource_limit(
        cat("system clock before UNIX epoch; cannot timestamp checkpoint: the clock reads ",
            -static_cast<std::int64_t>(ts.tv_sec), " s before 1970-01-01T00:00:00Z"));
  }
  std::int64_t ns = 0;
  if (__builtin_mul_overflow(static_cast<std::int64_t>(ts.tv_sec), 1'000'000'000LL, &ns) ||
      __builtin_add_overflow(ns, static_cast<std::int64_t>(ts.tv_nsec), &ns)) {
    return core::resource_limit("system timestamp overflow while constructing checkpoint");
  }
  return ns;
}

Result<std::string> encode_checkpoint_envelope(const CheckpointEnvelope& e) {
  OVREL_TRY(e.validate_metadata());
  OVREL_TRY(e.verify_payload_crc32());
  std::string out;
  out.reserve(160 + e.detector_id.size() + e.engine_fingerprint.size() + 4 * e.payload.size());
  out.append("{\"detector_id\":");
  core::append_json_string(out, e.detector_id);
  out.append(",\"state_schema_version\":");
  out.append(std::to_string(e.state_schema_version));
  out.append(",\"engine_fingerprint\":");
  core::append_json_string(out, e.engine_fingerprint);
  out.append(",\"created_at_ns\":");
  out.append(std::to_string(e.created_at_ns));
  out.append(",\"payload_crc32\":");
  out.append(std::to_string(e.payload_crc32));
  out.append(",\"payload_codec\":\"");
  out.append(payload_codec_name(e.payload_codec));
  out.append("\",\"payload\":[");
  for (std::size_t i = 0; i < e.payload.size(); ++i) {
    if (i != 0) out.push_back(',');
    const unsigned b = e.payload[i];
    if (b >= 100) out.push_back(static_cast<char>('0' + b / 100));
    if (b >= 10) out.push_back(static_cast<char>('0' + b / 10 % 10));
    out.push_back(static_cast<char>('0' + b % 10));
  }
  out.append("]}");
  return out;
}

// ---------------------------------------------------------------------------------------------
// Reading

namespace {

using core::json::Field;
using core::json::kOptional;
using core::json::kRequired;
using core::json::read_into;
using core::json::read_optional_of;
using Kind = JsonNode::Kind;

struct VersionMarker {
  std::optional<std::uint32_t> state_schema_version;
  std::optional<std::uint32_t> schema_version;
};

constexpr std::array<Field<VersionMarker>, 2> kMarkerFields = {{
    {"state_schema_version", false,
     read_into<&VersionMarker::state_schema_version, read_optional_of<core::json::read_u32>>},
    {"schema_version", false,
     read_into<&VersionMarker::schema_version, read_optional_of<core::json::read_u32>>},
}};

Result<PayloadCodec> read_codec(const JsonNode& node) {
  auto by_name = [](std::string_view name, core::JsonPosition at) -> Result<PayloadCodec> {
    if (name == "json") return PayloadCodec::Json;
    if (name == "bincode") return PayloadCodec::Bincode;
    return core::json::fail_at(cat("unknown variant `", name, "`, expected `json` or `bincode`"),
                               at);
  };
  if (node.kind == Kind::String) return by_name(node.text, node.end);
  if (node.kind != Kind::Object) return core::json::invalid_type(node, "enum PayloadCodec");
  if (node.members.size() != 1) {
    return core::json::fail_at("invalid value: map, expected map with a single key", node.position);
  }
  const core::JsonMember& m = node.members.front();
  OVREL_TRY_ASSIGN(PayloadCodec codec, by_name(m.key, m.key_end));
  if (m.value.kind != Kind::Null) return core::json::invalid_type(m.value, "unit variant");
  return codec;
}

using E = CheckpointEnvelope;
constexpr std::array<Field<E>, 7> kEnvelopeFields = {{
    {"detector_id", kRequired, read_into<&E::detector_id, core::json::read_text>},
    {"state_schema_version", kRequired, read_into<&E::state_schema_version, core::json::read_u32>},
    {"engine_fingerprint", kRequired, read_into<&E::engine_fingerprint, core::json::read_text>},
    {"created_at_ns", kRequired, read_into<&E::created_at_ns, core::json::read_i64>},
    {"payload_crc32", kRequired, read_into<&E::payload_crc32, core::json::read_u32>},
    {"payload_codec", kRequired, read_into<&E::payload_codec, read_codec>},
    {"payload", kRequired, read_into<&E::payload, core::json::read_bytes>},
}};

}  // namespace

// Every key the version probe and the readers of either version look at; the values of other keys
// are checked and dropped, so no document costs more than a small multiple of its text.
constexpr std::array<std::string_view, 9> kEnvelopeKeys = {
    "state_schema_version", "schema_version", "detector_id",
    "engine_fingerprint",   "engine_version", "created_at_ns",
    "payload_crc32",        "payload_codec",  "payload"};

Result<CheckpointEnvelope> decode_checkpoint_envelope(std::string_view text) {
  // One summary parse serves the version probe and the reader of either version.
  auto root =
      core::parse_json_document(text, {.compact_byte_arrays = true, .root_keys = kEnvelopeKeys});
  VersionMarker marker;
  if (root) {
    auto read = core::json::read_fields(*root, "struct CheckpointVersionMarker", kMarkerFields,
                                        marker, nullptr);
    if (!read) root = std::unexpected(std::move(read).error());
  }
  if (!root) {
    return core::invalid_input(
        cat("checkpoint envelope JSON parse failed: ", std::move(root).error().message()));
  }
  CheckpointEnvelope envelope;
  if (marker.state_schema_version) {
    auto read = core::json::read_fields(*root, "struct CheckpointEnvelope", kEnvelopeFields,
                                        envelope, nullptr);
    if (!read) {
      return core::invalid_input(
          cat("checkpoint envelope v1 parse failed (expected canonical fields): ",
              std::move(read).error().message()));
    }
  } else if (marker.schema_version) {
    OVREL_TRY_ASSIGN(envelope, detail::convert_legacy_envelope(text, *root));
  } else {
    return core::invalid_input(
        "checkpoint envelope must contain 'state_schema_version' (v1) or 'schema_version' "
        "(legacy v0)");
  }
  OVREL_TRY(envelope.validate_metadata());
  OVREL_TRY(envelope.verify_payload_crc32());
  return envelope;
}

}  // namespace ovrel::checkpoint
