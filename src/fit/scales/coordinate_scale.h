// The scale in which the minimizer sees the fit's parameters: estimated at
// the start point and estimated again where the curvature has moved far
// from it.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>

#include "fit/core/splot_error.h"
#include "fit/likelihood/joint_likelihood.h"
#include "minimizer/parameter_transform.h"
#include "minimizer/problem.h"
#include "minimizer/types.h"

namespace tarnwex {

// s_i = 1 / sqrt(c_i), rounded to a power of two, with c_i the curvature of
// the NLL along parameter i at `start`: for a yield sum_e w_e f_i(e)^2 / d_e^2,
// taken as at least 1 / (y_i + event_unit); for a shape parameter the magnitude of
// the second difference the probes found (shape_scale_probe.h), which also
// set the likelihood's steps. Where a shape parameter shows no curvature
// its scale is the one its declaration gives. `event_unit` is the
// statistical weight of one event (1 without weights). The evaluations are
// the driver's own and are not counted; a PDF or likelihood error among
// them is returned.
//
// Yields have curvature near 1/N and shape parameters near N/width^2, so in x
// the problem's condition grows with N^2; in z = x / s every parameter moves
// in units of its own statistical scale.
//
// At a minimum a yield's curvature is at most 1 / y (f_i / d_e <= 1 / y_i for
// every event), and it reaches it when its component overlaps no other. A
// start where a component's shape sits where there are few events (a narrow
// peak off its place) shows a far smaller curvature, and in that scale the
// yield would run to its bound in one step, long before the shape has found
// its events; the floor keeps the yield in the units of its own statistical
// error. A negative second difference (the NLL between the events of a
// narrow peak) still measures how fast the gradient turns there.
std::expected<ParameterTransform, SPlotError> coordinate_scale(JointLikelihood& likelihood,
                                                               const Vector& start, double event_unit);

// The likelihood as the minimizer sees it: the same values, gradients and
// Hessian, and a scale that follows the curvature along the run.
//
// After every accepted step it compares the curvature along each shape
// parameter at the new point, from the second differences the gradient there
// has just computed (no further evaluation), with its scale. When one has
// moved more than 1.5 powers of two away (so that the rounding cannot flip
// between neighbours) the whole scale is estimated again at that point, at
// the cost of one pass over the events with the PDF values there, and the
// likelihood's steps follow the new scale; the
// minimizer then goes on from the same point with an empty memory. A poor
// start needs this: where a narrow peak sits off its events, the curvature
// along its mean and width is that of the narrow peak, and as the peak
// widens and moves the scale of the start holds them to steps many times
// too short while the yields run to their bounds. The yields' own curvature
// changes with the shapes; it is not watched, since their scale follows
// whenever the shapes' does.
class RescalingLikelihood final : public ScalarGradient<SPlotError> {
 public:
  RescalingLikelihood(JointLikelihood& likelihood, double event_unit)
      : likelihood_(&likelihood), event_unit_(event_unit) {}

  std::expected<double, SPlotError> evaluate(const Vector& x) override {
    return likelihood_->evaluate(x);
  }
  std::expected<Vector, SPlotError> gradient(const Vector& x) override {
    return likelihood_->gradient(x);
  }
  std::expected<GradientWithHessian, SPlotError> gradient_with_hessian(const Vector& x) override {
    return likelihood_->gradient_with_hessian(x);
  }
  std::expected<std::optional<Vector>, SPlotError> rescale(const Vector& x,
                                                           const Vector& scale) override;

 private:
  JointLikelihood* likelihood_;
  double event_unit_;
};

}  // namespace tarnwex
