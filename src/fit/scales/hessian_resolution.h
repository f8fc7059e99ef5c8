// How accurately the final Hessian is known, on the scale where its
// diagonal is 1: eigenvalues at or below this resolution are noise, and the
// covariance leaves them out (minimizer/hessian_covariance.h).
//
// The yield entries are exact sums. A shape entry is a difference of NLL
// changes at a step of kShapeStepPerError errors, about kShapeStepPerError^2
// in the NLL's statistical units, and what rounding every event shares in a
// PDF's value moves the NLL by that rounding times sum |w_e|: the noise
// grows with the events, and not with the weights' overall scale.
#pragma once

#include <cstddef>


namespace tarnwex {

// `weight_magnitude` is sum |w_e| (WeightSums::magnitude), `event_unit` the
// NLL's statistical unit (WeightSums::event_unit).
double hessian_resolution(double weight_magnitude, double event_unit, std::size_t n_shape);

// The NLL's own rounding: what every event shares in a PDF's rounding,
// times sum |w_e|.
double nll_noise(double weight_magnitude);

}  // namespace tarnwex
