// What a problem offers the minimizer, and the adapter through which the
// minimizer calls it. The problem's error type E passes through unchanged.
#pragma once

#include <expected>

#include "minimizer/finite_difference.h"
#include "minimizer/types.h"

namespace tarnwex {

template <class E>
class ScalarCostFunction {
 public:
  virtual ~ScalarCostFunction() = default;
  virtual std::expected<double, E> evaluate(const Vector& x) const = 0;
};

// A problem that supplies only `evaluate` gets central finite differences.
template <class E>
class ScalarGradient : public ScalarCostFunction<E> {
 public:
  virtual std::expected<Vector, E> gradient(const Vector& x) const {
    return central_difference_gradient([this](const Vector& p) { return this->evaluate(p); }, x);
  }
  virtual std::expected<GradientWithHessian, E> gradient_with_hessian(const Vector& x) const {
    return central_difference_hessian([this](const Vector& p) { return this->gradient(p); }, x);
  }
};

// No parameter transform is ever configured, so the adapter forwards the
// point as it is. `hessian` keeps only the matrix of gradient_with_hessian.
template <class E>
class TransformedProblem {
 public:
  explicit TransformedProblem(const ScalarGradient<E>& problem) : problem_(&problem) {}

  std::expected<double, E> evaluate(const Vector& x) const { return problem_->evaluate(x); }
  std::expected<Vector, E> gradient(const Vector& x) const { return problem_->gradient(x); }
  std::expected<Matrix, E> hessian(const Vector& x) const {
    auto both = problem_->gradient_with_hessian(x);
    if (!both) return std::unexpected(std::move(both.error()));
    return std::move(both->hessian);
  }

 private:
  const ScalarGradient<E>* problem_;
};

}  // namespace tarnwex
