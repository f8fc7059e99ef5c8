// The trial point x + a * p of a search along p.
#pragma once

#include "minimizer/internal_error.h"
#include "minimizer/types.h"

namespace tarnwex {

// Entry i is x[i] + a * p[i], a product and a sum each rounded on their own.
inline Vector axpy(const Vector& x, double a, const Vector& p) {
  if (x.size() != p.size()) internal_error("Axpy: mismatched vector shapes.");
  Vector result(x.size());
  for (Eigen::Index i = 0; i < x.size(); ++i) result[i] = x[i] + a * p[i];
  return result;
}

}  // namespace tarnwex
