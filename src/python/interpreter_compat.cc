#include "python/interpreter_compat.h"

#include <cstring>
#include <map>
#include <vector>


namespace tarnwex::compat {

namespace {

#ifdef PYPY_VERSION
PyObject* refuse_subclass(PyObject* subclass, PyObject*, PyObject*) {
  PyTypeObject* base = reinterpret_cast<PyTypeObject*>(subclass)->tp_base;
  PyErr_Format(PyExc_TypeError, "type '%s' is not an acceptable base type",
               base != nullptr ? base->tp_name : "?");
  return nullptr;
}

int refuse_attribute(PyObject* self, PyObject* name, PyObject*) {
  // A property of the class is read-only; any other name has no place to go.
  if (PyObject_HasAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), name)) {
    PyErr_Format(PyExc_AttributeError, "attribute '%U' of '%s' objects is not writable", name,
                 Py_TYPE(self)->tp_name);
  } else {
    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%U'",
                 Py_TYPE(self)->tp_name, name);
  }
  return -1;
}

const PyMethodDef kRefuseSubclass = {
    "__init_subclass__",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(refuse_subclass)),
    METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr};

// The class's own methods followed by the refusing __init_subclass__: a type
// has one method table, and a second Py_tp_methods slot would replace the
// first. The type keeps pointing at the table, so it is kept for the process,
// one per spec however often the type is made.
PyMethodDef* final_class_methods(const PyType_Spec& spec) {
  static std::map<const PyType_Spec*, std::vector<PyMethodDef>> tables;
  std::vector<PyMethodDef>& table = tables[&spec];
  if (table.empty()) {
    for (const PyType_Slot* slot = spec.slots; slot->slot != 0; ++slot) {
      if (slot->slot != Py_tp_methods) continue;
      for (auto* method = static_cast<PyMethodDef*>(slot->pfunc); method->ml_name != nullptr; ++method) {
        table.push_back(*method);
      }
    }
    table.push_back(kRefuseSubclass);
    table.push_back({nullptr, nullptr, 0, nullptr});
  }
  return table.data();
}
#endif

#if PY_VERSION_HEX < 0x030A0000 && !defined(PYPY_VERSION)
const char* docstring_slot(const PyType_Spec& spec) {
  for (const PyType_Slot* slot = spec.slots; slot->slot != 0; ++slot) {
    if (slot->slot == Py_tp_doc) return static_cast<const char*>(slot->pfunc);
  }
  return nullptr;
}

// The type frees its docstring with the object allocator, so the copy is
// made with it too.
bool restore_full_docstring(PyTypeObject* type, const char* doc) {
  const std::size_t size = std::strlen(doc) + 1;
  char* copy = static_cast<char*>(PyObject_Malloc(size));
  if (copy == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  std::memcpy(copy, doc, size);
  PyObject_Free(const_cast<char*>(type->tp_doc));
  type->tp_doc = copy;
  return true;
}
#endif

}  // namespace

PyObject* final_type_from_spec(PyType_Spec& spec) {
#ifdef PYPY_VERSION
  std::vector<PyType_Slot> slots;
  for (const PyType_Slot* slot = spec.slots; slot->slot != 0; ++slot) {
    if (slot->slot != Py_tp_methods) slots.push_back(*slot);
  }
  slots.push_back({Py_tp_setattro, reinterpret_cast<void*>(refuse_attribute)});
  slots.push_back({Py_tp_methods, final_class_methods(spec)});
  slots.push_back({0, nullptr});
  PyType_Spec extended = spec;
  extended.slots = slots.data();
  return PyType_FromSpec(&extended);
#else
  PyObject* type = PyType_FromSpec(&spec);
#if PY_VERSION_HEX < 0x030A0000
  const char* doc = docstring_slot(spec);
  if (type != nullptr && doc != nullptr &&
      !restore_full_docstring(reinterpret_cast<PyTypeObject*>(type), doc)) {
    Py_DECREF(type);
    return nullptr;
  }
#endif
  return type;
#endif
}

std::size_t long_as_size_t(PyObject* integer) {
  const std::size_t value = PyLong_AsSize_t(integer);
#ifdef PYPY_VERSION
  if (value == static_cast<std::size_t>(-1) && PyErr_Occurred() &&
      PyErr_ExceptionMatches(PyExc_ValueError)) {
    PyErr_Clear();
    PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
  }
#endif
  return value;
}

PyObject* refuse_instantiation(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
  return nullptr;
}

}  // namespace tarnwex::compat
