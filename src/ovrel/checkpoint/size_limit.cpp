// How large a checkpoint a detector reads: the text of the largest state it could hold, in the
// least compact form the engine writes, with a generous margin. A file or byte string beyond that
// is refused before it is read or parsed.

#include <algorithm>
#include <cstdint>
#include <limits>

#include "ovrel/checkpoint/checkpoint.hpp"
#include "ovrel/checkpoint/state_wire.hpp"
#include "ovrel/core/json_text.hpp"
#include "ovrel/core/text.hpp"

namespace ovrel::checkpoint {

using core::cat;

namespace {

// The longest texts numbers take in a "json" payload: 20 characters for 2^64 - 1 and for -2^63,
// 24 for a double such as this one (17 significant digits, both signs, a three-digit exponent).
constexpr std::uint64_t kLongestU64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::int64_t kLongestI64 = std::numeric_limits<std::int64_t>::min();
constexpr double kLongestF64 = -2.2250738585072014e-308;

// An envelope writes each payload byte as up to three digits and a comma.
constexpr std::uint64_t kTextPerPayloadByte = 4;

// The margin: four times the largest compact text, so that a checkpoint re-indented by a JSON tool
// still loads, and 64 MiB more, so that a state saved by a detector with somewhat larger bounds
// does too. Whatever is within the limit costs a load a small multiple of its text.
constexpr std::uint64_t kMarginFactor = 4;
constexpr std::uint64_t kMarginBytes = std::uint64_t{64} << 20;

std::uint64_t add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out = 0;
  return __builtin_add_overflow(a, b, &out) ? kLongestU64 : out;
}

std::uint64_t mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out = 0;
  return __builtin_mul_overflow(a, b, &out) ? kLongestU64 : out;
}

// A payload's size in its larger form ("json" holds every double here, all finite).
template <class S>
std::uint64_t payload_size(const S& state) {
  const Result<std::string> json = state_to_json(state);
  return std::max<std::uint64_t>(json ? json->size() : 0, bincode_size(state));
}

// The fields every state has, each at its longest.
template <class S>
void fill_common(S& s) {
  s.t = kLongestU64;
  s.watermark_ns = kLongestI64;
  s.late_data = {kLongestU64, kLongestU64, kLongestU64, kLongestU64, kLongestU64, kLongestU64};
  s.next_arrival_seq = kLongestU64;
  s.alert_gate.policy = {.threshold = kLongestF64,
                         .hysteresis = kLongestF64,
                         .cooldown_steps = kLongestU64,
                         .min_run_length = kLongestU64};
  s.alert_gate.armed = false;
  s.alert_gate.last_alert_t = kLongestU64;
}

constexpr online::PendingEvent kLongestEvent{kLongestF64, kLongestI64, kLongestU64};

// A payload as a fixed part and a size per run length and per pending event.
struct PayloadShape {
  std::uint64_t fixed = 0;
  std::uint64_t per_run = 0;
  std::uint64_t per_event = 0;
};

// Measured on states of no run length or one, no pending event or one. `state` holds the fields
// of its kind at their longest.
template <class S, class AddRun>
PayloadShape measure(S state, AddRun add_run) {
  fill_common(state);
  PayloadShape shape;
  shape.fixed = payload_size(state);
  S with_event = state;
  with_event.pending_events.push_back(kLongestEvent);
  shape.per_event = payload_size(with_event) - shape.fixed;
  if (add_run(state)) shape.per_run = payload_size(state) - shape.fixed;
  return shape;
}

const PayloadShape& bocpd_shape() {
  static const PayloadShape shape = measure(online::BocpdState{}, [](online::BocpdState& s) {
    // The Gaussian statistics are the longest of the three models'.
    s.log_run_probs.push_back(kLongestF64);
    s.run_stats.push_back(online::GaussianStats{kLongestU64, kLongestF64, kLongestF64});
    return true;
  });
  return shape;
}

const PayloadShape& cusum_shape() {
  static const PayloadShape shape = [] {
    online::CusumState longest;
    longest.score = kLongestF64;
    longest.steps_since_alert = kLongestU64;
    return measure(longest, [](online::CusumState&) { return false; });
  }();
  return shape;
}

const PayloadShape& page_hinkley_shape() {
  static const PayloadShape shape = [] {
    online::PageHinkleyState longest;
    longest.n = kLongestU64;
    longest.running_mean = kLongestF64;
    longest.cumulative_sum = kLongestF64;
    longest.cumulative_min = kLongestF64;
    longest.steps_since_alert = kLongestU64;
    return measure(longest, [](online::PageHinkleyState&) { return false; });
  }();
  return shape;
}

// The envelope around a payload of no bytes, its numbers at their longest.
std::uint64_t envelope_overhead(std::string_view detector_id) {
  CheckpointEnvelope envelope;
  envelope.detector_id = std::string(detector_id);
  envelope.engine_fingerprint = checkpoint_engine_fingerprint();
  envelope.created_at_ns = std::numeric_limits<std::int64_t>::max();
  envelope.payload_codec = PayloadCodec::Bincode;
  envelope.payload_crc32 = checkpoint_crc32({});
  const Result<std::string> text = encode_checkpoint_envelope(envelope);
  // The checksum of an empty payload is written "0"; others take up to ten digits.
  return text ? text->size() + 9 : 0;
}

std::uint64_t limit_of(std::string_view detector_id, const PayloadShape& shape, std::uint64_t runs,
                       std::uint64_t events) {
  const std::uint64_t payload =
      add(shape.fixed, add(mul(runs, shape.per_run), mul(events, shape.per_event)));
  const std::uint64_t text = add(envelope_overhead(detector_id), mul(kTextPerPayloadByte, payload));
  return add(mul(kMarginFactor, text), kMarginBytes);
}

}  // namespace

std::uint64_t checkpoint_size_limit(const online::BocpdDetector& detector) {
  const online::BocpdConfig& config = detector.config();
  return limit_of("bocpd", bocpd_shape(), add(config.max_run_length, 1),
                  config.late_data_policy.max_buffer_items);
}

std::uint64_t checkpoint_size_limit(const online::CusumDetector& detector) {
  return limit_of("cusum", cusum_shape(), 0, detector.config().late_data_policy.max_buffer_items);
}

std::uint64_t checkpoint_size_limit(const online::PageHinkleyDetector& detector) {
  return limit_of("page_hinkley", page_hinkley_shape(), 0,
                  detector.config().late_data_policy.max_buffer_items);
}

Status check_checkpoint_size(std::uint64_t size, std::uint64_t limit) {
  if (size <= limit) return {};
  return core::invalid_input(cat("checkpoint of ", size,
                                 " bytes is too large to read; the largest checkpoint this "
                                 "detector can load is about ",
                                 limit, " bytes"));
}

}  // namespace ovrel::checkpoint
