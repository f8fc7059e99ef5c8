#include "fit/splot.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <utility>

#include "fit/convergence_scale.h"
#include "fit/coordinate_scale.h"
#include "fit/sweights/evaluated_model.h"
#include "fit/likelihood/joint_likelihood.h"
#include "fit/start_point.h"
#include "fit/undetermined_parameters.h"
#include "fit/validate_inputs.h"
#include "fit/vanished_components.h"
#include "minimizer/callbacks.h"
#include "minimizer/lbfgsb.h"
#include "minimizer/lbfgsb_config.h"
#include "minimizer/terminators.h"
#include "minimizer/types.h"

namespace tarnwex {

namespace {

template <class T>
std::expected<Callbacks, SPlotError> add_terminator(Callbacks callbacks,
                                                    std::expected<T, MinimizerError> terminator) {
  if (!terminator) return std::unexpected(SPlotError::minimizer(std::move(terminator.error())));
  return with_terminator(std::move(callbacks), std::make_unique<T>(std::move(*terminator)));
}

// The objective-change test at `objective_threshold`, the two gradient tests
// at `gradient_threshold`, then the step limit.
std::expected<Callbacks, SPlotError> build_callbacks(double objective_threshold,
                                                     double gradient_threshold,
                                                     std::optional<std::size_t> max_steps) {
  auto callbacks = add_terminator(Callbacks{}, LBFGSBFTerminator::create(objective_threshold));
  if (callbacks) {
    callbacks =
        add_terminator(std::move(*callbacks), LBFGSBGTerminator::create(gradient_threshold));
  }
  if (callbacks) {
    callbacks = add_terminator(std::move(*callbacks),
                               LBFGSBInfNormGTerminator::create(gradient_threshold));
  }
  if (callbacks && max_steps) {
    callbacks = with_terminator(std::move(*callbacks), std::make_unique<MaxSteps>(*max_steps));
  }
  return callbacks;
}

RowMatrix by_rows(const Matrix& matrix) {
  RowMatrix rows(static_cast<std::size_t>(matrix.rows()), static_cast<std::size_t>(matrix.cols()));
  for (Eigen::Index i = 0; i < matrix.rows(); ++i) {
    for (Eigen::Index j = 0; j < matrix.cols(); ++j) {
      rows(static_cast<std::size_t>(i), static_cast<std::size_t>(j)) = matrix(i, j);
    }
  }
  return rows;
}

// The minimizer's configuration (bounds, thresholds, scaled coordinates)
// and its terminators, for a fit starting at `start` with the NLL `nll_at_start`.
struct MinimizerSetup {
  LBFGSBConfig config;
  Callbacks callbacks;
  double unit;  // the weights' statistical scale
};

std::expected<MinimizerSetup, SPlotError> configure_minimizer(
    JointLikelihood& likelihood, const StartPoint& start, double nll_at_start,
    const SPlotConfig& config, std::span<const double> event_weights) {
  auto lbfgsb_config = with_bounds(LBFGSBConfig{}, start.bounds);
  if (!lbfgsb_config) return std::unexpected(SPlotError::minimizer(std::move(lbfgsb_config.error())));
  // The tests measure the NLL in its statistical units, whatever the
  // weights' scale; the objective-change test never looks finer than the
  // NLL resolves, nor does a failed line search count a smaller decrease.
  const double unit = weight_scale(event_weights);
  const double objective_threshold = objective_change_threshold(config.tolerance, unit, nll_at_start);
  lbfgsb_config->objective_resolution = objective_threshold;
  // Gradients in the minimizer's scaled coordinates grow as the square root
  // of the weights' scale.
  auto callbacks =
      build_callbacks(objective_threshold, config.tolerance * std::sqrt(unit), config.max_steps);
  if (!callbacks) return std::unexpected(std::move(callbacks.error()));
  auto scale = coordinate_scale(likelihood, start.x, unit);
  if (!scale) return std::unexpected(std::move(scale.error()));
  lbfgsb_config->transform = std::move(*scale);
  return MinimizerSetup{std::move(*lbfgsb_config), std::move(*callbacks), unit};
}

// One run of the minimizer from `start`, inside its box.
std::expected<MinimizationSummary, SPlotError> minimize(JointLikelihood& likelihood,
                                                        const StartPoint& start,
                                                        double nll_at_start,
                                                        const SPlotConfig& config,
                                                        std::span<const double> event_weights,
                                                        bool skip_hessian) {
  auto setup = configure_minimizer(likelihood, start, nll_at_start, config, event_weights);
  if (!setup) return std::unexpected(std::move(setup.error()));
  setup->config.skip_hessian = skip_hessian;
  ScaledLikelihood scaled(likelihood, setup->unit);
  LBFGSB minimizer;
  return minimizer.process<SPlotError>(scaled, start.x, std::move(setup->config),
                                       std::move(setup->callbacks));
}

// The fit from `start`. A fit that found its minimum after a component with
// a shape of its own vanished on the way (vanished_components.h) is fitted
// once more from the start: first with those yields held at their start
// values while everything else moves, then from there with every parameter
// free. The run that ends lower is the fit; the counters add up every run.
std::expected<MinimizationSummary, SPlotError> fit(JointLikelihood& likelihood,
                                                   const StartPoint& start, double nll_at_start,
                                                   const SPlotConfig& config,
                                                   std::span<const double> event_weights) {
  auto run = minimize(likelihood, start, nll_at_start, config, event_weights, false);
  const auto n_components = static_cast<Eigen::Index>(likelihood.n_components());
  if (!run || run->message.kind != StatusType::Success || start.x.size() == n_components) {
    return run;
  }
  const auto yields_of = [&](const Vector& x) {
    return std::span<const double>(x.data(), static_cast<std::size_t>(n_components));
  };
  const auto shapes_of = [&](const Vector& x) {
    return std::span<const double>(x.data() + n_components,
                                   static_cast<std::size_t>(x.size() - n_components));
  };
  auto vanished = vanished_components(yields_of(run->position), yields_of(start.x),
                                      weight_scale(event_weights));
  if (vanished.empty()) return run;
  auto shaped = shaped_by_parameters(likelihood, shapes_of(start.x), shapes_of(run->position),
                                     std::move(vanished));
  if (!shaped) return std::unexpected(std::move(shaped.error()));
  if (shaped->empty()) return run;

  const StartPoint held{start.x, hold_yields(start.bounds, yields_of(start.x), *shaped), {}};
  auto holding = minimize(likelihood, held, nll_at_start, config, event_weights, true);
  if (!holding) return std::unexpected(std::move(holding.error()));
  const StartPoint released{holding->position, start.bounds, {}};
  auto refit = minimize(likelihood, released, holding->value, config, event_weights, false);
  if (!refit) return std::unexpected(std::move(refit.error()));

  MinimizationSummary& lower = refit->value < run->value ? *refit : *run;
  lower.initial_position = start.x;
  lower.objective_evaluations = run->objective_evaluations + holding->objective_evaluations +
                                refit->objective_evaluations;
  lower.gradient_evaluations = run->gradient_evaluations + holding->gradient_evaluations +
                               refit->gradient_evaluations;
  lower.hessian_evaluations = run->hessian_evaluations + refit->hessian_evaluations;
  return std::move(lower);
}

// The sPlot step at the fitted point: covariance and sWeights.
struct SPlotStep {
  Matrix covariance;
  RowMatrix sweights;
};

std::expected<SPlotStep, SPlotError> splot_step(JointLikelihood& likelihood,
                                                std::span<const double> yields,
                                                std::span<const double> shape_values,
                                                double tolerance) {
  auto model = likelihood.evaluate_model(shape_values);
  if (!model) return std::unexpected(std::move(model.error()));
  auto information = model->yield_information(yields);
  if (!information) return std::unexpected(std::move(information.error()));
  auto covariance = splot_covariance(*information, tolerance);
  if (!covariance) return std::unexpected(std::move(covariance.error()));
  auto sweights = model->calculate_sweights(yields, *covariance);
  if (!sweights) return std::unexpected(std::move(sweights.error()));
  // Weights or densities at the edge of the double range can overflow an
  // sWeight even where every check before passed; such a result is no success.
  if (!std::all_of(sweights->values.begin(), sweights->values.end(),
                   [](double v) { return std::isfinite(v); })) {
    return std::unexpected(SPlotError::optimization(
        "sWeights are not finite: rescale the event weights or the PDFs"));
  }
  return SPlotStep{std::move(*covariance), std::move(*sweights)};
}

SPlotOutput assemble_output(const MinimizationSummary& summary, std::vector<double> yields,
                            std::span<const double> shape_values, SPlotStep step,
                            std::span<const ShapeParameter> shape_parameters) {
  const std::size_t n_components = yields.size();
  SPlotOutput output;
  output.yields = std::move(yields);
  const Vector errors = determined_errors(summary);
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
  const std::size_t n_components = pdfs.size();

  StartPoint start = make_start_point(validated->start_yields, shape_parameters, config.tolerance);
  // The final Hessian's differences along a shape parameter stay inside its bounds.
  std::vector<std::pair<double, double>> shape_bounds(
      start.bounds.begin() + static_cast<std::ptrdiff_t>(n_components), start.bounds.end());
  JointLikelihood likelihood(std::move(start.names), events, pdfs, event_weights, interrupted,
                             std::move(shape_bounds));
  // Errors at the start point are reported before the minimizer runs at all.
  auto at_start = likelihood.evaluate(start.x);
  if (!at_start) return std::unexpected(std::move(at_start.error()));
  auto run = fit(likelihood, start, *at_start, config, event_weights);
  if (!run) return std::unexpected(std::move(run.error()));

  const auto n_parameters = static_cast<std::size_t>(run->position.size());
  std::vector<double> yields(run->position.data(), run->position.data() + n_components);
  std::vector<double> shape_values(run->position.data() + n_components,
                                   run->position.data() + n_parameters);
  auto step = splot_step(likelihood, yields, shape_values, config.tolerance);
  if (!step) return std::unexpected(std::move(step.error()));
  return assemble_output(*run, std::move(yields), shape_values, std::move(*step), shape_parameters);
}

}  // namespace tarnwex
