// The few C-API calls and flags that not every supported interpreter has
// (CPython before 3.10 or 3.11, PyPy's C-API layer), each with a stand-in that
// behaves the same. Every other file calls these instead of the originals, so
// that the differences between interpreters live here and nowhere else.
#pragma once

#include <cstddef>

#include "python/python_api.h"

namespace tarnwex::compat {

// Type flags that older interpreters lack. Without them the class object
// itself stays mutable (harmless: instances are what must not change) and
// instantiation is refused by the type's own constructor slot instead (see
// `refuse_instantiation`).
#ifdef Py_TPFLAGS_IMMUTABLETYPE
inline constexpr unsigned long kImmutableType = Py_TPFLAGS_IMMUTABLETYPE;
#else
inline constexpr unsigned long kImmutableType = 0;
#endif
#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
inline constexpr unsigned long kDisallowInstantiation = Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
inline constexpr unsigned long kDisallowInstantiation = 0;
#endif

// A new reference to `object`.
inline PyObject* new_ref(PyObject* object) {
  Py_INCREF(object);
  return object;
}

// Adds `value` to the module under `name` without taking the caller's
// reference. 0 on success, -1 with a Python error set.
inline int module_add_object_ref(PyObject* module, const char* name, PyObject* value) {
#if PY_VERSION_HEX >= 0x030A0000 && !defined(PYPY_VERSION)
  return PyModule_AddObjectRef(module, name, value);
#else
  // The old call steals the reference only when it succeeds.
  Py_INCREF(value);
  if (PyModule_AddObject(module, name, value) < 0) {
    Py_DECREF(value);
    return -1;
  }
  return 0;
#endif
}

// The module's `__name__` (a new reference), or null with a Python error set.
inline PyObject* module_name(PyObject* module) {
#ifdef PYPY_VERSION
  return PyObject_GetAttrString(module, "__name__");
#else
  return PyModule_GetNameObject(module);
#endif
}

// The type's `__qualname__` (a new reference), or null with a Python error
// set.
inline PyObject* type_qualified_name(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000 && !defined(PYPY_VERSION)
  return PyType_GetQualName(type);
#else
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
#endif
}

// The integer as an unsigned machine word, or (size_t)-1 with OverflowError
// set when it is negative or too large. PyPy's C-API layer reports a
// negative value as a ValueError; it is raised here as every other
// interpreter raises it.
std::size_t long_as_size_t(PyObject* integer);

// A final class made from `spec`: not subclassable, its instances take no
// attribute beyond the read-only properties, and its text signature (the
// first line of the docstring slot) readable as `__text_signature__`. A new
// reference, or null with a Python error set.
//
// CPython enforces the first two through the type flags; PyPy's C-API layer
// accepts subclasses and gives instances a dictionary, so there the class
// gets a refusing `__init_subclass__` and an attribute-setting slot that
// refuses every name. CPython 3.9 drops the signature when it copies the
// docstring, so there the full text is put back.
PyObject* final_type_from_spec(PyType_Spec& spec);

// The constructor slot of a class whose instances only the module creates.
// Interpreters with the "no instantiation" flag never call it; on the others
// it refuses with the error those give.
PyObject* refuse_instantiation(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace tarnwex::compat
