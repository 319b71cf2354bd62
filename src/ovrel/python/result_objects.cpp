#include "ovrel/python/result_objects.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "ovrel/build_config.hpp"
#include "ovrel/core/json_text.hpp"
#include "ovrel/core/repro.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/python/convert.hpp"
#include "ovrel/python/module.hpp"
#include "ovrel/python/registry.hpp"
#include "ovrel/python/runtime.hpp"

namespace ovrel::python {

using core::cat;

namespace {

constexpr const char* kModuleVersion = OVREL_PACKAGE_VERSION;

std::string repro_mode_text(core::ReproMode mode) {
  switch (mode) {
    case core::ReproMode::Strict:
      return "strict";
    case core::ReproMode::Fast:
      return "fast";
    case core::ReproMode::Balanced:
      break;
  }
  return "balanced";
}

core::ReproMode repro_mode_from_text(std::string_view text) {
  if (text == "fast" || text == "Fast") return core::ReproMode::Fast;
  if (text == "strict" || text == "Strict") return core::ReproMode::Strict;
  return core::ReproMode::Balanced;
}

// Decodes one UTF-8 code point at `i`, advancing it; an invalid byte counts as itself.
char32_t next_code_point(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t len = b0 < 0x80           ? 1
                    : (b0 >> 5) == 0x6  ? 2
                    : (b0 >> 4) == 0xE  ? 3
                    : (b0 >> 3) == 0x1E ? 4
                                        : 1;
  if (i + len > s.size()) len = 1;
  char32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (std::size_t k = 1; k < len; ++k)
    cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += len;
  return cp;
}

bool is_unicode_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

bool is_blank(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    if (!is_unicode_white_space(next_code_point(s, i))) return false;
  }
  return true;
}

// Control and invisible formatting characters, which a debug text spells out.
bool is_unprintable(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD || (c >= 0x600 && c <= 0x605) ||
         c == 0x61C || c == 0x6DD || c == 0x70F || c == 0x180E || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF ||
         (c >= 0xFFF9 && c <= 0xFFFB) || (c >= 0xE000 && c <= 0xF8FF);
}

// None, or Some("text") with the text quoted and escaped.
std::string optional_text_debug(const std::optional<std::string>& value) {
  if (!value) return "None";
  std::string out = "Some(\"";
  const std::string_view s = *value;
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t start = i;
    const char32_t c = next_code_point(s, i);
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case 0:
        out += "\\0";
        continue;
      default:
        break;
    }
    if (is_unprintable(c)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
      out += buf;
    } else {
      out.append(s.substr(start, i - start));
    }
  }
  out += "\")";
  return out;
}

template <class T>
nb::object new_object(T&& record) {
  return nb::cast(std::forward<T>(record), nb::rv_policy::move);
}

nb::object segments_list(const std::vector<PySegmentStats>& segments) {
  nb::list out;
  for (const PySegmentStats& s : segments) out.append(new_object(PySegmentStats{s.value}));
  return out;
}

core::OfflineChangePointResult to_core_result(const PyOfflineChangePointResult& r) {
  core::OfflineChangePointResult out;
  out.breakpoints.assign(r.breakpoints.begin(), r.breakpoints.end());
  out.change_points.assign(r.change_points.begin(), r.change_points.end());
  out.scores = r.scores;
  if (r.segments) {
    out.segments.emplace();
    out.segments->reserve(r.segments->size());
    for (const PySegmentStats& s : *r.segments) out.segments->push_back(s.to_core());
  }
  const PyDiagnostics& p = r.diagnostics;
  core::Diagnostics& d = out.diagnostics;
  d.n = p.n;
  d.d = p.d;
  d.schema_version = p.schema_version;
  d.engine_version = p.engine_version;
  d.runtime_ms = p.runtime_ms;
  d.notes = p.notes;
  d.warnings = p.warnings;
  d.algorithm = p.algorithm;
  d.cost_model = p.cost_model;
  d.seed = p.seed;
  d.repro_mode = repro_mode_from_text(p.repro_mode);
  d.thread_count = p.thread_count;
  d.blas_backend = p.blas_backend;
  d.cpu_features = p.cpu_features;
  d.build = p.build;
  d.params_json.reset();
  if (p.params_json) {
    auto parsed = core::canonical_json_text(*p.params_json);
    if (!parsed) {
      raise(PyExc_ValueError,
            cat("failed to parse diagnostics.params_json: ", parsed.error().message()));
    }
    d.params_json = std::move(*parsed);
  }
  d.pruning_stats = p.pruning_stats;
  d.missing_policy_applied = p.missing_policy_applied;
  d.missing_fraction = p.missing_fraction;
  d.effective_sample_count = p.effective_sample_count;
  return out;
}

nb::object result_to_json(nb::handle self, nb::handle args, nb::handle kwargs) {
  bind_arguments("to_json", {}, args, kwargs, true);
  const auto& r = instance<PyOfflineChangePointResult>(self);
  auto wire = core::OfflineChangePointResultWire::from_runtime(to_core_result(r), r.extra,
                                                               r.diagnostics_extra);
  return nb::str(wire.to_json().c_str());
}

nb::object result_from_json(nb::handle args, nb::handle kwargs) {
  auto bound =
      bind_arguments("from_json", {{.name = "payload", .required = true}}, args, kwargs, false);
  const std::string payload = convert_argument("payload", [&] { return to_str(bound[0]); });
  if (is_blank(payload))
    raise(PyExc_ValueError, "from_json() requires a non-empty JSON string payload");
  auto wire = core::OfflineChangePointResultWire::from_json(payload);
  if (!wire) {
    raise(PyExc_ValueError,
          cat("invalid OfflineChangePointResult JSON payload: ", wire.error().message()));
  }
  auto parts = unwrap(std::move(*wire).into_runtime_parts());
  PyOfflineChangePointResult record =
      PyOfflineChangePointResult::from_core(std::move(parts.result));
  record.extra = std::move(parts.extra);
  record.diagnostics_extra = std::move(parts.diagnostics_extra);
  return wrap_result(std::move(record));
}

std::string result_repr(const PyOfflineChangePointResult& r) {
  return cat("OfflineChangePointResult(breakpoints=", core::list_text(r.breakpoints),
             ", change_points=", core::list_text(r.change_points),
             ", scores_len=", r.scores ? r.scores->size() : 0,
             ", segments_len=", r.segments ? r.segments->size() : 0, ")");
}

PyObject* to_json_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&] { return result_to_json(self, args, kwargs); });
}

PyObject* from_json_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&] { return result_from_json(args, kwargs); });
}

PyObject* plot_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary(
      [&] { return plot_result(instance<PyOfflineChangePointResult>(self), args, kwargs); });
}

PyMethodDef to_json_def = {
    "to_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(to_json_entry)),
    METH_VARARGS | METH_KEYWORDS, "to_json($self)\n--\n\n"};

PyMethodDef from_json_def = {
    "from_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_json_entry)),
    METH_VARARGS | METH_KEYWORDS, "from_json(payload)\n--\n\n"};

PyMethodDef plot_def = {
    "plot", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(plot_entry)),
    METH_VARARGS | METH_KEYWORDS,
    "plot($self, values=None, *, ax=None, title=None, breakpoint_color=\"crimson\", "
    "breakpoint_style=\"--\", line_width=1.5, show_legend=True)\n--\n\n"};

}  // namespace

PyDiagnostics PyDiagnostics::from_core(core::Diagnostics d) {
  PyDiagnostics out;
  out.params_json = std::move(d.params_json);
  out.engine_version = d.engine_version ? std::move(d.engine_version) : std::string(kModuleVersion);
  out.algorithm = std::move(d.algorithm);
  out.cost_model = std::move(d.cost_model);
  out.repro_mode = repro_mode_text(d.repro_mode);
  out.schema_version = std::max<std::uint32_t>(d.schema_version, 1);
  out.runtime_ms = d.runtime_ms;
  out.seed = d.seed;
  out.thread_count = d.thread_count;
  out.pruning_stats = d.pruning_stats;
  out.missing_fraction = d.missing_fraction;
  out.effective_sample_count = d.effective_sample_count;
  out.notes = std::move(d.notes);
  out.warnings = std::move(d.warnings);
  out.blas_backend = std::move(d.blas_backend);
  out.cpu_features = std::move(d.cpu_features);
  out.missing_policy_applied = std::move(d.missing_policy_applied);
  out.build = std::move(d.build);
  out.n = d.n;
  out.d = d.d;
  return out;
}

PyOfflineChangePointResult PyOfflineChangePointResult::from_core(core::OfflineChangePointResult r) {
  PyOfflineChangePointResult out;
  out.diagnostics = PyDiagnostics::from_core(std::move(r.diagnostics));
  std::uint64_t limit = out.diagnostics.n;
  if (limit == 0) limit = r.breakpoints.empty() ? 0 : r.breakpoints.back();
  for (std::size_t b : r.breakpoints) {
    if (b < limit) out.change_points.push_back(b);
  }
  out.breakpoints.assign(r.breakpoints.begin(), r.breakpoints.end());
  out.scores = std::move(r.scores);
  if (r.segments) {
    out.segments.emplace();
    out.segments->reserve(r.segments->size());
    for (core::SegmentStats& s : *r.segments) out.segments->push_back(PySegmentStats{std::move(s)});
  }
  return out;
}

void attach_python_adapter_build_context(core::Diagnostics& diagnostics) {
  core::enrich_diagnostics_build(
      diagnostics, std::vector<std::string>{"extension-module", "serde", "preprocess"},
      std::string(kAdapterAbiTag));
}

nb::object wrap_result(PyOfflineChangePointResult&& record) {
  return new_object(std::move(record));
}

void register_result_classes(nb::module_& m) {
  append_to_all(m, "BuildInfo");
  nb::class_<PyBuildInfo> build(m, "BuildInfo", nb::is_final(), no_constructor_slot());
  build.def_prop_ro("git_sha", [](const PyBuildInfo& b) { return b.value.git_sha; })
      .def_prop_ro("git_dirty", [](const PyBuildInfo& b) { return b.value.git_dirty; })
      .def_prop_ro("rustc_version", [](const PyBuildInfo& b) { return b.value.rustc_version; })
      .def_prop_ro("target_triple", [](const PyBuildInfo& b) { return b.value.target_triple; })
      .def_prop_ro("profile", [](const PyBuildInfo& b) { return b.value.profile; })
      .def_prop_ro("features", [](const PyBuildInfo& b) { return b.value.features; })
      .def_prop_ro("abi", [](const PyBuildInfo& b) { return b.value.abi; })
      .def("__repr__", [](const PyBuildInfo& b) {
        return cat("BuildInfo(git_sha=", optional_text_debug(b.value.git_sha),
                   ", target_triple=", optional_text_debug(b.value.target_triple),
                   ", profile=", optional_text_debug(b.value.profile),
                   ", abi=", optional_text_debug(b.value.abi), ")");
      });

  append_to_all(m, "PruningStats");
  nb::class_<PyPruningStats> pruning(m, "PruningStats", nb::is_final(), no_constructor_slot());
  pruning
      .def_prop_ro("candidates_considered",
                   [](const PyPruningStats& p) { return p.value.candidates_considered; })
      .def_prop_ro("candidates_pruned",
                   [](const PyPruningStats& p) { return p.value.candidates_pruned; })
      .def("__repr__", [](const PyPruningStats& p) {
        return cat("PruningStats(candidates_considered=", p.value.candidates_considered,
                   ", candidates_pruned=", p.value.candidates_pruned, ")");
      });

  append_to_all(m, "SegmentStats");
  nb::class_<PySegmentStats> segment(m, "SegmentStats", nb::is_final(), no_constructor_slot());
  segment.def_prop_ro("start", [](const PySegmentStats& s) { return std::uint64_t{s.value.start}; })
      .def_prop_ro("end", [](const PySegmentStats& s) { return std::uint64_t{s.value.end}; })
      .def_prop_ro("mean", [](const PySegmentStats& s) { return s.value.mean; })
      .def_prop_ro("variance", [](const PySegmentStats& s) { return s.value.variance; })
      .def_prop_ro("count", [](const PySegmentStats& s) { return std::uint64_t{s.value.count}; })
      .def_prop_ro("missing_count",
                   [](const PySegmentStats& s) { return std::uint64_t{s.value.missing_count}; })
      .def("__repr__", [](const PySegmentStats& s) {
        return cat("SegmentStats(start=", s.value.start, ", end=", s.value.end,
                   ", count=", s.value.count, ", missing_count=", s.value.missing_count, ")");
      });

  append_to_all(m, "Diagnostics");
  nb::class_<PyDiagnostics> diagnostics(m, "Diagnostics", nb::is_final(), no_constructor_slot());
  diagnostics.def_prop_ro("n", [](const PyDiagnostics& d) { return d.n; })
      .def_prop_ro("d", [](const PyDiagnostics& d) { return d.d; })
      .def_prop_ro("schema_version", [](const PyDiagnostics& d) { return d.schema_version; })
      .def_prop_ro("engine_version", [](const PyDiagnostics& d) { return d.engine_version; })
      .def_prop_ro("runtime_ms", [](const PyDiagnostics& d) { return d.runtime_ms; })
      .def_prop_ro("notes", [](const PyDiagnostics& d) { return d.notes; })
      .def_prop_ro("warnings", [](const PyDiagnostics& d) { return d.warnings; })
      .def_prop_ro("algorithm", [](const PyDiagnostics& d) { return d.algorithm; })
      .def_prop_ro("cost_model", [](const PyDiagnostics& d) { return d.cost_model; })
      .def_prop_ro("seed", [](const PyDiagnostics& d) { return d.seed; })
      .def_prop_ro("repro_mode", [](const PyDiagnostics& d) { return d.repro_mode; })
      .def_prop_ro("thread_count", [](const PyDiagnostics& d) { return d.thread_count; })
      .def_prop_ro("blas_backend", [](const PyDiagnostics& d) { return d.blas_backend; })
      .def_prop_ro("cpu_features", [](const PyDiagnostics& d) { return d.cpu_features; })
      .def_prop_ro("build",
                   [](const PyDiagnostics& d) -> nb::object {
                     if (!d.build) return nb::none();
                     return new_object(PyBuildInfo{*d.build});
                   })
      .def_prop_ro(
          "params_json",
          [](const PyDiagnostics& d) -> nb::object {
            if (!d.params_json) return nb::none();
            return nb::module_::import_("json").attr("loads")(nb::str(d.params_json->c_str()));
          })
      .def_prop_ro("pruning_stats",
                   [](const PyDiagnostics& d) -> nb::object {
                     if (!d.pruning_stats) return nb::none();
                     return new_object(PyPruningStats{*d.pruning_stats});
                   })
      .def_prop_ro("missing_policy_applied",
                   [](const PyDiagnostics& d) { return d.missing_policy_applied; })
      .def_prop_ro("missing_fraction", [](const PyDiagnostics& d) { return d.missing_fraction; })
      .def_prop_ro("effective_sample_count",
                   [](const PyDiagnostics& d) { return d.effective_sample_count; })
      .def("__repr__", [](const PyDiagnostics& d) {
        return cat("Diagnostics(n=", d.n, ", d=", d.d, ", algorithm='", d.algorithm,
                   "', cost_model='", d.cost_model, "', repro_mode='", d.repro_mode, "')");
      });

  append_to_all(m, "OfflineChangePointResult");
  nb::class_<PyOfflineChangePointResult> result(m, "OfflineChangePointResult", nb::is_final(),
                                                no_constructor_slot());
  result
      .def_prop_ro("breakpoints", [](const PyOfflineChangePointResult& r) { return r.breakpoints; })
      .def_prop_ro("change_points",
                   [](const PyOfflineChangePointResult& r) { return r.change_points; })
      .def_prop_ro("scores", [](const PyOfflineChangePointResult& r) { return r.scores; })
      .def_prop_ro("segments",
                   [](const PyOfflineChangePointResult& r) -> nb::object {
                     if (!r.segments) return nb::none();
                     return segments_list(*r.segments);
                   })
      .def_prop_ro("diagnostics",
                   [](const PyOfflineChangePointResult& r) {
                     return new_object(PyDiagnostics(r.diagnostics));
                   })
      .def("__repr__", &result_repr);
  add_method(result, &to_json_def);
  add_static_method(result, &from_json_def);
  add_method(result, &plot_def);
}

}  // namespace ovrel::python
