#include "minimizer/cauchy_point.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

namespace tarnwex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kPathTolerance = 1e-12;

// B = theta I - W middle^-1 W^T, the model matrix the compact form stands for.
Matrix model_matrix(double theta, const Matrix& w, const Matrix& middle) {
  const Eigen::Index n = w.rows();
  return theta * Matrix::Identity(n, n) - w * middle.inverse() * w.transpose();
}

// The first local minimiser of m(z) = g.z + z.B z / 2 along the projected path
// z(t) = P(x - t g) - x, walked segment by segment with the explicit B.
Vector reference_cauchy_point(const Vector& x, const Vector& g, const Matrix& b, const Vector& lower,
                              const Vector& upper) {
  const Eigen::Index n = x.size();
  Vector t(n);
  for (Eigen::Index i = 0; i < n; ++i) {
    t[i] = g[i] < 0 ? (x[i] - upper[i]) / g[i] : g[i] > 0 ? (x[i] - lower[i]) / g[i] : kInf;
  }
  std::vector<double> stops(t.data(), t.data() + n);
  std::sort(stops.begin(), stops.end());
  Vector z = Vector::Zero(n);
  double t_start = 0.0;
  for (double t_end : stops) {
    if (t_end <= t_start) continue;
    Vector d(n);
    for (Eigen::Index i = 0; i < n; ++i) d[i] = t[i] > t_start ? -g[i] : 0.0;
    const double slope = (g + b * z).dot(d);
    if (slope >= 0) break;
    const double root = t_start - slope / d.dot(b * d);
    if (root < t_end) return x + z + (root - t_start) * d;
    z += (t_end - t_start) * d;
    t_start = t_end;
  }
  return x + z;
}

struct Model {
  Vector x, g;
  double theta = 1.0;
  Matrix w;
  std::optional<Matrix> middle;
  LimitedMemoryModel view() const { return {x, g, theta, w, middle}; }
};

BoundList boxes(const Vector& lower, const Vector& upper) {
  BoundList bounds;
  for (Eigen::Index i = 0; i < lower.size(); ++i) {
    bounds.push_back(ScalarBound::lower_and_upper(lower[i], upper[i]));
  }
  return bounds;
}

TEST(GeneralizedCauchyPointTest, StopsAtTheFirstMinimiserOfTheModelAlongTheProjectedPath) {
  // Two stored pairs and a box that the path runs into three times before
  // the model's minimum: the slope and curvature updates at every breakpoint
  // must reproduce the explicit model.
  Model model;
  model.x = Vector{{0.5, -0.2, 1.0, 0.3}};
  model.g = Vector{{2.0, -1.5, 0.8, -0.4}};
  model.theta = 1.7;
  model.w = Matrix{{0.4, -0.1, 0.3, 0.2}, {0.2, 0.5, -0.6, 0.1}, {-0.3, 0.2, 0.1, 0.4},
                   {0.1, 0.3, 0.2, -0.5}};
  model.middle = Matrix{{-2.0, 0.3, 0.0, 0.0}, {0.3, -1.5, 0.4, 0.0}, {0.0, 0.4, 3.0, 0.5},
                        {0.0, 0.0, 0.5, 2.5}};
  const Vector lower{{0.2, -1.0, 0.9, -2.0}};
  const Vector upper{{2.0, -0.05, 3.0, 2.0}};
  const Matrix b = model_matrix(model.theta, model.w, *model.middle);
  ASSERT_EQ(b.llt().info(), Eigen::Success) << "the model must be convex";

  const CauchyPoint cauchy = generalized_cauchy_point(model.view(), boxes(lower, upper));
  const Vector expected = reference_cauchy_point(model.x, model.g, b, lower, upper);

  ASSERT_FALSE(cauchy.stationary);
  EXPECT_TRUE(cauchy.x_c.isApprox(expected, kPathTolerance)) << cauchy.x_c.transpose() << "\n"
                                                             << expected.transpose();
  EXPECT_TRUE(cauchy.c.isApprox(model.w.transpose() * (cauchy.x_c - model.x), kPathTolerance));
  // Coordinates 1, 2 and 0 reach their bounds in that order and leave the
  // free set; coordinate 3 stops inside the last segment.
  EXPECT_EQ(cauchy.x_c[0], 0.2);
  EXPECT_EQ(cauchy.x_c[1], -0.05);
  EXPECT_EQ(cauchy.x_c[2], 0.9);
  EXPECT_EQ(cauchy.free_set, (std::vector<Eigen::Index>{3}));
}

TEST(GeneralizedCauchyPointTest, EqualBreakpointsAreFixedInAscendingIndexOrder) {
  // Both coordinates reach 0.9 at the same step length. Under this model,
  // once coordinate 0 sits on its bound the slope along coordinate 1 is
  // positive, so the path ends there and coordinate 1 is placed by the final
  // update, which lands just inside the bound and leaves it free. Fixing
  // coordinate 1 first would carry on and put both on the bound.
  Model model;
  model.x = Vector{{0.2, 0.2}};
  model.g = Vector{{-1.3, -1.3}};
  model.w = Matrix{{-0.5, 0.0}, {1.5, 0.0}};
  model.middle = Matrix{{-1.0, 0.0}, {0.0, 1.0}};
  const BoundList bounds = boxes(Vector{{-1.0, -1.0}}, Vector{{0.9, 0.9}});

  const CauchyPoint cauchy = generalized_cauchy_point(model.view(), bounds);

  EXPECT_EQ(cauchy.x_c[0], 0.9);
  EXPECT_LT(cauchy.x_c[1], 0.9);
  EXPECT_EQ(cauchy.free_set, (std::vector<Eigen::Index>{1}));
}

TEST(GeneralizedCauchyPointTest, ACoordinateWithinEpsilonOfItsBoundIsPlacedOnIt) {
  // t_0 = 2^-53 lies in (0, eps): the coordinate does not move along the
  // path, yet it is fixed on the upper bound it runs towards.
  Model model;
  model.x = Vector{{1.0 - 0x1p-53, 0.0}};
  model.g = Vector{{-1.0, 2.0}};
  model.w = Matrix(2, 0);
  BoundList bounds{ScalarBound::lower_and_upper(0.0, 1.0), ScalarBound::unbounded()};

  const CauchyPoint cauchy = generalized_cauchy_point(model.view(), bounds);

  EXPECT_EQ(cauchy.x_c[0], 1.0);
  EXPECT_EQ(cauchy.x_c[1], -2.0);
  EXPECT_EQ(cauchy.free_set, (std::vector<Eigen::Index>{1}));
}

TEST(GeneralizedCauchyPointTest, APositiveSlopeBeyondABreakpointEndsThePathAtIt) {
  // The model's minimum along the path lies exactly at coordinate 0's
  // breakpoint; along coordinate 1 alone the slope is then positive, so the
  // negative step beyond the breakpoint is raised to zero.
  Model model;
  model.x = Vector{{0.0, 0.0}};
  model.g = Vector{{-1.0, -1.0}};
  model.theta = 0.5;
  model.w = Matrix{{0.0, 0.0}, {1.0, 0.0}};
  model.middle = Matrix{{-1.0, 0.0}, {0.0, 1.0}};  // B = diag(0.5, 1.5)
  const BoundList bounds = boxes(Vector{{-5.0, -5.0}}, Vector{{1.0, 5.0}});

  const CauchyPoint cauchy = generalized_cauchy_point(model.view(), bounds);
  const Vector expected = reference_cauchy_point(
      model.x, model.g, model_matrix(model.theta, model.w, *model.middle), Vector{{-5.0, -5.0}},
      Vector{{1.0, 5.0}});

  EXPECT_EQ(cauchy.x_c[0], 1.0);
  EXPECT_TRUE(cauchy.x_c.isApprox(expected, kPathTolerance)) << cauchy.x_c.transpose();
}

}  // namespace
}  // namespace tarnwex
