#pragma once

// The read-only Python objects of an offline answer: OfflineChangePointResult with its
// Diagnostics, BuildInfo, PruningStats and SegmentStats. Each wraps a plain record owned by the
// Python object; every getter that returns a list or an object builds a fresh one.

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ovrel/core/diagnostics.hpp"
#include "ovrel/core/results.hpp"
#include "ovrel/core/schema_migration.hpp"

namespace ovrel::python {

namespace nb = nanobind;

struct PyBuildInfo {
  core::BuildInfo value;
};

struct PyPruningStats {
  core::PruningStats value;
};

struct PySegmentStats {
  core::SegmentStats value;

  core::SegmentStats to_core() const { return value; }
};

struct PyDiagnostics {
  std::uint64_t n = 0;
  std::uint64_t d = 0;
  std::uint32_t schema_version = 1;
  std::optional<std::string> engine_version;
  std::optional<std::uint64_t> runtime_ms;
  std::vector<std::string> notes;
  std::vector<std::string> warnings;
  std::string algorithm;
  std::string cost_model;
  std::optional<std::uint64_t> seed;
  // "strict", "balanced" or "fast".
  std::string repro_mode;
  std::optional<std::uint64_t> thread_count;
  std::optional<std::string> blas_backend;
  std::optional<std::vector<std::string>> cpu_features;
  std::optional<core::BuildInfo> build;
  // Compact JSON text of the run's parameter value.
  std::optional<std::string> params_json;
  std::optional<core::PruningStats> pruning_stats;
  std::optional<std::string> missing_policy_applied;
  std::optional<double> missing_fraction;
  std::optional<std::uint64_t> effective_sample_count;

  static PyDiagnostics from_core(core::Diagnostics diagnostics);
};

struct PyOfflineChangePointResult {
  std::vector<std::uint64_t> breakpoints;
  std::vector<std::uint64_t> change_points;
  std::optional<std::vector<double>> scores;
  std::optional<std::vector<PySegmentStats>> segments;
  PyDiagnostics diagnostics;
  // Keys of a read JSON document that the wire form does not define, written back by to_json.
  core::ExtraKeys extra;
  core::ExtraKeys diagnostics_extra;

  // Change points are derived again from the breakpoints; the maps start empty. Cannot fail.
  static PyOfflineChangePointResult from_core(core::OfflineChangePointResult result);
};

// The features and ABI tag of this extension, stamped into a detection's build information.
inline constexpr const char* kAdapterAbiTag = "nano-abi3-py39";
void attach_python_adapter_build_context(core::Diagnostics& diagnostics);

// A new Python OfflineChangePointResult owning the record.
nb::object wrap_result(PyOfflineChangePointResult&& record);

// The body of OfflineChangePointResult.plot.
nb::object plot_result(const PyOfflineChangePointResult& result, nb::handle args,
                       nb::handle kwargs);

}  // namespace ovrel::python
