#include "fit/densities/density_shape.h"

#include <array>
#include <utility>

namespace tarnwex::densities {

namespace {

constexpr std::array<std::pair<std::string_view, Shape>, 8> kNames{{
    {"uniform", Shape::kUniform},
    {"gaussian", Shape::kGaussian},
    {"exponential", Shape::kExponential},
    {"crystal_ball", Shape::kCrystalBall},
    {"double_crystal_ball", Shape::kDoubleCrystalBall},
    {"bernstein", Shape::kBernstein},
    {"chebyshev", Shape::kChebyshev},
    {"argus", Shape::kArgus},
}};

std::vector<std::string> fixed_names(Shape shape) {
  switch (shape) {
    case Shape::kUniform: return {};
    case Shape::kGaussian: return {"mu", "sigma"};
    case Shape::kExponential: return {"slope"};
    case Shape::kCrystalBall: return {"mu", "sigma", "alpha", "n"};
    case Shape::kDoubleCrystalBall:
      return {"mu", "sigma", "alpha_low", "n_low", "alpha_high", "n_high"};
    case Shape::kArgus: return {"m0", "c"};
    case Shape::kBernstein:
    case Shape::kChebyshev: break;
  }
  return {};
}

}  // namespace

std::optional<Shape> shape_named(std::string_view name) {
  for (const auto& [known, shape] : kNames) {
    if (known == name) return shape;
  }
  return std::nullopt;
}

std::string_view shape_name(Shape shape) {
  for (const auto& [known, named] : kNames) {
    if (named == shape) return known;
  }
  return "unknown";
}

std::optional<std::vector<std::string>> argument_names(Shape shape, std::size_t count) {
  // Bernstein coefficients count from c0, Chebyshev ones from a1: the
  // constant term of the latter is fixed at 1.
  if (shape == Shape::kBernstein || shape == Shape::kChebyshev) {
    if (count == 0) return std::nullopt;
    std::vector<std::string> names;
    const bool bernstein = shape == Shape::kBernstein;
    for (std::size_t i = 0; i < count; ++i) {
      std::string name(bernstein ? "c" : "a");
      name += std::to_string(bernstein ? i : i + 1);
      names.push_back(std::move(name));
    }
    return names;
  }
  std::vector<std::string> names = fixed_names(shape);
  if (names.size() != count) return std::nullopt;
  return names;
}

}  // namespace tarnwex::densities
