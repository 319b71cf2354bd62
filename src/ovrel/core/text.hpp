#pragma once

// The number and list texts that every message, note and repr of the engine is built from.

#include <concepts>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace ovrel::core {

// Shortest decimal that reads back to v, positional, no ".0" when integral: 0, 2.5, 0.0000001,
// NaN, inf, -inf, -0.
std::string plain(double v);
// The same rule at single precision (shortest text that reads back to the same float).
std::string plain(float v);
// Always a fractional part; exponent form for non-zero magnitudes below 1e-4 or from 1e16:
// 10.0, 0.0001, 1e-5, 2.5e-5, 1e16, -0.0.
std::string debug(double v);
// Exactly `precision` decimals ("{:.6}"); NaN, inf and -inf as in `plain`.
std::string fixed(double v, int precision);
// "[1, 2]".
std::string list_text(std::span<const std::size_t> values);
std::string list_text(std::span<const std::int64_t> values);

inline std::string_view bool_text(bool b) { return b ? "true" : "false"; }

namespace detail {
inline void append_piece(std::string& out, std::string_view s) { out.append(s); }
inline void append_piece(std::string& out, const char* s) { out.append(s); }
inline void append_piece(std::string& out, const std::string& s) { out.append(s); }
inline void append_piece(std::string& out, char c) { out.push_back(c); }
inline void append_piece(std::string& out, bool b) { out.append(bool_text(b)); }
inline void append_piece(std::string& out, double v) { out.append(plain(v)); }
inline void append_piece(std::string& out, float v) { out.append(plain(v)); }
template <std::integral I>
requires(!std::same_as<I, bool> && !std::same_as<I, char>) void append_piece(std::string& out,
                                                                             I v) {
  out.append(std::to_string(v));
}
}  // namespace detail

// Concatenates texts, integers (decimal), floats (plain) and booleans (true/false).
template <class... Args>
std::string cat(const Args&... args) {
  std::string out;
  (detail::append_piece(out, args), ...);
  return out;
}

}  // namespace ovrel::core
