// The module's type objects and its exception class: made on first use and
// kept for the rest of the process.
#pragma once

#include "python/python_api.h"

namespace tarnwex {

// The object in `slot`, made by `make` (a new reference, or null with a Python
// error set) when the slot is still empty. Making one runs under the
// interpreter lock, but it can start a garbage collection whose finalizers let
// another thread in to make its own; the first one stored is the one every
// caller gets, and a later one is dropped. Borrowed; null on failure.
template <typename Make>
PyObject* process_wide_object(PyObject*& slot, Make make) {
  if (slot != nullptr) return slot;
  PyObject* made = make();
  if (made == nullptr) return nullptr;
  if (slot == nullptr) {
    slot = made;
  } else {
    Py_DECREF(made);
  }
  return slot;
}

}  // namespace tarnwex
