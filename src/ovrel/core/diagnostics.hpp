#pragma once

// What a detection tells about itself beside its breakpoints: shape, algorithm, mode, run time,
// notes and warnings, pruning counters and the build of the engine.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ovrel/core/repro.hpp"

namespace ovrel::core {

struct PruningStats {
  std::uint64_t candidates_considered = 0;
  std::uint64_t candidates_pruned = 0;

  friend bool operator==(const PruningStats&, const PruningStats&) = default;
};

// Every field is optional; an absent field has no key at all in the JSON form.
struct BuildInfo {
  std::optional<std::string> git_sha;
  std::optional<bool> git_dirty;
  // The compiler's version line; the name is the wire key.
  std::optional<std::string> rustc_version;
  std::optional<std::string> target_triple;
  std::optional<std::string> profile;
  std::optional<std::vector<std::string>> features;
  std::optional<std::string> abi;

  // The facts fixed when the engine was configured and built; reads nothing at run time.
  static BuildInfo from_compile_time_env();
  // True when all seven fields are absent.
  bool is_empty() const;

  friend bool operator==(const BuildInfo&, const BuildInfo&) = default;
};

inline constexpr std::uint32_t kDiagnosticsSchemaVersion = 1;
// The engine version the diagnostics carry: fixed by the result format, not the package version.
inline constexpr const char* kDiagnosticsEngineVersion = "0.1.0";

// Constructed with the defaults every detector starts from (kDiagnosticsEngineVersion, schema 1,
// Balanced, build from the compile-time facts); detectors then set what they know.
struct Diagnostics {
  std::uint64_t n = 0;
  std::uint64_t d = 0;
  std::uint32_t schema_version = kDiagnosticsSchemaVersion;
  std::optional<std::string> engine_version = std::string(kDiagnosticsEngineVersion);
  std::optional<std::uint64_t> runtime_ms;
  std::vector<std::string> notes;
  std::vector<std::string> warnings;
  std::string algorithm;
  std::string cost_model;
  std::optional<std::uint64_t> seed;
  ReproMode repro_mode = kDefaultReproMode;
  std::optional<std::uint64_t> thread_count;
  std::optional<std::string> blas_backend;
  std::optional<std::vector<std::string>> cpu_features;
  std::optional<BuildInfo> build = BuildInfo::from_compile_time_env();
  // A free JSON value as its canonical compact text (core::canonical_json_text): objects keyed in
  // ascending byte order, numbers keeping their integer or float kind. Written into documents as
  // is, so it must be canonical text, never arbitrary input.
  std::optional<std::string> params_json;
  std::optional<PruningStats> pruning_stats;
  std::optional<std::string> missing_policy_applied;
  std::optional<double> missing_fraction;
  std::optional<std::uint64_t> effective_sample_count;

  friend bool operator==(const Diagnostics&, const Diagnostics&) = default;
};

// Merges an embedding layer's build features and ABI tag into diagnostics.build. Blank entries
// (after trimming) are ignored; the rest are sorted bytewise and deduplicated. The build stays
// absent when nothing at all is known about it.
void enrich_diagnostics_build(Diagnostics& diagnostics,
                              const std::optional<std::vector<std::string>>& features,
                              const std::optional<std::string>& abi);

}  // namespace ovrel::core
