#pragma once

// The two wire forms of every detector state: compact JSON text (keys in field order) and the
// fixed-width binary layout of bincode.hpp. Readers check the form only; the checkpoint loaders
// run the state's own validate afterwards.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ovrel/core/error.hpp"
#include "ovrel/core/json_text.hpp"
#include "ovrel/online/baseline.hpp"
#include "ovrel/online/bocpd.hpp"

namespace ovrel::checkpoint {

// Compact JSON text. A non-finite double has no JSON form (it would be written as null, which no
// reader takes back), so a state holding one is refused with a message naming the field.
Result<std::string> state_to_json(const online::BocpdState& state);
Result<std::string> state_to_json(const online::CusumState& state);
Result<std::string> state_to_json(const online::PageHinkleyState& state);

// JSON readers over an object (keys matched exactly, unknown keys skipped, optional keys
// defaulted) or an array of the values in field order. Messages are the reader's, with position.
Result<online::BocpdState> bocpd_state_from_json(const core::JsonNode& node);
Result<online::CusumState> cusum_state_from_json(const core::JsonNode& node);
Result<online::PageHinkleyState> page_hinkley_state_from_json(const core::JsonNode& node);

// The binary form, written into a buffer of exactly its size (every double carried bit for bit).
std::size_t bincode_size(const online::BocpdState& state) noexcept;
std::size_t bincode_size(const online::CusumState& state) noexcept;
std::size_t bincode_size(const online::PageHinkleyState& state) noexcept;
std::vector<std::uint8_t> state_to_bincode(const online::BocpdState& state);
std::vector<std::uint8_t> state_to_bincode(const online::CusumState& state);
std::vector<std::uint8_t> state_to_bincode(const online::PageHinkleyState& state);

// Binary readers: every field, in order; bytes after the state are ignored.
Result<online::BocpdState> bocpd_state_from_bincode(std::span<const std::uint8_t> bytes);
Result<online::CusumState> cusum_state_from_bincode(std::span<const std::uint8_t> bytes);
Result<online::PageHinkleyState> page_hinkley_state_from_bincode(
    std::span<const std::uint8_t> bytes);

}  // namespace ovrel::checkpoint
