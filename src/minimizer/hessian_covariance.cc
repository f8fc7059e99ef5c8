#include "minimizer/hessian_covariance.h"

#include <Eigen/Cholesky>
#include <Eigen/Eigenvalues>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

namespace tarnwex {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A parameter's variance changes materially when the directions the
// pseudo-inverse leaves out would add more than this fraction to it. A
// left-out eigenvalue is at most the resolution, so a direction in which
// the parameter's axis has the part p adds at least p^2 / resolution.
constexpr double kMaterialVarianceShare = 1e-2;

// At a minimum no parameter's variance is below 1 / H_ii, its variance with
// every other parameter held fixed. A variance below half of that comes
// from a direction along which the likelihood curves down.
constexpr double kLeastVarianceTimesCurvature = 0.5;

// The rows and columns of `hessian` that `keep` selects.
Matrix block(const Matrix& hessian, const std::vector<Eigen::Index>& keep) {
  const auto n = static_cast<Eigen::Index>(keep.size());
  Matrix out(n, n);
  for (Eigen::Index r = 0; r < n; ++r) {
    for (Eigen::Index c = 0; c < n; ++c) out(r, c) = hessian(keep[r], keep[c]);
  }
  return out;
}

// A block brought to unit diagonal, and the scale that did it.
struct Equilibrated {
  Vector scale;
  Matrix matrix;
};

Equilibrated equilibrate(const Matrix& hessian) {
  const Eigen::Index n = hessian.rows();
  Vector scale = Vector::Ones(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    const double curvature = std::abs(hessian(i, i));
    if (curvature > 0.0) scale[i] = 1.0 / std::sqrt(curvature);
  }
  Matrix matrix = scale.asDiagonal() * hessian * scale.asDiagonal();
  // The Hessian is symmetric up to the rounding of its two triangles.
  matrix = (0.5 * (matrix + matrix.transpose())).eval();
  return {std::move(scale), std::move(matrix)};
}

// The inverse of a block whose equilibrated form is positive definite beyond
// the resolution; nothing when it is not.
std::optional<Matrix> definite_inverse(const Matrix& hessian, double resolution) {
  if (hessian.rows() == 0) return Matrix(0, 0);
  const Equilibrated scaled = equilibrate(hessian);
  const Eigen::SelfAdjointEigenSolver<Matrix> eigen(scaled.matrix, Eigen::EigenvaluesOnly);
  if (eigen.info() != Eigen::Success || !(eigen.eigenvalues().minCoeff() > resolution)) {
    return std::nullopt;
  }
  const Eigen::LLT<Matrix> cholesky(scaled.matrix);
  if (cholesky.info() != Eigen::Success) return std::nullopt;
  const Matrix inverse = cholesky.solve(Matrix::Identity(hessian.rows(), hessian.cols()));
  return Matrix(scaled.scale.asDiagonal() * inverse * scaled.scale.asDiagonal());
}

// The free parameters, in order.
std::vector<Eigen::Index> free_indices(const std::vector<bool>& held) {
  std::vector<Eigen::Index> out;
  for (std::size_t i = 0; i < held.size(); ++i) {
    if (!held[i]) out.push_back(static_cast<Eigen::Index>(i));
  }
  return out;
}

// The curvature along parameter i (an index into `keep`) left when the
// other kept parameters follow it, relative to its own curvature: the Schur
// complement 1 - h^T R^-1 h on the unit diagonal. Nothing when the others'
// block is not positive definite, so that it cannot be told.
std::optional<double> relative_profile_curvature(const Matrix& hessian,
                                                 const std::vector<Eigen::Index>& keep,
                                                 std::size_t i, double resolution) {
  std::vector<Eigen::Index> others;
  for (std::size_t k = 0; k < keep.size(); ++k) {
    if (k != i) others.push_back(keep[k]);
  }
  const auto inverse = definite_inverse(block(hessian, others), resolution);
  if (!inverse) return std::nullopt;
  const Eigen::Index p = keep[i];
  Vector coupling(static_cast<Eigen::Index>(others.size()));
  for (std::size_t k = 0; k < others.size(); ++k) {
    coupling[static_cast<Eigen::Index>(k)] = hessian(others[k], p);
  }
  const double own = hessian(p, p);
  return (own - coupling.dot(*inverse * coupling)) / own;
}

// The parameters held at their bounds, and the inverse of the rest when it
// is positive definite beyond the resolution.
struct Held {
  std::vector<bool> held;
  std::optional<Matrix> free_inverse;
};

// Holds first those at a bound whose own curvature is not positive, then,
// while the rest is not positive definite, the one at a bound whose
// curvature with the others following it is the least and not above the
// resolution.
Held held_at_bounds(const Matrix& hessian, const std::vector<bool>& at_bound,
                    double resolution) {
  std::vector<bool> held(at_bound.size(), false);
  for (std::size_t i = 0; i < at_bound.size(); ++i) {
    const auto d = static_cast<Eigen::Index>(i);
    held[i] = at_bound[i] && !(hessian(d, d) > 0.0);
  }
  for (;;) {
    const std::vector<Eigen::Index> keep = free_indices(held);
    if (auto inverse = definite_inverse(block(hessian, keep), resolution)) {
      return {std::move(held), std::move(inverse)};
    }
    std::optional<std::size_t> least;
    double least_curvature = resolution;
    for (std::size_t k = 0; k < keep.size(); ++k) {
      if (!at_bound[static_cast<std::size_t>(keep[k])]) continue;
      const auto curvature = relative_profile_curvature(hessian, keep, k, resolution);
      if (curvature && *curvature <= least_curvature) {
        least = static_cast<std::size_t>(keep[k]);
        least_curvature = *curvature;
      }
    }
    if (!least) return {std::move(held), std::nullopt};
    held[*least] = true;
  }
}

// The pseudo-inverse of a block that is not positive definite, and which of
// its parameters it leaves undetermined.
HessianCovariance pseudo_inverse(const Matrix& hessian, double resolution) {
  const Eigen::Index n = hessian.rows();
  const Equilibrated scaled = equilibrate(hessian);
  const Eigen::SelfAdjointEigenSolver<Matrix> eigen(scaled.matrix);
  HessianCovariance out;
  if (eigen.info() != Eigen::Success) {
    out.covariance = Matrix::Constant(n, n, kNaN);
    out.undetermined.assign(static_cast<std::size_t>(n), true);
    return out;
  }
  const Vector& values = eigen.eigenvalues();
  const Matrix& vectors = eigen.eigenvectors();
  Vector inverted = Vector::Zero(n);
  Vector left_out = Vector::Zero(n);  // per parameter: sum of p^2 over the left-out directions
  for (Eigen::Index k = 0; k < n; ++k) {
    if (std::abs(values[k]) > resolution) {
      inverted[k] = 1.0 / values[k];
    } else {
      left_out += vectors.col(k).cwiseAbs2();
    }
  }
  const Matrix inverse = vectors * inverted.asDiagonal() * vectors.transpose();
  out.undetermined.resize(static_cast<std::size_t>(n));
  for (Eigen::Index i = 0; i < n; ++i) {
    // On the unit diagonal the variance with the others fixed is 1.
    const double variance = inverse(i, i);
    const bool curves_down = !(hessian(i, i) > 0.0) ||
                             !(variance >= kLeastVarianceTimesCurvature);
    const bool left_out_matters =
        !(left_out[i] <= kMaterialVarianceShare * resolution * variance);
    out.undetermined[static_cast<std::size_t>(i)] = curves_down || left_out_matters;
  }
  out.covariance = scaled.scale.asDiagonal() * inverse * scaled.scale.asDiagonal();
  return out;
}

}  // namespace

HessianCovariance hessian_covariance(const Matrix& hessian, const std::vector<bool>& at_bound,
                                     double resolution) {
  const Eigen::Index n = hessian.rows();
  HessianCovariance out;
  if (!hessian.allFinite()) {
    out.covariance = Matrix::Constant(n, n, kNaN);
    out.undetermined.assign(static_cast<std::size_t>(n), true);
    return out;
  }
  Held found = held_at_bounds(hessian, at_bound, resolution);
  const std::vector<bool>& held = found.held;
  const std::vector<Eigen::Index> keep = free_indices(held);
  HessianCovariance free;
  if (found.free_inverse) {
    free.covariance = std::move(*found.free_inverse);
    free.undetermined.assign(keep.size(), false);
  } else {
    free = pseudo_inverse(block(hessian, keep), resolution);
  }
  out.covariance = Matrix::Zero(n, n);
  out.undetermined.assign(static_cast<std::size_t>(n), true);
  for (std::size_t r = 0; r < keep.size(); ++r) {
    out.undetermined[static_cast<std::size_t>(keep[r])] = free.undetermined[r];
    for (std::size_t c = 0; c < keep.size(); ++c) {
      out.covariance(keep[r], keep[c]) =
          free.covariance(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c));
    }
  }
  for (std::size_t i = 0; i < held.size(); ++i) {
    const auto d = static_cast<Eigen::Index>(i);
    if (held[i]) out.covariance(d, d) = kNaN;
  }
  return out;
}

}  // namespace tarnwex
