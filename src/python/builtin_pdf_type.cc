#include "python/builtin_pdf_type.h"

#include <cmath>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "fit/densities/density_shape.h"
#include "fit/densities/prepared_density.h"
#include "python/guarded_entry.h"
#include "python/interpreter_compat.h"
#include "python/numpy_convert.h"
#include "python/process_wide_object.h"
#include "python/py_ref.h"

namespace tarnwex {

namespace {

constexpr const char* kDoc =
    "Base class of the built-in densities of tarnwex_pdfs; not for direct use.";

PyBuiltinPdf* as_record(PyObject* self) { return reinterpret_cast<PyBuiltinPdf*>(self); }

std::nullptr_t raise_text(PyObject* type, const std::string& text) {
  PyErr_SetString(type, text.c_str());
  return nullptr;
}

const DensityDescription* initialised(PyObject* self) {
  const DensityDescription* description = as_record(self)->description;
  if (description == nullptr) {
    PyErr_SetString(PyExc_TypeError, "the density was not initialised");
  }
  return description;
}

PyObject* builtin_new(PyTypeObject* type, PyObject*, PyObject*) {
  return guarded_entry([&]() -> PyObject* {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_record(self)->description = nullptr;
    as_record(self)->column = 0;
    return self;
  });
}

bool read_argument(PyObject* item, const std::string& name, DensityArgument& out) {
  if (PyUnicode_Check(item)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &size);
    if (text == nullptr) return false;
    if (size == 0) {
      PyErr_Format(PyExc_ValueError, "%s must be a shape parameter's name or a number, not ''",
                   name.c_str());
      return false;
    }
    out.name.assign(text, static_cast<std::size_t>(size));
    return true;
  }
  if (PyBool_Check(item) || !(PyFloat_Check(item) || PyLong_Check(item) || PyIndex_Check(item) ||
                              PyNumber_Check(item))) {
    PyErr_Format(PyExc_TypeError, "%s must be a shape parameter's name (str) or a number, not %.200s",
                 name.c_str(), Py_TYPE(item)->tp_name);
    return false;
  }
  out.fixed = PyFloat_AsDouble(item);
  if (out.fixed == -1.0 && PyErr_Occurred()) return false;
  if (!std::isfinite(out.fixed)) {
    PyErr_Format(PyExc_ValueError, "%s must be finite", name.c_str());
    return false;
  }
  return true;
}

// __init__(shape, column, range, arguments)
int builtin_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> int {
    static const char* keywords[] = {"shape", "column", "range", "arguments", nullptr};
    const char* shape_text = nullptr;
    Py_ssize_t column = 0;
    PyObject* range = nullptr;
    PyObject* arguments = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "snOO:_BuiltinPdf", const_cast<char**>(keywords),
                                     &shape_text, &column, &range, &arguments)) {
      return -1;
    }
    const auto shape = densities::shape_named(shape_text);
    if (!shape) {
      PyErr_Format(PyExc_ValueError, "unknown density shape '%s'", shape_text);
      return -1;
    }
    if (column < 0) {
      PyErr_Format(PyExc_ValueError, "column must not be negative, got %zd", column);
      return -1;
    }
    PyRef bounds = PyRef::steal(PySequence_Tuple(range));
    if (!bounds || PyTuple_GET_SIZE(bounds.get()) != 2) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "range must be a pair (lo, hi)");
      return -1;
    }
    const double lo = PyFloat_AsDouble(PyTuple_GET_ITEM(bounds.get(), 0));
    if (lo == -1.0 && PyErr_Occurred()) return -1;
    const double hi = PyFloat_AsDouble(PyTuple_GET_ITEM(bounds.get(), 1));
    if (hi == -1.0 && PyErr_Occurred()) return -1;
    if (!std::isfinite(lo) || !std::isfinite(hi) || !(lo < hi)) {
      PyErr_SetString(PyExc_ValueError, "range must be finite with lo < hi");
      return -1;
    }
    if (PyUnicode_Check(arguments)) {
      PyErr_SetString(PyExc_TypeError, "arguments must be a sequence, not str");
      return -1;
    }
    PyRef items = PyRef::steal(PySequence_Tuple(arguments));
    if (!items) return -1;
    const auto count = static_cast<std::size_t>(PyTuple_GET_SIZE(items.get()));
    const auto names = densities::argument_names(*shape, count);
    if (!names) {
      PyErr_Format(PyExc_TypeError, "a %s density does not take %zu arguments", shape_text, count);
      return -1;
    }
    auto description = std::make_unique<DensityDescription>();
    description->shape = *shape;
    description->lo = lo;
    description->hi = hi;
    for (std::size_t i = 0; i < count; ++i) {
      DensityArgument argument;
      if (!read_argument(PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)), (*names)[i],
                         argument)) {
        return -1;
      }
      description->arguments.push_back(std::move(argument));
    }
    PyBuiltinPdf* record = as_record(self);
    delete record->description;
    record->description = description.release();
    record->column = static_cast<std::size_t>(column);
    return 0;
  });
}

void builtin_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_record(self)->description;
  as_record(self)->description = nullptr;
  type->tp_free(self);
  Py_DECREF(type);
}

// The column of `data` (2-D, converted to float64 where it is not) that the
// density reads, in event order.
bool read_column(PyObject* data, std::size_t column, std::vector<double>& out) {
  PyRef array = PyRef::steal(PyArray_FromAny(data, PyArray_DescrFromType(NPY_DOUBLE), 2, 2,
                                             NPY_ARRAY_ALIGNED | NPY_ARRAY_NOTSWAPPED, nullptr));
  if (!array) return false;
  auto* matrix = reinterpret_cast<PyArrayObject*>(array.get());
  const npy_intp columns = PyArray_DIM(matrix, 1);
  if (static_cast<npy_intp>(column) >= columns) {
    PyErr_Format(PyExc_ValueError, "column %zu is out of range for data with %zd columns", column,
                 static_cast<Py_ssize_t>(columns));
    return false;
  }
  copy_matrix_column(matrix, column, out);
  return true;
}

// The argument values at the parameter mapping `parameters`, and the
// density prepared there; raises KeyError for a missing name and
// ValueError for arguments outside the shape's domain.
std::optional<densities::PreparedDensity> prepare_at(const DensityDescription& description,
                                                      PyObject* parameters) {
  std::vector<double> values;
  for (const DensityArgument& argument : description.arguments) {
    if (argument.name.empty()) {
      values.push_back(argument.fixed);
      continue;
    }
    PyRef key = PyRef::steal(PyUnicode_FromStringAndSize(
        argument.name.data(), static_cast<Py_ssize_t>(argument.name.size())));
    if (!key) return std::nullopt;
    PyRef item = PyRef::steal(PyObject_GetItem(parameters, key.get()));
    if (!item) return std::nullopt;
    const double value = PyFloat_AsDouble(item.get());
    if (value == -1.0 && PyErr_Occurred()) return std::nullopt;
    values.push_back(value);
  }
  auto prepared =
      densities::PreparedDensity::prepare(description.shape, description.lo, description.hi, values);
  if (!prepared) {
    raise_text(PyExc_ValueError, prepared.error());
    return std::nullopt;
  }
  return std::move(*prepared);
}

// pdf(data, shape_parameters): the density of every event.
PyObject* builtin_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> PyObject* {
    static const char* keywords[] = {"data", "shape_parameters", nullptr};
    PyObject* data = nullptr;
    PyObject* parameters = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO", const_cast<char**>(keywords), &data,
                                     &parameters)) {
      return nullptr;
    }
    const DensityDescription* description = initialised(self);
    if (description == nullptr) return nullptr;
    std::vector<double> x;
    if (!read_column(data, as_record(self)->column, x)) return nullptr;
    const auto prepared = prepare_at(*description, parameters);
    if (!prepared) return nullptr;
    std::vector<double> values(x.size());
    prepared->evaluate(x, values.data());
    return vector_to_numpy(std::move(values));
  });
}

// gradient(data, shape_parameters): {name: d density / d parameter}.
PyObject* builtin_gradient(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded_entry([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_Format(PyExc_TypeError, "gradient() takes 2 arguments (%zd given)", nargs);
      return nullptr;
    }
    const DensityDescription* description = initialised(self);
    if (description == nullptr) return nullptr;
    std::vector<double> x;
    if (!read_column(args[0], as_record(self)->column, x)) return nullptr;
    const auto prepared = prepare_at(*description, args[1]);
    if (!prepared) return nullptr;
    const std::size_t n_arguments = description->arguments.size();
    std::vector<std::vector<double>> per_argument(n_arguments);
    std::vector<double*> pointers(n_arguments, nullptr);
    for (std::size_t a = 0; a < n_arguments; ++a) {
      if (description->arguments[a].name.empty()) continue;
      per_argument[a].assign(x.size(), 0.0);
      pointers[a] = per_argument[a].data();
    }
    std::vector<double> values(x.size());
    prepared->evaluate(x, values.data(), pointers);
    PyRef result = PyRef::steal(PyDict_New());
    if (!result) return nullptr;
    for (const std::string& name : description->parameter_names()) {
      std::vector<double> total(x.size(), 0.0);
      for (std::size_t a = 0; a < n_arguments; ++a) {
        if (description->arguments[a].name != name) continue;
        for (std::size_t i = 0; i < x.size(); ++i) total[i] += per_argument[a][i];
      }
      PyRef array = PyRef::steal(vector_to_numpy(std::move(total)));
      if (!array || PyDict_SetItemString(result.get(), name.c_str(), array.get()) < 0) {
        return nullptr;
      }
    }
    return result.release();
  });
}

PyObject* get_parameters(PyObject* self, void*) {
  const DensityDescription* description = initialised(self);
  if (description == nullptr) return nullptr;
  const std::vector<std::string> names = description->parameter_names();
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* name = PyUnicode_FromStringAndSize(names[i].data(),
                                                 static_cast<Py_ssize_t>(names[i].size()));
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
  }
  return tuple.release();
}

PyObject* get_shape(PyObject* self, void*) {
  const DensityDescription* description = initialised(self);
  if (description == nullptr) return nullptr;
  const std::string_view name = densities::shape_name(description->shape);
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* get_column(PyObject* self, void*) {
  if (initialised(self) == nullptr) return nullptr;
  return PyLong_FromSize_t(as_record(self)->column);
}

PyObject* get_range(PyObject* self, void*) {
  const DensityDescription* description = initialised(self);
  if (description == nullptr) return nullptr;
  return Py_BuildValue("(dd)", description->lo, description->hi);
}

PyObject* get_arguments(PyObject* self, void*) {
  const DensityDescription* description = initialised(self);
  if (description == nullptr) return nullptr;
  const auto& arguments = description->arguments;
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(arguments.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    PyObject* item = arguments[i].name.empty()
                         ? PyFloat_FromDouble(arguments[i].fixed)
                         : PyUnicode_FromStringAndSize(arguments[i].name.data(),
                                                       static_cast<Py_ssize_t>(arguments[i].name.size()));
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
  }
  return tuple.release();
}

PyGetSetDef properties[] = {
    {"__tarnwex_parameters__", get_parameters, nullptr,
     "The shape parameters the density depends on, each once.", nullptr},
    {"shape", get_shape, nullptr, "The shape's name.", nullptr},
    {"column", get_column, nullptr, "The data column the density describes.", nullptr},
    {"range", get_range, nullptr, "The range (lo, hi) the density is normalised over.", nullptr},
    {"arguments", get_arguments, nullptr,
     "The shape's arguments in order: parameter names (str) or fixed numbers (float).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"gradient", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(builtin_gradient)),
     METH_FASTCALL,
     "gradient(data, shape_parameters)\n--\n\n"
     "The exact derivatives of the density at every event: a dict from each\n"
     "shape parameter the density depends on to an array of d pdf / d parameter."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(builtin_new)},
    {Py_tp_init, reinterpret_cast<void*>(builtin_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(builtin_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(builtin_call)},
    {Py_tp_getset, properties},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec spec = {
    "tarnwex._BuiltinPdf",
    static_cast<int>(sizeof(PyBuiltinPdf)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    slots,
};

}  // namespace

PyTypeObject* builtin_pdf_type() {
  static PyObject* type = nullptr;
  return reinterpret_cast<PyTypeObject*>(
      process_wide_object(type, [] { return PyType_FromSpec(&spec); }));
}

std::optional<NativeDensity> native_density(PyObject* pdf) {
  PyTypeObject* type = builtin_pdf_type();
  if (type == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (!PyObject_TypeCheck(pdf, type) || Py_TYPE(pdf)->tp_call != type->tp_call) return std::nullopt;
  const PyBuiltinPdf* record = reinterpret_cast<const PyBuiltinPdf*>(pdf);
  if (record->description == nullptr) return std::nullopt;
  return NativeDensity{record->description, record->column};
}

}  // namespace tarnwex
