// Central finite differences of a scalar objective: the gradient, and the
// symmetrised Hessian as central differences of that gradient.
#pragma once

#include <cmath>
#include <expected>
#include <utility>

#include "minimizer/types.h"

namespace tarnwex {

struct GradientWithHessian {
  Vector gradient;
  Matrix hessian;
};

// The step of a central difference at a coordinate of value v:
// h = (|v| + 1) * cbrt(2^-52), which balances truncation against rounding.
inline double central_difference_step(double v) {
  return (std::abs(v) + 1.0) * kCbrtMachineEpsilon;
}

// g_i = (F(x + h e_i) - F(x - h e_i)) / (h + h) with h = (|x_i| + 1) * cbrt(2^-52),
// for the coordinates from `first` on (those before it are left 0, for a
// caller that knows them otherwise). `evaluate` is any callable taking
// const Vector& and returning std::expected<double, E>. Costs 2 evaluations
// per coordinate; the first error aborts.
template <class Evaluate>
auto central_difference_gradient(Evaluate&& evaluate, const Vector& x, Eigen::Index first = 0)
    -> std::expected<Vector, typename decltype(evaluate(x))::error_type> {
  const Eigen::Index n = x.size();
  Vector point = x;
  Vector g = Vector::Zero(n);
  for (Eigen::Index i = first; i < n; ++i) {
    const double v = point[i];
    const double h = central_difference_step(v);
    point[i] = v + h;
    auto plus = evaluate(point);
    if (!plus) return std::unexpected(std::move(plus.error()));
    point[i] = v - h;
    auto minus = evaluate(point);
    if (!minus) return std::unexpected(std::move(minus.error()));
    point[i] = v;
    g[i] = (*plus - *minus) / (h + h);
  }
  return g;
}

// g = gradient(x), then H(j, i) = (G+_j - G-_j) / (h + h) for each column i
// with G± = gradient(x ± h e_i), then both off-diagonal triangles replaced by
// their mean. With the finite-difference gradient this costs 2n + 4n^2
// objective evaluations. `gradient` returns std::expected<Vector, E>.
template <class Gradient>
auto central_difference_hessian(Gradient&& gradient, const Vector& x)
    -> std::expected<GradientWithHessian, typename decltype(gradient(x))::error_type> {
  auto g = gradient(x);
  if (!g) return std::unexpected(std::move(g.error()));
  const Eigen::Index n = x.size();
  Matrix hessian = Matrix::Zero(n, n);
  Vector point = x;
  for (Eigen::Index i = 0; i < n; ++i) {
    const double v = point[i];
    const double h = central_difference_step(v);
    point[i] = v + h;
    auto plus = gradient(point);
    if (!plus) return std::unexpected(std::move(plus.error()));
    point[i] = v - h;
    auto minus = gradient(point);
    if (!minus) return std::unexpected(std::move(minus.error()));
    point[i] = v;
    for (Eigen::Index j = 0; j < n; ++j) hessian(j, i) = ((*plus)[j] - (*minus)[j]) / (h + h);
  }
  for (Eigen::Index i = 0; i < n; ++i) {
    for (Eigen::Index j = 0; j < i; ++j) {
      const double mean = (hessian(i, j) + hessian(j, i)) * 0.5;
      hessian(i, j) = mean;
      hessian(j, i) = mean;
    }
  }
  return GradientWithHessian{std::move(*g), std::move(hessian)};
}

}  // namespace tarnwex
