#include "python/python_parametric_pdf.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <string>

#include "fit/inputs/pdf_value_checks.h"
#include "python/guarded_entry.h"
#include "python/numpy_convert.h"
#include "python/parameter_dict.h"
#include "python/pdf_output_check.h"
#include "python/python_error_text.h"
#include "python/signal_checks.h"

namespace tarnwex {

namespace {

bool same_point(const ParameterMap& cached, const ParameterMap& requested) {
  return cached.size() == requested.size() &&
         std::equal(cached.begin(), cached.end(), requested.begin(),
                    [](const auto& a, const auto& b) { return a.first == b.first && a.second == b.second; });
}

// Fraction truncated; NaN and negatives give 0, values past the largest
// index give the largest index.
std::size_t saturating_index(double value) {
  constexpr double kLimit = 18446744073709551616.0;  // 2^64
  if (!(value > 0.0)) return 0;
  if (value >= kLimit) return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(value);
}

// Whether a fresh output of the callable can be kept as it is instead of
// copied: nothing but the caller's reference can reach it, so nothing can
// change its values while the cache holds it. That takes an exact ndarray
// (a subclass may keep what it likes) that owns aligned, contiguous,
// native-order data, is the view of no other object, has no weak reference
// through which it could be found again, and has exactly one reference.
// Reference counts mean nothing on PyPy, which always copies.
// What no flag shows is a raw pointer to the data kept by native code (an
// address taken through ctypes or a C extension before returning): a PDF
// that writes through such an alias after it returned changes the values
// the fit uses. Only such an alias can reach a kept output; the fit relies
// on there being none.
bool keep_uncopied(PyObject* output) {
#ifdef PYPY_VERSION
  (void)output;
  return false;
#else
  if (!PyArray_CheckExact(output) || Py_REFCNT(output) != 1) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(output);
  constexpr int kNeeded = NPY_ARRAY_OWNDATA | NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED;
  return PyArray_CHKFLAGS(array, kNeeded) && PyArray_BASE(array) == nullptr &&
         PyArray_ISNOTSWAPPED(array) &&
         reinterpret_cast<PyArrayObject_fields*>(array)->weakreflist == nullptr;
#endif
}

}  // namespace

std::span<const double> CachedEvaluation::densities() const {
  if (!kept) return values;
  auto* array = reinterpret_cast<PyArrayObject*>(kept.get());
  return {static_cast<const double*>(PyArray_DATA(array)),
          static_cast<std::size_t>(PyArray_DIM(array, 0))};
}

bool copy_checked(const double* output, std::size_t n_values, CachedEvaluation& entry) {
  // A size already right (every refresh after the first) leaves the storage
  // as it is, without zeroing it first.
  entry.values.resize(n_values);
  CheckedValues checked{n_values, false};
  const bool copied = for_signal_blocks(n_values, [&](std::size_t first, std::size_t end) {
    const CheckedValues block =
        copy_checking_values({output + first, end - first}, entry.values.data() + first);
    checked.has_zero = checked.has_zero || block.has_zero;
    if (checked.first_invalid == n_values && block.first_invalid != end - first) {
      checked.first_invalid = first + block.first_invalid;
    }
  });
  entry.valid = copied && checked.first_invalid == n_values;
  entry.zero_free = copied && !checked.has_zero;
  return copied;
}

std::uint64_t next_revision() {
  static std::atomic<std::uint64_t> counter{1};
  return counter.fetch_add(1, std::memory_order_relaxed);
}

PythonParametricPdf::PythonParametricPdf(PyObject* callable, PyObject* data, std::size_t index,
                                         std::size_t n_events, CachedEvaluation initial,
                                         std::optional<std::vector<std::string>> declared,
                                         ExceptionParker parker)
    : callable_(PyRef::borrow(callable)),
      data_(PyRef::borrow(data)),
      index_(index),
      n_events_(n_events),
      declared_(std::move(declared)),
      parker_(parker),
      cache_(std::move(initial)) {}

std::expected<double, SPlotError> PythonParametricPdf::evaluate(
    EventRow event, const ParameterMap& parameters) const {
  std::lock_guard lock(mutex_);
  auto entry = entry_for(parameters);
  if (!entry) return std::unexpected(std::move(entry.error()));
  const std::span<const double> values = (*entry)->densities();
  const std::size_t position = saturating_index(event[0]);
  if (position >= values.size()) {
    return std::unexpected(SPlotError::pdf_evaluation(
        "event index " + std::to_string(position) + " is outside the Python PDF output"));
  }
  return values[position];
}

std::expected<std::vector<double>, SPlotError> PythonParametricPdf::evaluate_batch(
    const EventView&, const ParameterMap& parameters) const {
  std::lock_guard lock(mutex_);
  auto entry = entry_for(parameters);
  if (!entry) return std::unexpected(std::move(entry.error()));
  const std::span<const double> values = (*entry)->densities();
  return std::vector<double>(values.begin(), values.end());
}

std::expected<PdfValuesView, SPlotError> PythonParametricPdf::evaluate_batch_view(
    const EventView&, const ParameterMap& parameters, std::vector<double>&) const {
  std::lock_guard lock(mutex_);
  auto entry = entry_for(parameters);
  if (!entry) return std::unexpected(std::move(entry.error()));
  // The span stays valid after the lock is released: the entry only changes
  // in a later operation of this PDF.
  return PdfValuesView{(*entry)->densities(), (*entry)->revision, (*entry)->valid,
                       (*entry)->zero_free};
}

std::expected<const CachedEvaluation*, SPlotError> PythonParametricPdf::entry_for(
    const ParameterMap& parameters) const {
  if (poisoned_) {
    return std::unexpected(SPlotError::pdf_evaluation("Python PDF cache lock was poisoned"));
  }
  if (!cache_ || !same_point(cache_->parameters, parameters)) {
    auto refreshed = refresh(parameters);
    if (!refreshed) return std::unexpected(std::move(refreshed.error()));
  }
  return &*cache_;
}

std::expected<void, SPlotError> PythonParametricPdf::refresh(
    const ParameterMap& parameters) const {
  const PyGILState_STATE interpreter = PyGILState_Ensure();
  std::expected<void, SPlotError> outcome;
  try {
    outcome = refresh_holding_interpreter(parameters);
  } catch (...) {
    // A refresh cut short (memory ran out) may have left the entry half
    // made; this adapter answers nothing more, and the caller of the fit
    // gets the matching Python exception.
    poisoned_ = true;
    raise_from_current_exception();
    parker_.park(PendingException::take());
    outcome = std::unexpected(SPlotError::pdf_evaluation("Python PDF cache lock was poisoned"));
  }
  PyGILState_Release(interpreter);
  return outcome;
}

std::expected<void, SPlotError> PythonParametricPdf::refresh_holding_interpreter(
    const ParameterMap& parameters) const {
  // A kept output is let go before the PDF runs again: its block is then free
  // for the PDF's own temporaries, and no more than one output per PDF is
  // ever held. (A failed call ends the fit, so the empty cache is never read.)
  if (cache_ && cache_->kept) cache_.reset();
  PyRef dict = PyRef::steal(parameters_to_python(parameters));
  if (!dict) return std::unexpected(python_failure());
  PyObject* arguments[] = {data_.get(), dict.get()};
  PyRef result = PyRef::steal(PyObject_Vectorcall(callable_.get(), arguments, 2, nullptr));
  if (!result) return std::unexpected(python_failure());
  if (auto problem = pdf_output_problem(result.get(), index_, n_events_)) {
    return std::unexpected(SPlotError::pdf_evaluation(std::move(*problem)));
  }
  CachedEvaluation fresh;
  if (keep_uncopied(result.get())) {
    // Writes from Python are refused from here on, should the array ever be
    // reached after all.
    PyArray_CLEARFLAGS(reinterpret_cast<PyArrayObject*>(result.get()), NPY_ARRAY_WRITEABLE);
    fresh.kept = std::move(result);
    // Not read here (valid and zero_free stay false): the fit checks kept
    // values itself, the last PDF's while its event loop reads them anyway.
  } else {
    // The values are read in place, or from a contiguous copy made first, so
    // that nothing below can fail once the old entry gives up its storage.
    PyRef readable;
    PyArrayObject* source =
        readable_vector(reinterpret_cast<PyArrayObject*>(result.get()), readable);
    if (source == nullptr) return std::unexpected(python_failure());
    // The old entry's storage takes the new values: a refresh then allocates
    // nothing, and the heap does not churn through n_events-sized blocks
    // between the PDFs' own temporaries.
    if (cache_) fresh.values = std::move(cache_->values);
    if (!copy_checked(static_cast<const double*>(PyArray_DATA(source)), n_events_, fresh)) {
      // The old entry gave up its storage: it answers nothing any more.
      cache_.reset();
      return std::unexpected(parker_.park(PendingException::take()));
    }
  }
  fresh.parameters = parameters;
  fresh.revision = next_revision();
  cache_ = std::move(fresh);
  return {};
}

SPlotError PythonParametricPdf::python_failure() const {
  PendingException exception = PendingException::take();
  if (!exception) {
    return SPlotError::pdf_evaluation("SystemError: PDF call failed without an exception");
  }
  // KeyboardInterrupt, SystemExit and their kind stop the fit and are raised
  // again, unchanged, by the caller of the fit; only ordinary exceptions
  // become fit errors.
  if (!PyObject_TypeCheck(exception.value(), reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
    return parker_.park(std::move(exception));
  }
  return SPlotError::pdf_evaluation(python_error_text(exception.value()));
}

}  // namespace tarnwex
