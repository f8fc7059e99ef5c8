#include "minimizer/stencil_weights.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarnwex {

std::vector<double> stencil_weights(std::span<const double> offsets, int order) {
  // Fornberg (1988), about the point 0: c[m][k] is the weight of offset m in
  // the k-th derivative over the first n + 1 offsets.
  const std::size_t n_points = offsets.size();
  const auto derivatives = static_cast<std::size_t>(order) + 1;
  std::vector<std::vector<double>> c(n_points, std::vector<double>(derivatives, 0.0));
  if (n_points == 0) return {};
  c[0][0] = 1.0;
  double c1 = 1.0;
  double c4 = offsets[0];
  for (std::size_t i = 1; i < n_points; ++i) {
    const std::size_t top = std::min(i, derivatives - 1);
    double c2 = 1.0;
    const double c5 = c4;
    c4 = offsets[i];
    for (std::size_t j = 0; j < i; ++j) {
      const double c3 = offsets[i] - offsets[j];
      c2 *= c3;
      if (j == i - 1) {
        for (std::size_t k = top; k >= 1; --k) {
          c[i][k] = c1 * (static_cast<double>(k) * c[i - 1][k - 1] - c5 * c[i - 1][k]) / c2;
        }
        c[i][0] = -c1 * c5 * c[i - 1][0] / c2;
      }
      for (std::size_t k = top; k >= 1; --k) {
        c[j][k] = (c4 * c[j][k] - static_cast<double>(k) * c[j][k - 1]) / c3;
      }
      c[j][0] = c4 * c[j][0] / c3;
    }
    c1 = c2;
  }
  std::vector<double> out(n_points);
  for (std::size_t m = 0; m < n_points; ++m) out[m] = c[m][static_cast<std::size_t>(order)];
  return out;
}

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

bool inside(double p, std::pair<double, double> bound) {
  return p >= bound.first && p <= bound.second;
}

}  // namespace

StencilPoints stencil_points(double v, double h, std::pair<double, double> bound, int reach,
                             double one_sided_step, int count) {
  StencilPoints out;
  const double far = h * reach;
  if (inside(v + far, bound) && inside(v - far, bound) && v + h != v) {
    out.central = true;
    for (int m = 1; m <= reach; ++m) {
      out.offsets.push_back(h * m);
      out.offsets.push_back(-h * m);
    }
    return out;
  }
  const double up = bound.second - v;
  const double down = v - bound.first;
  const double room = std::max(up, down);
  if (!(room > 0.0)) return out;  // v outside its box: no point to form
  const double side = up >= down ? 1.0 : -1.0;
  const double step = std::min(one_sided_step, room / count);
  const double edge = up >= down ? bound.second : bound.first;
  double last = v;
  for (int m = 1; m <= count; ++m) {
    double p = v + side * step * m;
    if (side * (p - edge) > 0.0) p = edge;
    // Callers form the point as v + offset, which need not round to p: the
    // offset is moved until it does, or lands just short of p where no
    // offset can reach it, so that the formed point never leaves the box.
    double offset = p - v;
    while (side * ((v + offset) - p) > 0.0) offset = std::nextafter(offset, -side * kInfinity);
    const double formed = v + offset;
    if (formed == last || formed == v) continue;
    out.offsets.push_back(offset);
    last = formed;
  }
  return out;
}

double resolved_second_difference(const StencilPoints& points, std::span<const double> changes,
                                  double h, double noise) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  if (points.offsets.size() != 2 || changes.size() != 2) return kNaN;
  double curvature = (changes[0] + changes[1]) / (h * h);
  if (!points.central) {
    const double nodes[] = {0.0, points.offsets[0], points.offsets[1]};
    const std::vector<double> weights = stencil_weights(nodes, 2);
    curvature = weights[1] * changes[0] + weights[2] * changes[1];
  }
  const double reach = std::max(std::abs(points.offsets[0]), std::abs(points.offsets[1]));
  return std::abs(curvature) * reach * reach > noise ? curvature : kNaN;
}

}  // namespace tarnwex
