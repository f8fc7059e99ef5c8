// The scale in which the minimizer sees the fit's parameters.
#pragma once

#include <expected>

#include "fit/likelihood/joint_likelihood.h"
#include "fit/splot_error.h"
#include "minimizer/parameter_transform.h"
#include "minimizer/types.h"

namespace tarnwex {

// s_i = 1 / sqrt(c_i), rounded to a power of two, with c_i the curvature of
// the NLL along parameter i at `start` (where it takes the value `nll`):
// sum_e w_e f_i(e)^2 / d_e^2 for a yield, the second difference with the
// gradient's own step for a shape parameter. s_i = 1 where c_i is not finite
// and positive. The evaluations are the driver's own and are not counted; a
// PDF or likelihood error among them is returned.
//
// Yields have curvature near 1/N and shape parameters near N/width^2, so in x
// the problem's condition grows with N^2; in z = x / s every parameter moves
// in units of its own statistical scale.
std::expected<ParameterTransform, SPlotError> coordinate_scale(JointLikelihood& likelihood,
                                                               const Vector& start, double nll);

}  // namespace tarnwex
