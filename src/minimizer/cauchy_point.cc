#include "minimizer/cauchy_point.h"

#include <algorithm>
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

}  // namespace

CauchyPoint generalized_cauchy_point(const LimitedMemoryModel& model,
                                     const std::optional<BoundList>& bounds) {
  const Vector& x = model.x;
  const Vector& g = model.g;
  const double theta = model.theta;
  const Eigen::Index n = x.size();

  // Breakpoints along -g and the projected steepest-descent direction.
  Vector t(n);
  Vector d = -g;
  for (Eigen::Index i = 0; i < n; ++i) {
    if (g[i] < 0.0) {
      t[i] = (x[i] - bound_of(bounds, i).upper_side()) / g[i];
    } else if (g[i] > 0.0) {
      t[i] = (x[i] - bound_of(bounds, i).lower_side()) / g[i];
    } else {
      t[i] = kInfinity;
    }
    if (t[i] < kMachineEpsilon) d[i] = 0.0;
  }

  std::vector<Eigen::Index> path;
  for (Eigen::Index i = 0; i < n; ++i) {
    if (t[i] > 0.0) path.push_back(i);
  }
  std::stable_sort(path.begin(), path.end(),
                   [&t](Eigen::Index a, Eigen::Index b) { return t[a] < t[b]; });
  if (path.empty()) return stationary_point(model);

  const double dd = DenseProvider::vec_dot(d, d);
  // With a vanishing projected gradient the path has no length: the model's
  // slope and curvature along it are both zero and the step 0/0 would turn
  // the whole point into NaN. x is then already the Cauchy point.
  if (dd == 0.0) return stationary_point(model);

  const Matrix w_transposed = model.w.transpose();
  Vector x_c = x;
  Vector p = DenseProvider::mat_vec(w_transposed, d);
  Vector c = Vector::Zero(model.memory_columns());
  double f1 = -dd;
  double f2 = theta * dd - DenseProvider::vec_dot(p, model.solve_middle(p));
  double dt_min = dd / f2;
  double t_old = 0.0;
  std::size_t position = 0;
  double dt = t[path[0]];
  double t_next = dt;

  while (dt_min >= dt) {
    const Eigen::Index b = path[position];
    const double g_b = g[b];
    t_old = t[b];
    const ScalarBound bound = bound_of(bounds, b);
    x_c[b] = fixed_value(x_c[b], d[b], g_b, bound.lower_side(), bound.upper_side());
    const double z_b = x_c[b] - x[b];
    c = c + dt * p;
    const Vector w_b = model.w.row(b).transpose();
    const double q_c = DenseProvider::vec_dot(w_b, model.solve_middle(c));
    const double q_p = DenseProvider::vec_dot(w_b, model.solve_middle(p));
    const double q_w = DenseProvider::vec_dot(w_b, model.solve_middle(w_b));
    p = p + g_b * w_b;
    d[b] = 0.0;

    const bool more = position + 1 < path.size();
    double dt_following = 0.0;
    if (more) {
      t_next = t[path[position + 1]];
      dt_following = t_next - t_old;
    } else {
      t_next = kInfinity;
    }
    const double g_b_squared = g_b * g_b;
    f1 = f1 + dt * f2 + g_b_squared + theta * g_b * z_b - g_b * q_c;
    f2 = f2 - theta * g_b_squared - 2.0 * g_b * q_p - g_b_squared * q_w;
    dt_min = -f1 / f2;
    if (!more) break;
    ++position;
    dt = dt_following;
  }

  if (dt_min < 0.0) dt_min = 0.0;
  const double t_end = t_old + dt_min;
  for (Eigen::Index i = 0; i < n; ++i) {
    // Coordinates fixed on the path have d_i = 0 and keep their bound; they
    // are skipped so that an unbounded model (infinite step) cannot turn a
    // bound into inf * 0 = NaN.
    if (t[i] >= t_next && d[i] != 0.0) x_c[i] = x_c[i] + t_end * d[i];
  }
  c = c + dt_min * p;

  std::vector<Eigen::Index> free_set;
  for (Eigen::Index i = 0; i < n; ++i) {
    const ScalarBound bound = bound_of(bounds, i);
    if (bound.lower_side() < x_c[i] && x_c[i] < bound.upper_side()) free_set.push_back(i);
  }
  return {std::move(x_c), std::move(c), std::move(free_set), false};
}

}  // namespace tarnwex
