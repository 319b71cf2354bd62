// libFuzzer target for the offline result JSON reader, the decoder of untrusted documents.
//
// Every input must either be refused with InvalidInput or read into a wire value that writes
// back to a document which reads into the same value and writes back byte for byte; a document
// that also converts must write the same text again from its runtime parts.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "ovrel/core/error.hpp"
#include "ovrel/core/schema_migration.hpp"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "result_json_fuzz: %s\n%s\n", what, detail.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using ovrel::core::ErrorKind;
  using ovrel::core::OfflineChangePointResultWire;

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto wire = OfflineChangePointResultWire::from_json(text);
  if (!wire) {
    if (wire.error().kind() != ErrorKind::InvalidInput || wire.error().message().empty()) {
      fail("a refused document must be InvalidInput with a message", wire.error().display());
    }
    return 0;
  }

  const std::string written = wire->to_json();
  auto reread = OfflineChangePointResultWire::from_json(written);
  if (!reread)
    fail("the written document does not read back", reread.error().display() + "\n" + written);
  if (!(*reread == *wire)) fail("the written document reads back different", written);
  if (reread->to_json() != written) fail("writing is not stable", written);

  auto parts = std::move(*wire).into_runtime_parts();
  if (!parts) {
    if (parts.error().kind() != ErrorKind::InvalidInput) {
      fail("a refused conversion must be InvalidInput", parts.error().display());
    }
    return 0;
  }
  const std::string again =
      OfflineChangePointResultWire::from_runtime(std::move(parts->result), std::move(parts->extra),
                                                 std::move(parts->diagnostics_extra))
          .to_json();
  if (again != written)
    fail("the runtime parts write a different document", written + "\n" + again);
  return 0;
}
