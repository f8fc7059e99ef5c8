// Finite-difference weights on arbitrary offsets, and the offsets a box
// allows along one coordinate.
//
// A point formed as v + h and then found outside the box cannot be used, and
// one pulled back onto the bound is no longer at v + h. So the points are
// formed first, each inside the box by construction, and the weights are
// computed afterwards for the offsets the points really have: the stencil
// stays exact to its order however the rounding of v + h fell.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace tarnwex {

// Weights c_m such that sum_m c_m F(v + offsets[m]) approximates the
// `order`-th derivative of F at v (Fornberg's recurrence: exact for
// polynomials of degree below offsets.size()). The offsets must be distinct;
// 0 may be among them.
std::vector<double> stencil_weights(std::span<const double> offsets, int order);

// Where along one coordinate of value v the differences can be taken, for a
// step h > 0 and the coordinate's (lower, upper) bound (infinite sides
// unbounded).
struct StencilPoints {
  // Central: v + h and v - h (and v +- 2h when asked for) both in the box.
  bool central = false;
  // The distinct offsets from v of the points formed inside the box, 0
  // excluded: for a central stencil +h, -h (then +2h, -2h); for a one-sided
  // one the points v + m s, m = 1 .. count, towards the roomier side, each
  // pulled onto the bound when rounding put it past.
  std::vector<double> offsets;
};

// Central when v +- reach h lie in the box; otherwise `count` one-sided
// points with the step s = min(one_sided_step, room / count) into the
// roomier side. Points that coincide after rounding, or with v, are dropped:
// a box too narrow to hold any point other than v leaves no offset at all.
StencilPoints stencil_points(double v, double h, std::pair<double, double> bound, int reach,
                             double one_sided_step, int count);

// The second derivative at v from `changes`, F(v + offset) - F(v) at each of
// the offsets of `points` (stencil_points with reach 1 and count 2, step h):
// NaN when the box held fewer than two points, or when the second
// difference over the longest offset is within `noise` (rounding, not
// curvature).
double resolved_second_difference(const StencilPoints& points, std::span<const double> changes,
                                  double h, double noise);

}  // namespace tarnwex
