#include "python/pending_exception.h"

namespace tarnwex {

PendingException PendingException::take() {
  PendingException pending;
#if PY_VERSION_HEX >= 0x030C0000
  pending.value_ = PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return pending;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  pending.value_ = PyRef::steal(value);
#endif
  return pending;
}

void PendingException::restore() {
  if (!value_) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(value_.release());
#else
  PyObject* value = value_.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

}  // namespace tarnwex
