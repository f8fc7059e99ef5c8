// The four terminators of a run: objective change, gradient norm, projected
// gradient and step limit.
#pragma once

#include <cstddef>
#include <expected>

#include "minimizer/callbacks.h"
#include "minimizer/minimizer_error.h"

namespace tarnwex {

// Stops when eps_abs > |f_previous - f|, with "F_EVAL CONVERGED"; otherwise
// remembers f in f_previous.
class LBFGSBFTerminator final : public Terminator {
 public:
  // Fails with "eps_abs must be greater than 0" when eps_abs <= 0 (NaN passes).
  static std::expected<LBFGSBFTerminator, MinimizerError> create(double eps_abs);
  TerminationDecision check_for_termination(std::size_t current_step, LBFGSB& state,
                                            GradientStatus& status,
                                            const LBFGSBConfig& config) override;
  double eps_abs() const { return eps_abs_; }

 private:
  explicit LBFGSBFTerminator(double eps_abs) : eps_abs_(eps_abs) {}
  double eps_abs_;
};

// Stops when eps_abs > ||g||_2, with "GRADIENT CONVERGED".
class LBFGSBGTerminator final : public Terminator {
 public:
  static std::expected<LBFGSBGTerminator, MinimizerError> create(double eps_abs);
  TerminationDecision check_for_termination(std::size_t current_step, LBFGSB& state,
                                            GradientStatus& status,
                                            const LBFGSBConfig& config) override;
  double eps_abs() const { return eps_abs_; }

 private:
  explicit LBFGSBGTerminator(double eps_abs) : eps_abs_(eps_abs) {}
  double eps_abs_;
};

// Stops when eps_abs > max |pg_i| of the gradient projected onto the box, with
// "PROJECTED GRADIENT WITHIN TOLERANCE".
class LBFGSBInfNormGTerminator final : public Terminator {
 public:
  static std::expected<LBFGSBInfNormGTerminator, MinimizerError> create(double eps_abs);
  TerminationDecision check_for_termination(std::size_t current_step, LBFGSB& state,
                                            GradientStatus& status,
                                            const LBFGSBConfig& config) override;
  double eps_abs() const { return eps_abs_; }

 private:
  explicit LBFGSBInfNormGTerminator(double eps_abs) : eps_abs_(eps_abs) {}
  double eps_abs_;
};

// Stops once current_step >= max(max_steps - 1, 0), with kind Message and
// "Maximum number of steps reached ({max_steps})".
class MaxSteps final : public Terminator {
 public:
  explicit MaxSteps(std::size_t max_steps) : max_steps_(max_steps) {}
  TerminationDecision check_for_termination(std::size_t current_step, LBFGSB& state,
                                            GradientStatus& status,
                                            const LBFGSBConfig& config) override;
  std::size_t max_steps() const { return max_steps_; }

 private:
  std::size_t max_steps_;
};

}  // namespace tarnwex
