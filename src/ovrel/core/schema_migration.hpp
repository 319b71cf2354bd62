#pragma once

// The JSON document of an offline result: wire records, writer, strict reader, and the
// conversion into a runtime result with its schema-version check.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "ovrel/core/diagnostics.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/json_text.hpp"
#include "ovrel/core/results.hpp"

namespace ovrel::core {

inline constexpr std::uint32_t kMinSupportedSchemaVersion = 1;
inline constexpr std::uint32_t kMaxSupportedSchemaVersion = 2;
inline constexpr const char* kSchemaMigrationGuide = "ovrel/docs/templates/schema_migration.md";

struct DiagnosticsWire {
  Diagnostics diagnostics;
  ExtraKeys extra;

  struct RuntimeParts {
    Diagnostics diagnostics;
    ExtraKeys extra;
  };
  // Accepts schema versions 1 and 2 (kept as read); refuses every other with the migration text.
  Result<RuntimeParts> into_runtime_parts() &&;

  friend bool operator==(const DiagnosticsWire&, const DiagnosticsWire&) = default;
};

struct OfflineChangePointResultWire {
  std::vector<std::uint64_t> breakpoints;
  std::vector<std::uint64_t> change_points;
  std::optional<std::vector<double>> scores;
  std::optional<std::vector<SegmentStats>> segments;
  DiagnosticsWire diagnostics;
  ExtraKeys extra;

  // The wire form of a runtime result, with the extra keys its holder was given when it was read.
  static OfflineChangePointResultWire from_runtime(OfflineChangePointResult result,
                                                   ExtraKeys extra = {},
                                                   ExtraKeys diagnostics_extra = {});

  // Reads one document. Failures are InvalidInput carrying the reader's description, which ends
  // with " at line {} column {}" ("missing field `n`", "duplicate field `d`", ...).
  static Result<OfflineChangePointResultWire> from_json(std::string_view text);

  // The compact document; cannot fail.
  std::string to_json() const;

  struct RuntimeParts {
    OfflineChangePointResult result;
    ExtraKeys extra;
    ExtraKeys diagnostics_extra;
  };
  // Schema-version check, then OfflineChangePointResult::validate against diagnostics.n.
  Result<RuntimeParts> into_runtime_parts() &&;

  friend bool operator==(const OfflineChangePointResultWire&,
                         const OfflineChangePointResultWire&) = default;
};

// Compact JSON forms of the nested records, in their fixed key orders.
void append_json(std::string& out, const PruningStats& stats);
void append_json(std::string& out, const BuildInfo& build);
void append_json(std::string& out, const SegmentStats& segment);
void append_json(std::string& out, const Diagnostics& diagnostics, const ExtraKeys& extra = {});
std::string to_json(const PruningStats& stats);
std::string to_json(const BuildInfo& build);
std::string to_json(const SegmentStats& segment);
std::string to_json(const Diagnostics& diagnostics, const ExtraKeys& extra = {});

}  // namespace ovrel::core
