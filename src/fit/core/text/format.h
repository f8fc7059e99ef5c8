// How values appear inside the fit's messages and the module's
// representations.
#pragma once

#include <string>
#include <string_view>

namespace tarnwex {

// The fewest significant digits that read back to the same double, written
// out without exponent: "1", "0.0000001", "100000000000000000000000" for
// 1e23, "-0", "inf", "-inf", "NaN".
std::string format_double(double value);

// The name in double quotes, so that every character is visible and none
// merges with its neighbours: \" \\ \t \r \n \0, and \u{hex} for every other
// code point that is not printable or that extends the grapheme before it
// (escaped_code_points.h). Any other character is written as it is. A byte
// that is not part of well-formed UTF-8 is written as \xhh.
std::string quoted_name(std::string_view name);

}  // namespace tarnwex
