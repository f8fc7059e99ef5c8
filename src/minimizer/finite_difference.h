// Central finite differences of a scalar objective: the gradient, and the
// symmetrised Hessian as central differences of that gradient.
#pragma once

#include <cmath>
#include <algorithm>
#include <expected>
#include <span>
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

// central_difference_gradient (below) kept inside a box: `bounds` holds one
// (lower, upper) pair per coordinate from `first` on (empty: unbounded), and
// `f_x` is the objective at x. Where x_i +- h would leave the box, the
// difference is one-sided into it,
// g_i = (-3 F(x) + 4 F(x + s e_i) - F(x + 2 s e_i)) / (2 s) with s = +-h
// towards the roomier side (shortened to half that side's room when 2h does
// not fit), exact up to the cubic term like the central one, so that no
// point outside the box is ever evaluated. Costs 2 evaluations per
// coordinate as well.
template <class Evaluate>
auto boxed_difference_gradient(Evaluate&& evaluate, const Vector& x, double f_x,
                               std::span<const std::pair<double, double>> bounds,
                               Eigen::Index first = 0)
    -> std::expected<Vector, typename decltype(evaluate(x))::error_type> {
  const Eigen::Index n = x.size();
  Vector point = x;
  Vector g = Vector::Zero(n);
  using Error = typename decltype(evaluate(x))::error_type;
  // F at x_i + a and x_i + b, in that order.
  auto at_offsets = [&](Eigen::Index i, double a,
                        double b) -> std::expected<std::pair<double, double>, Error> {
    const double v = point[i];
    point[i] = v + a;
    auto first_value = evaluate(point);
    if (!first_value) return std::unexpected(std::move(first_value.error()));
    point[i] = v + b;
    auto second_value = evaluate(point);
    point[i] = v;
    if (!second_value) return std::unexpected(std::move(second_value.error()));
    return std::pair<double, double>(*first_value, *second_value);
  };
  for (Eigen::Index i = first; i < n; ++i) {
    const double v = point[i];
    const double h = central_difference_step(v);
    const auto k = static_cast<std::size_t>(i - first);
    const double up = k < bounds.size() ? bounds[k].second - v : h + h;
    const double down = k < bounds.size() ? v - bounds[k].first : h + h;
    if (up >= h && down >= h) {
      auto values = at_offsets(i, h, -h);
      if (!values) return std::unexpected(std::move(values.error()));
      g[i] = (values->first - values->second) / (h + h);
      continue;
    }
    const double room = std::max(up, down);
    const double s = std::min(h, 0.5 * room) * (up >= down ? 1.0 : -1.0);
    auto values = at_offsets(i, s, s + s);
    if (!values) return std::unexpected(std::move(values.error()));
    g[i] = (4.0 * (values->first - f_x) - (values->second - f_x)) / (s + s);
  }
  return g;
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
  return boxed_difference_gradient(std::forward<Evaluate>(evaluate), x, 0.0, {}, first);
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
