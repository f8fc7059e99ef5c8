// What a minimization reports: the status kinds and messages, the evaluation
// counters, the covariance from the final Hessian and the summary record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "minimizer/scalar_bound.h"
#include "minimizer/types.h"

namespace tarnwex {

enum class StatusType : std::uint8_t { Uninitialized, Initialized, Step, Success, Failed, Message };

// "Uninitialized", "Initialized", "Step", "Success", "Failed" or "Message".
const char* status_type_text(StatusType kind);

struct StatusMessage {
  std::optional<std::string> text;
  StatusType kind = StatusType::Uninitialized;

  // Each replaces the whole message and leaves the text absent.
  void reset() { *this = {std::nullopt, StatusType::Uninitialized}; }
  void initialize() { *this = {std::nullopt, StatusType::Initialized}; }
  void step() { *this = {std::nullopt, StatusType::Step}; }
  void succeed() { *this = {std::nullopt, StatusType::Success}; }
  void fail() { *this = {std::nullopt, StatusType::Failed}; }

  // "Kind: text" when a non-empty text is present, else "Kind".
  std::string display() const;
};

struct GradientStatus {
  Vector position;
  std::optional<Matrix> hessian_matrix;
  std::optional<Matrix> covariance;
  std::optional<Vector> errors;
  StatusMessage message;
  double value = 0.0;
  std::size_t objective_evaluations = 0;
  std::size_t gradient_evaluations = 0;
  std::size_t hessian_evaluations = 0;
  std::size_t steps = 0;  // iterations of the run, each one step or a failed search

  // Per parameter: the Hessian leaves its error unknown (hessian_covariance.h).
  std::vector<bool> undetermined;

  // Stores the Hessian, the covariance taken from it (hessian_covariance.h)
  // and which parameters it leaves undetermined. `at_bound` is empty or
  // tells per parameter whether it lies on a side of its bound; `resolution`
  // is the accuracy of the Hessian scaled to unit diagonal.
  void set_hess(Matrix hessian, const std::vector<bool>& at_bound = {},
                double resolution = kCbrtMachineEpsilon);
  // Stores the covariance and errors_i = sqrt(cov(i, i)), NaN for an
  // undetermined parameter and unless that variance is finite and positive.
  void set_cov(Matrix covariance);
};

// n quiet NaNs: the errors of a run that has no covariance.
Vector unknown_uncertainties(Eigen::Index n);

struct MinimizationSummary {
  Vector initial_position;
  Vector position;
  Vector errors;
  Matrix covariance;
  std::optional<Matrix> hessian;  // the one the covariance was taken from, if computed
  std::optional<BoundList> bounds;
  std::optional<std::vector<std::string>> parameter_names;
  StatusMessage message;
  double value = 0.0;
  std::size_t objective_evaluations = 0;
  std::size_t gradient_evaluations = 0;
  std::size_t hessian_evaluations = 0;
  std::size_t steps = 0;
};

}  // namespace tarnwex
