#pragma once

// What the checkpoint tests share: the three detectors behind one face, a fixed stream with late
// events, and file helpers.

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ovrel/core/constraints.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/json_text.hpp"
#include "ovrel/online/checkpoint.hpp"
#include "ovrel/online/state_wire.hpp"

namespace ovrel::online::testing {

inline std::filesystem::path data_dir() { return OVREL_CHECKPOINT_DATA_DIR; }

inline std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<std::uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }
inline std::string text_of(std::span<const std::uint8_t> b) { return {b.begin(), b.end()}; }

inline const core::ExecutionContext& context() {
  static const core::Constraints constraints;
  static const core::ExecutionContext ctx(constraints);
  return ctx;
}

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

// The three detectors behind one face.
template <class D>
struct Kit;

template <>
struct Kit<BocpdDetector> {
  static constexpr std::string_view kId = "bocpd";
  static BocpdDetector make() {
    BocpdConfig config;
    config.max_run_length = 60;
    config.late_data_policy = buffering_policy();
    config.alert_policy = {0.3, 0.05, 2, 1};
    return BocpdDetector::create(config).value();
  }
  static auto save(const BocpdDetector& d, PayloadCodec c) { return save_bocpd_checkpoint(d, c); }
  static auto load(BocpdDetector& d, const CheckpointEnvelope& e) {
    return load_bocpd_checkpoint(d, e);
  }
  static auto save_file(const BocpdDetector& d, const std::filesystem::path& p, PayloadCodec c) {
    return save_bocpd_checkpoint_file(d, p, c);
  }
  static auto load_file(BocpdDetector& d, const std::filesystem::path& p) {
    return load_bocpd_checkpoint_file(d, p);
  }
  static auto from_json(const core::JsonNode& n) { return bocpd_state_from_json(n); }
  static auto from_bincode(std::span<const std::uint8_t> b) { return bocpd_state_from_bincode(b); }
};

template <>
struct Kit<CusumDetector> {
  static constexpr std::string_view kId = "cusum";
  static CusumDetector make() {
    CusumConfig config;
    config.drift = 0.25;
    config.threshold = 6.0;
    config.alert_policy = {0.9, 0.2, 3, 2};
    config.late_data_policy = buffering_policy();
    return CusumDetector::create(config).value();
  }
  static auto save(const CusumDetector& d, PayloadCodec c) { return save_cusum_checkpoint(d, c); }
  static auto load(CusumDetector& d, const CheckpointEnvelope& e) {
    return load_cusum_checkpoint(d, e);
  }
  static auto save_file(const CusumDetector& d, const std::filesystem::path& p, PayloadCodec c) {
    return save_cusum_checkpoint_file(d, p, c);
  }
  static auto load_file(CusumDetector& d, const std::filesystem::path& p) {
    return load_cusum_checkpoint_file(d, p);
  }
  static auto from_json(const core::JsonNode& n) { return cusum_state_from_json(n); }
  static auto from_bincode(std::span<const std::uint8_t> b) { return cusum_state_from_bincode(b); }
};

template <>
struct Kit<PageHinkleyDetector> {
  static constexpr std::string_view kId = "page_hinkley";
  static PageHinkleyDetector make() {
    PageHinkleyConfig config;
    config.delta = 0.05;
    config.threshold = 5.0;
    config.alert_policy = {0.8, 0.1, 0, 3};
    config.late_data_policy = buffering_policy();
    return PageHinkleyDetector::create(config).value();
  }
  static auto save(const PageHinkleyDetector& d, PayloadCodec c) {
    return save_page_hinkley_checkpoint(d, c);
  }
  static auto load(PageHinkleyDetector& d, const CheckpointEnvelope& e) {
    return load_page_hinkley_checkpoint(d, e);
  }
  static auto save_file(const PageHinkleyDetector& d, const std::filesystem::path& p,
                        PayloadCodec c) {
    return save_page_hinkley_checkpoint_file(d, p, c);
  }
  static auto load_file(PageHinkleyDetector& d, const std::filesystem::path& p) {
    return load_page_hinkley_checkpoint_file(d, p);
  }
  static auto from_json(const core::JsonNode& n) { return page_hinkley_state_from_json(n); }
  static auto from_bincode(std::span<const std::uint8_t> b) {
    return page_hinkley_state_from_bincode(b);
  }
};

// Feeds stream events [from, to); a step the late-data machine refuses is part of the stream too.
template <class D>
std::vector<Result<core::OnlineStepResult>> feed(D& detector, std::uint64_t from,
                                                 std::uint64_t to) {
  std::vector<Result<core::OnlineStepResult>> out;
  for (std::uint64_t i = from; i < to; ++i) {
    const Event e = stream_event(i);
    const double x[1] = {e.x};
    out.push_back(detector.update(x, e.t_ns, context()));
  }
  return out;
}

// The golden state of each detector: the fixed stream's first 49 events (pending events, a
// watermark, counters and a last alert all present).
inline constexpr std::uint64_t kGoldenSteps = 49;

// A fresh directory under the system's temporary directory, removed with its contents.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ovrel-ckpt-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace ovrel::online::testing
