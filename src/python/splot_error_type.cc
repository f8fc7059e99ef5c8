#include "python/splot_error_type.h"

#include "python/process_wide_object.h"

namespace tarnwex {

PyObject* splot_error_type() {
  static PyObject* type = nullptr;
  return process_wide_object(type, [] {
    return PyErr_NewException("tarnwex.SPlotError", PyExc_RuntimeError, nullptr);
  });
}

}  // namespace tarnwex
