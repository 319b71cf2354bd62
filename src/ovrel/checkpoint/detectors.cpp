#include "ovrel/checkpoint/checkpoint.hpp"
#include "ovrel/checkpoint/state_wire.hpp"
#include "ovrel/core/json_text.hpp"
#include "ovrel/core/text.hpp"

namespace ovrel::checkpoint {

using core::cat;
using online::AlertGateState;
using online::BocpdConfig;
using online::BocpdDetector;
using online::BocpdState;
using online::CusumDetector;
using online::CusumState;
using online::PageHinkleyDetector;
using online::PageHinkleyState;

namespace {

// What differs between the three detectors: their id and their state's readers.
template <class D>
struct Wire;

template <>
struct Wire<BocpdDetector> {
  static constexpr std::string_view kId = "bocpd";
  static Result<BocpdState> from_json(const core::JsonNode& n) { return bocpd_state_from_json(n); }
  static Result<BocpdState> from_bincode(std::span<const std::uint8_t> b) {
    return bocpd_state_from_bincode(b);
  }
};

template <>
struct Wire<CusumDetector> {
  static constexpr std::string_view kId = "cusum";
  static Result<CusumState> from_json(const core::JsonNode& n) { return cusum_state_from_json(n); }
  static Result<CusumState> from_bincode(std::span<const std::uint8_t> b) {
    return cusum_state_from_bincode(b);
  }
};

template <>
struct Wire<PageHinkleyDetector> {
  static constexpr std::string_view kId = "page_hinkley";
  static Result<PageHinkleyState> from_json(const core::JsonNode& n) {
    return page_hinkley_state_from_json(n);
  }
  static Result<PageHinkleyState> from_bincode(std::span<const std::uint8_t> b) {
    return page_hinkley_state_from_bincode(b);
  }
};

std::string_view as_text(const std::vector<std::uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::unexpected<OvrelError> decode_failure(PayloadCodec codec, const OvrelError& error) {
  return core::invalid_input(cat("checkpoint payload deserialization failed (codec=",
                                 payload_codec_name(codec), "): ", error.message()));
}

template <class D>
Result<CheckpointEnvelope> save_envelope(const D& detector, PayloadCodec codec) {
  // The detector's own state is encoded in place: save_state's copy would only be thrown away.
  const typename D::State& state = detector.state();
  CheckpointEnvelope envelope;
  envelope.detector_id = Wire<D>::kId;
  envelope.state_schema_version = kCheckpointStateSchemaVersion;
  envelope.engine_fingerprint = checkpoint_engine_fingerprint();
  envelope.payload_codec = codec;
  if (codec == PayloadCodec::Json) {
    auto text = state_to_json(state);
    if (!text) {
      return core::invalid_input(
          cat("checkpoint payload serialization failed (codec=json): ", text.error().message()));
    }
    envelope.payload.assign(text->begin(), text->end());
  } else {
    envelope.payload = state_to_bincode(state);
  }
  OVREL_TRY_ASSIGN(envelope.created_at_ns, now_unix_ns());
  envelope.payload_crc32 = checkpoint_crc32(envelope.payload);
  OVREL_TRY(envelope.validate_metadata());
  OVREL_TRY(envelope.verify_payload_crc32());
  return envelope;
}

template <class D>
Status save_file(const D& detector, const std::filesystem::path& path, PayloadCodec codec) {
  OVREL_TRY(validate_checkpoint_state_schema_version(kCheckpointStateSchemaVersion));
  OVREL_TRY_ASSIGN(const CheckpointEnvelope envelope, save_envelope(detector, codec));
  OVREL_TRY_ASSIGN(const std::string text, encode_checkpoint_envelope(envelope));
  return write_checkpoint_file_atomic(path, text);
}

Status check_detector_id(const CheckpointEnvelope& envelope, std::string_view expected) {
  if (envelope.detector_id != expected) {
    return core::invalid_input(cat("checkpoint detector mismatch: expected='", expected,
                                   "', found='", envelope.detector_id, "'"));
  }
  return {};
}

// Metadata, checksum, detector id and payload decoding; `json_root` is the parsed "json"
// payload when the caller has parsed it already.
template <class D>
Result<typename D::State> decode_state(const CheckpointEnvelope& envelope,
                                       std::string_view expected_id,
                                       const core::JsonNode* json_root) {
  OVREL_TRY(envelope.validate_metadata());
  OVREL_TRY(envelope.verify_payload_crc32());
  OVREL_TRY(check_detector_id(envelope, expected_id));
  if (envelope.payload_codec == PayloadCodec::Bincode) {
    auto state = Wire<D>::from_bincode(envelope.payload);
    if (!state) return decode_failure(PayloadCodec::Bincode, state.error());
    return state;
  }
  if (json_root != nullptr) {
    auto state = Wire<D>::from_json(*json_root);
    if (!state) return decode_failure(PayloadCodec::Json, state.error());
    return state;
  }
  auto root = core::parse_json_document(as_text(envelope.payload), {.streamed = true});
  if (!root) return decode_failure(PayloadCodec::Json, root.error());
  return decode_state<D>(envelope, expected_id, &*root);
}

template <class D>
Result<typename D::State> checked_state(const CheckpointEnvelope& envelope) {
  OVREL_TRY_ASSIGN(typename D::State state, decode_state<D>(envelope, Wire<D>::kId, nullptr));
  OVREL_TRY(state.validate());
  return state;
}

// Every check of a BOCPD loader, without installing. A "json" payload without "alert_gate" gets a
// fresh gate holding the detector's own policy.
Result<BocpdState> checked_bocpd_state(const CheckpointEnvelope& envelope, const BocpdConfig& own) {
  if (envelope.payload_codec == PayloadCodec::Bincode) {
    OVREL_TRY_ASSIGN(BocpdState state, checked_state<BocpdDetector>(envelope));
    OVREL_TRY(state.check_loadable(own.observation));
    return state;
  }
  // A "json" payload must be an object, and this comes before every other check; whether it
  // names its gate decides the gate installed.
  auto root = core::parse_json_document(as_text(envelope.payload), {.streamed = true});
  if (!root) return decode_failure(PayloadCodec::Json, root.error());
  if (root->kind != core::JsonNode::Kind::Object) {
    return core::invalid_input(
        "checkpoint payload deserialization failed (codec=json): expected object");
  }
  bool has_gate = false;
  OVREL_TRY(core::json::for_each_member(*root, [&](const core::JsonMember& m) -> Status {
    has_gate = has_gate || m.key == "alert_gate";
    return {};
  }));
  OVREL_TRY_ASSIGN(BocpdState state,
                   decode_state<BocpdDetector>(envelope, Wire<BocpdDetector>::kId, &*root));
  if (!has_gate) state.alert_gate = AlertGateState::fresh(own.alert_policy);
  OVREL_TRY(state.validate());
  OVREL_TRY(state.check_loadable(own.observation));
  return state;
}

template <class D>
Status load_file(D& detector, const std::filesystem::path& path) {
  OVREL_TRY_ASSIGN(const CheckpointEnvelope envelope,
                   read_checkpoint_file(path, checkpoint_size_limit(detector)));
  return load_checkpoint(detector, envelope);
}

}  // namespace

Result<CheckpointEnvelope> save_checkpoint(const BocpdDetector& detector, PayloadCodec codec) {
  return save_envelope(detector, codec);
}
Result<CheckpointEnvelope> save_checkpoint(const CusumDetector& detector, PayloadCodec codec) {
  return save_envelope(detector, codec);
}
Result<CheckpointEnvelope> save_checkpoint(const PageHinkleyDetector& detector,
                                           PayloadCodec codec) {
  return save_envelope(detector, codec);
}

Status save_checkpoint_file(const BocpdDetector& detector, const std::filesystem::path& path,
                            PayloadCodec codec) {
  return save_file(detector, path, codec);
}
Status save_checkpoint_file(const CusumDetector& detector, const std::filesystem::path& path,
                            PayloadCodec codec) {
  return save_file(detector, path, codec);
}
Status save_checkpoint_file(const PageHinkleyDetector& detector, const std::filesystem::path& path,
                            PayloadCodec codec) {
  return save_file(detector, path, codec);
}

Status load_checkpoint(BocpdDetector& detector, const CheckpointEnvelope& envelope) {
  OVREL_TRY_ASSIGN(const BocpdState state, checked_bocpd_state(envelope, detector.config()));
  detector.load_state(state);
  return {};
}
Status load_checkpoint(CusumDetector& detector, const CheckpointEnvelope& envelope) {
  OVREL_TRY_ASSIGN(const CusumState state, checked_state<CusumDetector>(envelope));
  detector.load_state(state);
  return {};
}
Status load_checkpoint(PageHinkleyDetector& detector, const CheckpointEnvelope& envelope) {
  OVREL_TRY_ASSIGN(const PageHinkleyState state, checked_state<PageHinkleyDetector>(envelope));
  detector.load_state(state);
  return {};
}

Status load_checkpoint_file(BocpdDetector& detector, const std::filesystem::path& path) {
  return load_file(detector, path);
}
Status load_checkpoint_file(CusumDetector& detector, const std::filesystem::path& path) {
  return load_file(detector, path);
}
Status load_checkpoint_file(PageHinkleyDetector& detector, const std::filesystem::path& path) {
  return load_file(detector, path);
}

Result<BocpdState> load_state_from_checkpoint_envelope(const CheckpointEnvelope& envelope,
                                                       std::string_view expected_detector_id) {
  return decode_state<BocpdDetector>(envelope, expected_detector_id, nullptr);
}

Result<BocpdState> load_state_from_checkpoint_file(const std::filesystem::path& path,
                                                   std::string_view expected_detector_id) {
  OVREL_TRY_ASSIGN(const CheckpointEnvelope envelope, read_checkpoint_file(path));
  return load_state_from_checkpoint_envelope(envelope, expected_detector_id);
}

}  // namespace ovrel::checkpoint
