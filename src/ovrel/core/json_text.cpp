#include "ovrel/core/json_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "ovrel/core/text.hpp"

namespace ovrel::core {

std::string json_error_text(std::string_view message, JsonPosition at) {
  return cat(message, " at line ", at.line, " column ", at.column);
}

namespace {

// Length of the well-formed UTF-8 sequence at s[i] (1..4), or 0 when it is not well formed
// (overlong forms, surrogates and code points above U+10FFFF are refused).
std::size_t utf8_sequence_length(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return 1;
  auto cont = [&](std::size_t k) {
    return i + k < s.size() && (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
  };
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  if (b0 >= 0xC2 && b0 <= 0xDF) return cont(1) ? 2 : 0;
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    if (b0 == 0xE0 && byte(1) < 0xA0) return 0;   // overlong
    if (b0 == 0xED && byte(1) >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (b0 == 0xF0 && byte(1) < 0x90) return 0;   // overlong
    if (b0 == 0xF4 && byte(1) >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

class Reader {
 public:
  Reader(std::string_view text, JsonParseOptions options) : text_(text), options_(options) {}

  // Reads the children of a streamed container from its text, which has been checked whole.
  Status items_of(const JsonNode& node, void* fn, json::detail::ItemVisitor visit) {
    resume(node);
    advance();  // [
    skip_ws();
    if (peek() == ']') return {};
    while (true) {
      skip_ws();
      JsonNode item;
      OVREL_TRY(value(item, node.depth));
      OVREL_TRY(visit(fn, item));
      skip_ws();
      const char c = peek();
      advance();
      if (c == ']') return {};
    }
  }

  Status members_of(const JsonNode& node, void* fn, json::detail::MemberVisitor visit) {
    resume(node);
    advance();  // {
    skip_ws();
    if (peek() == '}') return {};
    while (true) {
      skip_ws();
      JsonMember member;
      OVREL_TRY(string(member.key));
      member.key_end = at_;
      skip_ws();
      advance();  // :
      skip_ws();
      OVREL_TRY(value(member.value, node.depth));
      OVREL_TRY(visit(fn, member));
      skip_ws();
      const char c = peek();
      advance();
      if (c == '}') return {};
    }
  }

  // The free value of a streamed container, read from its text in one pass. Visiting its children
  // level by level would read a value nested k levels deep k times.
  nlohmann::json free_value_of(const JsonNode& node) {
    resume(node);
    nlohmann::json out;
    free_value(out);
    return out;
  }

  Result<JsonNode> document() {
    skip_ws();
    JsonNode root;
    OVREL_TRY(value(root, 0));
    skip_ws();
    if (pos_ < text_.size()) {
      advance();
      return fail_here("trailing characters");
    }
    return root;
  }

 private:
  std::string_view text_;
  JsonParseOptions options_;
  std::size_t pos_ = 0;
  JsonPosition at_;  // position of the last consumed character

  // Continues at the first character of `node`, as if the text before it had just been read.
  void resume(const JsonNode& node) {
    if (node.source.data() != text_.data() || node.position.column == 0 ||
        node.position.offset >= text_.size()) {
      throw InternalError("a streamed JSON node was read outside its text");
    }
    pos_ = node.position.offset;
    at_ = JsonPosition{node.position.line, node.position.column - 1, node.position.offset};
  }

  // Reads one value of a text checked whole, as to_free_value would convert its node.
  void free_value(nlohmann::json& out) {
    const auto checked = [](const Status& read) {
      if (!read) throw InternalError("a checked JSON text failed to read again");
    };
    const char open = peek();
    if (open != '{' && open != '[') {
      JsonNode scalar;
      checked(value(scalar, 0));
      out = to_free_value(scalar);
      return;
    }
    out = open == '{' ? nlohmann::json::object() : nlohmann::json::array();
    const char close = open == '{' ? '}' : ']';
    advance();
    skip_ws();
    if (peek() == close) {
      advance();
      return;
    }
    while (true) {
      skip_ws();
      if (open == '{') {
        std::string key;
        checked(string(key));
        skip_ws();
        advance();  // :
        skip_ws();
        free_value(out[key]);  // a repeated key keeps its last value
      } else {
        free_value(out.emplace_back());
      }
      skip_ws();
      const char c = peek();
      advance();
      if (c == close) return;
    }
  }

  bool eof() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }
  void advance() {
    if (text_[pos_] == '\n') {
      ++at_.line;
      at_.column = 0;
    } else {
      ++at_.column;
    }
    ++pos_;
    at_.offset = pos_;
  }
  JsonPosition next_position() const {
    JsonPosition p = at_;
    ++p.column;
    p.offset = pos_;
    return p;
  }
  std::unexpected<OvrelError> fail_here(std::string_view message) const {
    return invalid_input(json_error_text(message, at_));
  }
  void skip_ws() {
    while (!eof()) {
      const char c = peek();
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
      advance();
    }
  }

  // With `keep` false the value is checked but its items and members are not stored (a summary
  // read drops what its readers never look at).
  Status value(JsonNode& out, std::size_t depth, bool keep = true) {
    if (eof()) return fail_here("EOF while parsing a value");
    out.position = next_position();
    const char c = peek();
    switch (c) {
      case '{':
        OVREL_TRY(object(out, depth + 1, keep));
        break;
      case '[':
        OVREL_TRY(array(out, depth + 1, keep));
        break;
      case '"':
        out.kind = JsonNode::Kind::String;
        OVREL_TRY(string(out.text));
        break;
      case 't':
        OVREL_TRY(literal("true"));
        out.kind = JsonNode::Kind::Bool;
        out.boolean = true;
        break;
      case 'f':
        OVREL_TRY(literal("false"));
        out.kind = JsonNode::Kind::Bool;
        out.boolean = false;
        break;
      case 'n':
        OVREL_TRY(literal("null"));
        out.kind = JsonNode::Kind::Null;
        break;
      default:
        if (c == '-' || (c >= '0' && c <= '9')) {
          OVREL_TRY(number(out));
        } else {
          advance();
          return fail_here("expected value");
        }
    }
    out.end = at_;
    return {};
  }

  Status literal(std::string_view word) {
    for (char expected : word) {
      if (eof()) return fail_here("EOF while parsing a value");
      if (peek() != expected) {
        advance();
        return fail_here("expected ident");
      }
      advance();
    }
    return {};
  }

  // Summary reads keep the items and members of containers down to this depth (the root being 1).
  static constexpr std::size_t kSummaryDepth = 2;

  bool keeps_children(bool keep, std::size_t depth) const {
    return keep && (!options_.compact_byte_arrays || depth <= kSummaryDepth);
  }

  // Whether a summary read keeps the member `key` of an object, given the members kept so far:
  // at most two of each root key named in root_keys (the second occurrence is enough to refuse
  // a repeated key), and the first two members of any other object (enough to refuse a second
  // key of a single-key variant).
  bool keeps_member(const JsonNode& out, std::string_view key, std::size_t depth) const {
    if (!options_.compact_byte_arrays) return true;
    if (depth != 1 || options_.root_keys.empty()) return out.members.size() < 2;
    if (std::find(options_.root_keys.begin(), options_.root_keys.end(), key) ==
        options_.root_keys.end()) {
      return false;
    }
    std::size_t seen = 0;
    for (const JsonMember& m : out.members) seen += m.key == key ? 1 : 0;
    return seen < 2;
  }

  static void clear(JsonNode& node) {
    node.kind = JsonNode::Kind::Null;
    node.text.clear();
    node.items.clear();
    node.members.clear();
    node.byte_array = false;
    node.partial = false;
    node.streamed = false;
    node.count = 0;
  }

  // A streamed container keeps only its place and count; its children are checked and dropped.
  void mark_streamed(JsonNode& out, std::size_t depth, bool& keep) const {
    out.streamed = true;
    out.depth = static_cast<std::uint32_t>(depth);
    out.count = 0;
    out.source = text_;
    out.negative_zero_is_integer = options_.negative_zero_is_integer;
    keep = false;
  }

  Status object(JsonNode& out, std::size_t depth, bool keep) {
    if (depth > kJsonMaxDepth) {
      advance();
      return fail_here("recursion limit exceeded");
    }
    out.kind = JsonNode::Kind::Object;
    keep = keeps_children(keep, depth);
    if (options_.streamed) mark_streamed(out, depth, keep);
    advance();  // {
    skip_ws();
    if (eof()) return fail_here("EOF while parsing an object");
    if (peek() == '}') {
      advance();
      return {};
    }
    JsonMember scratch;  // a member read and dropped
    while (true) {
      skip_ws();
      if (eof()) return fail_here("EOF while parsing an object");
      if (peek() != '"') {
        advance();
        return fail_here(peek_was_close('}') ? "trailing comma" : "key must be a string");
      }
      scratch.key.clear();
      clear(scratch.value);
      OVREL_TRY(string(scratch.key));
      const bool kept = keep && keeps_member(out, scratch.key, depth);
      JsonMember& member = kept ? out.members.emplace_back() : scratch;
      if (kept) member.key = std::move(scratch.key);
      out.partial = out.partial || (!kept && !options_.streamed);
      ++out.count;
      member.key_end = at_;
      skip_ws();
      if (eof()) return fail_here("EOF while parsing an object");
      if (peek() != ':') {
        advance();
        return fail_here("expected `:`");
      }
      advance();
      skip_ws();
      OVREL_TRY(value(member.value, depth, kept));
      skip_ws();
      if (eof()) return fail_here("EOF while parsing an object");
      const char c = peek();
      advance();
      if (c == '}') return {};
      if (c != ',') return fail_here("expected `,` or `}`");
    }
  }

  // Items of an array: all of them, or for a summary read its leading bytes and its first other
  // item; the rest is checked and dropped.
  Status array(JsonNode& out, std::size_t depth, bool keep) {
    if (depth > kJsonMaxDepth) {
      advance();
      return fail_here("recursion limit exceeded");
    }
    out.kind = JsonNode::Kind::Array;
    keep = keeps_children(keep, depth);
    if (options_.streamed) mark_streamed(out, depth, keep);
    const bool bytes = keep && options_.compact_byte_arrays;
    out.byte_array = bytes;
    advance();  // [
    skip_ws();
    if (eof()) return fail_here("EOF while parsing a list");
    if (peek() == ']') {
      advance();
      return {};
    }
    JsonNode scratch;  // an item read and dropped
    while (true) {
      skip_ws();
      if (eof()) return fail_here("EOF while parsing a list");
      if (peek() == ']') {
        advance();
        return fail_here("trailing comma");
      }
      if (bytes && out.items.empty() && byte_item(out.text)) {
        // stored
      } else if (keep && (!bytes || out.items.empty())) {
        OVREL_TRY(value(out.items.emplace_back(), depth));
      } else {
        out.partial = !options_.streamed;
        clear(scratch);
        OVREL_TRY(value(scratch, depth, false));
      }
      ++out.count;
      skip_ws();
      if (eof()) return fail_here("EOF while parsing a list");
      const char c = peek();
      advance();
      if (c == ']') return {};
      if (c != ',') return fail_here("expected `,` or `]`");
    }
  }

  // An item that the number reader would read as an integer 0 to 255 (no sign, fraction,
  // exponent or leading zero), appended to `bytes`; anything else is left unread.
  bool byte_item(std::string& bytes) {
    std::size_t end = pos_;
    unsigned v = 0;
    while (end < text_.size() && end - pos_ < 4 && text_[end] >= '0' && text_[end] <= '9') {
      v = v * 10 + static_cast<unsigned>(text_[end] - '0');
      ++end;
    }
    const std::size_t digits = end - pos_;
    if (digits == 0 || digits == 4 || v > 255 || (digits > 1 && text_[pos_] == '0')) return false;
    if (end < text_.size() && (text_[end] == '.' || text_[end] == 'e' || text_[end] == 'E')) {
      return false;
    }
    for (std::size_t k = 0; k < digits; ++k) advance();
    bytes.push_back(static_cast<char>(v));
    return true;
  }

  // Only meaningful right after advance() past the offending character.
  bool peek_was_close(char close) const { return pos_ > 0 && text_[pos_ - 1] == close; }

  Result<std::uint32_t> hex4() {
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      if (eof()) return fail_here("EOF while parsing a string");
      const char c = peek();
      advance();
      std::uint32_t digit;
      if (c >= '0' && c <= '9') {
        digit = static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return fail_here("invalid escape");
      }
      v = v * 16 + digit;
    }
    return v;
  }

  Status string(std::string& out) {
    advance();  // opening quote
    while (true) {
      if (eof()) return fail_here("EOF while parsing a string");
      const auto c = static_cast<unsigned char>(peek());
      if (c == '"') {
        advance();
        return {};
      }
      if (c < 0x20) {
        advance();
        return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
      }
      if (c == '\\') {
        advance();
        if (eof()) return fail_here("EOF while parsing a string");
        const char e = peek();
        advance();
        switch (e) {
          case '"':
            out.push_back('"');
            break;
          case '\\':
            out.push_back('\\');
            break;
          case '/':
            out.push_back('/');
            break;
          case 'b':
            out.push_back('\b');
            break;
          case 'f':
            out.push_back('\f');
            break;
          case 'n':
            out.push_back('\n');
            break;
          case 'r':
            out.push_back('\r');
            break;
          case 't':
            out.push_back('\t');
            break;
          case 'u': {
            OVREL_TRY_ASSIGN(std::uint32_t cp, hex4());
            if (cp >= 0xDC00 && cp <= 0xDFFF) {
              return fail_here("lone leading surrogate in hex escape");
            }
            if (cp >= 0xD800 && cp <= 0xDBFF) {
              if (eof() || peek() != '\\') return fail_here("unexpected end of hex escape");
              advance();
              if (eof() || peek() != 'u') return fail_here("unexpected end of hex escape");
              advance();
              OVREL_TRY_ASSIGN(std::uint32_t low, hex4());
              if (low < 0xDC00 || low > 0xDFFF) {
                return fail_here("lone leading surrogate in hex escape");
              }
              cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            }
            append_utf8(out, cp);
            break;
          }
          default:
            return fail_here("invalid escape");
        }
        continue;
      }
      const std::size_t len = utf8_sequence_length(text_, pos_);
      if (len == 0) {
        advance();
        return fail_here("invalid UTF-8 in string");
      }
      out.append(text_.substr(pos_, len));
      for (std::size_t k = 0; k < len; ++k) advance();
    }
  }

  Status number(JsonNode& out) {
    const std::size_t begin = pos_;
    const bool negative = peek() == '-';
    if (negative) advance();
    if (eof()) return fail_here("EOF while parsing a value");
    auto is_digit = [&] { return !eof() && peek() >= '0' && peek() <= '9'; };
    if (!is_digit()) {
      advance();
      return fail_here("invalid number");
    }
    const std::size_t int_begin = pos_;
    if (peek() == '0') {
      advance();
      if (is_digit()) {
        advance();
        return fail_here("invalid number");
      }
    } else {
      while (is_digit()) advance();
    }
    const std::size_t int_end = pos_;
    bool is_float = false;
    std::size_t frac_begin = pos_, frac_end = pos_;
    if (!eof() && peek() == '.') {
      is_float = true;
      advance();
      if (!is_digit()) {
        if (!eof()) advance();
        return fail_here(eof() ? "EOF while parsing a value" : "invalid number");
      }
      frac_begin = pos_;
      while (is_digit()) advance();
      frac_end = pos_;
    }
    std::int64_t exponent = 0;
    if (!eof() && (peek() == 'e' || peek() == 'E')) {
      is_float = true;
      advance();
      bool exp_negative = false;
      if (!eof() && (peek() == '+' || peek() == '-')) {
        exp_negative = peek() == '-';
        advance();
      }
      if (!is_digit()) {
        if (!eof()) advance();
        return fail_here(eof() ? "EOF while parsing a value" : "invalid number");
      }
      while (is_digit()) {
        // Saturate: only the sign and rough size matter beyond the range of a double.
        if (exponent < 1'000'000'000) exponent = exponent * 10 + (peek() - '0');
        advance();
      }
      if (exp_negative) exponent = -exponent;
    }
    const std::string_view lexeme = text_.substr(begin, pos_ - begin);
    if (!is_float) {
      const std::string_view digits = text_.substr(int_begin, int_end - int_begin);
      if (!negative) {
        std::uint64_t u = 0;
        const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), u);
        if (r.ec == std::errc()) {
          out.kind = JsonNode::Kind::Unsigned;
          out.unsigned_value = u;
          return {};
        }
      } else {
        std::int64_t i = 0;
        const auto r = std::from_chars(lexeme.data(), lexeme.data() + lexeme.size(), i);
        // -0 has no integer form that keeps its sign: it is read as the float -0.0 unless the
        // caller asks for the integer.
        if (r.ec == std::errc() && i != 0) {
          out.kind = JsonNode::Kind::Signed;
          out.signed_value = i;
          return {};
        }
        if (r.ec == std::errc() && options_.negative_zero_is_integer) {
          out.kind = JsonNode::Kind::Unsigned;
          out.unsigned_value = 0;
          return {};
        }
      }
      // Integers beyond 64 bits are read as floats.
    }
    double v = 0.0;
    const auto r = std::from_chars(lexeme.data(), lexeme.data() + lexeme.size(), v);
    bool overflow = false;
    if (r.ec == std::errc::result_out_of_range) {
      // Decide between overflow and underflow by the decimal magnitude of the number.
      std::int64_t magnitude = exponent;
      std::size_t first_nonzero = std::string_view::npos;
      const std::size_t int_len = int_end - int_begin;
      for (std::size_t k = int_begin; k < int_end; ++k) {
        if (text_[k] != '0') {
          first_nonzero = k - int_begin;
          break;
        }
      }
      if (first_nonzero != std::string_view::npos) {
        magnitude += static_cast<std::int64_t>(int_len - first_nonzero) - 1;
      } else {
        for (std::size_t k = frac_begin; k < frac_end; ++k) {
          if (text_[k] != '0') {
            magnitude -= static_cast<std::int64_t>(k - frac_begin) + 1;
            break;
          }
        }
      }
      overflow = magnitude > 0;
      if (!overflow) v = negative ? -0.0 : 0.0;
    } else if (r.ec != std::errc() || r.ptr != lexeme.data() + lexeme.size()) {
      return fail_here("invalid number");
    }
    if (overflow || !std::isfinite(v)) return fail_here("number out of range");
    out.kind = JsonNode::Kind::Float;
    out.float_value = v;
    return {};
  }
};

}  // namespace

Result<JsonNode> parse_json_document(std::string_view text, JsonParseOptions options) {
  return Reader(text, options).document();
}

namespace json::detail {

Status visit_streamed_items(const JsonNode& node, void* fn, ItemVisitor visit) {
  const JsonParseOptions options{.negative_zero_is_integer = node.negative_zero_is_integer,
                                 .streamed = true};
  return Reader(node.source, options).items_of(node, fn, visit);
}

Status visit_streamed_members(const JsonNode& node, void* fn, MemberVisitor visit) {
  const JsonParseOptions options{.negative_zero_is_integer = node.negative_zero_is_integer,
                                 .streamed = true};
  return Reader(node.source, options).members_of(node, fn, visit);
}

}  // namespace json::detail

nlohmann::json to_free_value(const JsonNode& node) {
  if (node.streamed) {
    const JsonParseOptions options{.negative_zero_is_integer = node.negative_zero_is_integer,
                                   .streamed = true};
    return Reader(node.source, options).free_value_of(node);
  }
  switch (node.kind) {
    case JsonNode::Kind::Null:
      return nullptr;
    case JsonNode::Kind::Bool:
      return node.boolean;
    case JsonNode::Kind::Unsigned:
      return node.unsigned_value;
    case JsonNode::Kind::Signed:
      return node.signed_value;
    case JsonNode::Kind::Float:
      return node.float_value;
    case JsonNode::Kind::String:
      return node.text;
    case JsonNode::Kind::Array: {
      if (node.partial) throw InternalError("a summary JSON array has no free value");
      nlohmann::json out = nlohmann::json::array();
      if (node.byte_array) {
        for (char c : node.text)
          out.push_back(static_cast<std::uint64_t>(static_cast<unsigned char>(c)));
      }
      const Status read = json::for_each_item(node, [&](const JsonNode& item) -> Status {
        out.push_back(to_free_value(item));
        return {};
      });
      if (!read) throw InternalError("a checked JSON text failed to read again");
      return out;
    }
    case JsonNode::Kind::Object: {
      if (node.partial) throw InternalError("a summary JSON object has no free value");
      nlohmann::json out = nlohmann::json::object();
      const Status read = json::for_each_member(node, [&](const JsonMember& m) -> Status {
        out[m.key] = to_free_value(m.value);
        return {};
      });
      if (!read) throw InternalError("a checked JSON text failed to read again");
      return out;
    }
  }
  return nullptr;
}

Result<nlohmann::json> parse_json_value(std::string_view text) {
  OVREL_TRY_ASSIGN(JsonNode node, parse_json_document(text));
  return to_free_value(node);
}

Result<std::string> canonical_json_text(std::string_view text) {
  OVREL_TRY_ASSIGN(const JsonNode node, parse_json_document(text));
  return canonical_json_text(node);
}

std::string canonical_json_text(const JsonNode& node) {
  std::string out;
  append_json_value(out, to_free_value(node));
  return out;
}

std::string describe_json_node(const JsonNode& node) {
  switch (node.kind) {
    case JsonNode::Kind::Null:
      return "null";
    case JsonNode::Kind::Bool:
      return cat("boolean `", node.boolean, "`");
    case JsonNode::Kind::Unsigned:
      return cat("integer `", node.unsigned_value, "`");
    case JsonNode::Kind::Signed:
      return cat("integer `", node.signed_value, "`");
    case JsonNode::Kind::Float: {
      std::string text;
      append_json_f64(text, node.float_value);
      return cat("floating point `", text, "`");
    }
    case JsonNode::Kind::String: {
      std::string text;
      append_json_string(text, node.text);
      return cat("string ", text);
    }
    case JsonNode::Kind::Array:
      return "sequence";
    case JsonNode::Kind::Object:
      return "map";
  }
  return "value";
}

namespace {
// Appends the UTF-8 sequence starting at i, or U+FFFD for a byte that starts none; returns the
// position after it.
std::size_t append_utf8_or_replacement(std::string& out, std::string_view text, std::size_t i) {
  const std::size_t len = utf8_sequence_length(text, i);
  if (len == 0) {
    out.append("\xEF\xBF\xBD");
    return i + 1;
  }
  out.append(text.substr(i, len));
  return i + len;
}
}  // namespace

std::string utf8_lossy(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) i = append_utf8_or_replacement(out, text, i);
  return out;
}

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      i = append_utf8_or_replacement(out, text, i);
      continue;
    }
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\f':
        out.append("\\f");
        break;
      case '\r':
        out.append("\\r");
        break;
      default:
        if (c < 0x20) {
          out.append("\\u00");
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
    ++i;
  }
  out.push_back('"');
}

void append_json_f64(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out.append("null");
    return;
  }
  if (value == 0.0) {
    out.append(std::signbit(value) ? "-0.0" : "0.0");
    return;
  }
  // The shortest round-trip digits, in the earlier engine's layout, so documents and
  // checkpoint payloads keep the byte form the earlier engine wrote and its checksums verify:
  // positional from 1e-5 up to below 1e16 with at least one fractional digit, otherwise d.ddde-7 /
  // de16 with no plus sign and no leading zeros in the exponent.
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  if (sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  const std::size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e)) {
    if (c != '.') digits.push_back(c);
  }
  std::string_view exp_text = sci.substr(e + 1);
  if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
  int exp10 = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp10);
  const long length = static_cast<long>(digits.size());
  const long kk = static_cast<long>(exp10) + 1;  // 10^(kk-1) <= |value| < 10^kk
  const long k = kk - length;
  if (k >= 0 && kk <= 16) {
    out.append(digits);
    out.append(static_cast<std::size_t>(k), '0');
    out.append(".0");
  } else if (kk > 0 && kk <= 16) {
    out.append(digits, 0, static_cast<std::size_t>(kk));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(kk));
  } else if (kk > -5 && kk <= 0) {
    out.append("0.");
    out.append(static_cast<std::size_t>(-kk), '0');
    out.append(digits);
  } else {
    out.push_back(digits.front());
    if (length > 1) {
      out.push_back('.');
      out.append(digits, 1);
    }
    out.push_back('e');
    out.append(std::to_string(kk - 1));
  }
}

void append_json_value(std::string& out, const nlohmann::json& value) {
  using V = nlohmann::json::value_t;
  switch (value.type()) {
    case V::null:
    case V::discarded:
      out.append("null");
      return;
    case V::boolean:
      out.append(value.get<bool>() ? "true" : "false");
      return;
    case V::number_unsigned:
      out.append(std::to_string(value.get<std::uint64_t>()));
      return;
    case V::number_integer:
      out.append(std::to_string(value.get<std::int64_t>()));
      return;
    case V::number_float:
      append_json_f64(out, value.get<double>());
      return;
    case V::string:
      append_json_string(out, value.get_ref<const std::string&>());
      return;
    case V::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& item : value) {
        if (!first) out.push_back(',');
        first = false;
        append_json_value(out, item);
      }
      out.push_back(']');
      return;
    }
    case V::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, item] : value.items()) {
        if (!first) out.push_back(',');
        first = false;
        append_json_string(out, key);
        out.push_back(':');
        append_json_value(out, item);
      }
      out.push_back('}');
      return;
    }
    case V::binary: {
      out.push_back('[');
      bool first = true;
      for (std::uint8_t b : value.get_binary()) {
        if (!first) out.push_back(',');
        first = false;
        out.append(std::to_string(b));
      }
      out.push_back(']');
      return;
    }
  }
  out.append("null");
}

namespace json {

using Kind = JsonNode::Kind;

std::unexpected<OvrelError> fail_at(std::string_view message, JsonPosition at) {
  return invalid_input(json_error_text(message, at));
}

std::unexpected<OvrelError> invalid_type(const JsonNode& node, std::string_view expected) {
  return fail_at(cat("invalid type: ", describe_json_node(node), ", expected ", expected),
                 node.position);
}

namespace {
std::unexpected<OvrelError> invalid_value(const JsonNode& node, std::string_view expected) {
  return fail_at(cat("invalid value: ", describe_json_node(node), ", expected ", expected),
                 node.position);
}
}  // namespace

Result<std::uint64_t> read_u64(const JsonNode& node) {
  if (node.kind == Kind::Unsigned) return node.unsigned_value;
  if (node.kind == Kind::Signed) return invalid_value(node, "u64");
  return invalid_type(node, "u64");
}

Result<std::uint32_t> read_u32(const JsonNode& node) {
  if (node.kind == Kind::Unsigned && node.unsigned_value <= UINT32_MAX) {
    return static_cast<std::uint32_t>(node.unsigned_value);
  }
  if (node.kind == Kind::Unsigned || node.kind == Kind::Signed) return invalid_value(node, "u32");
  return invalid_type(node, "u32");
}

Result<std::int64_t> read_i64(const JsonNode& node) {
  if (node.kind == Kind::Signed) return node.signed_value;
  if (node.kind == Kind::Unsigned) {
    if (node.unsigned_value <= static_cast<std::uint64_t>(INT64_MAX)) {
      return static_cast<std::int64_t>(node.unsigned_value);
    }
    return invalid_value(node, "i64");
  }
  return invalid_type(node, "i64");
}

Result<double> read_f64(const JsonNode& node) {
  switch (node.kind) {
    case Kind::Unsigned:
      return static_cast<double>(node.unsigned_value);
    case Kind::Signed:
      return static_cast<double>(node.signed_value);
    case Kind::Float:
      return node.float_value;
    default:
      return invalid_type(node, "f64");
  }
}

Result<std::string> read_text(const JsonNode& node) {
  if (node.kind == Kind::String) return node.text;
  return invalid_type(node, "a string");
}

Result<bool> read_bool(const JsonNode& node) {
  if (node.kind == Kind::Bool) return node.boolean;
  return invalid_type(node, "a boolean");
}

Result<std::vector<std::uint8_t>> read_bytes(const JsonNode& node) {
  if (node.kind == Kind::Array && node.byte_array && node.items.empty()) {
    return std::vector<std::uint8_t>(node.text.begin(), node.text.end());
  }
  return read_list<std::uint8_t>(node, [](const JsonNode& item) -> Result<std::uint8_t> {
    if (item.kind == Kind::Unsigned && item.unsigned_value <= UINT8_MAX) {
      return static_cast<std::uint8_t>(item.unsigned_value);
    }
    if (item.kind == Kind::Unsigned || item.kind == Kind::Signed) return invalid_value(item, "u8");
    return invalid_type(item, "u8");
  });
}

JsonNode expanded_byte_array(const JsonNode& node) {
  if (node.partial) throw InternalError("a summary JSON array cannot be expanded");
  JsonNode out = node;
  if (!node.byte_array) return out;
  out.byte_array = false;
  out.text.clear();
  out.items.clear();
  out.items.reserve(node.text.size() + node.items.size());
  for (char c : node.text) {
    JsonNode& item = out.items.emplace_back();
    item.kind = Kind::Unsigned;
    item.unsigned_value = static_cast<unsigned char>(c);
    item.position = node.position;
    item.end = node.position;
  }
  out.items.insert(out.items.end(), node.items.begin(), node.items.end());
  return out;
}

std::string invalid_length_text(std::size_t length, std::string_view type_name, std::size_t n) {
  return cat("invalid length ", length, ", expected ", type_name, " with ", n, " elements");
}

}  // namespace json

}  // namespace ovrel::core
