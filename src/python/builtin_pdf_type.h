// The private base class of the companion module's densities: it holds the
// density's description, computes it for Python callers (the PDF
// convention, and its gradient), and lets splot hand the density to the
// fit, which then evaluates it without calling back into Python.
#pragma once

#include <cstddef>
#include <optional>

#include "fit/densities/builtin_pdf.h"
#include "python/python_api.h"

namespace tarnwex {

struct PyBuiltinPdf {
  PyObject_HEAD
  DensityDescription* description;  // owned; null until __init__ has run
  std::size_t column;
};

// The process-wide type object, created on first use; borrowed. Null with a
// Python error set when it cannot be created.
PyTypeObject* builtin_pdf_type();

// The description and data column of `pdf` when the fit may evaluate it
// itself: an initialised instance whose class keeps the base's __call__
// (a subclass that computes something else is called like any other PDF).
struct NativeDensity {
  const DensityDescription* description;
  std::size_t column;
};
std::optional<NativeDensity> native_density(PyObject* pdf);

}  // namespace tarnwex
