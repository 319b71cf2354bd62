#include "ovrel/core/text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace ovrel::core {
namespace {

// Large enough for the positional form of any double (about 330 characters at the extremes).
constexpr std::size_t kBuf = 512;

bool special_text(double v, std::string& out) {
  if (std::isnan(v)) {
    out = "NaN";
    return true;
  }
  if (std::isinf(v)) {
    out = v > 0 ? "inf" : "-inf";
    return true;
  }
  return false;
}

template <class F>
std::string shortest(F v, std::chars_format fmt) {
  char buf[kBuf];
  auto r = std::to_chars(buf, buf + kBuf, v, fmt);
  return std::string(buf, r.ptr);
}

// Shortest round-trip digits laid out positionally: the digits of the shortest scientific form,
// padded with zeros, so 1e300 is a one and 300 zeros (not the exact binary expansion).
template <class F>
std::string positional(F v) {
  const std::string sci = shortest(v, std::chars_format::scientific);
  const auto e = sci.find('e');
  std::string digits;
  bool negative = false;
  for (std::size_t i = 0; i < e; ++i) {
    if (sci[i] == '-') negative = true;
    if (sci[i] >= '0' && sci[i] <= '9') digits.push_back(sci[i]);
  }
  const int exp10 = std::stoi(sci.substr(e + 1));
  // value = 0.d1d2d3... * 10^(exp10 + 1)
  const long point = static_cast<long>(exp10) + 1;
  std::string out = negative ? "-" : "";
  const long nd = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= nd) {
    out += digits;
    out.append(static_cast<std::size_t>(point - nd), '0');
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out += ".";
    out += digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

}  // namespace

std::string plain(double v) {
  std::string out;
  if (special_text(v, out)) return out;
  if (v == 0.0) return std::signbit(v) ? "-0" : "0";
  return positional(v);
}

std::string plain(float v) {
  std::string out;
  if (special_text(static_cast<double>(v), out)) return out;
  if (v == 0.0f) return std::signbit(v) ? "-0" : "0";
  return positional(v);
}

std::string debug(double v) {
  std::string out;
  if (special_text(v, out)) return out;
  const double mag = std::fabs(v);
  if (v == 0.0 || (mag >= 1e-4 && mag < 1e16)) {
    out = v == 0.0 ? (std::signbit(v) ? "-0" : "0") : positional(v);
    if (out.find('.') == std::string::npos) out += ".0";
    return out;
  }
  // to_chars writes "2.5e-05" / "1e+16"; the wire form is "2.5e-5" / "1e16".
  std::string sci = shortest(v, std::chars_format::scientific);
  const auto e = sci.find('e');
  std::string mantissa = sci.substr(0, e);
  std::string exp = sci.substr(e + 1);
  bool negative = false;
  std::size_t i = 0;
  if (i < exp.size() && (exp[i] == '+' || exp[i] == '-')) {
    negative = exp[i] == '-';
    ++i;
  }
  while (i + 1 < exp.size() && exp[i] == '0') ++i;
  return mantissa + "e" + (negative ? "-" : "") + exp.substr(i);
}

std::string fixed(double v, int precision) {
  std::string out;
  if (special_text(v, out)) return out;
  char buf[kBuf + 64];
  if (precision < 0) precision = 0;
  if (precision > 60) precision = 60;
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, precision);
  return std::string(buf, r.ptr);
}

namespace {
template <class T>
std::string list_of(std::span<const T> values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(values[i]);
  }
  out += "]";
  return out;
}
}  // namespace

std::string list_text(std::span<const std::size_t> values) { return list_of(values); }
std::string list_text(std::span<const std::int64_t> values) { return list_of(values); }

}  // namespace ovrel::core
