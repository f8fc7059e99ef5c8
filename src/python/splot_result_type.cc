#include "python/splot_result_type.h"

#include <array>
#include <charconv>
#include <cmath>
#include <new>

#include "python/guarded_entry.h"
#include "python/interpreter_compat.h"
#include "python/numpy_convert.h"
#include "python/parameter_dict.h"
#include "python/process_wide_object.h"
#include "python/py_ref.h"

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

PySPlotResult* as_record(PyObject* self) { return reinterpret_cast<PySPlotResult*>(self); }

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
  PySPlotResult* record = as_record(self);
  Py_XDECREF(record->yields);
  Py_XDECREF(record->yield_errors);
  Py_XDECREF(record->covariance);
  Py_XDECREF(record->sweights);
  Py_XDECREF(record->fit_covariance);
  record->shape_parameters.~ParameterMap();
  record->shape_errors.~ParameterMap();
  record->message.~basic_string();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* splot_result_repr(PyObject* self) {
  return guarded_entry([&]() -> PyObject* {
    const PySPlotResult* record = as_record(self);
    const std::string text = "SPlotResult(yields=<" + std::to_string(record->n_components) +
                             " components>, success=" + (record->success ? "true" : "false") +
                             ", minimum_nll=" + six_decimals(record->minimum_nll) + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

template <PyObject* PySPlotResult::*field>
PyObject* get_array(PyObject* self, void*) {
  return compat::new_ref(as_record(self)->*field);
}

template <ParameterMap PySPlotResult::*field>
PyObject* get_map(PyObject* self, void*) {
  return guarded_entry([&] { return parameters_to_python(as_record(self)->*field); });
}

template <std::size_t PySPlotResult::*field>
PyObject* get_count(PyObject* self, void*) {
  return PyLong_FromSize_t(as_record(self)->*field);
}

PyObject* get_minimum_nll(PyObject* self, void*) {
  return PyFloat_FromDouble(as_record(self)->minimum_nll);
}
PyObject* get_success(PyObject* self, void*) { return PyBool_FromLong(as_record(self)->success); }
PyObject* get_message(PyObject* self, void*) {
  const std::string& message = as_record(self)->message;
  return PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
}

PyGetSetDef properties[] = {
    {"yields", get_array<&PySPlotResult::yields>, nullptr,
     "Fitted component yields.", nullptr},
    {"yield_errors", get_array<&PySPlotResult::yield_errors>, nullptr,
     "Yield uncertainties from the full joint covariance.", nullptr},
    {"covariance", get_array<&PySPlotResult::covariance>, nullptr,
     "Event-summed sPlot covariance of the yields.", nullptr},
    {"sweights", get_array<&PySPlotResult::sweights>, nullptr,
     "Per-event sWeights.", nullptr},
    {"shape_parameters", get_map<&PySPlotResult::shape_parameters>, nullptr,
     "Fitted shape-parameter values keyed by name.", nullptr},
    {"shape_errors", get_map<&PySPlotResult::shape_errors>, nullptr,
     "Shape-parameter uncertainties keyed by name.", nullptr},
    {"fit_covariance", get_array<&PySPlotResult::fit_covariance>, nullptr,
     "Full covariance matrix of the joint fit.", nullptr},
    {"minimum_nll", get_minimum_nll, nullptr,
     "Minimum joint negative log-likelihood.", nullptr},
    {"success", get_success, nullptr,
     "Whether the optimizer reported successful convergence.", nullptr},
    {"message", get_message, nullptr, "Optimizer termination message.", nullptr},
    {"objective_evaluations", get_count<&PySPlotResult::objective_evaluations>, nullptr,
     "Number of objective-function evaluations.", nullptr},
    {"gradient_evaluations", get_count<&PySPlotResult::gradient_evaluations>, nullptr,
     "Number of gradient evaluations.", nullptr},
    {"hessian_evaluations", get_count<&PySPlotResult::hessian_evaluations>, nullptr,
     "Number of Hessian evaluations.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(compat::refuse_instantiation)},
    {Py_tp_dealloc, reinterpret_cast<void*>(splot_result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(splot_result_repr)},
    {Py_tp_getset, properties},
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

PyObject* result_to_python(SPlotOutput&& output) {
  PyRef covariance = PyRef::steal(matrix_to_numpy(output.covariance));
  if (!covariance) return nullptr;
  PyRef sweights = PyRef::steal(owned_matrix_to_numpy(std::move(output.sweights)));
  if (!sweights) return nullptr;
  PyRef fit_covariance = PyRef::steal(matrix_to_numpy(output.fit_covariance));
  if (!fit_covariance) return nullptr;
  const std::size_t n_components = output.yields.size();
  PyRef yields = PyRef::steal(vector_to_numpy(std::move(output.yields)));
  if (!yields) return nullptr;
  PyRef yield_errors = PyRef::steal(vector_to_numpy(std::move(output.yield_errors)));
  if (!yield_errors) return nullptr;

  PyTypeObject* type = splot_result_type();
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  PySPlotResult* record = as_record(self);
  // The C++ members exist from here on, so that deallocation can always
  // destroy them.
  new (&record->shape_parameters) ParameterMap(std::move(output.shape_parameters));
  new (&record->shape_errors) ParameterMap(std::move(output.shape_errors));
  new (&record->message) std::string(std::move(output.message));
  record->yields = yields.release();
  record->yield_errors = yield_errors.release();
  record->covariance = covariance.release();
  record->sweights = sweights.release();
  record->fit_covariance = fit_covariance.release();
  record->minimum_nll = output.minimum_nll;
  record->success = output.success;
  record->objective_evaluations = output.objective_evaluations;
  record->gradient_evaluations = output.gradient_evaluations;
  record->hessian_evaluations = output.hessian_evaluations;
  record->n_components = n_components;
  return self;
}

}  // namespace tarnwex
