// A name written for a representation: in double quotes, escaped so that
// every character is visible and none combines with the quotes around it.
#pragma once

#include <string>
#include <string_view>

namespace tarnwex {

// `name` is valid UTF-8. Escapes: \" \\ \t \r \n \0; every other character
// that is not printable, or that extends the grapheme before it, as \u{hex}.
// Needs the interpreter (its Unicode database); false with a Python error set
// when that cannot be reached.
bool quoted_repr(std::string_view name, std::string& out);

}  // namespace tarnwex
