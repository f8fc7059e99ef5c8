#include "python/exception_note.h"

#include "python/pending_exception.h"
#include "python/py_ref.h"

namespace tarnwex {

void note_argument(const char* parameter) {
  PendingException pending = PendingException::take();
  if (!pending) return;
  PyObject* exception = pending.value();
  if (PyObject_HasAttrString(exception, "add_note")) {
    PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
    PyRef done = note ? PyRef::steal(PyObject_CallMethod(exception, "add_note", "O", note.get()))
                      : PyRef();
    if (!done) PyErr_Clear();
  }
  pending.restore();
}

}  // namespace tarnwex
