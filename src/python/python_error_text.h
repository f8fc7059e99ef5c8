// The text by which a Python failure inside the fit is reported.
#pragma once

#include <string>

#include "python/python_api.h"

namespace tarnwex {

// "<qualified class name>: <str(exception)>", characters that UTF-8 cannot
// carry (lone surrogates) replaced by U+FFFD; "<exception str() failed>" when
// str() raises.
std::string python_error_text(PyObject* exception);

}  // namespace tarnwex
