// The covariance of a bound-constrained minimum from its Hessian, and which
// parameters that Hessian leaves undetermined.
//
// The Hessian is first brought to unit diagonal, A = D H D with
// D_ii = 1/sqrt|H_ii| (1 where H_ii is 0): the parameters of one fit live on
// very different scales (a yield of 10^6 events has a curvature near 1e-6, a
// peak position one of 10^6 or more), and on A every question below is
// asked in the same units. `resolution` is the accuracy of A's entries: an
// eigenvalue of A at or below it is noise, not curvature.
//
// - A parameter at a bound of the box along which the likelihood does not
//   curve up (its own curvature, or the curvature left when the others
//   follow it, is not above the resolution) is held at its bound: the data
//   push it out of the box, its error is unknown, and the others' errors are
//   those with it fixed there (the inverse of the remaining block). Its row
//   and column of the covariance are 0 and its variance is NaN.
// - Where the remaining block is positive definite beyond the resolution,
//   its covariance is the full inverse and every parameter is determined, so
//   that the errors do not depend on how the model is written: an exact
//   reparametrisation that correlates two parameters to 1 - 1e-6 gives the
//   same errors.
// - Otherwise the covariance is the pseudo-inverse, which leaves out the
//   eigenvalues of A within the resolution, and a parameter is undetermined
//   when its curvature is not positive, when its variance is below half of
//   the one it has with every other parameter fixed (it is tied to a
//   direction along which the likelihood curves down), or when the
//   directions left out would change its variance materially.
#pragma once

#include <vector>

#include "minimizer/types.h"

namespace tarnwex {

struct HessianCovariance {
  Matrix covariance;
  std::vector<bool> undetermined;  // per parameter: its error is unknown
};

// `at_bound[i]` tells whether parameter i lies on a side of its bound. A
// Hessian with a non-finite entry gives a covariance of NaNs, every
// parameter undetermined.
HessianCovariance hessian_covariance(const Matrix& hessian, const std::vector<bool>& at_bound,
                                     double resolution);

}  // namespace tarnwex
