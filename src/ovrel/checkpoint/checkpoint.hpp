#pragma once

// Checkpoints: a detector's whole state in a self-describing, checksummed envelope (compact JSON
// text), its payload encoded as "json" or "bincode"; the savers and loaders of the three online
// detectors; and checkpoint files, replaced atomically.
//
// Loading runs, stopping at the first failure: envelope metadata, checksum, detector id, payload
// decoding, state validation; only then is the detector's state replaced.

#include <cstdint>
#include <filesystem>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ovrel/core/error.hpp"
#include "ovrel/online/alert_policy.hpp"
#include "ovrel/online/baseline.hpp"
#include "ovrel/online/bocpd.hpp"

namespace ovrel::checkpoint {

enum class PayloadCodec : std::uint8_t {
  Json = 0,
  Bincode = 1,
};

// "json", "bincode".
std::string_view payload_codec_name(PayloadCodec codec) noexcept;

inline constexpr std::uint32_t kCheckpointStateSchemaVersion = 1;     // written
inline constexpr std::uint32_t kMaxCheckpointStateSchemaVersion = 1;  // 0 and 1 are read

struct CheckpointEnvelope {
  std::string detector_id;  // "bocpd", "cusum", "page_hinkley"
  std::uint32_t state_schema_version = kCheckpointStateSchemaVersion;
  std::string engine_fingerprint;
  std::int64_t created_at_ns = 0;  // wall clock, ns since the epoch
  std::uint32_t payload_crc32 = 0;
  PayloadCodec payload_codec = PayloadCodec::Json;
  std::vector<std::uint8_t> payload;

  // Non-blank detector id and fingerprint, created_at_ns >= 0, a readable schema version.
  Status validate_metadata() const;
  // The stored checksum is the payload's.
  Status verify_payload_crc32() const;

  friend bool operator==(const CheckpointEnvelope&, const CheckpointEnvelope&) = default;
};

// CRC-32 of IEEE 802.3 and zlib, over any number of bytes.
std::uint32_t checkpoint_crc32(std::span<const std::uint8_t> bytes) noexcept;

// The schema-version rule of validate_metadata alone.
Status validate_checkpoint_state_schema_version(std::uint32_t version);

// "ovrel-online/0.1.0/{os}-{arch}" of this build.
std::string checkpoint_engine_fingerprint();

// Wall-clock nanoseconds since the epoch (resource limit before the epoch or beyond INT64_MAX).
Result<std::int64_t> now_unix_ns();

// The compact JSON text, after validate_metadata and verify_payload_crc32.
Result<std::string> encode_checkpoint_envelope(const CheckpointEnvelope& envelope);

// Reads an envelope of either version (version 0 through the legacy reader) and returns it with
// its metadata and checksum verified.
Result<CheckpointEnvelope> decode_checkpoint_envelope(std::string_view text);

// The checkpoint operations of each detector, overloaded on the detector so that code generic
// over the detector type calls one name.

// Savers: a copy of the detector's state, encoded by `codec`, in a verified envelope.
Result<CheckpointEnvelope> save_checkpoint(const online::BocpdDetector& detector,
                                           PayloadCodec codec);
Result<CheckpointEnvelope> save_checkpoint(const online::CusumDetector& detector,
                                           PayloadCodec codec);
Result<CheckpointEnvelope> save_checkpoint(const online::PageHinkleyDetector& detector,
                                           PayloadCodec codec);

// The same, encoded and written to `path` atomically.
Status save_checkpoint_file(const online::BocpdDetector& detector,
                            const std::filesystem::path& path, PayloadCodec codec);
Status save_checkpoint_file(const online::CusumDetector& detector,
                            const std::filesystem::path& path, PayloadCodec codec);
Status save_checkpoint_file(const online::PageHinkleyDetector& detector,
                            const std::filesystem::path& path, PayloadCodec codec);

// Loaders: the detector's state is replaced only when every check has passed. A BOCPD loader also
// refuses a pending value its detector's observation model refuses (it could never drain).
Status load_checkpoint(online::BocpdDetector& detector, const CheckpointEnvelope& envelope);
Status load_checkpoint(online::CusumDetector& detector, const CheckpointEnvelope& envelope);
Status load_checkpoint(online::PageHinkleyDetector& detector, const CheckpointEnvelope& envelope);
Status load_checkpoint_file(online::BocpdDetector& detector, const std::filesystem::path& path);
Status load_checkpoint_file(online::CusumDetector& detector, const std::filesystem::path& path);
Status load_checkpoint_file(online::PageHinkleyDetector& detector,
                            const std::filesystem::path& path);

// A BOCPD state as stored, neither installed nor validated (no "alert_gate" gives the reader's
// default gate).
Result<online::BocpdState> load_state_from_checkpoint_envelope(
    const CheckpointEnvelope& envelope, std::string_view expected_detector_id);
Result<online::BocpdState> load_state_from_checkpoint_file(const std::filesystem::path& path,
                                                           std::string_view expected_detector_id);

// The file read once, then decode_checkpoint_envelope. A caller with checks of its own (the
// model check of a BOCPD load) reads a file once with this and runs the envelope operations
// (load_state_from_checkpoint_envelope, then load_checkpoint) on the one envelope: reading
// the file twice would let a file swapped in between slip past the check. Anything but a regular
// file (a FIFO, a device, a directory), and a file larger than `size_limit` (the loading
// detector's checkpoint_size_limit), is refused before a byte is read.
Result<CheckpointEnvelope> read_checkpoint_file(
    const std::filesystem::path& path,
    std::uint64_t size_limit = std::numeric_limits<std::uint64_t>::max());

// The largest checkpoint text a detector loads, in bytes: four times the envelope text of the
// largest state it could hold (for BOCPD max_run_length + 1 run lengths, and max_buffer_items
// pending events), every number at its longest and the payload in the "json" form, written out at
// four characters a byte, plus 64 MiB. A state saved by a detector with larger bounds loads when
// its checkpoint is within this size.
std::uint64_t checkpoint_size_limit(const online::BocpdDetector& detector);
std::uint64_t checkpoint_size_limit(const online::CusumDetector& detector);
std::uint64_t checkpoint_size_limit(const online::PageHinkleyDetector& detector);

// InvalidInput "checkpoint of {size} bytes is too large to read; the largest checkpoint this
// detector can load is about {limit} bytes" when `size` exceeds `limit`: the same limit for a
// checkpoint given as bytes.
Status check_checkpoint_size(std::uint64_t size, std::uint64_t limit);

// Temporary file ".tmpXXXXXX" in the target's directory (created exclusively, mode 0600), the
// whole text written, flushed, renamed over the target, then the directory flushed. The target is
// `path`, or the final target of the symbolic links `path` names. The temporary file is removed on
// every failure before the rename; a failed directory flush is reported although the file has
// been replaced. A path holding a NUL byte, or whose target exists and is not a regular file, is
// refused before anything is touched.
Status write_checkpoint_file_atomic(const std::filesystem::path& path, std::string_view bytes);
Status sync_parent_directory(const std::filesystem::path& directory);

// Resource limit "{message} '{path}': {system_error}" (invalid UTF-8 of the path replaced).
OvrelError io_resource_error(std::string_view message, const std::filesystem::path& path,
                             std::string_view system_error);

}  // namespace ovrel::checkpoint
