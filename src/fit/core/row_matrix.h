// A dense matrix stored row by row: the layout the Python layer hands to NumPy.
#pragma once

#include <cstddef>
#include <vector>

namespace tarnwex {

struct RowMatrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<double> values;  // rows * cols entries, row-major

  RowMatrix() = default;
  RowMatrix(std::size_t r, std::size_t c) : rows(r), cols(c), values(r * c, 0.0) {}

  double& operator()(std::size_t i, std::size_t j) { return values[i * cols + j]; }
  double operator()(std::size_t i, std::size_t j) const { return values[i * cols + j]; }
};

}  // namespace tarnwex
