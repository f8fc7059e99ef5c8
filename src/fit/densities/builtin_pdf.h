// A built-in density as one of the fit's PDFs: evaluated here, on the
// calling thread, with no call into Python, and with exact derivatives.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fit/densities/density_shape.h"
#include "fit/densities/prepared_density.h"
#include "fit/inputs/parametric_pdf.h"

namespace tarnwex {

// One argument of a built-in density: a shape parameter's name, or, when
// the name is empty, a fixed number.
struct DensityArgument {
  std::string name;
  double fixed = 0.0;
};

// A density of one column of the data, truncated to [lo, hi].
struct DensityDescription {
  densities::Shape shape = densities::Shape::kUniform;
  double lo = 0.0;
  double hi = 1.0;
  std::vector<DensityArgument> arguments;

  // The shape parameters it depends on, each once, in order of appearance.
  std::vector<std::string> parameter_names() const;
  // The density at `parameters`, its argument values gathered in `values`
  // (reused storage, so that a point allocates nothing here); the
  // PDF-evaluation error naming `pdf_index` when a named parameter is
  // missing or the shape refuses them.
  std::expected<densities::PreparedDensity, SPlotError> prepare(const ParameterMap& parameters,
                                                                std::size_t pdf_index,
                                                                std::vector<double>& values) const;
};

class BuiltinPdf final : public ParametricPdf {
 public:
  // `column` holds the density's data column, one value per event in event
  // order; it is shared, never written.
  BuiltinPdf(DensityDescription description, std::shared_ptr<const std::vector<double>> column,
             std::size_t pdf_index);

  std::expected<double, SPlotError> evaluate(EventRow event,
                                             const ParameterMap& parameters) const override;
  std::expected<std::vector<double>, SPlotError> evaluate_batch(
      const EventView& events, const ParameterMap& parameters) const override;
  // The values stay in the PDF's own storage until its next call.
  std::expected<PdfValuesView, SPlotError> evaluate_batch_view(
      const EventView& events, const ParameterMap& parameters,
      std::vector<double>& scratch) const override;
  std::optional<std::vector<std::string>> declared_parameters() const override {
    return names_;
  }

  bool has_exact_derivatives() const override { return true; }
  std::expected<void, SPlotError> prepare_derivatives(const ParameterMap& parameters) const override;
  void derivative_block(std::size_t first, std::size_t count, const double* values,
                        std::span<double* const> derivatives) const override;

 private:
  std::expected<void, SPlotError> check_events(const EventView& events) const;

  DensityDescription description_;
  std::shared_ptr<const std::vector<double>> column_;
  std::size_t pdf_index_;
  std::vector<std::string> names_;
  // Per argument: its parameter's place in names_, and whether an earlier
  // argument already stands for the same parameter (then its derivative is
  // added to that one's).
  std::vector<std::optional<std::size_t>> slot_;
  std::vector<bool> shares_slot_;

  mutable std::vector<double> values_;
  mutable std::vector<double> argument_values_;
  mutable std::optional<densities::PreparedDensity> prepared_;
  mutable std::vector<double> shared_scratch_;  // one block per argument that shares a slot
  mutable std::vector<double> value_scratch_;   // for shapes that evaluate again
  mutable std::vector<double*> argument_pointers_;
};

}  // namespace tarnwex
