// The extended negative log-likelihood of the yields and the shared shape
// parameters, with signed event weights: the problem the minimizer solves.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "fit/core/interrupt_check.h"
#include "fit/core/splot_error.h"
#include "fit/inputs/event_view.h"
#include "fit/inputs/parameter_map.h"
#include "fit/inputs/parametric_pdf.h"
#include "fit/likelihood/event_sum.h"
#include "fit/likelihood/exact_shape_gradient.h"
#include "fit/likelihood/likelihood_memo.h"
#include "fit/likelihood/log_density_sum.h"
#include "fit/likelihood/shape_point_values.h"
#include "fit/model/evaluated_model.h"
#include "minimizer/problem.h"
#include "minimizer/types.h"

namespace tarnwex {

// The gradient is exact in the yields, where the NLL is linear inside the
// logarithm: 1 - sum_e w_e f_k(e) / d_e over the events above the density
// floor, from the same pass as the NLL. Along a shape parameter it is the
// central finite difference of `evaluate`. The Hessian, needed once for the
// fit covariance, is computed for accuracy rather than by differencing
// twice: see gradient_with_hessian. Every event sum is compensated
// (fit/likelihood/event_sum.h), so the NLL is accurate to its last bits at any size.
//
// The events, PDFs, weights and shape bounds (one (lower, upper) pair per
// shape parameter, which the final Hessian's steps keep to) are borrowed and
// must outlive the likelihood.
// The weights are one per event, or none: then every weight is 1, and the
// loops skip the product with 1.0 (which changes no bit). The fit passes
// weights that are all 1 as none (inputs/validate_inputs.h decides).
// Evaluating changes the likelihood's own state, so no evaluation is const:
// reused buffers, a record of PDF values already found valid and a memo of
// recent values (likelihood_memo.h). None of it ever changes a result.
class JointLikelihood final : public ScalarGradient<SPlotError> {
 public:
  JointLikelihood(std::vector<std::string> shape_parameter_names, const EventView& events,
                  const PdfList& pdfs, std::span<const double> event_weights,
                  InterruptCheck interrupted = {},
                  std::span<const std::pair<double, double>> shape_bounds = {});
  // The parameter map's value slots point into the object itself.
  JointLikelihood(const JointLikelihood&) = delete;
  JointLikelihood& operator=(const JointLikelihood&) = delete;

  std::size_t n_components() const { return n_components_; }
  // What the likelihood consults before each evaluation and inside its loops.
  const InterruptCheck& interrupt_check() const { return interrupted_; }

  // x split into its yields and shape values.
  struct Split {
    std::span<const double> yields;
    std::span<const double> shape_values;
  };
  Split split(const Vector& x) const;

  // sum_k y_k - sum_e w_e ln(max(d_e, 1e-300)), d_e = sum_k y_k f_k(e), for
  // x = (yields, shape values).
  std::expected<double, SPlotError> evaluate(const Vector& x) override;

  // Exact in the yields (one pass over the events, no PDF call beyond the
  // values at x) and along every shape parameter that only PDFs with exact
  // derivatives depend on (exact_shape_gradient.h); central differences
  // along the others.
  std::expected<Vector, SPlotError> gradient(const Vector& x) override;

  // The gradient and Hessian at x, in the coordinates of x. The yield-yield
  // block is exact, sum w_e f_a(e) f_b(e) / d_e^2 over the events above the
  // density floor; the yield-shape block is the central difference, along
  // each shape parameter, of the exact yield gradient; the shape-shape block
  // is a difference of the NLL with a step per parameter of about a
  // tenth of its error, extrapolated from that step and twice it, and
  // one-sided and inside the shape bounds next to a bound
  // (shape_differences.h). The gradient is the exact one for the
  // yields and the difference at those steps for the shapes. Every new shape
  // point passes the interrupt check and the PDF value checks.
  // When every shape parameter is exact, the shape columns are instead
  // differences of exact gradients (exact_hessian below).
  std::expected<GradientWithHessian, SPlotError> gradient_with_hessian(
      const Vector& x) override;

  // The second differences of the NLL along each shape parameter, on the
  // points of the gradient's differences, from the values the memo holds (a
  // gradient at x leaves them all there); nothing without the NLL at x, NaN
  // along a parameter whose values are gone or whose box holds no point.
  // Along an exact parameter, which has no such points, the outer-product
  // estimate of the last gradient, if it was taken at x
  // (ExactShapeGradient::add), else NaN.
  std::optional<Vector> shape_curvature(const Vector& x) const;

  // The scale of each shape parameter (its error as far as the fit knows
  // it) and the NLL's statistical unit (WeightSums::event_unit): every
  // difference along a shape parameter steps a fraction of its scale, so
  // that the same fit written in other units takes the same steps. The
  // gradient steps policy::kGradientStepPerScale of it. Until set, the
  // scales are those the bounds declare (inputs/declared_scale.h) and the
  // unit is 1.
  // `held` marks the parameters whose box is too narrow for the NLL to
  // tell one end from the other: their gradient is 0, and the run keeps
  // them where they are. Without it the parameters held stay held.
  void set_shape_scales(std::span<const double> scales, double event_unit,
                        std::optional<std::vector<bool>> held = std::nullopt);
  std::span<const double> shape_scales() const { return shape_scales_; }
  // How much of the NLL is rounding: the PDFs' shared rounding times the
  // weights' magnitude (scales/hessian_resolution.h). A change of the NLL
  // within a hundred times this tells nothing. 0 until set.
  void set_nll_noise(double noise) { nll_noise_ = noise; }
  double nll_noise() const { return nll_noise_; }
  // The shape bounds, one (lower, upper) pair per shape parameter.
  std::span<const std::pair<double, double>> shape_bounds() const { return shape_bounds_; }

  // Checks, at x, what the PDFs that declare their shape parameters
  // claim: each is asked with each parameter it does not declare moved by a
  // tenth of that parameter's error (inside the box), then afresh at x, and
  // every one of these outputs must be the bits of the column the fit used
  // at x. The first PDF that differs gives a PDF-evaluation error naming it
  // and the parameter; values that fail their checks give their own error.
  std::expected<void, SPlotError> check_declarations(const Vector& x);

  // The PDF values at the given shape values, for the sPlot step. The
  // model's columns view storage the PDFs keep until their next call: a
  // caller that asks the likelihood for anything else first copies what it
  // still needs (runs/shaped_components.cc).
  std::expected<EvaluatedModel, SPlotError> evaluate_model(
      std::span<const double> shape_values);

  // From now on every final Hessian also keeps, per shape parameter, each
  // event's derivative of its log-density, ln d_e (the weighted fit's
  // errors need them); only those of the last Hessian are kept.
  void keep_shape_scores() { keep_shape_scores_ = true; }
  // The shape scores of the last Hessian, if it was taken at exactly x.
  std::optional<std::span<const std::vector<double>>> shape_scores_at(const Vector& x) const;

 private:
  ParameterMap parameter_map(std::span<const double> shape_values) const;
  // The map built once, its values set to `shape_values` (one per name).
  const ParameterMap& parameters_at(std::span<const double> shape_values);
  std::expected<void, SPlotError> check_interrupt() const;
  // The interrupt check, then the PDF values at the shape values.
  std::expected<DeferredChecks, SPlotError> load_at(std::span<const double> shape_values,
                                                    bool defer = false);
  // One pass over the events at x: the NLL (or `known_nll`, the NLL at x
  // found before), and the yield sums when `yield_terms` is not empty.
  std::expected<double, SPlotError> event_pass(const Vector& x, std::span<EventSum> yield_terms,
                                               std::optional<double> known_nll);
  // The exact shape derivatives at x, with the PDF values at x loaded; with
  // `scores`, each exact parameter's per-event scores too.
  std::expected<std::vector<double>, SPlotError> exact_shape_part(
      const Vector& x, std::span<std::vector<double>> scores = {},
      std::span<double> information = {});
  // The Hessian of a model whose shape parameters are all exact: each shape
  // column the derivative, along that parameter, of the exact gradient on a
  // five-point stencil of a tenth of its scale (one-sided inside the box
  // next to a bound), then made symmetric.
  std::expected<GradientWithHessian, SPlotError> exact_hessian(const Vector& x);

  std::vector<std::string> shape_parameter_names_;
  std::size_t n_events_;
  std::size_t n_components_;
  std::span<const double> event_weights_;  // empty: every weight is 1
  InterruptCheck interrupted_;
  // (lower, upper) per shape parameter, borrowed from their owner (the start point).
  std::span<const std::pair<double, double>> shape_bounds_;

  // Built once with every name; evaluations only rewrite the values.
  ParameterMap parameters_;
  std::vector<double*> parameter_slots_;  // in shape-parameter order

  std::vector<double> shape_scales_;
  std::vector<double> gradient_steps_;  // 0 for a held parameter
  std::vector<double> difference_steps_;  // gradient_steps_, 0 along exact parameters too
  std::vector<bool> held_;
  double event_unit_ = 1.0;
  double nll_noise_ = 0.0;

  ShapePointValues values_;
  ExactShapeGradient exact_;
  // The outer-product curvatures of the last exact gradient, and where.
  std::vector<double> exact_information_;
  std::vector<double> exact_information_at_;
  std::vector<EventSum> yield_terms_;  // reused by every gradient
  LikelihoodMemo memo_;

  bool keep_shape_scores_ = false;
  std::optional<Vector> scores_point_;  // where the kept scores were taken
  std::vector<std::vector<double>> shape_scores_;
};

}  // namespace tarnwex
