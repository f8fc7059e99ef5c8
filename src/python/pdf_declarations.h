// The shape parameters a PDF callable says it depends on: the attribute
// `__tarnwex_parameters__` of the callable (a function attribute, or an
// attribute of a callable object), an iterable of shape-parameter names.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "python/interpreter_compat.h"

namespace tarnwex {

// The attribute's name, namespaced so that no attribute of the user's own
// can be taken for it.
inline constexpr const char* kDeclarationAttribute = "__tarnwex_parameters__";

// One entry per callable of the tuple `pdfs`: the names it declares, or
// nothing where it has no such attribute. False, with a Python exception
// set, when an attribute is not an iterable of str (a TypeError naming the
// PDF) or reading it raised.
bool read_pdf_declarations(PyObject* pdfs,
                           std::vector<std::optional<std::vector<std::string>>>& out);

}  // namespace tarnwex
