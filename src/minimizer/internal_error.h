// The end of a run that has met a programming error, such as a shape
// mismatch between internal vectors: no caller could recover from it, so it
// is not returned as an error value.
#pragma once

#include <string_view>

namespace tarnwex {

// Prints the message to stderr and aborts.
[[noreturn]] void internal_error(std::string_view message);

}  // namespace tarnwex
