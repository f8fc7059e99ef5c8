// One component density of the mixture.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fit/core/splot_error.h"
#include "fit/inputs/event_view.h"
#include "fit/inputs/parameter_map.h"

namespace tarnwex {

// Densities handed out without a copy. `values` stays valid and unchanged
// until the next call of any operation of the same PDF. `revision` identifies
// the contents: two views of one PDF with the same non-zero revision hold the
// same values, so a caller that has already checked them need not check them
// again. Revision 0 promises nothing. `valid` says the PDF itself has found
// every value finite and not negative, so the caller need not look again;
// `zero_free` says it has found no value that is zero.
struct PdfValuesView {
  std::span<const double> values;
  std::uint64_t revision = 0;
  bool valid = false;
  bool zero_free = false;
};

class ParametricPdf {
 public:
  virtual ~ParametricPdf() = default;

  // The density of one event.
  virtual std::expected<double, SPlotError> evaluate(EventRow event,
                                                     const ParameterMap& parameters) const = 0;

  // The density of every event, in event order.
  virtual std::expected<std::vector<double>, SPlotError> evaluate_batch(
      const EventView& events, const ParameterMap& parameters) const = 0;

  // evaluate_batch without a copy where the PDF keeps its values anyway. The
  // default stores evaluate_batch's result in `scratch` and views it.
  virtual std::expected<PdfValuesView, SPlotError> evaluate_batch_view(
      const EventView& events, const ParameterMap& parameters,
      std::vector<double>& scratch) const {
    auto values = evaluate_batch(events, parameters);
    if (!values) return std::unexpected(std::move(values.error()));
    scratch = std::move(*values);
    return PdfValuesView{scratch, 0};
  }

  // The names of the shape parameters the density depends on, when it says
  // so: the fit then asks it again only when one of them has moved, and
  // checks the claim at the fitted point. Nothing: it may depend on every
  // shape parameter, and is asked at every new point.
  virtual std::optional<std::vector<std::string>> declared_parameters() const {
    return std::nullopt;
  }

  // Densities that know their exact first derivatives with respect to the
  // shape parameters they declare say so; the fit then takes their part of
  // the gradient from them instead of from differences. Such a PDF declares
  // its parameters, and depends on no other, by construction; its
  // prepare_derivatives, then derivative_block, serve the derivatives and
  // leave its last values view as it was.
  virtual bool has_exact_derivatives() const { return false; }

  // Readies the derivatives at `parameters`: until the next call of any
  // operation of the PDF, derivative_block gives them there.
  virtual std::expected<void, SPlotError> prepare_derivatives(
      const ParameterMap& /*parameters*/) const {
    return std::unexpected(SPlotError::pdf_evaluation("this PDF has no exact derivatives"));
  }

  // For the events [first, first + count), given `values`, the PDF's own
  // values there at the point prepared (values[i] = f(first + i), as its
  // view at that point holds them): per declared parameter j (in
  // declared_parameters' order), derivatives[j][i] = df/dp_j; a null
  // pointer asks for nothing.
  virtual void derivative_block(std::size_t /*first*/, std::size_t /*count*/,
                                const double* /*values*/,
                                std::span<double* const> /*derivatives*/) const {}
};

// The component PDFs in component order; the fit never owns them. One
// evaluation holds every PDF's view at once, so a PDF whose views point into
// storage it reuses must not appear in the list twice.
using PdfList = std::vector<std::reference_wrapper<const ParametricPdf>>;

}  // namespace tarnwex
