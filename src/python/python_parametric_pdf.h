// A component density computed by a Python callable, one vectorised call per
// shape-parameter point, answered from a one-entry cache in between.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fit/inputs/parametric_pdf.h"
#include "python/parked_exception.h"
#include "python/py_ref.h"

namespace tarnwex {

struct CachedEvaluation {
  std::vector<double> values;  // one density per event, in event order
  ParameterMap parameters;     // the point at which the values were computed
  std::uint64_t revision = 0;  // changes with every refresh; never 0
  // Found while copying the callable's output: every value is finite and
  // not negative, and none is zero. A kept output is not read, so both are
  // false for it and the fit checks its values.
  bool valid = false;
  bool zero_free = false;
  // The callable's output itself when nothing else can reach it (see
  // keep_uncopied); `values` is then empty. Released with the interpreter
  // lock held, as the adapter is.
  PyRef kept{};

  // The densities, wherever they are held.
  std::span<const double> densities() const;
};

// Copies n_values densities from `output` into entry.values, reusing its
// storage, and checks each on the way, so that the fit need not read them
// again: sets entry.valid and entry.zero_free. False, with the Python error
// set, when a signal handler raised during the copy.
bool copy_checked(const double* output, std::size_t n_values, CachedEvaluation& entry);

// A revision no refresh in this process has used yet (the first is 1).
std::uint64_t next_revision();

class PythonParametricPdf final : public ParametricPdf {
 public:
  // `callable` and `data` are borrowed and referenced for the adapter's life.
  // A Python exception that must reach the caller of the fit unchanged (one
  // that is not an Exception) goes to `parker`.
  // `declared` holds the shape parameters the callable declares it depends
  // on (python/pdf_declarations.h), if it does.
  PythonParametricPdf(PyObject* callable, PyObject* data, std::size_t index,
                      std::size_t n_events, CachedEvaluation initial,
                      std::optional<std::vector<std::string>> declared, ExceptionParker parker);

  std::expected<double, SPlotError> evaluate(EventRow event,
                                             const ParameterMap& parameters) const override;
  // Returns the callable's whole output at the point: the events are taken to
  // be the complete data in input order, which is what the fit passes.
  std::expected<std::vector<double>, SPlotError> evaluate_batch(
      const EventView& events, const ParameterMap& parameters) const override;
  std::expected<PdfValuesView, SPlotError> evaluate_batch_view(
      const EventView& events, const ParameterMap& parameters,
      std::vector<double>& scratch) const override;
  std::optional<std::vector<std::string>> declared_parameters() const override { return declared_; }

 private:
  // The cache entry for `parameters`, refreshed first on a miss. The caller
  // holds mutex_ until it has read what it needs from the entry.
  std::expected<const CachedEvaluation*, SPlotError> entry_for(
      const ParameterMap& parameters) const;
  std::expected<void, SPlotError> refresh(const ParameterMap& parameters) const;
  std::expected<void, SPlotError> refresh_holding_interpreter(
      const ParameterMap& parameters) const;
  SPlotError python_failure() const;

  PyRef callable_;
  PyRef data_;
  std::size_t index_;
  std::size_t n_events_;
  std::optional<std::vector<std::string>> declared_;
  ExceptionParker parker_;
  mutable std::mutex mutex_;
  mutable bool poisoned_ = false;
  mutable std::optional<CachedEvaluation> cache_;
};

}  // namespace tarnwex
