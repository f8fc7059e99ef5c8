// A hook the likelihood consults before each evaluation, so that a caller can
// stop a long fit (the Python layer uses it to honour Ctrl-C).
#pragma once

#include <expected>
#include <functional>

#include "fit/splot_error.h"

namespace tarnwex {

// Returns an error to end the fit with that error; an empty check never stops it.
using InterruptCheck = std::function<std::expected<void, SPlotError>()>;

}  // namespace tarnwex
