#include "ovrel/core/schema_migration.hpp"

#include <array>
#include <optional>
#include <string_view>
#include <utility>

#include "ovrel/core/json_text.hpp"
#include "ovrel/core/text.hpp"

namespace ovrel::core {

// ---------------------------------------------------------------------------------------------
// Writing

namespace {

class ObjectWriter {
 public:
  explicit ObjectWriter(std::string& out) : out_(out) { out_.push_back('{'); }
  ~ObjectWriter() { out_.push_back('}'); }
  ObjectWriter(const ObjectWriter&) = delete;
  ObjectWriter& operator=(const ObjectWriter&) = delete;

  std::string& key(std::string_view name) {
    if (!first_) out_.push_back(',');
    first_ = false;
    append_json_string(out_, name);
    out_.push_back(':');
    return out_;
  }

 private:
  std::string& out_;
  bool first_ = true;
};

void append_u64(std::string& out, std::uint64_t v) { out.append(std::to_string(v)); }

void append_opt_u64(std::string& out, const std::optional<std::uint64_t>& v) {
  if (v) {
    append_u64(out, *v);
  } else {
    out.append("null");
  }
}

void append_opt_text(std::string& out, const std::optional<std::string>& v) {
  if (v) {
    append_json_string(out, *v);
  } else {
    out.append("null");
  }
}

template <class T, class F>
void append_list(std::string& out, const std::vector<T>& items, F&& append_item) {
  out.push_back('[');
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out.push_back(',');
    append_item(out, items[i]);
  }
  out.push_back(']');
}

void append_text_list(std::string& out, const std::vector<std::string>& items) {
  append_list(out, items, [](std::string& o, const std::string& s) { append_json_string(o, s); });
}

void append_f64_list(std::string& out, const std::vector<double>& items) {
  append_list(out, items, [](std::string& o, double v) { append_json_f64(o, v); });
}

template <class T>
void append_u64_list(std::string& out, const std::vector<T>& items) {
  append_list(out, items, [](std::string& o, T v) { append_u64(o, v); });
}

void append_extra(ObjectWriter& w, const ExtraKeys& extra) {
  for (const auto& [name, value] : extra) append_json_value(w.key(name), value);
}

}  // namespace

void append_json(std::string& out, const PruningStats& stats) {
  ObjectWriter w(out);
  append_u64(w.key("candidates_considered"), stats.candidates_considered);
  append_u64(w.key("candidates_pruned"), stats.candidates_pruned);
}

void append_json(std::string& out, const BuildInfo& build) {
  ObjectWriter w(out);
  if (build.git_sha) append_json_string(w.key("git_sha"), *build.git_sha);
  if (build.git_dirty) w.key("git_dirty").append(*build.git_dirty ? "true" : "false");
  if (build.rustc_version) append_json_string(w.key("rustc_version"), *build.rustc_version);
  if (build.target_triple) append_json_string(w.key("target_triple"), *build.target_triple);
  if (build.profile) append_json_string(w.key("profile"), *build.profile);
  if (build.features) append_text_list(w.key("features"), *build.features);
  if (build.abi) append_json_string(w.key("abi"), *build.abi);
}

void append_json(std::string& out, const SegmentStats& segment) {
  ObjectWriter w(out);
  append_u64(w.key("start"), segment.start);
  append_u64(w.key("end"), segment.end);
  if (segment.mean) {
    append_f64_list(w.key("mean"), *segment.mean);
  } else {
    w.key("mean").append("null");
  }
  if (segment.variance) {
    append_f64_list(w.key("variance"), *segment.variance);
  } else {
    w.key("variance").append("null");
  }
  append_u64(w.key("count"), segment.count);
  append_u64(w.key("missing_count"), segment.missing_count);
}

void append_json(std::string& out, const Diagnostics& dg, const ExtraKeys& extra) {
  ObjectWriter w(out);
  append_u64(w.key("n"), dg.n);
  append_u64(w.key("d"), dg.d);
  append_u64(w.key("schema_version"), dg.schema_version);
  append_opt_text(w.key("engine_version"), dg.engine_version);
  append_opt_u64(w.key("runtime_ms"), dg.runtime_ms);
  append_text_list(w.key("notes"), dg.notes);
  append_text_list(w.key("warnings"), dg.warnings);
  append_json_string(w.key("algorithm"), dg.algorithm);
  append_json_string(w.key("cost_model"), dg.cost_model);
  append_opt_u64(w.key("seed"), dg.seed);
  append_json_string(w.key("repro_mode"), repro_mode_name(dg.repro_mode));
  append_opt_u64(w.key("thread_count"), dg.thread_count);
  append_opt_text(w.key("blas_backend"), dg.blas_backend);
  if (dg.cpu_features) {
    append_text_list(w.key("cpu_features"), *dg.cpu_features);
  } else {
    w.key("cpu_features").append("null");
  }
  if (dg.build) append_json(w.key("build"), *dg.build);
  if (dg.params_json) {
    w.key("params_json").append(*dg.params_json);
  } else {
    w.key("params_json").append("null");
  }
  if (dg.pruning_stats) {
    append_json(w.key("pruning_stats"), *dg.pruning_stats);
  } else {
    w.key("pruning_stats").append("null");
  }
  append_opt_text(w.key("missing_policy_applied"), dg.missing_policy_applied);
  if (dg.missing_fraction) {
    append_json_f64(w.key("missing_fraction"), *dg.missing_fraction);
  } else {
    w.key("missing_fraction").append("null");
  }
  append_opt_u64(w.key("effective_sample_count"), dg.effective_sample_count);
  append_extra(w, extra);
}

std::string to_json(const PruningStats& stats) {
  std::string out;
  append_json(out, stats);
  return out;
}
std::string to_json(const BuildInfo& build) {
  std::string out;
  append_json(out, build);
  return out;
}
std::string to_json(const SegmentStats& segment) {
  std::string out;
  append_json(out, segment);
  return out;
}
std::string to_json(const Diagnostics& diagnostics, const ExtraKeys& extra) {
  std::string out;
  append_json(out, diagnostics, extra);
  return out;
}

std::string OfflineChangePointResultWire::to_json() const {
  std::string out;
  out.reserve(1024);
  {
    ObjectWriter w(out);
    append_u64_list(w.key("breakpoints"), breakpoints);
    append_u64_list(w.key("change_points"), change_points);
    if (scores) append_f64_list(w.key("scores"), *scores);
    if (segments) {
      append_list(w.key("segments"), *segments,
                  [](std::string& o, const SegmentStats& s) { append_json(o, s); });
    }
    append_json(w.key("diagnostics"), diagnostics.diagnostics, diagnostics.extra);
    append_extra(w, extra);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Reading

namespace {

using Kind = JsonNode::Kind;
using json::Field;
using json::invalid_type;
using json::kOptional;
using json::kRequired;
using json::read_bool;
using json::read_f64;
using json::read_fields;
using json::read_into;
using json::read_list;
using json::read_optional_of;
using json::read_text;
using json::read_u32;
using json::read_u64;

Result<std::vector<std::uint64_t>> read_u64_list(const JsonNode& node) {
  return read_list<std::uint64_t>(node, read_u64);
}
Result<std::vector<double>> read_f64_list(const JsonNode& node) {
  return read_list<double>(node, read_f64);
}
Result<std::vector<std::string>> read_text_list(const JsonNode& node) {
  return read_list<std::string>(node, read_text);
}

Result<ReproMode> read_repro_mode(const JsonNode& node) {
  if (node.kind != Kind::String) return invalid_type(node, "enum ReproMode");
  if (node.text == "Strict") return ReproMode::Strict;
  if (node.text == "Balanced") return ReproMode::Balanced;
  if (node.text == "Fast") return ReproMode::Fast;
  return json::fail_at(
      cat("unknown variant `", node.text, "`, expected one of `Strict`, `Balanced`, `Fast`"),
      node.position);
}

constexpr std::array<Field<PruningStats>, 2> kPruningFields = {{
    {"candidates_considered", kRequired, read_into<&PruningStats::candidates_considered, read_u64>},
    {"candidates_pruned", kRequired, read_into<&PruningStats::candidates_pruned, read_u64>},
}};

Result<PruningStats> read_pruning_stats(const JsonNode& node) {
  PruningStats out;
  OVREL_TRY(read_fields(node, "struct PruningStats", kPruningFields, out, nullptr));
  return out;
}

constexpr std::array<Field<BuildInfo>, 7> kBuildFields = {{
    {"git_sha", kOptional, read_into<&BuildInfo::git_sha, read_optional_of<read_text>>},
    {"git_dirty", kOptional, read_into<&BuildInfo::git_dirty, read_optional_of<read_bool>>},
    {"rustc_version", kOptional, read_into<&BuildInfo::rustc_version, read_optional_of<read_text>>},
    {"target_triple", kOptional, read_into<&BuildInfo::target_triple, read_optional_of<read_text>>},
    {"profile", kOptional, read_into<&BuildInfo::profile, read_optional_of<read_text>>},
    {"features", kOptional, read_into<&BuildInfo::features, read_optional_of<read_text_list>>},
    {"abi", kOptional, read_into<&BuildInfo::abi, read_optional_of<read_text>>},
}};

Result<BuildInfo> read_build_info(const JsonNode& node) {
  BuildInfo out;
  OVREL_TRY(read_fields(node, "struct BuildInfo", kBuildFields, out, nullptr));
  return out;
}

constexpr std::array<Field<SegmentStats>, 6> kSegmentFields = {{
    {"start", kRequired, read_into<&SegmentStats::start, read_u64>},
    {"end", kRequired, read_into<&SegmentStats::end, read_u64>},
    {"mean", kOptional, read_into<&SegmentStats::mean, read_optional_of<read_f64_list>>},
    {"variance", kOptional, read_into<&SegmentStats::variance, read_optional_of<read_f64_list>>},
    {"count", kRequired, read_into<&SegmentStats::count, read_u64>},
    {"missing_count", kRequired, read_into<&SegmentStats::missing_count, read_u64>},
}};

Result<SegmentStats> read_segment(const JsonNode& node) {
  SegmentStats out;
  OVREL_TRY(read_fields(node, "struct SegmentStats", kSegmentFields, out, nullptr));
  return out;
}

Result<std::vector<SegmentStats>> read_segment_list(const JsonNode& node) {
  return read_list<SegmentStats>(node, read_segment);
}

Status read_params_json(Diagnostics& dg, const JsonNode& node) {
  if (node.kind == Kind::Null) {
    dg.params_json.reset();
  } else {
    dg.params_json = canonical_json_text(node);
  }
  return {};
}

using D = Diagnostics;
constexpr std::array<Field<Diagnostics>, 20> kDiagnosticsFields = {{
    {"n", kRequired, read_into<&D::n, read_u64>},
    {"d", kRequired, read_into<&D::d, read_u64>},
    {"schema_version", kRequired, read_into<&D::schema_version, read_u32>},
    {"engine_version", kOptional, read_into<&D::engine_version, read_optional_of<read_text>>},
    {"runtime_ms", kOptional, read_into<&D::runtime_ms, read_optional_of<read_u64>>},
    {"notes", kRequired, read_into<&D::notes, read_text_list>},
    {"warnings", kRequired, read_into<&D::warnings, read_text_list>},
    {"algorithm", kRequired, read_into<&D::algorithm, read_text>},
    {"cost_model", kRequired, read_into<&D::cost_model, read_text>},
    {"seed", kOptional, read_into<&D::seed, read_optional_of<read_u64>>},
    {"repro_mode", kRequired, read_into<&D::repro_mode, read_repro_mode>},
    {"thread_count", kOptional, read_into<&D::thread_count, read_optional_of<read_u64>>},
    {"blas_backend", kOptional, read_into<&D::blas_backend, read_optional_of<read_text>>},
    {"cpu_features", kOptional, read_into<&D::cpu_features, read_optional_of<read_text_list>>},
    {"build", kOptional, read_into<&D::build, read_optional_of<read_build_info>>},
    {"params_json", kOptional, read_params_json},
    {"pruning_stats", kOptional,
     read_into<&D::pruning_stats, read_optional_of<read_pruning_stats>>},
    {"missing_policy_applied", kOptional,
     read_into<&D::missing_policy_applied, read_optional_of<read_text>>},
    {"missing_fraction", kOptional, read_into<&D::missing_fraction, read_optional_of<read_f64>>},
    {"effective_sample_count", kOptional,
     read_into<&D::effective_sample_count, read_optional_of<read_u64>>},
}};

Result<DiagnosticsWire> read_diagnostics(const JsonNode& node) {
  DiagnosticsWire out;
  // Every optional field starts absent; only what the document says is kept.
  out.diagnostics.engine_version.reset();
  out.diagnostics.build.reset();
  OVREL_TRY(
      read_fields(node, "struct DiagnosticsWire", kDiagnosticsFields, out.diagnostics, &out.extra));
  return out;
}

// A document being read, with the n its diagnostics declare when their first "n" is an unsigned
// 64-bit integer: a result of n points has at most n breakpoints, so no list of a result
// (breakpoints, change_points, scores, segments) holds more than n + 1 items, and a longer one is
// refused before any of it is read.
struct DocumentReading {
  OfflineChangePointResultWire wire;
  std::optional<std::uint64_t> n;
};

// The n the document's diagnostics declare: the first "n" of the first "diagnostics", when it is
// an unsigned 64-bit integer, which is the one the reader takes. Where there is none the reader
// refuses the document anyway.
std::optional<std::uint64_t> declared_n(const JsonNode& root) {
  std::optional<std::uint64_t> n;
  if (root.kind != Kind::Object) return n;
  bool first_diagnostics = true;
  const Status walked = json::for_each_member(root, [&](const JsonMember& m) -> Status {
    if (m.key != "diagnostics" || !std::exchange(first_diagnostics, false)) return {};
    if (m.value.kind != Kind::Object) return {};
    bool first_n = true;
    return json::for_each_member(m.value, [&](const JsonMember& d) -> Status {
      if (d.key == "n" && std::exchange(first_n, false) && d.value.kind == Kind::Unsigned)
        n = d.value.unsigned_value;
      return {};
    });
  });
  // The text was checked whole: walking it again cannot fail.
  if (!walked) throw InternalError("a checked JSON text failed to read again");
  return n;
}

Status check_list_length(const JsonNode& node, std::string_view name,
                         std::optional<std::uint64_t> n) {
  if (!n || node.kind != Kind::Array) return {};
  const std::size_t length = json::item_count(node);
  if (length == 0 || length - 1 <= *n) return {};
  return json::fail_at(cat("invalid length ", length, " of `", name, "`, expected at most ", *n + 1,
                           " (n + 1) items"),
                       node.position);
}

template <auto Member, auto Read>
Status read_list_field(DocumentReading& out, const JsonNode& node, std::string_view name) {
  OVREL_TRY(check_list_length(node, name, out.n));
  return read_into<Member, Read>(out.wire, node);
}

using W = OfflineChangePointResultWire;
using R = DocumentReading;
constexpr std::array<Field<R>, 5> kDocumentFields = {{
    {"breakpoints", kRequired,
     [](R& out, const JsonNode& node) {
       return read_list_field<&W::breakpoints, read_u64_list>(out, node, "breakpoints");
     }},
    {"change_points", kRequired,
     [](R& out, const JsonNode& node) {
       return read_list_field<&W::change_points, read_u64_list>(out, node, "change_points");
     }},
    {"scores", kOptional,
     [](R& out, const JsonNode& node) {
       return read_list_field<&W::scores, read_optional_of<read_f64_list>>(out, node, "scores");
     }},
    {"segments", kOptional,
     [](R& out, const JsonNode& node) {
       return read_list_field<&W::segments, read_optional_of<read_segment_list>>(out, node,
                                                                                 "segments");
     }},
    {"diagnostics", kRequired,
     [](R& out, const JsonNode& node) {
       return read_into<&W::diagnostics, read_diagnostics>(out.wire, node);
     }},
}};

}  // namespace

Result<OfflineChangePointResultWire> OfflineChangePointResultWire::from_json(
    std::string_view text) {
  // Streamed: the text is checked whole, then each value is read from it as the readers reach it,
  // without a node per value (which cost twenty times the text). A result's lists are then built
  // only when within their bound.
  OVREL_TRY_ASSIGN(const JsonNode root, parse_json_document(text, {.streamed = true}));
  DocumentReading out{.wire = {}, .n = declared_n(root)};
  OVREL_TRY(read_fields(root, "struct OfflineChangePointResultWire", kDocumentFields, out,
                        &out.wire.extra));
  return std::move(out.wire);
}

// ---------------------------------------------------------------------------------------------
// Conversion

Result<DiagnosticsWire::RuntimeParts> DiagnosticsWire::into_runtime_parts() && {
  const std::uint32_t version = diagnostics.schema_version;
  if (version < kMinSupportedSchemaVersion || version > kMaxSupportedSchemaVersion) {
    return invalid_input(cat("Diagnostics schema_version=", version,
                             " is unsupported; supported versions are ", kMinSupportedSchemaVersion,
                             "..=", kMaxSupportedSchemaVersion, ". See ", kSchemaMigrationGuide,
                             " for migration guidance."));
  }
  return RuntimeParts{std::move(diagnostics), std::move(extra)};
}

Result<OfflineChangePointResultWire::RuntimeParts>
OfflineChangePointResultWire::into_runtime_parts() && {
  OVREL_TRY_ASSIGN(DiagnosticsWire::RuntimeParts dg, std::move(diagnostics).into_runtime_parts());
  OfflineChangePointResult result;
  result.breakpoints.assign(breakpoints.begin(), breakpoints.end());
  result.change_points.assign(change_points.begin(), change_points.end());
  result.scores = std::move(scores);
  result.segments = std::move(segments);
  result.diagnostics = std::move(dg.diagnostics);
  OVREL_TRY(result.validate(result.diagnostics.n));
  return RuntimeParts{std::move(result), std::move(extra), std::move(dg.extra)};
}

OfflineChangePointResultWire OfflineChangePointResultWire::from_runtime(
    OfflineChangePointResult result, ExtraKeys extra, ExtraKeys diagnostics_extra) {
  OfflineChangePointResultWire wire;
  wire.breakpoints.assign(result.breakpoints.begin(), result.breakpoints.end());
  wire.change_points.assign(result.change_points.begin(), result.change_points.end());
  wire.scores = std::move(result.scores);
  wire.segments = std::move(result.segments);
  wire.diagnostics.diagnostics = std::move(result.diagnostics);
  wire.diagnostics.extra = std::move(diagnostics_extra);
  wire.extra = std::move(extra);
  // A holder adds no key that its object defines; drop any that slipped in so the document
  // never holds a key twice.
  for (const auto& field : kDocumentFields) {
    if (auto it = wire.extra.find(field.name); it != wire.extra.end()) wire.extra.erase(it);
  }
  for (const auto& field : kDiagnosticsFields) {
    if (auto it = wire.diagnostics.extra.find(field.name); it != wire.diagnostics.extra.end()) {
      wire.diagnostics.extra.erase(it);
    }
  }
  return wire;
}

}  // namespace ovrel::core
