#include "ovrel/core/schema_migration.hpp"

#include <array>
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
    append_json_value(w.key("params_json"), *dg.params_json);
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

std::unexpected<OvrelError> fail_at(std::string_view message, JsonPosition at) {
  return invalid_input(json_error_text(message, at));
}

std::unexpected<OvrelError> invalid_type(const JsonNode& node, std::string_view expected) {
  return fail_at(cat("invalid type: ", describe_json_node(node), ", expected ", expected),
                 node.position);
}

Result<std::uint64_t> read_u64(const JsonNode& node) {
  if (node.kind == Kind::Unsigned) return node.unsigned_value;
  if (node.kind == Kind::Signed) {
    return fail_at(cat("invalid value: ", describe_json_node(node), ", expected u64"),
                   node.position);
  }
  return invalid_type(node, "u64");
}

Result<std::uint32_t> read_u32(const JsonNode& node) {
  if (node.kind == Kind::Unsigned && node.unsigned_value <= UINT32_MAX) {
    return static_cast<std::uint32_t>(node.unsigned_value);
  }
  if (node.kind == Kind::Unsigned || node.kind == Kind::Signed) {
    return fail_at(cat("invalid value: ", describe_json_node(node), ", expected u32"),
                   node.position);
  }
  return invalid_type(node, "u32");
}

Result<double> read_f64(const JsonNode& node) {
  switch (node.kind) {
    case Kind::Unsigned:
      return static_cast<double>(node.unsigned_value);
    case Kind::Signed:
      return static_cast<double>(node.signed_value);
    case Kind::Float:
      return node.float_value;
    default:
      return invalid_type(node, "f64");
  }
}

Result<std::string> read_text(const JsonNode& node) {
  if (node.kind == Kind::String) return node.text;
  return invalid_type(node, "a string");
}

Result<bool> read_bool(const JsonNode& node) {
  if (node.kind == Kind::Bool) return node.boolean;
  return invalid_type(node, "a boolean");
}

template <class T, class F>
Result<std::vector<T>> read_list(const JsonNode& node, F&& read_item) {
  if (node.kind != Kind::Array) return invalid_type(node, "a sequence");
  std::vector<T> out;
  out.reserve(node.items.size());
  for (const JsonNode& item : node.items) {
    OVREL_TRY_ASSIGN(T value, read_item(item));
    out.push_back(std::move(value));
  }
  return out;
}

// Absent and null both mean absent.
template <class F>
auto read_optional(const JsonNode& node, F&& read)
    -> Result<std::optional<typename std::invoke_result_t<F, const JsonNode&>::value_type>> {
  using T = typename std::invoke_result_t<F, const JsonNode&>::value_type;
  if (node.kind == Kind::Null) return std::optional<T>();
  OVREL_TRY_ASSIGN(T value, read(node));
  return std::optional<T>(std::move(value));
}

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
  return fail_at(cat("unknown variant `", node.text,
                     "`, expected one of `Strict`, `Balanced`, `Fast`"),
                 node.position);
}

// Walks an object's members in document order: a known key is decoded by its handler (and
// refused when repeated), an unknown key goes to on_extra. Missing required keys are named in
// the record's field order once the walk is done.
template <std::size_t N>
class FieldTable {
 public:
  explicit FieldTable(const std::array<std::string_view, N>& names) : names_(names) {}

  // Index of the key, or N when the record does not define it.
  std::size_t index_of(std::string_view key) const {
    for (std::size_t i = 0; i < N; ++i) {
      if (names_[i] == key) return i;
    }
    return N;
  }

  Status mark(std::size_t i, const JsonMember& member) {
    if (seen_[i]) return fail_at(cat("duplicate field `", member.key, "`"), member.key_end);
    seen_[i] = true;
    return {};
  }

  // required: indices in field order.
  template <std::size_t R>
  Status check_required(const std::array<std::size_t, R>& required, const JsonNode& object) const {
    for (std::size_t i : required) {
      if (!seen_[i]) return fail_at(cat("missing field `", names_[i], "`"), object.end);
    }
    return {};
  }

 private:
  const std::array<std::string_view, N>& names_;
  std::array<bool, N> seen_{};
};

constexpr std::array<std::string_view, 2> kPruningFields = {"candidates_considered",
                                                            "candidates_pruned"};

Result<PruningStats> read_pruning_stats(const JsonNode& node) {
  if (node.kind != Kind::Object) return invalid_type(node, "struct PruningStats");
  FieldTable<2> fields(kPruningFields);
  PruningStats out;
  for (const JsonMember& m : node.members) {
    const std::size_t i = fields.index_of(m.key);
    if (i == 2) continue;
    OVREL_TRY(fields.mark(i, m));
    OVREL_TRY_ASSIGN(std::uint64_t v, read_u64(m.value));
    (i == 0 ? out.candidates_considered : out.candidates_pruned) = v;
  }
  OVREL_TRY(fields.check_required(std::array<std::size_t, 2>{0, 1}, node));
  return out;
}

constexpr std::array<std::string_view, 7> kBuildFields = {
    "git_sha", "git_dirty", "rustc_version", "target_triple", "profile", "features", "abi"};

Result<BuildInfo> read_build_info(const JsonNode& node) {
  if (node.kind != Kind::Object) return invalid_type(node, "struct BuildInfo");
  FieldTable<7> fields(kBuildFields);
  BuildInfo out;
  for (const JsonMember& m : node.members) {
    const std::size_t i = fields.index_of(m.key);
    if (i == 7) continue;
    OVREL_TRY(fields.mark(i, m));
    switch (i) {
      case 0: {
        OVREL_TRY_ASSIGN(out.git_sha, read_optional(m.value, read_text));
        break;
      }
      case 1: {
        OVREL_TRY_ASSIGN(out.git_dirty, read_optional(m.value, read_bool));
        break;
      }
      case 2: {
        OVREL_TRY_ASSIGN(out.rustc_version, read_optional(m.value, read_text));
        break;
      }
      case 3: {
        OVREL_TRY_ASSIGN(out.target_triple, read_optional(m.value, read_text));
        break;
      }
      case 4: {
        OVREL_TRY_ASSIGN(out.profile, read_optional(m.value, read_text));
        break;
      }
      case 5: {
        OVREL_TRY_ASSIGN(out.features, read_optional(m.value, read_text_list));
        break;
      }
      default: {
        OVREL_TRY_ASSIGN(out.abi, read_optional(m.value, read_text));
        break;
      }
    }
  }
  return out;
}

constexpr std::array<std::string_view, 6> kSegmentFields = {"start", "end",   "mean",
                                                            "variance", "count", "missing_count"};

Result<SegmentStats> read_segment(const JsonNode& node) {
  if (node.kind != Kind::Object) return invalid_type(node, "struct SegmentStats");
  FieldTable<6> fields(kSegmentFields);
  SegmentStats out;
  for (const JsonMember& m : node.members) {
    const std::size_t i = fields.index_of(m.key);
    if (i == 6) continue;
    OVREL_TRY(fields.mark(i, m));
    switch (i) {
      case 0: {
        OVREL_TRY_ASSIGN(out.start, read_u64(m.value));
        break;
      }
      case 1: {
        OVREL_TRY_ASSIGN(out.end, read_u64(m.value));
        break;
      }
      case 2: {
        OVREL_TRY_ASSIGN(out.mean, read_optional(m.value, read_f64_list));
        break;
      }
      case 3: {
        OVREL_TRY_ASSIGN(out.variance, read_optional(m.value, read_f64_list));
        break;
      }
      case 4: {
        OVREL_TRY_ASSIGN(out.count, read_u64(m.value));
        break;
      }
      default: {
        OVREL_TRY_ASSIGN(out.missing_count, read_u64(m.value));
        break;
      }
    }
  }
  OVREL_TRY(fields.check_required(std::array<std::size_t, 4>{0, 1, 4, 5}, node));
  return out;
}

constexpr std::array<std::string_view, 20> kDiagnosticsFields = {
    "n",           "d",
    "schema_version", "engine_version",
    "runtime_ms",  "notes",
    "warnings",    "algorithm",
    "cost_model",  "seed",
    "repro_mode",  "thread_count",
    "blas_backend", "cpu_features",
    "build",       "params_json",
    "pruning_stats", "missing_policy_applied",
    "missing_fraction", "effective_sample_count"};

Result<DiagnosticsWire> read_diagnostics(const JsonNode& node) {
  if (node.kind != Kind::Object) return invalid_type(node, "struct DiagnosticsWire");
  FieldTable<20> fields(kDiagnosticsFields);
  DiagnosticsWire out;
  Diagnostics& dg = out.diagnostics;
  // Every optional field starts absent; only what the document says is kept.
  dg.engine_version.reset();
  dg.build.reset();
  for (const JsonMember& m : node.members) {
    const std::size_t i = fields.index_of(m.key);
    if (i == 20) {
      out.extra[m.key] = to_free_value(m.value);
      continue;
    }
    OVREL_TRY(fields.mark(i, m));
    const JsonNode& v = m.value;
    switch (i) {
      case 0: {
        OVREL_TRY_ASSIGN(dg.n, read_u64(v));
        break;
      }
      case 1: {
        OVREL_TRY_ASSIGN(dg.d, read_u64(v));
        break;
      }
      case 2: {
        OVREL_TRY_ASSIGN(dg.schema_version, read_u32(v));
        break;
      }
      case 3: {
        OVREL_TRY_ASSIGN(dg.engine_version, read_optional(v, read_text));
        break;
      }
      case 4: {
        OVREL_TRY_ASSIGN(dg.runtime_ms, read_optional(v, read_u64));
        break;
      }
      case 5: {
        OVREL_TRY_ASSIGN(dg.notes, read_text_list(v));
        break;
      }
      case 6: {
        OVREL_TRY_ASSIGN(dg.warnings, read_text_list(v));
        break;
      }
      case 7: {
        OVREL_TRY_ASSIGN(dg.algorithm, read_text(v));
        break;
      }
      case 8: {
        OVREL_TRY_ASSIGN(dg.cost_model, read_text(v));
        break;
      }
      case 9: {
        OVREL_TRY_ASSIGN(dg.seed, read_optional(v, read_u64));
        break;
      }
      case 10: {
        OVREL_TRY_ASSIGN(dg.repro_mode, read_repro_mode(v));
        break;
      }
      case 11: {
        OVREL_TRY_ASSIGN(dg.thread_count, read_optional(v, read_u64));
        break;
      }
      case 12: {
        OVREL_TRY_ASSIGN(dg.blas_backend, read_optional(v, read_text));
        break;
      }
      case 13: {
        OVREL_TRY_ASSIGN(dg.cpu_features, read_optional(v, read_text_list));
        break;
      }
      case 14: {
        OVREL_TRY_ASSIGN(dg.build, read_optional(v, read_build_info));
        break;
      }
      case 15: {
        if (v.kind == Kind::Null) {
          dg.params_json.reset();
        } else {
          dg.params_json = to_free_value(v);
        }
        break;
      }
      case 16: {
        OVREL_TRY_ASSIGN(dg.pruning_stats, read_optional(v, read_pruning_stats));
        break;
      }
      case 17: {
        OVREL_TRY_ASSIGN(dg.missing_policy_applied, read_optional(v, read_text));
        break;
      }
      case 18: {
        OVREL_TRY_ASSIGN(dg.missing_fraction, read_optional(v, read_f64));
        break;
      }
      default: {
        OVREL_TRY_ASSIGN(dg.effective_sample_count, read_optional(v, read_u64));
        break;
      }
    }
  }
  OVREL_TRY(fields.check_required(std::array<std::size_t, 8>{0, 1, 2, 5, 6, 7, 8, 10}, node));
  return out;
}

constexpr std::array<std::string_view, 5> kDocumentFields = {"breakpoints", "change_points",
                                                             "scores", "segments", "diagnostics"};

Result<OfflineChangePointResultWire> read_document(const JsonNode& node) {
  if (node.kind != Kind::Object) return invalid_type(node, "struct OfflineChangePointResultWire");
  FieldTable<5> fields(kDocumentFields);
  OfflineChangePointResultWire out;
  for (const JsonMember& m : node.members) {
    const std::size_t i = fields.index_of(m.key);
    if (i == 5) {
      out.extra[m.key] = to_free_value(m.value);
      continue;
    }
    OVREL_TRY(fields.mark(i, m));
    const JsonNode& v = m.value;
    switch (i) {
      case 0: {
        OVREL_TRY_ASSIGN(out.breakpoints, read_u64_list(v));
        break;
      }
      case 1: {
        OVREL_TRY_ASSIGN(out.change_points, read_u64_list(v));
        break;
      }
      case 2: {
        OVREL_TRY_ASSIGN(out.scores, read_optional(v, read_f64_list));
        break;
      }
      case 3: {
        OVREL_TRY_ASSIGN(out.segments, read_optional(v, [](const JsonNode& list) {
                           return read_list<SegmentStats>(list, read_segment);
                         }));
        break;
      }
      default: {
        OVREL_TRY_ASSIGN(out.diagnostics, read_diagnostics(v));
        break;
      }
    }
  }
  OVREL_TRY(fields.check_required(std::array<std::size_t, 3>{0, 1, 4}, node));
  return out;
}

}  // namespace

Result<OfflineChangePointResultWire> OfflineChangePointResultWire::from_json(
    std::string_view text) {
  OVREL_TRY_ASSIGN(JsonNode root, parse_json_document(text));
  return read_document(root);
}

// ---------------------------------------------------------------------------------------------
// Conversion

Result<DiagnosticsWire::RuntimeParts> DiagnosticsWire::into_runtime_parts() && {
  const std::uint32_t version = diagnostics.schema_version;
  if (version < kMinSupportedSchemaVersion || version > kMaxSupportedSchemaVersion) {
    return invalid_input(cat("Diagnostics schema_version=", version,
                             " is unsupported; supported versions are ",
                             kMinSupportedSchemaVersion, "..=", kMaxSupportedSchemaVersion,
                             ". See ", kSchemaMigrationGuide, " for migration guidance."));
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
  for (std::string_view k : kDocumentFields) {
    if (auto it = wire.extra.find(k); it != wire.extra.end()) wire.extra.erase(it);
  }
  for (std::string_view k : kDiagnosticsFields) {
    if (auto it = wire.diagnostics.extra.find(k); it != wire.diagnostics.extra.end()) {
      wire.diagnostics.extra.erase(it);
    }
  }
  return wire;
}

}  // namespace ovrel::core
