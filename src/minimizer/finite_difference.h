// Central finite differences of a scalar objective: the gradient, and the
// symmetrised Hessian as central differences of that gradient.
#pragma once

#include <cmath>
#include <algorithm>
#include <expected>
#include <span>
#include <limits>
#include <utility>
#include <vector>

#include "minimizer/stencil_weights.h"
#include "minimizer/types.h"

namespace tarnwex {

struct GradientWithHessian {
  Vector gradient;
  Matrix hessian;
};

// The step of a central difference at a coordinate of value v for a problem
// that gives no scale of its own: h = (|v| + 1) * cbrt(2^-52), which
// balances truncation against rounding for coordinates of order 1. The fit's
// likelihood takes its steps in each parameter's own scale instead.
inline double central_difference_step(double v) {
  return (std::abs(v) + 1.0) * kCbrtMachineEpsilon;
}

// central_difference_gradient (below) kept inside a box, with a step per
// coordinate: `steps` and `bounds` hold one entry per coordinate from
// `first` on (`bounds` empty: unbounded), and `f_x` is the objective at x.
// Where x_i +- h_i both lie in the box the difference is central,
// g_i = (F(x + h e_i) - F(x - h e_i)) / (p+ - p-) over the two points
// actually formed; otherwise it is one-sided into the roomier side, on the
// points x_i + s and x_i + 2 s with s = min(h, room / 2), each formed inside
// the box (stencil_weights.h), and exact up to the cubic term like the
// central one. No point outside the box is ever evaluated; a box too narrow
// to hold a point other than x_i gives g_i = 0 (the box holds the
// coordinate where it is). Costs 2 evaluations per coordinate at most.
template <class Evaluate>
auto boxed_difference_gradient(Evaluate&& evaluate, const Vector& x, double f_x,
                               std::span<const double> steps,
                               std::span<const std::pair<double, double>> bounds,
                               Eigen::Index first = 0)
    -> std::expected<Vector, typename decltype(evaluate(x))::error_type> {
  const Eigen::Index n = x.size();
  Vector point = x;
  Vector g = Vector::Zero(n);
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  for (Eigen::Index i = first; i < n; ++i) {
    const double v = point[i];
    const auto k = static_cast<std::size_t>(i - first);
    const double h = steps[k];
    const std::pair<double, double> bound =
        k < bounds.size() ? bounds[k] : std::pair<double, double>(-kInfinity, kInfinity);
    const StencilPoints points = stencil_points(v, h, bound, 1, h, 2);
    double values[2] = {0.0, 0.0};
    for (std::size_t m = 0; m < points.offsets.size(); ++m) {
      point[i] = v + points.offsets[m];
      auto value = evaluate(point);
      point[i] = v;
      if (!value) return std::unexpected(std::move(value.error()));
      values[m] = *value;
    }
    if (points.central) {
      g[i] = (values[0] - values[1]) / ((v + points.offsets[0]) - (v + points.offsets[1]));
    } else if (!points.offsets.empty()) {
      std::vector<double> offsets{0.0};
      offsets.insert(offsets.end(), points.offsets.begin(), points.offsets.end());
      const std::vector<double> weights = stencil_weights(offsets, 1);
      // Differences from F(x), so that F's own size does not round the sum.
      for (std::size_t m = 1; m < offsets.size(); ++m) g[i] += weights[m] * (values[m - 1] - f_x);
    }
  }
  return g;
}

// The steps of central_difference_gradient: (|x_i| + 1) * cbrt(2^-52) for a
// problem that says nothing of its coordinates' scales.
inline std::vector<double> central_difference_steps(const Vector& x, Eigen::Index first = 0) {
  std::vector<double> steps;
  for (Eigen::Index i = first; i < x.size(); ++i) steps.push_back(central_difference_step(x[i]));
  return steps;
}

// g_i = (F(x + h e_i) - F(x - h e_i)) / (h + h) with h = (|x_i| + 1) * cbrt(2^-52),
// for the coordinates from `first` on (those before it are left 0, for a
// caller that knows them otherwise). `evaluate` is any callable taking
// const Vector& and returning std::expected<double, E>. Costs 2 evaluations
// per coordinate; the first error aborts.
template <class Evaluate>
auto central_difference_gradient(Evaluate&& evaluate, const Vector& x, Eigen::Index first = 0)
    -> std::expected<Vector, typename decltype(evaluate(x))::error_type> {
  // Without a box every difference is central and F(x) is never read.
  return boxed_difference_gradient(std::forward<Evaluate>(evaluate), x, 0.0,
                                   central_difference_steps(x, first), {}, first);
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
