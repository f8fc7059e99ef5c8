#include "python/pdf_declarations.h"

#include "python/py_ref.h"

namespace tarnwex {

namespace {

bool refuse(std::size_t k) {
  PyErr_Format(PyExc_TypeError,
               "PDF %zu: %s must be an iterable of shape-parameter names (str), not a single name",
               k, kDeclarationAttribute);
  return false;
}

// The names in `declared`, the attribute of PDF k.
bool read_names(std::size_t k, PyObject* declared, std::vector<std::string>& names) {
  if (PyUnicode_Check(declared) || PyBytes_Check(declared)) return refuse(k);
  PyRef iterator = PyRef::steal(PyObject_GetIter(declared));
  if (!iterator) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    return refuse(k);
  }
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!PyUnicode_Check(item.get())) return refuse(k);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item.get(), &size);
    if (text == nullptr) return false;
    names.emplace_back(text, static_cast<std::size_t>(size));
  }
  return !PyErr_Occurred();
}

}  // namespace

bool read_pdf_declarations(PyObject* pdfs,
                           std::vector<std::optional<std::vector<std::string>>>& out) {
  const Py_ssize_t n = PyTuple_GET_SIZE(pdfs);
  out.assign(static_cast<std::size_t>(n), std::nullopt);
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* callable = PyTuple_GET_ITEM(pdfs, k);
    PyRef declared = PyRef::steal(PyObject_GetAttrString(callable, kDeclarationAttribute));
    if (!declared) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
      PyErr_Clear();
      continue;
    }
    std::vector<std::string> names;
    if (!read_names(static_cast<std::size_t>(k), declared.get(), names)) return false;
    out[static_cast<std::size_t>(k)] = std::move(names);
  }
  return true;
}

}  // namespace tarnwex
