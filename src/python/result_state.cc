#include "python/result_state.h"

#include <string>

#include "python/interpreter_compat.h"
#include "python/parameter_dict.h"
#include "python/py_ref.h"

namespace tarnwex {

namespace {

// Raised for a state whose layout a later version changes, so that an old
// reader refuses a newer pickle instead of misreading it.
constexpr long kStateVersion = 1;
constexpr Py_ssize_t kStateSize = 16;

bool invalid(PyObject* kind, const std::string& what) {
  const std::string text = "invalid SPlotResult state: " + what;
  PyErr_SetString(kind, text.c_str());
  return false;
}

// A fresh, aligned, native, C-ordered float64 copy of `given` when it is a
// float64 array of shape `dims` (-1 takes any length there), so that the
// restored result shares nothing with the state. Byte order converts without
// touching a value's bits.
bool read_array(PyObject* given, const char* name, int ndim, const npy_intp* dims, PyRef& out) {
  if (!PyArray_Check(given) || PyArray_TYPE(reinterpret_cast<PyArrayObject*>(given)) != NPY_DOUBLE ||
      PyArray_NDIM(reinterpret_cast<PyArrayObject*>(given)) != ndim) {
    return invalid(PyExc_TypeError, std::string(name) + " must be a " + std::to_string(ndim) +
                                        "-dimensional float64 array");
  }
  const npy_intp* shape = PyArray_DIMS(reinterpret_cast<PyArrayObject*>(given));
  for (int i = 0; i < ndim; ++i) {
    if (dims[i] >= 0 && shape[i] != dims[i]) {
      return invalid(PyExc_ValueError, std::string(name) + " has the wrong shape");
    }
  }
  out = PyRef::steal(PyArray_FromAny(given, PyArray_DescrFromType(NPY_DOUBLE), ndim, ndim,
                                     NPY_ARRAY_CARRAY | NPY_ARRAY_ENSURECOPY, nullptr));
  return static_cast<bool>(out);
}

bool read_double(PyObject* given, const char* name, double& out) {
  if (!PyFloat_Check(given)) return invalid(PyExc_TypeError, std::string(name) + " must be a float");
  out = PyFloat_AsDouble(given);
  return !(out == -1.0 && PyErr_Occurred());
}

bool read_count(PyObject* given, const char* name, std::size_t& out) {
  if (!PyLong_Check(given)) return invalid(PyExc_TypeError, std::string(name) + " must be an int");
  out = compat::long_as_size_t(given);
  if (out == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return invalid(PyExc_ValueError, std::string(name) + " must be a count");
  }
  return true;
}

bool read_text(PyObject* given, std::string& out) {
  if (!PyUnicode_Check(given)) return invalid(PyExc_TypeError, "message must be a str");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(given, &size);
  if (text == nullptr) return false;
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

bool read_map(PyObject* given, const char* name, ParameterMap& out) {
  if (!PyDict_Check(given)) return invalid(PyExc_TypeError, std::string(name) + " must be a dict");
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(given, &position, &key, &value)) {
    if (!PyUnicode_Check(key) || !PyFloat_Check(value)) {
      return invalid(PyExc_TypeError, std::string(name) + " must map str to float");
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) return false;
    out.insert_or_assign(std::string(text, static_cast<std::size_t>(size)), PyFloat_AS_DOUBLE(value));
  }
  return true;
}

bool same_names(const ParameterMap& a, const ParameterMap& b) {
  if (a.size() != b.size()) return false;
  for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
    if (i->first != j->first) return false;
  }
  return true;
}

}  // namespace

std::optional<SPlotResultFields> fields_from_state(PyObject* state) {
  if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != kStateSize) {
    invalid(PyExc_TypeError, "expected " + std::to_string(kStateSize) + " items");
    return std::nullopt;
  }
  auto item = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(state, i); };
  std::size_t version = 0;
  if (!read_count(item(0), "version", version)) return std::nullopt;
  if (version != static_cast<std::size_t>(kStateVersion)) {
    invalid(PyExc_ValueError, "version " + std::to_string(version) + " is not supported");
    return std::nullopt;
  }
  SPlotResultFields fields{};
  const npy_intp any[2] = {-1, -1};
  if (!read_array(item(1), "yields", 1, any, fields.yields)) return std::nullopt;
  const npy_intp k = PyArray_DIM(reinterpret_cast<PyArrayObject*>(fields.yields.get()), 0);
  if (k == 0) {
    invalid(PyExc_ValueError, "yields must not be empty");
    return std::nullopt;
  }
  const npy_intp yield_shape[1] = {k};
  const npy_intp square[2] = {k, k};
  const npy_intp per_event[2] = {-1, k};
  if (!read_array(item(2), "yield_errors", 1, yield_shape, fields.yield_errors) ||
      !read_array(item(3), "covariance", 2, square, fields.covariance) ||
      !read_array(item(4), "sweights", 2, per_event, fields.sweights) ||
      !read_map(item(5), "shape_parameters", fields.shape_parameters) ||
      !read_map(item(6), "shape_errors", fields.shape_errors)) {
    return std::nullopt;
  }
  const auto n = k + static_cast<npy_intp>(fields.shape_parameters.size());
  const npy_intp joint[2] = {n, n};
  if (!read_array(item(7), "fit_covariance", 2, joint, fields.fit_covariance) ||
      !read_double(item(8), "minimum_nll", fields.minimum_nll)) {
    return std::nullopt;
  }
  if (!PyBool_Check(item(9))) {
    invalid(PyExc_TypeError, "success must be a bool");
    return std::nullopt;
  }
  fields.success = item(9) == Py_True;
  if (!read_text(item(10), fields.message) ||
      !read_count(item(11), "objective_evaluations", fields.objective_evaluations) ||
      !read_count(item(12), "gradient_evaluations", fields.gradient_evaluations) ||
      !read_count(item(13), "hessian_evaluations", fields.hessian_evaluations) ||
      !read_map(item(14), "lower bounds", fields.lower_bounds) ||
      !read_map(item(15), "upper bounds", fields.upper_bounds)) {
    return std::nullopt;
  }
  if (!same_names(fields.shape_parameters, fields.shape_errors) ||
      !same_names(fields.shape_parameters, fields.lower_bounds) ||
      !same_names(fields.shape_parameters, fields.upper_bounds)) {
    invalid(PyExc_ValueError, "the shape parameters' values, errors and bounds name different parameters");
    return std::nullopt;
  }
  return fields;
}

PyObject* result_state(const SPlotResultFields& fields) {
  PyRef values = PyRef::steal(parameters_to_python(fields.shape_parameters));
  PyRef errors = PyRef::steal(parameters_to_python(fields.shape_errors));
  PyRef lower = PyRef::steal(parameters_to_python(fields.lower_bounds));
  PyRef upper = PyRef::steal(parameters_to_python(fields.upper_bounds));
  if (!values || !errors || !lower || !upper) return nullptr;
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(
      fields.message.data(), static_cast<Py_ssize_t>(fields.message.size()), "replace"));
  if (!message) return nullptr;
  return Py_BuildValue("(lOOOOOOOdOOKKKOO)", kStateVersion, fields.yields.get(),
                       fields.yield_errors.get(), fields.covariance.get(), fields.sweights.get(),
                       values.get(), errors.get(), fields.fit_covariance.get(), fields.minimum_nll,
                       fields.success ? Py_True : Py_False, message.get(),
                       static_cast<unsigned long long>(fields.objective_evaluations),
                       static_cast<unsigned long long>(fields.gradient_evaluations),
                       static_cast<unsigned long long>(fields.hessian_evaluations), lower.get(),
                       upper.get());
}

}  // namespace tarnwex
