#include "fit/splot.h"

#include <utility>

#include "fit/inputs/validate_inputs.h"
#include "fit/likelihood/joint_likelihood.h"
#include "fit/model/yield_information.h"
#include "fit/runs/fit_runs.h"
#include "fit/runs/start_point.h"
#include "fit/scales/convergence_scale.h"
#include "fit/scales/hessian_resolution.h"
#include "fit/sweights/splot_covariance.h"
#include "fit/sweights/sweights.h"
#include "fit/uncertainties/weighted_covariance.h"
#include "minimizer/types.h"

namespace tarnwex {

namespace {

RowMatrix by_rows(const Matrix& matrix) {
  RowMatrix rows(static_cast<std::size_t>(matrix.rows()), static_cast<std::size_t>(matrix.cols()));
  for (Eigen::Index i = 0; i < matrix.rows(); ++i) {
    for (Eigen::Index j = 0; j < matrix.cols(); ++j) {
      rows(static_cast<std::size_t>(i), static_cast<std::size_t>(j)) = matrix(i, j);
    }
  }
  return rows;
}

// The sPlot step at the fitted point: covariance and sWeights.
struct SPlotStep {
  Matrix covariance;
  RowMatrix sweights;
};

// The shape scores at the standing run's point: those its final Hessian
// kept, or, when a later run's Hessian replaced them, those of a Hessian
// taken there again (counted with the run's Hessians).
std::expected<void, SPlotError> keep_scores_at(JointLikelihood& likelihood,
                                               MinimizationSummary& run) {
  if (!run.hessian || likelihood.split(run.position).shape_values.empty() ||
      likelihood.shape_scores_at(run.position)) {
    return {};
  }
  auto again = likelihood.gradient_with_hessian(run.position);
  if (!again) return std::unexpected(std::move(again.error()));
  run.hessian_evaluations += 1;
  return {};
}

// With `weighted`, the run's covariance and errors become those of a
// weighted fit (uncertainties/weighted_covariance.h) from the same model.
std::expected<SPlotStep, SPlotError> splot_step(JointLikelihood& likelihood,
                                                MinimizationSummary& run, bool weighted,
                                                std::span<const double> yields,
                                                std::span<const double> shape_values,
                                                double tolerance) {
  if (weighted) {
    if (auto kept = keep_scores_at(likelihood, run); !kept) {
      return std::unexpected(std::move(kept.error()));
    }
  }
  auto model = likelihood.evaluate_model(shape_values);
  if (!model) return std::unexpected(std::move(model.error()));
  if (weighted) {
    const auto scores = likelihood.shape_scores_at(run.position);
    auto applied = apply_weighted_covariance(
        run, *model, yields, scores ? *scores : std::span<const std::vector<double>>());
    if (!applied) return std::unexpected(std::move(applied.error()));
  }
  auto information = yield_information(*model, yields);
  if (!information) return std::unexpected(std::move(information.error()));
  auto covariance = splot_covariance(*information, tolerance);
  if (!covariance) return std::unexpected(std::move(covariance.error()));
  auto sweights = calculate_sweights(*model, yields, *covariance);
  if (!sweights) return std::unexpected(std::move(sweights.error()));
  return SPlotStep{std::move(*covariance), std::move(*sweights)};
}

SPlotOutput assemble_output(const MinimizationSummary& summary, std::vector<double> yields,
                            std::span<const double> shape_values, SPlotStep step,
                            std::span<const ShapeParameter> shape_parameters) {
  const std::size_t n_components = yields.size();
  SPlotOutput output;
  output.yields = std::move(yields);
  const Vector& errors = summary.errors;
  output.yield_errors.resize(n_components);
  for (std::size_t k = 0; k < n_components; ++k) {
    output.yield_errors[k] = errors[static_cast<Eigen::Index>(k)];
  }
  output.covariance = by_rows(step.covariance);
  output.sweights = std::move(step.sweights);
  output.fit_covariance = by_rows(summary.covariance);
  output.message = summary.message.display();
  for (std::size_t i = 0; i < shape_parameters.size(); ++i) {
    const std::string& name = shape_parameters[i].name;
    output.shape_parameters.emplace(name, shape_values[i]);
    output.shape_errors.emplace(name, errors[static_cast<Eigen::Index>(n_components + i)]);
  }
  output.minimum_nll = summary.value;
  output.objective_evaluations = summary.objective_evaluations;
  output.gradient_evaluations = summary.gradient_evaluations;
  output.hessian_evaluations = summary.hessian_evaluations;
  output.success = summary.message.kind == StatusType::Success;
  return output;
}

}  // namespace

std::expected<SPlotOutput, SPlotError> splot(const EventView& events, const PdfList& pdfs,
                                             std::span<const ShapeParameter> shape_parameters,
                                             SPlotConfig config,
                                             const InterruptCheck& interrupted) {
  auto validated = validate_inputs(events, pdfs, shape_parameters, config);
  if (!validated) return std::unexpected(std::move(validated.error()));
  const std::span<const double> event_weights = validated->event_weights;
  const bool weighted = validated->weighted();
  const std::size_t n_components = pdfs.size();

  const StartPoint start =
      make_start_point(validated->start_yields, shape_parameters, config.tolerance);
  std::vector<std::string> names;
  names.reserve(shape_parameters.size());
  for (const ShapeParameter& parameter : shape_parameters) names.push_back(parameter.name);
  // The start point owns the bounds; the final Hessian's differences along a
  // shape parameter stay inside them.
  JointLikelihood likelihood(std::move(names), events, pdfs, event_weights, interrupted,
                             std::span(start.bounds).subspan(n_components));
  // Errors at the start point are reported before the minimizer runs at all.
  auto at_start = likelihood.evaluate(start.x);
  if (!at_start) return std::unexpected(std::move(at_start.error()));
  const auto sums = weight_sums(event_weights, events.size(), likelihood.interrupt_check());
  if (!sums) return std::unexpected(sums.error());
  if (weighted) likelihood.keep_shape_scores();
  likelihood.set_nll_noise(nll_noise(sums->magnitude));
  const double resolution = hessian_resolution(sums->magnitude, sums->event_unit, shape_parameters.size());
  FitRunner runner(likelihood, start, RunLimits{config.tolerance, config.max_steps, resolution},
                   sums->event_unit);
  auto run = fit_from_start(runner);
  if (!run) return std::unexpected(std::move(run.error()));

  const auto n_parameters = static_cast<std::size_t>(run->position.size());
  std::vector<double> yields(run->position.data(), run->position.data() + n_components);
  std::vector<double> shape_values(run->position.data() + n_components,
                                   run->position.data() + n_parameters);
  auto step = splot_step(likelihood, *run, weighted, yields, shape_values, config.tolerance);
  if (!step) return std::unexpected(std::move(step.error()));
  return assemble_output(*run, std::move(yields), shape_values, std::move(*step), shape_parameters);
}

}  // namespace tarnwex
