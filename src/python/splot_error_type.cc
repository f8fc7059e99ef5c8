#include "python/splot_error_type.h"

namespace tarnwex {

PyObject* splot_error_type() {
  // Created under the interpreter lock, which nothing here gives up.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewException("tarnwex.SPlotError", PyExc_RuntimeError, nullptr);
  }
  return type;
}

}  // namespace tarnwex
