#include "python/parameter_dict.h"

#include "python/py_ref.h"

namespace tarnwex {

PyObject* parameters_to_python(const ParameterMap& parameters) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, value] : parameters) {
    PyRef key = PyRef::steal(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
    if (!key) return nullptr;
    PyRef number = PyRef::steal(PyFloat_FromDouble(value));
    if (!number) return nullptr;
    if (PyDict_SetItem(dict.get(), key.get(), number.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace tarnwex
