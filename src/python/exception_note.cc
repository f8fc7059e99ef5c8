#include "python/exception_note.h"

#include "python/pending_exception.h"
#include "python/py_ref.h"

namespace tarnwex {

void note_argument(const char* parameter) {
  PendingException pending = PendingException::take();
  if (!pending) return;
  // One interned name for every lookup: a fresh string per call would make
  // each raise go round the interpreter's method cache.
  static PyObject* const add_note = PyUnicode_InternFromString("add_note");
  PyRef method = add_note != nullptr
                     ? PyRef::steal(PyObject_GetAttr(pending.value(), add_note))
                     : PyRef();
  PyRef note = method ? PyRef::steal(PyUnicode_FromFormat("while processing '%s'", parameter))
                      : PyRef();
  PyRef done = note ? PyRef::steal(PyObject_CallOneArg(method.get(), note.get())) : PyRef();
  // Interpreters without exception notes, or a failure to add one, leave the
  // original exception as it is.
  if (!done) PyErr_Clear();
  pending.restore();
}

}  // namespace tarnwex
