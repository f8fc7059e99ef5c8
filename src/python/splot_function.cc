#include "python/splot_function.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fit/splot.h"
#include "fit/densities/builtin_pdf.h"
#include "python/builtin_pdf_type.h"
#include "python/guarded_entry.h"
#include "python/numpy_convert.h"
#include "python/parameter_dict.h"
#include "python/parked_exception.h"
#include "python/pdf_output_check.h"
#include "python/pending_exception.h"
#include "python/python_parametric_pdf.h"
#include "python/shape_parameter_type.h"
#include "python/signal_checks.h"
#include "python/splot_arguments.h"
#include "python/pdf_declarations.h"
#include "python/splot_error_type.h"
#include "python/splot_result_type.h"

namespace tarnwex {

namespace {

constexpr const char* kDoc =
    "splot(data, pdfs, *, shape_parameters=None, initial_yields=None, weights=None, "
    "max_steps=..., tolerance=1e-8)\n"
    "--\n"
    "\n"
    "Fit component yields and shared shape parameters, then calculate sWeights.\n"
    "\n"
    "The yields and shape parameters are determined in a single joint extended\n"
    "maximum-likelihood fit. After optimization, the yield information matrix is\n"
    "evaluated at the fitted point and inverted to obtain the sPlot covariance.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "data : array_like\n"
    "    Two-dimensional event data with shape ``(n_events, n_features)``.\n"
    "    Values must be finite, and both dimensions must be nonzero.\n"
    "pdfs : list of callable\n"
    "    Component probability-density functions. Each callable must have the\n"
    "    signature ``pdf(data, shape_parameters)`` and return a one-dimensional\n"
    "    ``float64`` NumPy array of length ``n_events`` containing finite,\n"
    "    nonnegative density values.\n"
    "shape_parameters : list of ShapeParameter or None, optional\n"
    "    Shared shape parameters used by the component PDFs. Each PDF receives\n"
    "    the complete parameter dictionary keyed by name. Defaults to no free\n"
    "    shape parameters.\n"
    "initial_yields : list of float or None, optional\n"
    "    Initial component yields. The list must contain one finite,\n"
    "    nonnegative value per PDF and have a positive sum. When omitted, equal\n"
    "    yields summing to the event-weight sum are used.\n"
    "weights : array_like or None, optional\n"
    "    Signed event weights with shape ``(n_events,)``. These weights enter the\n"
    "    likelihood, yield information matrix, and final sWeights. Unit weights\n"
    "    are used when omitted.\n"
    "max_steps : int or None, optional\n"
    "    Maximum number of optimizer steps. Passing ``None`` disables the\n"
    "    explicit step limit. Defaults to 1000.\n"
    "tolerance : float, optional\n"
    "    Positive finite convergence tolerance used for the objective and\n"
    "    gradient termination criteria. Defaults to ``1e-8``.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "SPlotResult\n"
    "    Joint fit parameters, covariance matrices, diagnostics, and per-event\n"
    "    sWeights.\n"
    "\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If the data, weights, initial yields, shape parameters, or optimizer\n"
    "    configuration are invalid.\n"
    "SPlotError\n"
    "    If a PDF raises an exception, returns invalid values, the optimizer\n"
    "    fails numerically, or the yield information matrix is singular.\n"
    "\n"
    "Notes\n"
    "-----\n"
    "PDF callables are vectorized over the complete data array. Their outputs\n"
    "are cached for each shape-parameter point to avoid reevaluating a PDF once\n"
    "per event.\n"
    "\n"
    "The rows of ``sweights`` follow the input event order, and its columns\n"
    "follow the order of ``pdfs``.\n"
    "\n"
    "Signed input weights are supported, but they can make the information\n"
    "matrix indefinite or singular for some datasets.";

std::nullptr_t raise_text(PyObject* type, const std::string& text) {
  PyObject* message =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return nullptr;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
  return nullptr;
}

// Invalid input is the caller's mistake (ValueError); every other failure of
// the fit is tarnwex.SPlotError. Either way the text is the full display.
std::nullptr_t raise_fit_error(const SPlotError& error) {
  PyObject* type = error.kind() == SPlotError::Kind::InvalidInput ? PyExc_ValueError
                                                                   : splot_error_type();
  if (type == nullptr) return nullptr;
  return raise_text(type, error.display());
}

// Weights given as an array must lie in one aligned block to be copied.
bool read_weights(SPlotArguments& arguments, std::optional<std::vector<double>>& weights) {
  if (arguments.weights_values) {
    weights = std::move(arguments.weights_values);
    return true;
  }
  if (!arguments.weights_array) return true;
  auto* array = reinterpret_cast<PyArrayObject*>(arguments.weights_array.get());
  if (PyArray_SIZE(array) != 0 &&
      !((PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array)) &&
        PyArray_ISALIGNED(array))) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    return false;
  }
  std::vector<double> values;
  if (!copy_numpy_vector(array, values)) return false;
  weights = std::move(values);
  arguments.weights_array = PyRef();
  return true;
}

// Calls every PDF once at the start point, in order; the outputs seed the
// adapters' caches. False with a Python error set on failure.
bool initial_evaluations(PyObject* data, PyObject* pdfs, const ParameterMap& start,
                         std::size_t n_events, std::vector<CachedEvaluation>& outputs) {
  const Py_ssize_t n_pdfs = PyTuple_GET_SIZE(pdfs);
  for (Py_ssize_t i = 0; i < n_pdfs; ++i) {
    const auto index = static_cast<std::size_t>(i);
    PyObject* pdf = PyTuple_GET_ITEM(pdfs, i);
    if (!PyCallable_Check(pdf)) {
      raise_text(PyExc_ValueError, "PDF " + std::to_string(index) + " must be callable");
      return false;
    }
    // Each PDF gets a dict of its own: one that changed the dict it was given
    // must not change what the next PDF's cached output is taken to belong to.
    PyRef parameters = PyRef::steal(parameters_to_python(start));
    if (!parameters) return false;
    PyObject* call_arguments[] = {data, parameters.get()};
    PyRef result = PyRef::steal(PyObject_Vectorcall(pdf, call_arguments, 2, nullptr));
    if (!result) return false;
    if (const auto problem = pdf_output_problem(result.get(), index, n_events)) {
      raise_text(PyExc_ValueError, *problem);
      return false;
    }
    PyRef readable;
    PyArrayObject* source = readable_vector(reinterpret_cast<PyArrayObject*>(result.get()), readable);
    if (source == nullptr) return false;
    CachedEvaluation entry;
    if (!copy_checked(static_cast<const double*>(PyArray_DATA(source)), n_events, entry)) {
      return false;
    }
    entry.parameters = start;
    entry.revision = next_revision();
    outputs.push_back(std::move(entry));
  }
  return true;
}

// The data need events and features, and the fit at least one PDF.
bool check_sizes(std::size_t n_events, std::size_t n_features, PyObject* pdfs) {
  if (n_events == 0 || n_features == 0) {
    PyErr_SetString(PyExc_ValueError,
                    "data must have shape (n_events, n_features) with both dimensions nonzero");
    return false;
  }
  if (PyTuple_GET_SIZE(pdfs) == 0) {
    PyErr_SetString(PyExc_ValueError, "at least one PDF is required");
    return false;
  }
  return true;
}

// The fit's records of the given ShapeParameter objects; absent with the
// Python error set.
std::optional<std::vector<ShapeParameter>> read_shape_parameters(PyObject* given) {
  std::vector<ShapeParameter> shape_parameters;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(given); ++i) {
    const auto* record = reinterpret_cast<const PyShapeParameter*>(PyTuple_GET_ITEM(given, i));
    auto parameter =
        ShapeParameter::create(record->name, record->initial, record->lower, record->upper);
    if (!parameter) {
      raise_fit_error(parameter.error());
      return std::nullopt;
    }
    shape_parameters.push_back(std::move(*parameter));
  }
  return shape_parameters;
}

// The built-in densities among the PDFs, which the fit evaluates itself:
// per PDF, its description and data column, copied before any PDF runs (a
// PDF may change the data array). PDFs that read the same column share one
// copy. Empty entries are called through Python.
struct NativeDensities {
  std::vector<std::optional<DensityDescription>> descriptions;
  std::vector<std::shared_ptr<const std::vector<double>>> columns;
};

void read_native_densities(PyObject* pdfs, PyArrayObject* data, NativeDensities& out) {
  const auto n_features = static_cast<std::size_t>(PyArray_DIM(data, 1));
  std::vector<std::shared_ptr<const std::vector<double>>> by_column(n_features);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(pdfs); ++i) {
    const std::optional<NativeDensity> native = native_density(PyTuple_GET_ITEM(pdfs, i));
    // A column past the data's is left to the PDF's own call, which says so.
    if (!native || native->column >= n_features) {
      out.descriptions.emplace_back();
      out.columns.emplace_back();
      continue;
    }
    auto& shared = by_column[native->column];
    if (!shared) {
      auto column = std::make_shared<std::vector<double>>();
      copy_matrix_column(data, native->column, *column);
      shared = std::move(column);
    }
    out.descriptions.emplace_back(*native->description);
    out.columns.push_back(shared);
  }
}

// The PDFs as the fit sees them: one adapter each, a Python PDF's cache
// seeded with its output at the start point. The list refers to the
// adapters.
struct AdaptedPdfs {
  std::vector<std::unique_ptr<ParametricPdf>> adapters;
  PdfList list;
};

AdaptedPdfs adapt_pdfs(PyObject* pdfs, PyObject* data, std::size_t n_events,
                       std::vector<CachedEvaluation> outputs,
                       std::vector<std::optional<std::vector<std::string>>> declarations,
                       NativeDensities natives, ParkedException& parked) {
  AdaptedPdfs adapted;
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    if (natives.descriptions[i]) {
      adapted.adapters.push_back(std::make_unique<BuiltinPdf>(
          std::move(*natives.descriptions[i]), std::move(natives.columns[i]), i));
    } else {
      adapted.adapters.push_back(std::make_unique<PythonParametricPdf>(
          PyTuple_GET_ITEM(pdfs, static_cast<Py_ssize_t>(i)), data, i, n_events,
          std::move(outputs[i]), std::move(declarations[i]), parked.parker()));
    }
    adapted.list.emplace_back(*adapted.adapters.back());
  }
  return adapted;
}

// Runs the fit and answers Python: a parked exception, the fit's error or
// the result.
PyObject* fit_and_answer(const EventView& events, const PdfList& pdfs,
                         const std::vector<ShapeParameter>& shape_parameters, SPlotConfig config,
                         ParkedException& parked) {
  const InterruptCheck interrupted = signal_check(parked.parker());
  take_pass_counts();
  auto output = splot(events, pdfs, shape_parameters, std::move(config), interrupted);
  if constexpr (kCountingPasses) {
    // Only in a build made to count them; read by benchmarks/run.py.
    const PassCounts counts = take_pass_counts();
    std::fprintf(stderr, "tarnwex-passes %llu distinct %llu\n",
                 static_cast<unsigned long long>(counts.passes),
                 static_cast<unsigned long long>(counts.distinct_points));
  }
  return std::move(parked).settle(std::move(output), [&](auto output) -> PyObject* {
    if (!output) return raise_fit_error(output.error());
    return result_to_python(std::move(*output), shape_parameters);
  });
}

PyObject* run_splot(SPlotArguments& arguments) {
  PyObject* data = arguments.data.get();
  auto* data_array = reinterpret_cast<PyArrayObject*>(data);
  const auto n_events = static_cast<std::size_t>(PyArray_DIM(data_array, 0));
  const auto n_features = static_cast<std::size_t>(PyArray_DIM(data_array, 1));
  PyObject* pdfs = arguments.pdfs.get();
  if (!check_sizes(n_events, n_features, pdfs)) return nullptr;

  SPlotConfig config;
  if (!read_weights(arguments, config.event_weights)) return nullptr;
  const auto shape_parameters = read_shape_parameters(arguments.shape_parameters.get());
  if (!shape_parameters) return nullptr;
  // Read before any PDF runs: a PDF cannot change what it declared.
  std::vector<std::optional<std::vector<std::string>>> declarations;
  if (!read_pdf_declarations(pdfs, declarations)) return nullptr;

  // The features are looked at here, once, before any PDF runs: a PDF may
  // write into the array, resize it or replace its state, so after the first
  // call its buffer is neither trusted nor read. The fit reports the verdict
  // where its own checks come to it.
  const std::optional<bool> finite = all_finite(data_array);
  if (!finite) return nullptr;
  const EventView events = EventView::indexed(n_events, n_features, *finite);
  NativeDensities natives;
  read_native_densities(pdfs, data_array, natives);

  ParameterMap start;
  for (const ShapeParameter& parameter : *shape_parameters) {
    start.insert_or_assign(parameter.name, parameter.initial);
  }
  std::vector<CachedEvaluation> outputs;
  if (!initial_evaluations(data, pdfs, start, n_events, outputs)) return nullptr;

  ParkedException parked;
  const AdaptedPdfs adapted =
      adapt_pdfs(pdfs, data, n_events, std::move(outputs), std::move(declarations),
                 std::move(natives), parked);
  config.max_steps = arguments.max_steps;
  config.initial_yields = std::move(arguments.initial_yields);
  config.tolerance = arguments.tolerance;
  return fit_and_answer(events, adapted.list, *shape_parameters, std::move(config), parked);
}

PyObject* splot_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_entry([&]() -> PyObject* {
    SPlotArguments arguments;
    if (!parse_splot_arguments(args, kwargs, arguments)) return nullptr;
    return run_splot(arguments);
  });
}

PyMethodDef splot_definition = {
    "splot",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(splot_entry)),
    METH_VARARGS | METH_KEYWORDS,
    kDoc,
};

}  // namespace

PyObject* make_splot_function(PyObject* module_name) {
  return PyCFunction_NewEx(&splot_definition, nullptr, module_name);
}

}  // namespace tarnwex
