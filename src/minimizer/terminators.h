// The four terminators of a run: objective change, gradient norm, projected
// gradient and step limit.
#pragma once

#include <cstddef>
#include <expected>

#include "minimizer/callbacks.h"
#include "minimizer/minimizer_error.h"

namespace tarnwex {

// The rule shared by the three convergence tests: one absolute tolerance,
// rejected when eps_abs <= 0 with "eps_abs must be greater than 0" (a NaN
// tolerance passes and then never stops a run).
template <class Derived>
class ToleranceTerminator : public Terminator {
 public:
  static std::expected<Derived, MinimizerError> create(double eps_abs) {
    if (eps_abs <= 0.0) {
      return std::unexpected(MinimizerError::configuration("eps_abs must be greater than 0"));
    }
    return Derived(eps_abs);
  }
  double eps_abs() const { return eps_abs_; }

 protected:
  explicit ToleranceTerminator(double eps_abs) : eps_abs_(eps_abs) {}
  double eps_abs_;
};

// Stops when max(eps_abs, objective_resolution(f, config)) > |f_previous - f|,
// with "F_EVAL CONVERGED"; otherwise remembers f in f_previous.
class LBFGSBFTerminator final : public ToleranceTerminator<LBFGSBFTerminator> {
 public:
  TerminationDecision check_for_termination(std::size_t current_step, LBFGSB& state,
                                            GradientStatus& status,
                                            const LBFGSBConfig& config) override;

 private:
  friend ToleranceTerminator;
  using ToleranceTerminator::ToleranceTerminator;
};

// Stops when eps_abs > ||g||_2, with "GRADIENT CONVERGED".
class LBFGSBGTerminator final : public ToleranceTerminator<LBFGSBGTerminator> {
 public:
  TerminationDecision check_for_termination(std::size_t current_step, LBFGSB& state,
                                            GradientStatus& status,
                                            const LBFGSBConfig& config) override;

 private:
  friend ToleranceTerminator;
  using ToleranceTerminator::ToleranceTerminator;
};

// Stops when eps_abs > max |pg_i| of the gradient projected onto the box, with
// "PROJECTED GRADIENT WITHIN TOLERANCE".
class LBFGSBInfNormGTerminator final : public ToleranceTerminator<LBFGSBInfNormGTerminator> {
 public:
  TerminationDecision check_for_termination(std::size_t current_step, LBFGSB& state,
                                            GradientStatus& status,
                                            const LBFGSBConfig& config) override;

 private:
  friend ToleranceTerminator;
  using ToleranceTerminator::ToleranceTerminator;
};

// Stops once current_step >= max(max_steps - 1, 0), with kind Message and
// "Maximum number of steps reached ({max_steps})".
class MaxSteps final : public Terminator {
 public:
  explicit MaxSteps(std::size_t max_steps) : max_steps_(max_steps), reported_(max_steps) {}
  // A run given what is left of a larger budget stops after `max_steps` and
  // names the budget, `reported`, in its message.
  MaxSteps(std::size_t max_steps, std::size_t reported)
      : max_steps_(max_steps), reported_(reported) {}
  TerminationDecision check_for_termination(std::size_t current_step, LBFGSB& state,
                                            GradientStatus& status,
                                            const LBFGSBConfig& config) override;
  std::size_t max_steps() const { return max_steps_; }

 private:
  std::size_t max_steps_;
  std::size_t reported_;
};

}  // namespace tarnwex
