#include "minimizer/dense_provider.h"

#include <gtest/gtest.h>

namespace tarnwex {
namespace {

Matrix matrix2(double a, double b, double c, double d) {
  Matrix m(2, 2);
  m << a, b, c, d;
  return m;
}

TEST(DenseProviderTest, LuSolvePivotsRowsWhenTheLeadingEntryIsZero) {
  const auto x = DenseProvider::lu_solve(matrix2(0, 1, 1, 0), Vector{{2.0, 3.0}});
  ASSERT_TRUE(x.has_value());
  EXPECT_EQ(*x, (Vector{{3.0, 2.0}}));
}

TEST(DenseProviderTest, SingularMatricesGiveAnAbsentResultInEverySolve) {
  const Matrix rank_one = matrix2(1, 2, 2, 4);
  EXPECT_FALSE(DenseProvider::lu_solve(rank_one, Vector{{2.0, 3.0}}).has_value());
  EXPECT_FALSE(DenseProvider::lu_solve_matrix(rank_one, Matrix::Identity(2, 2)).has_value());
  EXPECT_FALSE(DenseProvider::lu_inverse(rank_one).has_value());
  EXPECT_FALSE(DenseProvider::lu_inverse(Matrix::Zero(2, 2)).has_value());
}

TEST(DenseProviderTest, NearlySingularMatricesStillSolveToLargeValues) {
  const auto inverse = DenseProvider::lu_inverse(matrix2(1, 1, 1, 1 + 1e-15));
  ASSERT_TRUE(inverse.has_value());
  EXPECT_GT(std::abs((*inverse)(0, 0)), 1e14);
}

TEST(DenseProviderTest, LuInverseOfADiagonalMatrixInvertsTheDiagonal) {
  const auto inverse = DenseProvider::lu_inverse(matrix2(2, 0, 0, 4));
  ASSERT_TRUE(inverse.has_value());
  EXPECT_EQ(*inverse, matrix2(0.5, 0, 0, 0.25));
}

TEST(DenseProviderTest, LuSolveMatrixSolvesEveryColumnAndLeavesItsArgumentsAlone) {
  const Matrix a = matrix2(4, 3, 6, 3);
  const Matrix b = matrix2(10, 7, 12, 9);
  const auto x = DenseProvider::lu_solve_matrix(a, b);
  ASSERT_TRUE(x.has_value());
  EXPECT_TRUE((a * *x).isApprox(b, 1e-14));
  EXPECT_EQ(a, matrix2(4, 3, 6, 3));
}

TEST(DenseProviderTest, EmptyOperandsGiveEmptyResults) {
  EXPECT_EQ(DenseProvider::vec_dot(Vector(0), Vector(0)), 0.0);
  EXPECT_EQ(DenseProvider::lu_inverse(Matrix(0, 0))->size(), 0);
  EXPECT_EQ(DenseProvider::lu_solve(Matrix(0, 0), Vector(0))->size(), 0);
}

TEST(DenseProviderTest, ProductsAndDifferencesFollowTheirShapes) {
  Matrix a(2, 3);
  a << 1, 2, 3, 4, 5, 6;
  Matrix b(3, 1);
  b << 1, 0, -1;
  EXPECT_EQ(DenseProvider::mat_mul(a, b), (Matrix{{-2.0}, {-2.0}}));
  EXPECT_EQ(DenseProvider::mat_vec(a, Vector{{1.0, 0.0, -1.0}}), (Vector{{-2.0, -2.0}}));
  EXPECT_EQ(DenseProvider::mat_sub(a, a), Matrix::Zero(2, 3));
  EXPECT_EQ(DenseProvider::vec_dot(Vector{{1.0, 2.0}}, Vector{{3.0, 4.0}}), 11.0);
}

using DenseProviderDeathTest = ::testing::Test;

TEST_F(DenseProviderDeathTest, ShapeMismatchesAbortWithTheirFixedMessages) {
  EXPECT_DEATH(DenseProvider::vec_dot(Vector(3), Vector(2)),
               "Dot product dimensions mismatch for shapes \\(3, 1\\) and \\(2, 1\\): left rows "
               "!= right rows\\.");
  EXPECT_DEATH(DenseProvider::mat_mul(Matrix(2, 3), Matrix(2, 3)),
               "gemm: dimensions mismatch for multiplication\\.");
  EXPECT_DEATH(DenseProvider::mat_sub(Matrix(2, 3), Matrix(3, 2)),
               "Matrix addition/subtraction dimensions mismatch\\.");
  EXPECT_DEATH(DenseProvider::mat_vec(Matrix(2, 3), Vector(2)), "Gemv: dimensions mismatch\\.");
  EXPECT_DEATH(DenseProvider::lu_inverse(Matrix(2, 3)),
               "LU inverse: unable to compute the inverse of a non-square matrix\\.");
  EXPECT_DEATH(DenseProvider::lu_solve(Matrix(2, 3), Vector(2)),
               "LU solve: unable to solve a non-square system\\.");
  EXPECT_DEATH(DenseProvider::lu_solve(Matrix::Identity(2, 2), Vector(3)),
               "LU solve matrix dimension mismatch\\.");
  EXPECT_DEATH(DenseProvider::lu_solve_matrix(Matrix::Identity(2, 2), Matrix(3, 1)),
               "LU solve matrix dimension mismatch\\.");
}

}  // namespace
}  // namespace tarnwex
