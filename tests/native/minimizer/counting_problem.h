// Test problems for whole minimizer runs: each counts the calls the minimizer
// makes of it, and an observer records the accepted points of a run.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "minimizer/callbacks.h"
#include "minimizer/lbfgsb.h"
#include "minimizer/terminators.h"

namespace tarnwex::test_problems {

struct ProblemError {
  std::string text;
  friend bool operator==(const ProblemError&, const ProblemError&) = default;
};

template <class T>
using Result = std::expected<T, ProblemError>;

// Counts only the calls made from outside: the objective calls made by the
// finite-difference gradient, and the gradient calls made by the
// finite-difference Hessian, are the problem's own business.
class CountingProblem : public ScalarGradient<ProblemError> {
 public:
  struct Counts {
    std::size_t objective = 0;
    std::size_t gradient = 0;
    std::size_t hessian = 0;
  };

  Result<double> evaluate(const Vector& x) final {
    if (depth_ == 0) {
      ++counts.objective;
      objective_points.push_back(x);
    }
    return value(x);
  }
  Result<Vector> gradient(const Vector& x) final {
    if (depth_ == 0) ++counts.gradient;
    const Nested nested(depth_);
    if (auto analytic = analytic_gradient(x)) return std::move(*analytic);
    return ScalarGradient::gradient(x);
  }
  Result<GradientWithHessian> gradient_with_hessian(const Vector& x) final {
    ++counts.hessian;
    const Nested nested(depth_);
    return ScalarGradient::gradient_with_hessian(x);
  }

  Counts counts;
  std::vector<Vector> objective_points;  // every point the minimizer evaluated

 protected:
  virtual Result<double> value(const Vector& x) const = 0;
  // Absent: the gradient is the default central finite difference.
  virtual std::optional<Result<Vector>> analytic_gradient(const Vector& x) const = 0;

 private:
  struct Nested {
    explicit Nested(int& depth) : depth(depth) { ++depth; }
    ~Nested() { --depth; }
    int& depth;
  };
  int depth_ = 0;
};

// Records status.position after every step.
class PositionRecorder final : public Observer {
 public:
  explicit PositionRecorder(std::vector<Vector>& positions) : positions_(&positions) {}
  void observe(std::size_t, const LBFGSB&, const GradientStatus& status,
               const LBFGSBConfig&) override {
    positions_->push_back(status.position);
  }

 private:
  std::vector<Vector>* positions_;
};

// An observer recording the accepted points, then the convergence tests on
// objective change, gradient norm and projected gradient, then a step limit.
inline Callbacks standard_callbacks(std::vector<Vector>& positions, double tolerance,
                                    std::size_t max_steps) {
  Callbacks callbacks = with_observer({}, std::make_unique<PositionRecorder>(positions));
  callbacks = with_terminator(std::move(callbacks),
                              std::make_unique<LBFGSBFTerminator>(*LBFGSBFTerminator::create(tolerance)));
  callbacks = with_terminator(std::move(callbacks),
                              std::make_unique<LBFGSBGTerminator>(*LBFGSBGTerminator::create(tolerance)));
  callbacks = with_terminator(
      std::move(callbacks),
      std::make_unique<LBFGSBInfNormGTerminator>(*LBFGSBInfNormGTerminator::create(tolerance)));
  return with_terminator(std::move(callbacks), std::make_unique<MaxSteps>(max_steps));
}

}  // namespace tarnwex::test_problems
