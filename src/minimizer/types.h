// Vectors, matrices and the numerical constants shared by the minimizer and the fit.
#pragma once

#include <Eigen/Dense>

namespace tarnwex {

// Owned column vector of doubles.
using Vector = Eigen::VectorXd;
// Owned dense matrix of doubles, stored column by column.
using Matrix = Eigen::MatrixXd;

// 2^-52: lower bound of every yield, floor of the start yields and the
// curvature threshold of the limited-memory update.
inline constexpr double kMachineEpsilon = 2.220446049250313e-16;
// cbrt(2^-52): finite-difference step factor and pseudo-inverse threshold.
inline constexpr double kCbrtMachineEpsilon = 6.0554544523933395e-06;

}  // namespace tarnwex
