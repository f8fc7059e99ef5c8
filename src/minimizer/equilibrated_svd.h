// The singular value decomposition that the covariance rests on, taken on the
// Hessian brought to unit diagonal.
//
// The parameters of one fit live on very different scales: a yield of 10^6
// events has a curvature near 10^-6, a peak position one of 10^6 or more. An
// absolute cut on the raw singular values would then discard a yield's whole
// direction and report its error as exactly 0, a plainly wrong answer. So the
// matrix is first brought to unit diagonal, A = D H D with D_ii = 1/sqrt|H_ii|
// (1 where H_ii is 0 or not finite), and the cut at cbrt(2^-52) is applied to
// the singular values of A, where it means what it should: directions that
// the data do not tell apart (near-degenerate parameter combinations) are
// dropped from the pseudo-inverse.
#pragma once

#include <Eigen/SVD>

#include "minimizer/types.h"

namespace tarnwex {

struct EquilibratedSvd {
  Vector scale;                  // the diagonal of D
  Eigen::JacobiSVD<Matrix> svd;  // of A, with full U and V; fails for non-finite entries
};

EquilibratedSvd equilibrated_svd(const Matrix& hessian);

// Whether the pseudo-inverse keeps the direction of this singular value of A.
inline bool kept_by_pseudo_inverse(double singular_value) {
  return singular_value > kCbrtMachineEpsilon;
}

}  // namespace tarnwex
