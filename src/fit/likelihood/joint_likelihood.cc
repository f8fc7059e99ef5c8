#include "fit/likelihood/joint_likelihood.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "fit/core/fit_policy.h"
#include "fit/core/text/format.h"
#include "fit/core/value_errors.h"
#include "fit/inputs/declared_scale.h"
#include "fit/likelihood/hessian_sums.h"
#include "fit/likelihood/pass_counter.h"
#include "fit/likelihood/shape_differences.h"
#include "minimizer/internal_error.h"
#include "minimizer/stencil_weights.h"

namespace tarnwex {

namespace {

// Which shape parameters, by index, each PDF declares; a name that is not a
// shape parameter was refused by the input validation.
DeclaredDependence declared_dependence(const PdfList& pdfs, const std::vector<std::string>& names) {
  std::vector<std::optional<std::vector<std::size_t>>> declared;
  for (const auto& pdf : pdfs) {
    std::optional<std::vector<std::string>> claimed = pdf.get().declared_parameters();
    if (!claimed) {
      declared.emplace_back();
      continue;
    }
    std::vector<std::size_t> indices;
    for (const std::string& name : *claimed) {
      const auto found = std::ranges::find(names, name);
      if (found != names.end()) indices.push_back(static_cast<std::size_t>(found - names.begin()));
    }
    declared.emplace_back(std::move(indices));
  }
  return DeclaredDependence(std::move(declared), names.size());
}

bool same_bits(std::span<const double> a, std::span<const double> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace

JointLikelihood::JointLikelihood(std::vector<std::string> shape_parameter_names,
                                 const EventView& events, const PdfList& pdfs,
                                 std::span<const double> event_weights,
                                 InterruptCheck interrupted,
                                 std::span<const std::pair<double, double>> shape_bounds)
    : shape_parameter_names_(std::move(shape_parameter_names)),
      n_events_(events.size()),
      n_components_(pdfs.size()),
      event_weights_(event_weights),
      interrupted_(std::move(interrupted)),
      shape_bounds_(shape_bounds),
      values_(events, pdfs, declared_dependence(pdfs, shape_parameter_names_), interrupted_),
      exact_(pdfs, shape_parameter_names_, values_.dependence()),
      yield_terms_(pdfs.size()),
      // Room for a gradient's neighbourhood: x and two points per shape
      // parameter, read again by shape_curvature.
      memo_(2 * shape_parameter_names_.size() + 1) {
  if (pdfs.empty()) internal_error("a likelihood needs at least one component");
  if (!event_weights.empty() && event_weights.size() != n_events_) {
    internal_error("event weights do not match the events");
  }
  if (shape_bounds_.size() != shape_parameter_names_.size()) {
    internal_error("shape bounds do not match the shape parameters");
  }
  for (const auto& name : shape_parameter_names_) {
    auto [slot, inserted] = parameters_.emplace(name, 0.0);
    if (!inserted) internal_error("shape parameter names must be unique");
    parameter_slots_.push_back(&slot->second);
  }
  std::vector<double> declared;
  for (const auto& bound : shape_bounds_) declared.push_back(declared_scale(std::nullopt, bound));
  set_shape_scales(declared, 1.0);
}

void JointLikelihood::set_shape_scales(std::span<const double> scales, double event_unit,
                                       std::optional<std::vector<bool>> held) {
  if (scales.size() != shape_parameter_names_.size()) {
    internal_error("shape scales do not match the shape parameters");
  }
  shape_scales_.assign(scales.begin(), scales.end());
  gradient_steps_.clear();
  for (const double scale : scales) {
    if (!(scale > 0.0) || !std::isfinite(scale)) internal_error("a shape scale must be positive");
    gradient_steps_.push_back(scale * policy::kGradientStepPerScale);
  }
  event_unit_ = event_unit;
  if (held) {
    held_ = std::move(*held);
    held_.resize(scales.size(), false);
  }
  // A held parameter takes no step: a step of 0 forms no point, and its
  // derivatives are 0.
  for (std::size_t j = 0; j < held_.size(); ++j) {
    if (held_[j]) gradient_steps_[j] = 0.0;
  }
  // Along an exact parameter the gradient needs no point at all.
  difference_steps_ = gradient_steps_;
  for (std::size_t j = 0; j < difference_steps_.size(); ++j) {
    if (exact_.exact(j)) difference_steps_[j] = 0.0;
  }
  // A gradient remembered from other steps is still a gradient, but the
  // points it leaves in the memo are no longer those of the next one.
  memo_.forget_gradient();
}

JointLikelihood::Split JointLikelihood::split(const Vector& x) const {
  const auto n_parameters = static_cast<std::size_t>(x.size());
  if (n_parameters < n_components_) internal_error("parameter vector shorter than the yields");
  return {{x.data(), n_components_}, {x.data() + n_components_, n_parameters - n_components_}};
}

const ParameterMap& JointLikelihood::parameters_at(std::span<const double> shape_values) {
  for (std::size_t i = 0; i < shape_values.size(); ++i) *parameter_slots_[i] = shape_values[i];
  return parameters_;
}

ParameterMap JointLikelihood::parameter_map(std::span<const double> shape_values) const {
  ParameterMap map;
  const std::size_t pairs = std::min(shape_parameter_names_.size(), shape_values.size());
  for (std::size_t i = 0; i < pairs; ++i) map.emplace(shape_parameter_names_[i], shape_values[i]);
  return map;
}

std::expected<void, SPlotError> JointLikelihood::check_interrupt() const {
  return interrupted_();
}

std::expected<DeferredChecks, SPlotError> JointLikelihood::load_at(
    std::span<const double> shape_values, bool defer) {
  if (auto go_on = check_interrupt(); !go_on) return std::unexpected(std::move(go_on.error()));
  // Every point the fit forms lies inside the box; one that does not is a
  // fault of the fit, reported as such, and no PDF ever sees it.
  for (std::size_t i = 0; i < shape_values.size() && i < shape_bounds_.size(); ++i) {
    const double v = shape_values[i];
    if (!std::isfinite(v) || v < shape_bounds_[i].first || v > shape_bounds_[i].second) {
      return std::unexpected(SPlotError::optimization(
          "internal fault: shape parameter " + shape_parameter_names_[i] + " reached " +
          format_double(v) + ", outside its bounds; no PDF was called there"));
    }
  }
  if (shape_values.size() == parameter_slots_.size()) {
    return values_.load(parameters_at(shape_values), shape_values, defer);
  }
  return values_.load(parameter_map(shape_values), {}, defer);
}

std::expected<double, SPlotError> JointLikelihood::event_pass(const Vector& x,
                                                              std::span<EventSum> yield_terms,
                                                              std::optional<double> known_nll) {
  const auto [yields, shape_values] = split(x);
  auto deferred = load_at(shape_values, /*defer=*/true);
  if (!deferred) return std::unexpected(std::move(deferred.error()));
  count_pass(yields, shape_values);

  EventSum nll_terms;
  for (EventSum& sum : yield_terms) sum = EventSum{};
  LoopOutcome outcome{n_events_, false};
  auto looped = interrupted_.for_event_blocks(n_events_, [&](std::size_t first, std::size_t end) {
    const LoopOutcome block =
        add_log_density_terms(known_nll ? nullptr : &nll_terms, yield_terms, values_.columns(),
                              yields, event_weights_, end, *deferred, first);
    outcome.check_failed = outcome.check_failed || block.check_failed;
    if (block.first_bad_mixture == end) return true;
    outcome.first_bad_mixture = block.first_bad_mixture;
    return false;
  });
  // Stopped inside the loop, the deferred checks are left unsettled: the
  // values count as unchecked, and the next load checks them again.
  if (!looped) return std::unexpected(std::move(looped.error()));
  if (auto settled = values_.settle(*deferred, outcome); !settled) {
    return std::unexpected(std::move(settled.error()));
  }
  if (outcome.first_bad_mixture != n_events_) {
    return std::unexpected(mixture_not_finite(outcome.first_bad_mixture));
  }
  if (known_nll) return *known_nll;
  // The extended term, the yields in component order, leads the sum.
  const double nll = nll_terms.total(yields);
  if (!std::isfinite(nll)) return std::unexpected(nll_not_finite());
  memo_.store({x.data(), static_cast<std::size_t>(x.size())}, nll);
  return nll;
}

std::expected<double, SPlotError> JointLikelihood::evaluate(const Vector& x) {
  split(x);
  if (auto remembered = memo_.find({x.data(), static_cast<std::size_t>(x.size())})) {
    if (auto go_on = check_interrupt(); !go_on) return std::unexpected(std::move(go_on.error()));
    return *remembered;
  }
  return event_pass(x, {}, std::nullopt);
}

std::expected<Vector, SPlotError> JointLikelihood::gradient(const Vector& x) {
  const std::span<const double> point_bits(x.data(), static_cast<std::size_t>(x.size()));
  if (auto remembered = memo_.find_gradient(point_bits)) {
    if (auto go_on = check_interrupt(); !go_on) return std::unexpected(std::move(go_on.error()));
    return std::move(*remembered);
  }
  // The NLL at x is usually known already (a line search evaluates a trial
  // before asking for its gradient); the pass then takes no logarithm.
  auto at_x = event_pass(x, yield_terms_, memo_.find(point_bits));
  if (!at_x) return std::unexpected(std::move(at_x.error()));
  const auto k_index = static_cast<Eigen::Index>(n_components_);
  // The exact part first, while the PDF values at x are the ones loaded.
  exact_information_at_.clear();
  exact_information_.assign(static_cast<std::size_t>(x.size()) - n_components_,
                            std::numeric_limits<double>::quiet_NaN());
  auto exact_part = exact_shape_part(x, {}, exact_information_);
  if (!exact_part) return std::unexpected(std::move(exact_part.error()));
  if (exact_.any()) exact_information_at_.assign(point_bits.begin(), point_bits.end());
  // The shape bounds keep every difference inside the box, so a PDF never
  // sees a value past its parameter's bound.
  auto g = boxed_difference_gradient([this](const Vector& p) { return evaluate(p); }, x, *at_x,
                                     difference_steps_, shape_bounds_, k_index);
  if (!g) return std::unexpected(std::move(g.error()));
  for (std::size_t j = 0; j < exact_part->size(); ++j) {
    if (exact_.exact(j)) (*g)[k_index + static_cast<Eigen::Index>(j)] = (*exact_part)[j];
  }
  for (Eigen::Index k = 0; k < k_index; ++k) {
    (*g)[k] = 1.0 - yield_terms_[static_cast<std::size_t>(k)].total();
  }
  memo_.store_gradient(point_bits, *g);
  return g;
}

std::expected<std::vector<double>, SPlotError> JointLikelihood::exact_shape_part(
    const Vector& x, std::span<std::vector<double>> scores, std::span<double> information) {
  const auto [yields, shape_values] = split(x);
  std::vector<double> part(shape_values.size(), 0.0);
  if (!exact_.any()) return part;
  if (auto added = exact_.add(parameters_at(shape_values), values_.columns(), yields,
                              event_weights_, interrupted_, part, scores, information);
      !added) {
    return std::unexpected(std::move(added.error()));
  }
  // A held parameter stays where it is.
  for (std::size_t j = 0; j < part.size(); ++j) {
    if (j < held_.size() && held_[j]) part[j] = 0.0;
  }
  return part;
}

std::optional<Vector> JointLikelihood::shape_curvature(const Vector& x) const {
  const std::size_t size = static_cast<std::size_t>(x.size());
  const auto centre = memo_.peek({x.data(), size});
  if (!centre) return std::nullopt;
  const auto k_index = static_cast<Eigen::Index>(n_components_);
  Vector curvature(x.size() - k_index);
  Vector moved = x;
  const bool information_here = same_bits(exact_information_at_, {x.data(), size});
  for (Eigen::Index i = k_index; i < x.size(); ++i) {
    const auto j = static_cast<std::size_t>(i - k_index);
    if (exact_.exact(j)) {
      curvature[j] = information_here ? exact_information_[j]
                                      : std::numeric_limits<double>::quiet_NaN();
      continue;
    }
    const double h = gradient_steps_[j];
    const StencilPoints points = stencil_points(x[i], h, shape_bounds_[j], 1, h, 2);
    std::vector<double> changes;
    for (const double offset : points.offsets) {
      moved[i] = x[i] + offset;
      if (const auto value = memo_.peek({moved.data(), size})) changes.push_back(*value - *centre);
    }
    moved[i] = x[i];
    // A second difference within the NLL's rounding is no curvature.
    curvature[j] = resolved_second_difference(points, changes, h,
                                              policy::kCurvatureOverNoise * nll_noise_);
  }
  return curvature;
}

std::expected<GradientWithHessian, SPlotError> JointLikelihood::exact_hessian(const Vector& x) {
  const auto [yields, shape_values] = split(x);
  if (auto loaded = load_at(shape_values); !loaded) {
    return std::unexpected(std::move(loaded.error()));
  }
  count_pass(yields, shape_values);
  auto at_fit = yield_derivatives(values_.columns(), yields, event_weights_, interrupted_,
                                  /*keep_densities=*/false);
  if (!at_fit) return std::unexpected(std::move(at_fit.error()));
  scores_point_.reset();
  std::span<std::vector<double>> scores;
  if (keep_shape_scores_) {
    shape_scores_.resize(shape_values.size());
    for (std::vector<double>& column : shape_scores_) column.assign(n_events_, 0.0);
    scores = shape_scores_;
  }
  auto shape_gradient = exact_shape_part(x, scores);
  if (!shape_gradient) return std::unexpected(std::move(shape_gradient.error()));

  const Eigen::Index n = x.size();
  const auto k_index = static_cast<Eigen::Index>(n_components_);
  GradientWithHessian out{Vector::Zero(n), Matrix::Zero(n, n)};
  out.gradient.head(k_index) = at_fit->gradient;
  for (std::size_t j = 0; j < shape_gradient->size(); ++j) {
    out.gradient[k_index + static_cast<Eigen::Index>(j)] = (*shape_gradient)[j];
  }
  // Columns: d g / d t_j from the exact gradients around x.
  Matrix columns = Matrix::Zero(n, n - k_index);
  Vector moved = x;
  for (std::size_t j = 0; j < shape_values.size(); ++j) {
    if (j < held_.size() && held_[j]) continue;  // no row: its error is undetermined
    const Eigen::Index i = k_index + static_cast<Eigen::Index>(j);
    const double h = shape_scales_[j] * policy::kShapeStepPerError;
    const StencilPoints points = stencil_points(x[i], h, shape_bounds_[j], 2, h, 4);
    if (points.offsets.empty()) continue;
    std::vector<double> offsets{0.0};
    offsets.insert(offsets.end(), points.offsets.begin(), points.offsets.end());
    const std::vector<double> weights = stencil_weights(offsets, 1);
    Vector column = weights[0] * out.gradient;
    for (std::size_t m = 0; m < points.offsets.size(); ++m) {
      moved[i] = x[i] + points.offsets[m];
      auto g = gradient(moved);
      moved[i] = x[i];
      if (!g) return std::unexpected(std::move(g.error()));
      column += weights[m + 1] * *g;
    }
    columns.col(static_cast<Eigen::Index>(j)) = column;
  }
  const Eigen::Index p_index = n - k_index;
  out.hessian.topLeftCorner(k_index, k_index) = at_fit->curvature;
  out.hessian.topRightCorner(k_index, p_index) = columns.topRows(k_index);
  out.hessian.bottomLeftCorner(p_index, k_index) = columns.topRows(k_index).transpose();
  const Matrix shape_block = columns.bottomRows(p_index);
  out.hessian.bottomRightCorner(p_index, p_index) = 0.5 * (shape_block + shape_block.transpose());
  // A parameter held, or one whose box held no point, keeps no row at all.
  for (std::size_t j = 0; j < shape_values.size(); ++j) {
    if (columns.col(static_cast<Eigen::Index>(j)).isZero(0.0)) {
      const Eigen::Index i = k_index + static_cast<Eigen::Index>(j);
      out.hessian.row(i).setZero();
      out.hessian.col(i).setZero();
    }
  }
  if (keep_shape_scores_) scores_point_ = x;
  return out;
}

std::expected<GradientWithHessian, SPlotError> JointLikelihood::gradient_with_hessian(
    const Vector& x) {
  const auto [yields, shape_values] = split(x);
  if (!shape_values.empty() && exact_.all()) return exact_hessian(x);
  if (auto loaded = load_at(shape_values); !loaded) {
    return std::unexpected(std::move(loaded.error()));
  }
  count_pass(yields, shape_values);
  auto at_fit = yield_derivatives(values_.columns(), yields, event_weights_, interrupted_,
                                  /*keep_densities=*/!shape_values.empty());
  if (!at_fit) return std::unexpected(std::move(at_fit.error()));

  const Eigen::Index n = x.size();
  const auto k_index = static_cast<Eigen::Index>(n_components_);
  GradientWithHessian out{Vector::Zero(n), Matrix::Zero(n, n)};
  out.gradient.head(k_index) = at_fit->gradient;
  out.hessian.topLeftCorner(k_index, k_index) = at_fit->curvature;
  if (shape_values.empty()) return out;

  // The log-densities at the fit were computed by yield_derivatives from the
  // PDFs' views, so loading other points cannot change them.
  const std::vector<double>& reference = at_fit->log_densities;
  const std::span<const double> fitted_yields = yields;
  const ShapePointFunction sums_at = [&](std::span<const double> moved, ScoreTap tap)
      -> std::expected<ShapePointSums, SPlotError> {
    if (auto loaded = load_at(moved); !loaded) return std::unexpected(std::move(loaded.error()));
    count_pass(fitted_yields, moved);
    return shape_point_sums(values_.columns(), fitted_yields, event_weights_, reference,
                            interrupted_, tap);
  };
  // The last gradient of a run was taken here: its central differences left
  // the NLL on both sides of every shape parameter in the memo.
  const std::optional<Vector> known = shape_curvature(x);
  const std::span<const double> known_curvature =
      known ? std::span<const double>(known->data(), static_cast<std::size_t>(known->size()))
            : std::span<const double>();
  scores_point_.reset();
  if (keep_shape_scores_) shape_scores_.resize(shape_values.size());
  const ShapeSteps steps{shape_scales_, gradient_steps_, event_unit_, nll_noise_};
  auto shapes = shape_derivatives(shape_values, shape_bounds_, steps, at_fit->yield_sums, sums_at,
                                  known_curvature,
                                  keep_shape_scores_ ? std::span(shape_scores_)
                                                     : std::span<std::vector<double>>());
  if (!shapes) return std::unexpected(std::move(shapes.error()));
  if (keep_shape_scores_) scores_point_ = x;
  const Eigen::Index p_index = n - k_index;
  out.gradient.tail(p_index) = shapes->gradient;
  out.hessian.topRightCorner(k_index, p_index) = shapes->yield_shape;
  out.hessian.bottomLeftCorner(p_index, k_index) = shapes->yield_shape.transpose();
  out.hessian.bottomRightCorner(p_index, p_index) = shapes->shape_shape;
  return out;
}

std::optional<std::span<const std::vector<double>>> JointLikelihood::shape_scores_at(
    const Vector& x) const {
  const bool same = scores_point_ && scores_point_->size() == x.size() &&
                    std::equal(x.begin(), x.end(), scores_point_->begin(),
                               [](double a, double b) { return std::bit_cast<std::uint64_t>(a) ==
                                                               std::bit_cast<std::uint64_t>(b); });
  if (!same) return std::nullopt;
  return std::span<const std::vector<double>>(shape_scores_);
}

std::expected<void, SPlotError> JointLikelihood::check_declarations(const Vector& x) {
  const std::span<const double> shape_values = split(x).shape_values;
  if (shape_values.size() != parameter_slots_.size()) return {};
  const DeclaredDependence& dependence = values_.dependence();
  std::vector<double> moved(shape_values.begin(), shape_values.end());
  auto undeclared = [&](std::size_t k, std::size_t i) {
    return SPlotError::pdf_evaluation("PDF " + std::to_string(k) +
                                      " depends on shape parameter " +
                                      quoted_name(shape_parameter_names_[i]) +
                                      ", which it does not declare");
  };
  for (std::size_t k = 0; k < n_components_; ++k) {
    // A PDF that computes its own derivatives knows what it depends on.
    if (!dependence.declares(k) || exact_.computes(k)) continue;
    if (auto go_on = check_interrupt(); !go_on) return std::unexpected(std::move(go_on.error()));
    // The column the fit used at x, and where the PDF computed it.
    const std::optional<std::vector<double>> used = values_.held_column(k, shape_values);
    const std::vector<std::uint64_t> used_at(dependence.last_point(k).begin(),
                                             dependence.last_point(k).end());
    // Its output with each undeclared parameter moved, then at x itself,
    // last, so that the column at hand afterwards is the one at x.
    std::vector<std::pair<std::size_t, std::vector<double>>> moved_columns;
    for (std::size_t i = 0; i < shape_values.size(); ++i) {
      if (dependence.depends(k, i)) continue;
      const double step = shape_scales_[i] * policy::kShapeStepPerError;
      const StencilPoints points = stencil_points(shape_values[i], step, shape_bounds_[i], 1, step, 1);
      if (points.offsets.empty()) continue;  // a box that holds no other point
      moved[i] = shape_values[i] + points.offsets.front();
      auto other = values_.fresh_column(k, parameters_at(moved));
      moved[i] = shape_values[i];
      if (!other) return std::unexpected(std::move(other.error()));
      moved_columns.emplace_back(i, std::move(*other));
    }
    auto fresh = values_.fresh_column(k, parameters_at(shape_values), shape_values);
    if (!fresh) return std::unexpected(std::move(fresh.error()));
    if (used && !same_bits(*used, *fresh)) {
      for (std::size_t i = 0; i < shape_values.size(); ++i) {
        if (!dependence.depends(k, i) && std::bit_cast<std::uint64_t>(shape_values[i]) != used_at[i]) {
          return std::unexpected(undeclared(k, i));
        }
      }
    }
    for (const auto& [i, column] : moved_columns) {
      if (!same_bits(column, *fresh)) return std::unexpected(undeclared(k, i));
    }
  }
  return {};
}

std::expected<EvaluatedModel, SPlotError> JointLikelihood::evaluate_model(
    std::span<const double> shape_values) {
  if (auto go_on = check_interrupt(); !go_on) return std::unexpected(std::move(go_on.error()));
  auto loaded = shape_values.size() == parameter_slots_.size()
                    ? values_.load_checked(parameters_at(shape_values), shape_values)
                    : values_.load_checked(parameter_map(shape_values), {});
  if (!loaded) return std::unexpected(std::move(loaded.error()));
  return EvaluatedModel(n_events_, std::move(*loaded), {}, event_weights_, interrupted_);
}

}  // namespace tarnwex
