// What a problem offers the minimizer, and the adapter through which the
// minimizer calls it. The problem's error type E passes through unchanged.
#pragma once

#include <expected>
#include <optional>
#include <utility>

#include "minimizer/finite_difference.h"
#include "minimizer/parameter_transform.h"
#include "minimizer/types.h"

namespace tarnwex {

template <class E>
class ScalarCostFunction {
 public:
  virtual ~ScalarCostFunction() = default;
  virtual std::expected<double, E> evaluate(const Vector& x) = 0;
};

// A problem that supplies only `evaluate` gets central finite differences.
template <class E>
class ScalarGradient : public ScalarCostFunction<E> {
 public:
  virtual std::expected<Vector, E> gradient(const Vector& x) {
    return central_difference_gradient([this](const Vector& p) { return this->evaluate(p); }, x);
  }
  virtual std::expected<GradientWithHessian, E> gradient_with_hessian(const Vector& x) {
    return central_difference_hessian([this](const Vector& p) { return this->gradient(p); }, x);
  }
  // Asked after every accepted step of a run in scaled coordinates (x = s * z),
  // with x the new point, where the last gradient was computed: a new scale
  // when the curvature at x has moved far from what `scale` assumes, nothing
  // while it still fits. The default keeps the scale of the start.
  virtual std::expected<std::optional<Vector>, E> rescale(const Vector& x, const Vector& scale) {
    static_cast<void>(x);
    static_cast<void>(scale);
    return std::nullopt;
  }
};

// The adapter through which the iteration calls the problem. With a
// transform the iteration works in z: the problem is called at x = s * z and
// its gradient and Hessian are returned with respect to z (s * g, S H S).
// Without one the point is forwarded as it is. `hessian` keeps only the
// matrix of gradient_with_hessian.
template <class E>
class TransformedProblem {
 public:
  explicit TransformedProblem(ScalarGradient<E>& problem,
                              const ParameterTransform* transform = nullptr)
      : problem_(&problem), transform_(transform) {}

  std::expected<double, E> evaluate(const Vector& z) const {
    return transform_ ? problem_->evaluate(transform_->to_external(z)) : problem_->evaluate(z);
  }
  std::expected<Vector, E> gradient(const Vector& z) const {
    if (!transform_) return problem_->gradient(z);
    auto g = problem_->gradient(transform_->to_external(z));
    if (!g) return std::unexpected(std::move(g.error()));
    return transform_->gradient_to_internal(*g);
  }
  // The problem's new scale at z, or nothing; always nothing without a transform.
  std::expected<std::optional<Vector>, E> rescale(const Vector& z) const {
    if (!transform_) return std::nullopt;
    return problem_->rescale(transform_->to_external(z), transform_->scale);
  }
  std::expected<Matrix, E> hessian(const Vector& z) const {
    auto both = problem_->gradient_with_hessian(transform_ ? transform_->to_external(z) : z);
    if (!both) return std::unexpected(std::move(both.error()));
    if (!transform_) return std::move(both->hessian);
    return transform_->hessian_to_internal(both->hessian);
  }

 private:
  ScalarGradient<E>* problem_;
  const ParameterTransform* transform_;
};

}  // namespace tarnwex
