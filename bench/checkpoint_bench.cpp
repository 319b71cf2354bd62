// Times saving and loading a BOCPD state at max_run_length 2000 (2001 runs, no pruning) in both
// payload codecs: the payload alone (encode, decode) and the whole checkpoint (state to envelope
// text, envelope text to an installed state), in microseconds (median of the repetitions).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "ovrel/checkpoint/checkpoint.hpp"
#include "ovrel/checkpoint/state_wire.hpp"
#include "ovrel/core/constraints.hpp"
#include "ovrel/core/execution_context.hpp"
#include "ovrel/core/json_text.hpp"

namespace {

using namespace ovrel::online;
using namespace ovrel::checkpoint;
using Clock = std::chrono::steady_clock;

template <class T>
T must(ovrel::Result<T> r) {
  if (!r) {
    std::fprintf(stderr, "failed: %s\n", r.error().display().c_str());
    std::exit(1);
  }
  return std::move(*r);
}

double median_us(int repeats, const std::function<void()>& body) {
  std::vector<double> times;
  for (int i = 0; i < repeats; ++i) {
    const auto t0 = Clock::now();
    body();
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main() {
  BocpdConfig config;
  config.max_run_length = 2000;
  config.log_prob_threshold.reset();
  BocpdDetector detector = must(BocpdDetector::create(config));
  const ovrel::core::Constraints constraints;
  const ovrel::core::ExecutionContext ctx(constraints);
  for (int i = 0; i < 2100; ++i) {
    const double x[1] = {static_cast<double>((i * 37) % 101) / 25.0};
    must(detector.update(x, std::nullopt, ctx));
  }
  std::printf("BOCPD state: %zu runs\n\n", detector.state().log_run_probs.size());
  std::printf(
      "| codec | payload bytes | envelope bytes | encode us | decode us | save us | load us |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  constexpr int kRepeats = 31;
  for (PayloadCodec codec : {PayloadCodec::Json, PayloadCodec::Bincode}) {
    std::vector<std::uint8_t> payload;
    const double encode = median_us(kRepeats, [&] {
      if (codec == PayloadCodec::Json) {
        const std::string text = must(state_to_json(detector.state()));
        payload.assign(text.begin(), text.end());
      } else {
        payload = state_to_bincode(detector.state());
      }
    });
    const double decode = median_us(kRepeats, [&] {
      if (codec == PayloadCodec::Json) {
        const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
        must(bocpd_state_from_json(must(ovrel::core::parse_json_document(text))));
      } else {
        must(bocpd_state_from_bincode(payload));
      }
    });
    std::string envelope;
    const double save = median_us(kRepeats, [&] {
      envelope = must(encode_checkpoint_envelope(must(save_checkpoint(detector, codec))));
    });
    BocpdDetector target = must(BocpdDetector::create(config));
    const double load = median_us(kRepeats, [&] {
      const auto status = load_checkpoint(target, must(decode_checkpoint_envelope(envelope)));
      if (!status) std::exit(1);
    });
    std::printf("| %s | %zu | %zu | %.0f | %.0f | %.0f | %.0f |\n",
                std::string(payload_codec_name(codec)).c_str(), payload.size(), envelope.size(),
                encode, decode, save, load);
  }
  return 0;
}
