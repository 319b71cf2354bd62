#include "ovrel/checkpoint/bincode.hpp"

#include <string>

#include "ovrel/core/text.hpp"

namespace ovrel::checkpoint::bincode {

void Writer::put(const void* bytes, std::size_t n) {
  if (n > out_.size() - pos_) {
    throw InternalError("bincode writer overran the size computed for its record");
  }
  std::memcpy(out_.data() + pos_, bytes, n);
  pos_ += n;
}

std::vector<std::uint8_t> Writer::finish() && {
  if (pos_ != out_.size()) {
    throw InternalError("bincode writer fell short of the size computed for its record");
  }
  return std::move(out_);
}

std::unexpected<OvrelError> Reader::unexpected_end() {
  return core::invalid_input("io error: unexpected end of file");
}

Result<std::uint8_t> Reader::u8() { return little_endian<std::uint8_t>(); }

Result<bool> Reader::boolean() {
  OVREL_TRY_ASSIGN(std::uint8_t b, u8());
  if (b > 1) {
    return core::invalid_input(
        core::cat("invalid u8 while decoding bool, expected 0 or 1, found ", b));
  }
  return b == 1;
}

Result<bool> Reader::option_tag() {
  OVREL_TRY_ASSIGN(std::uint8_t b, u8());
  if (b > 1) return core::invalid_input(core::cat("tag for enum is not valid, found ", b));
  return b == 1;
}

Result<std::uint32_t> Reader::u32() { return little_endian<std::uint32_t>(); }
Result<std::uint64_t> Reader::u64() { return little_endian<std::uint64_t>(); }

Result<std::int64_t> Reader::i64() {
  OVREL_TRY_ASSIGN(std::uint64_t v, u64());
  return static_cast<std::int64_t>(v);
}

Result<double> Reader::f64() {
  OVREL_TRY_ASSIGN(std::uint64_t v, u64());
  return std::bit_cast<double>(v);
}

Result<std::size_t> Reader::count(std::size_t min_element_size) {
  OVREL_TRY_ASSIGN(std::uint64_t n, u64());
  if (min_element_size != 0 && n > remaining() / min_element_size) return unexpected_end();
  return static_cast<std::size_t>(n);
}

}  // namespace ovrel::checkpoint::bincode
