#include "ovrel/core/schema_migration.hpp"

namespace ovrel::core {

Result<DiagnosticsWire::RuntimeParts> DiagnosticsWire::into_runtime_parts() && {
  return invalid_input("not yet");
}
OfflineChangePointResultWire OfflineChangePointResultWire::from_runtime(OfflineChangePointResult,
                                                                        ExtraKeys, ExtraKeys) {
  return {};
}
Result<OfflineChangePointResultWire> OfflineChangePointResultWire::from_json(std::string_view) {
  return invalid_input("not yet");
}
std::string OfflineChangePointResultWire::to_json() const { return {}; }
Result<OfflineChangePointResultWire::RuntimeParts>
OfflineChangePointResultWire::into_runtime_parts() && {
  return invalid_input("not yet");
}
void append_json(std::string&, const PruningStats&) {}
void append_json(std::string&, const BuildInfo&) {}
void append_json(std::string&, const SegmentStats&) {}
void append_json(std::string&, const Diagnostics&, const ExtraKeys&) {}
std::string to_json(const PruningStats&) { return {}; }
std::string to_json(const BuildInfo&) { return {}; }
std::string to_json(const SegmentStats&) { return {}; }
std::string to_json(const Diagnostics&, const ExtraKeys&) { return {}; }

}  // namespace ovrel::core
