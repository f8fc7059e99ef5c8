#include "fit/core/text/format.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <iterator>

#include "fit/core/text/escaped_code_points.h"

namespace tarnwex {

std::string format_double(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // Scientific notation is where the conversion picks the fewest digits; in
  // fixed notation it would pick the fewest characters, which for a large
  // integral double are its exact digits (1e23 as 99999999999999991611392).
  // "-d.ddddddddddddddde-308" is the longest text.
  std::array<char, 32> buffer;
  const auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                     std::chars_format::scientific);
  const std::string_view text(buffer.data(), written.ptr);
  const std::size_t e = text.find('e');
  std::string_view exponent_text = text.substr(e + 1);
  if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  std::string out;
  std::string digits;
  for (const char c : text.substr(0, e)) {
    if (c == '-') out += c;
    else if (c != '.') digits += c;
  }
  const int n = static_cast<int>(digits.size());
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  } else if (exponent + 1 >= n) {
    out += digits;
    out.append(static_cast<std::size_t>(exponent + 1 - n), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
    out += '.';
    out.append(digits, static_cast<std::size_t>(exponent + 1));
  }
  return out;
}

namespace {

// The length of the well-formed UTF-8 sequence that starts at text[i], with
// its code point; 0 when the bytes there do not start one (overlong forms,
// surrogates, values beyond U+10FFFF and cut-off sequences included).
std::size_t decode_utf8(std::string_view text, std::size_t i, char32_t& code_point) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    code_point = lead;
    return 1;
  }
  std::size_t length = 0;
  char32_t value = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const unsigned char next = byte(i + k);
    if (next < low || next > high) return 0;
    low = 0x80;
    high = 0xBF;
    value = (value << 6) | (next & 0x3Fu);
  }
  code_point = value;
  return length;
}

bool is_escaped(char32_t code_point) {
  const auto after = std::upper_bound(
      kEscapedCodePoints.begin(), kEscapedCodePoints.end(), code_point,
      [](char32_t value, const CodePointRange& range) { return value < range.first; });
  return after != kEscapedCodePoints.begin() && code_point <= std::prev(after)->last;
}

void append_hex(std::string& out, unsigned value, std::size_t min_digits) {
  std::array<char, 8> digits;
  const auto written = std::to_chars(digits.data(), digits.data() + digits.size(), value, 16);
  const auto count = static_cast<std::size_t>(written.ptr - digits.data());
  if (count < min_digits) out.append(min_digits - count, '0');
  out.append(digits.data(), count);
}

}  // namespace

std::string quoted_name(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < name.size();) {
    char32_t code_point = 0;
    const std::size_t length = decode_utf8(name, i, code_point);
    if (length == 0) {
      out += "\\x";
      append_hex(out, static_cast<unsigned char>(name[i]), 2);
      ++i;
      continue;
    }
    switch (code_point) {
      case U'"': out += "\\\""; break;
      case U'\\': out += "\\\\"; break;
      case U'\t': out += "\\t"; break;
      case U'\r': out += "\\r"; break;
      case U'\n': out += "\\n"; break;
      case U'\0': out += "\\0"; break;
      default:
        if (is_escaped(code_point)) {
          out += "\\u{";
          append_hex(out, static_cast<unsigned>(code_point), 1);
          out += '}';
        } else {
          out.append(name, i, length);
        }
    }
    i += length;
  }
  out += '"';
  return out;
}

}  // namespace tarnwex
