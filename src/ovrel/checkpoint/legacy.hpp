#pragma once

// Version-0 envelopes, read only: the checksum as hexadecimal text and the payload embedded as
// JSON (the state's own JSON value for "json", a byte array for "bincode").

#include <cstdint>
#include <string>
#include <string_view>

#include "ovrel/checkpoint/checkpoint.hpp"
#include "ovrel/core/error.hpp"
#include "ovrel/core/json_text.hpp"

namespace ovrel::checkpoint::detail {

// `root` is `text` parsed (compact byte arrays allowed). The result still needs the metadata and
// checksum checks of decode_checkpoint_envelope.
Result<CheckpointEnvelope> convert_legacy_envelope(std::string_view text,
                                                   const core::JsonNode& root);

// "0x" and eight lower-case hexadecimal digits.
std::string crc_hex(std::uint32_t v);

}  // namespace ovrel::checkpoint::detail
