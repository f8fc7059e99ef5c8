#include "minimizer/bound_constrained_direction.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <optional>
#include <vector>

#include "minimizer/cauchy_point.h"

namespace tarnwex {
namespace {

constexpr double kModelTolerance = 1e-12;
constexpr double kRoundingTolerance = 1e-15;

struct Pair {
  Vector s, y;
};

// The model of a run holding the given pairs, with W and the middle matrix
// rebuilt the way a run rebuilds them after accepting the last pair.
LimitedMemoryModel model_with_pairs(Vector x, Vector g, const std::vector<Pair>& pairs) {
  std::deque<Vector> s_history;
  std::deque<Vector> y_history;
  for (const Pair& pair : pairs) {
    s_history.push_back(pair.s);
    y_history.push_back(pair.y);
  }
  const Pair& last = pairs.back();
  const double theta = last.y.dot(last.y) / last.s.dot(last.y);
  CompactForm compact = compact_form(s_history, y_history, theta, x.size());
  return LimitedMemoryModel{std::move(x), std::move(g), theta, std::move(compact.w),
                            std::move(compact.middle)};
}

// The BFGS matrix built by the classic rank-two updates from theta * I.
Matrix bfgs_matrix(double theta, Eigen::Index n, const std::vector<Pair>& pairs) {
  Matrix b = theta * Matrix::Identity(n, n);
  for (const Pair& pair : pairs) {
    const Vector bs = b * pair.s;
    b = b - bs * bs.transpose() / pair.s.dot(bs) + pair.y * pair.y.transpose() / pair.y.dot(pair.s);
  }
  return b;
}

const std::vector<Pair> kThreePairs = {
    {Vector{{0.3, -0.1, 0.2}}, Vector{{0.9, -0.2, 0.5}}},
    {Vector{{-0.2, 0.4, 0.1}}, Vector{{-0.3, 1.1, 0.4}}},
    {Vector{{0.1, 0.2, -0.3}}, Vector{{0.2, 0.7, -1.2}}},
};

TEST(BoundConstrainedDirectionTest, WithoutBoundsOrMemoryTheDirectionIsMinusTheGradient) {
  const Vector x{{1.0, 2.0, 3.0}};
  const Vector g{{1.0, -2.0, 4.0}};
  const Matrix w(3, 0);
  const std::optional<Matrix> middle;
  const Vector d = bound_constrained_direction(LimitedMemoryModel{x, g, 1.0, w, middle}, std::nullopt);
  EXPECT_EQ(d, Vector(-g));
}

TEST(BoundConstrainedDirectionTest, OneBoundedCoordinateFollowsTheWorkedExample) {
  // t = 5, d = -1, f' = -1, f'' = 1: the model's minimum x_c = 4 lies before
  // the bound, the coordinate is free, r = 0 and the direction is -1.
  const Vector x{{5.0}};
  const Vector g{{1.0}};
  const Matrix w(1, 0);
  const std::optional<Matrix> middle;
  const std::optional<BoundList> bounds = BoundList{ScalarBound::lower_and_upper(0.0, 10.0)};
  const LimitedMemoryModel model{x, g, 1.0, w, middle};

  const CauchyPoint cauchy = generalized_cauchy_point(model, bounds);
  EXPECT_EQ(cauchy.x_c[0], 4.0);
  EXPECT_EQ(cauchy.free_set, (std::vector<Eigen::Index>{0}));
  EXPECT_EQ(bound_constrained_direction(model, bounds), Vector{{-1.0}});
}

TEST(BoundConstrainedDirectionTest, ACoordinateOnTheBoundItIsPushedAgainstDoesNotMove) {
  const Vector x{{2.0, -1.0, 0.5}};
  const Vector g{{-3.0, 0.5, 1.0}};  // 0 pushes up at its upper bound, 1 down at its lower
  const Matrix w(3, 0);
  const std::optional<Matrix> middle;
  const std::optional<BoundList> bounds =
      BoundList{ScalarBound::upper_only(2.0), ScalarBound::lower_only(-1.0), ScalarBound::unbounded()};

  const Vector d = bound_constrained_direction(LimitedMemoryModel{x, g, 1.0, w, middle}, bounds);

  EXPECT_EQ(d[0], 0.0);
  EXPECT_EQ(d[1], 0.0);
  EXPECT_EQ(d[2], -1.0);
}

TEST(BoundConstrainedDirectionTest, EveryCoordinateOnItsBoundGivesTheZeroDirection) {
  const LimitedMemoryModel model =
      model_with_pairs(Vector{{1.0, 0.0, 4.0}}, Vector{{-2.0, 3.0, -0.1}}, kThreePairs);
  const std::optional<BoundList> bounds =
      BoundList{ScalarBound::lower_and_upper(0.0, 1.0), ScalarBound::lower_only(0.0),
                ScalarBound::lower_and_upper(-4.0, 4.0)};
  EXPECT_EQ(bound_constrained_direction(model, bounds), Vector::Zero(3));
}

TEST(BoundConstrainedDirectionTest, AVanishingGradientGivesTheZeroDirectionNotNaN) {
  // Every breakpoint is infinite and d.d = 0: the model has neither slope nor
  // curvature along the path, and x is already the Cauchy point.
  const LimitedMemoryModel model =
      model_with_pairs(Vector{{0.5, 1.0, -2.0}}, Vector::Zero(3), kThreePairs);
  EXPECT_EQ(bound_constrained_direction(model, std::nullopt), Vector::Zero(3));

  const std::optional<BoundList> bounds =
      BoundList{ScalarBound::lower_and_upper(0.0, 1.0), ScalarBound::unbounded(),
                ScalarBound::upper_only(3.0)};
  EXPECT_EQ(bound_constrained_direction(model, bounds), Vector::Zero(3));
}

TEST(BoundConstrainedDirectionTest, WithoutBoundsTheDirectionIsTheNewtonStepOfTheBfgsModel) {
  // The compact form [Y, theta S] with middle [[-D, L^T], [L, theta S^T S]]
  // must stand for the BFGS matrix updated from theta * I; the unconstrained
  // minimum of that model is x - B^-1 g.
  const Vector g{{0.7, -1.1, 0.4}};
  const LimitedMemoryModel model = model_with_pairs(Vector{{0.1, 0.2, 0.3}}, g, kThreePairs);
  const Matrix b = bfgs_matrix(model.theta, 3, kThreePairs);

  const Matrix compact = model.theta * Matrix::Identity(3, 3) -
                         model.w * model.middle->inverse() * model.w.transpose();
  EXPECT_TRUE(compact.isApprox(b, kModelTolerance)) << compact << "\n\n" << b;

  const Vector d = bound_constrained_direction(model, std::nullopt);
  EXPECT_TRUE(d.isApprox(-b.lu().solve(g), kModelTolerance)) << d.transpose();
}

TEST(BoundConstrainedDirectionTest, TheSubspaceStepMinimisesTheModelOverTheFreeCoordinates) {
  // Coordinate 0 is stopped at its upper bound on the path; the free
  // coordinates 1 and 2 then move to the minimum of the model with
  // coordinate 0 held there: x_bar_F = x_c_F - B_FF^-1 (g + B (x_c - x))_F.
  const Vector x{{0.0, 0.0, 0.0}};
  const Vector g{{-2.0, 0.3, -0.2}};
  const LimitedMemoryModel model = model_with_pairs(x, g, kThreePairs);
  const Matrix b = bfgs_matrix(model.theta, 3, kThreePairs);
  const std::optional<BoundList> bounds =
      BoundList{ScalarBound::lower_and_upper(-1.0, 0.05), ScalarBound::unbounded(),
                ScalarBound::lower_and_upper(-10.0, 10.0)};

  const CauchyPoint cauchy = generalized_cauchy_point(model, bounds);
  ASSERT_EQ(cauchy.x_c[0], 0.05);
  ASSERT_EQ(cauchy.free_set, (std::vector<Eigen::Index>{1, 2}));

  const Vector r = g + b * (cauchy.x_c - x);
  const Vector free_step = -b.bottomRightCorner(2, 2).lu().solve(r.tail(2));
  const Vector d = bound_constrained_direction(model, bounds);
  EXPECT_EQ(d[0], 0.05);
  EXPECT_TRUE(d.tail(2).isApprox(cauchy.x_c.tail(2) + free_step, kModelTolerance)) << d.transpose();
}

TEST(BoundConstrainedDirectionTest, TheSubspaceStepIsShortenedToStayInsideTheBox) {
  // The same model with coordinate 2 capped just beyond the Cauchy point:
  // the whole free step is scaled until coordinate 2 reaches its bound.
  const Vector x{{0.0, 0.0, 0.0}};
  const Vector g{{-2.0, 0.3, -0.2}};
  const LimitedMemoryModel model = model_with_pairs(x, g, kThreePairs);
  const std::optional<BoundList> wide =
      BoundList{ScalarBound::lower_and_upper(-1.0, 0.05), ScalarBound::unbounded(),
                ScalarBound::lower_and_upper(-10.0, 10.0)};
  const CauchyPoint cauchy = generalized_cauchy_point(model, wide);
  const Vector full = bound_constrained_direction(model, wide);
  const double du_2 = full[2] - cauchy.x_c[2];
  ASSERT_NE(du_2, 0.0);

  // Place the bound of coordinate 2 a quarter of the way along its step.
  const double cap = cauchy.x_c[2] + 0.25 * du_2;
  std::optional<BoundList> narrow = wide;
  (*narrow)[2] = du_2 > 0 ? ScalarBound::lower_and_upper(-10.0, cap)
                          : ScalarBound::lower_and_upper(cap, 10.0);
  ASSERT_EQ(generalized_cauchy_point(model, narrow).x_c, cauchy.x_c);

  const Vector d = bound_constrained_direction(model, narrow);
  EXPECT_NEAR(d[2], cap, kModelTolerance);
  EXPECT_NEAR(d[1] - cauchy.x_c[1], 0.25 * (full[1] - cauchy.x_c[1]), kModelTolerance);
}

TEST(BoundConstrainedDirectionTest, ASingularMiddleMatrixDropsTheMemoryFromTheModel) {
  // Every middle solve gives zero, so the model is theta * I: the direction is
  // -g / theta up to rounding although W has entries.
  const Vector x{{1.0, -1.0}};
  const Vector g{{0.6, -0.9}};
  const Matrix w{{1.0, 2.0}, {3.0, 4.0}};
  const std::optional<Matrix> middle = Matrix{{1.0, 1.0}, {1.0, 1.0}};
  const double theta = 2.0;
  const Vector d = bound_constrained_direction(LimitedMemoryModel{x, g, theta, w, middle}, std::nullopt);
  EXPECT_NEAR(d[0], -0.3, kRoundingTolerance);
  EXPECT_NEAR(d[1], 0.45, kRoundingTolerance);
}

}  // namespace
}  // namespace tarnwex

namespace tarnwex {
namespace {

TEST(BoundConstrainedDirectionTest, ACoordinateThatNeverReachesABoundCannotTurnTheDirectionNaN) {
  // The third coordinate has no gradient, so its breakpoint is infinite; once
  // the first one is fixed at its bound the path's curvature rounds to 0.
  // Neither may make the direction NaN.
  const LimitedMemoryModel model = model_with_pairs(
      Vector{{4.0, 0.0, 3.5}}, Vector{{4.25, 0.0, 0.0}},
      {{Vector{{1.25, 0.25, -1.0}}, Vector{{0.5, 0.25, -0.75}}}});
  const BoundList bounds{ScalarBound::lower_only(0.0), ScalarBound::lower_and_upper(0.0, 10.0),
                         ScalarBound::lower_only(0.01)};
  const Vector d = bound_constrained_direction(model, bounds);
  EXPECT_TRUE(d.allFinite()) << d.transpose();
  EXPECT_LT(d.dot(model.g), 0.0);
}

}  // namespace
}  // namespace tarnwex
