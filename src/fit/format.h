// How values appear inside the fit's messages.
#pragma once

#include <string>
#include <string_view>

namespace tarnwex {

// Shortest round-trip decimal without exponent: "1", "0.0000001", "-0",
// "inf", "-inf", "NaN".
std::string format_double(double value);

// The name in double quotes, with backslash escapes for quotes, backslashes
// and control characters ("\n", "\t", ... , "\u{1b}").
std::string quoted_name(std::string_view name);

}  // namespace tarnwex
