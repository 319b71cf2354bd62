// libFuzzer target for the offline result JSON reader, the decoder of untrusted documents. The
// property it checks is shared with the ordinary test build, which replays this target's corpus.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/result_json_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string fault = ovrel::test_support::result_json_fault(
      std::string_view(reinterpret_cast<const char*>(data), size));
  if (!fault.empty()) {
    std::fprintf(stderr, "result_json_fuzz: %s\n", fault.c_str());
    std::abort();
  }
  return 0;
}
