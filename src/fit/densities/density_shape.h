// The built-in shapes, their names and the names of their arguments.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwex::densities {

enum class Shape {
  kUniform,            // no argument
  kGaussian,           // mu, sigma
  kExponential,        // slope: proportional to exp(slope * x)
  kCrystalBall,        // mu, sigma, alpha, n: power-law tail below mu - alpha sigma
  kDoubleCrystalBall,  // mu, sigma, alpha_low, n_low, alpha_high, n_high
  kBernstein,          // c0 .. cd: sum_i c_i b_{i,d}(t), t = (x - lo) / (hi - lo)
  kChebyshev,          // a1 .. ad: 1 + sum_i a_i T_i(u), u = 2 (x - lo) / (hi - lo) - 1
  kArgus,              // m0, c: x sqrt(1 - (x/m0)^2) exp(c (1 - (x/m0)^2)) below m0
};

// The shape whose name (as the companion module spells it, "gaussian", ...)
// is `name`.
std::optional<Shape> shape_named(std::string_view name);
std::string_view shape_name(Shape shape);

// The argument names of `shape` with `count` arguments; nothing when the
// shape takes another number of them (the polynomials take any number from
// one on, the others exactly their own).
std::optional<std::vector<std::string>> argument_names(Shape shape, std::size_t count);

}  // namespace tarnwex::densities
