#include "python/splot_result_type.h"

#include <array>
#include <charconv>
#include <cmath>
#include <memory>
#include <optional>

#include "python/guarded_entry.h"
#include "python/interpreter_compat.h"
#include "python/numpy_convert.h"
#include "python/parameter_dict.h"
#include "python/process_wide_object.h"
#include "python/py_ref.h"
#include "python/result_state.h"
#include "python/result_table_html.h"

namespace tarnwex {

namespace {

constexpr const char* kDoc =
    "Result of a joint yield-and-shape fit and its sWeight calculation.\n"
    "\n"
    "Attributes\n"
    "----------\n"
    "yields : numpy.ndarray\n"
    "    Fitted component yields with shape ``(n_components,)``.\n"
    "yield_errors : numpy.ndarray\n"
    "    Yield uncertainties derived from the full joint covariance, with\n"
    "    shape ``(n_components,)``.\n"
    "covariance : numpy.ndarray\n"
    "    Event-summed sPlot covariance matrix for the fitted yields, with shape\n"
    "    ``(n_components, n_components)``.\n"
    "sweights : numpy.ndarray\n"
    "    Per-event sWeights with shape ``(n_events, n_components)``.\n"
    "shape_parameters : dict[str, float]\n"
    "    Fitted shape-parameter values keyed by parameter name.\n"
    "shape_errors : dict[str, float]\n"
    "    Shape-parameter uncertainties keyed by parameter name.\n"
    "fit_covariance : numpy.ndarray\n"
    "    Full covariance matrix from the joint fit. Yields precede shape\n"
    "    parameters along both axes.\n"
    "minimum_nll : float\n"
    "    Minimum joint negative log-likelihood.\n"
    "success : bool\n"
    "    Whether the optimizer reported successful convergence.\n"
    "message : str\n"
    "    Optimizer termination message.\n"
    "objective_evaluations : int\n"
    "    Number of objective-function evaluations.\n"
    "gradient_evaluations : int\n"
    "    Number of gradient evaluations.\n"
    "hessian_evaluations : int\n"
    "    Number of Hessian evaluations.";

PySPlotResult* record_of(PyObject* self) { return reinterpret_cast<PySPlotResult*>(self); }

// The fields of a result that splot or unpickling made; null, with a
// TypeError set, for an instance allocated around them.
const SPlotResultFields* fields_of(PyObject* self) {
  if (record_of(self)->made) return &record_of(self)->fields;
  PyErr_SetString(PyExc_TypeError, "this SPlotResult was not created by splot");
  return nullptr;
}

// Rounded to six places from the double's exact value; "NaN", "inf", "-inf".
// Written without the C library's formatting, whose decimal separator follows
// whatever locale the calling program has set.
std::string six_decimals(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // The largest double has 309 integral digits; a sign, the point and six
  // places fit in the rest.
  std::array<char, 330> buffer;
  const auto written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                     std::chars_format::fixed, 6);
  return std::string(buffer.data(), written.ptr);
}

void splot_result_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (record_of(self)->made) std::destroy_at(&record_of(self)->fields);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* splot_result_repr(PyObject* self) {
  return guarded_entry([&]() -> PyObject* {
    const SPlotResultFields* made = fields_of(self);
    if (made == nullptr) return nullptr;
    const SPlotResultFields& fields = *made;
    const auto n_components = PyArray_DIM(reinterpret_cast<PyArrayObject*>(fields.yields.get()), 0);
    const std::string text = "SPlotResult(yields=<" + std::to_string(n_components) +
                             " components>, success=" + (fields.success ? "true" : "false") +
                             ", minimum_nll=" + six_decimals(fields.minimum_nll) + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

template <PyRef SPlotResultFields::*field>
PyObject* get_array(PyObject* self, void*) {
  const SPlotResultFields* fields = fields_of(self);
  return fields != nullptr ? compat::new_ref((fields->*field).get()) : nullptr;
}

template <ParameterMap SPlotResultFields::*field>
PyObject* get_map(PyObject* self, void*) {
  return guarded_entry([&]() -> PyObject* {
    const SPlotResultFields* fields = fields_of(self);
    return fields != nullptr ? parameters_to_python(fields->*field) : nullptr;
  });
}

template <std::size_t SPlotResultFields::*field>
PyObject* get_count(PyObject* self, void*) {
  const SPlotResultFields* fields = fields_of(self);
  return fields != nullptr ? PyLong_FromSize_t(fields->*field) : nullptr;
}

PyObject* get_minimum_nll(PyObject* self, void*) {
  const SPlotResultFields* fields = fields_of(self);
  return fields != nullptr ? PyFloat_FromDouble(fields->minimum_nll) : nullptr;
}
PyObject* get_success(PyObject* self, void*) {
  const SPlotResultFields* fields = fields_of(self);
  return fields != nullptr ? PyBool_FromLong(fields->success) : nullptr;
}
PyObject* get_message(PyObject* self, void*) {
  const SPlotResultFields* fields = fields_of(self);
  if (fields == nullptr) return nullptr;
  const std::string& message = fields->message;
  return PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
}

PyGetSetDef properties[] = {
    {"yields", get_array<&SPlotResultFields::yields>, nullptr,
     "Fitted component yields.", nullptr},
    {"yield_errors", get_array<&SPlotResultFields::yield_errors>, nullptr,
     "Yield uncertainties from the full joint covariance.", nullptr},
    {"covariance", get_array<&SPlotResultFields::covariance>, nullptr,
     "Event-summed sPlot covariance of the yields.", nullptr},
    {"sweights", get_array<&SPlotResultFields::sweights>, nullptr,
     "Per-event sWeights.", nullptr},
    {"shape_parameters", get_map<&SPlotResultFields::shape_parameters>, nullptr,
     "Fitted shape-parameter values keyed by name.", nullptr},
    {"shape_errors", get_map<&SPlotResultFields::shape_errors>, nullptr,
     "Shape-parameter uncertainties keyed by name.", nullptr},
    {"fit_covariance", get_array<&SPlotResultFields::fit_covariance>, nullptr,
     "Full covariance matrix of the joint fit.", nullptr},
    {"minimum_nll", get_minimum_nll, nullptr,
     "Minimum joint negative log-likelihood.", nullptr},
    {"success", get_success, nullptr,
     "Whether the optimizer reported successful convergence.", nullptr},
    {"message", get_message, nullptr, "Optimizer termination message.", nullptr},
    {"objective_evaluations", get_count<&SPlotResultFields::objective_evaluations>, nullptr,
     "Number of objective-function evaluations.", nullptr},
    {"gradient_evaluations", get_count<&SPlotResultFields::gradient_evaluations>, nullptr,
     "Number of gradient evaluations.", nullptr},
    {"hessian_evaluations", get_count<&SPlotResultFields::hessian_evaluations>, nullptr,
     "Number of Hessian evaluations.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A new SPlotResult holding `fields`, whose consistency the caller has made
// sure of.
PyObject* make_splot_result(SPlotResultFields&& fields) {
  PyTypeObject* type = splot_result_type();
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  std::construct_at(&record_of(self)->fields, std::move(fields));
  record_of(self)->made = true;
  return self;
}

// Pickle and copy store a result as a call of the module's restore function
// on its state.
PyObject* splot_result_reduce(PyObject* self, PyObject*) {
  return guarded_entry([&]() -> PyObject* {
    PyObject* restore = restore_function();
    if (restore == nullptr) return nullptr;
    const SPlotResultFields* fields = fields_of(self);
    if (fields == nullptr) return nullptr;
    PyRef state = PyRef::steal(result_state(*fields));
    if (!state) return nullptr;
    return PyTuple_Pack(2, restore, state.get());
  });
}

PyObject* restore(PyObject*, PyObject* state) {
  return guarded_entry([&]() -> PyObject* {
    std::optional<SPlotResultFields> fields = fields_from_state(state);
    return fields ? make_splot_result(std::move(*fields)) : nullptr;
  });
}

PyMethodDef restore_definition = {
    "_restore_result", restore, METH_VARARGS,
    "Restores a pickled SPlotResult; only pickle and copy call it.",
};

PyObject* splot_result_html(PyObject* self, PyObject*) {
  return guarded_entry([&]() -> PyObject* {
    const SPlotResultFields* fields = fields_of(self);
    if (fields == nullptr) return nullptr;
    const std::string html = result_table_html(*fields);
    return PyUnicode_DecodeUTF8(html.data(), static_cast<Py_ssize_t>(html.size()), "strict");
  });
}

PyMethodDef methods[] = {
    {"__reduce__", splot_result_reduce, METH_NOARGS,
     "Pickles the result: it is restored with equal fields, arrays bit for bit."},
    {"_repr_html_", splot_result_html, METH_NOARGS,
     "The fit as an HTML table, for notebooks."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(compat::refuse_instantiation)},
    {Py_tp_dealloc, reinterpret_cast<void*>(splot_result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(splot_result_repr)},
    {Py_tp_getset, properties},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec spec = {
    "tarnwex.SPlotResult",
    static_cast<int>(sizeof(PySPlotResult)),
    0,
    Py_TPFLAGS_DEFAULT | compat::kImmutableType | compat::kDisallowInstantiation,
    slots,
};

}  // namespace

PyTypeObject* splot_result_type() {
  static PyObject* type = nullptr;
  return reinterpret_cast<PyTypeObject*>(
      process_wide_object(type, [] { return compat::final_type_from_spec(spec); }));
}

PyObject* restore_function() {
  static PyObject* function = nullptr;
  return process_wide_object(function, [] {
    PyRef module_name = PyRef::steal(PyUnicode_FromString("tarnwex"));
    return module_name ? PyCFunction_NewEx(&restore_definition, nullptr, module_name.get())
                       : nullptr;
  });
}

PyObject* result_to_python(SPlotOutput&& output, std::span<const ShapeParameter> shape_parameters) {
  PyRef covariance = PyRef::steal(owned_matrix_to_numpy(std::move(output.covariance)));
  if (!covariance) return nullptr;
  PyRef sweights = PyRef::steal(owned_matrix_to_numpy(std::move(output.sweights)));
  if (!sweights) return nullptr;
  PyRef fit_covariance = PyRef::steal(owned_matrix_to_numpy(std::move(output.fit_covariance)));
  if (!fit_covariance) return nullptr;
  PyRef yields = PyRef::steal(vector_to_numpy(std::move(output.yields)));
  if (!yields) return nullptr;
  PyRef yield_errors = PyRef::steal(vector_to_numpy(std::move(output.yield_errors)));
  if (!yield_errors) return nullptr;
  ParameterMap lower_bounds;
  ParameterMap upper_bounds;
  for (const ShapeParameter& parameter : shape_parameters) {
    lower_bounds.emplace(parameter.name, parameter.lower);
    upper_bounds.emplace(parameter.name, parameter.upper);
  }
  return make_splot_result(SPlotResultFields{std::move(yields),
                                             std::move(yield_errors),
                                             std::move(covariance),
                                             std::move(sweights),
                                             std::move(output.shape_parameters),
                                             std::move(output.shape_errors),
                                             std::move(fit_covariance),
                                             output.minimum_nll,
                                             output.success,
                                             std::move(output.message),
                                             output.objective_evaluations,
                                             output.gradient_evaluations,
                                             output.hessian_evaluations,
                                             std::move(lower_bounds),
                                             std::move(upper_bounds)});
}

}  // namespace tarnwex
