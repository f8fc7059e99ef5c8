// The part of the NLL's gradient that PDFs with exact derivatives give:
// along a shape parameter that only such PDFs depend on, the derivative of
// the NLL is -sum_e w_e (sum_k y_k df_k/dp(e)) / d_e over the events above
// the density floor, with no difference and no further point.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "fit/core/interrupt_check.h"
#include "fit/core/splot_error.h"
#include "fit/inputs/parameter_map.h"
#include "fit/inputs/parametric_pdf.h"
#include "fit/likelihood/declared_dependence.h"
#include "fit/likelihood/event_sum.h"

namespace tarnwex {

class ExactShapeGradient {
 public:
  // The PDFs are borrowed. A shape parameter is exact when every PDF that
  // depends on it (by its declaration; one that declares nothing depends on
  // all) has exact derivatives.
  ExactShapeGradient(const PdfList& pdfs, const std::vector<std::string>& shape_names,
                     const DeclaredDependence& dependence);

  bool exact(std::size_t shape_index) const { return exact_[shape_index]; }
  bool any() const { return any_; }
  bool all() const { return all_; }
  // Whether PDF k computes its own derivatives (and so knows, by
  // construction, which parameters it depends on).
  bool computes(std::size_t k) const { return pdfs_[k].get().has_exact_derivatives(); }

  // Adds the exact derivatives at `parameters` into `gradient` (one entry
  // per shape parameter; the others are left alone), from the PDFs' values
  // `columns` at the same point (the views their last calls gave) and the
  // yields. With `scores` (one vector
  // per shape parameter, sized to the events), each exact parameter's
  // vector receives d ln d_e / dp per event (0 below the floor).
  // With `information` (one entry per shape parameter), each exact
  // parameter's entry becomes sum_e w_e s_e^2, s_e = d ln d_e / dp: the
  // outer-product estimate of the NLL's curvature along p, whose expectation
  // is the curvature's when the model describes the data (the normalised
  // densities' second derivatives integrate to 0). It sets the scale of the
  // minimizer's coordinate, where differences of the NLL would cost points.
  std::expected<void, SPlotError> add(const ParameterMap& parameters,
                                      std::span<const std::span<const double>> columns,
                                      std::span<const double> yields,
                                      std::span<const double> weights,
                                      const InterruptCheck& interrupted, std::span<double> gradient,
                                      std::span<std::vector<double>> scores = {},
                                      std::span<double> information = {});

 private:
  struct Source {
    std::size_t pdf;
    // Per declared parameter of the PDF: its shape index, when exact.
    std::vector<std::optional<std::size_t>> shape_index;
  };

  PdfList pdfs_;
  std::vector<bool> exact_;
  bool any_ = false;
  bool all_ = false;
  std::vector<Source> sources_;
  // Block buffers, sized once.
  std::vector<double> derivatives_;
  std::vector<double*> pointers_;
  std::vector<double> numerators_;
  std::vector<double> inverse_;           // 1 / d_e
  std::vector<double> weighted_inverse_;  // w_e / d_e
  std::vector<EventSum> sums_;            // one per shape parameter
  std::vector<EventSum> information_sums_;
  std::vector<double> block_scores_;           // s_e of one parameter's block
  std::vector<double> block_weighted_scores_;  // w_e s_e
};

}  // namespace tarnwex
