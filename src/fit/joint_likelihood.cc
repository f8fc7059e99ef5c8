#include "fit/joint_likelihood.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "fit/event_sums.h"
#include "fit/log_density_sum.h"
#include "fit/mixture_density.h"
#include "fit/pass_counter.h"
#include "fit/pdf_value_checks.h"
#include "fit/shape_differences.h"
#include "minimizer/internal_error.h"

namespace tarnwex {

namespace {

std::unexpected<SPlotError> pdf_failure(std::string message) {
  return std::unexpected(SPlotError::pdf_evaluation(std::move(message)));
}

std::unexpected<SPlotError> optimization_failure(std::string message) {
  return std::unexpected(SPlotError::optimization(std::move(message)));
}

bool same_known_revisions(std::span<const std::uint64_t> current,
                          std::span<const std::uint64_t> known) {
  for (std::size_t k = 0; k < current.size(); ++k) {
    if (current[k] == 0 || current[k] != known[k]) return false;
  }
  return true;
}

}  // namespace

JointLikelihood::JointLikelihood(std::vector<std::string> shape_parameter_names,
                                 const EventView& events, const PdfList& pdfs,
                                 std::span<const double> event_weights,
                                 InterruptCheck interrupted,
                                 std::vector<std::pair<double, double>> shape_bounds)
    : shape_parameter_names_(std::move(shape_parameter_names)),
      events_(events),
      pdfs_(pdfs),
      // Weights that are all 1 are read as none: the loops then skip the
      // product with 1.0, which changes no bit.
      event_weights_(std::all_of(event_weights.begin(), event_weights.end(),
                                 [](double w) { return w == 1.0; })
                         ? std::span<const double>()
                         : event_weights),
      interrupted_(std::move(interrupted)),
      shape_bounds_(std::move(shape_bounds)),
      scratch_(pdfs.size()),
      columns_(pdfs.size()),
      revisions_(pdfs.size(), 0),
      checked_revisions_(pdfs.size(), 0),
      checked_zero_free_(pdfs.size(), false),
      scanned_revisions_(pdfs.size(), 0) {
  if (pdfs_.empty()) internal_error("a likelihood needs at least one component");
  if (!event_weights.empty() && event_weights.size() != events_.size()) {
    internal_error("event weights do not match the events");
  }
  for (const auto& name : shape_parameter_names_) {
    auto [slot, inserted] = parameters_.emplace(name, 0.0);
    if (!inserted) internal_error("shape parameter names must be unique");
    parameter_slots_.push_back(&slot->second);
  }
}

ParameterMap JointLikelihood::parameter_map(std::span<const double> shape_values) const {
  ParameterMap map;
  const std::size_t pairs = std::min(shape_parameter_names_.size(), shape_values.size());
  for (std::size_t i = 0; i < pairs; ++i) map.emplace(shape_parameter_names_[i], shape_values[i]);
  return map;
}

std::expected<DeferredChecks, SPlotError> JointLikelihood::load_pdf_values(
    const ParameterMap& parameters, std::span<std::vector<double>> scratch,
    std::span<std::span<const double>> columns, bool defer) {
  const std::size_t n_events = events_.size();
  const std::size_t n_components = pdfs_.size();
  DeferredChecks deferred;
  bool some_zero_free = false;
  for (std::size_t k = 0; k < n_components; ++k) {
    auto view = pdfs_[k].get().evaluate_batch_view(events_, parameters, scratch[k]);
    if (!view) return std::unexpected(std::move(view.error()));
    if (view->values.size() != n_events) {
      return pdf_failure("PDF " + std::to_string(k) + " returned " +
                         std::to_string(view->values.size()) + " values, expected " +
                         std::to_string(n_events));
    }
    const std::uint64_t revision = view->revision;
    revisions_[k] = revision;
    columns[k] = view->values;
    if (view->valid) {
      if (view->zero_free) some_zero_free = true;
    } else if (revision != 0 && revision == checked_revisions_[k]) {
      if (checked_zero_free_[k]) some_zero_free = true;
    } else if (defer && k + 1 == n_components) {
      // PDF k's values are checked before PDF k + 1 runs; after the last PDF
      // nothing waits, and the event loop reads the values anyway.
      deferred.last_column = true;
    } else {
      auto zero_free = check_column(k, view->values);
      if (!zero_free) return std::unexpected(std::move(zero_free.error()));
      if (*zero_free) some_zero_free = true;
    }
  }
  // An event can only be zero in every PDF if every PDF has a zero.
  if (!some_zero_free && !same_known_revisions(revisions_, scanned_revisions_)) {
    if (deferred.last_column) {
      deferred.all_zero = true;
    } else if (auto scanned = scan_all_zero(columns); !scanned) {
      return std::unexpected(std::move(scanned.error()));
    }
  }
  return deferred;
}

std::expected<bool, SPlotError> JointLikelihood::check_column(std::size_t k,
                                                              std::span<const double> values) {
  const CheckedValues checked = check_values(values);
  if (checked.first_invalid != values.size()) {
    return pdf_failure("PDF " + std::to_string(k) + " returned an invalid value for event " +
                       std::to_string(checked.first_invalid));
  }
  checked_revisions_[k] = revisions_[k];
  checked_zero_free_[k] = !checked.has_zero;
  return !checked.has_zero;
}

// Runs only on columns that passed check_column.
std::expected<void, SPlotError> JointLikelihood::scan_all_zero(
    std::span<const std::span<const double>> columns) {
  const std::size_t n_events = events_.size();
  const std::size_t zero_event = first_all_zero_event(columns, n_events);
  if (zero_event != n_events) {
    return pdf_failure("all PDFs are zero for event " + std::to_string(zero_event));
  }
  std::copy(revisions_.begin(), revisions_.end(), scanned_revisions_.begin());
  return {};
}

std::expected<void, SPlotError> JointLikelihood::finish_checks(DeferredChecks deferred) {
  if (deferred.last_column) {
    const std::size_t last = columns_.size() - 1;
    if (auto checked = check_column(last, columns_[last]); !checked) {
      return std::unexpected(std::move(checked.error()));
    }
  }
  if (deferred.all_zero) return scan_all_zero(columns_);
  return {};
}

std::expected<void, SPlotError> JointLikelihood::check_interrupt() const {
  if (!interrupted_) return {};
  return interrupted_();
}

std::expected<DeferredChecks, SPlotError> JointLikelihood::load_at(
    std::span<const double> shape_values, bool defer) {
  if (auto go_on = check_interrupt(); !go_on) return std::unexpected(std::move(go_on.error()));
  if (shape_values.size() == parameter_slots_.size()) {
    for (std::size_t i = 0; i < shape_values.size(); ++i) *parameter_slots_[i] = shape_values[i];
    return load_pdf_values(parameters_, scratch_, columns_, defer);
  }
  return load_pdf_values(parameter_map(shape_values), scratch_, columns_, defer);
}

std::expected<double, SPlotError> JointLikelihood::evaluate(const Vector& x) {
  const std::size_t n_components = pdfs_.size();
  const auto n_parameters = static_cast<std::size_t>(x.size());
  if (n_parameters < n_components) internal_error("parameter vector shorter than the yields");
  const double* yields = x.data();
  const std::span<const double> shape_values(x.data() + n_components,
                                             n_parameters - n_components);
  const std::span<const double> point(x.data(), n_parameters);
  if (auto remembered = memo_.find(point)) {
    if (auto go_on = check_interrupt(); !go_on) return std::unexpected(std::move(go_on.error()));
    return *remembered;
  }
  auto deferred = load_at(shape_values, /*defer=*/true);
  if (!deferred) return std::unexpected(std::move(deferred.error()));
  count_pass({yields, n_components}, shape_values);

  double nll = yields[0];
  for (std::size_t k = 1; k < n_components; ++k) nll += yields[k];
  const std::size_t n_events = events_.size();
  const LoopOutcome outcome =
      subtract_log_densities(nll, columns_, {yields, n_components}, event_weights_, n_events,
                             *deferred);
  // The deferred checks come first, as if they had run before the loop: when
  // the loop stopped early it has not seen every value, so they run in full.
  if (outcome.check_failed || outcome.first_bad_mixture != n_events) {
    if (auto checked = finish_checks(*deferred); !checked) {
      return std::unexpected(std::move(checked.error()));
    }
  } else {
    // The loop saw every value and found no failure: what the checks would
    // have recorded holds, but for whether the last PDF has a zero, which
    // the loop does not look for (it only matters to the all-zero scan,
    // which then simply runs once more if asked).
    if (deferred->last_column) {
      checked_revisions_.back() = revisions_.back();
      checked_zero_free_.back() = false;
    }
    if (deferred->all_zero) {
      std::copy(revisions_.begin(), revisions_.end(), scanned_revisions_.begin());
    }
  }
  if (outcome.first_bad_mixture != n_events) {
    return optimization_failure("mixture density is not finite for event " +
                                std::to_string(outcome.first_bad_mixture));
  }
  if (!std::isfinite(nll)) return optimization_failure("negative log-likelihood is not finite");
  memo_.store(point, nll);
  return nll;
}

std::expected<GradientWithHessian, SPlotError> JointLikelihood::gradient_with_hessian(
    const Vector& x) {
  const std::size_t n_components = pdfs_.size();
  const auto n_parameters = static_cast<std::size_t>(x.size());
  if (n_parameters < n_components) internal_error("parameter vector shorter than the yields");
  const std::span<const double> yields(x.data(), n_components);
  const std::span<const double> shape_values(x.data() + n_components,
                                             n_parameters - n_components);
  if (auto loaded = load_at(shape_values); !loaded) {
    return std::unexpected(std::move(loaded.error()));
  }
  count_pass(yields, shape_values);
  auto at_fit = yield_derivatives(columns_, yields, event_weights_);
  if (!at_fit) return std::unexpected(std::move(at_fit.error()));

  const auto n = static_cast<Eigen::Index>(n_parameters);
  const auto k_index = static_cast<Eigen::Index>(n_components);
  GradientWithHessian out{Vector::Zero(n), Matrix::Zero(n, n)};
  out.gradient.head(k_index) = at_fit->gradient;
  out.hessian.topLeftCorner(k_index, k_index) = at_fit->curvature;
  if (shape_values.empty()) return out;

  std::vector<std::pair<double, double>> bounds = shape_bounds_;
  if (bounds.size() != shape_values.size()) {
    bounds.assign(shape_values.size(), {-std::numeric_limits<double>::infinity(),
                                        std::numeric_limits<double>::infinity()});
  }
  // The densities at the fit were copied out of the PDFs' views by
  // yield_derivatives, so loading other points cannot change them.
  const std::vector<double>& reference = at_fit->floored_densities;
  const ShapePointFunction sums_at =
      [&](std::span<const double> moved) -> std::expected<ShapePointSums, SPlotError> {
    if (auto loaded = load_at(moved); !loaded) return std::unexpected(std::move(loaded.error()));
    count_pass(yields, moved);
    return shape_point_sums(columns_, yields, event_weights_, reference);
  };
  auto shapes = shape_derivatives(shape_values, bounds, at_fit->yield_sums, sums_at);
  if (!shapes) return std::unexpected(std::move(shapes.error()));
  const Eigen::Index p_index = n - k_index;
  out.gradient.tail(p_index) = shapes->gradient;
  out.hessian.topRightCorner(k_index, p_index) = shapes->yield_shape;
  out.hessian.bottomLeftCorner(p_index, k_index) = shapes->yield_shape.transpose();
  out.hessian.bottomRightCorner(p_index, p_index) = shapes->shape_shape;
  return out;
}

std::expected<EvaluatedModel, SPlotError> JointLikelihood::evaluate_model(
    std::span<const double> shape_values) {
  const std::size_t n_components = pdfs_.size();
  std::vector<std::vector<double>> owned(n_components);
  std::vector<std::span<const double>> columns(n_components);
  auto loaded = load_pdf_values(parameter_map(shape_values), owned, columns);
  if (!loaded) return std::unexpected(std::move(loaded.error()));
  return EvaluatedModel(events_.size(), std::move(columns), std::move(owned), event_weights_);
}

}  // namespace tarnwex
