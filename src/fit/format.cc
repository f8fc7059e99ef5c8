#include "fit/format.h"

#include <array>
#include <charconv>
#include <cmath>

namespace tarnwex {

std::string format_double(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // The longest fixed-notation shortest round-trip text is that of the
  // smallest subnormal: "0." followed by 324 digits, plus a sign.
  std::array<char, 400> buffer;
  const auto result =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed);
  return std::string(buffer.data(), result.ptr);
}

namespace {

void append_code_point_escape(std::string& out, unsigned code_point) {
  std::array<char, 16> digits;
  const auto result =
      std::to_chars(digits.data(), digits.data() + digits.size(), code_point, 16);
  out += "\\u{";
  out.append(digits.data(), result.ptr);
  out += '}';
}

}  // namespace

std::string quoted_name(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    switch (byte) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      default: break;
    }
    if (byte < 0x20 || byte == 0x7f) {
      append_code_point_escape(out, byte);
      continue;
    }
    // The C1 control characters U+0080..U+009F are encoded as C2 80..C2 9F.
    if (byte == 0xc2 && i + 1 < name.size()) {
      const auto next = static_cast<unsigned char>(name[i + 1]);
      if (next >= 0x80 && next <= 0x9f) {
        append_code_point_escape(out, next);
        ++i;
        continue;
      }
    }
    out += static_cast<char>(byte);
  }
  out += '"';
  return out;
}

}  // namespace tarnwex
