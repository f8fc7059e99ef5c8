#include "minimizer/cauchy_point.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "minimizer/dense_provider.h"

namespace tarnwex {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

CauchyPoint stationary_point(const LimitedMemoryModel& model) {
  return {model.x, Vector::Zero(model.memory_columns()), {}, true};
}

// Coordinate b is fixed at the bound it runs into. Its d_b is normally
// non-zero; it is zero when its breakpoint lies in (0, eps): the coordinate was
// already within eps * |g_b| of the bound it moves towards, so it is placed on
// that bound (upper when g_b < 0, lower when g_b > 0), which keeps z_b
// consistent with the slope update and takes it out of the free set. A zero or
// NaN g_b names no bound, and the coordinate stays where it is.
double fixed_value(double current, double d_b, double g_b, double lower, double upper) {
  if (d_b > 0.0) return upper;
  if (d_b < 0.0) return lower;
  if (g_b < 0.0) return upper;
  if (g_b > 0.0) return lower;
  return current;
}

// The projected steepest-descent path: the breakpoint t_i at which each
// coordinate reaches the bound it moves towards along -g, the direction d
// (0 for a coordinate already within eps of that bound) and the coordinates
// that move, in the order they reach their bounds.
struct ProjectedPath {
  Vector t;
  Vector d;
  std::vector<Eigen::Index> order;
};

ProjectedPath projected_path(const LimitedMemoryModel& model,
                             const std::optional<BoundList>& bounds) {
  const Vector& x = model.x;
  const Vector& g = model.g;
  const Eigen::Index n = x.size();
  ProjectedPath path{Vector(n), -g, {}};
  Vector& t = path.t;
  for (Eigen::Index i = 0; i < n; ++i) {
    if (g[i] < 0.0) {
      t[i] = (x[i] - bound_of(bounds, i).upper_side()) / g[i];
    } else if (g[i] > 0.0) {
      t[i] = (x[i] - bound_of(bounds, i).lower_side()) / g[i];
    } else {
      t[i] = kInfinity;
    }
    if (t[i] < kMachineEpsilon) path.d[i] = 0.0;
  }
  // A coordinate that never reaches a bound (t_i infinite: no gradient, or
  // no bound on its side) never ends a segment.
  for (Eigen::Index i = 0; i < n; ++i) {
    if (t[i] > 0.0 && t[i] < kInfinity) path.order.push_back(i);
  }
  std::stable_sort(path.order.begin(), path.order.end(),
                   [&t](Eigen::Index a, Eigen::Index b) { return t[a] < t[b]; });
  return path;
}

// Where the model's minimum along the path lies: dt_min past the breakpoint
// t_old, in the segment that ends at t_next, with the coordinates met so far
// fixed in x_c and p = W^T d, c = W^T (x_c - x) accumulated up to t_old.
struct PathMinimum {
  Vector x_c;
  Vector p;
  Vector c;
  double dt_min = 0.0;
  double t_old = 0.0;
  double t_next = 0.0;
};

// The step to the model's minimum in a segment, dt_min = -f1 / f2, or 0 (stay
// at the segment's start) when that is no step: with the curvature kept
// positive the model falls along the whole segment only for a finite
// dt_min; 0/0 after the slope and curvature cancel, or an overflow, says
// nothing, and moving on could only form a NaN point.
double step_to_minimum(double f1, double f2) {
  const double dt_min = -f1 / f2;
  return f2 > 0.0 && std::isfinite(dt_min) ? dt_min : 0.0;
}

// Walks the path segment by segment, fixing each coordinate at its bound and
// updating the model's slope f1 and curvature f2, until the minimum falls
// inside a segment. Each fixed coordinate's d is set to 0. `dd` = d.d > 0.
// After each breakpoint the curvature is kept at no less than eps times its
// value at the start, so that rounding cannot turn it to 0 or below.
PathMinimum minimum_along_path(const LimitedMemoryModel& model,
                               const std::optional<BoundList>& bounds, ProjectedPath& path,
                               double dd) {
  const Vector& t = path.t;
  Vector& d = path.d;
  const double theta = model.theta;
  PathMinimum at{model.x, DenseProvider::mat_vec(model.w.transpose(), d),
                 Vector::Zero(model.memory_columns())};
  double f1 = -dd;
  double f2 = theta * dd - DenseProvider::vec_dot(at.p, model.solve_middle(at.p));
  const double f2_start = f2;
  at.dt_min = step_to_minimum(f1, f2);
  std::size_t position = 0;
  double dt = path.order.empty() ? kInfinity : t[path.order[0]];
  at.t_next = dt;
  if (path.order.empty()) return at;

  while (at.dt_min >= dt) {
    const Eigen::Index b = path.order[position];
    const double g_b = model.g[b];
    at.t_old = t[b];
    const ScalarBound bound = bound_of(bounds, b);
    at.x_c[b] = fixed_value(at.x_c[b], d[b], g_b, bound.lower_side(), bound.upper_side());
    const double z_b = at.x_c[b] - model.x[b];
    at.c = at.c + dt * at.p;
    const Vector w_b = model.w.row(b).transpose();
    const double q_c = DenseProvider::vec_dot(w_b, model.solve_middle(at.c));
    const double q_p = DenseProvider::vec_dot(w_b, model.solve_middle(at.p));
    const double q_w = DenseProvider::vec_dot(w_b, model.solve_middle(w_b));
    at.p = at.p + g_b * w_b;
    d[b] = 0.0;

    const bool more = position + 1 < path.order.size();
    double dt_following = 0.0;
    if (more) {
      at.t_next = t[path.order[position + 1]];
      dt_following = at.t_next - at.t_old;
    } else {
      at.t_next = kInfinity;
    }
    const double g_b_squared = g_b * g_b;
    f1 = f1 + dt * f2 + g_b_squared + theta * g_b * z_b - g_b * q_c;
    f2 = f2 - theta * g_b_squared - 2.0 * g_b * q_p - g_b_squared * q_w;
    f2 = std::max(kMachineEpsilon * f2_start, f2);
    at.dt_min = step_to_minimum(f1, f2);
    if (!more) break;
    ++position;
    dt = dt_following;
  }
  return at;
}

}  // namespace

CauchyPoint generalized_cauchy_point(const LimitedMemoryModel& model,
                                     const std::optional<BoundList>& bounds) {
  ProjectedPath path = projected_path(model, bounds);
  const double dd = DenseProvider::vec_dot(path.d, path.d);
  // With a vanishing projected gradient the path has no length: the model's
  // slope and curvature along it are both zero and the step 0/0 would turn
  // the whole point into NaN. x is then already the Cauchy point.
  if (dd == 0.0) return stationary_point(model);

  PathMinimum at = minimum_along_path(model, bounds, path, dd);
  const double dt_min = at.dt_min > 0.0 ? at.dt_min : 0.0;
  const double t_end = at.t_old + dt_min;
  for (Eigen::Index i = 0; i < model.x.size(); ++i) {
    // Coordinates fixed on the path have d_i = 0 and keep their bound; they
    // are skipped so that an unbounded model (infinite step) cannot turn a
    // bound into inf * 0 = NaN.
    if (path.t[i] >= at.t_next && path.d[i] != 0.0) at.x_c[i] = at.x_c[i] + t_end * path.d[i];
  }
  at.c = at.c + dt_min * at.p;

  std::vector<Eigen::Index> free_set;
  for (Eigen::Index i = 0; i < model.x.size(); ++i) {
    const ScalarBound bound = bound_of(bounds, i);
    if (bound.lower_side() < at.x_c[i] && at.x_c[i] < bound.upper_side()) free_set.push_back(i);
  }
  return {std::move(at.x_c), std::move(at.c), std::move(free_set), false};
}

}  // namespace tarnwex
