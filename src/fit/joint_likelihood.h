// The extended negative log-likelihood of the yields and the shared shape
// parameters, with signed event weights: the problem the minimizer solves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "fit/evaluated_model.h"
#include "fit/event_view.h"
#include "fit/interrupt_check.h"
#include "fit/likelihood_memo.h"
#include "fit/log_density_sum.h"
#include "fit/parameter_map.h"
#include "fit/parametric_pdf.h"
#include "fit/splot_error.h"
#include "minimizer/problem.h"
#include "minimizer/types.h"

namespace tarnwex {

// The gradient is the central finite difference of `evaluate`. The Hessian,
// needed once for the fit covariance, is computed for accuracy rather than by
// differencing twice: see gradient_with_hessian.
//
// The events, PDFs and weights are borrowed and must outlive the likelihood.
// The weights are one per event, or none: then every weight is 1.
// Evaluating changes the likelihood's own state, so no evaluation is const:
// reused buffers, a record of PDF values already found valid and a memo of
// recent values (likelihood_memo.h). None of it ever changes a result.
class JointLikelihood final : public ScalarGradient<SPlotError> {
 public:
  JointLikelihood(std::vector<std::string> shape_parameter_names, const EventView& events,
                  const PdfList& pdfs, std::span<const double> event_weights,
                  InterruptCheck interrupted = {},
                  std::vector<std::pair<double, double>> shape_bounds = {});
  // The parameter map's value slots point into the object itself.
  JointLikelihood(const JointLikelihood&) = delete;
  JointLikelihood& operator=(const JointLikelihood&) = delete;

  std::size_t n_components() const { return pdfs_.size(); }

  // sum_k y_k - sum_e w_e ln(max(d_e, 1e-300)), d_e = sum_k y_k f_k(e), for
  // x = (yields, shape values).
  std::expected<double, SPlotError> evaluate(const Vector& x) override;

  // The gradient and Hessian at x, in the coordinates of x. The yield-yield
  // block is exact, sum w_e f_a(e) f_b(e) / d_e^2 over the events above the
  // density floor; the yield-shape block is the central difference, along
  // each shape parameter, of the exact yield gradient 1 - sum w_e f_a(e) / d_e;
  // the shape-shape block is a difference of the NLL with a step per
  // parameter of about a hundredth of its error, one-sided and inside the shape
  // bounds next to a bound (shape_differences.h). The gradient is the exact
  // one for the yields and the difference at those steps for the shapes.
  // Every new shape point passes the interrupt check and the PDF value checks.
  std::expected<GradientWithHessian, SPlotError> gradient_with_hessian(
      const Vector& x) override;

  // The PDF values at the given shape values, for the sPlot step.
  std::expected<EvaluatedModel, SPlotError> evaluate_model(
      std::span<const double> shape_values);

 private:
  // Asks every PDF, in component order, for its values at `parameters` and
  // checks them; columns[k] then views PDF k's values (held by the PDF or in
  // scratch[k]). With `defer` the checks that no later PDF call has to wait
  // for (the last PDF's values, the all-zero-event scan) are left to the
  // event loop and returned; the caller must complete them (finish_checks)
  // before it uses the values or reports any other error.
  std::expected<DeferredChecks, SPlotError> load_pdf_values(
      const ParameterMap& parameters, std::span<std::vector<double>> scratch,
      std::span<std::span<const double>> columns, bool defer = false);
  // The exact checks that `deferred` names, on columns_, with their errors.
  std::expected<void, SPlotError> finish_checks(DeferredChecks deferred);
  // PDF k's values are finite and not negative (else its error); says
  // whether none is zero.
  std::expected<bool, SPlotError> check_column(std::size_t k, std::span<const double> values);
  std::expected<void, SPlotError> scan_all_zero(std::span<const std::span<const double>> columns);
  ParameterMap parameter_map(std::span<const double> shape_values) const;
  std::expected<void, SPlotError> check_interrupt() const;
  // The interrupt check, then load_pdf_values at the shape values into columns_.
  std::expected<DeferredChecks, SPlotError> load_at(std::span<const double> shape_values,
                                                    bool defer = false);

  std::vector<std::string> shape_parameter_names_;
  EventView events_;
  PdfList pdfs_;
  std::span<const double> event_weights_;  // empty: every weight is 1
  InterruptCheck interrupted_;
  // (lower, upper) per shape parameter; empty means unbounded.
  std::vector<std::pair<double, double>> shape_bounds_;

  // Built once with every name; evaluations only rewrite the values.
  ParameterMap parameters_;
  std::vector<double*> parameter_slots_;  // in shape-parameter order

  std::vector<std::vector<double>> scratch_;
  std::vector<std::span<const double>> columns_;
  std::vector<std::uint64_t> revisions_;
  // Revisions whose values passed the per-PDF checks, and the revisions of the
  // last set that passed the all-zero-event scan; 0 means none.
  std::vector<std::uint64_t> checked_revisions_;
  std::vector<bool> checked_zero_free_;  // per checked revision: no value is zero
  std::vector<std::uint64_t> scanned_revisions_;
  LikelihoodMemo memo_;
};

}  // namespace tarnwex
