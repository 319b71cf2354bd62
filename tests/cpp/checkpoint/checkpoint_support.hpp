#pragma once

// What the checkpoint tests share beyond the online tests' helpers: the checkpoint functions of
// each detector, a fixed stream with late events, and file helpers.

#include <filesystem>
#include <span>

#include "online/online_test_support.hpp"
#include "ovrel/checkpoint/checkpoint.hpp"
#include "ovrel/checkpoint/state_wire.hpp"
#include "ovrel/core/json_text.hpp"

namespace ovrel::checkpoint {

// The online detectors and states whose checkpoints the tests write and read.
using online::BernoulliBeta;
using online::BernoulliStats;
using online::BocpdConfig;
using online::BocpdDetector;
using online::BocpdState;
using online::CusumConfig;
using online::CusumDetector;
using online::CusumState;
using online::GaussianNig;
using online::GaussianStats;
using online::LateDataPolicy;
using online::ObservationModel;
using online::OverflowPolicy;
using online::PageHinkleyConfig;
using online::PageHinkleyDetector;
using online::PageHinkleyState;
using online::PoissonGamma;
using online::PoissonStats;

}  // namespace ovrel::checkpoint

namespace ovrel::checkpoint::testing {

using online::testing::Detectors;
using online::testing::step;
using online::testing::steps;

inline std::filesystem::path data_dir() { return OVREL_CHECKPOINT_DATA_DIR; }

inline std::vector<std::uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }
inline std::string text_of(std::span<const std::uint8_t> b) { return {b.begin(), b.end()}; }

// Late data that buffers and reorders, so saved states carry pending events and counters.
inline LateDataPolicy buffering_policy() {
  return LateDataPolicy::reorder_by_timestamp(10'000, 3, OverflowPolicy::DropOldest);
}

// One observation of the fixed stream: a level shift at step 40, every seventh event late.
struct Event {
  double x;
  std::int64_t t_ns;
};
inline Event stream_event(std::uint64_t i) {
  const double level = i >= 40 ? 4.0 : 0.0;
  const double x = level + static_cast<double>((i * 7) % 11) * 0.25 - 1.0;
  const auto base = static_cast<std::int64_t>(i) * 1000;
  return {x, i % 7 == 6 ? base - 2500 : base};
}

// The three detectors behind one face: the checkpoint functions of each, and a configuration
// with every part of its state in play.
template <class D>
struct Kit;

#define OVREL_CHECKPOINT_KIT(D, id, ...)                                            \
  template <>                                                                       \
  struct Kit<D> {                                                                   \
    static constexpr std::string_view kId = #id;                                    \
    static D make() { return D::create(__VA_ARGS__).value(); }                      \
    static auto save(auto&&... a) { return save_checkpoint(a...); }                 \
    static auto load(auto&&... a) { return load_checkpoint(a...); }                 \
    static auto save_file(auto&&... a) { return save_checkpoint_file(a...); }       \
    static auto load_file(auto&&... a) { return load_checkpoint_file(a...); }       \
    static auto from_json(auto&&... a) { return id##_state_from_json(a...); }       \
    static auto from_bincode(auto&&... a) { return id##_state_from_bincode(a...); } \
  };
OVREL_CHECKPOINT_KIT(BocpdDetector, bocpd,
                     {.late_data_policy = buffering_policy(),
                      .max_run_length = 60,
                      .alert_policy = {0.3, 0.05, 2, 1}})
OVREL_CHECKPOINT_KIT(CusumDetector, cusum, {0.25, 6.0, 0.0, {0.9, 0.2, 3, 2}, buffering_policy()})
OVREL_CHECKPOINT_KIT(PageHinkleyDetector, page_hinkley,
                     {0.05, 5.0, 0.0, {0.8, 0.1, 0, 3}, buffering_policy()})
#undef OVREL_CHECKPOINT_KIT

// Feeds stream events [from, to); a step the late-data machine refuses is part of the stream too.
template <class D>
std::vector<Result<core::OnlineStepResult>> feed(D& detector, std::uint64_t from,
                                                 std::uint64_t to) {
  std::vector<Result<core::OnlineStepResult>> out;
  for (std::uint64_t i = from; i < to; ++i)
    out.push_back(step(detector, stream_event(i).x, stream_event(i).t_ns));
  return out;
}

// A BOCPD checkpoint of the current engine whose json payload is the text.
inline CheckpointEnvelope bocpd_json_envelope(std::string_view payload) {
  CheckpointEnvelope e;
  e.detector_id = "bocpd";
  e.engine_fingerprint = checkpoint_engine_fingerprint();
  e.payload_codec = PayloadCodec::Json;
  e.payload = bytes_of(payload);
  e.payload_crc32 = checkpoint_crc32(e.payload);
  return e;
}

// The golden state of each detector: the fixed stream's first 49 events (pending events, a
// watermark, counters and a last alert all present).
inline constexpr std::uint64_t kGoldenSteps = 49;

// A fresh directory under the system's temporary directory, removed with its contents.
struct ScratchDir {
  std::filesystem::path path = [] {
    std::string p = (std::filesystem::temp_directory_path() / "ovrel-ckpt-XXXXXX").string();
    if (mkdtemp(p.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return p;
  }();
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

}  // namespace ovrel::checkpoint::testing
