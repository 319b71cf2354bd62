#include "ovrel/core/diagnostics.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

#include "ovrel/build_config.hpp"

namespace ovrel::core {
namespace {

// Blank means empty or only white space (the ASCII set and the Unicode spaces a build tool or a
// caller could plausibly produce).
bool is_blank(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) {
      ++i;
      continue;
    }
    // U+0085, U+00A0 (two bytes) and U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F,
    // U+3000 (three bytes).
    if (c == 0xC2 && i + 1 < text.size()) {
      const auto c1 = static_cast<unsigned char>(text[i + 1]);
      if (c1 == 0x85 || c1 == 0xA0) {
        i += 2;
        continue;
      }
      return false;
    }
    if (i + 2 < text.size()) {
      const auto c1 = static_cast<unsigned char>(text[i + 1]);
      const auto c2 = static_cast<unsigned char>(text[i + 2]);
      const bool space = (c == 0xE1 && c1 == 0x9A && c2 == 0x80) ||
                         (c == 0xE2 && c1 == 0x80 &&
                          ((c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF)) ||
                         (c == 0xE2 && c1 == 0x81 && c2 == 0x9F) ||
                         (c == 0xE3 && c1 == 0x80 && c2 == 0x80);
      if (space) {
        i += 3;
        continue;
      }
    }
    return false;
  }
  return true;
}

std::optional<std::string> unless_blank(const char* text) {
  if (is_blank(text)) return std::nullopt;
  return std::string(text);
}

}  // namespace

BuildInfo BuildInfo::from_compile_time_env() {
  BuildInfo info;
  info.git_sha = unless_blank(OVREL_BUILD_GIT_SHA);
  info.git_dirty = false;
  info.rustc_version = unless_blank(OVREL_BUILD_COMPILER_VERSION);
  info.target_triple = unless_blank(OVREL_BUILD_TARGET_TRIPLE);
  info.profile = unless_blank(OVREL_BUILD_PROFILE);
  return info;
}

bool BuildInfo::is_empty() const {
  return !git_sha && !git_dirty && !rustc_version && !target_triple && !profile && !features &&
         !abi;
}

void enrich_diagnostics_build(Diagnostics& diagnostics,
                              const std::optional<std::vector<std::string>>& features,
                              const std::optional<std::string>& abi) {
  BuildInfo build =
      diagnostics.build ? std::move(*diagnostics.build) : BuildInfo::from_compile_time_env();
  diagnostics.build.reset();

  if (features) {
    std::vector<std::string> kept;
    kept.reserve(features->size());
    for (const std::string& f : *features) {
      if (!is_blank(f)) kept.push_back(f);
    }
    std::sort(kept.begin(), kept.end());
    kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
    if (!kept.empty()) build.features = std::move(kept);
  }
  if (abi && !is_blank(*abi)) build.abi = *abi;

  if (!build.is_empty()) diagnostics.build = std::move(build);
}

}  // namespace ovrel::core
