#pragma once

// The fixed-width little-endian binary layout of detector states: integers and doubles in their
// natural width, bool and option tags as one byte, sequences as a 64-bit count then the elements,
// enumerations as a 32-bit variant index then the variant's fields; no header, names or padding.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "ovrel/core/error.hpp"

namespace ovrel::checkpoint::bincode {

// Fills a buffer of a size computed beforehand; finish() insists that it is exactly full, so a
// size formula and a writer that disagree are caught as the bug they are.
class Writer {
 public:
  explicit Writer(std::size_t size) : out_(size) {}

  void u8(std::uint8_t v) { put(&v, 1); }
  void boolean(bool v) { u8(v ? 1 : 0); }
  void u32(std::uint32_t v) { little_endian(v); }
  void u64(std::uint64_t v) { little_endian(v); }
  void i64(std::int64_t v) { little_endian(static_cast<std::uint64_t>(v)); }
  void f64(double v) { little_endian(std::bit_cast<std::uint64_t>(v)); }
  void count(std::size_t n) { u64(n); }
  template <class T, class F>
  void option(const std::optional<T>& v, F&& write) {
    boolean(v.has_value());
    if (v) write(*v);
  }

  std::vector<std::uint8_t> finish() &&;

 private:
  template <class U>
  void little_endian(U v) {
    std::uint8_t bytes[sizeof(U)];
    for (std::size_t i = 0; i < sizeof(U); ++i) bytes[i] = static_cast<std::uint8_t>(v >> (8 * i));
    put(bytes, sizeof(U));
  }
  void put(const void* bytes, std::size_t n);

  std::vector<std::uint8_t> out_;
  std::size_t pos_ = 0;
};

// Reads front to back and never past the end: a value cut short is the unexpected-end error.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  Result<std::uint8_t> u8();
  Result<bool> boolean();     // 0 or 1
  Result<bool> option_tag();  // 0 absent, 1 present
  Result<std::uint32_t> u32();
  Result<std::uint64_t> u64();
  Result<std::int64_t> i64();
  Result<double> f64();
  // The element count of a sequence whose elements take at least min_element_size bytes each.
  // A count the remaining bytes cannot hold fails at once, before anything is reserved for it.
  Result<std::size_t> count(std::size_t min_element_size);

  std::size_t remaining() const noexcept { return bytes_.size() - pos_; }

 private:
  template <class U>
  Result<U> little_endian() {
    if (remaining() < sizeof(U)) return unexpected_end();
    U v = 0;
    for (std::size_t i = 0; i < sizeof(U); ++i) v |= static_cast<U>(bytes_[pos_ + i]) << (8 * i);
    pos_ += sizeof(U);
    return v;
  }
  static std::unexpected<OvrelError> unexpected_end();

  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

}  // namespace ovrel::checkpoint::bincode
