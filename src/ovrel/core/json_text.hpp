#pragma once

// A strict JSON reader for untrusted documents and the small writer pieces of the wire forms.
// The reader keeps what a general-purpose DOM loses: members in document order with duplicates,
// the integer/float kind of every number and the position of every value, so typed decoders can
// report missing, duplicate and mistyped fields with their place.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "ovrel/core/error.hpp"

namespace ovrel::core {

// Arrays and objects may nest this deep (the outermost counting as level 1).
inline constexpr std::size_t kJsonMaxDepth = 127;

struct JsonPosition {
  std::size_t line = 1;
  std::size_t column = 0;
};

struct JsonMember;

struct JsonNode {
  enum class Kind : std::uint8_t { Null, Bool, Unsigned, Signed, Float, String, Array, Object };

  Kind kind = Kind::Null;
  bool boolean = false;
  std::uint64_t unsigned_value = 0;  // Unsigned: non-negative integers that fit 64 bits
  std::int64_t signed_value = 0;     // Signed: negative integers that fit 64 bits
  double float_value = 0.0;          // Float: every other number (always finite)
  std::string text;                  // String
  std::vector<JsonNode> items;       // Array
  std::vector<JsonMember> members;   // Object, in document order, duplicates kept
  JsonPosition position;             // where the value starts
  JsonPosition end;                  // just after the value's last character
};

struct JsonMember {
  std::string key;
  JsonPosition key_end;  // just after the key's closing quote
  JsonNode value;
};

// Reads exactly one JSON value followed only by white space. Syntax errors, numbers beyond the
// range of a double, invalid UTF-8 and nesting beyond kJsonMaxDepth are InvalidInput with a
// message ending in " at line {} column {}".
Result<JsonNode> parse_json_document(std::string_view text);

// Reads one free JSON value (parse_json_document, then to_free_value).
Result<nlohmann::json> parse_json_value(std::string_view text);

// The free-value form: objects keyed in ascending byte order, a repeated key keeping its last
// value, numbers keeping their unsigned/signed/float kind.
nlohmann::json to_free_value(const JsonNode& node);

// One free JSON value read and written back compactly (parse_json_value, then
// append_json_value): the form Diagnostics::params_json holds.
Result<std::string> canonical_json_text(std::string_view text);
std::string canonical_json_text(const JsonNode& node);

// "{message} at line {line} column {column}".
std::string json_error_text(std::string_view message, JsonPosition at);

// Serde-style description of a value for type errors: "null", "boolean `true`", "integer `5`",
// "floating point `1.5`", "string \"a\"", "sequence", "map".
std::string describe_json_node(const JsonNode& node);

// Writer pieces. Strings: quote and backslash escaped, control characters as \b \t \n \f \r or
// \u00xx, everything else verbatim UTF-8 (invalid sequences replaced by U+FFFD). Floats: the
// shortest text that reads back to the same double; NaN and infinities as null.
void append_json_string(std::string& out, std::string_view text);
void append_json_f64(std::string& out, double value);
void append_json_value(std::string& out, const nlohmann::json& value);

}  // namespace ovrel::core
