#include "python/splot_arguments.h"

#include "python/exception_note.h"
#include "python/interpreter_compat.h"
#include "python/numpy_convert.h"
#include "python/shape_parameter_type.h"

namespace tarnwex {

namespace {

PyObject* const kAbsent = nullptr;

bool fail_with_note(const char* parameter) {
  note_argument(parameter);
  return false;
}

// The elements of a sequence that is not a str, as a new tuple; sets, dicts,
// iterators and generators are refused.
PyRef sequence_elements(PyObject* object, const char* parameter) {
  if (PyUnicode_Check(object) || !PySequence_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be a sequence, not %.200s", parameter,
                 Py_TYPE(object)->tp_name);
    return PyRef();
  }
  return PyRef::steal(PySequence_Tuple(object));
}

bool to_doubles(PyObject* tuple, std::vector<double>& out) {
  const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
  out.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    const double value = PyFloat_AsDouble(PyTuple_GET_ITEM(tuple, i));
    if (value == -1.0 && PyErr_Occurred()) return false;
    out.push_back(value);
  }
  return true;
}

// NumPy's forced conversion to float64, aligned and in the machine's byte
// order, so that the fit can read the values in place.
PyRef numpy_float64(PyObject* object, int ndim, const char* parameter) {
  PyRef array = PyRef::steal(PyArray_FromAny(object, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                             NPY_ARRAY_FORCECAST | NPY_ARRAY_ALIGNED, nullptr));
  if (!array) return array;
  if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(array.get())) != ndim) {
    PyErr_Format(PyExc_TypeError, "%s must have %d dimension%s, not %d", parameter, ndim,
                 ndim == 1 ? "" : "s", PyArray_NDIM(reinterpret_cast<PyArrayObject*>(array.get())));
    return PyRef();
  }
  return array;
}

bool convert_data(PyObject* object, SPlotArguments& out) {
  // A float64 matrix is used as it is, so the PDFs receive the caller's own
  // array; one whose doubles cannot be read in place is converted instead.
  if (is_float64_array(object, 2) &&
      is_readable_in_place(reinterpret_cast<PyArrayObject*>(object))) {
    out.data = PyRef::borrow(object);
    return true;
  }
  out.data = numpy_float64(object, 2, "data");
  return out.data || fail_with_note("data");
}

bool convert_pdfs(PyObject* object, SPlotArguments& out) {
  out.pdfs = sequence_elements(object, "pdfs");
  return out.pdfs || fail_with_note("pdfs");
}

bool convert_shape_parameters(PyObject* object, SPlotArguments& out) {
  if (object == kAbsent || object == Py_None) {
    out.shape_parameters = PyRef::steal(PyTuple_New(0));
    return static_cast<bool>(out.shape_parameters);
  }
  PyTypeObject* type = shape_parameter_type();
  if (type == nullptr) return false;
  out.shape_parameters = sequence_elements(object, "shape_parameters");
  if (!out.shape_parameters) return fail_with_note("shape_parameters");
  const Py_ssize_t size = PyTuple_GET_SIZE(out.shape_parameters.get());
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* element = PyTuple_GET_ITEM(out.shape_parameters.get(), i);
    if (!PyObject_TypeCheck(element, type)) {
      PyErr_Format(PyExc_TypeError, "shape_parameters[%zd] must be a ShapeParameter, not %.200s",
                   i, Py_TYPE(element)->tp_name);
      return fail_with_note("shape_parameters");
    }
  }
  return true;
}

// Whether any element is a NumPy array with dimensions: whether such an
// element converts to float depends on the NumPy version.
// Returns the index of the first such element, or -1.
Py_ssize_t first_shaped_array(PyObject* tuple) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
    PyObject* element = PyTuple_GET_ITEM(tuple, i);
    if (PyArray_Check(element) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(element)) > 0) {
      return i;
    }
  }
  return -1;
}

bool convert_initial_yields(PyObject* object, SPlotArguments& out) {
  if (object == kAbsent || object == Py_None) return true;
  PyRef elements = sequence_elements(object, "initial_yields");
  if (!elements) return fail_with_note("initial_yields");
  // A one-element array would convert to float on some NumPy versions and
  // not on others; a start yield is refused as such on all of them.
  if (const Py_ssize_t shaped = first_shaped_array(elements.get()); shaped >= 0) {
    PyErr_Format(PyExc_TypeError, "initial_yields[%zd] must be a number, not an array with dimensions",
                 shaped);
    return fail_with_note("initial_yields");
  }
  std::vector<double> values;
  if (!to_doubles(elements.get(), values)) return fail_with_note("initial_yields");
  out.initial_yields = std::move(values);
  return true;
}

bool convert_weights(PyObject* object, SPlotArguments& out) {
  if (object == kAbsent || object == Py_None) return true;
  // Any float64 vector, whatever its byte order, has its layout checked
  // before its values are copied. Every other NumPy array, and a sequence of
  // them, goes to NumPy's own conversion, never element by element: a float
  // conversion of a one-element row would let an (N, 1) array through on
  // some NumPy versions and not on others.
  if (is_float64_array(object, 1)) {
    out.weights_array = PyRef::borrow(object);
    return true;
  }
  if (!PyArray_Check(object) && !PyUnicode_Check(object) && PySequence_Check(object)) {
    PyRef elements = PyRef::steal(PySequence_Tuple(object));
    std::vector<double> values;
    if (elements && first_shaped_array(elements.get()) < 0) {
      if (to_doubles(elements.get(), values)) {
        out.weights_values = std::move(values);
        return true;
      }
    }
    // Not a flat sequence of numbers: NumPy decides below. Only an ordinary
    // failure falls through; KeyboardInterrupt and the like are raised.
    if (PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return fail_with_note("weights");
      PyErr_Clear();
    }
  }
  out.weights_array = numpy_float64(object, 1, "weights");
  return out.weights_array || fail_with_note("weights");
}

bool convert_max_steps(PyObject* object, SPlotArguments& out) {
  if (object == kAbsent) return true;
  if (object == Py_None) {
    out.max_steps.reset();
    return true;
  }
  PyRef integer = PyRef::steal(PyNumber_Index(object));
  if (!integer) return fail_with_note("max_steps");
  const std::size_t value = compat::long_as_size_t(integer.get());
  if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) return fail_with_note("max_steps");
  out.max_steps = value;
  return true;
}

bool convert_tolerance(PyObject* object, SPlotArguments& out) {
  if (object == kAbsent) return true;
  out.tolerance = PyFloat_AsDouble(object);
  if (out.tolerance == -1.0 && PyErr_Occurred()) return fail_with_note("tolerance");
  return true;
}

}  // namespace

bool parse_splot_arguments(PyObject* args, PyObject* kwargs, SPlotArguments& out) {
  static const char* keywords[] = {"data",    "pdfs",      "shape_parameters", "initial_yields",
                                   "weights", "max_steps", "tolerance",        nullptr};
  PyObject* data = nullptr;
  PyObject* pdfs = nullptr;
  PyObject* shape_parameters = kAbsent;
  PyObject* initial_yields = kAbsent;
  PyObject* weights = kAbsent;
  PyObject* max_steps = kAbsent;
  PyObject* tolerance = kAbsent;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOOOO:splot", const_cast<char**>(keywords),
                                   &data, &pdfs, &shape_parameters, &initial_yields, &weights,
                                   &max_steps, &tolerance)) {
    return false;
  }
  return convert_data(data, out) && convert_pdfs(pdfs, out) &&
         convert_shape_parameters(shape_parameters, out) &&
         convert_initial_yields(initial_yields, out) && convert_weights(weights, out) &&
         convert_max_steps(max_steps, out) && convert_tolerance(tolerance, out);
}

}  // namespace tarnwex
