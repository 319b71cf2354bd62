#pragma once

// The property every input of the result-document reader must have, shared by the libFuzzer
// target and the ordinary test build (which replays the fuzz corpus and mutations of it).

#include <string>
#include <string_view>
#include <utility>

#include "ovrel/core/error.hpp"
#include "ovrel/core/schema_migration.hpp"

namespace ovrel::test_support {

// Empty when `text` is refused with InvalidInput and a message, or reads into a wire value that
// writes a document which reads back into the same value and writes again byte for byte, and
// which, if it converts, writes the same text again from its runtime parts. Otherwise what failed.
inline std::string result_json_fault(std::string_view text) {
  auto wire = core::OfflineChangePointResultWire::from_json(text);
  if (!wire) {
    if (wire.error().kind() == core::ErrorKind::InvalidInput && !wire.error().message().empty())
      return "";
    return "a refused document must be InvalidInput with a message: " + wire.error().display();
  }
  const std::string written = wire->to_json();
  auto reread = core::OfflineChangePointResultWire::from_json(written);
  if (!reread) return "the written document does not read back: " + reread.error().display();
  if (!(*reread == *wire)) return "the written document reads back different: " + written;
  if (reread->to_json() != written) return "writing is not stable: " + written;

  auto parts = std::move(*wire).into_runtime_parts();
  if (!parts) {
    if (parts.error().kind() == core::ErrorKind::InvalidInput) return "";
    return "a refused conversion must be InvalidInput: " + parts.error().display();
  }
  const std::string again =
      core::OfflineChangePointResultWire::from_runtime(
          std::move(parts->result), std::move(parts->extra), std::move(parts->diagnostics_extra))
          .to_json();
  if (again != written) return "the runtime parts write a different document: " + again;
  return "";
}

}  // namespace ovrel::test_support
