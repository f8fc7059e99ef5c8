// The strong-Wolfe search along a direction: bracketing trials that move 80 %
// of the remaining way to the largest allowed step, then bisection of the
// bracket. Every objective and gradient call is counted before it is made.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <expected>
#include <limits>
#include <optional>
#include <utility>

#include "minimizer/axpy.h"
#include "minimizer/box.h"
#include "minimizer/dense_provider.h"
#include "minimizer/line_search_parameters.h"
#include "minimizer/problem.h"
#include "minimizer/types.h"

namespace tarnwex {

// What a search returns when the problem did not fail. When `failed` is
// false, gradient and value belong to the trial point of step_length (x +
// step_length * p projected onto the box); when it is true no step is
// offered and the caller ignores those fields. `lowest_value` is the lowest
// objective value the search met at any trial point (+inf if none), at the
// trial point of `lowest_step`, which tells a failed search that saw a
// decrease from one that found none, and where it saw it.
struct LineSearchOutput {
  bool failed = false;
  Vector gradient;
  double step_length = 0.0;
  double value = 0.0;
  double lowest_value = std::numeric_limits<double>::infinity();
  double lowest_step = 0.0;
};

// The point a search evaluates for the step alpha: x + alpha p projected onto
// the box, so that rounding never carries a trial past a bound and the
// point a step reports is the point evaluated.
inline Vector trial_point(const Vector& x, double alpha, const Vector& p,
                          const std::optional<BoundList>& bounds) {
  return clip(axpy(x, alpha, p), bounds);
}

namespace more_thuente_detail {

// The lowest objective value met so far and the step of its trial point.
struct Lowest {
  double value = std::numeric_limits<double>::infinity();
  double step = 0.0;
  void meet(double f, double alpha) {
    if (f < value) {
      value = f;
      step = alpha;
    }
  }
};

// Bisects the bracket between lo and hi (lo may lie above hi). The objective
// at lo is evaluated afresh at every midpoint rather than carried over.
// Whether the bracket has collapsed: the midpoint's trial point is the
// point at one of its ends in every coordinate, so bisecting further can
// only evaluate the same points again.
inline bool bracket_collapsed(const Vector& trial, const Vector& at_lo, const Vector& at_hi) {
  return trial == at_lo || trial == at_hi;
}

template <class E>
std::expected<LineSearchOutput, E> zoom(const MoreThuenteLineSearch& params, const Vector& x,
                                        const Vector& p, const std::optional<BoundList>& bounds,
                                        double f0, const Vector& g0, double lo, double hi,
                                        Lowest lowest, const TransformedProblem<E>& problem,
                                        std::size_t& objective_evaluations,
                                        std::size_t& gradient_evaluations) {
  const double d0 = DenseProvider::vec_dot(g0, p);
  // Negative for an ascent direction, so that no midpoint can then pass the curvature test.
  const double curvature_bound = -params.c2 * d0;
  auto give_up = [&] {
    LineSearchOutput out;
    out.failed = true;
    out.lowest_value = lowest.value;
    out.lowest_step = lowest.step;
    return out;
  };
  for (std::size_t j = 0;; ++j) {
    const double alpha = (lo + hi) * 0.5;
    const Vector trial = trial_point(x, alpha, p, bounds);
    const Vector at_lo = trial_point(x, lo, p, bounds);
    if (bracket_collapsed(trial, at_lo, trial_point(x, hi, p, bounds))) return give_up();
    ++objective_evaluations;
    auto f_mid = problem.evaluate(trial);
    if (!f_mid) return std::unexpected(std::move(f_mid.error()));
    ++objective_evaluations;
    auto f_lo = problem.evaluate(at_lo);
    if (!f_lo) return std::unexpected(std::move(f_lo.error()));
    lowest.meet(*f_mid, alpha);
    lowest.meet(*f_lo, lo);

    const double threshold = std::fma(d0, params.c1 * alpha, f0);
    bool sufficient = false;
    if (*f_mid > threshold || *f_mid >= *f_lo) {
      hi = alpha;
    } else {
      ++gradient_evaluations;
      auto g_mid = problem.gradient(trial);
      if (!g_mid) return std::unexpected(std::move(g_mid.error()));
      const double d_mid = DenseProvider::vec_dot(*g_mid, p);
      if (std::abs(d_mid) <= curvature_bound) {
        return LineSearchOutput{false, std::move(*g_mid), alpha, *f_mid, lowest.value,
                                lowest.step};
      }
      if ((hi - lo) * d_mid >= 0.0) hi = lo;
      lo = alpha;
      sufficient = true;
    }

    if (j == params.max_zoom_iterations) {
      ++gradient_evaluations;
      auto g_last = problem.gradient(trial);
      if (!g_last) return std::unexpected(std::move(g_last.error()));
      return LineSearchOutput{!sufficient, std::move(*g_last), alpha, *f_mid, lowest.value,
                              lowest.step};
    }
  }
}

// The value and gradient at x. The caller's are not reused: x is evaluated
// again, both evaluations counted before either is made.
template <class E>
std::expected<std::pair<double, Vector>, E> evaluate_start(const Vector& x,
                                                           const TransformedProblem<E>& problem,
                                                           std::size_t& objective_evaluations,
                                                           std::size_t& gradient_evaluations) {
  ++objective_evaluations;
  ++gradient_evaluations;
  auto f0 = problem.evaluate(x);
  if (!f0) return std::unexpected(std::move(f0.error()));
  auto g0 = problem.gradient(x);
  if (!g0) return std::unexpected(std::move(g0.error()));
  return std::pair<double, Vector>(*f0, std::move(*g0));
}

}  // namespace more_thuente_detail

// Searches from x along p for a step meeting the strong Wolfe conditions,
// every trial point projected onto the box. The first trial is 1, or
// alpha_max when that is smaller (a longer step would leave the box);
// alpha_max (1 when absent) steers the later trials, and a trial at it that
// still descends is accepted. Returns `failed` when the trials run out or
// the box leaves no step, and a problem error as it is.
template <class E>
std::expected<LineSearchOutput, E> more_thuente_search(const MoreThuenteLineSearch& params,
                                                       const Vector& x, const Vector& p,
                                                       std::optional<double> alpha_max,
                                                       const std::optional<BoundList>& bounds,
                                                       const TransformedProblem<E>& problem,
                                                       std::size_t& objective_evaluations,
                                                       std::size_t& gradient_evaluations) {
  const double alpha_limit = alpha_max.value_or(1.0);
  if (!(alpha_limit > 0.0)) {
    LineSearchOutput none;
    none.failed = true;
    return none;
  }
  auto start = more_thuente_detail::evaluate_start(x, problem, objective_evaluations,
                                                   gradient_evaluations);
  if (!start) return std::unexpected(std::move(start.error()));
  const auto& [f0, g0] = *start;
  const double d0 = DenseProvider::vec_dot(g0, p);
  const double curvature_bound = std::abs(d0) * params.c2;
  double alpha = std::min(1.0, alpha_limit);
  double alpha_prev = 0.0;
  double f_prev = f0;
  more_thuente_detail::Lowest lowest;

  for (std::size_t i = 0;; ++i) {
    const Vector trial = trial_point(x, alpha, p, bounds);
    ++objective_evaluations;
    auto f_trial = problem.evaluate(trial);
    if (!f_trial) return std::unexpected(std::move(f_trial.error()));
    lowest.meet(*f_trial, alpha);

    const double threshold = std::fma(d0, params.c1 * alpha, f0);
    // The second trial is not compared with the first; from the third on, a
    // trial no lower than its predecessor closes the bracket.
    if (*f_trial > threshold || (i >= 2 && *f_trial >= f_prev)) {
      return more_thuente_detail::zoom(params, x, p, bounds, f0, g0, alpha_prev, alpha, lowest,
                                       problem, objective_evaluations, gradient_evaluations);
    }

    ++gradient_evaluations;
    auto g_trial = problem.gradient(trial);
    if (!g_trial) return std::unexpected(std::move(g_trial.error()));
    const double d_trial = DenseProvider::vec_dot(*g_trial, p);
    if (std::abs(d_trial) <= curvature_bound) {
      return LineSearchOutput{false, std::move(*g_trial), alpha, *f_trial, lowest.value,
                              lowest.step};
    }
    if (d_trial >= 0.0) {
      return more_thuente_detail::zoom(params, x, p, bounds, f0, g0, alpha, alpha_prev, lowest,
                                       problem, objective_evaluations, gradient_evaluations);
    }
    // The objective still falls at the largest step the box allows: no
    // further step exists along p, so this one is taken. Going on would only
    // repeat the trial and then bisect an empty bracket.
    if (alpha >= alpha_limit) {
      return LineSearchOutput{false, std::move(*g_trial), alpha, *f_trial, lowest.value,
                              lowest.step};
    }
    const double alpha_next = std::fma(alpha_limit - alpha, 0.8, alpha);
    if (i == params.max_iterations) {
      return LineSearchOutput{true, std::move(*g_trial), alpha, *f_trial, lowest.value,
                              lowest.step};
    }
    alpha_prev = alpha;
    f_prev = *f_trial;
    alpha = alpha_next;
  }
}

}  // namespace tarnwex
