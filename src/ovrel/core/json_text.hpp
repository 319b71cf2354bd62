#pragma once

// A strict JSON reader for untrusted documents and the small writer pieces of the wire forms.
// The reader keeps what a general-purpose DOM loses: members in document order with duplicates,
// the integer/float kind of every number and the position of every value, so typed decoders can
// report missing, duplicate and mistyped fields with their place.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "ovrel/core/error.hpp"
#include "ovrel/core/text.hpp"

namespace ovrel::core {

// Arrays and objects may nest this deep (the outermost counting as level 1).
inline constexpr std::size_t kJsonMaxDepth = 127;

struct JsonPosition {
  std::size_t line = 1;
  std::size_t column = 0;
  std::size_t offset = 0;  // bytes of the text before this point
};

struct JsonMember;

struct JsonNode {
  enum class Kind : std::uint8_t { Null, Bool, Unsigned, Signed, Float, String, Array, Object };

  Kind kind = Kind::Null;
  bool boolean = false;
  std::uint64_t unsigned_value = 0;  // Unsigned: non-negative integers that fit 64 bits
  std::int64_t signed_value = 0;     // Signed: negative integers that fit 64 bits
  double float_value = 0.0;          // Float: every other number (always finite)
  std::string text;                  // String; the bytes of a compact byte array
  std::vector<JsonNode> items;       // Array (empty for a compact byte array)
  std::vector<JsonMember> members;   // Object, in document order, duplicates kept
  JsonPosition position;             // where the value starts (offset: its first byte)
  JsonPosition end;                  // its last character (offset: just after it)
  bool byte_array = false;           // Array read compactly (JsonParseOptions)
  bool partial = false;              // items or members dropped by a summary read
  // A container of a streamed read (JsonParseOptions::streamed): it holds no items or members,
  // only their count, and json::for_each_item / for_each_member read them from `source`.
  bool streamed = false;
  std::uint32_t depth = 0;  // streamed: the container's nesting level, the root being 1
  std::size_t count = 0;    // streamed: its items or members
  std::string_view source;  // streamed: the whole text, which outlives the node
  bool negative_zero_is_integer = false;  // streamed: the option its children are read with
};

struct JsonMember {
  std::string key;
  JsonPosition key_end;  // just after the key's closing quote
  JsonNode value;
};

struct JsonParseOptions {
  // A summary read, for readers that take arrays only as bytes and objects below the root only as
  // single-key variants (a checkpoint envelope). What it keeps stays within a small multiple of
  // the text, however the text is made; what it drops is still checked, so the errors and their
  // positions are those of a full read:
  // - an array keeps its leading integers 0 to 255 as bytes in `text` (byte_array set) and its
  //   first other item, if any, as its one item;
  // - a root object keeps the members whose key is in root_keys (every key when it is empty), at
  //   most two of each: a reader refuses a repeated key at its second occurrence;
  // - any other object keeps its first two members: a second key is all a variant needs to see;
  // - containers nested deeper than two levels keep no items or members;
  // - a node that dropped anything is marked partial.
  // A node per byte would cost a hundred times the text of a checkpoint's payload.
  bool compact_byte_arrays = false;
  std::span<const std::string_view> root_keys = {};
  // "-0" written as an integer (no fraction, no exponent) is read as the integer 0. Otherwise it
  // is read as the float -0.0, the one integer text whose sign an integer cannot keep.
  bool negative_zero_is_integer = false;
  // A streamed read, for typed readers of large documents (a detector state): the whole text is
  // checked as by a full read, but every array and object keeps only its count; its children are
  // read again from the text, one at a time, when a reader visits them. The memory of a read is
  // then that of its own output plus one node per nesting level, where a node per value costs
  // a hundred times the text of `[0,0,0],`. Not combined with compact_byte_arrays.
  bool streamed = false;
};

// Reads exactly one JSON value followed only by white space. Syntax errors, numbers beyond the
// range of a double, invalid UTF-8 and nesting beyond kJsonMaxDepth are InvalidInput with a
// message ending in " at line {} column {}".
Result<JsonNode> parse_json_document(std::string_view text, JsonParseOptions options = {});

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

// Description of a value for type errors: "null", "boolean `true`", "integer `5`",
// "floating point `1.5`", "string \"a\"", "sequence", "map".
std::string describe_json_node(const JsonNode& node);

// The text with every byte that does not begin a well-formed UTF-8 sequence replaced by U+FFFD
// (how paths and other foreign bytes are displayed in messages).
std::string utf8_lossy(std::string_view text);

// Writer pieces. Strings: quote and backslash escaped, control characters as \b \t \n \f \r or
// \u00xx, everything else verbatim UTF-8 (invalid sequences replaced by U+FFFD). Floats: the
// shortest text that reads back to the same double, in the wire layout (1.0, 0.00001, 1e-6,
// 1e16, 1.5e300); NaN and infinities as null.
void append_json_string(std::string& out, std::string_view text);
void append_json_f64(std::string& out, double value);
void append_json_value(std::string& out, const nlohmann::json& value);

// Keys of an object that the system does not define, with their free values; ordered by key.
using ExtraKeys = std::map<std::string, nlohmann::json, std::less<>>;

// Typed reading of parsed values into records, with the reader's descriptions ("invalid type:
// string \"a\", expected u64 at line 1 column 9", "missing field `t`", ...).
namespace json {

namespace detail {
using ItemVisitor = Status (*)(void* fn, const JsonNode& item);
using MemberVisitor = Status (*)(void* fn, const JsonMember& member);
// Reads the children of a streamed container from its text and passes each to `visit`.
Status visit_streamed_items(const JsonNode& node, void* fn, ItemVisitor visit);
Status visit_streamed_members(const JsonNode& node, void* fn, MemberVisitor visit);
}  // namespace detail

// The items of an array (beyond the bytes of a compact byte array) in order, stopping at the
// first error `fn` returns; a streamed array's items are read one at a time.
template <class F>
Status for_each_item(const JsonNode& node, F&& fn) {
  if (!node.streamed) {
    for (const JsonNode& item : node.items) OVREL_TRY(fn(item));
    return {};
  }
  return detail::visit_streamed_items(node, &fn, [](void* f, const JsonNode& item) -> Status {
    return (*static_cast<std::remove_reference_t<F>*>(f))(item);
  });
}

// The members of an object in document order, as for_each_item.
template <class F>
Status for_each_member(const JsonNode& node, F&& fn) {
  if (!node.streamed) {
    for (const JsonMember& m : node.members) OVREL_TRY(fn(m));
    return {};
  }
  return detail::visit_streamed_members(node, &fn, [](void* f, const JsonMember& m) -> Status {
    return (*static_cast<std::remove_reference_t<F>*>(f))(m);
  });
}

// The items of an array, the bytes of a compact byte array included; the members of an object.
inline std::size_t item_count(const JsonNode& node) noexcept {
  if (node.streamed) return node.count;
  return (node.byte_array ? node.text.size() : 0) + node.items.size();
}
inline std::size_t member_count(const JsonNode& node) noexcept {
  return node.streamed ? node.count : node.members.size();
}

std::unexpected<OvrelError> fail_at(std::string_view message, JsonPosition at);
std::unexpected<OvrelError> invalid_type(const JsonNode& node, std::string_view expected);

Result<std::uint64_t> read_u64(const JsonNode& node);
Result<std::uint32_t> read_u32(const JsonNode& node);
Result<std::int64_t> read_i64(const JsonNode& node);
Result<double> read_f64(const JsonNode& node);  // any number
Result<std::string> read_text(const JsonNode& node);
Result<bool> read_bool(const JsonNode& node);
// An array of integers 0 to 255 (compact or not).
Result<std::vector<std::uint8_t>> read_bytes(const JsonNode& node);

template <class T, class F>
Result<std::vector<T>> read_list(const JsonNode& node, F&& read_item) {
  if (node.kind != JsonNode::Kind::Array) return invalid_type(node, "a sequence");
  std::vector<T> out;
  if (node.byte_array) {
    out.reserve(node.text.size());
    JsonNode item;
    item.kind = JsonNode::Kind::Unsigned;
    item.position = node.position;
    for (char c : node.text) {
      item.unsigned_value = static_cast<unsigned char>(c);
      OVREL_TRY_ASSIGN(T value, read_item(item));
      out.push_back(std::move(value));
    }
  } else {
    // A streamed list reserves at most four times its text: one of small items refused at its
    // first costs no more than that.
    std::size_t reserved = item_count(node);
    if (node.streamed) {
      reserved = std::min(reserved, 4 * (node.end.offset - node.position.offset) / sizeof(T) + 1);
    }
    out.reserve(reserved);
  }
  OVREL_TRY(for_each_item(node, [&](const JsonNode& item) -> Status {
    OVREL_TRY_ASSIGN(T value, read_item(item));
    out.push_back(std::move(value));
    return {};
  }));
  // A summary array is only ever read by readers that refuse its first item that is no byte.
  if (node.partial) throw InternalError("a summary JSON array was read as a whole list");
  return out;
}

// Absent and null both mean absent.
template <class F>
auto read_optional(const JsonNode& node, F&& read)
    -> Result<std::optional<typename std::invoke_result_t<F, const JsonNode&>::value_type>> {
  using T = typename std::invoke_result_t<F, const JsonNode&>::value_type;
  if (node.kind == JsonNode::Kind::Null) return std::optional<T>();
  OVREL_TRY_ASSIGN(T value, read(node));
  return std::optional<T>(std::move(value));
}

template <auto Read>
auto read_optional_of(const JsonNode& node) {
  return read_optional(node, Read);
}

// Whether a record needs a key, named at each table row rather than written as a bare bool.
inline constexpr bool kRequired = true;
inline constexpr bool kOptional = false;

// One key of a record: its name, whether the record needs it, and how its value is stored.
template <class Out>
struct Field {
  std::string_view name;
  bool required;
  Status (*read)(Out&, const JsonNode&);
};

template <auto Member, auto Read>
Status read_into(auto& out, const JsonNode& node) {
  OVREL_TRY_ASSIGN(out.*Member, Read(node));
  return {};
}

// The node of a compact byte array with one item per byte (any other node is copied as it is).
JsonNode expanded_byte_array(const JsonNode& node);

std::string invalid_length_text(std::size_t length, std::string_view type_name, std::size_t n);

// Walks an object's members in document order: a known key is decoded by its field (and refused
// when repeated), an unknown key is kept in extra when given and skipped otherwise. Missing
// required keys are named in the record's field order once the walk is done; a missing optional
// key leaves `out` as the caller initialised it. With `positional`, an array holding the values in
// field order is accepted too.
enum class Positional : std::uint8_t {
  No,                // objects only
  TrailingOptional,  // an array may stop before an optional field
  AllRequired,       // an array must hold every field
};

template <class Out, std::size_t N>
Status read_fields(const JsonNode& node, std::string_view type_name,
                   const std::array<Field<Out>, N>& fields, Out& out, ExtraKeys* extra,
                   Positional positional = Positional::No) {
  if (positional != Positional::No && node.kind == JsonNode::Kind::Array) {
    const std::size_t length = item_count(node);
    if (length > N) {
      return fail_at(cat("invalid length ", length, ", expected fewer elements in array"),
                     node.end);
    }
    if (node.byte_array) {
      return read_fields(expanded_byte_array(node), type_name, fields, out, extra, positional);
    }
    std::size_t i = 0;
    OVREL_TRY(
        for_each_item(node, [&](const JsonNode& item) { return fields[i++].read(out, item); }));
    for (; i < N; ++i) {
      if (fields[i].required || positional == Positional::AllRequired) {
        return fail_at(invalid_length_text(length, type_name, N), node.end);
      }
    }
    return {};
  }
  if (node.kind != JsonNode::Kind::Object) return invalid_type(node, type_name);
  std::array<bool, N> seen{};
  OVREL_TRY(for_each_member(node, [&](const JsonMember& m) -> Status {
    std::size_t i = 0;
    while (i < N && fields[i].name != m.key) ++i;
    if (i == N) {
      if (extra != nullptr) (*extra)[m.key] = to_free_value(m.value);
      return {};
    }
    if (seen[i]) return fail_at(cat("duplicate field `", m.key, "`"), m.key_end);
    seen[i] = true;
    return fields[i].read(out, m.value);
  }));
  for (std::size_t i = 0; i < N; ++i) {
    if (fields[i].required && !seen[i]) {
      return fail_at(cat("missing field `", fields[i].name, "`"), node.end);
    }
  }
  return {};
}

}  // namespace json

}  // namespace ovrel::core
